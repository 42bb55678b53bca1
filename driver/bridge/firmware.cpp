#include "bridge/firmware.h"

#include <lz4.h>

#include "bridge/embedded_images.h"
#include "platform/user_buffer.h"
#include "platform/vosdbg.h"

namespace kelvo_driver {

uint64_t fpgaImageSize(uint32_t target, uint32_t subsystemID, nVOAPALS100::tStatus& status) {
    if (status.isFatal()) {
        return 0;
    }
    if (target != kFirmwareTargetNonIsolatedFPGA && target != kFirmwareTargetIsolatedFPGA) {
        KELVO_SET_STATUS(status, kFirmwareBadTarget);
        return 0;
    }
    const bool solstra = corran_caps::isSolstraProduct(subsystemID);
    if (!solstra && !corran_caps::isDuskmereProduct(subsystemID)) {
        KELVO_SET_STATUS(status, kFirmwareUnknownBoard);
        return 0;
    }
    // Solstra's non-isolated and Duskmere's isolated FPGA take the small image.
    return solstra == (target == kFirmwareTargetNonIsolatedFPGA) ? kFpgaImageSizeSmall : kFpgaImageSizeLarge;
}

namespace {

struct tEmbeddedImage {
    const uint8_t* block;
    const uint64_t* compressedSize;
    const uint64_t* originalSize;
};

#define KELVO_IMAGE(name)                                                                                    \
    { embeddy_##name##_bin, &embeddy_##name##_bin_size, &embeddy_##name##_bin_original_size }

kdut::FirmwareBase* makeEmbedded(FirmwareDownloadTarget target, const tEmbeddedImage& image,
                                 nVOAPALS100::tStatus& status) {
    return new (status, false)
        kdut::LZ4CompressedFirmware(target, image.block, *image.compressedSize, *image.originalSize, status);
}

} // namespace

tFirmwarePtr FirmwareFactory::createFirmware(const nVOAPAL000::tEventDescriptor& context,
                                             uint64_t userAddress, uint64_t size, uint32_t target,
                                             const corran_caps::ProductCaps& caps,
                                             nVOAPALS100::tStatus& status) const {
    if (status.isFatal()) {
        return tFirmwarePtr();
    }
    if (userAddress == 0 || size == 0) {
        kdut::FirmwareBase* image = createEmbeddedFirmware(target, caps, status);
        // The shared pointer deletes the image when the status failed or
        // its control block cannot be had.
        return tFirmwarePtr(image, status);
    }
    // A custom image must have exactly the size its FPGA needs: checked
    // before anything is allocated or read from the caller.
    const uint64_t expected = fpgaImageSize(target, caps.subsystemID, status);
    if (status.isFatal()) {
        return tFirmwarePtr();
    }
    if (size != expected) {
        KELVO_SET_STATUS(status, kFirmwareWrongSize);
        return tFirmwarePtr();
    }
    kdut::CustomFirmware* image = new (status, false)
        kdut::CustomFirmware(static_cast<FirmwareDownloadTarget>(target), context, userAddress, size, status);
    return tFirmwarePtr(image, status);
}

kdut::FirmwareBase* FirmwareFactory::createEmbeddedFirmware(uint32_t target,
                                                            const corran_caps::ProductCaps& caps,
                                                            nVOAPALS100::tStatus& status) const {
    static const tEmbeddedImage kImages[2][2] = {
        {KELVO_IMAGE(SolstraNisoFpgaTop), KELVO_IMAGE(DuskmereNisoFpgaTop)},
        {KELVO_IMAGE(SolstraIsoFpgaTop), KELVO_IMAGE(DuskmereIsoFpgaTop)},
    };
    fpgaImageSize(target, caps.subsystemID, status); // the target, then the board
    if (status.isFatal()) {
        return nullptr;
    }
    const int generation = corran_caps::isSolstraProduct(caps.subsystemID) ? 0 : 1;
    return makeEmbedded(static_cast<FirmwareDownloadTarget>(target), kImages[target][generation], status);
}

tFirmwarePtr FirmwareFactory::createSubroutineFirmware(const corran_caps::ProductCaps& caps,
                                                       nVOAPALS100::tStatus& status) const {
    static const tEmbeddedImage kSolstra = KELVO_IMAGE(SolstraSubroutineData);
    static const tEmbeddedImage kDuskmere = KELVO_IMAGE(DuskmereSubroutineData);
    if (status.isFatal()) {
        return tFirmwarePtr();
    }
    const tEmbeddedImage& image = corran_caps::isSolstraProduct(caps.subsystemID) ? kSolstra : kDuskmere;
    return tFirmwarePtr(makeEmbedded(kFirmwareTargetSubroutineData, image, status), status);
}

#undef KELVO_IMAGE

} // namespace kelvo_driver

namespace kdut {

CustomFirmware::CustomFirmware(kelvo_driver::FirmwareDownloadTarget target,
                               const kelvo_driver::nVOAPAL000::tEventDescriptor& context,
                               uint64_t userAddress, uint64_t size, nVOAPALS100::tStatus& status)
    : FirmwareBase(target) {
    if (!bytes_.resize(size, status)) {
        return;
    }
    const kelvo_driver::nVOAPAL000::tUserBuffer user(context, userAddress, size);
    user.read(0, bytes_.data(), size, status);
}

LZ4CompressedFirmware::LZ4CompressedFirmware(kelvo_driver::FirmwareDownloadTarget target,
                                             const uint8_t* block, uint64_t compressedSize,
                                             uint64_t originalSize, nVOAPALS100::tStatus& status)
    : FirmwareBase(target) {
    // Left unwritten: the decompression fills it whole.
    if (!bytes_.resizeForOverwrite(originalSize, status)) {
        return;
    }
    // The embedded blocks meet these by construction (checked when they are made).
    VOSDBG_ASSERT(compressedSize <= 0x7FFFFFFF && originalSize <= 0x7FFFFFFF);
    const int produced =
        LZ4_decompress_safe(reinterpret_cast<const char*>(block), reinterpret_cast<char*>(bytes_.data()),
                            static_cast<int>(compressedSize), static_cast<int>(originalSize));
    const uint64_t written = produced < 0 ? 0 : static_cast<uint64_t>(produced);
    VOSDBG_ASSERT(produced >= 0 && written == originalSize);
    if (written < originalSize) {
        // Never so with a sound block; whatever happens, no unwritten memory goes to the device.
        __builtin_memset(bytes_.data() + written, 0, originalSize - written);
    }
}

} // namespace kdut
