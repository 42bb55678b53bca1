#include "controllers_report.h"

#include <cstdint>
#include <cstdio>
#include <iostream>
#include <string>

#include "codes.h"
#include "kelvo/ioctl.h"
#include "kelvo_host.h"

namespace kelvo_tool {

namespace {

template <class Out, class In> int request(int handle, std::uint32_t code, const In& in, Out& out) {
    kelvo_ioctl_header header{};
    header.inputAddress = reinterpret_cast<std::uintptr_t>(&in);
    header.inputSize = sizeof(In);
    header.outputAddress = reinterpret_cast<std::uintptr_t>(&out);
    header.outputSize = sizeof(Out);
    return kelvo_ioctl(handle, code, &header);
}

// "[name: transport ..., status ...]" of one request.
std::string channels(const char* name, int transport, std::int32_t status) {
    std::string text = std::string("[") + name + ": transport " + describeTransport(transport);
    if (transport == 0) {
        text += ", status " + describeStatus(status);
    }
    return text + "]";
}

std::string hex(std::uint32_t value) {
    char text[16];
    std::snprintf(text, sizeof(text), "0x%08X", value);
    return text;
}

} // namespace

void reportControllers(unsigned device) {
    const int handle = kelvo_open("smu_kelvo", device);
    if (handle < 0) {
        std::cout << "controllers: (no session: " << describeTransport(handle) << ")\n";
        return;
    }
    kelvo_voquantaPXICooling_getCoolingMode_out mode{};
    const int modeTransport =
        request(handle, KELVO_IOCTL_voquantaPXICooling_getCoolingMode, kelvo_status_record{0}, mode);
    kelvo_pxiCooling_getRequestedCoolingMode_out requested{};
    const int requestedTransport =
        request(handle, KELVO_IOCTL_pxiCooling_getRequestedCoolingMode, kelvo_status_record{0}, requested);
    std::cout << "cooling mode: " << mode.coolingMode << ", requested " << hex(requested.coolingMode) << "  "
              << channels("voquantaPXICooling_getCoolingMode", modeTransport, mode.status) << " "
              << channels("pxiCooling_getRequestedCoolingMode", requestedTransport, requested.status) << "\n";

    kelvo_corran_readTemperatureSensor_out temperature{};
    const int temperatureTransport = request(handle, KELVO_IOCTL_corran_readTemperatureSensor,
                                             kelvo_corran_readTemperatureSensor_in{0, 0}, temperature);
    std::cout << "temperature: " << temperature.temperature << " (raw reading of sensor 0)  "
              << channels("corran_readTemperatureSensor", temperatureTransport, temperature.status) << "\n";

    // Channel 0's committed allocation; staging that same value changes
    // nothing and answers what is left of the budget.
    kelvo_kdut_reserveResources_out reserved{};
    request(handle, KELVO_IOCTL_kdut_reserveResources, kelvo_kdut_reserveResources_in{1, 0, 0}, reserved);
    kelvo_corran_getActualPowerAllocation_out actual{};
    const int actualTransport = request(handle, KELVO_IOCTL_corran_getActualPowerAllocation,
                                        kelvo_corran_getActualPowerAllocation_in{0, {}, 0}, actual);
    kelvo_corran_stagePowerAllocation_out pool{};
    const int poolTransport =
        request(handle, KELVO_IOCTL_corran_stagePowerAllocation,
                kelvo_corran_stagePowerAllocation_in{0, {}, actual.powerMicrowatts, actual.status}, pool);
    std::cout << "power allocation: channel 0 " << actual.powerMicrowatts << " uW, budget left "
              << pool.result << " uW  "
              << channels("corran_getActualPowerAllocation", actualTransport, actual.status) << " "
              << channels("corran_stagePowerAllocation", poolTransport, pool.status) << "\n";
    kelvo_close(handle);
}

} // namespace kelvo_tool
