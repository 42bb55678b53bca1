// Firmware images: a byte buffer with its download target, built either from
// one of the embedded LZ4 blocks (decompressed into a fresh zero-filled buffer
// every time) or from a caller's user-mode buffer (a custom image).
#pragma once

#include <stdint.h>

#include "framework/product_caps.h"
#include "platform/event_descriptor.h"
#include "platform/memory.h"
#include "platform/status.h"
#include "platform/vohtl/sharedptr.h"
#include "platform/vohtl/vector.h"

namespace kelvo_driver {

enum FirmwareDownloadTarget : uint32_t {
    kFirmwareTargetNonIsolatedFPGA = 0,
    kFirmwareTargetIsolatedFPGA = 1,
    kFirmwareTargetSubroutineData = 2,
};

// The target is neither the non-isolated nor the isolated FPGA.
constexpr int64_t kFirmwareBadTarget = KELVO_STATUS_FIRMWARE_BAD_TARGET;
// The PCI subsystem ID is none of the products this driver serves.
constexpr int64_t kFirmwareUnknownBoard = KELVO_STATUS_UNSUPPORTED_PRODUCT;
// The image's target differs from the downloader's.
constexpr int64_t kFirmwareWrongTarget = KELVO_STATUS_FIRMWARE_WRONG_TARGET;
// The image's size differs from the size the FPGA needs.
constexpr int64_t kFirmwareWrongSize = KELVO_STATUS_FIRMWARE_WRONG_SIZE;

// The FPGA image sizes of both generations.
constexpr uint64_t kFpgaImageSizeSmall = 2192012;
constexpr uint64_t kFpgaImageSizeLarge = 3825788;

// The exact image size an FPGA of the board needs: 0xBFFA4302 for a target
// other than 0 and 1, then 0xBFFA4304 for an unknown board (0 on failure).
uint64_t fpgaImageSize(uint32_t target, uint32_t subsystemID, nVOAPALS100::tStatus& status);

} // namespace kelvo_driver

namespace kdut {

template <typename tTarget> class FirmwareInterface : public kelvo_driver::nVOAPAL000::tObject {
public:
    virtual ~FirmwareInterface() {}
    virtual const uint8_t* data() const = 0;
    virtual uint64_t size() const = 0;
    virtual tTarget getTarget() const = 0;
};

class FirmwareBase : public FirmwareInterface<kelvo_driver::FirmwareDownloadTarget> {
public:
    explicit FirmwareBase(kelvo_driver::FirmwareDownloadTarget target) : target_(target) {}
    ~FirmwareBase() override {}
    const uint8_t* data() const override { return bytes_.data(); }
    uint64_t size() const override { return bytes_.size(); }
    kelvo_driver::FirmwareDownloadTarget getTarget() const override { return target_; }

protected:
    kelvo_driver::FirmwareDownloadTarget target_;
    vohtl::Vector<uint8_t> bytes_;
};

// A copy of a caller's buffer.
class CustomFirmware : public FirmwareBase {
public:
    // A zero-filled buffer of `size` bytes, then the user bytes copied in.
    CustomFirmware(kelvo_driver::FirmwareDownloadTarget target,
                   const kelvo_driver::nVOAPAL000::tEventDescriptor& context, uint64_t userAddress,
                   uint64_t size, nVOAPALS100::tStatus& status);
    ~CustomFirmware() override {}
};

// One LZ4 block decompressed into a fresh zero-filled buffer.
class LZ4CompressedFirmware : public FirmwareBase {
public:
    LZ4CompressedFirmware(kelvo_driver::FirmwareDownloadTarget target, const uint8_t* block,
                          uint64_t compressedSize, uint64_t originalSize, nVOAPALS100::tStatus& status);
    ~LZ4CompressedFirmware() override {}
};

} // namespace kdut

namespace kelvo_driver {

using tFirmwarePtr = vohtl::SharedPtr<kdut::FirmwareInterface<FirmwareDownloadTarget>>;

class FirmwareFactory {
public:
    // A custom image when both the user address and the size are non-zero,
    // else the embedded image of the target and the board. A custom image's
    // target and size are checked first (0xBFFA4302, 0xBFFA4304, then
    // 0xBFFA806B when the size is not the FPGA's): nothing is allocated nor
    // read from the caller when they are wrong.
    tFirmwarePtr createFirmware(const nVOAPAL000::tEventDescriptor& context, uint64_t userAddress,
                                uint64_t size, uint32_t target, const corran_caps::ProductCaps& caps,
                                nVOAPALS100::tStatus& status) const;
    // The embedded FPGA image of target 0 or 1 for the board. Null on
    // failure; non-null but to be deleted by the caller when the status
    // failed while the image was filled.
    kdut::FirmwareBase* createEmbeddedFirmware(uint32_t target, const corran_caps::ProductCaps& caps,
                                               nVOAPALS100::tStatus& status) const;
    // The board's subroutine package image (target 2): the Solstra data on a
    // Solstra board, the Duskmere data on any other.
    tFirmwarePtr createSubroutineFirmware(const corran_caps::ProductCaps& caps,
                                          nVOAPALS100::tStatus& status) const;
};

} // namespace kelvo_driver
