// Helpers for the driver-core tests: the host started around each test, the
// product device of a host device index, and requests on a session.
#pragma once

#include <string>
#include <vector>

#include "control.h"
#include "core/kelvo_device.h"
#include "host.h"
#include "kelvo_host.h"
#include "pci_bus.h"
#include "test_support.h"

namespace kelvo_test {

inline const std::vector<std::string>& boards() {
    static const std::vector<std::string> names = {"solstra", "duskmere-a", "duskmere-b"};
    return names;
}

// Starts the host before each test; stops it after, and checks that no
// kernel-layer object is left (LeakCheckedTest) and that the host saw no fault.
class HostedTest : public LeakCheckedTest {
protected:
    // The product's setup settles the transformer for a second at level 7:
    // hosted tests run the stand-in clock 1000 times faster (a test may set
    // another scale for a scope of its own).
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
    // An ordinary I/O-control request with empty buffers: the request's code.
    static int emptyRequest(int handle, unsigned code) {
        kelvo_ioctl_header header{};
        return kelvo_ioctl(handle, code, &header);
    }

private:
    double previousScale_ = 1.0;
};

} // namespace kelvo_test
