// A registry of named wrappers: entries {private copy of the name, wrapper}
// in registration order. Names compare exactly; two entries may share a name,
// and every lookup or removal finds the first. A lookup name may end in
// "_Ver" and a version text, which states the version the caller was written
// against (see Registration::checkVersion).
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

size_t textLength(const char* text);
bool sameText(const vohtl::BasicString& name, const char* text, size_t length);
// The position of the first "_Ver" in text, or its length when there is none.
size_t findVersionMarker(const char* text, size_t length);
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
        entries_.pushBack(std::move(entry), status);
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
        const size_t length = internal::textLength(name);
        const size_t baseLength = internal::findVersionMarker(name, length);
        Version client;
        if (baseLength < length) {
            client = Version::parse(name + baseLength + internal::kVersionMarkerLength, status);
            if (status.isFatal()) {
                return;
            }
        }
        const Entry* entry = find(name, baseLength);
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
    struct Entry {
        vohtl::BasicString name;
        W* wrapper = nullptr;
    };

    // Takes the first entry of that name out of the list (the later ones keep
    // their order) and returns its wrapper; null when there is none.
    W* detach(const char* name) {
        if (name == nullptr) {
            return nullptr;
        }
        const size_t length = internal::textLength(name);
        for (size_t i = 0; i < entries_.size(); ++i) {
            if (internal::sameText(entries_[i].name, name, length)) {
                W* wrapper = entries_[i].wrapper;
                entries_.erase(i);
                return wrapper;
            }
        }
        return nullptr;
    }

    const Entry* find(const char* name, size_t length) const {
        for (size_t i = 0; i < entries_.size(); ++i) {
            if (internal::sameText(entries_[i].name, name, length)) {
                return &entries_[i];
            }
        }
        return nullptr;
    }

    vohtl::Vector<Entry> entries_;
};

} // namespace voregitools
