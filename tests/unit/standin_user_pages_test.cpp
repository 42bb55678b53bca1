// Locking a client's pages for DMA follows the rule of the I/O-control copies:
// in process mode any page of the process that is there with the access and
// is no kernel-layer memory; outside it only the ranges a test registered.
#include <sys/mman.h>
#include <unistd.h>

#include <cstdint>
#include <cstdlib>

#include "core_test_support.h"
#include "nVOKAL.h"

namespace {

const size_t kPage = static_cast<size_t>(sysconf(_SC_PAGESIZE));

uint64_t address(const void* pointer) {
    return reinterpret_cast<uintptr_t>(pointer);
}

using StandInUserPages = kelvo_test::LeakCheckedTest;

TEST_F(StandInUserPages, ProcessModeLocksTheClientsOwnPagesOnly) {
    // Pages: read-write, read-only, read-write, then one not mapped.
    auto* base = static_cast<uint8_t*>(
        mmap(nullptr, 4 * kPage, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0));
    ASSERT_NE(base, MAP_FAILED);
    ASSERT_EQ(mprotect(base + kPage, kPage, PROT_READ), 0);
    ASSERT_EQ(munmap(base + 3 * kPage, kPage), 0);
    auto* block = static_cast<uint8_t*>(nVOKAL100_malloc(64));
    ASSERT_NE(block, nullptr);
    const uint64_t blockPage = address(block) / kPage * kPage;
    struct Case {
        const char* what;
        uint64_t user;
        uint64_t pages;
        uint32_t flags;
        bool processMode;
        bool locked;
    };
    const Case cases[] = {
        {"a page of the client, to be written", address(base), 1, NVOKAL_PAGELIST_WRITE, true, true},
        {"the same outside process mode", address(base), 1, NVOKAL_PAGELIST_WRITE, false, false},
        {"a read-only page, to be read", address(base + kPage), 1, 0, true, true},
        {"a read-only page, to be written", address(base + kPage), 1, NVOKAL_PAGELIST_WRITE, true, false},
        {"a range over a read-only page, to be written", address(base), 3, NVOKAL_PAGELIST_WRITE, true,
         false},
        {"a range into a page not mapped", address(base + 2 * kPage), 2, 0, true, false},
        {"kernel-layer memory", blockPage, 1, 0, true, false},
        {"the upper half", 0xFFFF800000000000ull, 1, 0, true, false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        nVOKAL_tHandle list = nullptr;
        if (c.processMode) {
            const kal::usermem::ProcessMode client;
            list = nVOKAL220_tPageList_createFromUser(c.user, c.pages, c.flags);
        } else {
            list = nVOKAL220_tPageList_createFromUser(c.user, c.pages, c.flags);
        }
        EXPECT_EQ(list != nullptr, c.locked);
        nVOKAL220_tPageList_destroy(list);
    }
    nVOKAL100_free(block);
    munmap(base, 3 * kPage);
}

} // namespace
