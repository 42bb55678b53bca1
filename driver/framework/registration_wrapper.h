// A registered object with its version facts and a recursive mutex of its
// own, which a lookup hands out so that users of the object can hold it.
// The object is not owned: the setup task that built it owns it and keeps it
// alive while it is registered.
#pragma once

#include "framework/registration.h"
#include "platform/sync.h"

namespace voregitools {

// T offers getVersion() and getOldestCompatibleVersion() as constant texts;
// an empty version text marks the object as unversioned.
template <typename T> class RegistrationWrapper : public Registration {
public:
    explicit RegistrationWrapper(T& object) : object_(&object) {}
    // Destroys the mutex (it must be free); the object is not touched.
    ~RegistrationWrapper() override {}

    // Reads and parses the object's version texts (a parse error stays in
    // the status) and creates the mutex (-52000 when it cannot).
    void initialize(nVOAPALS100::tStatus& status) {
        if (status.isFatal()) {
            return;
        }
        const char* oldest = object_->getOldestCompatibleVersion();
        const char* version = object_->getVersion();
        versioned_ = version != nullptr && version[0] != '\0';
        version_ = Version::parse(version, status);
        oldestCompatibleVersion_ = Version::parse(oldest, status);
        nVOAPAL200_createMutex(&mutex_, &status);
    }

    T* getObject() const { return object_; }
    kelvo_driver::nVOAPAL000::tMutex* getMutex() { return &mutex_; }

private:
    kelvo_driver::nVOAPAL000::tMutex mutex_;
    T* object_;
};

} // namespace voregitools
