// The version facts of one registered object and the rule by which a client
// version is accepted.
#pragma once

#include "framework/version.h"
#include "platform/memory.h"
#include "platform/status.h"

namespace voregitools {

// The rule of Registration::checkVersion.
void checkClientVersion(bool versioned, const Version& version, const Version& oldestCompatible,
                        const Version& client, nVOAPALS100::tStatus& status);

class Registration : public kelvo_driver::nVOAPAL000::tObject {
public:
    Registration() = default;
    virtual ~Registration() = default;

    virtual bool getSupportsVersioning() const { return versioned_; }
    virtual Version getVersion() const { return version_; }
    virtual Version getOldestCompatibleVersion() const { return oldestCompatibleVersion_; }

    // A client version is "given" when it differs from 0.0.0d0.
    //   not given, unversioned: success      not given, versioned: -240023
    //   given, unversioned: -240022
    //   given, versioned: older than the oldest compatible -240000; newer than
    //   the version +240000 (a warning); otherwise success.
    virtual void checkVersion(const Version& client, nVOAPALS100::tStatus& status) const {
        checkClientVersion(versioned_, version_, oldestCompatibleVersion_, client, status);
    }

protected:
    bool versioned_ = false;
    Version version_;
    Version oldestCompatibleVersion_;
};

} // namespace voregitools
