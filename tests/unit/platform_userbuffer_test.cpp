// User buffers: copies only inside the requester's memory and inside the view.
#include <algorithm>
#include <array>
#include <cstdint>
#include <cstring>

#include "standin/control.h"
#include "nVOKAL.h"
#include "platform/user_buffer.h"
#include "test_support.h"

namespace {

using kelvo_driver::nVOAPAL000::tEventDescriptor;
using kelvo_driver::nVOAPAL000::tUserBuffer;
using nVOAPALS100::tStatus;
namespace usermem = kal::usermem;

constexpr tEventDescriptor kContext = 0x1234;

class UserBuffer : public kelvo_test::LeakCheckedTest {
protected:
    std::array<std::uint8_t, 64> user_{};
    std::array<std::uint8_t, 64> kernel_{};

    void SetUp() override {
        LeakCheckedTest::SetUp();
        for (std::size_t i = 0; i < user_.size(); ++i) {
            user_[i] = static_cast<std::uint8_t>(i + 1);
        }
        kernel_.fill(0xEE);
    }
    bool kernelUntouched() const {
        return std::all_of(kernel_.begin(), kernel_.end(), [](std::uint8_t b) { return b == 0xEE; });
    }
};

TEST_F(UserBuffer, SizesAbove32BitsAreRefusedBeforeAnyCopy) {
    // A view of 8 GiB (numbers only: nothing is touched when the size is refused).
    usermem::Scope scope;
    const std::uint64_t address = scope.add(user_.data(), user_.size());
    tUserBuffer buffer(kContext, address, std::uint64_t{1} << 33);
    const std::uint64_t refusedBefore = usermem::refusedCopies();
    for (std::uint64_t size : {std::uint64_t{0x100000000}, std::uint64_t{0x100000040}}) {
        tStatus readStatus;
        buffer.read(0, kernel_.data(), size, readStatus);
        EXPECT_EQ(readStatus.getCode(), tStatus::kUnsupportedValue) << size;
        tStatus writeStatus;
        buffer.write(0, kernel_.data(), size, writeStatus);
        EXPECT_EQ(writeStatus.getCode(), tStatus::kUnsupportedValue) << size;
    }
    EXPECT_TRUE(kernelUntouched());
    EXPECT_EQ(user_[0], 1);
    EXPECT_EQ(usermem::refusedCopies(), refusedBefore) << "the kernel layer was never asked";
}

TEST_F(UserBuffer, AnOffsetThatWrapsTheUserAddressIsRefused) {
    // address + offset wraps round to the start of memory the requester owns.
    usermem::Scope scope;
    const std::uint64_t owned = scope.add(user_.data(), user_.size());
    const std::uint64_t offset = std::uint64_t{0} - 0x100;
    tUserBuffer buffer(kContext, owned + 0x100, offset + 16);
    tStatus status;
    buffer.read(offset, kernel_.data(), 16, status);
    EXPECT_EQ(status.getCode(), tStatus::kNotAccessible);
    EXPECT_TRUE(kernelUntouched());
    tStatus writeStatus;
    buffer.write(offset, kernel_.data(), 16, writeStatus);
    EXPECT_EQ(writeStatus.getCode(), tStatus::kNotAccessible);
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
