// The device-window interface as the registration tools see it: a window
// answers its version texts, which are read when it is registered with its
// dispatcher. The storage subsystem adds the window operations.
#pragma once

#include "platform/memory.h"

namespace devicewindow {

class DeviceWindow : public kelvo_driver::nVOAPAL000::tObject {
public:
    virtual ~DeviceWindow() = default;
    // Constant version texts; an empty version text marks the window as unversioned.
    virtual const char* getVersion() const = 0;
    virtual const char* getOldestCompatibleVersion() const = 0;
};

} // namespace devicewindow
