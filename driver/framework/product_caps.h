// The product capabilities table: one compiled-in record per model of the
// family, keyed by PCI subsystem ID, filled when the driver loads and
// released when it unloads.
#pragma once

#include <stddef.h>
#include <stdint.h>

#include "platform/memory.h"
#include "platform/status.h"
#include "platform/vohtl/map.h"
#include "platform/vohtl/sharedptr.h"

namespace corran_caps {

// Power-allocation limits by key, in microwatts. The map is held through a
// shared pointer; when memory runs out the record's own status holds -52000
// and the map stays empty (an empty map then stands in for the missing one).
class PowerAllocationLimitInMicroWatts {
public:
    using LimitMap = vohtl::apal::Map<uint32_t, uint32_t>;

    // An empty set of limits (no entry).
    PowerAllocationLimitInMicroWatts();
    // The single entry {0: microWatts}.
    explicit PowerAllocationLimitInMicroWatts(uint32_t microWatts);

    // Adds key -> microWatts (the record's status takes any failure).
    void insert(uint32_t key, uint32_t microWatts);

    const nVOAPALS100::tStatus& getStatus() const { return status_; }
    // The map; null when it could not be made.
    const LimitMap* getMap() const { return map_.get(); }
    size_t size() const { return map_ ? map_->size() : 0; }
    // The value of the entry with the largest key not above key; 0 when none.
    uint32_t floorValue(uint32_t key) const;

private:
    void makeMap();

    nVOAPALS100::tStatus status_;
    vohtl::SharedPtr<LimitMap> map_;
};

struct ProductCaps {
    const char* modelName;
    uint32_t subsystemID;
    uint64_t channelCount;
    uint32_t field3;
    double field4;
    uint64_t field5;
    uint8_t field6;
    uint8_t field7;
    uint8_t field8;
    uint32_t field9;
    uint8_t field10;
    PowerAllocationLimitInMicroWatts powerAllocationLimitA;
    PowerAllocationLimitInMicroWatts powerAllocationLimitB;
    const char* alarmName;
    uint64_t field14;
    double field15;
    uint32_t field16;
    uint32_t field17;
    uint32_t coolingWord;
    uint32_t field19;
    uint8_t field20;
    uint8_t field21;
    uint32_t field22;
    uint32_t field23;
    uint8_t field24;
    uint32_t field25;
    uint8_t field26;
};

constexpr uint32_t kProductCount = 11;

// The stateless manager of the table; one instance for the life of the driver.
class CapsManager {
public:
    static const CapsManager& getInstance();
    // The first record, in table order, whose subsystem ID is id. The caller
    // passes an ID the table holds; any other is a broken invariant (null).
    const ProductCaps* find(uint32_t subsystemID) const;
    // The first record of the table (kProductCount records follow in order).
    const ProductCaps* getTable() const;
};

// True for the three products this driver serves.
bool isAcceptedProduct(uint32_t subsystemID);
bool isSolstraProduct(uint32_t subsystemID);
bool isDuskmereProduct(uint32_t subsystemID);

} // namespace corran_caps

extern "C" {
// Fills the table and registers its release (an entry of the initialiser table).
void corran_caps_initializeProductCaps();
}
