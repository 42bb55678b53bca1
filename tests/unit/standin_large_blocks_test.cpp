// Blocks of a megabyte or more that the stand-in's allocator keeps after a
// free and hands out again: a block handed out again is still whole
// kernel-layer memory (user copies refuse it), and its guard bytes follow the
// size asked for, not the block's.
#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>

#include "kernel_memory.h"
#include "nVOKAL.h"
#include "test_support.h"

namespace {

constexpr std::size_t kMiB = std::size_t{1} << 20;

class StandinLargeBlocks : public kelvo_test::LeakCheckedTest {};

TEST_F(StandinLargeBlocks, ABlockHandedOutAgainIsKernelMemoryAndFreesCleanly) {
    struct Case {
        const char* what;
        std::size_t first; // freed before the second is asked for
        std::size_t second;
    };
    const Case cases[] = {
        {"the same size", 3 * kMiB + 123, 3 * kMiB + 123},
        {"a little smaller", 3 * kMiB, 2 * kMiB},
        {"larger than any kept", 20 * kMiB, 30 * kMiB},
        {"a small block after a large one", 2 * kMiB, 64 * 1024},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        nVOKAL100_free(nVOKAL100_malloc(c.first));
        auto* block = static_cast<std::uint8_t*>(nVOKAL100_malloc(c.second));
        ASSERT_NE(block, nullptr);
        std::memset(block, 0x5A, c.second); // every byte asked for is the caller's
        const auto start = reinterpret_cast<std::uintptr_t>(block);
        EXPECT_TRUE(kal::kernelmem::overlaps(start, 1));
        EXPECT_TRUE(kal::kernelmem::overlaps(start + c.second - 1, 1));
        nVOKAL100_free(block);
    }
}

TEST(StandinLargeBlocksDeath, AWritePastABlockHandedOutAgainHaltsWhenItIsFreed) {
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    EXPECT_DEATH(
        {
            nVOKAL100_free(nVOKAL100_malloc(3 * kMiB));
            auto* block = static_cast<char*>(nVOKAL100_malloc(2 * kMiB));
            block[2 * kMiB] = 0;
            nVOKAL100_free(block);
        },
        "block of 2097152 bytes was written past its end|heap-buffer-overflow|use-after-poison");
}

} // namespace
