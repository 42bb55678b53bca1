// Class-scope allocation and the containers (vector, string, shared and weak pointers, the ordered map).
#include <cstring>

#include "platform/basicstring.h"
#include "platform/owned.h"
#include "platform/undo_list.h"
#include "platform/vohtl/map.h"
#include "platform/vohtl/sharedptr.h"
#include "platform/vohtl/string.h"
#include "platform/vohtl/vector.h"
#include "test_support.h"

namespace {

using nVOAPALS100::tStatus;
constexpr int64_t kOutOfMemory = KELVO_STATUS_OUT_OF_MEMORY;
constexpr int64_t kInvalid = KELVO_STATUS_INVALID_PARAMETER;

struct Tracked {
    static inline int live = 0;
    int value;
    explicit Tracked(int v = 0) : value(v) { ++live; }
    Tracked(Tracked&& other) noexcept : value(std::exchange(other.value, -1)) { ++live; }
    Tracked& operator=(Tracked&& other) noexcept { return value = std::exchange(other.value, -1), *this; }
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

class PlatformContainers : public kelvo_test::LeakCheckedTest {};

TEST_F(PlatformContainers, VectorGrowthInsertAndEraseKeepOrder) {
    {
        vohtl::Vector<Tracked> vector;
        tStatus status;
        for (int i = 0; i < 10; ++i) {
            ASSERT_TRUE(vector.pushBack(Tracked(i), status));
        }
        EXPECT_TRUE(vector.insert(0, Tracked(100), status));
        EXPECT_TRUE(vector.insert(5, Tracked(105), status));
        EXPECT_TRUE(vector.insert(vector.size(), Tracked(199), status));
        EXPECT_EQ(valuesOf(vector), (std::vector<int>{100, 0, 1, 2, 3, 105, 4, 5, 6, 7, 8, 9, 199}));

        vector.erase(1, 5);
        EXPECT_EQ(valuesOf(vector), (std::vector<int>{100, 105, 4, 5, 6, 7, 8, 9, 199}));
        vector.erase(0);
        vector.popBack();
        vector.erase(3, 3);
        EXPECT_EQ(std::make_tuple(valuesOf(vector), Tracked::live, status.getCode()),
                  std::make_tuple(std::vector<int>{105, 4, 5, 6, 7, 8, 9}, 7, int64_t{0}));

        // Filling the spare room inserts in place; the next insertion grows.
        while (vector.size() < vector.capacity()) {
            ASSERT_TRUE(vector.insert(1, Tracked(50), status));
        }
        EXPECT_TRUE(vector.insert(2, Tracked(60), status));
        EXPECT_EQ(std::make_tuple(vector[0].value, vector[2].value, vector.back().value, Tracked::live),
                  std::make_tuple(105, 60, 9, static_cast<int>(vector.size())));
    }
    EXPECT_EQ(Tracked::live, 0) << "every element destroyed exactly once";
}

// Refused memory, a fatal status on entry (no memory asked for) or bad input: reported, nothing changes.
TEST_F(PlatformContainers, FailuresReportAndChangeNothing) {
    vohtl::Vector<Tracked> vector;
    vohtl::Vector<uint32_t> words;
    tStatus built;
    for (int i = 0; i < 4; ++i) {
        vector.pushBack(Tracked(i), built);
    }
    ASSERT_EQ(vector.size(), vector.capacity()) << "the next insertion must grow";
    const Tracked* storage = vector.data();
    vohtl::BasicString text("abc", 3, built);
    const std::string longer(text.capacity() + 5, 'z');
    Tracked extra(42);
    enum { kNone, kRefused, kFatal };
    const struct {
        const char* what;
        int fault;
        std::function<bool(tStatus&)> op;
        int64_t code;
    } rows[] = {
        {"insert", kRefused, [&](tStatus& s) { return vector.insert(1, std::move(extra), s); }, kOutOfMemory},
        {"reserve", kRefused, [&](tStatus& s) { return vector.reserve(100, s); }, kOutOfMemory},
        {"append", kRefused, [&](tStatus& s) { return text.append(longer.c_str(), s); }, kOutOfMemory},
        {"assign", kRefused, [&](tStatus& s) { return text.assign(longer.c_str(), s); }, kOutOfMemory},
        {"overflow", kNone, [&](tStatus& s) { return words.reserve(1ull << 62, s); }, kOutOfMemory},
        {"insert past the end", kNone, [&](tStatus& s) { return vector.insert(5, Tracked(9), s); }, kInvalid},
        {"append a null text", kNone, [&](tStatus& s) { return text.append(nullptr, 4, s); }, kInvalid},
        {"pushBack", kFatal, [&](tStatus& s) { return vector.pushBack(Tracked(7), s); }, kInvalid},
        {"reserve", kFatal, [&](tStatus& s) { return vector.reserve(50, s); }, kInvalid},
        {"resize", kFatal, [&](tStatus& s) { return vector.resize(50, s); }, kInvalid},
        {"resizeForOverwrite", kRefused, [&](tStatus& s) { return words.resizeForOverwrite(9, s); },
         kOutOfMemory},
        {"resizeForOverwrite", kFatal, [&](tStatus& s) { return words.resizeForOverwrite(9, s); }, kInvalid},
        {"append", kFatal, [&](tStatus& s) { return text.append(longer.c_str(), s); }, kInvalid},
        {"assign", kFatal, [&](tStatus& s) { return text.assign("other", s); }, kInvalid},
        {"build", kFatal, [&](tStatus& s) { return !vohtl::BasicString("xyz", 3, s).empty(); }, kInvalid},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.what);
        tStatus status;
        KELVO_SET_STATUS(status, row.fault == kFatal ? kInvalid : 0);
        kal::memory::failNth(row.fault == kRefused ? 1 : 0);
        const uint64_t calls = kal::memory::allocationCalls();
        EXPECT_FALSE(row.op(status));
        EXPECT_EQ(status.getCode(), row.code);
        EXPECT_TRUE(row.fault == kRefused || kal::memory::allocationCalls() == calls)
            << "no memory asked for";
        kal::memory::clearFaults();
        EXPECT_EQ(
            std::make_tuple(valuesOf(vector), vector.data(), vector.capacity(), std::string(text.c_str()),
                            words.size()),
            std::make_tuple(std::vector<int>{0, 1, 2, 3}, storage, size_t{4}, std::string("abc"), size_t{0}));
    }
    EXPECT_EQ(extra.value, 42) << "a failed insertion leaves the value alone";
}

TEST_F(PlatformContainers, BasicStringBuildsAppendsAndAssigns) {
    const size_t liveBefore = kal::memory::liveAllocations();
    tStatus status;
    {
        vohtl::BasicString empty;
        EXPECT_STREQ(empty.c_str(), "");
        EXPECT_EQ(kal::memory::liveAllocations(), liveBefore) << "an empty string holds no storage";

        const char source[] = {'m', 'a', 'p', 'X', 'Y'};
        vohtl::BasicString name(source, 3, status);
        EXPECT_TRUE(name.append("\t", status));
        EXPECT_TRUE(name.append("NisoFpgaWindow", status));
        EXPECT_TRUE(name.append(name.c_str(), 3, status)) << "a source inside the string itself";
        EXPECT_TRUE(name.append(nullptr, status)) << "a null text without a length appends nothing";
        EXPECT_STREQ(name.c_str(), "map\tNisoFpgaWindowmap");
        EXPECT_EQ(name.length(), 21u);

        EXPECT_TRUE(name.assign(name.c_str() + 8, status));
        EXPECT_STREQ(name.c_str(), "FpgaWindowmap");
        EXPECT_TRUE(name.assign("a much longer text than the storage held before", status));
        EXPECT_EQ(name.length(), std::strlen("a much longer text than the storage held before"));

        vohtl::BasicString moved(std::move(name));
        EXPECT_TRUE(name.empty());
        EXPECT_TRUE(moved.assign("", status));
        EXPECT_EQ(kal::memory::liveAllocations(), liveBefore) << "an empty text releases the storage";
    }
    EXPECT_TRUE(status.isSuccess());
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
        EXPECT_EQ(std::make_tuple(path.hasError(), std::string(path.c_str())), std::make_tuple(true, "abc"));
    }
}

struct Counted : kelvo_driver::nVOAPAL000::tObject {
    static inline std::atomic<int> destroyed{0};
    int value;
    explicit Counted(int v) : value(v) {}
    ~Counted() { ++destroyed; }
};

// A base without a virtual destructor: deleted as the type it was made with.
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
        ASSERT_EQ(first.useCount(), 1u);
        vohtl::SharedPtr<Counted> second = first;
        vohtl::SharedPtr<Counted> third;
        third = second;
        vohtl::WeakPtr<Counted> weak(first);
        EXPECT_EQ(std::make_tuple(first.useCount(), third->value, first.weakCount(), weak.expired()),
                  std::make_tuple(3u, 5, 1u, false));
        vohtl::SharedPtr<Counted> moved(std::move(second));
        first.reset();
        third = vohtl::SharedPtr<Counted>();
        EXPECT_EQ(std::make_tuple(Counted::destroyed.load(), moved.useCount()), std::make_tuple(0, 1u));
        moved.reset();
        EXPECT_EQ(std::make_tuple(Counted::destroyed.load(), weak.expired(), static_cast<bool>(weak.lock())),
                  std::make_tuple(1, true, false))
            << "the last release deletes";
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

struct Noted : kelvo_driver::nVOAPAL000::tObject {
    static inline std::vector<int> log;
    int id;
    explicit Noted(int i) : id(i) {}
    ~Noted() { log.push_back(id); }
};

// The undo list runs each step once, latest first; an owned pointer frees its object once.
TEST_F(PlatformContainers, TheUndoListAndAnOwnedPointerFreeEachObjectOnce) {
    using kelvo_driver::nVOAPAL000::tOwned;
    Noted::log.clear();
    {
        kelvo_driver::nVOAPAL000::tUndoList undo;
        undo.own(new Noted(1));
        undo.own(new Noted(2));
    }
    EXPECT_EQ(Noted::log, (std::vector<int>{2, 1}));
    Noted::log.clear();
    {
        tOwned<Noted> first(new Noted(1));
        tOwned<Noted> second(std::move(first));
        EXPECT_TRUE(first == nullptr);
        second.reset(new Noted(2));
        tOwned<Noted> third(new Noted(3));
        third = std::move(second);
        EXPECT_EQ(third->id, 2);
        tOwned<Noted> fourth(new Noted(4));
        Noted* handed = fourth.release();
        EXPECT_EQ(Noted::log, (std::vector<int>{1, 3}));
        delete handed;
    }
    EXPECT_EQ(Noted::log, (std::vector<int>{1, 3, 4, 2}));
}

using LimitMap = vohtl::apal::Map<uint32_t, uint32_t>;

std::vector<std::pair<uint32_t, uint32_t>> entriesOf(const LimitMap& map) {
    std::vector<std::pair<uint32_t, uint32_t>> entries;
    for (auto it = map.begin(); it != map.end(); ++it) {
        entries.emplace_back(it->key, it->value);
    }
    return entries;
}

TEST_F(PlatformContainers, MapInsertFindEraseInKeyOrder) {
    LimitMap map;
    tStatus status;
    EXPECT_TRUE(map.empty() && map.begin() == map.end());
    for (uint32_t key : {32u, 8u, 48u, 16u, 40u}) {
        EXPECT_TRUE(map.insert(key, key * 1000, status));
    }
    EXPECT_FALSE(map.insert(32, 1, status)) << "the first entry for a key stays";
    EXPECT_EQ(entriesOf(map), (std::vector<std::pair<uint32_t, uint32_t>>{
                                  {8, 8000}, {16, 16000}, {32, 32000}, {40, 40000}, {48, 48000}}));

    ASSERT_TRUE(map.find(40) != map.end());
    map.find(40)->value = 41; // seen in the entries below
    EXPECT_TRUE(map.find(41) == map.end() && map.contains(16));

    EXPECT_TRUE(map.erase(16));
    EXPECT_FALSE(map.erase(16));
    map.erase(map.find(8));
    map.erase(map.end());
    EXPECT_EQ(entriesOf(map),
              (std::vector<std::pair<uint32_t, uint32_t>>{{32, 32000}, {40, 41}, {48, 48000}}));
    EXPECT_TRUE(status.isSuccess());
}

using kelvo_driver::nVOAPAL000::blockFlag;
using kelvo_driver::nVOAPAL000::tObject;

struct Probe : tObject {
    static inline int constructed = 0, destroyed = 0;
    Probe() { ++constructed; }
    virtual ~Probe() { ++destroyed; }
    uint64_t payload[3] = {};
};

using Allocation = PlatformContainers;

TEST_F(Allocation, StatusFormFailsWithoutConstructingAndKeepsTheFlag) {
    Probe::constructed = Probe::destroyed = 0;
    tStatus status;
    kal::memory::failNth(1);
    EXPECT_EQ(new (status, false) Probe, nullptr);
    EXPECT_EQ(Probe::constructed, 0) << "no constructor runs on a null block";

    tStatus fine;
    Probe* flagged = new (fine, true) Probe;
    Probe* plain = new (fine, false) Probe;
    ASSERT_TRUE(flagged != nullptr && plain != nullptr);
    EXPECT_EQ(std::make_tuple(fine.getCode(), blockFlag(flagged), blockFlag(plain)),
              std::make_tuple(int64_t{0}, true, false));
    EXPECT_EQ(reinterpret_cast<uintptr_t>(flagged) % 16, 0u) << "the header keeps blocks 16-byte aligned";
    delete flagged;
    delete plain;
    EXPECT_EQ(Probe::destroyed, 2);
}

} // namespace
