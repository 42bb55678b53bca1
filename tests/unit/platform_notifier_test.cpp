// The I/O notifier: message format, payload limit, the socket buffers it makes and gives back.
#include <cstring>
#include <numeric>

#include "platform/io_notifier.h"
#include "status_code.h"
#include "test_support.h"

namespace {

using namespace kelvo_driver::nVOAPAL000;
using nVOAPALS100::tStatus;
namespace sockets = kal::sockets;

constexpr std::uint32_t kDestination = 4711;
constexpr std::uint64_t kCookie = 0x1122334455667788;

struct Decoded {
    std::uint32_t type;
    std::uint64_t cookie;
    std::uint32_t size;
    std::vector<std::uint8_t> payload; // all 36 bytes after the size
    bool operator==(const Decoded&) const = default;
};
const std::vector<std::uint8_t> kNoPayload(36, 0);

Decoded pop() {
    sockets::Message message{};
    EXPECT_TRUE(sockets::pop(kDestination, message));
    Decoded decoded{message.type, 0, 0, {}};
    EXPECT_EQ(message.bytes.size(), 48u);
    message.bytes.resize(48);
    std::memcpy(&decoded.cookie, message.bytes.data(), 8);
    std::memcpy(&decoded.size, message.bytes.data() + 8, 4);
    decoded.payload.assign(message.bytes.begin() + 12, message.bytes.end());
    return decoded;
}

class Notifier : public kelvo_test::LeakCheckedTest {
protected:
    void SetUp() override {
        LeakCheckedTest::SetUp();
        sockets::reset();
        notifier_ = new tIONotifier;
    }
    void TearDown() override {
        notifier_->close(); // a closed notifier's close does nothing
        delete notifier_;
        EXPECT_EQ(sockets::liveBuffers(), 0u) << "socket buffers leaked";
        sockets::reset();
        LeakCheckedTest::TearDown();
    }
    int64_t open() { // the status code
        tStatus status;
        notifier_->open(tIONotifierParams{kCookie, kDestination}, status);
        return status.getCode();
    }
    tIONotifier* notifier_ = nullptr;
};

// A payload is zero-padded; one over 32 bytes is refused without a buffer.
TEST_F(Notifier, SendsUpTo32PayloadBytesAndOneClosingMessageAndNoStaleBytes) {
    ASSERT_EQ(open(), 0);
    EXPECT_EQ(sockets::liveBuffers(), 1u);
    std::uint8_t payload[33];
    std::iota(std::begin(payload), std::end(payload), std::uint8_t{0xC0});
    tStatus status;
    notifier_->notify(payload, 32, status);
    notifier_->notify(nullptr, 0, status);
    EXPECT_TRUE(status.isSuccess());
    ASSERT_EQ(sockets::count(kDestination), 2u);
    std::vector<std::uint8_t> sent(payload, payload + 32);
    sent.resize(36);
    EXPECT_EQ(pop(), (Decoded{1, kCookie, 32, sent}));
    EXPECT_EQ(pop(), (Decoded{1, kCookie, 0, kNoPayload}));

    tStatus tooLarge;
    notifier_->notify(payload, 33, tooLarge);
    EXPECT_EQ(std::make_tuple(tooLarge.getCode(), sockets::count(kDestination), sockets::liveBuffers()),
              std::make_tuple(int64_t{tStatus::kInvalidParameter}, 0u, 1u));

    // The closing message goes once, on the buffer open took (close may not fail), with no stale stack byte.
    kal::memory::failAfter(0);
    sockets::failCreateNth(1);
    notifier_->close();
    kal::memory::clearFaults();
    sockets::failCreateNth(0);
    notifier_->close();
    ASSERT_EQ(sockets::count(kDestination), 1u);
    EXPECT_EQ(pop(), (Decoded{2, kCookie, 0, kNoPayload}));
}

// A refused socket buffer (at open, at a notify) or a failed send is reported and sends nothing; every buffer
// but open's goes back, the closing message's too when its send fails.
TEST_F(Notifier, SocketFailuresAreReportedAndGiveTheirBuffersBackAndMisuseBreaksInvariants) {
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    sockets::failCreateNth(1);
    EXPECT_EQ(open(), tStatus::kOutOfMemory);
    notifier_->close();
    EXPECT_EQ(sockets::sent(), 0u) << "a notifier that never opened sends no closing message";
    ASSERT_EQ(open(), 0);
    const std::uint8_t byte = 1;
    sockets::failCreateNth(1);
    EXPECT_EQ(kelvo_test::codeOf([&](tStatus& s) { notifier_->notify(&byte, 1, s); }), tStatus::kOutOfMemory);
    sockets::failSendNth(1, nVOKAL_kStatusCancelled);
    EXPECT_EQ(kelvo_test::codeOf([&](tStatus& s) { notifier_->notify(nullptr, 0, s); }),
              KELVO_STATUS_CANCELLED);
    EXPECT_EQ(std::make_tuple(sockets::count(kDestination), sockets::liveBuffers(), notifier_->isOpen()),
              std::make_tuple(0u, 1u, true));
    sockets::failSendNth(1, nVOKAL_kStatusOutOfMemory);
    notifier_->close();
    EXPECT_EQ(std::make_tuple(notifier_->isOpen(), sockets::liveBuffers(), sockets::sent()),
              std::make_tuple(false, 0u, 0u));

    ASSERT_EQ(open(), 0);
    EXPECT_DEATH(open(), "isOpen");
    EXPECT_DEATH(delete notifier_, "!isOpen");
    notifier_->close();
    tStatus status;
    EXPECT_DEATH(notifier_->notify(nullptr, 0, status), "isOpen");
}

} // namespace
