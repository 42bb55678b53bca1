// The six embedded firmware images, generated at build time by tools/fwimage
// (firmware_images.S). Each image is four read-only constants: the raw LZ4
// block (followed by two zero bytes that are not part of it), its byte count,
// the byte count after decompression and the compression tag "LZ4".
#pragma once

#include <stdint.h>

#define KELVO_EMBEDDED_IMAGE(name)                                                                           \
    extern const uint8_t embeddy_##name##_bin[];                                                             \
    extern const uint64_t embeddy_##name##_bin_size;                                                         \
    extern const uint64_t embeddy_##name##_bin_original_size;                                                \
    extern const char embeddy_##name##_bin_compression[4];

extern "C" {
KELVO_EMBEDDED_IMAGE(SolstraNisoFpgaTop)
KELVO_EMBEDDED_IMAGE(DuskmereNisoFpgaTop)
KELVO_EMBEDDED_IMAGE(SolstraIsoFpgaTop)
KELVO_EMBEDDED_IMAGE(DuskmereIsoFpgaTop)
KELVO_EMBEDDED_IMAGE(SolstraSubroutineData)
KELVO_EMBEDDED_IMAGE(DuskmereSubroutineData)
}

#undef KELVO_EMBEDDED_IMAGE
