// A registry of named wrappers: entries {private copy of the name, wrapper}
// in registration order. Names compare exactly; two entries may share a name,
// and every lookup or removal finds the first. A lookup name may end in
// "_Ver" and a version text, which states the version the caller was written
// against (see Registration::checkVersion).
//
// Lookups go through a hash index of the names (open addressing, one slot per
// distinct name holding its first entry), so their cost does not grow with
// the number of registrations; the list itself keeps registration order for
// the name lists. Adding grows the index before the entry is appended (a
// failure registers nothing); a removal rebuilds it.
//
// No lock of its own: entries change only while the setup sequence runs,
// lookups run inside I/O that the gate admits, and the two never overlap.
#pragma once

#include <stddef.h>
#include <stdint.h>

#include <utility>

#include "framework/version.h"
#include "nVOKAL.h"
#include "platform/memory.h"
#include "platform/status.h"
#include "platform/sync.h"
#include "platform/vohtl/string.h"
#include "platform/vohtl/vector.h"

namespace voregitools {

namespace internal {

// The version-suffix marker.
inline constexpr char kVersionMarker[] = "_Ver";
constexpr size_t kVersionMarkerLength = 4;
// Each name slot of getRegistrationNames.
constexpr uint64_t kNameSlotSize = 64;

// A lookup text split at its first "_Ver": the name is the text before it
// (the whole text when there is none), version the text after it (null when
// there is none); hash is hashText of the name.
struct tLookupName {
    size_t nameLength;
    const char* version;
    uint64_t hash;
};
// A terminated text, a byte at a time.
tLookupName splitLookupName(const char* text);
// text: length bytes and a terminator after them (a zero among them ends the
// text there). One pass, eight bytes at a time, none read beyond the
// terminator.
tLookupName splitLookupName(const char* text, size_t length);
size_t textLength(const char* text);
bool sameText(const vohtl::BasicString& name, const char* text, size_t length);
// The index's hash of length bytes of text.
uint64_t hashText(const char* text, size_t length);
// The size of a first index, in slots; at most half the slots are in use.
constexpr size_t kMinimumIndexSlots = 16;
// Sets a code with the source name of the registry class that reports it.
void setRegistryCode(nVOAPALS100::tStatus& status, int64_t code, const char* source, uint64_t line);

} // namespace internal

// W derives from Registration and offers getMutex().
template <typename W> class DispatcherBase : public kelvo_driver::nVOAPAL000::tObject {
public:
    DispatcherBase() = default;
    // Frees the name copies; the wrappers are not this class's.
    virtual ~DispatcherBase() = default;
    DispatcherBase(const DispatcherBase&) = delete;
    DispatcherBase& operator=(const DispatcherBase&) = delete;

    // Appends {copy of name, wrapper}; no duplicate check. Null name -240031;
    // no memory -52000 (nothing registered).
    virtual void add(const char* name, W& wrapper, nVOAPALS100::tStatus& status) {
        if (status.isFatal()) {
            return;
        }
        if (name == nullptr) {
            internal::setRegistryCode(status, kRegiNullPointer, "DispatcherBase", 264);
            return;
        }
        Entry entry;
        entry.wrapper = &wrapper;
        if (!entry.name.assign(name, status)) {
            return;
        }
        entry.hash = internal::hashText(entry.name.c_str(), entry.name.length());
        if (!reserveIndex(entries_.size() + 1, status) || !entries_.pushBack(std::move(entry), status)) {
            return;
        }
        index(entries_.size() - 1);
    }

    // Takes the first entry of that name out of the list and returns its
    // wrapper, which becomes the caller's. Null name -240031; no such entry
    // -240024. It does not look at the status first: a removal goes ahead
    // after an earlier failure (teardown removes everything it registered
    // with one status).
    virtual W* remove(const char* name, nVOAPALS100::tStatus& status) {
        if (name == nullptr) {
            internal::setRegistryCode(status, kRegiNullPointer, "DispatcherBase", 264);
            return nullptr;
        }
        W* wrapper = remove(name);
        if (wrapper == nullptr) {
            internal::setRegistryCode(status, kRegiNameNotFound, "DispatcherBase", 115);
        }
        return wrapper;
    }

    // The same without a status: null when there is no such entry.
    virtual W* remove(const char* name) { return detach(name); }

    // Looks the name up (see the file comment): a parse error of the version
    // text (-240008, -240026), no such entry (-240024) or the version rule end
    // it. On success (a warning counts) hands out the wrapper and, when mutex
    // is not null, the wrapper's mutex; on an error the out values stay as
    // they were.
    virtual void getRegistration(const char* name, W** wrapper, nVOAPALS100::tStatus& status,
                                 kelvo_driver::nVOAPAL000::tMutex** mutex) {
        if (status.isFatal()) {
            return;
        }
        if (name == nullptr) {
            internal::setRegistryCode(status, kRegiNullPointer, "DispatcherBase", 264);
            return;
        }
        lookUp(name, internal::splitLookupName(name), wrapper, status, mutex);
    }

    virtual uint64_t getNumberOfRegistrations() const { return entries_.size(); }

    // Entry i's name into bytes 64 i to 64 i + 63, with its terminator, at
    // most 64 bytes: a name of 64 characters or more fills its slot without a
    // terminator. The bytes of a slot after the terminator are left as they
    // were, so a caller that hands the buffer on zeroes it first. The buffer
    // holds 64 bytes per registration. Null buffer -240031.
    virtual void getRegistrationNames(char* buffer, nVOAPALS100::tStatus& status) const {
        if (status.isFatal()) {
            return;
        }
        if (buffer == nullptr) {
            internal::setRegistryCode(status, kRegiNullPointer, "DispatcherBase", 179);
            return;
        }
        for (size_t i = 0; i < entries_.size(); ++i) {
            const vohtl::BasicString& name = entries_[i].name;
            uint64_t count = static_cast<uint64_t>(name.length()) + 1;
            if (count > internal::kNameSlotSize) {
                count = internal::kNameSlotSize;
            }
            nVOKAL180_memCpy(buffer + i * internal::kNameSlotSize, name.c_str(), count);
        }
    }

    // The length of getRegistrationList's text plus 1 for a terminator.
    virtual uint64_t getSizeOfRegistrationList() const {
        uint64_t length = 0;
        for (size_t i = 0; i < entries_.size(); ++i) {
            if (length != 0) {
                ++length;
            }
            length += entries_[i].name.length();
        }
        return length + 1;
    }

    // The names in list order joined by TAB characters (an empty name adds
    // nothing while the text is still empty); -52000 when the text cannot grow.
    virtual void getRegistrationList(vohtl::BasicString& list, nVOAPALS100::tStatus& status) const {
        if (status.isFatal()) {
            return;
        }
        list.clear();
        for (size_t i = 0; i < entries_.size(); ++i) {
            if (!list.empty() && !list.append("\t", 1, status)) {
                return;
            }
            const vohtl::BasicString& name = entries_[i].name;
            if (!list.append(name.c_str(), name.length(), status)) {
                return;
            }
        }
    }

protected:
    // getRegistration's lookup of the text at name, split as lookup says;
    // name not null and the status not failed.
    void lookUp(const char* name, const internal::tLookupName& lookup, W** wrapper,
                nVOAPALS100::tStatus& status, kelvo_driver::nVOAPAL000::tMutex** mutex) {
        Version client;
        if (lookup.version != nullptr) {
            client = Version::parse(lookup.version, status);
            if (status.isFatal()) {
                return;
            }
        }
        const Entry* entry = findHashed(name, lookup.nameLength, lookup.hash);
        if (entry == nullptr) {
            internal::setRegistryCode(status, kRegiNameNotFound, "DispatcherBase", 151);
            return;
        }
        entry->wrapper->checkVersion(client, status);
        if (status.isFatal()) {
            return;
        }
        if (wrapper != nullptr) {
            *wrapper = entry->wrapper;
        }
        if (mutex != nullptr) {
            *mutex = entry->wrapper->getMutex();
        }
    }

    struct Entry {
        vohtl::BasicString name;
        W* wrapper = nullptr;
        uint64_t hash = 0; // of the name
    };

    // Takes the first entry of that name out of the list (the later ones keep
    // their order) and returns its wrapper; null when there is none.
    W* detach(const char* name) {
        if (name == nullptr) {
            return nullptr;
        }
        const Entry* entry = find(name, internal::textLength(name));
        if (entry == nullptr) {
            return nullptr;
        }
        W* wrapper = entry->wrapper;
        entries_.erase(static_cast<size_t>(entry - entries_.data()));
        rebuildIndex();
        return wrapper;
    }

    // The first entry of the name of length bytes at name, or null.
    const Entry* find(const char* name, size_t length) const {
        return findHashed(name, length, internal::hashText(name, length));
    }
    // The same with the name's hash already made.
    const Entry* findHashed(const char* name, size_t length, uint64_t hash) const {
        if (slots_.empty()) {
            return nullptr;
        }
        const size_t mask = slots_.size() - 1;
        for (size_t i = static_cast<size_t>(hash) & mask;; i = (i + 1) & mask) {
            const uint32_t slot = slots_[i];
            if (slot == 0) {
                return nullptr;
            }
            const Entry& entry = entries_[slot - 1];
            if (entry.hash == hash && internal::sameText(entry.name, name, length)) {
                return &entry;
            }
        }
    }

    vohtl::Vector<Entry> entries_;

private:
    // Makes room in the index for count distinct names (at most half the
    // slots in use, so that a probe soon meets an empty slot). -52000 when the
    // larger index cannot be had; the index is then unchanged.
    bool reserveIndex(size_t count, nVOAPALS100::tStatus& status) {
        if (count >= UINT32_MAX) {
            KELVO_SET_STATUS(status, nVOAPALS100::tStatus::kOutOfMemory);
            return false;
        }
        if (count <= slots_.size() / 2) {
            return true;
        }
        size_t size = internal::kMinimumIndexSlots;
        while (size / 2 < count) {
            size *= 2;
        }
        vohtl::Vector<uint32_t> slots;
        if (!slots.resize(size, status)) {
            return false;
        }
        slots_ = std::move(slots);
        rebuildIndex();
        return true;
    }

    // Indexes entry i unless an earlier entry has its name.
    void index(size_t i) {
        const Entry& entry = entries_[i];
        const size_t mask = slots_.size() - 1;
        for (size_t at = static_cast<size_t>(entry.hash) & mask;; at = (at + 1) & mask) {
            const uint32_t slot = slots_[at];
            if (slot == 0) {
                slots_[at] = static_cast<uint32_t>(i + 1);
                return;
            }
            const Entry& other = entries_[slot - 1];
            if (other.hash == entry.hash &&
                internal::sameText(other.name, entry.name.c_str(), entry.name.length())) {
                return;
            }
        }
    }

    // The index of the entries as they stand (no memory needed).
    void rebuildIndex() {
        for (size_t i = 0; i < slots_.size(); ++i) {
            slots_[i] = 0;
        }
        for (size_t i = 0; i < entries_.size(); ++i) {
            index(i);
        }
    }

    // 0: empty; else the position of an entry plus 1. A power of two in size.
    vohtl::Vector<uint32_t> slots_;
};

} // namespace voregitools
