// Class-scope allocation of driver objects through the kernel layer.
#include <new>

#include "nVOKAL.h"
#include "platform/memory.h"
#include "test_support.h"

namespace {

using kelvo_driver::nVOAPAL000::blockFlag;
using kelvo_driver::nVOAPAL000::tObject;
using nVOAPALS100::tStatus;

int gConstructed = 0;
int gDestroyed = 0;

class Probe : public tObject {
public:
    Probe() { ++gConstructed; }
    virtual ~Probe() { ++gDestroyed; }
    uint64_t payload[3] = {};
};

class Allocation : public kelvo_test::LeakCheckedTest {
protected:
    void SetUp() override {
        LeakCheckedTest::SetUp();
        gConstructed = 0;
        gDestroyed = 0;
    }
};

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

TEST_F(Allocation, PlainAndNothrowFormsReturnNullWhenMemoryIsShort) {
    kal::memory::failNth(1);
    EXPECT_EQ(new Probe, nullptr);
    kal::memory::failNth(1);
    EXPECT_EQ(new (std::nothrow) Probe, nullptr);
    kal::memory::failNth(1);
    EXPECT_EQ(new Probe[3], nullptr);
    EXPECT_EQ(gConstructed, 0);

    tStatus status;
    Probe* array = new (status, false) Probe[3];
    ASSERT_NE(array, nullptr);
    EXPECT_EQ(gConstructed, 3);
    delete[] array;
    EXPECT_EQ(gDestroyed, 3);
}

} // namespace
