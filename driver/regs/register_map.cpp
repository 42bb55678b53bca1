#include "regs/register_map.h"

#include "nVOKAL.h"
#include "platform/vosdbg.h"

namespace arm {

using nVOAPALS100::tStatus;

namespace {

constexpr uint32_t kNoData = 0xFFFFFFFFu;

// The entry of the identifier, or null with kInvalidParameter set when
// the table has none.
const tIdEntry* findEntry(const tIdTable& table, uint32_t id, tStatus& status) {
    const tIdEntry* entry = findSortedEntry(table.entries, table.count, id);
    if (entry == nullptr) {
        KELVO_SET_STATUS(status, tStatus::kInvalidParameter);
    }
    return entry;
}

// Reads the register into the soft copy of either soft-copy record kind and
// clears dirty; false (record unchanged) when the status already holds an
// error, the register lies outside the window or the read fails.
template <typename Record> bool readIntoSoftCopy(Record& record, tStatus& status) {
    if (status.isFatal()) {
        return false;
    }
    if (record.inWindow == 0) {
        KELVO_SET_STATUS(status, tStatus::kNotAccessible);
        return false;
    }
    const uint32_t word = record.owner->accessor()->read32(record.address, status);
    if (status.isFatal()) {
        return false;
    }
    record.softCopy = word;
    record.dirty = 0;
    return true;
}

// Calls f with the soft-copy record of either soft-copy kind (kSoftCopy or
// kStrobeWord); both start with address and soft copy.
template <typename F> void visitSoftRecord(void* record, tRegisterKind kind, F&& f) {
    if (kind == kStrobeWord) {
        f(*static_cast<tStrobeRegisterRecord*>(record));
    } else {
        f(*static_cast<tRegisterRecord*>(record));
    }
}

} // namespace

tPlacement relativePlacement(uint32_t parentBase, uint32_t parentWindowStart, uint32_t parentWindowSize,
                             uint32_t offset, uint32_t span) {
    // In 64 bits: a parent window of 0xFFFFFFFF bytes must not wrap around.
    const uint64_t windowBegin = parentWindowStart;
    const uint64_t windowEnd = windowBegin + parentWindowSize;
    const uint64_t subBegin = offset;
    const uint64_t subEnd = subBegin + span;
    const uint64_t begin = windowBegin > subBegin ? windowBegin : subBegin;
    const uint64_t end = windowEnd < subEnd ? windowEnd : subEnd;
    tPlacement placement;
    placement.windowStart = static_cast<uint32_t>(begin - subBegin);
    placement.base = parentBase - parentWindowStart + offset + placement.windowStart;
    placement.windowSize = end > begin ? static_cast<uint32_t>(end - begin) : 0u;
    return placement;
}

void copyRegisterFormat(const tFormatEntry* formatIds, uint32_t formatIdCount, const tFieldFormat* formats,
                        uint32_t key, uint32_t& count, FieldType* types, uint64_t* masks, tStatus& status) {
    const tFormatEntry* entry = findSortedEntry(formatIds, formatIdCount, key);
    if (entry == nullptr) {
        KELVO_SET_STATUS(status, tStatus::kNotImplemented);
        count = 0;
        return;
    }
    // Missing arrays hold nothing.
    const uint32_t capacity = (types == nullptr || masks == nullptr) ? 0u : count;
    if (capacity < entry->count) {
        KELVO_SET_STATUS(status, tStatus::kBufferTooSmall);
        return;
    }
    for (uint32_t i = 0; i < entry->count; ++i) {
        const tFieldFormat& format = formats[entry->first + i];
        types[i] = format.type;
        masks[i] = format.mask;
    }
    count = entry->count;
}

// ---- record operations -----------------------------------------------------

void insertIntoRecord(tStrobeRegisterRecord& record, uint32_t strobeMask, uint32_t mask, uint32_t bits) {
    const uint32_t word = (((record.softCopy & ~strobeMask) | record.strobeCopy) & ~mask) | bits;
    if (word == record.softCopy && record.strobeCopy == 0 && (word & strobeMask) == 0) {
        return;
    }
    record.dirty = 1;
    record.strobeCopy = word & strobeMask;
    record.softCopy = word & ~strobeMask;
}

void flushRecord(tRegisterRecord& record, uint32_t clearedAfterWrite, tStatus& status, bool force) {
    if (status.isFatal()) {
        return;
    }
    if (!force && record.dirty == 0) {
        return;
    }
    if (record.inWindow == 0) {
        KELVO_SET_STATUS(status, tStatus::kNotAccessible);
        return;
    }
    record.owner->accessor()->write32(record.address, record.softCopy, status);
    if (status.isFatal()) {
        return;
    }
    record.softCopy &= ~clearedAfterWrite;
    record.dirty = 0;
}

void flushRecord(tStrobeRegisterRecord& record, uint32_t strobeMask, tStatus& status, bool force) {
    if (status.isFatal()) {
        return;
    }
    if (!force && record.dirty == 0) {
        return;
    }
    if (record.inWindow == 0) {
        KELVO_SET_STATUS(status, tStatus::kNotAccessible);
        return;
    }
    const uint32_t word = (record.softCopy & ~strobeMask) | record.strobeCopy;
    record.strobeCopy = 0;
    record.softCopy = word;
    record.owner->accessor()->write32(record.address, word, status);
    // A strobe is sent once: after a failed write its bits stay only in the soft
    // copy (the register still dirty), and the next flush or insertion drops them.
    if (status.isFatal()) {
        return;
    }
    record.softCopy &= ~strobeMask;
    record.dirty = 0;
}

void refreshRecord(tRegisterRecord& record, tStatus& status) {
    readIntoSoftCopy(record, status);
}

void refreshRecord(tStrobeRegisterRecord& record, tStatus& status) {
    if (readIntoSoftCopy(record, status)) {
        record.strobeCopy = 0;
    }
}

uint32_t readDataPort(tDataPortRecord& record, tStatus& status) {
    if (status.isFatal()) {
        return kNoData;
    }
    if (record.inWindow == 0) {
        KELVO_SET_STATUS(status, tStatus::kNotAccessible);
        return kNoData;
    }
    return record.owner->accessor()->read32(record.address, status);
}

void writeDataPort(tDataPortRecord& record, uint32_t value, tStatus& status) {
    if (status.isFatal()) {
        return;
    }
    if (record.inWindow == 0) {
        KELVO_SET_STATUS(status, tStatus::kNotAccessible);
        return;
    }
    record.owner->accessor()->write32(record.address, value, status);
}

// ---- construction ----------------------------------------------------------

void tRegisterMapBase::initializeRecords() {
    for (uint32_t i = 0; i < tables_.registerCount; ++i) {
        const tRegisterInfo& info = tables_.registers[i];
        const uint32_t address = base_ - windowStart_ + info.offset;
        const uint8_t inWindow =
            (windowStart_ <= info.offset && info.offset - windowStart_ < windowSize_) ? 1 : 0;
        void* rec = record(i);
        switch (info.kind) {
        case kSoftCopy: {
            auto* r = static_cast<tRegisterRecord*>(rec);
            *r = tRegisterRecord{address, info.defaultValue, 0, inWindow, this};
            break;
        }
        case kStrobeWord: {
            auto* r = static_cast<tStrobeRegisterRecord*>(rec);
            *r = tStrobeRegisterRecord{address, info.defaultValue, 0, 0, inWindow, this};
            break;
        }
        case kDataPort: {
            auto* r = static_cast<tDataPortRecord*>(rec);
            *r = tDataPortRecord{address, inWindow, this};
            break;
        }
        }
    }
}

void tRegisterMapBase::installTreeLock(tRegMapLockInterface* lock) {
    setExternalLock(lock);
    for (uint32_t i = 0; i < tables_.subMapCount; ++i) {
        if (tRegisterMapBase* sub = tables_.subMapAt(*this, i)) {
            sub->installTreeLock(lock);
        }
    }
}

// The map's own records under one hold (no hardware access), let go before
// the sub-maps, which take their own.
void tRegisterMapBase::reinitialize() {
    {
        const tRegMapHold hold(*this);
        initializeRecords();
    }
    for (uint32_t i = 0; i < tables_.subMapCount; ++i) {
        if (tRegisterMapBase* sub = tables_.subMapAt(*this, i)) {
            sub->reinitialize();
        }
    }
}

// ---- operations by number --------------------------------------------------

void tRegisterMapBase::get(uint32_t id, uint64_t& value, tStatus& status, uint32_t) {
    if (status.isFatal()) {
        return;
    }
    const tRegMapHold hold(*this);
    const tIdEntry* entry = findEntry(tables_.get, dataKey(id), status);
    if (entry == nullptr) {
        value = 0;
        return;
    }
    uint32_t word = 0;
    visitSoftRecord(record(entry->reg), tables_.registers[entry->reg].kind,
                    [&](auto& r) { word = r.softCopy; });
    value = extractField(word, fieldMask(entry->lsb, entry->width), entry->lsb);
}

void tRegisterMapBase::set(uint32_t id, uint64_t value, tStatus& status, uint32_t) {
    if (status.isFatal()) {
        return;
    }
    const tRegMapHold hold(*this);
    const tIdEntry* entry = findEntry(tables_.set, dataKey(id), status);
    if (entry == nullptr) {
        return;
    }
    const tRegisterInfo& info = tables_.registers[entry->reg];
    const uint32_t mask = fieldMask(entry->lsb, entry->width);
    const uint32_t bits = insertedBits(value, mask, entry->lsb, entry->width);
    if (info.kind == kStrobeWord) {
        insertIntoRecord(*static_cast<tStrobeRegisterRecord*>(record(entry->reg)), info.clearedAfterWrite,
                         mask, bits);
    } else {
        insertIntoRecord(*static_cast<tRegisterRecord*>(record(entry->reg)), mask, bits);
    }
}

void tRegisterMapBase::read(uint32_t id, uint64_t& value, tStatus& status, uint32_t) {
    if (status.isFatal()) {
        return;
    }
    const tRegMapHold hold(*this);
    const tIdEntry* entry = findEntry(tables_.read, dataKey(id), status);
    if (entry == nullptr) {
        value = 0;
        return;
    }
    const uint32_t mask = fieldMask(entry->lsb, entry->width);
    void* rec = record(entry->reg);
    uint32_t word = 0;
    const tRegisterKind kind = tables_.registers[entry->reg].kind;
    if (kind == kDataPort) {
        word = readDataPort(*static_cast<tDataPortRecord*>(rec), status);
    } else {
        // The field of the soft copy even when the refresh failed.
        visitSoftRecord(rec, kind, [&](auto& r) {
            refreshRecord(r, status);
            word = r.softCopy;
        });
    }
    value = extractField(word, mask, entry->lsb);
}

void tRegisterMapBase::write(uint32_t id, uint64_t value, bool force, tStatus& status, uint32_t) {
    if (status.isFatal()) {
        return;
    }
    const tRegMapHold hold(*this);
    const tIdEntry* entry = findEntry(tables_.write, dataKey(id), status);
    if (entry == nullptr) {
        return;
    }
    const tRegisterInfo& info = tables_.registers[entry->reg];
    const uint32_t mask = fieldMask(entry->lsb, entry->width);
    const uint32_t bits = insertedBits(value, mask, entry->lsb, entry->width);
    void* rec = record(entry->reg);
    switch (info.kind) {
    case kSoftCopy: {
        auto* r = static_cast<tRegisterRecord*>(rec);
        insertIntoRecord(*r, mask, bits);
        flushRecord(*r, info.clearedAfterWrite, status, force);
        break;
    }
    case kStrobeWord: {
        auto* r = static_cast<tStrobeRegisterRecord*>(rec);
        insertIntoRecord(*r, info.clearedAfterWrite, mask, bits);
        flushRecord(*r, info.clearedAfterWrite, status, force);
        break;
    }
    case kDataPort:
        // The field alone, every other bit 0; no read before the write.
        writeDataPort(*static_cast<tDataPortRecord*>(rec), bits, status);
        break;
    }
}

void tRegisterMapBase::flush(uint32_t id, bool force, tStatus& status, uint32_t) {
    if (status.isFatal()) {
        return;
    }
    const tRegMapHold hold(*this);
    const tIdEntry* entry = findEntry(tables_.flush, registerKey(id), status);
    if (entry == nullptr) {
        return;
    }
    const tRegisterInfo& info = tables_.registers[entry->reg];
    if (info.kind == kDataPort) {
        return; // a writable data port has nothing to flush
    }
    visitSoftRecord(record(entry->reg), info.kind,
                    [&](auto& r) { flushRecord(r, info.clearedAfterWrite, status, force); });
}

void tRegisterMapBase::refresh(uint32_t id, tStatus& status, uint32_t) {
    if (status.isFatal()) {
        return;
    }
    const tRegMapHold hold(*this);
    const tIdEntry* entry = findEntry(tables_.refresh, registerKey(id), status);
    if (entry == nullptr) {
        return;
    }
    visitSoftRecord(record(entry->reg), tables_.registers[entry->reg].kind,
                    [&](auto& r) { refreshRecord(r, status); });
}

void tRegisterMapBase::getRegisterFormat(uint32_t id, uint32_t& count, FieldType* types, uint64_t* masks,
                                         tStatus& status) const {
    if (status.isFatal()) {
        return;
    }
    const tRegMapHold hold(*this);
    copyRegisterFormat(tables_.formatIds, tables_.formatIdCount, tables_.formats, registerKey(id), count,
                       types, masks, status);
}

// ---- whole-map operations --------------------------------------------------
//
// A flush or refresh takes the tree's lock for each record and lets it go
// before the next, and the sub-maps do likewise after the map's own records:
// one record is one access (on the isolated tree a handshake over the link,
// which polls with sleeps), so another request on the tree waits for one
// access, never for the whole walk.

void tRegisterMapBase::flushRegMap(bool force, tStatus& status) {
    if (status.isFatal()) {
        return;
    }
    tStatus local;
    for (uint32_t i = 0; i < tables_.registerCount; ++i) {
        const tRegisterInfo& info = tables_.registers[i];
        if (info.access == kReadOnly || info.kind == kDataPort) {
            continue;
        }
        const tRegMapHold hold(*this);
        local.clear();
        visitSoftRecord(record(i), info.kind,
                        [&](auto& r) { flushRecord(r, info.clearedAfterWrite, local, force); });
        status.merge(local);
    }
    mergeOverSubMaps(*this, tables_, status,
                     [&](tRegisterMapBase& sub, tStatus& subStatus) { sub.flushRegMap(force, subStatus); });
}

void tRegisterMapBase::refreshRegMap(tStatus& status) {
    if (status.isFatal()) {
        return;
    }
    tStatus local;
    for (uint32_t i = 0; i < tables_.registerCount; ++i) {
        const tRegisterInfo& info = tables_.registers[i];
        if (info.access == kWriteOnly || info.kind == kDataPort) {
            continue;
        }
        const tRegMapHold hold(*this);
        local.clear();
        visitSoftRecord(record(i), info.kind, [&](auto& r) { refreshRecord(r, local); });
        status.merge(local);
    }
    mergeOverSubMaps(*this, tables_, status,
                     [](tRegisterMapBase& sub, tStatus& subStatus) { sub.refreshRegMap(subStatus); });
}

// No hardware access: the map's own records under one hold, let go before the sub-maps.
void tRegisterMapBase::markDirtyRegMap() {
    {
        const tRegMapHold hold(*this);
        for (uint32_t i = 0; i < tables_.registerCount; ++i) {
            const tRegisterKind kind = tables_.registers[i].kind;
            if (kind != kDataPort) {
                visitSoftRecord(record(i), kind, [](auto& r) { r.dirty = 1; });
            }
        }
    }
    for (uint32_t i = 0; i < tables_.subMapCount; ++i) {
        if (tRegisterMapBase* sub = tables_.subMapAt(*this, i)) {
            sub->markDirtyRegMap();
        }
    }
}

// ---- registration names ----------------------------------------------------

char* tRegisterMapBase::composeName(const char* base, const char* tail, tStatus& status) {
    const size_t baseLength = vosdbg_strlen(base);
    const size_t tailLength = vosdbg_strlen(tail);
    const size_t size = baseLength + 1 + tailLength + 1;
    auto* name = static_cast<char*>(nVOAPAL200_malloc(size, &status));
    if (name == nullptr) {
        return nullptr;
    }
    const char* parts[] = {base, "_", tail};
    vosdbg_concat(name, size, 3, parts);
    return name;
}

char* tRegisterMapBase::composeNameInto(char* buffer, size_t capacity, const char* base, const char* tail) {
    const size_t size = vosdbg_strlen(base) + 1 + vosdbg_strlen(tail) + 1;
    if (size > capacity) {
        return nullptr;
    }
    const char* parts[] = {base, "_", tail};
    vosdbg_concat(buffer, size, 3, parts);
    return buffer;
}

void tRegisterMapBase::releaseName(char* name) {
    nVOKAL100_free(name);
}

} // namespace arm
