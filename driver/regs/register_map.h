// The register-map engine: register records, the constant tables a generated
// map hands over, and the one implementation of the operations by number and
// of the whole-map operations that every generated kelvo map shares.
//
// A generated map (tools/regmapgen) derives from tRegisterMapBase, declares one
// nested type per register (deriving from one of the three record types below,
// with the register's typed methods) and one member per register or register
// array in declaration order, then its sub-maps. Its constant tables list the
// identifiers each operation serves, sorted, for a binary search.
#pragma once

#include <stdint.h>

#include "platform/memory.h"
#include "platform/status.h"
#include "platform/sync.h"
#include "regs/dynamic_access.h"
#include "regs/front_end_accessor.h"

namespace arm {

class tRegisterMapBase;

// ---- locks -----------------------------------------------------------------
//
// The records of a map (soft copies, dirty flags, strobe words) have no lock
// of their own. Each register-map tree (a top map with all its sub-maps) has
// one recursive lock, its tree lock, installed on the top map and on every
// sub-map by whoever builds the top map; every path to a record takes it:
// each operation by number of any map of the tree; each whole-map flush or
// refresh for each record, never across the map or into its sub-maps (on the
// isolated tree one record is one handshake over the link, which polls with
// sleeps: another request waits for one handshake, not for the whole map),
// and a mark-dirty or a reinitialize, which touch no hardware, for one map's
// records at a time; so a by-name request on a sub-map and a whole-map request on its
// parent never meet on a record half-way; and every controller, verifier or
// accessor that uses a map's typed registers, which holds it (tRegMapHold)
// across each sequence that must not be interleaved: a set and its flush, a
// whole transaction of a port (a step that only setup runs, under the device
// mutex with no request inside the gate, needs none). Trees are
// independent: requests on different trees run in parallel.
//
// One map keeps another lock than its tree's: the register-access map that
// carries the isolation link, while the isolated group lives, guarded by the
// link's own lock (its handshake's), which the map's own operations and its
// ancestors' whole-map operations take for its records in place of the
// tree's.
//
// Lock order (a lock is only taken after those above it; docs/driver.md
// "Lock order" has the whole driver's):
//   1. the locks outside the register maps, in their own order: a
//      session's cleanup list, a DMA channel's gate, one DMA stream's turn,
//      the DMA dispatcher's mutex, a stream controller's mutex, its SGL
//      controller's mutex; the device mutex; a registration's mutex (a
//      by-name request holds its name's); a controller's own mutex (the
//      measure unit's, the sequence engine's, the charge balancer's, a FIFO
//      or credit controller's, the local RAM's, the flash window's, the SPI
//      controller's)
//   2. the tree locks. Where a path holds two, in this order: the isolated
//      FPGA's tree; the non-isolated FPGA's tree; the bridge and timing-chip
//      trees, the IO-port and isolation-port maps' before the bridge-port
//      accessor's mutex before the switched bus-interface map's (whose lock
//      a port transaction holds), the SPI map's before the configuration
//      window map's (an SPI transaction, or a run of a sector's reads,
//      holds both)
//   3. the isolation link's lock (the windowed accessor's mutex, and the
//      external lock of the map it drives): nothing is taken under it; the
//      device's checks that explain the link's error bit run once the
//      request holds no lock at all.
// Nothing takes a lock of step 1 while holding a tree lock or the link's.
// A tree lock is not held across a sleep or a long hardware wait that can
// run outside it: a poll takes it for each read and lets it go for the wait,
// a whole-map operation takes it for each record.

// An external lock that a map instance takes around every operation by
// number and each record of a whole-map operation while it is installed.
// Whoever installs one decides its semantics; it must allow the same thread
// to take it again when one lock is installed on a map and on its sub-maps.
class tRegMapLockInterface : public kelvo_driver::nVOAPAL000::tObject {
public:
    virtual ~tRegMapLockInterface() = default;
    virtual void acquire() = 0;
    virtual void release() = 0;
};

// The lock of one register-map tree: the platform's recursive mutex (its
// owner thread and depth). Not usable until initialize succeeded.
class tRegMapTreeLock : public tRegMapLockInterface {
public:
    tRegMapTreeLock() = default;
    ~tRegMapTreeLock() override = default;
    tRegMapTreeLock(const tRegMapTreeLock&) = delete;
    tRegMapTreeLock& operator=(const tRegMapTreeLock&) = delete;

    // Creates the kernel mutex (-52000 when it cannot).
    void initialize(nVOAPALS100::tStatus& status) { nVOAPAL200_createMutex(&mutex_, &status); }
    bool usable() const { return mutex_.mutex != nullptr; }
    void acquire() override { nVOAPAL200_acquireMutex(&mutex_); }
    void release() override { nVOAPAL200_releaseMutex(&mutex_); }
    // Depth of the current owner's hold (0 when free), for tests.
    uint32_t depth() const { return mutex_.count; }

private:
    kelvo_driver::nVOAPAL000::tMutex mutex_;
};

// Where a map keeps its external lock: read and replaced atomically, and
// taken so that a holder that waited while the lock was replaced lets go and
// takes the new one (a map's lock is replaced only by the isolation link,
// under the old lock).
class tRegMapLockSlot {
public:
    tRegMapLockInterface* get() const { return __atomic_load_n(&lock_, __ATOMIC_ACQUIRE); }
    void set(tRegMapLockInterface* lock) { __atomic_store_n(&lock_, lock, __ATOMIC_RELEASE); }
    // Takes the installed lock (nothing when none) and answers the one taken.
    tRegMapLockInterface* acquire() const {
        for (;;) {
            tRegMapLockInterface* lock = get();
            if (lock == nullptr) {
                return nullptr;
            }
            lock->acquire();
            if (get() == lock) {
                return lock;
            }
            lock->release();
        }
    }

private:
    tRegMapLockInterface* lock_ = nullptr;
};

// Holds a map's installed lock for a scope (nothing when it has none): what a
// controller takes around a register sequence. Map: any map with lockSlot()
// (the kelvo and the sized engine's). Records reach their map through owner.
class tRegMapHold {
public:
    template <typename Map> explicit tRegMapHold(const Map& map) : lock_(map.lockSlot().acquire()) {}
    template <typename Map>
    explicit tRegMapHold(Map* map) : lock_(map != nullptr ? map->lockSlot().acquire() : nullptr) {}
    ~tRegMapHold() {
        if (lock_ != nullptr) {
            lock_->release();
        }
    }
    tRegMapHold(const tRegMapHold&) = delete;
    tRegMapHold& operator=(const tRegMapHold&) = delete;

private:
    tRegMapLockInterface* lock_;
};

// ---- records ---------------------------------------------------------------

// Soft-copy register.
struct tRegisterRecord {
    uint32_t address; // byte address handed to the accessor
    uint32_t softCopy;
    uint8_t dirty; // 1 while the soft copy holds a value not yet written
    uint8_t inWindow;
    tRegisterMapBase* owner; // the map that holds the register; the bus is reached through it
};

// Soft-copy register with a strobe word: set strobe bits wait in strobeCopy
// until the next flush, which sends them once, whether its write succeeds or not.
struct tStrobeRegisterRecord {
    uint32_t address;
    uint32_t softCopy;
    uint32_t strobeCopy;
    uint8_t dirty;
    uint8_t inWindow;
    tRegisterMapBase* owner;
};

// Data-port register: no soft copy, every access goes to the hardware.
struct tDataPortRecord {
    uint32_t address;
    uint8_t inWindow;
    tRegisterMapBase* owner;
};

// ---- constant tables of a generated map -----------------------------------

enum tRegisterKind : uint8_t { kSoftCopy = 0, kStrobeWord = 1, kDataPort = 2 };
enum tRegisterAccess : uint8_t { kReadWrite = 0, kReadOnly = 1, kWriteOnly = 2 };

// One register (an array contributes one entry per element), in declaration order.
struct tRegisterInfo {
    uint32_t offset;
    uint32_t defaultValue;
    uint32_t
        clearedAfterWrite; // bits cleared after a successful write; the strobe bits of a strobe-word register
    tRegisterKind kind;
    tRegisterAccess access;
};

// One identifier an operation serves: the register and the field's bits
// (a whole register counts as one field of 32 bits at bit 0).
struct tIdEntry {
    uint32_t id;
    uint16_t reg;
    uint8_t lsb;
    uint8_t width;
};

struct tIdTable {
    const tIdEntry* entries; // sorted by id
    uint32_t count;
};

// A whole-register identifier of getRegisterFormat and its list of fields.
struct tFormatEntry {
    uint32_t id;
    uint16_t first; // first entry in tRegisterMapTables::formats
    uint16_t count;
};

struct tFieldFormat {
    uint32_t mask;
    FieldType type;
};

// The entry whose id is `id` among count entries sorted by id (binary
// search); null when there is none.
template <typename Entry> const Entry* findSortedEntry(const Entry* entries, uint32_t count, uint32_t id) {
    uint32_t low = 0;
    uint32_t high = count;
    while (low < high) {
        const uint32_t middle = low + (high - low) / 2;
        const uint32_t candidate = entries[middle].id;
        if (candidate == id) {
            return &entries[middle];
        }
        if (candidate < id) {
            low = middle + 1;
        } else {
            high = middle;
        }
    }
    return nullptr;
}

// getRegisterFormat from a map's format tables: the fields of register `key`
// into types and masks, which hold count entries (none when either is null);
// count becomes the number of fields. -52002 (count 0) for a register
// without a format, -52019 when the arrays are too small.
void copyRegisterFormat(const tFormatEntry* formatIds, uint32_t formatIdCount, const tFieldFormat* formats,
                        uint32_t key, uint32_t& count, FieldType* types, uint64_t* masks,
                        nVOAPALS100::tStatus& status);

struct tRegisterMapTables {
    const char* defaultName; // registration name: the class name without its leading "t"
    const char* version;
    const char* oldestCompatibleVersion;
    const tRegisterInfo* registers;
    uint32_t registerCount;
    // The record of register `index` (a tRegisterRecord, tStrobeRegisterRecord or
    // tDataPortRecord by the register's kind).
    void* (*recordAt)(tRegisterMapBase& map, uint32_t index);
    tIdTable get;
    tIdTable set;
    tIdTable read;
    tIdTable write;
    tIdTable flush;                // by register key
    tIdTable refresh;              // by register key
    const tFormatEntry* formatIds; // by register key, sorted
    uint32_t formatIdCount;
    const tFieldFormat* formats;
    // Sub-maps in declaration order (arrays in index order) and their window texts.
    const char* const* subMapWindowTexts;
    uint32_t subMapCount;
    tRegisterMapBase* (*subMapAt)(tRegisterMapBase& map, uint32_t index); // null for an empty owned slot
};

// ---- field arithmetic ------------------------------------------------------

constexpr uint32_t fieldMask(uint32_t lsb, uint32_t width) {
    return width >= 32 ? 0xFFFFFFFFu : ((1u << width) - 1u) << lsb;
}

constexpr uint64_t extractField(uint32_t word, uint32_t mask, uint32_t lsb) {
    return (word & mask) >> lsb;
}

// The bits a value puts into a field: a one-bit field is set by any non-zero
// value; a wider one takes the value's low bits.
constexpr uint32_t insertedBits(uint64_t value, uint32_t mask, uint32_t lsb, uint32_t width) {
    if (width == 1) {
        return value != 0 ? mask : 0u;
    }
    return static_cast<uint32_t>(value << lsb) & mask;
}

// Key of the identifier lookup of get, set, read and write: a whole-register
// identifier with its selector bits ignored, a field identifier as it is.
constexpr uint32_t dataKey(uint32_t id) {
    return (id & 0x80000000u) != 0 ? (id & 0xC0FFFFFFu) : id;
}
// Key of the register lookup of flush, refresh and getRegisterFormat.
constexpr uint32_t registerKey(uint32_t id) {
    return (id & 0x40FFFFFFu) | 0x80000000u;
}

// ---- placement of a sub-map ------------------------------------------------

// A sub-map at offset O (span L) of its parent's address space gets base =
// parent base - parent window start + O. Its window is the part of [O, O + L)
// inside the parent's window: window start 0 and size min(end of the parent's
// window, O + L) - O when the parent's window starts at or below O; when it
// starts above O the sub-map's window starts where the parent's does (base
// moves along, so addresses stay the same); an empty intersection gives size 0.
struct tPlacement {
    uint32_t base;
    uint32_t windowStart;
    uint32_t windowSize;
};
tPlacement relativePlacement(uint32_t parentBase, uint32_t parentWindowStart, uint32_t parentWindowSize,
                             uint32_t offset, uint32_t span);

// ---- record operations (the typed register methods call these) ------------

// Inserts bits into a soft copy; dirty only when the soft copy changed.
inline void insertIntoRecord(tRegisterRecord& record, uint32_t mask, uint32_t bits) {
    const uint32_t word = (record.softCopy & ~mask) | bits;
    if (word != record.softCopy) {
        record.softCopy = word;
        record.dirty = 1;
    }
}
// The same for a register with a strobe word: strobe bits go to the pending word.
void insertIntoRecord(tStrobeRegisterRecord& record, uint32_t strobeMask, uint32_t mask, uint32_t bits);

// Writes the soft copy when dirty or forced; -52006 outside the window; after a
// successful write the bits `clearedAfterWrite` are cleared and dirty is 0.
void flushRecord(tRegisterRecord& record, uint32_t clearedAfterWrite, nVOAPALS100::tStatus& status,
                 bool force);
void flushRecord(tStrobeRegisterRecord& record, uint32_t strobeMask, nVOAPALS100::tStatus& status,
                 bool force);
// Reads the register into the soft copy (and clears dirty, and the pending strobe word).
void refreshRecord(tRegisterRecord& record, nVOAPALS100::tStatus& status);
void refreshRecord(tStrobeRegisterRecord& record, nVOAPALS100::tStatus& status);
// One read or write through the accessor; -52006 outside the window; the read
// returns 0xFFFFFFFF when the status holds an error or the port is outside.
uint32_t readDataPort(tDataPortRecord& record, nVOAPALS100::tStatus& status);
void writeDataPort(tDataPortRecord& record, uint32_t value, nVOAPALS100::tStatus& status);

// ---- the engine ------------------------------------------------------------

// Runs f(sub, local) on every existing sub-map of the map (in table order),
// each with a status of its own that is then merged into status.
template <typename Map, typename Tables, typename F>
void mergeOverSubMaps(Map& map, const Tables& tables, nVOAPALS100::tStatus& status, F&& f) {
    for (uint32_t i = 0; i < tables.subMapCount; ++i) {
        if (auto* sub = tables.subMapAt(map, i)) {
            nVOAPALS100::tStatus local;
            f(*sub, local);
            status.merge(local);
        }
    }
}

class tRegisterMapBase : public DynamicAccessInterfaceBase<nVOAPALS100::tStatus> {
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
    void reinitialize() override;

    voquantasharedsource::FrontEndAccessorInterface* accessor() const { return accessor_; }
    uint32_t base() const { return base_; }
    uint32_t windowStart() const { return windowStart_; }
    uint32_t windowSize() const { return windowSize_; }
    const tRegisterMapTables& tables() const { return tables_; }

    // Installs (or, with null, removes) this instance's external lock; the lock is not owned.
    void setExternalLock(tRegMapLockInterface* lock) { lock_.set(lock); }
    tRegMapLockInterface* externalLock() const { return lock_.get(); }
    const tRegMapLockSlot& lockSlot() const { return lock_; }
    // Installs the tree's lock (null: removes it) on this map and on every
    // sub-map below it, nested; the lock is not owned and must outlive them.
    void installTreeLock(tRegMapLockInterface* lock);

    // Registers this map under `name` (default: its class name without the
    // leading "t") unless skipSelf, then each sub-map in declaration order under
    // name + "_" + window text, nested likewise; empty owned slots are skipped.
    // The dispatcher offers add(const char*, DynamicAccessInterfaceBase<tStatus>&, tStatus&).
    template <typename Dispatcher>
    void addToDispatcher(Dispatcher& dispatcher, tStatus& status, const char* name = nullptr,
                         bool skipSelf = false);
    // Removes the same names in the same order; every name is attempted even
    // after a failure (the dispatcher's remove(const char*, tStatus&) does not
    // look at the status), and the status keeps the first failure.
    template <typename Dispatcher>
    void removeFromDispatcher(Dispatcher& dispatcher, tStatus& status, const char* name = nullptr,
                              bool skipSelf = false);

protected:
    tRegisterMapBase(const tRegisterMapTables& tables,
                     voquantasharedsource::FrontEndAccessorInterface* accessor, uint32_t base,
                     uint32_t windowStart, uint32_t windowSize)
        : tables_(tables), accessor_(accessor), base_(base), windowStart_(windowStart),
          windowSize_(windowSize) {}

    // Computes address and in-window flag of every record, sets every soft copy
    // to its default and every pending strobe word and dirty flag to 0. The
    // generated constructor calls it once its members exist.
    void initializeRecords();

private:
    // The record of a register and its table entry.
    void* record(uint32_t index) { return tables_.recordAt(*this, index); }
    // Composes base + "_" + tail into a buffer of the kernel layer (null and
    // -52000 in `status` when memory is short); release with releaseName.
    static char* composeName(const char* base, const char* tail, tStatus& status);
    static void releaseName(char* name);
    // The same into a caller's buffer: null when it does not fit.
    static constexpr size_t kComposedNameCapacity = 256;
    static char* composeNameInto(char* buffer, size_t capacity, const char* base, const char* tail);

    const tRegisterMapTables& tables_;
    voquantasharedsource::FrontEndAccessorInterface* accessor_;
    uint32_t base_;
    uint32_t windowStart_;
    uint32_t windowSize_;
    tRegMapLockSlot lock_;
};

template <typename Dispatcher>
void tRegisterMapBase::addToDispatcher(Dispatcher& dispatcher, tStatus& status, const char* name,
                                       bool skipSelf) {
    const char* own = name != nullptr ? name : tables_.defaultName;
    if (!skipSelf) {
        dispatcher.add(own, *this, status);
    }
    for (uint32_t i = 0; i < tables_.subMapCount; ++i) {
        tRegisterMapBase* sub = tables_.subMapAt(*this, i);
        if (sub == nullptr || status.isFatal()) {
            continue;
        }
        char* composed = composeName(own, tables_.subMapWindowTexts[i], status);
        if (composed == nullptr) {
            continue;
        }
        sub->addToDispatcher(dispatcher, status, composed, false);
        releaseName(composed);
    }
}

template <typename Dispatcher>
void tRegisterMapBase::removeFromDispatcher(Dispatcher& dispatcher, tStatus& status, const char* name,
                                            bool skipSelf) {
    const char* own = name != nullptr ? name : tables_.defaultName;
    if (!skipSelf) {
        dispatcher.remove(own, status);
    }
    for (uint32_t i = 0; i < tables_.subMapCount; ++i) {
        tRegisterMapBase* sub = tables_.subMapAt(*this, i);
        if (sub == nullptr) {
            continue;
        }
        // Composed without an allocation where the name fits (every
        // generated one does): a removal that a shortage of memory skipped
        // would leave a registration behind its destroyed map. A longer one
        // is composed with a status of its own, so an earlier failed removal
        // does not stop it.
        char fitted[kComposedNameCapacity];
        char* composed = composeNameInto(fitted, sizeof(fitted), own, tables_.subMapWindowTexts[i]);
        if (composed == nullptr) {
            tStatus local;
            composed = composeName(own, tables_.subMapWindowTexts[i], local);
            status.merge(local);
            if (composed == nullptr) {
                continue;
            }
        }
        sub->removeFromDispatcher(dispatcher, status, composed, false);
        if (composed != fitted) {
            releaseName(composed);
        }
    }
}

} // namespace arm
