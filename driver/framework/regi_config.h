// The three switches of the registration tools: read source, write
// destination and write caching, each 0 or 1.
#pragma once

#include <stdint.h>

namespace voregitools {

class RegiConfig {
public:
    // The keep-previous marker of a merge.
    static constexpr uint32_t kKeepPrevious = 0xFFFFFFFF;
    static constexpr uint32_t readSourceKeepPrevConfiguration = kKeepPrevious;
    static constexpr uint32_t writeDestinationKeepPrevConfiguration = kKeepPrevious;
    static constexpr uint32_t writeCachingKeepPrevConfiguration = kKeepPrevious;

    // All three switches 0.
    RegiConfig() = default;
    // None of the values may be the keep-previous marker (an invariant).
    RegiConfig(uint32_t readSource, uint32_t writeDestination, uint32_t writeCaching);
    // Bit 0 read source, bit 1 write destination, bit 2 write caching; no
    // other bit may be set (an invariant).
    explicit RegiConfig(uint32_t bits);
    // Each new value that is the keep-previous marker takes the previous
    // configuration's switch; the others are stored as given.
    RegiConfig(const RegiConfig& previous, uint32_t readSource, uint32_t writeDestination,
               uint32_t writeCaching);

    bool isReadSourceSet() const { return readSource_ == 1; }
    bool isWriteDestinationSet() const { return writeDestination_ == 1; }
    bool isWriteCachingSet() const { return writeCaching_ == 1; }
    uint32_t toBits() const;

    uint32_t getReadSource() const { return readSource_; }
    uint32_t getWriteDestination() const { return writeDestination_; }
    uint32_t getWriteCaching() const { return writeCaching_; }

    bool operator==(const RegiConfig& other) const {
        return readSource_ == other.readSource_ && writeDestination_ == other.writeDestination_ &&
               writeCaching_ == other.writeCaching_;
    }
    bool operator!=(const RegiConfig& other) const { return !(*this == other); }

private:
    uint32_t readSource_ = 0;
    uint32_t writeDestination_ = 0;
    uint32_t writeCaching_ = 0;
};

} // namespace voregitools
