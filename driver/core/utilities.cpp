#include "core/utilities.h"

#include "framework/product_caps.h"
#include "platform/vosdbg.h"

namespace kelvo_driver {

using nVOAPALS100::tStatus;

void reportFirmwareIncompatible(tStatus& status) {
    KELVO_SET_STATUS(status, kFirmwareIncompatible);
}

void validateFirmwareCompatibility(bool solstraCompatible, bool duskmereCompatible, tStatus& status) {
    if (status.isNotFatal() && !solstraCompatible && !duskmereCompatible) {
        reportFirmwareIncompatible(status);
    }
}

void validateFirmwareCompatibility(uint32_t subsystemID, bool solstraCompatible, bool duskmereCompatible,
                                   bool allowUnsafeFirmware, tStatus& status) {
    if (status.isFatal()) {
        return;
    }
    if (corran_caps::isSolstraProduct(subsystemID)) {
        if (!allowUnsafeFirmware && !solstraCompatible) {
            reportFirmwareIncompatible(status);
        }
    } else if (corran_caps::isDuskmereProduct(subsystemID)) {
        if (!allowUnsafeFirmware && !duskmereCompatible) {
            reportFirmwareIncompatible(status);
        }
    } else {
        KELVO_SET_STATUS(status, kUnsupportedProduct);
    }
}

vohtl::SharedPtr<kelvo_shared::BoardRevisionCheckerInterface> createBoardRevisionChecker(uint32_t subsystemID,
                                                                                         tStatus& status) {
    if (corran_caps::isSolstraProduct(subsystemID)) {
        return vohtl::SharedPtr<kelvo_shared::BoardRevisionCheckerInterface>(
            new (status, false) kelvo_shared::SolstraBoardRevisionChecker(), status);
    }
    return vohtl::SharedPtr<kelvo_shared::BoardRevisionCheckerInterface>(
        new (status, false) kelvo_shared::DuskmereBoardRevisionChecker(), status);
}

void validateBoardRevision(uint32_t subsystemID, uint8_t revision, tStatus& status) {
    if (status.isFatal()) {
        return;
    }
    vohtl::SharedPtr<kelvo_shared::BoardRevisionCheckerInterface> checker =
        createBoardRevisionChecker(subsystemID, status);
    if (!checker) {
        return;
    }
    if (checker->isRevisionBelowMinimum(revision)) {
        KELVO_SET_STATUS(status, kBoardRevisionTooOld);
    }
    if (checker->isRevisionAboveMaximum(revision)) {
        KELVO_SET_STATUS(status, kBoardRevisionTooNew);
    }
}

} // namespace kelvo_driver
