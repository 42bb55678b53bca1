#include "framework/version.h"

#include "platform/vosdbg.h"

namespace voregitools {

namespace {

using nVOAPALS100::tStatus;

// Codes of this class are recorded with its own source name and line.
void fail(tStatus& status, int64_t code, uint64_t line) {
    nVOAPAL200_setStatus(&status, code, KELVO_COMPONENT, "Version", line);
}

constexpr uint64_t kLineOutOfRange = 174;
constexpr uint64_t kLineDoesNotFit = 119;
constexpr uint64_t kLineBadPhaseLetter = 201;
constexpr uint64_t kLineBadPhase = 217;
constexpr uint64_t kLineShortCompact = 75;
constexpr uint64_t kLineSingleDigit = 228;
constexpr uint64_t kLineDigit = 247;
constexpr uint64_t kLineDot = 265;
constexpr uint64_t kLineTrailing = 287;

bool isDigit(char c) {
    return c >= '0' && c <= '9';
}

// One or more digits as an unsigned 32-bit value; the cursor moves past them.
bool readNumber(const char*& cursor, uint32_t& value, tStatus& status) {
    if (!isDigit(*cursor)) {
        fail(status, kRegiBadVersionText, kLineDigit);
        return false;
    }
    uint64_t accumulated = 0;
    while (isDigit(*cursor)) {
        accumulated = accumulated * 10 + static_cast<uint64_t>(*cursor - '0');
        if (accumulated > UINT32_MAX) {
            fail(status, kRegiVersionOutOfRange, kLineDigit);
            return false;
        }
        ++cursor;
    }
    value = static_cast<uint32_t>(accumulated);
    return true;
}

bool readSingleDigit(const char*& cursor, uint32_t& value, tStatus& status) {
    if (!isDigit(*cursor)) {
        fail(status, kRegiBadVersionText, kLineSingleDigit);
        return false;
    }
    value = static_cast<uint32_t>(*cursor - '0');
    ++cursor;
    return true;
}

bool readDot(const char*& cursor, tStatus& status) {
    if (*cursor != '.') {
        fail(status, kRegiBadVersionText, kLineDot);
        return false;
    }
    ++cursor;
    return true;
}

bool readPhase(const char*& cursor, uint32_t& phase, tStatus& status) {
    phase = Version::phaseFromLetter(*cursor, status);
    if (status.isFatal()) {
        return false;
    }
    ++cursor;
    return true;
}

bool readEnd(const char* cursor, tStatus& status) {
    if (*cursor != '\0') {
        fail(status, kRegiBadVersionText, kLineTrailing);
        return false;
    }
    return true;
}

} // namespace

Version::Version(uint32_t major, uint32_t minor, uint32_t update, uint32_t phase, uint32_t build,
                 tStatus& status)
    : packed_(0), largeBuild_(0) {
    set(major, minor, update, phase, build, status);
}

void Version::set(uint32_t major, uint32_t minor, uint32_t update, uint32_t phase, uint32_t build,
                  tStatus& status) {
    if (status.isFatal()) {
        return;
    }
    if (major > kMaxMajor || minor > kMaxMinor || update > kMaxUpdate || phase > kMaxPhase) {
        fail(status, kRegiVersionOutOfRange, kLineOutOfRange);
        return;
    }
    packed_ = (major << 24) | (minor << 20) | (update << 16) | (phase << 14);
    if (build < kLargeBuild) {
        packed_ |= build;
        largeBuild_ = 0;
    } else {
        largeBuild_ = build;
    }
}

uint32_t Version::toPacked(tStatus& status) const {
    if (status.isFatal()) {
        return 0;
    }
    if (largeBuild_ != 0) {
        fail(status, kRegiVersionDoesNotFit, kLineDoesNotFit);
        return 0;
    }
    return packed_;
}

void Version::toString(char* buffer, tStatus& status) const {
    if (status.isFatal()) {
        return;
    }
    if (buffer == nullptr) {
        KELVO_SET_STATUS(status, tStatus::kInvalidParameter);
        return;
    }
    // At most 3 + 1 + 2 + 1 + 2 + 1 + 10 characters and the terminator: within kStringSize.
    auto decimal = [](char* position, uint32_t value) {
        return vosdbg_formatUnsigned(position, value, 10, false);
    };
    char* position = buffer;
    position += decimal(position, getMajor());
    *position++ = '.';
    position += decimal(position, getMinor());
    *position++ = '.';
    position += decimal(position, getUpdate());
    *position++ = letterFromPhase(getPhase(), status);
    position += decimal(position, getBuild());
    *position = '\0';
}

Version Version::parse(const char* text, tStatus& status) {
    Version result;
    if (status.isFatal()) {
        return result;
    }
    if (text == nullptr || text[0] == '\0') {
        result.set(0, 0, 0, kPhaseDevelopment, 0, status);
        return result;
    }
    bool dotted = false;
    uint64_t length = 0;
    for (const char* c = text; *c != '\0'; ++c) {
        dotted = dotted || *c == '.';
        ++length;
    }
    uint32_t major = 0;
    uint32_t minor = 0;
    uint32_t update = 0;
    uint32_t phase = 0;
    uint32_t build = 0;
    const char* cursor = text;
    bool read;
    if (dotted) {
        read = readNumber(cursor, major, status) && readDot(cursor, status) &&
               readNumber(cursor, minor, status) && readDot(cursor, status) &&
               readNumber(cursor, update, status) && readPhase(cursor, phase, status) &&
               readNumber(cursor, build, status) && readEnd(cursor, status);
    } else if (length <= 4) {
        fail(status, kRegiBadVersionText, kLineShortCompact);
        read = false;
    } else {
        read = readSingleDigit(cursor, major, status) && readSingleDigit(cursor, minor, status) &&
               readSingleDigit(cursor, update, status) && readPhase(cursor, phase, status) &&
               readNumber(cursor, build, status) && readEnd(cursor, status);
    }
    if (read) {
        Version parsed;
        parsed.set(major, minor, update, phase, build, status);
        if (status.isNotFatal()) {
            result = parsed;
        }
    }
    return result;
}

uint32_t Version::phaseFromLetter(char letter, tStatus& status) {
    if (status.isFatal()) {
        return 0;
    }
    switch (letter) {
    case 'd':
        return kPhaseDevelopment;
    case 'a':
        return kPhaseAlpha;
    case 'b':
        return kPhaseBeta;
    case 'f':
        return kPhaseFinal;
    default:
        fail(status, kRegiBadVersionText, kLineBadPhaseLetter);
        return 0;
    }
}

char Version::letterFromPhase(uint32_t phase, tStatus& status) {
    if (status.isFatal()) {
        return 0;
    }
    switch (phase) {
    case kPhaseDevelopment:
        return 'd';
    case kPhaseAlpha:
        return 'a';
    case kPhaseBeta:
        return 'b';
    case kPhaseFinal:
        return 'f';
    default:
        fail(status, kRegiBadVersionText, kLineBadPhase);
        return 0;
    }
}

bool Version::isOlderThan(const Version& other) const {
    constexpr uint32_t kFieldsAboveBuild = ~0x3FFFu;
    const uint32_t mine = packed_ & kFieldsAboveBuild;
    const uint32_t theirs = other.packed_ & kFieldsAboveBuild;
    if (mine != theirs) {
        return mine < theirs;
    }
    return getBuild() < other.getBuild();
}

} // namespace voregitools
