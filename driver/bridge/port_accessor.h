// The bridge-port accessor: 32-bit register accesses to a block that sits
// behind a port of the bridge's switched bus interface, each one a port
// transaction on the switched map's command register (tConfigControlReg) and
// data register (tPortDataReg).
//
// The IO port 2 map and the isolation port map share one accessor (port 0,
// setting 2) and may be used from different threads: a recursive mutex covers
// each whole transaction, so the data word of one transaction never meets the
// command of another. Inside it each transaction holds the switched map's
// tree lock from its command until its data was read, so that direct use of
// the switched map's own registers (by identifier, or a whole-map operation)
// waits for the transaction instead of breaking into it. Order: the calling
// map's tree lock, this mutex, the switched map's tree lock.
#pragma once

#include <stdint.h>

#include "platform/status.h"
#include "platform/sync.h"
#include "regmaps/brixel_switched_bim.h"
#include "regs/front_end_accessor.h"

namespace brixeltools {

class TYMOPortAccessor : public voquantasharedsource::FrontEndAccessorInterface {
public:
    using tSwitchedMap = tSwitchedBrixelBimRegMapWithOffset<0u>;

    // The completion bit did not come within kCompletionTimeoutMicroseconds.
    static constexpr int64_t kCompletionTimeout = KELVO_STATUS_PORT_COMPLETION_TIMEOUT;
    // The fifth operation: not offered by this accessor.
    static constexpr int64_t kUnsupportedOperation = KELVO_STATUS_UNSUPPORTED_OPERATION;
    static constexpr uint32_t kCompletionTimeoutMicroseconds = 100000;
    // Waits between completion polls: the first, doubled up to the maximum.
    static constexpr uint32_t kFirstPollIntervalMicroseconds = 10;
    static constexpr uint32_t kMaximumPollIntervalMicroseconds = 100;

    // Keeps the map (not owned), the port (bits 20-23 of the command) and the
    // setting (bits 8-10). Creates the mutex: -52000 when it cannot; every
    // transaction then reports -52000 and touches nothing.
    TYMOPortAccessor(tSwitchedMap& map, int32_t port, uint32_t setting, nVOAPALS100::tStatus& status);
    ~TYMOPortAccessor() override = default;
    TYMOPortAccessor(const TYMOPortAccessor&) = delete;
    TYMOPortAccessor& operator=(const TYMOPortAccessor&) = delete;

    // The front-end slots: one write or read transaction.
    void write32(uint32_t address, uint32_t value, nVOAPALS100::tStatus& status) override {
        write(address, value, status);
    }
    uint32_t read32(uint32_t address, nVOAPALS100::tStatus& status) override { return read(address, status); }
    // Always reports kUnsupportedOperation.
    virtual void unsupportedOperation(nVOAPALS100::tStatus& status);

    // Places the value in the data register (written unless it already held
    // the value and was clean), then issues the write command for the port
    // register at `address` (below 256).
    void write(uint32_t address, uint32_t value, nVOAPALS100::tStatus& status);
    // Issues the read command, polls the command register until its completion
    // bit is set (kCompletionTimeout after kCompletionTimeoutMicroseconds; the
    // result is then the data register's old soft copy), then reads the data
    // register. 0xFFFFFFFF when the status holds an error on entry or after
    // the command.
    uint32_t read(uint32_t address, nVOAPALS100::tStatus& status);

    tSwitchedMap& map() const { return map_; }
    int32_t port() const { return port_; }
    uint32_t setting() const { return setting_; }

private:
    enum tDirection { kDirectionWrite, kDirectionRead };
    // Builds the command in the soft copy (from 0) and writes it; a successful
    // write clears the two start bits of the soft copy.
    void setTransaction(tDirection direction, uint32_t address, nVOAPALS100::tStatus& status);
    void pollCompletion(nVOAPALS100::tStatus& status);
    bool lock(nVOAPALS100::tStatus& status);
    void unlock();

    tSwitchedMap& map_;
    int32_t port_;
    uint32_t setting_;
    kelvo_driver::nVOAPAL000::tMutex mutex_;
    arm::tRegMapLockInterface* mapLock_ = nullptr; // the switched map's lock, while a transaction holds it
};

} // namespace brixeltools
