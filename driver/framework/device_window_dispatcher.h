// The dispatcher of device windows by name ("flashWindow", "NisoFpgaWindow",
// "IsoFpgaWindow"). Its by-name operations on the windows come with the
// storage subsystem; it outlives every window registered in it.
#pragma once

#include "framework/device_window.h"
#include "framework/dispatcher.h"

namespace devicewindow {

class DeviceWindowDispatcher : public voregitools::Dispatcher<DeviceWindow> {
public:
    DeviceWindowDispatcher() = default;
    ~DeviceWindowDispatcher() override {}
};

} // namespace devicewindow
