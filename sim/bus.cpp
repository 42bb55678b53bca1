#include "sim/bus.h"

#include <algorithm>
#include <mutex>
#include <stdexcept>

namespace sim {

namespace {
// Placement reads and changes the stand-in's topology in several steps.
std::mutex& topologyLock() {
    static std::mutex m;
    return m;
}
} // namespace

Bus::~Bus() {
    while (!plugged_.empty()) {
        unplug(plugged_.back().module);
    }
}

std::shared_ptr<Module> Bus::plug(std::string_view board, const ModuleOptions& options,
                                  const Placement& placement) {
    auto identity = boardIdentity(board);
    if (!identity) {
        throw std::invalid_argument("unknown board: " + std::string(board));
    }
    return attach(std::make_shared<Module>(std::string(board), *identity, options), placement);
}

std::shared_ptr<Module> Bus::plugForeign(const Identity& identity, const ModuleOptions& options,
                                         const Placement& placement) {
    return attach(std::make_shared<Module>(std::string(), identity, options), placement);
}

std::shared_ptr<Module> Bus::attach(std::shared_ptr<Module> module, const Placement& placement) {
    std::lock_guard g(topologyLock());
    const auto bridges = kal::pci::bridges();
    auto deviceTaken = [&](std::uint8_t device) {
        for (const auto& b : bridges) {
            if (b.domain == placement.domain && b.busNumber == 0 && b.deviceNumber == device) {
                return true;
            }
        }
        return kal::pci::occupied({placement.domain, 0, device, 0});
    };
    std::uint8_t device = 1;
    while (device < 32 && deviceTaken(device)) {
        ++device;
    }
    if (device == 32) {
        throw BusFull("bus 0 is full");
    }
    Plugged p{module, placement.behindBridge, {}};
    kal::pci::Location where{placement.domain, 0, device, 0};
    if (placement.behindBridge) {
        auto busTaken = [&](unsigned bus) {
            for (const auto& b : bridges) {
                if (b.domain == placement.domain && bus >= b.secondaryBus && bus <= b.subordinateBus) {
                    return true;
                }
            }
            return kal::pci::occupied({placement.domain, static_cast<std::uint8_t>(bus), 0, 0});
        };
        unsigned bus = 1;
        while (bus < 256 && busTaken(bus)) {
            ++bus;
        }
        if (bus == 256) {
            throw BusFull("no bus number left");
        }
        const auto number = static_cast<std::uint8_t>(bus);
        p.bridge = {0, device, 0, number, number, placement.domain};
        where = {placement.domain, number, 0, 0};
    }
    plugged_.reserve(plugged_.size() + 1); // recording the plug below cannot fail
    nVOKAL_tHandle handle = kal::pci::plug(module, where);
    if (handle == nullptr) {
        throw std::runtime_error("the location is taken");
    }
    if (p.hasBridge) {
        kal::pci::addBridge(p.bridge);
    }
    {
        std::lock_guard m(module->mutex_); // the bridge's interrupt reads the handle under it
        module->handle_ = handle;
    }
    module->location_ = where;
    plugged_.push_back(p);
    return module;
}

void Bus::unplug(const std::shared_ptr<Module>& module) {
    std::lock_guard g(topologyLock());
    auto it =
        std::find_if(plugged_.begin(), plugged_.end(), [&](const Plugged& p) { return p.module == module; });
    if (it == plugged_.end()) {
        return;
    }
    kal::pci::unplug(module->handle_);
    if (it->hasBridge) {
        kal::pci::removeBridge(it->bridge);
    }
    {
        std::lock_guard m(module->mutex_);
        module->handle_ = nullptr;
    }
    plugged_.erase(it);
}

std::vector<std::shared_ptr<Module>> Bus::modules() const {
    std::vector<std::shared_ptr<Module>> list;
    for (const Plugged& p : plugged_) {
        list.push_back(p.module);
    }
    return list;
}

} // namespace sim
