// Checks a generated map against its register table as the tables of the map
// descriptions in the documentation give it, identifiers copied by hand: the
// identifiers each operation must accept or refuse, and the field count
// getRegisterFormat reports.
#pragma once

#include <gtest/gtest.h>

#include <cstdint>
#include <vector>

#include "regs/register_map.h"
#include "regs_fake_accessor.h"

namespace kelvo_test {

enum GoldenAccess { kGoldenRW, kGoldenRO, kGoldenWO };

struct GoldenRegister {
    uint32_t id;
    GoldenAccess access;
    uint32_t offset;
    std::vector<uint32_t> fields; // field identifiers; bit 30 marks a read-only field
};

// The map must sit over `bus` at base 0 with a window covering every register.
inline void expectGolden(arm::tRegisterMapBase& map, FakeAccessor& bus,
                         const std::vector<GoldenRegister>& table) {
    using nVOAPALS100::tStatus;
    EXPECT_EQ(map.tables().registerCount, table.size()) << "registers of the map";
    EXPECT_STREQ(map.getVersion(), "1.0.0d379");
    EXPECT_STREQ(map.getOldestCompatibleVersion(), "1.0.0d379");
    auto code = [](auto&& operation) {
        tStatus s;
        operation(s);
        return s.getCode();
    };
    for (const GoldenRegister& r : table) {
        SCOPED_TRACE(::testing::Message() << "register 0x" << std::hex << r.id);
        const bool readable = r.access != kGoldenWO;
        const bool writable = r.access != kGoldenRO;
        const int64_t readCode = readable ? 0 : kUnknownId;
        const int64_t writeCode = writable ? 0 : kUnknownId;
        uint64_t v = 1;
        EXPECT_EQ(code([&](tStatus& s) { map.get(r.id, v, s, 0); }), 0);
        EXPECT_EQ(code([&](tStatus& s) { map.set(r.id, v, s, 0); }), writeCode);
        bus.log.clear();
        v = 1;
        EXPECT_EQ(code([&](tStatus& s) { map.read(r.id, v, s, 0); }), readCode);
        EXPECT_EQ(bus.offsets('R'), readable ? std::vector<uint32_t>{r.offset} : std::vector<uint32_t>{});
        if (!readable) {
            EXPECT_EQ(v, 0u);
        }
        bus.log.clear();
        EXPECT_EQ(code([&](tStatus& s) { map.write(r.id, 0x5A5A5A5A, true, s, 0); }), writeCode);
        EXPECT_EQ(bus.offsets('W'), writable ? std::vector<uint32_t>{r.offset} : std::vector<uint32_t>{});
        EXPECT_EQ(code([&](tStatus& s) { map.flush(r.id, false, s, 0); }), writeCode);
        EXPECT_EQ(code([&](tStatus& s) { map.refresh(r.id, s, 0); }), readCode);
        // Selector bits do not matter in a whole-register identifier.
        EXPECT_EQ(code([&](tStatus& s) { map.get(r.id | 0x3F000000u, v, s, 0); }), 0);
        uint32_t count = 32;
        arm::FieldType types[32];
        uint64_t masks[32];
        EXPECT_EQ(code([&](tStatus& s) { map.getRegisterFormat(r.id, count, types, masks, s); }), 0);
        EXPECT_EQ(count, r.fields.empty() ? 1u : r.fields.size());
        for (uint32_t f : r.fields) {
            SCOPED_TRACE(::testing::Message() << "field 0x" << std::hex << f);
            const bool fieldWritable = writable && (f & 0x40000000u) == 0;
            EXPECT_EQ(code([&](tStatus& s) { map.get(f, v, s, 0); }), 0);
            EXPECT_EQ(code([&](tStatus& s) { map.set(f, 0, s, 0); }), fieldWritable ? 0 : kUnknownId);
            EXPECT_EQ(code([&](tStatus& s) { map.read(f, v, s, 0); }), readCode);
            // The read-only fields of these registers do not select them for flush and refresh.
            EXPECT_EQ(code([&](tStatus& s) { map.refresh(f, s, 0); }),
                      (f & 0x40000000u) != 0 ? kUnknownId : readCode);
            EXPECT_EQ(code([&](tStatus& s) { map.flush(f, false, s, 0); }),
                      (f & 0x40000000u) != 0 ? kUnknownId : writeCode);
        }
        // The read view exists for no register of these maps.
        EXPECT_EQ(code([&](tStatus& s) { map.get(r.id | 0x40000000u, v, s, 0); }), kUnknownId);
    }
    map.reinitialize();
}

} // namespace kelvo_test
