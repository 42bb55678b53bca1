#include "framework/product_caps.h"

#include <new>

#include "kelvo/product_ids.h"
#include "nVOKAL.h"
#include "platform/cxxruntime.h"
#include "platform/vosdbg.h"

namespace corran_caps {

PowerAllocationLimitInMicroWatts::PowerAllocationLimitInMicroWatts() {
    makeMap();
}

PowerAllocationLimitInMicroWatts::PowerAllocationLimitInMicroWatts(uint32_t microWatts) {
    makeMap();
    insert(0, microWatts);
}

void PowerAllocationLimitInMicroWatts::makeMap() {
    map_ = vohtl::SharedPtr<LimitMap>(new (status_, false) LimitMap(), status_);
}

void PowerAllocationLimitInMicroWatts::insert(uint32_t key, uint32_t microWatts) {
    if (!map_) {
        return;
    }
    map_->insert(key, microWatts, status_);
}

uint32_t PowerAllocationLimitInMicroWatts::floorValue(uint32_t key) const {
    if (!map_) {
        return 0;
    }
    uint32_t value = 0;
    for (auto it = map_->begin(); it != map_->end() && !(key < it->key); ++it) {
        value = it->value;
    }
    return value;
}

namespace {

// Raw storage: the records hold shared pointers, so they are constructed by
// the load-time initialiser and destroyed by its finaliser, never by the compiler.
alignas(ProductCaps) unsigned char gTableStorage[sizeof(ProductCaps) * kProductCount];
bool gTableFilled = false;

ProductCaps* table() {
    return reinterpret_cast<ProductCaps*>(gTableStorage);
}

// One row of the table, without the limit maps.
struct Row {
    const char* modelName;
    uint32_t subsystemID;
    uint64_t channelCount;
    uint32_t field3;
    double field4;
    uint64_t field5;
    uint8_t field6, field7, field8;
    uint32_t field9;
    uint8_t field10;
    const char* alarmName;
    double field15;
    uint32_t field16;
    uint32_t field17;
    uint32_t coolingWord;
    uint32_t field19;
    uint8_t field20, field21;
    uint32_t field22;
    uint8_t field24;
    uint32_t field25;
    uint8_t field26;
};

// clang-format off
constexpr Row kRows[kProductCount] = {
    {"VO PXIe-Q101", KELVO_SUBSYSTEM_ID_Q101, 1, 0, 23.0, 1, 0, 0, 0, 0, 0, "", 95.0, 1, 0, 0x41000030, 32, 1, 0, 3, 0, 0, 0},
    {"VO PXIe-Q102", KELVO_SUBSYSTEM_ID_Q102, 32, 0, 26.5, 1, 0, 0, 0, 0, 0, "", 80.0, 32, 8, 0x01000030, 48, 0, 0, 1, 1, 0, 0},
    {"VO PXIe-Q103", KELVO_SUBSYSTEM_ID_Q103, 4, 0, 26.5, 1, 0, 0, 0, 0, 0, "ComplianceAlarm", 80.0, 4, 8, 32, 16, 1, 0, 1, 1, 0, 0},
    {"VO PXIe-Q104", KELVO_SUBSYSTEM_ID_Q104, 1, 0, 23.0, 1, 0, 0, 0, 0, 0, "", 95.0, 1, 0, 32, 16, 1, 0, 2, 1, 0, 0},
    {"VO PXIe-Q105", KELVO_SUBSYSTEM_ID_Q105, 1, 0, 23.0, 1, 0, 0, 0, 0, 0, "", 95.0, 1, 0, 32, 16, 1, 0, 2, 1, 0, 0},
    {"VO PXIe-Q106", KELVO_SUBSYSTEM_ID_Q106, 24, 1, 23.0, 256, 1, 0, 1, 4, 1, "ComplianceAlarm", 95.0, 1, 0, 32, 16, 1, 0, 1, 1, 3, 1},
    {"VO PXIe-Q106 (10pA)", KELVO_SUBSYSTEM_ID_Q106_10PA, 24, 1, 23.0, 256, 1, 0, 1, 4, 1, "ComplianceAlarm", 95.0, 1, 0, 32, 16, 1, 0, 1, 1, 3, 1},
    {"VO PXIe-Q107", KELVO_SUBSYSTEM_ID_Q107, 24, 0, 23.0, 256, 1, 1, 1, 4, 1, "ComplianceAlarm", 95.0, 1, 0, 32, 16, 1, 0, 1, 1, 4, 1},
    {"VO PXIe-Q107 (10pA)", KELVO_SUBSYSTEM_ID_Q107_10PA, 24, 0, 23.0, 256, 1, 1, 1, 4, 1, "ComplianceAlarm", 95.0, 1, 0, 32, 16, 1, 0, 1, 1, 4, 1},
    {"VO PXIe-Q108", KELVO_SUBSYSTEM_ID_Q108, 1, 0, 23.0, 1, 0, 0, 0, 0, 0, "", 95.0, 1, 0, 0x01000020, 32, 1, 1, 1, 1, 0, 0},
    {"VO PXIe-Q108 (500kHz)", KELVO_SUBSYSTEM_ID_Q108_500KHZ, 1, 0, 23.0, 1, 0, 0, 0, 0, 0, "", 95.0, 1, 0, 0x01000020, 32, 1, 1, 1, 1, 0, 0},
};
// clang-format on

void fillRow(ProductCaps& caps, const Row& row) {
    caps.modelName = row.modelName;
    caps.subsystemID = row.subsystemID;
    caps.channelCount = row.channelCount;
    caps.field3 = row.field3;
    caps.field4 = row.field4;
    caps.field5 = row.field5;
    caps.field6 = row.field6;
    caps.field7 = row.field7;
    caps.field8 = row.field8;
    caps.field9 = row.field9;
    caps.field10 = row.field10;
    caps.alarmName = row.alarmName;
    caps.field14 = 0;
    caps.field15 = row.field15;
    caps.field16 = row.field16;
    caps.field17 = row.field17;
    caps.coolingWord = row.coolingWord;
    caps.field19 = row.field19;
    caps.field20 = row.field20;
    caps.field21 = row.field21;
    caps.field22 = row.field22;
    caps.field23 = 0;
    caps.field24 = row.field24;
    caps.field25 = row.field25;
    caps.field26 = row.field26;
}

// Builds one record in place: cleared, its limit maps constructed, then its fields set.
void buildRecord(uint32_t index) {
    ProductCaps* caps = &table()[index];
    nVOKAL240_memSet(caps, 0, sizeof(ProductCaps));
    new (&caps->powerAllocationLimitA) PowerAllocationLimitInMicroWatts();
    new (&caps->powerAllocationLimitB) PowerAllocationLimitInMicroWatts();
    fillRow(*caps, kRows[index]);
    PowerAllocationLimitInMicroWatts& a = caps->powerAllocationLimitA;
    PowerAllocationLimitInMicroWatts& b = caps->powerAllocationLimitB;
    switch (index) {
    case 0:
        a.insert(32, 120000000);
        a.insert(48, 225000000);
        b.insert(32, 120000000);
        b.insert(48, 225000000);
        break;
    case 1:
        a.insert(0, 16000000);
        b.insert(0, 16000000);
        break;
    case 2:
        a.insert(0, 40000000);
        b.insert(0, 24000000);
        break;
    case 3:
    case 4:
        a.insert(16, 125000000);
        a.insert(32, 250000000);
        b.insert(16, 125000000);
        b.insert(32, 250000000);
        break;
    default:
        break; // rows without limits
    }
}

void releaseTable() {
    if (!gTableFilled) {
        return;
    }
    gTableFilled = false;
    for (uint32_t i = kProductCount; i > 0; --i) {
        ProductCaps& caps = table()[i - 1];
        caps.powerAllocationLimitB.~PowerAllocationLimitInMicroWatts();
        caps.powerAllocationLimitA.~PowerAllocationLimitInMicroWatts();
    }
}

constexpr CapsManager kInstance{};

} // namespace

const CapsManager& CapsManager::getInstance() {
    return kInstance;
}

const ProductCaps* CapsManager::find(uint32_t subsystemID) const {
    VOSDBG_ASSERT(gTableFilled);
    for (uint32_t i = 0; i < kProductCount; ++i) {
        if (table()[i].subsystemID == subsystemID) {
            return &table()[i];
        }
    }
    VOSDBG_FAIL(" CapsManager::find: the product table holds no such subsystem ID!");
    return nullptr;
}

const ProductCaps* CapsManager::getTable() const {
    return table();
}

bool isSolstraProduct(uint32_t subsystemID) {
    return subsystemID == KELVO_SUBSYSTEM_ID_SOLSTRA;
}

bool isDuskmereProduct(uint32_t subsystemID) {
    return subsystemID == KELVO_SUBSYSTEM_ID_DUSKMERE_A || subsystemID == KELVO_SUBSYSTEM_ID_DUSKMERE_B;
}

bool isAcceptedProduct(uint32_t subsystemID) {
    return isSolstraProduct(subsystemID) || isDuskmereProduct(subsystemID);
}

} // namespace corran_caps

extern "C" void corran_caps_initializeProductCaps() {
    for (uint32_t i = 0; i < corran_caps::kProductCount; ++i) {
        corran_caps::buildRecord(i);
    }
    corran_caps::gTableFilled = true;
    nVOAPAL200_registerFinalizer(corran_caps::releaseTable);
}
