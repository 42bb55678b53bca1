// Class-scope allocation and the containers: vector, string, shared and weak
// pointers; allocation failures and fatal entry statuses.
#include <atomic>
#include <string>
#include <vector>

#include "control.h"
#include "nVOKAL.h"
#include "platform/basicstring.h"
#include "platform/memory.h"
#include "platform/status.h"
#include "platform/vohtl/sharedptr.h"
#include "platform/vohtl/string.h"
#include "platform/vohtl/vector.h"
#include "test_support.h"

namespace {

using nVOAPALS100::tStatus;
constexpr int64_t kOutOfMemory = -52000;

tStatus fatalStatus() {
    tStatus status;
    KELVO_SET_STATUS(status, -52005);
    return status;
}

int gConstructed = 0; // class-scope allocation probes made and destroyed
int gDestroyed = 0;

// An element that counts its live instances and is only movable.
struct Tracked {
    static inline int live = 0;
    int value;
    explicit Tracked(int v = 0) : value(v) { ++live; }
    Tracked(Tracked&& other) noexcept : value(other.value) {
        other.value = -1;
        ++live;
    }
    Tracked& operator=(Tracked&& other) noexcept {
        value = other.value;
        other.value = -1;
        return *this;
    }
    Tracked(const Tracked&) = delete;
    ~Tracked() { --live; }
};

std::vector<int> valuesOf(const vohtl::Vector<Tracked>& vector) {
    std::vector<int> values;
    for (const Tracked& element : vector) {
        values.push_back(element.value);
    }
    return values;
}

class PlatformContainers : public kelvo_test::LeakCheckedTest {
protected:
    void SetUp() override {
        LeakCheckedTest::SetUp();
        Tracked::live = 0;
        gConstructed = gDestroyed = 0;
    }
};

TEST_F(PlatformContainers, VectorFailuresReportAndChangeNothing) {
    vohtl::Vector<Tracked> vector;
    tStatus status;
    for (int i = 0; i < 4; ++i) {
        vector.pushBack(Tracked(i), status);
    }
    ASSERT_EQ(vector.size(), vector.capacity()) << "the next insertion must grow";
    const Tracked* storage = vector.data();

    kal::memory::failNth(1);
    Tracked extra(42);
    EXPECT_FALSE(vector.insert(1, std::move(extra), status));
    EXPECT_EQ(status.getCode(), kOutOfMemory);
    EXPECT_EQ(extra.value, 42) << "a failed insertion leaves the value alone";
    EXPECT_EQ(vector.data(), storage);
    EXPECT_EQ(valuesOf(vector), (std::vector<int>{0, 1, 2, 3}));

    tStatus reserveStatus;
    kal::memory::failNth(1);
    EXPECT_FALSE(vector.reserve(100, reserveStatus));
    EXPECT_EQ(reserveStatus.getCode(), kOutOfMemory);
    EXPECT_EQ(vector.capacity(), 4u);

    // A capacity whose byte size overflows is refused without asking for memory.
    vohtl::Vector<uint32_t> words;
    tStatus overflowStatus;
    const uint64_t callsBefore = kal::memory::allocationCalls();
    EXPECT_FALSE(words.reserve(0x4000000000000000ull, overflowStatus));
    EXPECT_EQ(overflowStatus.getCode(), kOutOfMemory);
    EXPECT_EQ(kal::memory::allocationCalls(), callsBefore);

    // A fatal status on entry: nothing happens, no memory is asked for.
    tStatus fatal = fatalStatus();
    EXPECT_FALSE(vector.pushBack(Tracked(7), fatal));
    EXPECT_FALSE(vector.reserve(50, fatal));
    EXPECT_FALSE(vector.resize(50, fatal));
    EXPECT_EQ(kal::memory::allocationCalls(), callsBefore);
    EXPECT_EQ(fatal.getCode(), -52005);
    EXPECT_EQ(vector.size(), 4u);

    tStatus indexStatus;
    EXPECT_FALSE(vector.insert(5, Tracked(9), indexStatus));
    EXPECT_EQ(indexStatus.getCode(), -52005);
    EXPECT_EQ(vector.size(), 4u);
}

TEST_F(PlatformContainers, BasicStringFailuresKeepTheText) {
    tStatus status;
    vohtl::BasicString text("abc", 3, status);
    const size_t capacity = text.capacity();
    std::string longer(capacity + 5, 'z');

    kal::memory::failNth(1);
    EXPECT_FALSE(text.append(longer.c_str(), status));
    EXPECT_EQ(status.getCode(), kOutOfMemory);
    EXPECT_STREQ(text.c_str(), "abc");

    tStatus assignStatus;
    kal::memory::failNth(1);
    EXPECT_FALSE(text.assign(longer.c_str(), assignStatus));
    EXPECT_EQ(assignStatus.getCode(), kOutOfMemory);
    EXPECT_STREQ(text.c_str(), "abc");

    tStatus fatal = fatalStatus();
    const uint64_t callsBefore = kal::memory::allocationCalls();
    EXPECT_FALSE(text.append(longer.c_str(), fatal));
    EXPECT_FALSE(text.assign("other", fatal));
    vohtl::BasicString notBuilt("xyz", 3, fatal);
    EXPECT_TRUE(notBuilt.empty());
    EXPECT_EQ(kal::memory::allocationCalls(), callsBefore);
    EXPECT_STREQ(text.c_str(), "abc");

    tStatus nullStatus;
    EXPECT_FALSE(text.append(nullptr, 4, nullStatus));
    EXPECT_EQ(nullStatus.getCode(), -52005);
    tStatus plainStatus;
    EXPECT_TRUE(text.append(nullptr, plainStatus)) << "a null text without a length appends nothing";
    EXPECT_STREQ(text.c_str(), "abc");
}

// A count that cannot fit with the text (and its terminator) is refused, never wrapped.
TEST_F(PlatformContainers, AnEnormousAppendCountFailsAndKeepsTheText) {
    for (size_t count : {SIZE_MAX, SIZE_MAX - 1, SIZE_MAX - 3, SIZE_MAX - 4, SIZE_MAX / 2}) {
        SCOPED_TRACE(count);
        tStatus status;
        vohtl::BasicString text("abc", 3, status);
        EXPECT_FALSE(text.append("x", count, status));
        EXPECT_EQ(status.getCode(), kOutOfMemory);
        EXPECT_STREQ(text.c_str(), "abc");
        kelvo_driver::nVOAPAL000::tBasicString path;
        path.append("abc");
        path.append("x", count);
        EXPECT_TRUE(path.hasError());
        EXPECT_STREQ(path.c_str(), "abc");
    }
}

struct Counted : kelvo_driver::nVOAPAL000::tObject {
    static inline std::atomic<int> destroyed{0};
    int value;
    explicit Counted(int v) : value(v) {}
    ~Counted() { ++destroyed; }
};

// A base without a virtual destructor: the pointer still deletes the object
// as the type it was made with.
struct PlainBase : kelvo_driver::nVOAPAL000::tObject {
    int base = 1;
};
struct Made : PlainBase {
    static inline int destroyed = 0;
    ~Made() { ++destroyed; }
};

TEST_F(PlatformContainers, SharedPtrCountsAndDeletesExactlyOnce) {
    Counted::destroyed = 0;
    tStatus status;
    {
        vohtl::SharedPtr<Counted> first(new Counted(5), status);
        ASSERT_TRUE(first);
        EXPECT_EQ(first.useCount(), 1u);
        vohtl::SharedPtr<Counted> second = first;
        vohtl::SharedPtr<Counted> third;
        third = second;
        EXPECT_EQ(first.useCount(), 3u);
        EXPECT_EQ(third->value, 5);

        vohtl::WeakPtr<Counted> weak(first);
        EXPECT_EQ(first.weakCount(), 1u);
        EXPECT_FALSE(weak.expired());
        {
            vohtl::SharedPtr<Counted> locked = weak.lock();
            EXPECT_EQ(locked.get(), first.get());
            EXPECT_EQ(first.useCount(), 4u);
        }
        vohtl::SharedPtr<Counted> moved(std::move(second));
        EXPECT_FALSE(second);
        EXPECT_EQ(first.useCount(), 3u);
        first.reset();
        third = vohtl::SharedPtr<Counted>();
        EXPECT_EQ(Counted::destroyed, 0);
        EXPECT_EQ(moved.useCount(), 1u);
        moved.reset();
        EXPECT_EQ(Counted::destroyed, 1) << "the last release deletes";
        EXPECT_TRUE(weak.expired());
        EXPECT_FALSE(weak.lock());
        EXPECT_GT(kal::memory::liveAllocations(), 0u) << "the control block lives while a weak pointer does";
    }
    EXPECT_EQ(Counted::destroyed, 1);

    Made::destroyed = 0;
    {
        vohtl::SharedPtr<PlainBase> base(new Made(), status);
        vohtl::SharedPtr<PlainBase> copy = base;
    }
    EXPECT_EQ(Made::destroyed, 1);
    EXPECT_TRUE(status.isSuccess());
}

using kelvo_driver::nVOAPAL000::blockFlag;
using kelvo_driver::nVOAPAL000::tObject;

class Probe : public tObject {
public:
    Probe() { ++gConstructed; }
    virtual ~Probe() { ++gDestroyed; }
    uint64_t payload[3] = {};
};

using Allocation = PlatformContainers;

TEST_F(Allocation, StatusFormFailsWithoutConstructingAndKeepsTheFlag) {
    tStatus status;
    kal::memory::failNth(1);
    Probe* failed = new (status, false) Probe;
    EXPECT_EQ(failed, nullptr);
    EXPECT_EQ(status.getCode(), tStatus::kOutOfMemory);
    EXPECT_EQ(gConstructed, 0) << "no constructor runs on a null block";

    // Entered with an error: nothing is even asked of the kernel layer.
    const uint64_t calls = kal::memory::allocationCalls();
    EXPECT_EQ(new (status, false) Probe, nullptr);
    EXPECT_EQ(kal::memory::allocationCalls(), calls);
    EXPECT_EQ(status.getCode(), tStatus::kOutOfMemory);
    EXPECT_EQ(gConstructed, 0);

    tStatus fine;
    Probe* flagged = new (fine, true) Probe;
    Probe* plain = new (fine, false) Probe;
    ASSERT_NE(flagged, nullptr);
    ASSERT_NE(plain, nullptr);
    EXPECT_TRUE(fine.isSuccess());
    EXPECT_TRUE(blockFlag(flagged));
    EXPECT_FALSE(blockFlag(plain));
    EXPECT_EQ(reinterpret_cast<uintptr_t>(flagged) % 16, 0u) << "the header keeps blocks 16-byte aligned";
    delete flagged;
    delete plain;
    EXPECT_EQ(gDestroyed, 2);
}

} // namespace
