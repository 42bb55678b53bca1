// A client's memory: the stand-in's copy and page-locking rules in process mode, which the driver's
// input checks rely on, and what the host hands the driver.

#include "client_pages.h"
#include "core_test_support.h"

namespace {

using namespace kelvo_test;

const size_t kPage = pageSize();
constexpr uint8_t kUserByte = 0x5A;
constexpr uint8_t kKernelByte = 0xC3;

nVOKAL_tStatus copy(bool toUser, uint8_t* kernel, uint64_t user, size_t size) {
    return toUser ? nVOKAL100_replicateOutboundIOControlBuffer(user, kernel, static_cast<uint32_t>(size))
                  : nVOKAL100_replicateInboundIOControlBuffer(kernel, user, static_cast<uint32_t>(size));
}

using StandInUserCopy = kelvo_test::LeakCheckedTest;

TEST_F(StandInUserCopy, AFaultAnywhereInTheRangeRefusesTheCopyWithNothingMoved) {
    const struct {
        const char* what;
        const char* pages;
        size_t offset; // of the user range, from the first page
        size_t size;   // 0: up to 20 bytes before the end of the last page
        bool toUser, succeeds;
    } cases[] = {
        {"a header in a page without access", "n", 0, 40, false, false},
        {"a name in a read-only page", "r", 0, 300, false, true},
        {"a header straddling into a missing page", "w-", kPage - 16, 40, false, false},
        {"a record straddling into a read-only page", "wr", kPage - 4, 8, true, false},
        {"slots whose middle page is missing", "w-w", 10, 0, true, false},
        {"a buffer whose middle page is missing", "w-w", 10, 0, false, false},
        {"a buffer over four good pages, out", "wwww", 1, 0, true, true},
    };
    const kal::usermem::ProcessMode client;
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        ClientPages user(c.pages, kUserByte);
        const size_t size = c.size != 0 ? c.size : std::strlen(c.pages) * kPage - 20 - c.offset;
        std::vector<uint8_t> kernel(size);
        for (size_t i = 0; i < size; ++i) {
            kernel[i] = c.toUser ? static_cast<uint8_t>(i * 7 + 1) : kKernelByte;
        }
        const std::vector<uint8_t> before = kernel;
        const nVOKAL_tStatus result = copy(c.toUser, kernel.data(), address(user.at(c.offset)), size);
        if (!c.succeeds) {
            EXPECT_EQ(result, nVOKAL_kStatusBadAddress);
            EXPECT_TRUE(user.untouched());
            EXPECT_EQ(kernel, before);
            continue;
        }
        ASSERT_EQ(result, nVOKAL_kSuccess);
        if (c.toUser) {
            EXPECT_EQ(std::memcmp(user.at(c.offset), kernel.data(), size), 0);
        } else {
            EXPECT_EQ(kernel, std::vector<uint8_t>(size, kUserByte));
        }
    }
}

// Small copies move by overlapping words: every size to past the word loop's reach moves its bytes.
TEST_F(StandInUserCopy, EverySizeMovesItsBytesAndNoOther) {
    const kal::usermem::ProcessMode client;
    constexpr size_t kMost = 72;
    constexpr size_t kMargin = 8;
    for (const bool toUser : {false, true}) {
        for (size_t size = 1; size <= kMost; ++size) {
            SCOPED_TRACE((toUser ? "out, " : "in, ") + std::to_string(size) + " bytes");
            std::vector<uint8_t> user(kMost + 2 * kMargin, kUserByte);
            std::vector<uint8_t> kernel(kMost + 2 * kMargin, kKernelByte);
            std::vector<uint8_t>& from = toUser ? kernel : user;
            for (size_t i = 0; i < size; ++i) {
                from[kMargin + i] = static_cast<uint8_t>(i * 7 + 1);
            }
            std::vector<uint8_t> expected = toUser ? user : kernel;
            std::memcpy(expected.data() + kMargin, from.data() + kMargin, size);
            ASSERT_EQ(copy(toUser, kernel.data() + kMargin, address(user.data() + kMargin), size),
                      nVOKAL_kSuccess);
            EXPECT_EQ(toUser ? user : kernel, expected);
        }
    }
}

TEST_F(StandInUserCopy, KernelLayerMemoryIsRefusedToTheGranuleAndItsNeighboursAreNot) {
    const kal::usermem::ProcessMode client;
    constexpr size_t kBlock = 5000; // over two granules
    auto* block = static_cast<uint8_t*>(nVOKAL100_malloc(kBlock));
    ASSERT_NE(block, nullptr);
    std::memset(block, kKernelByte, kBlock);
    // A small block made after a free (which may hand the same memory out again), and a large block
    // kept after its free and handed out again, smaller.
    nVOKAL100_free(nVOKAL100_malloc(8));
    auto* again = static_cast<uint8_t*>(nVOKAL100_malloc(8));
    ASSERT_NE(again, nullptr);
    nVOKAL100_free(nVOKAL100_malloc(3 << 20));
    auto* large = static_cast<uint8_t*>(nVOKAL100_malloc(2 << 20));
    ASSERT_NE(large, nullptr);
    nVOKAL_tHandle list = nVOKAL220_tPageList_createFromAllocation(2, 0);
    ASSERT_NE(list, nullptr);
    uint8_t* pages = kal::pagelists::memory(list);
    const struct {
        const char* what;
        uint64_t user;
        size_t size;
    } cases[] = {
        {"the last byte of a block", address(block + kBlock - 1), 1},
        {"the rounding after a block", address(block + kBlock), 16},
        {"a range running into a block", address(block) - 8, 16},
        {"the second page of a page list", address(pages + kPage), 8},
        {"a small block made again", address(again), 8},
        {"the start of a large block made again", address(large), 8},
        {"the end of a large block made again", address(large + (2 << 20) - 8), 8},
        {"the upper half", 0xFFFFD00000000000ULL, 8},
        {"a range reaching the upper half", 0x00007FFFFFFFFFF8ULL, 16},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        std::vector<uint8_t> word(c.size);
        for (const bool toUser : {false, true}) {
            EXPECT_EQ(copy(toUser, word.data(), c.user, c.size), nVOKAL_kStatusBadAddress) << toUser;
        }
    }
    EXPECT_EQ(std::vector<uint8_t>(block, block + kBlock), std::vector<uint8_t>(kBlock, kKernelByte));
    EXPECT_EQ(pages[kPage], 0u);
    nVOKAL220_tPageList_destroy(list);
    nVOKAL100_free(large);
    nVOKAL100_free(again);
    nVOKAL100_free(block);
}

// A fault on the kernel side is the driver's bug: nobody recovers it.
TEST(StandInUserCopyDeath, AFaultOutsideTheUserRangeCrashesWithAReport) {
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    auto gone = [] {
        void* page = mmap(nullptr, kPage, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
        munmap(page, kPage);
        return static_cast<uint8_t*>(page);
    };
    EXPECT_DEATH(*reinterpret_cast<volatile uint64_t*>(gone()) = 1, "SEGV");
    const kal::usermem::ProcessMode client;
    uint64_t word = 0x1122334455667788ULL;
    for (const bool toUser : {false, true}) {
        EXPECT_DEATH(copy(toUser, gone(), address(&word), sizeof(word)), "SEGV") << toUser;
    }
}

TEST_F(StandInUserCopy, ProcessModeLocksTheClientsOwnPagesOnly) {
    ClientPages pages("wrw-");
    const uint64_t base = address(pages.at(0));
    auto* block = static_cast<uint8_t*>(nVOKAL100_malloc(64));
    ASSERT_NE(block, nullptr);
    const struct {
        const char* what;
        uint64_t user, pages;
        uint32_t flags;
        bool processMode, locked;
    } cases[] = {
        {"a page of the client, to be written", base, 1, NVOKAL_PAGELIST_WRITE, true, true},
        {"the same outside process mode", base, 1, NVOKAL_PAGELIST_WRITE, false, false},
        {"a read-only page, to be read", base + kPage, 1, 0, true, true},
        {"a range over a read-only page, to be written", base, 3, NVOKAL_PAGELIST_WRITE, true, false},
        {"a range into a page not mapped", base + 2 * kPage, 2, 0, true, false},
        {"kernel-layer memory", address(block) / kPage * kPage, 1, 0, true, false},
        {"the upper half", 0xFFFF800000000000ull, 1, 0, true, false},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        std::optional<kal::usermem::ProcessMode> client;
        if (c.processMode) {
            client.emplace();
        }
        nVOKAL_tHandle list = nVOKAL220_tPageList_createFromUser(c.user, c.pages, c.flags);
        EXPECT_EQ(list != nullptr, c.locked);
        nVOKAL220_tPageList_destroy(list);
    }
    nVOKAL100_free(block);
}

// The host: a header, record or buffer the client cannot reach is an error code and moves no byte.
constexpr int kTransportBadAddress = -51101;
constexpr int kTransportInvalid = -51009;                    // also an output record the driver cannot write
constexpr int32_t kBadAddress = KELVO_STATUS_NOT_ACCESSIBLE; // the output record's status word
constexpr uint32_t kCount = KELVO_IOCTL_arm_getNumberOfRegistrations;
constexpr uint32_t kCountOutSize = sizeof(kelvo_arm_getNumberOfRegistrations_out);

using HostUserMemory = kelvo_test::HostedTest;

TEST_F(HostUserMemory, HeadersRecordsAndBuffersWhereTheClientHasNoAccessAreRefusedUntouched) {
    const int handle = open(add("solstra"));
    const kelvo_status_record in{0};
    // The output record read-only, or not there: refused in transport.
    for (const char* layout : {"r", "-"}) {
        ClientPages page(layout);
        kelvo_ioctl_header header{address(&in), address(page.at(0)), sizeof(in), kCountOutSize, 0, 0};
        EXPECT_EQ(kelvo_ioctl(handle, kCount, &header), kTransportInvalid) << layout;
        EXPECT_TRUE(page.untouched());
    }
    // The header, or the input record, not there.
    ClientPages gone("-");
    EXPECT_EQ(kelvo_ioctl(handle, kCount, gone.at(0)), kTransportBadAddress);
    kelvo_arm_getNumberOfRegistrations_out out{};
    kelvo_ioctl_header header{address(gone.at(0)), address(&out), sizeof(in), sizeof(out), 0, 0};
    EXPECT_EQ(kelvo_ioctl(handle, kCount, &header), kTransportBadAddress);

    // The header and the output record in one read-only page: refused, and the
    // result word is not written either.
    ClientPages request;
    kelvo_ioctl_header* inPage = new (request.at(0))
        kelvo_ioctl_header{address(&in), address(request.at(64)), sizeof(in), kCountOutSize, 0, 0};
    request.protect("r");
    EXPECT_EQ(kelvo_ioctl(handle, kCount, inPage), kTransportInvalid);
    EXPECT_EQ(inPage->result, 0u);
    EXPECT_TRUE(request.untouched(sizeof(kelvo_ioctl_header)));

    // A read-only header alone: the request is answered, its result word stays unwritten.
    ClientPages headerPage;
    inPage =
        new (headerPage.at(0)) kelvo_ioctl_header{address(&in), address(&out), sizeof(in), sizeof(out), 0, 0};
    headerPage.protect("r");
    kelvo_ioctl(handle, kCount, inPage);
    EXPECT_EQ(out.status, 0);
    EXPECT_GT(out.count, 0u);
    EXPECT_EQ(inPage->result, 0u);

    // Name slots and a window word running from a good page into a read-only one: refused, nothing written.
    ClientPages two("wr");
    const std::string iso = "IsoFpgaWindow";
    const uint64_t slots = address(two.at(kPage - KELVO_NAME_SLOT_SIZE)), word = address(two.at(kPage - 2));
    EXPECT_EQ(ASK(arm_getRegistrationNames, handle, slots, 0, 0).status, kBadAddress);
    EXPECT_EQ(ASK(deviceWindow_read, handle, address(iso.data()), iso.size(), 0x18, 4, word, 0, 0).status,
              kBadAddress);
    EXPECT_TRUE(two.untouched());
}

} // namespace
