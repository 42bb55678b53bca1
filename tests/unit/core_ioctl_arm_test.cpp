// The register-map I/O controls through their stubs, over real maps and a probe map that records its calls.
#include <algorithm>
#include <cstring>
#include <deque>

#include "ioctl_standin_device.h"
#include "regmaps/test_reg_map.h"
#include "regs_sim_support.h"

namespace {

using namespace kelvo_driver;
using ioctl::Op;
using nVOAPALS100::tStatus;

constexpr uint32_t kKernel0 = 0x14000; // kernel stream circuit 0 of the BAR-0 tree

const std::string kTree = "KelvoBar0RegMap";
const std::string kCircuit = "KelvoBar0RegMap_FpgaEndpointWin_KelvoFpgaEndpointRegMap_BrixelWin_"
                             "KelvoStreamCircuitTopRegMap_BrixelInterfaceKernelWin0_StreamCircuitRegMap";
const std::string kVer = "_Ver1.0.0d379";

// Answers get and read with `answer` (also when told to fail) and records every call.
class ProbeMap : public arm::DynamicAccessInterfaceBase<tStatus> {
public:
    using Call = std::tuple<char, uint32_t, uint64_t, bool, uint32_t>; // op, id, value, force, index
    void get(uint32_t id, uint64_t& v, tStatus& s, uint32_t x) override { reply(v, s, {'g', id, 0, 0, x}); }
    void set(uint32_t id, uint64_t v, tStatus& s, uint32_t x) override { record(s, {'s', id, v, false, x}); }
    void read(uint32_t id, uint64_t& v, tStatus& s, uint32_t x) override { reply(v, s, {'r', id, 0, 0, x}); }
    void write(uint32_t id, uint64_t v, bool f, tStatus& s, uint32_t x) override {
        record(s, {'w', id, v, f, x});
    }
    void flush(uint32_t id, bool f, tStatus& s, uint32_t x) override { record(s, {'f', id, 0, f, x}); }
    void refresh(uint32_t id, tStatus& s, uint32_t x) override { record(s, {'R', id, 0, false, x}); }
    void getRegisterFormat(uint32_t, uint32_t&, arm::FieldType*, uint64_t*, tStatus&) const override {}
    void flushRegMap(bool f, tStatus& s) override { record(s, {'F', 0, 0, f, 0}); }
    void refreshRegMap(tStatus&) override {}
    void markDirtyRegMap() override {}
    const char* getVersion() const override { return ""; }
    const char* getOldestCompatibleVersion() const override { return ""; }

    uint64_t answer = 0;
    int64_t failWith = 0;
    std::vector<Call> calls;

private:
    // False when the status already held an error; a failing probe still answers, as a failed bus may.
    bool record(tStatus& status, const Call& call) {
        if (status.isFatal()) {
            return false;
        }
        calls.push_back(call);
        KELVO_SET_STATUS(status, failWith);
        return true;
    }
    void reply(uint64_t& v, tStatus& s, const Call& call) { v = record(s, call) ? answer : v; }
};

using namespace kelvo_test;

template <Op op> using In = typename ioctl::Record<op>::In;
template <Op op> using Out = typename ioctl::Record<op>::Out;
using SV = std::pair<int64_t, uint64_t>;
template <class O> SV sv(const O& out) {
    return {out.status, out.value};
}

// Sends the request through the code's stub; the output starts as 0xAA bytes.
template <Op op> Out<op> call(StandInDevice& device, const In<op>& in) {
    Out<op> out;
    std::memset(&out, 0xAA, sizeof(out));
    kal::usermem::Scope scope;
    const uint64_t input = scope.add(&in, sizeof(in), kal::usermem::kRead);
    const uint64_t output = scope.add(&out, sizeof(out));
    tStatus transport;
    using Access = ioctl::DeviceAccess<StandInDevice, StandInSession>;
    const uint64_t bytes =
        ioctl::dispatch(*ioctl::findRow<Access>(ioctl::Record<op>::kCode), device,
                        nVOAPAL000::tEventDescriptor(0), input, sizeof(in), output, sizeof(out), transport);
    EXPECT_EQ(std::tuple(bytes, transport.getCode()), std::tuple(sizeof(out), 0));
    return out;
}

class CoreIoctlArm : public LeakCheckedTest {
protected:
    void SetUp() override {
        LeakCheckedTest::SetUp();
        board.emplace("solstra");
        tStatus s;
        device.emplace(s);
        tree.emplace(&board->barAccessor, s, 0, 0, 0xFFFFFFFF);
        testMap.emplace(&board->fpga, s, 0x1E000, 0, 0x400);
        tree->addToDispatcher(*device->arm, s);
        device->arm->add("TestRegMap", *testMap, s);
        device->arm->add("Probe", probe, s);
        ASSERT_TRUE(s.isSuccess());
        fpga().clearTrace();
    }
    void TearDown() override {
        EXPECT_EQ(board->module->deviceErrorCount(), 0u);
        names.clear();
        // The tree's removal takes every name it registered even out of memory: a name left behind would
        // point at the destroyed map (the sub-maps' composed names used to need an allocation each).
        tStatus removed;
        kal::memory::failAfter(0);
        tree->removeFromDispatcher(*device->arm, removed);
        kal::memory::clearFaults();
        EXPECT_EQ(std::pair(removed.getCode(), device->arm->getNumberOfRegistrations()),
                  std::pair(int64_t{0}, size_t{2}));
        device.reset(); // the other registrations go, the maps stay
        testMap.reset();
        tree.reset();
        board.reset();
        LeakCheckedTest::TearDown();
    }

    sim::FpgaSpace& fpga() { return board->niso(); }
    // A request naming text (kept for the test) with the status word.
    template <Op op> In<op> named(const std::string& text, int32_t word = 0) {
        const std::string& kept = texts.emplace_back(text);
        In<op> in{};
        in.nameAddress = names.add(kept.data(), kept.size(), kal::usermem::kRead);
        in.nameLength = kept.size();
        in.status = word;
        return in;
    }

    // Any request by name, field, index, value, force (where its record has them) and status word.
    template <Op op>
    Out<op> ex(const std::string& map, uint32_t id, uint64_t index = 0, uint64_t value = 0, uint8_t force = 0,
               int32_t word = 0) {
        In<op> in = named<op>(map, word);
        if constexpr (requires { in.fieldId; }) {
            in.fieldId = id;
        }
        if constexpr (requires { in.index; }) {
            in.index = index;
        }
        if constexpr (requires { in.value; }) {
            in.value = static_cast<decltype(in.value)>(value);
        }
        if constexpr (requires { in.force; }) {
            in.force = force;
        }
        return call<op>(*device, in);
    }
    long writes() { return std::ranges::count(fpga().trace(), true, &sim::Access::write); }

    std::optional<SimBoard> board;
    std::optional<kelvo_regmaps::tKelvoBar0RegMap> tree;
    std::optional<kelvo_test_regmaps::tTestRegMap> testMap;
    ProbeMap probe;
    std::optional<StandInDevice> device;
    std::deque<std::string> texts;
    kal::usermem::Scope names;
};

TEST_F(CoreIoctlArm, RegisterFormatsAreWrittenOnlyIntoBuffersThatHoldEveryField) {
    // TableConfig's four fields: bits 0-3, 8, 28 and 31; the buffers hold eight whatever the record says.
    const uint64_t x = 0xAAAAAAAAAAAAAAAAull;
    const std::vector<uint8_t> noTypes(8, 0xAA), format = {1, 0, 0, 0, 0xAA, 0xAA, 0xAA, 0xAA};
    const std::vector<uint64_t> noMasks(8, x), masksOf = {0xF, 0x100, 0x10000000, 0x80000000, x, x, x, x};
    using kal::usermem::kRead, kal::usermem::kReadWrite;
    const struct {
        uint32_t registerId, capacity;
        kal::usermem::Access masksAccess; // read only: the types copied, the masks refused, count 0
        int32_t code;
        uint32_t count;
    } cases[] = {{0x8053CC08, 3, kReadWrite, KELVO_STATUS_BUFFER_TOO_SMALL, 0},
                 {0x8053CC08, 4, kReadWrite, 0, 4},
                 {0x8053CC08, 0xFFFFFFFF, kReadWrite, 0, 4},
                 {0x80ABCDEF, 8, kReadWrite, KELVO_STATUS_NOT_IMPLEMENTED, 0},
                 {0x8053CC08, 8, kRead, KELVO_STATUS_NOT_ACCESSIBLE, 0}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.capacity);
        std::vector<uint8_t> types(noTypes);
        std::vector<uint64_t> masks(noMasks);
        kal::usermem::Scope scope;
        In<Op::arm_getRegisterFormat> in = named<Op::arm_getRegisterFormat>("TestRegMap" + kVer);
        in.registerId = c.registerId;
        in.capacity = c.capacity;
        in.fieldTypeBuffer = scope.add(types.data(), types.size());
        in.maskBuffer = scope.add(masks.data(), masks.size() * 8, c.masksAccess);
        const auto out = call<Op::arm_getRegisterFormat>(*device, in);
        const bool typed = c.count != 0 || c.masksAccess == kRead;
        EXPECT_EQ(std::tuple(out.status, types), std::tuple(c.code, typed ? format : noTypes));
        EXPECT_EQ(std::tuple(out.fieldCount, masks), std::tuple(c.count, c.count != 0 ? masksOf : noMasks));
    }
}

TEST_F(CoreIoctlArm, ExFormsCheckTheIndexAndMoveAllSixtyFourBits) {
    probe.answer = 0x100000002ull;
    EXPECT_EQ(sv(ex<Op::arm_get>("Probe", 7)), SV(KELVO_STATUS_UNSUPPORTED_VALUE, 0));
    EXPECT_EQ(sv(ex<Op::arm_read>("Probe", 0)), SV(KELVO_STATUS_UNSUPPORTED_VALUE, 0));
    EXPECT_EQ(ex<Op::arm_getEx>("Probe", 9, 0xFFFFFF).value, 0x100000002ull);
    EXPECT_EQ(ex<Op::arm_readEx>("Probe", 0, 3).value, 0x100000002ull);
    probe.calls.clear();

    // Above 0xFFFFFF: -52002 after the lookup, and the map is not asked.
    EXPECT_EQ(sv(ex<Op::arm_getEx>("Probe", 9, 0x1000000)), SV(KELVO_STATUS_NOT_IMPLEMENTED, 0));
    EXPECT_EQ(ex<Op::arm_flushRegisterEx>("Probe", 0, UINT64_MAX).status, KELVO_STATUS_NOT_IMPLEMENTED);
    EXPECT_EQ(ex<Op::arm_setEx>("Probe_Ver1.0.0f0", 0, 0x1000000).status,
              KELVO_STATUS_UNVERSIONED_WITH_VERSION)
        << "the name is looked up first";
    EXPECT_TRUE(probe.calls.empty());

    // What reaches the map: the index, the full value, force as a flag; the
    // 32-bit forms pass index 0 and their value widened.
    EXPECT_EQ(ex<Op::arm_setEx>("Probe", 1, 0x123456, 0xFFFFFFFF00000001ull).status, 0);
    EXPECT_EQ(ex<Op::arm_writeEx>("Probe", 2, 1, 0x8000000000000000ull, 2).status, 0);
    EXPECT_EQ(ex<Op::arm_refreshRegisterEx>("Probe", 3, 0xFFFFFF).status, 0);
    EXPECT_EQ(ex<Op::arm_flushRegisterEx>("Probe", 4, 4, 0, 1).status, 0);
    EXPECT_EQ(ex<Op::arm_set>("Probe", 5, 0, 0xFFFFFFFF).status, 0);
    EXPECT_EQ(ex<Op::arm_write>("Probe", 6, 0, 0x80000000).status, 0);
    EXPECT_EQ(ex<Op::arm_flushRegister>("Probe", 7).status, 0);
    EXPECT_EQ(ex<Op::arm_refreshRegister>("Probe", 8).status, 0);
    EXPECT_EQ(probe.calls, (std::vector<ProbeMap::Call>{{'s', 1, 0xFFFFFFFF00000001ull, false, 0x123456},
                                                        {'w', 2, 0x8000000000000000ull, true, 1},
                                                        {'R', 3, 0, false, 0xFFFFFF},
                                                        {'f', 4, 0, true, 4},
                                                        {'s', 5, 0xFFFFFFFF, false, 0},
                                                        {'w', 6, 0x80000000, false, 0},
                                                        {'f', 7, 0, false, 0},
                                                        {'R', 8, 0, false, 0}}));

    // A map's error comes back unchanged, and a failed read answers 0.
    probe.failWith = KELVO_STATUS_NOT_ACCESSIBLE;
    EXPECT_EQ(sv(ex<Op::arm_readEx>("Probe", 0, 3)), SV(KELVO_STATUS_NOT_ACCESSIBLE, 0));

    // On a real map the Ex form writes like the plain one (FIFO decrease at 0x818).
    EXPECT_EQ(ex<Op::arm_writeEx>(kCircuit + kVer, 0x801438C1, 5, 0x1234).status, 0);
    EXPECT_EQ(fpga().peek(kKernel0 + 0x818), 0x1234u);
}

TEST_F(CoreIoctlArm, WholeMapFlushByNameAndForce) {
    auto flushMap = [&](const std::string& map, uint8_t force) {
        return ex<Op::arm_flushRegMap>(map, 0, 0, 0, force).status;
    };
    EXPECT_EQ(flushMap(kCircuit + kVer, 0), 0);
    EXPECT_EQ(writes(), 0u) << "clean";
    EXPECT_EQ(flushMap(kTree + kVer, 1), 0);
    EXPECT_EQ(writes(), 8u * 22u) << "every writable soft-copy register of the eight circuits";
    EXPECT_EQ(flushMap(kTree, 1), KELVO_STATUS_VERSION_REQUIRED);
    EXPECT_EQ(flushMap("Probe", 3), 0);
    EXPECT_EQ(probe.calls, (std::vector<ProbeMap::Call>{{'F', 0, 0, true, 0}}));
}

TEST_F(CoreIoctlArm, TheCallersWordAndAMissingRegistry) {
    const std::string circuit = kCircuit + kVer;
    EXPECT_EQ(ex<Op::arm_write>(circuit, 0x801438C1, 0, 5, 0, -1).status, -1)
        << "an error handed in comes back";
    EXPECT_TRUE(fpga().trace().empty());
    EXPECT_EQ(ex<Op::arm_write>(circuit, 0x801438C1, 0, 5, 0, 1).status, 1)
        << "a warning lets the write happen";
    EXPECT_EQ(fpga().peek(kKernel0 + 0x818), 5u);
    EXPECT_EQ(ex<Op::arm_get>(circuit, 0x801438C1, 0, 0, 0, 1).value, 5u);

    device->registries = false;
    EXPECT_EQ(ex<Op::arm_get>("Probe", 1).status, KELVO_STATUS_INVALID_STATE);
    EXPECT_EQ(call<Op::arm_getRegistrationNames>(*device, {}).status, KELVO_STATUS_INVALID_STATE);
    EXPECT_TRUE(probe.calls.empty());
}

} // namespace
