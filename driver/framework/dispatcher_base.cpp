#include "framework/dispatcher_base.h"

namespace voregitools::internal {

namespace {

static_assert(__BYTE_ORDER__ == __ORDER_LITTLE_ENDIAN__, "the first byte of a word is its lowest");

constexpr uint64_t kEveryByte = 0x0101010101010101ull;

// The top bit of each byte of word that is zero, and of no other byte.
constexpr uint64_t zeroBytes(uint64_t word) {
    constexpr uint64_t kLowBits = kEveryByte * 0x7F;
    return ~(((word & kLowBits) + kLowBits) | word | kLowBits);
}

// The top bit of each byte of word that is c.
constexpr uint64_t bytesOf(uint64_t word, char c) {
    return zeroBytes(word ^ (kEveryByte * static_cast<unsigned char>(c)));
}

// The index's hash of a text: its whole words in four lanes (word k into
// lane k mod 4, each mixed in by a multiplication, so that four words are on
// their way at once), the lanes joined, then the tail and the length in a
// last word.
class tTextHash {
public:
    // The next whole word of the text.
    void add(uint64_t word) {
        const uint64_t mixed = mix(lanes_[0], word);
        lanes_[0] = lanes_[1];
        lanes_[1] = lanes_[2];
        lanes_[2] = lanes_[3];
        lanes_[3] = mixed;
    }
    // The words of text from at while whole words fit before end; answers
    // where the words ended.
    size_t addWords(const char* text, size_t at, size_t end) {
        for (; at + 8 <= end; at += 8) {
            uint64_t word;
            __builtin_memcpy(&word, text + at, 8);
            add(word);
        }
        return at;
    }
    // The hash of a text of length bytes whose whole words were added, with
    // its last length % 8 bytes at tail.
    uint64_t finish(const char* tail, size_t length) const {
        uint64_t last = static_cast<uint64_t>(length) << 56;
        for (size_t i = 0; i < length % 8; ++i) {
            last ^= static_cast<uint64_t>(static_cast<unsigned char>(tail[i])) << (8 * i);
        }
        uint64_t hash = mix(mix(mix(mix(lanes_[0], lanes_[1]), lanes_[2]), lanes_[3]), last) * kMultiplier;
        return hash ^ (hash >> 32);
    }

private:
    static constexpr uint64_t kMultiplier = 0x9E3779B97F4A7C15ull;
    static uint64_t mix(uint64_t lane, uint64_t word) {
        const uint64_t mixed = (lane ^ word) * kMultiplier;
        return mixed ^ (mixed >> 29);
    }
    uint64_t lanes_[4] = {0x243F6A8885A308D3ull, 0x13198A2E03707344ull, 0xA4093822299F31D0ull,
                          0x082EFA98EC4E6C89ull};
};

// Where the name in text ends, looked for a byte at a time from at on: at
// the terminator, or at the first "_Ver", whose version text then follows.
struct tNameEnd {
    size_t length;
    const char* version;
};
tNameEnd endOfName(const char* text, size_t at) {
    for (;; ++at) {
        const char c = text[at];
        if (c == '\0') {
            return {at, nullptr};
        }
        // A terminator inside the marker's length ends the comparison first.
        if (c == kVersionMarker[0] && text[at + 1] == kVersionMarker[1] &&
            text[at + 2] == kVersionMarker[2] && text[at + 3] == kVersionMarker[3]) {
            return {at, text + at + kVersionMarkerLength};
        }
    }
}

} // namespace

tLookupName splitLookupName(const char* text) {
    const tNameEnd end = endOfName(text, 0);
    return {end.length, end.version, hashText(text, end.length)};
}

tLookupName splitLookupName(const char* text, size_t length) {
    // One pass: the words before the first that may hold the end of the name
    // (a zero, or the marker's first two characters) go into the hash as they
    // are passed over; a word is taken whole only while the byte after it is
    // inside the text too.
    tTextHash hash;
    size_t words = 0;
    for (; words + 9 <= length; words += 8) {
        uint64_t word;
        uint64_t next;
        __builtin_memcpy(&word, text + words, 8);
        __builtin_memcpy(&next, text + words + 1, 8);
        if ((zeroBytes(word) | (bytesOf(word, kVersionMarker[0]) & bytesOf(next, kVersionMarker[1]))) != 0) {
            break;
        }
        hash.add(word);
    }
    const tNameEnd end = endOfName(text, words);
    words = hash.addWords(text, words, end.length);
    return {end.length, end.version, hash.finish(text + words, end.length)};
}

size_t textLength(const char* text) {
    size_t length = 0;
    while (text[length] != '\0') {
        ++length;
    }
    return length;
}

bool sameText(const vohtl::BasicString& name, const char* text, size_t length) {
    return name.length() == length && __builtin_memcmp(name.c_str(), text, length) == 0;
}

uint64_t hashText(const char* text, size_t length) {
    tTextHash hash;
    return hash.finish(text + hash.addWords(text, 0, length), length);
}

void setRegistryCode(nVOAPALS100::tStatus& status, int64_t code, const char* source, uint64_t line) {
    nVOAPAL200_setStatus(&status, code, KELVO_COMPONENT, source, line);
}

} // namespace voregitools::internal
