// Sequencer command words and subroutine packages.

#include <numeric>
#include <vector>

#include "controllers/subroutines.h"
#include "test_support.h"

namespace {

using namespace wexmoortools;
using nVOAPALS100::tStatus;

// A class's default word is its template argument, written out once: the table checks what the setters do to
// the word of each kind of class.
TEST(CommandWords, FieldsLandInTheirBitsAndLeaveTheRestAlone) {
    const struct {
        const char* name;
        Command built, expected;
    } cases[] = {
        {"control C 15, G 5", ControlCommand().setC(15).setG(5).getRaw(), kEndMarker},
        {"control G 5", ControlCommand().setG(5).getRaw(), 0x1C00FF0500000000ull},
        {"execute data", ExecuteSubroutineCommand().setData(0x1234).getRaw(), 0x1D0DFF0200001234ull},
        {"B 7", ExecuteSubroutineCommand().setData(0x1234).setB(7).getRaw(), 0x1D7DFF0200001234ull},
        {"second store wins", Opcode9Command().setE(3).setE(0xC).getRaw(), 0x24000C0000000000ull},
        {"A at the top of its field", Opcode0Command().setA(7).getRaw(), 0x0380000000000000ull},
        {"F of opcode 7", Opcode7Command().setF(0xA).getRaw(), 0x1C0000A000000000ull},
        {"D of opcode 9", Opcode9G1Command().setD(0x5).getRaw(), 0x2400500100000000ull},
        {"data, C", SetMarkerCommand().setC(2).setData(0xFFFFFFFF).getRaw(), 0x20020000FFFFFFFFull},
        {"data twice", Opcode9G1Command().setData(0xFF).setData(0x12).getRaw(), 0x2400000100000012ull},
        {"regAddress 65535", PostRegReadCommand().setRegAddress(65535).getRaw(), 0x0800FFFF00000000ull},
        {"reg, data", PostRegWriteCommand().setRegAddress(0x104).setData(9).getRaw(), 0x0400010400000009ull},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(c.built, c.expected) << c.name;
    }
    EXPECT_EQ(PostRegReadCommand().setRegAddress(65535).getRegAddress(), 65535);
}

class Packages : public kelvo_test::LeakCheckedTest {};

TEST_F(Packages, TheRegistrarAnswersThePackagesTables) {
    const Command commands[] = {1, 2, 3};
    const struct {
        const char* name;
        std::vector<uint32_t> ids, addresses;
        uint32_t lookup, address;
        int64_t code;
    } cases[] = {
        {"first of duplicates", {5, 7, 5}, {100, 200, 300}, 5, 100, 0},
        {"unknown id", {5, 7, 5}, {100, 200, 300}, 6, 0, KELVO_STATUS_UNKNOWN_SUBROUTINE},
        {"empty package", {}, {}, 5, 0, KELVO_STATUS_UNKNOWN_SUBROUTINE},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        tStatus status;
        static uint32_t none[1] = {}; // keeps the pointers of an empty table non-null
        SubroutinePackageFactory packages;
        SubroutinePackageInterface* package =
            packages.create(commands, 3, c.ids.empty() ? none : c.ids.data(),
                            c.addresses.empty() ? none : c.addresses.data(), c.ids.size(), status);
        ASSERT_NE(package, nullptr);
        EXPECT_EQ(package->getCommands().size(), 3u);
        SubroutineRegistrarFactory registrars;
        SubroutineRegistrar* registrar =
            registrars.create(*package, static_cast<uint32_t>(KELVO_STATUS_UNKNOWN_SUBROUTINE), status);
        ASSERT_TRUE(status.isSuccess());
        EXPECT_EQ(registrar->getNumSubroutines(status), c.ids.size());
        tStatus lookup;
        EXPECT_EQ(registrar->getSubroutineAddress(c.lookup, lookup), c.address);
        EXPECT_EQ(lookup.getCode(), c.code);
        // The lists replace what the vectors held.
        vohtl::Vector<uint32_t> ids, addresses;
        ids.pushBack(99, status);
        addresses.pushBack(98, status);
        registrar->getSubroutines(ids, addresses, status);
        EXPECT_EQ(std::vector<uint32_t>(ids.begin(), ids.end()), c.ids);
        EXPECT_EQ(std::vector<uint32_t>(addresses.begin(), addresses.end()), c.addresses);
        // A fatal status answers 0 and leaves the status as it was.
        tStatus fatal;
        KELVO_SET_STATUS(fatal, -1);
        EXPECT_EQ(registrar->getNumSubroutines(fatal), 0u);
        EXPECT_EQ(registrar->getSubroutineAddress(c.ids.empty() ? 0 : c.ids[0], fatal), 0u);
        EXPECT_EQ(fatal.getCode(), -1);
        delete registrar;
        delete package;
    }
}

class RecordingWriter : public CommandWriterInterface {
public:
    void write(const vohtl::Vector<Command>& commands, uint32_t startAddress, tStatus&) override {
        calls.emplace_back(startAddress, std::vector<Command>(commands.begin(), commands.end()));
    }
    std::vector<std::pair<uint32_t, std::vector<Command>>> calls; // start address, words
};

TEST_F(Packages, TheDownloaderWritesTheWholeBlockFromItsBase) {
    std::vector<Command> commands(8192);
    std::iota(commands.begin(), commands.end(), Command{0x2000000000000000ull});
    const uint32_t id = 1, address = 0;
    tStatus status;
    SubroutinePackage package(commands.data(), commands.size(), &id, &address, 1, status);
    RecordingWriter writer;
    SubroutineDownloader downloader(&writer, 0, 8192);
    tStatus fatal;
    KELVO_SET_STATUS(fatal, -1);
    downloader.downloadSubroutineData(package, fatal);
    EXPECT_TRUE(writer.calls.empty()) << "a fatal status touches nothing";
    downloader.downloadSubroutineData(package, status);
    ASSERT_TRUE(status.isSuccess());
    EXPECT_EQ(writer.calls, (decltype(writer.calls){{0, commands}}));
}

} // namespace
