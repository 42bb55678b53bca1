// Resource reservation: a device has a few resources (the bits of a u64
// mask) that one open handle at a time may hold. The device owns one
// manager with the device-wide mask; each session owns one reservation,
// which registers itself as a cleanup operation of the session while it
// holds something, so a handle's cleanup or close gives its resources back.
//
// Lock order: the reservation's mutex, then the manager's. The session's
// cleanup composite is called only after the reservation's mutex is
// released: the composite's own cleanup holds its lock while it runs the
// reservation's cleanup (composite, then reservation), and a reserve that
// took them the other way round could meet it in a deadlock.
#pragma once

#include <stdint.h>

#include "framework/cleanup_operation.h"
#include "platform/memory.h"
#include "platform/status.h"
#include "platform/sync.h"

namespace kdut {

class ResourceReservationInterface : public kelvo_driver::nVOAPAL000::tObject {
public:
    virtual ~ResourceReservationInterface() = default;
    virtual void reserve(CleanupOperationComposite& composite, uint64_t mask,
                         nVOAPALS100::tStatus& status) = 0;
    virtual void unreserve(CleanupOperationComposite& composite, nVOAPALS100::tStatus& status) = 0;
    virtual void checkReserved(uint64_t mask, nVOAPALS100::tStatus& status) = 0;
};

// The device-wide reserved mask. Codes are 32-bit status codes (0xBFFAxxxx
// codes are negative).
class ResourceReservationManager : public kelvo_driver::nVOAPAL000::tObject {
public:
    // The resources of availableMask; any other bit is notAvailableCode.
    // Creates the mutex (-52000 when it cannot).
    ResourceReservationManager(uint32_t alreadyReservedCode, uint32_t notReservedCode, uint64_t availableMask,
                               uint32_t notAvailableCode, nVOAPALS100::tStatus& status);
    // Every bit available (so no request is ever refused as not available).
    ResourceReservationManager(uint32_t alreadyReservedCode, uint32_t notReservedCode,
                               nVOAPALS100::tStatus& status);
    virtual ~ResourceReservationManager() = default;
    ResourceReservationManager(const ResourceReservationManager&) = delete;
    ResourceReservationManager& operator=(const ResourceReservationManager&) = delete;

    // ---- virtual operations, in slot order after the two destructors ----
    // A bit outside the available mask: the not-available code; a bit
    // reserved already: the already-reserved code; else the bits are reserved
    // (by nobody in particular).
    virtual void reserve(uint64_t mask, nVOAPALS100::tStatus& status);
    // A bit that is not reserved: the not-reserved code; else the bits are
    // released. Mask 0 is always accepted.
    virtual void release(uint64_t mask, nVOAPALS100::tStatus& status);
    // As reserve, the bits held by the session whose cleanup list is holder.
    virtual void reserveFor(const CleanupOperationComposite* holder, uint64_t mask,
                            nVOAPALS100::tStatus& status);

    uint64_t getReservedMask();
    // Who holds the bits of mask, as seen by the session whose cleanup list
    // is session: another (a bit reserved by anyone else, or by nobody in
    // particular), the session itself (every bit), or nobody.
    enum class Holder : uint8_t { kNobody, kSession, kOther };
    // generation (may be null): when the session holds mask, the number of
    // the reserve that gave it (each successful reserve has a new one, so a
    // second reserve of the same bits by the same session is told apart).
    Holder holderOf(const CleanupOperationComposite* session, uint64_t mask, uint64_t* generation = nullptr);
    uint64_t getAvailableMask() const { return availableMask_; }
    uint32_t getAlreadyReservedCode() const { return alreadyReservedCode_; }
    uint32_t getNotReservedCode() const { return notReservedCode_; }

private:
    uint32_t alreadyReservedCode_;
    uint32_t notReservedCode_;
    uint32_t notAvailableCode_;
    uint64_t availableMask_;
    kelvo_driver::nVOAPAL000::tMutex mutex_;
    uint64_t reservedMask_;
    const CleanupOperationComposite* holders_[64] = {}; // of each reserved bit
    uint64_t generations_[64] = {};                     // of each reserved bit: its reserve's number
    uint64_t reserves_ = 0;                             // successful reserves so far
};

// What one session holds: nothing, or exactly the mask of one successful
// reserve.
class ResourceReservation : public ResourceReservationInterface, public CleanupOperationInterface {
public:
    // Holds nothing. Creates the mutex (-52000 when it cannot).
    ResourceReservation(uint32_t notReservedCode, ResourceReservationManager* manager,
                        nVOAPALS100::tStatus& status);
    // Gives back what is still held: a session whose cleanup a teardown
    // skipped (and that is invalid afterwards, so that its own close skips it
    // too) must not keep its resources from every later session.
    ~ResourceReservation() override;
    ResourceReservation(const ResourceReservation&) = delete;
    ResourceReservation& operator=(const ResourceReservation&) = delete;

    // Reserves mask in the manager and registers this reservation with
    // composite. A reservation that holds something already is refused
    // with the manager's already-reserved code and changes nothing. When
    // the registration fails, the mask is given back.
    void reserve(CleanupOperationComposite& composite, uint64_t mask, nVOAPALS100::tStatus& status) override;
    // Gives back what is held and unregisters from composite (-52006 when
    // this reservation is not registered there).
    void unreserve(CleanupOperationComposite& composite, nVOAPALS100::tStatus& status) override;
    // A bit of mask that is not held: the not-reserved code.
    void checkReserved(uint64_t mask, nVOAPALS100::tStatus& status) override;
    // Gives back what is held (registration is the composite's business).
    void cleanup(nVOAPALS100::tStatus& status) override;

private:
    uint32_t notReservedCode_;
    kelvo_driver::nVOAPAL000::tMutex mutex_;
    ResourceReservationManager* manager_;
    uint64_t heldMask_;
};

} // namespace kdut
