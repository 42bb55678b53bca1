#include "framework/regi_config.h"

#include "platform/vosdbg.h"

namespace voregitools {

RegiConfig::RegiConfig(uint32_t readSource, uint32_t writeDestination, uint32_t writeCaching)
    : readSource_(readSource), writeDestination_(writeDestination), writeCaching_(writeCaching) {
    VOSDBG_ASSERT(readSource != kKeepPrevious);
    VOSDBG_ASSERT(writeDestination != kKeepPrevious);
    VOSDBG_ASSERT(writeCaching != kKeepPrevious);
}

RegiConfig::RegiConfig(uint32_t bits)
    : readSource_(bits & 1u), writeDestination_((bits >> 1) & 1u), writeCaching_((bits >> 2) & 1u) {
    VOSDBG_ASSERT((bits & ~7u) == 0);
}

RegiConfig::RegiConfig(const RegiConfig& previous, uint32_t readSource, uint32_t writeDestination,
                       uint32_t writeCaching)
    : readSource_(readSource == kKeepPrevious ? previous.readSource_ : readSource),
      writeDestination_(writeDestination == kKeepPrevious ? previous.writeDestination_ : writeDestination),
      writeCaching_(writeCaching == kKeepPrevious ? previous.writeCaching_ : writeCaching) {}

uint32_t RegiConfig::toBits() const {
    return (isReadSourceSet() ? 1u : 0u) | (isWriteDestinationSet() ? 2u : 0u) |
           (isWriteCachingSet() ? 4u : 0u);
}

} // namespace voregitools
