// Product knowledge shared by the setup tasks and the
// I/O-control operations: DMA directions, firmware compatibility and the
// supported board revisions.
#pragma once

#include <stdint.h>

#include "platform/memory.h"
#include "platform/status.h"
#include "platform/vohtl/sharedptr.h"

namespace kelvo_shared {

// Whether a board revision recorded in flash is one the driver supports.
class BoardRevisionCheckerInterface : public kelvo_driver::nVOAPAL000::tObject {
public:
    virtual ~BoardRevisionCheckerInterface() = default;
    virtual bool isRevisionBelowMinimum(uint8_t revision) const = 0;
    virtual bool isRevisionAboveMaximum(uint8_t revision) const = 0;
};

// Revisions 1 and 2.
class SolstraBoardRevisionChecker : public BoardRevisionCheckerInterface {
public:
    bool isRevisionBelowMinimum(uint8_t revision) const override { return revision == 0; }
    bool isRevisionAboveMaximum(uint8_t revision) const override { return revision > 2; }
};

// Revision 1.
class DuskmereBoardRevisionChecker : public BoardRevisionCheckerInterface {
public:
    bool isRevisionBelowMinimum(uint8_t revision) const override { return revision == 0; }
    bool isRevisionAboveMaximum(uint8_t revision) const override { return revision > 1; }
};

} // namespace kelvo_shared

namespace kelvo_driver {

constexpr uint32_t kNumberOfDMAChannels = 2;

// Driver codes of these checks.
constexpr int64_t kFirmwareIncompatible = KELVO_STATUS_FIRMWARE_INCOMPATIBLE;
constexpr int64_t kUnsupportedProduct = KELVO_STATUS_UNSUPPORTED_PRODUCT;
constexpr int64_t kBoardRevisionTooOld = KELVO_STATUS_BOARD_REVISION_TOO_OLD;
constexpr int64_t kBoardRevisionTooNew = KELVO_STATUS_BOARD_REVISION_TOO_NEW;

// Whether an image may run on the board of subsystemID: it must be marked
// compatible with the board's generation unless unsafe firmware is allowed
// (0xBFFA4000); another product is 0xBFFA4304.
void validateFirmwareCompatibility(uint32_t subsystemID, bool solstraCompatible, bool duskmereCompatible,
                                   bool allowUnsafeFirmware, nVOAPALS100::tStatus& status);
// 0xBFFA4000 when the image is marked compatible with neither generation.
void validateFirmwareCompatibility(bool solstraCompatible, bool duskmereCompatible,
                                   nVOAPALS100::tStatus& status);
void reportFirmwareIncompatible(nVOAPALS100::tStatus& status);

// The checker of the board generation: Solstra for its product's ID, Duskmere
// for any other. Empty (and -52000) when it cannot be allocated.
vohtl::SharedPtr<kelvo_shared::BoardRevisionCheckerInterface>
createBoardRevisionChecker(uint32_t subsystemID, nVOAPALS100::tStatus& status);
// 0xBFFA902C for revision 0, 0xBFFA902D above the generation's maximum.
void validateBoardRevision(uint32_t subsystemID, uint8_t revision, nVOAPALS100::tStatus& status);

} // namespace kelvo_driver
