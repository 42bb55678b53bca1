// Helpers of the Duskmere register-map tests: register tables written as the
// board's register lists give them (offset, key, fields as "11:0 [2] RO; 15 [0]",
// access, bits cleared after a write, reset value), checked against a generated
// map through its operations by number and a recording accessor.
#pragma once

#include <cstdint>
#include <sstream>
#include <string>
#include <vector>

#include "regs/register_map.h"
#include "regs_fake_accessor.h"
#include "test_support.h"

// In a namespace of their own: other tests have helpers of the same names.
namespace kelvo_test::duskmere {

enum class Access { kReadWrite, kReadOnly, kWriteOnly };

struct GoldenRegister {
    uint32_t offset;
    uint32_t key;
    const char* fields; // "hi:lo [type] RO" or "bit [type]", separated by ';'
    Access access = Access::kReadWrite;
    uint32_t clears = 0; // bits cleared after a write (the strobe bits of a strobe-word register)
    bool strobe = false; // strobe bits wait in a pending word
    uint32_t reset = 0;  // soft copy after construction
};

struct GoldenField {
    uint32_t lsb;
    uint32_t width;
    uint32_t type;
    bool readOnly;
    uint32_t mask() const { return width >= 32 ? 0xFFFFFFFFu : ((1u << width) - 1u) << lsb; }
};

inline std::vector<GoldenField> parseFields(const char* text) {
    std::vector<GoldenField> fields;
    std::stringstream all(text);
    std::string item;
    while (std::getline(all, item, ';')) {
        std::stringstream words(item);
        std::string bits;
        std::string type;
        std::string mark;
        words >> bits >> type >> mark;
        const size_t colon = bits.find(':');
        const uint32_t high = static_cast<uint32_t>(std::stoul(bits.substr(0, colon)));
        const uint32_t low =
            colon == std::string::npos ? high : static_cast<uint32_t>(std::stoul(bits.substr(colon + 1)));
        fields.push_back(
            {low, high - low + 1, static_cast<uint32_t>(std::stoul(type.substr(1))), mark == "RO"});
    }
    return fields;
}

// The identifier rule: key, the lowest bit's six bits reversed into bits 24-29, bit 30 on read-only fields.
inline uint32_t fieldId(uint32_t key, const GoldenField& f) {
    uint32_t reversed = 0;
    for (uint32_t bit = 0; bit < 6; ++bit) {
        if ((f.lsb >> bit) & 1u) {
            reversed |= 1u << (5 - bit);
        }
    }
    return key | (reversed << 24) | (f.readOnly ? 0x40000000u : 0u);
}

inline bool isMixed(const std::vector<GoldenField>& fields) {
    bool ro = false;
    bool rw = false;
    for (const GoldenField& f : fields) {
        (f.readOnly ? ro : rw) = true;
    }
    return ro && rw;
}

// Operations by number, each on a fresh status; they return the status code.
struct ById {
    arm::tRegisterMapBase& map;
    int64_t get(uint32_t id, uint64_t& value) {
        nVOAPALS100::tStatus s;
        map.get(id, value, s, 0);
        return s.getCode();
    }
    uint64_t get(uint32_t id) {
        uint64_t value = 0xDEAD;
        get(id, value);
        return value;
    }
    int64_t set(uint32_t id, uint64_t value) {
        nVOAPALS100::tStatus s;
        map.set(id, value, s, 0);
        return s.getCode();
    }
    int64_t read(uint32_t id, uint64_t& value) {
        nVOAPALS100::tStatus s;
        map.read(id, value, s, 0);
        return s.getCode();
    }
    int64_t write(uint32_t id, uint64_t value, bool force = false) {
        nVOAPALS100::tStatus s;
        map.write(id, value, force, s, 0);
        return s.getCode();
    }
    int64_t flush(uint32_t id, bool force = false) {
        nVOAPALS100::tStatus s;
        map.flush(id, force, s, 0);
        return s.getCode();
    }
    int64_t refresh(uint32_t id) {
        nVOAPALS100::tStatus s;
        map.refresh(id, s, 0);
        return s.getCode();
    }
};

// Checks a map's own registers against its table (in declaration order): the
// registers and their order, every identifier and no other, what each operation
// accepts, the formats, the addresses reached through the accessor (map built
// with window start 0 at `base`), the bits a write clears and the reset values.
inline void expectGoldenRegisters(arm::tRegisterMapBase& map, FakeAccessor& bus, uint32_t base,
                                  const std::vector<GoldenRegister>& rows) {
    const arm::tRegisterMapTables& tables = map.tables();
    ASSERT_EQ(tables.registerCount, rows.size());
    ById op{map};
    uint32_t wholeIds = 0;
    uint32_t getIds = 0;
    uint32_t setIds = 0;
    uint32_t readIds = 0;
    uint32_t writeIds = 0;
    uint32_t flushIds = 0;
    uint32_t refreshIds = 0;
    for (size_t i = 0; i < rows.size(); ++i) {
        const GoldenRegister& row = rows[i];
        SCOPED_TRACE(testing::Message()
                     << "register at 0x" << std::hex << row.offset << " key 0x" << row.key);
        const std::vector<GoldenField> fields = parseFields(row.fields);
        const bool mixed = isMixed(fields);
        const bool readable = row.access != Access::kWriteOnly;
        const bool writable = row.access != Access::kReadOnly;
        const uint32_t whole = 0x80000000u | row.key;
        const uint32_t view = 0xC0000000u | row.key;
        const arm::tRegisterInfo& info = tables.registers[i];
        EXPECT_EQ(info.offset, row.offset);
        EXPECT_EQ(info.kind, row.strobe ? arm::kStrobeWord : arm::kSoftCopy);
        EXPECT_EQ(info.access, row.access == Access::kReadWrite  ? arm::kReadWrite
                               : row.access == Access::kReadOnly ? arm::kReadOnly
                                                                 : arm::kWriteOnly);
        EXPECT_EQ(info.clearedAfterWrite, row.clears);

        // Counts of the identifier tables, summed below.
        const uint32_t wholes = mixed ? 2 : 1;
        uint32_t writableFields = 0;
        for (const GoldenField& f : fields) {
            writableFields += f.readOnly ? 0 : 1;
        }
        wholeIds += wholes;
        getIds += wholes + static_cast<uint32_t>(fields.size());
        setIds += writable ? wholes + writableFields : 0;
        readIds += readable ? wholes + static_cast<uint32_t>(fields.size()) : 0;
        writeIds += writable ? wholes + writableFields : 0;
        flushIds += writable ? wholes : 0;
        refreshIds += readable ? wholes : 0;

        EXPECT_EQ(op.get(whole), row.reset);

        // What each operation accepts.
        const int64_t unknown = kUnknownId;
        uint64_t v = 0;
        for (uint32_t id : mixed ? std::vector<uint32_t>{whole, view} : std::vector<uint32_t>{whole}) {
            SCOPED_TRACE(testing::Message() << "whole 0x" << std::hex << id);
            EXPECT_EQ(op.get(id, v), 0);
            EXPECT_EQ(op.set(id, 0), writable ? 0 : unknown);
            EXPECT_EQ(op.read(id, v), readable ? 0 : unknown);
            EXPECT_EQ(op.write(id, 0), writable ? 0 : unknown);
            EXPECT_EQ(op.flush(id), writable ? 0 : unknown);
            EXPECT_EQ(op.refresh(id), readable ? 0 : unknown);
            EXPECT_EQ(op.get(id + 1, v), unknown) << "a neighbouring key is no register";
        }
        for (const GoldenField& f : fields) {
            const uint32_t id = fieldId(row.key, f);
            SCOPED_TRACE(testing::Message() << "field 0x" << std::hex << id);
            // A field names its register in flush and refresh through (id & 0x40FFFFFF) | 0x80000000:
            // a read-only field only where the register has a read view.
            const bool named = !f.readOnly || mixed;
            EXPECT_EQ(op.get(id, v), 0);
            EXPECT_EQ(op.set(id, 0), writable && !f.readOnly ? 0 : unknown);
            EXPECT_EQ(op.read(id, v), readable ? 0 : unknown);
            EXPECT_EQ(op.write(id, 0), writable && !f.readOnly ? 0 : unknown);
            EXPECT_EQ(op.flush(id), writable && named ? 0 : unknown);
            EXPECT_EQ(op.refresh(id), readable && named ? 0 : unknown);
        }

        // Formats: the 0x80 identifier lists the writable fields of a mixed register, the view all.
        auto expectFormat = [&](uint32_t id, bool writableOnly) {
            arm::FieldType types[32];
            uint64_t masks[32];
            uint32_t count = 32;
            nVOAPALS100::tStatus s;
            map.getRegisterFormat(id, count, types, masks, s);
            ASSERT_TRUE(s.isSuccess());
            std::vector<uint64_t> gotMasks(masks, masks + count);
            std::vector<uint32_t> gotTypes(types, types + count);
            std::vector<uint64_t> wantMasks;
            std::vector<uint32_t> wantTypes;
            for (const GoldenField& f : fields) {
                if (!writableOnly || !f.readOnly) {
                    wantMasks.push_back(f.mask());
                    wantTypes.push_back(f.type);
                }
            }
            EXPECT_EQ(gotMasks, wantMasks) << "format of 0x" << std::hex << id;
            EXPECT_EQ(gotTypes, wantTypes) << "format of 0x" << std::hex << id;
        };
        expectFormat(whole, mixed);
        if (mixed) {
            expectFormat(view, false);
        }

        // Address and bits cleared by a write.
        const uint32_t address = base + row.offset;
        const uint32_t pattern = 0xA5C3E187u ^ row.key;
        if (writable) {
            bus.log.clear();
            EXPECT_EQ(op.write(whole, pattern, true), 0);
            EXPECT_EQ(bus.log, (std::vector<BusAccess>{{'W', address, pattern}}));
            EXPECT_EQ(op.get(whole), pattern & ~row.clears);
            // Each writable field in place; strobe bits wait outside the soft copy.
            for (const GoldenField& f : fields) {
                if (f.readOnly) {
                    continue;
                }
                EXPECT_EQ(op.set(whole, 0), 0);
                EXPECT_EQ(op.set(fieldId(row.key, f), 0xFFFFFFFF), 0);
                EXPECT_EQ(op.get(whole), f.mask() & (row.strobe ? ~row.clears : 0xFFFFFFFFu))
                    << "field at bit " << f.lsb;
            }
        }
        if (readable) {
            bus.memory[address] = ~pattern;
            bus.log.clear();
            EXPECT_EQ(op.read(whole, v), 0);
            EXPECT_EQ(v, ~pattern);
            EXPECT_EQ(bus.log, (std::vector<BusAccess>{{'R', address, ~pattern}}));
            for (const GoldenField& f : fields) {
                EXPECT_EQ(op.get(fieldId(row.key, f)), (~pattern & f.mask()) >> f.lsb);
            }
        }
    }
    EXPECT_EQ(tables.formatIdCount, wholeIds);
    EXPECT_EQ(tables.get.count, getIds);
    EXPECT_EQ(tables.set.count, setIds);
    EXPECT_EQ(tables.read.count, readIds);
    EXPECT_EQ(tables.write.count, writeIds);
    EXPECT_EQ(tables.flush.count, flushIds);
    EXPECT_EQ(tables.refresh.count, refreshIds);
}

// The order of the whole-map operations over the own registers: flushRegMap
// writes the writable ones in declaration order, refreshRegMap reads the
// readable ones, both before any sub-map is reached.
inline void expectWholeMapOrder(arm::tRegisterMapBase& map, FakeAccessor& bus, uint32_t base,
                                const std::vector<GoldenRegister>& rows) {
    std::vector<uint32_t> writes;
    std::vector<uint32_t> reads;
    for (const GoldenRegister& row : rows) {
        if (row.access != Access::kReadOnly) {
            writes.push_back(base + row.offset);
        }
        if (row.access != Access::kWriteOnly) {
            reads.push_back(base + row.offset);
        }
    }
    nVOAPALS100::tStatus s;
    bus.log.clear();
    map.flushRegMap(true, s);
    std::vector<uint32_t> got = bus.offsets('W');
    ASSERT_GE(got.size(), writes.size());
    EXPECT_EQ(std::vector<uint32_t>(got.begin(), got.begin() + static_cast<long>(writes.size())), writes);
    bus.log.clear();
    map.refreshRegMap(s);
    got = bus.offsets('R');
    ASSERT_GE(got.size(), reads.size());
    EXPECT_EQ(std::vector<uint32_t>(got.begin(), got.begin() + static_cast<long>(reads.size())), reads);
    EXPECT_TRUE(s.isSuccess());
}

} // namespace kelvo_test::duskmere
