#include "framework/resource_reservation.h"

#include "framework/mutex_holder.h"

namespace kdut {

using nVOAPALS100::tStatus;

ResourceReservationManager::ResourceReservationManager(uint32_t alreadyReservedCode, uint32_t notReservedCode,
                                                       uint64_t availableMask, uint32_t notAvailableCode,
                                                       tStatus& status)
    : alreadyReservedCode_(alreadyReservedCode), notReservedCode_(notReservedCode),
      notAvailableCode_(notAvailableCode), availableMask_(availableMask), reservedMask_(0) {
    nVOAPAL200_createMutex(&mutex_, &status);
}

ResourceReservationManager::ResourceReservationManager(uint32_t alreadyReservedCode, uint32_t notReservedCode,
                                                       tStatus& status)
    : ResourceReservationManager(alreadyReservedCode, notReservedCode, UINT64_MAX, 0xFFFFFFFF, status) {}

void ResourceReservationManager::reserve(uint64_t mask, tStatus& status) {
    reserveFor(nullptr, mask, status);
}

void ResourceReservationManager::reserveFor(const CleanupOperationComposite* holder, uint64_t mask,
                                            tStatus& status) {
    if (status.isFatal()) {
        return;
    }
    internal::MutexHolder hold(mutex_);
    if ((mask & ~availableMask_) != 0) {
        KELVO_SET_STATUS(status, kelvoDriverCode(notAvailableCode_));
        return;
    }
    if ((mask & reservedMask_) != 0) {
        KELVO_SET_STATUS(status, kelvoDriverCode(alreadyReservedCode_));
        return;
    }
    reservedMask_ |= mask;
    ++reserves_;
    for (uint32_t bit = 0; bit < 64; ++bit) {
        if ((mask >> bit & 1) != 0) {
            holders_[bit] = holder;
            generations_[bit] = reserves_;
        }
    }
}

void ResourceReservationManager::release(uint64_t mask, tStatus& status) {
    if (status.isFatal()) {
        return;
    }
    internal::MutexHolder hold(mutex_);
    if ((mask & ~reservedMask_) != 0) {
        KELVO_SET_STATUS(status, kelvoDriverCode(notReservedCode_));
        return;
    }
    reservedMask_ &= ~mask;
}

uint64_t ResourceReservationManager::getReservedMask() {
    internal::MutexHolder hold(mutex_);
    return reservedMask_;
}

ResourceReservationManager::Holder
ResourceReservationManager::holderOf(const CleanupOperationComposite* session, uint64_t mask,
                                     uint64_t* generation) {
    internal::MutexHolder hold(mutex_);
    const uint64_t reserved = reservedMask_ & mask;
    uint64_t given = 0;
    for (uint32_t bit = 0; bit < 64; ++bit) {
        if ((reserved >> bit & 1) == 0) {
            continue;
        }
        if (holders_[bit] == nullptr || holders_[bit] != session) {
            return Holder::kOther;
        }
        given = generations_[bit];
    }
    if (reserved != mask || mask == 0) {
        return Holder::kNobody;
    }
    if (generation != nullptr) {
        *generation = given;
    }
    return Holder::kSession;
}

ResourceReservation::ResourceReservation(uint32_t notReservedCode, ResourceReservationManager* manager,
                                         tStatus& status)
    : notReservedCode_(notReservedCode), manager_(manager), heldMask_(0) {
    nVOAPAL200_createMutex(&mutex_, &status);
}

ResourceReservation::~ResourceReservation() {
    if (heldMask_ != 0 && manager_ != nullptr) {
        tStatus local;
        manager_->release(heldMask_, local);
    }
}

void ResourceReservation::reserve(CleanupOperationComposite& composite, uint64_t mask, tStatus& status) {
    if (status.isFatal()) {
        return;
    }
    {
        internal::MutexHolder hold(mutex_);
        // A second reserve of one handle comes from user mode: refused, not
        // taken for a broken invariant.
        if (heldMask_ != 0) {
            KELVO_SET_STATUS(status, kelvoDriverCode(manager_->getAlreadyReservedCode()));
            return;
        }
        manager_->reserveFor(&composite, mask, status);
        if (status.isFatal()) {
            return;
        }
        heldMask_ = mask;
    }
    composite.add(this, status);
    if (status.isFatal()) {
        // Not registered: nothing would ever give the mask back.
        internal::MutexHolder hold(mutex_);
        if (heldMask_ == mask) {
            tStatus local;
            manager_->release(heldMask_, local);
            if (local.isNotFatal()) {
                heldMask_ = 0;
            }
        }
    }
}

void ResourceReservation::unreserve(CleanupOperationComposite& composite, tStatus& status) {
    if (status.isFatal()) {
        return;
    }
    {
        internal::MutexHolder hold(mutex_);
        manager_->release(heldMask_, status);
        if (status.isNotFatal()) {
            heldMask_ = 0;
        }
    }
    composite.remove(this, status);
}

void ResourceReservation::checkReserved(uint64_t mask, tStatus& status) {
    if (status.isFatal()) {
        return;
    }
    internal::MutexHolder hold(mutex_);
    if ((mask & ~heldMask_) != 0) {
        KELVO_SET_STATUS(status, kelvoDriverCode(notReservedCode_));
    }
}

void ResourceReservation::cleanup(tStatus& status) {
    if (status.isFatal()) {
        return;
    }
    internal::MutexHolder hold(mutex_);
    if (heldMask_ != 0) {
        manager_->release(heldMask_, status);
        if (status.isNotFatal()) {
            heldMask_ = 0;
        }
    }
}

} // namespace kdut
