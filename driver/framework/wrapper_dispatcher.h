// A registry of objects by name that makes, owns and deletes the wrappers
// holding them. The objects themselves are never deleted here.
#pragma once

#include "framework/dispatcher_base.h"
#include "framework/registration_wrapper.h"

namespace voregitools {

template <typename T> class WrapperDispatcher : public DispatcherBase<RegistrationWrapper<T>> {
    using Base = DispatcherBase<RegistrationWrapper<T>>;

public:
    using Wrapper = RegistrationWrapper<T>;
    using Base::add;
    using Base::getRegistration;

    WrapperDispatcher() = default;
    // Deletes every wrapper still listed (also those of names that share a
    // name or hold a TAB); the objects stay.
    ~WrapperDispatcher() override {
        for (size_t i = 0; i < this->entries_.size(); ++i) {
            delete this->entries_[i].wrapper;
            this->entries_[i].wrapper = nullptr;
        }
        this->entries_.clear();
    }

    // Registers object under name with its version facts and a mutex of its
    // own. -52000 when the wrapper, its mutex or the entry cannot be had;
    // -240008 / -240026 for a version text that cannot be read; -240031 for
    // a null name. When anything fails nothing is registered.
    virtual void add(const char* name, T& object, nVOAPALS100::tStatus& status) {
        if (status.isFatal()) {
            return;
        }
        Wrapper* wrapper = new (status, false) Wrapper(object);
        if (wrapper == nullptr) {
            return;
        }
        wrapper->initialize(status);
        Base::add(name, *wrapper, status);
        if (status.isFatal()) {
            delete wrapper;
        }
    }

    // Takes the first entry of that name out and deletes its wrapper (the
    // object is not touched). Null name -240031; no such entry -240024. It
    // does not look at the status first: teardown removes every name it
    // registered with one status, and each removal must take place even after
    // an earlier one failed, or a registration would outlive its object. The
    // wrapper is gone afterwards, so the result is always null.
    Wrapper* remove(const char* name, nVOAPALS100::tStatus& status) override {
        if (name == nullptr) {
            internal::setRegistryCode(status, kRegiNullPointer, "WrapperDispatcher", 91);
            return nullptr;
        }
        Wrapper* wrapper = this->detach(name);
        if (wrapper == nullptr) {
            internal::setRegistryCode(status, kRegiNameNotFound, "WrapperDispatcher", 98);
            return nullptr;
        }
        delete wrapper;
        return nullptr;
    }

    // The same with a status of its own, whose result is dropped.
    Wrapper* remove(const char* name) override {
        nVOAPALS100::tStatus local;
        return remove(name, local);
    }

    // The lookup of DispatcherBase; object receives the wrapper's object, or
    // null when the lookup failed.
    virtual void getRegistration(const char* name, T** object, nVOAPALS100::tStatus& status,
                                 kelvo_driver::nVOAPAL000::tMutex** mutex) {
        Wrapper* wrapper = nullptr;
        Base::getRegistration(name, &wrapper, status, mutex);
        if (object != nullptr) {
            *object = wrapper != nullptr ? wrapper->getObject() : nullptr;
        }
    }

protected:
    // getRegistration of a name of length bytes that a terminator follows (a
    // zero among them ends it early).
    void lookUpObject(const char* name, size_t length, T** object, nVOAPALS100::tStatus& status,
                      kelvo_driver::nVOAPAL000::tMutex** mutex) {
        Wrapper* wrapper = nullptr;
        if (status.isNotFatal()) {
            this->lookUp(name, internal::splitLookupName(name, length), &wrapper, status, mutex);
        }
        if (object != nullptr) {
            *object = wrapper != nullptr ? wrapper->getObject() : nullptr;
        }
    }
};

} // namespace voregitools
