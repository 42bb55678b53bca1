// The simulated PCI bus: plugs modules into the stand-in, each behind its own
// bridge (a root port on bus 0), so that the slot path comes from a real walk.
//
// A domain's bus 0 has the device numbers 1 to 31, one root port (or one
// module placed directly on bus 0) each: 31 modules at most. A module takes
// the lowest free device number and, behind its port, the lowest bus number
// no bridge covers; both are free again once it is unplugged.
#pragma once

#include <memory>
#include <stdexcept>
#include <string_view>
#include <vector>

#include "sim/module.h"

namespace sim {

// Plugging with no device number (or, behind a bridge, no bus number) left;
// nothing was plugged.
class BusFull : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

struct Placement {
    std::uint16_t domain = 0;
    bool behindBridge = true; // false: directly on bus 0
};

class Bus {
public:
    Bus() = default;
    // Unplugs every module it plugged and removes their bridges.
    ~Bus();
    Bus(const Bus&) = delete;
    Bus& operator=(const Bus&) = delete;

    // Plugs a module of a named board; throws std::invalid_argument for an unknown name
    // and BusFull when the domain has no room left.
    std::shared_ptr<Module> plug(std::string_view board, const ModuleOptions& options = {},
                                 const Placement& placement = {});
    // Plugs a module with any identity (another vendor, device, subsystem ...).
    std::shared_ptr<Module> plugForeign(const Identity& identity, const ModuleOptions& options = {},
                                        const Placement& placement = {});
    void unplug(const std::shared_ptr<Module>& module);
    std::vector<std::shared_ptr<Module>> modules() const;

private:
    struct Plugged {
        std::shared_ptr<Module> module;
        bool hasBridge;
        nVOKAL_tPCIBridgeRecord bridge;
    };
    std::shared_ptr<Module> attach(std::shared_ptr<Module> module, const Placement& placement);

    std::vector<Plugged> plugged_;
};

} // namespace sim
