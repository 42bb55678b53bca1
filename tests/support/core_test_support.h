// Helpers for the driver-core tests: the host started around each test, modules added, requests.
#pragma once

#include "core/kelvo_device.h"
#include "host/host.h"
#include "kelvo/ioctl.h"
#include "host/kelvo_host.h"
#include "standin/pci_bus.h"
#include "sim/sim.h"
#include "test_support.h"

namespace kelvo_test {

inline std::uint64_t address(const void* pointer) {
    return reinterpret_cast<std::uintptr_t>(pointer);
}

// A request with the records' own sizes that must reach its operation: the output record.
template <class Out, class In> Out answer(int handle, std::uint32_t code, const In& in) {
    Out out{};
    kelvo_ioctl_header header{address(&in), address(&out), sizeof(In), sizeof(Out), 0, 0};
    EXPECT_EQ(kelvo_ioctl(handle, code, &header), 0) << "code " << std::hex << code;
    EXPECT_EQ(header.result, sizeof(Out)) << "the bytes written";
    return out;
}
// The status word of a request whose output record is the status alone.
template <class In> std::int32_t statusOf(int handle, std::uint32_t code, const In& in) {
    return answer<kelvo_status_record>(handle, code, in).status;
}
// A request record naming a registration: text must outlive the request.
template <class In> In named(In in, std::string_view text) {
    in.nameAddress = address(text.data());
    in.nameLength = text.size();
    return in;
}

// The boards the whole-setup tests loop over: one per sanitizer (a setup costs five to ten times as
// much there), a different generation each.
inline const std::vector<std::string>& boards() {
#if defined(__SANITIZE_THREAD__)
    static const std::vector<std::string> names = {"duskmere-a"};
#elif defined(__SANITIZE_ADDRESS__)
    static const std::vector<std::string> names = {"solstra"};
#else
    static const std::vector<std::string> names = {"solstra", "duskmere-a", "duskmere-b"};
#endif
    return names;
}

// The host started around each test, which must leave no kernel-layer object and no host fault.
class HostedTest : public LeakCheckedTest {
protected:
    // Level 7 settles the transformer for a second: the stand-in clock runs 1000 times faster.
    void SetUp() override {
        LeakCheckedTest::SetUp();
        previousScale_ = kal::clock::scale();
        kal::clock::setScale(1000.0);
        ASSERT_EQ(kelvo_host_start(), 0);
    }
    void TearDown() override {
        kelvo_host_stop();
        kal::clock::setScale(previousScale_);
        EXPECT_TRUE(kelvo_host::faults().empty());
        LeakCheckedTest::TearDown();
    }

public:
    static kelvo_driver::KelvoDevice* deviceOf(int index) {
        auto* pci = static_cast<kelvo_driver::nVOAPAL000::tPCIDevice*>(
            kelvo_host::device(static_cast<unsigned>(index)));
        return static_cast<kelvo_driver::KelvoDevice*>(pci);
    }
    static fenwicksharedsource::KernelSession* sessionOf(int handle) {
        auto* session = static_cast<kelvo_driver::nVOAPAL000::tSession*>(kelvo_host::context(handle));
        return static_cast<fenwicksharedsource::KernelSession*>(session);
    }
    static kelvo_driver::nVOAPAL000::tEventDescriptor descriptorOf(int handle) {
        return kelvo_driver::nVOAPAL000::descriptorOf(sessionOf(handle));
    }
    static std::string textProperty(int index, const char* name) {
        char buffer[128] = {};
        const int length =
            kelvo_property_read(static_cast<unsigned>(index), nullptr, name, buffer, sizeof(buffer));
        return length < 0 ? std::string("<missing>") : std::string(buffer);
    }
    static bool hasProperty(int index, const char* name) {
        return kelvo_property_read(static_cast<unsigned>(index), nullptr, name, nullptr, 0) >= 0;
    }
    // prepare sets the module's knobs before setup runs.
    static int add(const std::string& board, const std::function<void(sim::Module&)>& prepare = {}) {
        const int index = kelvo_host::addModule(board, prepare);
        EXPECT_GE(index, 0) << board;
        return index;
    }
    static void remove(int index) { EXPECT_EQ(kelvo_host_remove_module(static_cast<unsigned>(index)), 0); }
    static sim::Module& module(int index) { return *kelvo_host::module(static_cast<unsigned>(index)); }
    static std::uint32_t levelOf(int index) { return deviceOf(index)->getSetupTracker().getCurrentLevel(); }
    static std::int64_t setupCode(int index) {
        return deviceOf(index)->getSetupTracker().getStatus().getCode();
    }
    static int open(int index) {
        const int handle = kelvo_open("smu_kelvo", static_cast<unsigned>(index));
        EXPECT_GE(handle, 0);
        return handle;
    }
    // A reset through the I/O control on a handle of its own (parameters: the custom block or null).
    static std::int32_t resetTo(int index, std::uint32_t level, const void* parameters = nullptr) {
        const int handle = open(index);
        const kelvo_kdut_reset_in in{level, 0, parameters != nullptr ? address(parameters) : 0, 0, 0};
        const std::int32_t status = statusOf(handle, KELVO_IOCTL_kdut_reset, in);
        kelvo_close(handle);
        return status;
    }
    // A reset through the device's own entry on a handle of its own: the status code.
    static std::int64_t kdutReset(int index, std::uint32_t level, std::uint64_t parameters = 0) {
        const int handle = open(index);
        nVOAPALS100::tStatus status;
        deviceOf(index)->kdut_reset(descriptorOf(handle), level, parameters, status);
        kelvo_close(handle);
        return status.getCode();
    }
    static std::int32_t reserveAll(int handle) {
        return statusOf(handle, KELVO_IOCTL_kdut_reserveResources, kelvo_kdut_reserveResources_in{1, 0, 0});
    }

private:
    double previousScale_ = 1.0;
};

} // namespace kelvo_test
