// User mode on a module whose test level table builds the register-map
// groups at levels 3, 5 and 9: both FPGA windows and every map reached by
// name through the I/O-control stubs of the device-window and register-map
// codes (over the device's own gate and dispatchers), an isolated register
// read the same way through either, and nothing left once the module is
// removed.
#include <cstdint>
#include <cstring>
#include <optional>
#include <string>
#include <vector>

#include "core/ioctl/device_access.h"
#include "core/ioctl/stub.h"
#include "core_test_levels.h"
#include "core_test_support.h"
#include "framework/io_gate.h"
#include "kelvo/ioctl.h"
#include "windows/device_window.h"

namespace {

using nVOAPALS100::tStatus;

using kelvo_driver::ioctl::Op;

// The product device as the I/O-control stubs reach it: its gate, and the
// dispatchers of its KelvoHelper.
struct UserSession : kelvo_driver::nVOAPAL000::tSession {};
class UserDevice;

class UserGate {
public:
    UserGate(UserDevice& device, UserSession*, uint32_t level, tStatus& status);

private:
    kdut::AutoIOGate<kelvo_shared::SetupLevel, fenwicksharedsource::KernelSession> gate_;
};

class UserDevice {
public:
    using IOControlGate = UserGate;
    explicit UserDevice(kelvo_driver::KelvoDevice& device) : device(device) {}
    armki::ARMDispatcher* getARMDispatcher() {
        return device.getKelvoHelper() != nullptr ? &device.getKelvoHelper()->getARMDispatcher() : nullptr;
    }
    devicewindow::DeviceWindowDispatcher* getDeviceWindowDispatcher() {
        return device.getKelvoHelper() != nullptr ? &device.getKelvoHelper()->getDeviceWindowDispatcher()
                                                  : nullptr;
    }
    kelvo_driver::KelvoDevice& device;
};

UserGate::UserGate(UserDevice& device, UserSession*, uint32_t level, tStatus& status)
    : gate_(device.device, nullptr, device.device.getSetupTracker(), level, status) {}

class GroupsUser : public kelvo_test::HostedTest {
protected:
    // One request through the code's stub: the output record.
    template <Op op>
    typename kelvo_driver::ioctl::Record<op>::Out
    request(const typename kelvo_driver::ioctl::Record<op>::In& in) {
        typename kelvo_driver::ioctl::Record<op>::Out out{};
        const uint64_t input = scope.add(&in, sizeof(in), kal::usermem::kRead);
        const uint64_t output = scope.add(&out, sizeof(out));
        tStatus transport;
        EXPECT_EQ((kelvo_driver::ioctl::unmarshall<UserDevice, UserSession, op>(
                      *device, 0, input, sizeof(in), output, sizeof(out), transport)),
                  sizeof(out));
        EXPECT_TRUE(transport.isSuccess());
        scope.remove(input);
        scope.remove(output);
        return out;
    }
    // A name in the caller's memory.
    uint64_t name(const std::string& text) {
        names.push_back(text);
        return scope.add(names.back().data(), names.back().size(), kal::usermem::kRead);
    }
    uint64_t windowSize(const std::string& window) {
        auto out = request<Op::deviceWindow_getSizeInBytes>({name(window), window.size(), 0, 0});
        EXPECT_EQ(out.status, 0);
        return out.size;
    }
    std::vector<std::string> registeredMaps() {
        auto size = request<Op::arm_getSizeOfRegistrationList>({0});
        std::string list(size.size, '\0');
        auto listed = request<Op::arm_getRegistrationList>({scope.add(list.data(), list.size()), 0, 0});
        EXPECT_EQ(listed.status, 0);
        std::vector<std::string> out;
        size_t start = 0;
        list.resize(list.size() - 1);
        for (size_t tab; (tab = list.find('\t', start)) != std::string::npos; start = tab + 1) {
            out.push_back(list.substr(start, tab - start));
        }
        out.push_back(list.substr(start));
        return out;
    }

    kelvo_test::ScopedTestLevels levels_;
    kal::usermem::Scope scope;
    std::vector<std::string> names;
    std::optional<UserDevice> device;
};

TEST_F(GroupsUser, MapsAndWindowsAreReachedByName) {
    for (const std::string board : {"solstra", "duskmere-a"}) {
        SCOPED_TRACE(board);
        const bool solstra = board == "solstra";
        const int index = kelvo_host::addModule(board);
        ASSERT_GE(index, 0);
        ASSERT_EQ(deviceOf(index)->getSetupTracker().getCurrentLevel(), 19u);
        device.emplace(*deviceOf(index));
        auto module = kelvo_host::module(static_cast<unsigned>(index));

        EXPECT_EQ(windowSize("NisoFpgaWindow"), solstra ? 0x8000u : 0xE000u);
        EXPECT_EQ(windowSize("IsoFpgaWindow"), solstra ? 0x20000u : 0x8000u);
        const std::vector<std::string> maps = registeredMaps();
        EXPECT_EQ(maps.front(), "BrixelDMAChannel0");
        EXPECT_EQ(maps.back(),
                  solstra ? "SolstraIsoTopRegMap_BoardWin_SolstraIsoBoardRegMap_SeqDebugWin_KelvoDebugRegMap"
                          : "DuskmereIsoTopRegMap_BoardWin_DuskmereIsoBoardRegMap_StandardRegsWin_"
                            "DuskmereStandardRegs_RequiredRegsWin_RequiredRegs");

        // The first required register of the isolated board: by name and through the window.
        const std::string required =
            solstra ? "SolstraIsoTopRegMap_BoardWin_SolstraIsoBoardRegMap_StandardRegsWin_"
                      "SolstraStandardRegs_RequiredRegsWin_RequiredRegs_Ver1.0.0d379"
                    : "DuskmereIsoTopRegMap_BoardWin_DuskmereIsoBoardRegMap_StandardRegsWin_"
                      "DuskmereStandardRegs_RequiredRegsWin_RequiredRegs_Ver1.0.0d379";
        module->isoFpga().poke(0x0, 0x4B454C56);
        auto byName = request<Op::arm_read>({name(required), required.size(), 0x429DAF0B, 0});
        EXPECT_EQ(byName.status, 0);
        EXPECT_EQ(byName.value, 0x4B45u);
        uint8_t word[4] = {};
        const std::string iso = "IsoFpgaWindow";
        auto read = request<Op::deviceWindow_read>(
            {name(iso), iso.size(), 0, 4, scope.add(word, sizeof(word)), 0, 0});
        EXPECT_EQ(read.status, 0);
        EXPECT_EQ(word[2] | (word[3] << 8), 0x4B45);

        // A write through the non-isolated window lands in the FPGA; a range past it is refused.
        const std::string niso = "NisoFpgaWindow";
        uint8_t bytes[4] = {0x11, 0x22, 0x33, 0x44};
        const uint64_t source = scope.add(bytes, sizeof(bytes), kal::usermem::kRead);
        auto written = request<Op::deviceWindow_write>({name(niso), niso.size(), source, 0x180, 4, 1, {}, 0});
        EXPECT_EQ(written.status, 0);
        EXPECT_EQ(module->nisoFpga().peek(0x180), 0x44332211u);
        auto outside =
            request<Op::deviceWindow_write>({name(niso), niso.size(), source, UINT64_MAX - 1, 4, 1, {}, 0});
        EXPECT_EQ(outside.status, devicewindow::kMemoryWindowOutOfRange);

        device.reset();
        EXPECT_EQ(kelvo_host_remove_module(static_cast<unsigned>(index)), 0);
    }
}

} // namespace
