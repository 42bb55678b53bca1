// The register-map engine of the bridge and timing-chip maps: registers of 8,
// 16, 32 or 64 bits with soft copies of their own width, identifiers keyed by
// byte offset, a concrete bus beneath (the memory-space accessor of a BAR
// region, or a 32-bit front-end accessor such as the bridge-port accessor).
//
// Two variants share it:
//  - bridge maps: records without an in-window flag, no base or window of
//    their own (a record's address is the template offset plus its offset),
//    no sub-maps, no `reinitialize`;
//  - timing-chip maps: records with an in-window flag (flush, refresh and a
//    data-port write outside the window report -52006), base and window as in
//    the kelvo maps, `reinitialize`, and sub-maps at a fixed placement that
//    only the whole-map operations reach.
//
// A generated map (tools/regmapgen, flavours "bridge" and "timing") derives
// from tSizedRegisterMapBase and hands over constant tables; the nested
// register types derive from the records below and call the record
// operations. Each map's operations by number and whole-map operations take
// its tree's lock (register_map.h) while one is installed, the whole-map ones
// for each record; whoever uses the typed registers holds it (tRegMapHold)
// around each sequence.
#pragma once

#include <stdint.h>

#include "platform/memory.h"
#include "platform/pci_memory_accessor.h"
#include "platform/status.h"
#include "regs/dynamic_access.h"
#include "regs/front_end_accessor.h"
#include "regs/register_map.h"

namespace arm {

class tSizedRegisterMapBase;

// ---- records ---------------------------------------------------------------

// Soft-copy register of the register's own width. kWindowed: a timing-chip
// record, which carries the in-window flag.
template <typename T, bool kWindowed> struct tSizedRegisterRecord;

template <typename T> struct tSizedRegisterRecord<T, false> {
    using tValue = T;
    static constexpr bool kHasWindowFlag = false;
    uint32_t address; // byte offset handed to the accessor
    T softCopy;
    uint8_t dirty; // 1 while the soft copy holds a value not yet written
    tSizedRegisterMapBase* owner;
};

template <typename T> struct tSizedRegisterRecord<T, true> {
    using tValue = T;
    static constexpr bool kHasWindowFlag = true;
    uint32_t address;
    T softCopy;
    uint8_t dirty;
    uint8_t inWindow;
    tSizedRegisterMapBase* owner;
};

// Data-port register: no soft copy, every access goes to the hardware.
template <bool kWindowed> struct tSizedDataPortRecord;

template <> struct tSizedDataPortRecord<false> {
    static constexpr bool kHasWindowFlag = false;
    uint32_t address;
    tSizedRegisterMapBase* owner;
};

template <> struct tSizedDataPortRecord<true> {
    static constexpr bool kHasWindowFlag = true;
    uint32_t address;
    uint8_t inWindow;
    tSizedRegisterMapBase* owner;
};

// ---- constant tables of a generated map -----------------------------------

// One register (an array contributes one entry per element), in declaration order.
struct tSizedRegisterInfo {
    uint32_t offset;
    uint8_t bytes;          // 1, 2, 4 or 8
    tRegisterKind kind;     // kSoftCopy or kDataPort
    tRegisterAccess access; // kReadWrite, kReadOnly or kWriteOnly
    uint64_t defaultValue;
    uint64_t clearedAfterWrite; // bits cleared in the soft copy after a successful write
};

// One identifier an operation serves: the register and the field's bits (a
// whole register counts as one field of the register's width at bit 0).
struct tSizedIdEntry {
    uint32_t id;
    uint16_t reg;
    uint8_t lsb;
    uint8_t width;      // bits
    uint8_t anyNonZero; // a one-bit field: 1 any non-zero value sets it, 0 only bit 0 of the value
};

struct tSizedIdTable {
    const tSizedIdEntry* entries; // sorted by id
    uint32_t count;
};

struct tSizedRegisterMapTables {
    const char* defaultName;
    const char* version;
    const char* oldestCompatibleVersion;
    bool windowed; // timing-chip records (with in-window flags)
    const tSizedRegisterInfo* registers;
    uint32_t registerCount;
    // The record of register `index`, a tSizedRegisterRecord<T, windowed> with T
    // of the register's width or a tSizedDataPortRecord<windowed>.
    void* (*recordAt)(tSizedRegisterMapBase& map, uint32_t index);
    tSizedIdTable get;
    tSizedIdTable set;
    tSizedIdTable read;
    tSizedIdTable write;
    tSizedIdTable flush;           // by register key
    tSizedIdTable refresh;         // by register key
    const tFormatEntry* formatIds; // by register key, sorted
    uint32_t formatIdCount;
    const tFieldFormat* formats;
    // Sub-maps in declaration order; only the whole-map operations reach them.
    uint32_t subMapCount;
    tSizedRegisterMapBase* (*subMapAt)(tSizedRegisterMapBase& map, uint32_t index);
};

// ---- field arithmetic ------------------------------------------------------

constexpr uint64_t sizedFieldMask(uint32_t lsb, uint32_t width) {
    return width >= 64 ? ~0ULL : ((1ULL << width) - 1ULL) << lsb;
}

// The bits a value puts into a field: a one-bit field takes any non-zero value
// or only bit 0 of the value, as the field says; a wider one takes the value's
// low bits that fit.
constexpr uint64_t insertedSizedBits(uint64_t value, uint32_t lsb, uint32_t width, bool anyNonZero) {
    if (width == 1) {
        const bool set = anyNonZero ? value != 0 : (value & 1u) != 0;
        return set ? (1ULL << lsb) : 0ULL;
    }
    return lsb >= 64 ? 0ULL : (value << lsb) & sizedFieldMask(lsb, width);
}

// ---- the bus beneath a map -------------------------------------------------

// A mapped BAR region (8/16/32/64-bit accesses, no failures of its own) or a
// front-end accessor (32-bit accesses that report into the status).
class tRegisterBus {
public:
    using tMemoryAccessor = kelvo_driver::nVOAPAL000::tPCIMemorySpaceAccessorDebug<false>;

    explicit tRegisterBus(tMemoryAccessor* memory) : memory_(memory) {}
    explicit tRegisterBus(voquantasharedsource::FrontEndAccessorInterface* frontEnd) : frontEnd_(frontEnd) {}

    // Nothing (and all ones) when the status already holds an error.
    uint64_t read(uint32_t offset, uint32_t bytes, nVOAPALS100::tStatus& status) const;
    void write(uint32_t offset, uint32_t bytes, uint64_t value, nVOAPALS100::tStatus& status) const;

    tMemoryAccessor* memory() const { return memory_; }
    voquantasharedsource::FrontEndAccessorInterface* frontEnd() const { return frontEnd_; }

private:
    tMemoryAccessor* memory_ = nullptr;
    voquantasharedsource::FrontEndAccessorInterface* frontEnd_ = nullptr;
};

// ---- the engine ------------------------------------------------------------

class tSizedRegisterMapBase : public DynamicAccessInterfaceBase<nVOAPALS100::tStatus> {
public:
    using tStatus = nVOAPALS100::tStatus;

    void get(uint32_t id, uint64_t& value, tStatus& status, uint32_t extra) override;
    void set(uint32_t id, uint64_t value, tStatus& status, uint32_t extra) override;
    void read(uint32_t id, uint64_t& value, tStatus& status, uint32_t extra) override;
    void write(uint32_t id, uint64_t value, bool force, tStatus& status, uint32_t extra) override;
    void flush(uint32_t id, bool force, tStatus& status, uint32_t extra) override;
    void refresh(uint32_t id, tStatus& status, uint32_t extra) override;
    void getRegisterFormat(uint32_t id, uint32_t& count, FieldType* types, uint64_t* masks,
                           tStatus& status) const override;
    void flushRegMap(bool force, tStatus& status) override;
    void refreshRegMap(tStatus& status) override;
    void markDirtyRegMap() override;
    const char* getVersion() const override { return tables_.version; }
    const char* getOldestCompatibleVersion() const override { return tables_.oldestCompatibleVersion; }

    const tRegisterBus& bus() const { return bus_; }
    uint32_t base() const { return base_; }
    uint32_t windowStart() const { return windowStart_; }
    uint32_t windowSize() const { return windowSize_; }
    const tSizedRegisterMapTables& tables() const { return tables_; }

    const tRegMapLockSlot& lockSlot() const { return lock_; }
    tRegMapLockInterface* externalLock() const { return lock_.get(); }
    // Installs the tree's lock (null: removes it) on this map and its
    // sub-maps; not owned, it must outlive them.
    void installTreeLock(tRegMapLockInterface* lock);

    // Registers this map alone (its sub-maps are reached through it) under
    // `name`, by default the map's registration name; the dispatcher offers
    // add(const char*, DynamicAccessInterfaceBase<tStatus>&, tStatus&) and
    // remove(const char*, tStatus&).
    template <typename Dispatcher>
    void addToDispatcher(Dispatcher& dispatcher, tStatus& status, const char* name = nullptr) {
        dispatcher.add(name != nullptr ? name : tables_.defaultName, *this, status);
    }
    template <typename Dispatcher>
    void removeFromDispatcher(Dispatcher& dispatcher, tStatus& status, const char* name = nullptr) {
        dispatcher.remove(name != nullptr ? name : tables_.defaultName, status);
    }

protected:
    tSizedRegisterMapBase(const tSizedRegisterMapTables& tables, const tRegisterBus& bus, uint32_t base,
                          uint32_t windowStart, uint32_t windowSize)
        : tables_(tables), bus_(bus), base_(base), windowStart_(windowStart), windowSize_(windowSize) {}

    // Address (base - window start + offset) and in-window flag of every
    // record, soft copies to their defaults, dirty flags to 0. The generated
    // constructor calls it once its members exist; a timing-chip map's
    // reinitialize calls it again, then reinitializes its sub-maps.
    void initializeRecords();
    void reinitializeWithSubMaps();

private:
    void* record(uint32_t index) { return tables_.recordAt(*this, index); }

    const tSizedRegisterMapTables& tables_;
    tRegisterBus bus_;
    uint32_t base_;
    uint32_t windowStart_;
    uint32_t windowSize_;
    tRegMapLockSlot lock_;
};

// ---- record operations (the typed register methods call these) ------------

namespace sized_detail {
template <typename R> bool outsideWindow(const R& record, nVOAPALS100::tStatus& status) {
    if constexpr (R::kHasWindowFlag) {
        if (record.inWindow == 0) {
            KELVO_SET_STATUS(status, nVOAPALS100::tStatus::kNotAccessible);
            return true;
        }
    }
    (void)record;
    (void)status;
    return false;
}
} // namespace sized_detail

// Inserts bits into a soft copy; dirty only when the soft copy changed.
template <typename R> void insertIntoSizedRecord(R& record, uint64_t mask, uint64_t bits) {
    using T = typename R::tValue;
    const T word = static_cast<T>((record.softCopy & ~static_cast<T>(mask)) | static_cast<T>(bits & mask));
    if (word != record.softCopy) {
        record.softCopy = word;
        record.dirty = 1;
    }
}

// Writes the soft copy with the register's width when dirty or forced; after
// a successful write the bits `clearedAfterWrite` leave the soft copy and dirty
// is 0. A failed write leaves both as they were. -52006 outside the window.
template <typename R>
void flushSizedRecord(R& record, uint64_t clearedAfterWrite, nVOAPALS100::tStatus& status, bool force) {
    using T = typename R::tValue;
    if (status.isFatal()) {
        return;
    }
    if (!force && record.dirty == 0) {
        return;
    }
    if (sized_detail::outsideWindow(record, status)) {
        return;
    }
    record.owner->bus().write(record.address, sizeof(T), record.softCopy, status);
    if (status.isFatal()) {
        return;
    }
    record.softCopy = static_cast<T>(record.softCopy & ~static_cast<T>(clearedAfterWrite));
    record.dirty = 0;
}

// Reads the register with its width into the soft copy and clears dirty; a
// failed read leaves the record as it was. -52006 outside the window.
template <typename R> void refreshSizedRecord(R& record, nVOAPALS100::tStatus& status) {
    using T = typename R::tValue;
    if (status.isFatal()) {
        return;
    }
    if (sized_detail::outsideWindow(record, status)) {
        return;
    }
    const uint64_t word = record.owner->bus().read(record.address, sizeof(T), status);
    if (status.isFatal()) {
        return;
    }
    record.softCopy = static_cast<T>(word);
    record.dirty = 0;
}

// One read or write of `bytes` through the bus; -52006 outside the window; the
// read returns all ones when the status holds an error.
template <typename P> uint64_t readSizedPort(P& record, uint32_t bytes, nVOAPALS100::tStatus& status) {
    const uint64_t none = bytes >= 8 ? ~0ULL : (1ULL << (8 * bytes)) - 1ULL;
    if (status.isFatal() || sized_detail::outsideWindow(record, status)) {
        return none;
    }
    return record.owner->bus().read(record.address, bytes, status);
}

template <typename P>
void writeSizedPort(P& record, uint32_t bytes, uint64_t value, nVOAPALS100::tStatus& status) {
    if (status.isFatal() || sized_detail::outsideWindow(record, status)) {
        return;
    }
    record.owner->bus().write(record.address, bytes, value, status);
}

} // namespace arm
