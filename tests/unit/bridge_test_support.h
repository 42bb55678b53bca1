// Helpers for the tests of the bridge and timing-chip maps: a simulated module
// with BAR 0 mapped, memory regions over it, and a check of a map against
// its register table as written down by hand.
#pragma once

#include <cstdint>
#include <cstdio>
#include <memory>
#include <ostream>
#include <stdexcept>
#include <string>
#include <vector>

#include "pci_test_support.h"
#include "platform/pci_device.h"
#include "platform/pci_memory_accessor.h"
#include "regs/sized_register_map.h"
#include "regs_fake_accessor.h"
#include "sim.h"
#include "test_support.h"

namespace kelvo_test {

using tRegion = kelvo_driver::nVOAPAL000::tPCIMemorySpaceAccessorDebug<false>;

// One access of a simulated chip's trace, comparable and printable in expectations.
struct ChipAccess {
    bool write;
    uint64_t offset;
    uint32_t width;
    uint64_t value;
    bool operator==(const ChipAccess&) const = default;
};
inline std::ostream& operator<<(std::ostream& out, const ChipAccess& a) {
    return out << (a.write ? "W" : "R") << a.width * 8 << " @0x" << std::hex << a.offset << " = 0x" << a.value
               << std::dec;
}

// A plugged module with BAR 0 mapped.
class SimulatedBarTest : public LeakCheckedTest {
protected:
    void SetUp() override {
        LeakCheckedTest::SetUp();
        module = bus.plug("solstra");
        nVOAPALS100::tStatus status;
        device = new (status, false) kelvo_driver::nVOAPAL000::tPCIDevice(deviceInfoOf(*module), status);
        bar = static_cast<char*>(device->mapMemoryWindow(0, status, 0));
        ASSERT_TRUE(status.isSuccess());
    }
    void TearDown() override {
        EXPECT_EQ(module->deviceErrorCount(), 0u) << ::testing::PrintToString(module->deviceErrors());
        device->unmapMemoryWindow(0, bar, 0);
        kelvo_driver::nVOAPAL000::deleteObject(device);
        LeakCheckedTest::TearDown();
    }
    tRegion region(uint64_t offset, uint64_t size) const { return tRegion(bar + offset, size); }
    // The timing chip's accesses so far.
    std::vector<ChipAccess> chipTrace() const {
        std::vector<ChipAccess> result;
        for (const sim::Access& a : module->timingChip().trace()) {
            result.push_back({a.write, a.offset, a.width, a.value});
        }
        return result;
    }
    // The interrupt-mask register (0x5C) belongs to the interrupt block; where
    // that block is not in the simulated bridge, a latch stands in for it.
    void ensureInterruptMaskRegister() {
        try {
            module->bar0().add<sim::LatchBlock>(0x5C, "test-interrupt-mask", 4, sim::kWidth32);
        } catch (const std::logic_error&) {
        }
    }

    sim::Bus bus;
    std::shared_ptr<sim::Module> module;
    kelvo_driver::nVOAPAL000::tPCIDevice* device = nullptr;
    char* bar = nullptr;
};

// A register as its map's table gives it: whole identifier, offset, width,
// access, kind, and fields (lowest bit first) with their identifiers.
enum class Access { kReadWrite, kReadOnly, kWriteOnly };
enum class Kind { kSoftCopy, kDataPort };
struct BridgeGoldenField {
    uint32_t lo;
    uint32_t hi;
    uint32_t id;
};
struct BridgeGoldenRegister {
    const char* name;
    uint32_t whole;
    uint32_t width;
    Access access;
    Kind kind;
    std::vector<BridgeGoldenField> fields;
};

inline uint64_t goldenMask(const BridgeGoldenField& f) {
    return ((uint64_t{1} << (f.hi - f.lo + 1)) - 1) << f.lo;
}
inline arm::FieldType goldenType(const BridgeGoldenField& f) {
    return arm::fieldTypeOfWidth(f.hi - f.lo + 1);
}

// Checks every identifier of the table against the map: the formats, and which
// operations accept it. get, set (with the value it holds, so nothing changes),
// flush (clean, so nothing is written) and getRegisterFormat are used; read and
// refresh only where `readHardware` allows. Returns a description of the first
// difference, empty when none. (That the map has no registers beyond the
// table: compare the table's size with tables().formatIdCount.)
inline std::string checkGolden(arm::DynamicAccessInterfaceBase<nVOAPALS100::tStatus>& map,
                               const std::vector<BridgeGoldenRegister>& table, bool readHardware) {
    using nVOAPALS100::tStatus;
    auto hex = [](uint64_t v) {
        char text[16];
        std::snprintf(text, sizeof text, "0x%08llX", static_cast<unsigned long long>(v));
        return std::string(text);
    };
    auto sharedOffset = [&](uint32_t whole) {
        for (const BridgeGoldenRegister& other : table) {
            if (other.whole == whole) {
                return true;
            }
        }
        return false;
    };
    for (const BridgeGoldenRegister& reg : table) {
        const std::string where = std::string(reg.name) + " " + hex(reg.whole);
        const bool soft = reg.kind == Kind::kSoftCopy;
        const bool readable = reg.access != Access::kWriteOnly;
        const bool writable = reg.access != Access::kReadOnly;
        std::vector<uint32_t> ids{reg.whole};
        for (const BridgeGoldenField& f : reg.fields) {
            ids.push_back(f.id);
        }
        for (uint32_t id : ids) {
            const std::string at = where + " by " + hex(id);
            tStatus status;
            uint32_t count = 64;
            arm::FieldType types[64];
            uint64_t masks[64];
            map.getRegisterFormat(id, count, types, masks, status);
            if (!status.isSuccess() || count != reg.fields.size()) {
                return at + ": getRegisterFormat gives " + std::to_string(status.getCode()) + ", count " +
                       std::to_string(count);
            }
            for (size_t i = 0; i < reg.fields.size(); ++i) {
                if (masks[i] != goldenMask(reg.fields[i]) || types[i] != goldenType(reg.fields[i])) {
                    return at + ": field " + std::to_string(i) + " has mask " + hex(masks[i]);
                }
            }
            uint64_t value = 0;
            tStatus got;
            map.get(id, value, got, 0);
            if (got.isSuccess() != soft) {
                return at + ": get gives " + std::to_string(got.getCode());
            }
            tStatus set;
            map.set(id, value, set, 0);
            if (set.isSuccess() != (soft && writable)) {
                return at + ": set gives " + std::to_string(set.getCode());
            }
            tStatus flushed;
            map.flush(id, false, flushed, 0);
            if (flushed.isSuccess() != writable) {
                return at + ": flush gives " + std::to_string(flushed.getCode());
            }
            if (readHardware) {
                tStatus read;
                map.read(id, value, read, 0);
                if (read.isSuccess() != readable) {
                    return at + ": read gives " + std::to_string(read.getCode());
                }
                tStatus refreshed;
                map.refresh(id, refreshed, 0);
                if (refreshed.isSuccess() != (soft && readable)) {
                    return at + ": refresh gives " + std::to_string(refreshed.getCode());
                }
            }
        }
        // A read-only register is selected only by identifiers that carry bit 30.
        const uint32_t without = reg.whole & ~0x40000000u;
        if (reg.access == Access::kReadOnly && !sharedOffset(without)) {
            tStatus status;
            uint32_t count = 64;
            arm::FieldType types[64];
            uint64_t masks[64];
            map.getRegisterFormat(without, count, types, masks, status);
            if (status.getCode() != kNotImplemented || count != 0) {
                return where + ": getRegisterFormat without bit 30 gives " + std::to_string(status.getCode());
            }
        }
    }
    return "";
}

} // namespace kelvo_test
