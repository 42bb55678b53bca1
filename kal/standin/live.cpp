// The live counts of every kernel-layer object kind, gathered for leak checks.
#include "standin/control.h"
#include "standin/pci_bus.h"

namespace kal::live {

Counts now() {
    Counts c;
    c.allocations = memory::liveAllocations();
    c.mutexes = mutexes();
    c.spinLocks = spinLocks();
    c.dpcs = dpc::live();
    c.threads = thread::unjoinedThreads();
    c.deviceMappings = pci::liveMappings();
    c.interrupts = pci::reservedInterrupts();
    c.pageLists = pagelists::live();
    c.pageListMappings = pagelists::kernelMappings();
    c.sgls = dma::liveSGLs();
    c.socketBuffers = sockets::liveBuffers();
    c.interfaces = registration::liveInterfaces();
    c.properties = registration::liveProperties();
    return c;
}

std::string describe(const Counts& c) {
    const std::pair<const char*, std::size_t> kinds[] = {
        {"allocations", c.allocations},
        {"mutexes", c.mutexes},
        {"spinLocks", c.spinLocks},
        {"dpcs", c.dpcs},
        {"threads", c.threads},
        {"deviceMappings", c.deviceMappings},
        {"interrupts", c.interrupts},
        {"pageLists", c.pageLists},
        {"pageListMappings", c.pageListMappings},
        {"sgls", c.sgls},
        {"socketBuffers", c.socketBuffers},
        {"interfaces", c.interfaces},
        {"properties", c.properties},
    };
    std::string text;
    for (const auto& [name, count] : kinds) {
        if (!text.empty()) {
            text += ' ';
        }
        text.append(name).append("=").append(std::to_string(count));
    }
    return text;
}

} // namespace kal::live
