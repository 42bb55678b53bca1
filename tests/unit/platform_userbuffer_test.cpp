// User buffers: copies only inside the requester's memory and inside the view.
#include <algorithm>
#include <cstring>
#include <numeric>

#include "nVOKAL.h"
#include "platform/user_buffer.h"
#include "test_support.h"

namespace {

using namespace kelvo_driver::nVOAPAL000;
using nVOAPALS100::tStatus;
namespace usermem = kal::usermem;

constexpr tEventDescriptor kContext = 0x1234;

class UserBuffer : public kelvo_test::LeakCheckedTest {
protected:
    std::array<std::uint8_t, 64> user_{};
    std::array<std::uint8_t, 64> kernel_{};

    void SetUp() override {
        LeakCheckedTest::SetUp();
        std::iota(user_.begin(), user_.end(), std::uint8_t{1});
        kernel_.fill(0xEE);
    }
};

// Sizes above 32 bits are refused before the kernel layer is asked, an offset wrapping round by it.
TEST_F(UserBuffer, OversizedCopiesAndWrappingOffsetsAreRefused) {
    const std::uint64_t wrap = std::uint64_t{0} - 0x100;
    const struct {
        std::uint64_t start, view, offset, size;
        int64_t code;
    } cases[] = {
        {0, std::uint64_t{1} << 33, 0, 0x100000000, tStatus::kUnsupportedValue},
        {0, std::uint64_t{1} << 33, 0, 0x100000040, tStatus::kUnsupportedValue},
        {0x100, wrap + 16, wrap, 16, tStatus::kNotAccessible},
    };
    usermem::Scope scope;
    const std::uint64_t owned = scope.add(user_.data(), user_.size());
    for (const auto& c : cases) {
        SCOPED_TRACE(c.size);
        tUserBuffer buffer(kContext, owned + c.start, c.view);
        const std::uint64_t refusedBefore = usermem::refusedCopies();
        tStatus readStatus;
        buffer.read(c.offset, kernel_.data(), c.size, readStatus);
        EXPECT_EQ(readStatus.getCode(), c.code);
        tStatus writeStatus;
        buffer.write(c.offset, kernel_.data(), c.size, writeStatus);
        EXPECT_EQ(writeStatus.getCode(), c.code);
        if (c.code == tStatus::kUnsupportedValue) {
            EXPECT_EQ(usermem::refusedCopies(), refusedBefore) << "the kernel layer was never asked";
        }
    }
    EXPECT_TRUE(std::all_of(kernel_.begin(), kernel_.end(), [](std::uint8_t b) { return b == 0xEE; }));
    EXPECT_EQ(user_[0], 1);
}

TEST_F(UserBuffer, CopiesOutsideTheViewBreakAnInvariant) {
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    tUserBuffer buffer(kContext, usermem::address(user_.data()), 32);
    tStatus status;
    EXPECT_DEATH(buffer.read(30, kernel_.data(), 3, status), "size_ - offset");
    EXPECT_DEATH(buffer.write(33, kernel_.data(), 0, status), "offset,<=,size_");
    EXPECT_DEATH(buffer.read(8, kernel_.data(), UINT64_MAX - 4, status), "size_ - offset");
}

} // namespace
