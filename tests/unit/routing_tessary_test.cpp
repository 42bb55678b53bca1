// The isolation-port routing kit over a recording register accessor.
#include <gtest/gtest.h>

#include <algorithm>
#include <iterator>
#include <map>
#include <vector>

#include "routing/tessary.h"
#include "status_code.h"

namespace {

using kelvo_test::codeOf;
using nVOAPALS100::tStatus;

struct Registers : voquantasharedsource::FrontEndAccessorInterface {
    void write32(uint32_t offset, uint32_t value, tStatus&) override {
        values[offset] = value;
        writes.push_back({offset, value});
    }
    uint32_t read32(uint32_t offset, tStatus&) override { return values[offset]; }
    std::map<uint32_t, uint32_t> values;
    std::vector<std::pair<uint32_t, uint32_t>> writes;
};

constexpr uint32_t kSignatureAt = 0x201F0000; // a window based at 0x20000000
constexpr uint32_t group(uint32_t bank, uint32_t line) {
    return 0x20000000 + 0x1F1000 + bank * 0x1000 + line * 0x80;
}
using Writes = std::vector<std::pair<uint32_t, uint32_t>>;

// Line l of both banks released, then (from != 0) connected from bank from to bank to.
Writes directLine(uint32_t l, uint32_t from = 0, uint32_t to = 0) {
    Writes w;
    for (uint32_t bank : {1u, 2u}) {
        w.insert(w.end(), {{group(bank, l) + 0x0C, 0x4101}, {group(bank, l) + 0x10, 0x10000000}});
    }
    if (from != 0) {
        w.insert(w.end(), {{group(from, l), 1},
                           {group(to, l), 1},
                           {group(to, l) + 0x0C, 0x4204},
                           {group(to, l) + 0x10, 0x10700000}});
    }
    return w;
}

// A window without the signature is refused and the kit has no window after.
TEST(Tessary, DirectLines) {
    struct Case {
        const char* name;
        uint32_t map;
        uint32_t ownership;
        int64_t code;
        Writes writes;
        uint32_t signature = tessaryddk::kBlockSignature;
    } const cases[] = {
        {"map 0 writes nothing", 0, 0, 0, {}},
        {"line 0 from bank 1 to bank 2", 1, 0, 0, directLine(0, 1, 2)},
        {"line 9 from bank 2 to bank 1", 2u << 18, 0, 0, directLine(9, 2, 1)},
        {"released only", 3, 0, 0, directLine(0)},
        {"owned by owner 1", 1, 4, -700000, {}},
        {"no signature", 1, 0, -700000, {}, 0},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        Registers registers;
        registers.values[kSignatureAt] = c.signature;
        registers.values[0x201F0010] = c.ownership;
        tStatus status;
        tessaryddk::TessaryIsoPort port(registers, kSignatureAt, status);
        EXPECT_EQ(status.getCode(), c.signature != 0 ? 0 : -700001);
        uint32_t v[4] = {};
        EXPECT_EQ(codeOf([&](tStatus& s) { port.getVersion(&v[0], &v[1], &v[2], &v[3], s); }),
                  c.signature != 0 ? 0 : -700000);
        EXPECT_EQ(codeOf([&](tStatus& s) { port.configureDirectLines(c.map, s); }), c.code);
        EXPECT_EQ(registers.writes, c.writes);
    }
}

TEST(Tessary, BitConnectionsShareTheirSourceGroup) {
    Registers registers;
    registers.values[kSignatureAt] = tessaryddk::kBlockSignature;
    tStatus status;
    tessaryddk::TessaryIsoPort port(registers, kSignatureAt, status);
    tessaryddk::Connection connection = port.connectIsolationLine(1, 3, 2, 4, status);
    ASSERT_EQ(connection.active, 1);
    EXPECT_EQ(registers.values[group(2, 4) + 0x10], 0x10000400u);
    tessaryddk::Connection second = port.connectIsolationLine(1, 3, 2, 5, status);
    EXPECT_EQ(status.getCode(), -700020);
    EXPECT_EQ(second.active, 0);
    status.clear();
    port.addSourceBit(1, 3, 2);
    Writes state;
    std::copy_if(registers.writes.begin(), registers.writes.end(), std::back_inserter(state),
                 [](const auto& w) { return w.first == group(1, 3) + 0x2C; });
    EXPECT_EQ(state, (Writes{{group(1, 3) + 0x2C, 1}, {group(1, 3) + 0x2C, 2}}))
        << "the source state is set once, for the first bit";
    const size_t before = registers.writes.size();
    port.releaseConnection(connection, status);
    EXPECT_EQ(
        Writes(registers.writes.begin() + before, registers.writes.end()),
        (Writes{{group(2, 4) + 0x0C, 0x101}, {group(2, 4) + 0x10, 0x10000000}, {group(1, 3) + 0x3C, 4}}))
        << "the destination is released; the source keeps its other bit";
    port.removeSourceBit(1, 3, 2);
    EXPECT_EQ(registers.values[group(1, 3) + 0x2C], 1u);
    EXPECT_EQ(registers.values[group(1, 3) + 0x18], 1u);
    EXPECT_EQ(port.connectIsolationLine(1, 3, 2, 5, status).active, 1) << "free again after the release";
}

} // namespace
