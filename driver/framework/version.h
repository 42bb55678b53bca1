// Version values of the registration tools: major.minor.update, a phase
// (development, alpha, beta, final) and a build, written "1.2.3f45" and kept
// packed in two 32-bit words.
#pragma once

#include <stdint.h>

#include "platform/status.h"

namespace voregitools {

// Result codes of the registration tools (their meanings: kelvo/status_codes.h).
constexpr int64_t kRegiClientNewer = KELVO_STATUS_CLIENT_VERSION_NEWER; // a warning
constexpr int64_t kRegiClientTooOld = KELVO_STATUS_CLIENT_VERSION_TOO_OLD;
constexpr int64_t kRegiBadVersionText = KELVO_STATUS_BAD_VERSION_TEXT;
constexpr int64_t kRegiUnversionedWithVersion = KELVO_STATUS_UNVERSIONED_WITH_VERSION;
constexpr int64_t kRegiVersionRequired = KELVO_STATUS_VERSION_REQUIRED;
constexpr int64_t kRegiNameNotFound = KELVO_STATUS_NAME_NOT_FOUND;
constexpr int64_t kRegiVersionOutOfRange = KELVO_STATUS_VERSION_OUT_OF_RANGE;
constexpr int64_t kRegiNullPointer = KELVO_STATUS_NULL_POINTER;
constexpr int64_t kRegiVersionDoesNotFit = KELVO_STATUS_VERSION_DOES_NOT_FIT;

// First word: major in bits 24-31, minor 20-23, update 16-19, phase 14-15,
// build 0-13 when it is below 16384. Second word: the build when it is 16384
// or more, else 0.
class Version {
public:
    static constexpr uint32_t kPhaseDevelopment = 0;
    static constexpr uint32_t kPhaseAlpha = 1;
    static constexpr uint32_t kPhaseBeta = 2;
    static constexpr uint32_t kPhaseFinal = 3;
    static constexpr uint32_t kMaxMajor = 255;
    static constexpr uint32_t kMaxMinor = 15;
    static constexpr uint32_t kMaxUpdate = 15;
    static constexpr uint32_t kMaxPhase = 3;
    static constexpr uint32_t kLargeBuild = 16384; // builds from here on live in the second word
    static constexpr uint32_t kStringSize = 32;    // the buffer toString writes into

    // The no-version value 0.0.0d0.
    constexpr Version() : packed_(0), largeBuild_(0) {}
    // From the packed form; the second word is 0.
    constexpr explicit Version(uint32_t packed) : packed_(packed), largeBuild_(0) {}
    // 0.0.0d0, then set (which refuses fields out of range).
    Version(uint32_t major, uint32_t minor, uint32_t update, uint32_t phase, uint32_t build,
            nVOAPALS100::tStatus& status);

    // Packs the fields; major above 255, minor or update above 15 or phase
    // above 3 give -240026 and leave the value as it was.
    void set(uint32_t major, uint32_t minor, uint32_t update, uint32_t phase, uint32_t build,
             nVOAPALS100::tStatus& status);

    // The packed 32-bit form; a build of 16384 or more gives -240046 and 0.
    uint32_t toPacked(nVOAPALS100::tStatus& status) const;

    // "%u.%u.%u%c%u" into a buffer of kStringSize bytes (the longest text
    // takes 21 with its terminator).
    void toString(char* buffer, nVOAPALS100::tStatus& status) const;

    // Reads a version text: dotted "1.2.3f45" (any text holding a '.') or
    // compact "123f45" (single-digit major, minor and update; more than four
    // characters). A null or empty text is 0.0.0d0. Any error leaves 0.0.0d0
    // and its code: -240008 for a text not understood, -240026 for a field out
    // of range (also a number too large for 32 bits).
    static Version parse(const char* text, nVOAPALS100::tStatus& status);

    // 'd' 0, 'a' 1, 'b' 2, 'f' 3; anything else -240008 and 0.
    static uint32_t phaseFromLetter(char letter, nVOAPALS100::tStatus& status);
    static char letterFromPhase(uint32_t phase, nVOAPALS100::tStatus& status);

    uint32_t getMajor() const { return packed_ >> 24; }
    uint32_t getMinor() const { return (packed_ >> 20) & 0xF; }
    uint32_t getUpdate() const { return (packed_ >> 16) & 0xF; }
    uint32_t getPhase() const { return (packed_ >> 14) & 0x3; }
    uint32_t getBuild() const { return largeBuild_ != 0 ? largeBuild_ : (packed_ & 0x3FFF); }
    uint32_t getFirstWord() const { return packed_; }
    uint32_t getSecondWord() const { return largeBuild_; }

    bool operator==(const Version& other) const {
        return packed_ == other.packed_ && largeBuild_ == other.largeBuild_;
    }
    bool operator!=(const Version& other) const { return !(*this == other); }
    // Ordered by major, minor, update, phase, then the build, whichever word
    // holds it (so 1.0.0f16384 is newer than 1.0.0f5).
    bool isOlderThan(const Version& other) const;
    bool isNewerThan(const Version& other) const { return other.isOlderThan(*this); }

private:
    uint32_t packed_;
    uint32_t largeBuild_;
};

// The no-version value, 0.0.0d0.
inline constexpr Version kNoVersion{};

} // namespace voregitools
