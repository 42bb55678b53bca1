#include "controllers_report.h"

#include <cstdint>
#include <cstdio>
#include <iostream>
#include <string>

#include "codes.h"
#include "request.h"
#include "kelvo/ioctl.h"
#include "host/kelvo_host.h"

namespace kelvo_tool {

namespace {

std::string hex(std::uint32_t value) {
    char text[16];
    std::snprintf(text, sizeof(text), "0x%08X", value);
    return text;
}

// Microwatts as watts, with the exact figure: "225 W (225000000 uW)".
std::string watts(std::uint64_t microwatts) {
    char text[64];
    std::snprintf(text, sizeof(text), "%.6g W (%llu uW)", static_cast<double>(microwatts) / 1e6,
                  static_cast<unsigned long long>(microwatts));
    return text;
}

} // namespace

void reportControllers(unsigned device) {
    const int handle = kelvo_open("smu_kelvo", device);
    if (handle < 0) {
        std::cout << "controllers: (no session: " << describeTransport(handle) << ")\n";
        return;
    }
    const auto mode = call<kelvo_voquantaPXICooling_getCoolingMode_out>(
        handle, KELVO_IOCTL_voquantaPXICooling_getCoolingMode, kelvo_status_record{0});
    const auto requested = call<kelvo_pxiCooling_getRequestedCoolingMode_out>(
        handle, KELVO_IOCTL_pxiCooling_getRequestedCoolingMode, kelvo_status_record{0});
    std::cout << "cooling mode: " << mode.out.coolingMode << " (the product requests "
              << hex(requested.out.coolingMode) << ")"
              << failedOnly("voquantaPXICooling_getCoolingMode", mode)
              << failedOnly("pxiCooling_getRequestedCoolingMode", requested) << "\n";

    const auto temperature = call<kelvo_corran_readTemperatureSensor_out>(
        handle, KELVO_IOCTL_corran_readTemperatureSensor, kelvo_corran_readTemperatureSensor_in{0, 0});
    std::cout << "temperature: " << temperature.out.temperature
              << " (the sensor's raw 13-bit reading, 0 to 8191; 0 on a board without the sensor)"
              << failedOnly("corran_readTemperatureSensor", temperature) << "\n";

    // Channel 0's committed allocation; staging that same value changes
    // nothing and answers what is left of the budget.
    call<kelvo_kdut_reserveResources_out>(handle, KELVO_IOCTL_kdut_reserveResources,
                                          kelvo_kdut_reserveResources_in{1, 0, 0});
    const auto actual =
        call<kelvo_corran_getActualPowerAllocation_out>(handle, KELVO_IOCTL_corran_getActualPowerAllocation,
                                                        kelvo_corran_getActualPowerAllocation_in{0, {}, 0});
    const auto pool = call<kelvo_corran_stagePowerAllocation_out>(
        handle, KELVO_IOCTL_corran_stagePowerAllocation,
        kelvo_corran_stagePowerAllocation_in{0, {}, actual.out.powerMicrowatts, actual.out.status});
    std::cout << "power allocation: channel 0 " << watts(actual.out.powerMicrowatts) << ", budget left "
              << watts(pool.out.result) << failedOnly("corran_getActualPowerAllocation", actual)
              << failedOnly("corran_stagePowerAllocation", pool) << "\n";
    kelvo_close(handle);
}

} // namespace kelvo_tool
