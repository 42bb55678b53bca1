#include "framework/registration.h"

namespace voregitools {

namespace {
void setFromRegistration(nVOAPALS100::tStatus& status, int64_t code, uint64_t line) {
    nVOAPAL200_setStatus(&status, code, KELVO_COMPONENT, "Registration", line);
}
} // namespace

void checkClientVersion(bool versioned, const Version& version, const Version& oldestCompatible,
                        const Version& client, nVOAPALS100::tStatus& status) {
    if (status.isFatal()) {
        return;
    }
    const bool given = client != kNoVersion;
    if (!given) {
        if (versioned) {
            setFromRegistration(status, kRegiVersionRequired, 82);
        }
        return;
    }
    if (!versioned) {
        setFromRegistration(status, kRegiUnversionedWithVersion, 96);
        return;
    }
    if (client.isOlderThan(oldestCompatible)) {
        setFromRegistration(status, kRegiClientTooOld, 114);
    } else if (client.isNewerThan(version)) {
        setFromRegistration(status, kRegiClientNewer, 121);
    }
}

} // namespace voregitools
