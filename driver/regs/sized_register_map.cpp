#include "regs/sized_register_map.h"

#include <type_traits>

#include "platform/vosdbg.h"

namespace arm {

using nVOAPALS100::tStatus;

namespace {

// The entry of the identifier, or null with kInvalidParameter set when
// the table has none.
const tSizedIdEntry* findEntry(const tSizedIdTable& table, uint32_t id, tStatus& status) {
    const tSizedIdEntry* entry = findSortedEntry(table.entries, table.count, id);
    if (entry == nullptr) {
        KELVO_SET_STATUS(status, tStatus::kInvalidParameter);
    }
    return entry;
}

// Calls f with the soft-copy record of its register's width in the map's variant.
template <bool Windowed, typename F> void visitSoftRecordOf(void* record, uint32_t bytes, F&& f) {
    switch (bytes) {
    case 1:
        f(*static_cast<tSizedRegisterRecord<uint8_t, Windowed>*>(record));
        return;
    case 2:
        f(*static_cast<tSizedRegisterRecord<uint16_t, Windowed>*>(record));
        return;
    case 4:
        f(*static_cast<tSizedRegisterRecord<uint32_t, Windowed>*>(record));
        return;
    default:
        f(*static_cast<tSizedRegisterRecord<uint64_t, Windowed>*>(record));
        return;
    }
}

template <typename F> void visitSoftRecord(void* record, uint32_t bytes, bool windowed, F&& f) {
    if (windowed) {
        visitSoftRecordOf<true>(record, bytes, f);
    } else {
        visitSoftRecordOf<false>(record, bytes, f);
    }
}

template <typename F> void visitDataPort(void* record, bool windowed, F&& f) {
    if (windowed) {
        f(*static_cast<tSizedDataPortRecord<true>*>(record));
    } else {
        f(*static_cast<tSizedDataPortRecord<false>*>(record));
    }
}

uint64_t fieldOf(uint64_t word, const tSizedIdEntry& entry) {
    return (word & sizedFieldMask(entry.lsb, entry.width)) >> entry.lsb;
}

} // namespace

// ---- bus -------------------------------------------------------------------

uint64_t tRegisterBus::read(uint32_t offset, uint32_t bytes, tStatus& status) const {
    const uint64_t none = bytes >= 8 ? ~0ULL : (1ULL << (8 * bytes)) - 1ULL;
    if (status.isFatal()) {
        return none;
    }
    if (memory_ != nullptr) {
        switch (bytes) {
        case 1:
            return memory_->read8(offset);
        case 2:
            return memory_->read16(offset);
        case 4:
            return memory_->read32(offset);
        default:
            return memory_->read64(offset);
        }
    }
    VOSDBG_ASSERT_MSG(frontEnd_ != nullptr && bytes == 4,
                      "a front-end accessor carries 32-bit accesses only");
    return frontEnd_->read32(offset, status);
}

void tRegisterBus::write(uint32_t offset, uint32_t bytes, uint64_t value, tStatus& status) const {
    if (status.isFatal()) {
        return;
    }
    if (memory_ != nullptr) {
        switch (bytes) {
        case 1:
            memory_->write8(offset, static_cast<uint8_t>(value));
            return;
        case 2:
            memory_->write16(offset, static_cast<uint16_t>(value));
            return;
        case 4:
            memory_->write32(offset, static_cast<uint32_t>(value));
            return;
        default:
            // Through the kernel layer's 64-bit write, never a plain store.
            memory_->write64(offset, value);
            return;
        }
    }
    VOSDBG_ASSERT_MSG(frontEnd_ != nullptr && bytes == 4,
                      "a front-end accessor carries 32-bit accesses only");
    frontEnd_->write32(offset, static_cast<uint32_t>(value), status);
}

// ---- construction ----------------------------------------------------------

void tSizedRegisterMapBase::initializeRecords() {
    const bool windowed = tables_.windowed;
    for (uint32_t i = 0; i < tables_.registerCount; ++i) {
        const tSizedRegisterInfo& info = tables_.registers[i];
        const uint32_t address = base_ - windowStart_ + info.offset;
        const uint8_t inWindow =
            (windowStart_ <= info.offset && info.offset - windowStart_ < windowSize_) ? 1 : 0;
        if (info.kind == kDataPort) {
            visitDataPort(record(i), windowed, [&](auto& r) {
                using R = std::remove_reference_t<decltype(r)>;
                r.address = address;
                if constexpr (R::kHasWindowFlag) {
                    r.inWindow = inWindow;
                }
                r.owner = this;
            });
            continue;
        }
        visitSoftRecord(record(i), info.bytes, windowed, [&](auto& r) {
            using R = std::remove_reference_t<decltype(r)>;
            r.address = address;
            r.softCopy = static_cast<typename R::tValue>(info.defaultValue);
            r.dirty = 0;
            if constexpr (R::kHasWindowFlag) {
                r.inWindow = inWindow;
            }
            r.owner = this;
        });
    }
}

void tSizedRegisterMapBase::installTreeLock(tRegMapLockInterface* lock) {
    lock_.set(lock);
    for (uint32_t i = 0; i < tables_.subMapCount; ++i) {
        if (tSizedRegisterMapBase* sub = tables_.subMapAt(*this, i)) {
            sub->installTreeLock(lock);
        }
    }
}

// The map's own records under one hold (no hardware access), let go before
// the sub-maps, which take their own.
void tSizedRegisterMapBase::reinitializeWithSubMaps() {
    {
        const tRegMapHold hold(*this);
        initializeRecords();
    }
    for (uint32_t i = 0; i < tables_.subMapCount; ++i) {
        if (tSizedRegisterMapBase* sub = tables_.subMapAt(*this, i)) {
            sub->reinitializeWithSubMaps();
        }
    }
}

// ---- operations by number --------------------------------------------------

void tSizedRegisterMapBase::get(uint32_t id, uint64_t& value, tStatus& status, uint32_t) {
    if (status.isFatal()) {
        return;
    }
    const tRegMapHold hold(*this);
    const tSizedIdEntry* entry = findEntry(tables_.get, dataKey(id), status);
    if (entry == nullptr) {
        value = 0;
        return;
    }
    const tSizedRegisterInfo& info = tables_.registers[entry->reg];
    visitSoftRecord(record(entry->reg), info.bytes, tables_.windowed,
                    [&](auto& r) { value = fieldOf(r.softCopy, *entry); });
}

void tSizedRegisterMapBase::set(uint32_t id, uint64_t value, tStatus& status, uint32_t) {
    if (status.isFatal()) {
        return;
    }
    const tRegMapHold hold(*this);
    const tSizedIdEntry* entry = findEntry(tables_.set, dataKey(id), status);
    if (entry == nullptr) {
        return;
    }
    const tSizedRegisterInfo& info = tables_.registers[entry->reg];
    const uint64_t mask = sizedFieldMask(entry->lsb, entry->width);
    const uint64_t bits = insertedSizedBits(value, entry->lsb, entry->width, entry->anyNonZero != 0);
    visitSoftRecord(record(entry->reg), info.bytes, tables_.windowed,
                    [&](auto& r) { insertIntoSizedRecord(r, mask, bits); });
}

void tSizedRegisterMapBase::read(uint32_t id, uint64_t& value, tStatus& status, uint32_t) {
    if (status.isFatal()) {
        return;
    }
    const tRegMapHold hold(*this);
    const tSizedIdEntry* entry = findEntry(tables_.read, dataKey(id), status);
    if (entry == nullptr) {
        value = 0;
        return;
    }
    const tSizedRegisterInfo& info = tables_.registers[entry->reg];
    if (info.kind == kDataPort) {
        // One read of the hardware; no soft copy changes.
        visitDataPort(record(entry->reg), tables_.windowed,
                      [&](auto& r) { value = fieldOf(readSizedPort(r, info.bytes, status), *entry); });
        return;
    }
    // The field of the soft copy, also when the refresh failed (then the old one).
    visitSoftRecord(record(entry->reg), info.bytes, tables_.windowed, [&](auto& r) {
        refreshSizedRecord(r, status);
        value = fieldOf(r.softCopy, *entry);
    });
}

void tSizedRegisterMapBase::write(uint32_t id, uint64_t value, bool force, tStatus& status, uint32_t) {
    if (status.isFatal()) {
        return;
    }
    const tRegMapHold hold(*this);
    const tSizedIdEntry* entry = findEntry(tables_.write, dataKey(id), status);
    if (entry == nullptr) {
        return;
    }
    const tSizedRegisterInfo& info = tables_.registers[entry->reg];
    const uint64_t mask = sizedFieldMask(entry->lsb, entry->width);
    const uint64_t bits = insertedSizedBits(value, entry->lsb, entry->width, entry->anyNonZero != 0);
    if (info.kind == kDataPort) {
        // The field alone, every other bit 0; force plays no part.
        visitDataPort(record(entry->reg), tables_.windowed,
                      [&](auto& r) { writeSizedPort(r, info.bytes, bits, status); });
        return;
    }
    visitSoftRecord(record(entry->reg), info.bytes, tables_.windowed, [&](auto& r) {
        insertIntoSizedRecord(r, mask, bits);
        flushSizedRecord(r, info.clearedAfterWrite, status, force);
    });
}

void tSizedRegisterMapBase::flush(uint32_t id, bool force, tStatus& status, uint32_t) {
    if (status.isFatal()) {
        return;
    }
    const tRegMapHold hold(*this);
    const tSizedIdEntry* entry = findEntry(tables_.flush, registerKey(id), status);
    if (entry == nullptr) {
        return;
    }
    const tSizedRegisterInfo& info = tables_.registers[entry->reg];
    if (info.kind == kDataPort) {
        return; // a writable data port has nothing to flush
    }
    visitSoftRecord(record(entry->reg), info.bytes, tables_.windowed,
                    [&](auto& r) { flushSizedRecord(r, info.clearedAfterWrite, status, force); });
}

void tSizedRegisterMapBase::refresh(uint32_t id, tStatus& status, uint32_t) {
    if (status.isFatal()) {
        return;
    }
    const tRegMapHold hold(*this);
    const tSizedIdEntry* entry = findEntry(tables_.refresh, registerKey(id), status);
    if (entry == nullptr) {
        return;
    }
    const tSizedRegisterInfo& info = tables_.registers[entry->reg];
    visitSoftRecord(record(entry->reg), info.bytes, tables_.windowed,
                    [&](auto& r) { refreshSizedRecord(r, status); });
}

void tSizedRegisterMapBase::getRegisterFormat(uint32_t id, uint32_t& count, FieldType* types, uint64_t* masks,
                                              tStatus& status) const {
    if (status.isFatal()) {
        return;
    }
    copyRegisterFormat(tables_.formatIds, tables_.formatIdCount, tables_.formats, registerKey(id), count,
                       types, masks, status);
}

// ---- whole-map operations --------------------------------------------------
//
// As the kelvo engine's (register_map.cpp): the tree's lock for each record,
// never across the map or into its sub-maps; one record is one access (a
// port transaction on the maps behind the bridge-port accessor).

void tSizedRegisterMapBase::flushRegMap(bool force, tStatus& status) {
    if (status.isFatal()) {
        return;
    }
    tStatus local;
    for (uint32_t i = 0; i < tables_.registerCount; ++i) {
        const tSizedRegisterInfo& info = tables_.registers[i];
        if (info.access == kReadOnly || info.kind == kDataPort) {
            continue;
        }
        const tRegMapHold hold(*this);
        local.clear();
        visitSoftRecord(record(i), info.bytes, tables_.windowed,
                        [&](auto& r) { flushSizedRecord(r, info.clearedAfterWrite, local, force); });
        status.merge(local);
    }
    mergeOverSubMaps(*this, tables_, status, [&](tSizedRegisterMapBase& sub, tStatus& subStatus) {
        sub.flushRegMap(force, subStatus);
    });
}

void tSizedRegisterMapBase::refreshRegMap(tStatus& status) {
    if (status.isFatal()) {
        return;
    }
    tStatus local;
    for (uint32_t i = 0; i < tables_.registerCount; ++i) {
        const tSizedRegisterInfo& info = tables_.registers[i];
        if (info.access == kWriteOnly || info.kind == kDataPort) {
            continue;
        }
        const tRegMapHold hold(*this);
        local.clear();
        visitSoftRecord(record(i), info.bytes, tables_.windowed,
                        [&](auto& r) { refreshSizedRecord(r, local); });
        status.merge(local);
    }
    mergeOverSubMaps(*this, tables_, status,
                     [](tSizedRegisterMapBase& sub, tStatus& subStatus) { sub.refreshRegMap(subStatus); });
}

// No hardware access: the map's own records under one hold, let go before the sub-maps.
void tSizedRegisterMapBase::markDirtyRegMap() {
    {
        const tRegMapHold hold(*this);
        for (uint32_t i = 0; i < tables_.registerCount; ++i) {
            const tSizedRegisterInfo& info = tables_.registers[i];
            if (info.kind == kDataPort) {
                continue;
            }
            visitSoftRecord(record(i), info.bytes, tables_.windowed, [](auto& r) { r.dirty = 1; });
        }
    }
    for (uint32_t i = 0; i < tables_.subMapCount; ++i) {
        if (tSizedRegisterMapBase* sub = tables_.subMapAt(*this, i)) {
            sub->markDirtyRegMap();
        }
    }
}

} // namespace arm
