// One handle's routing while another handle keeps many routes, through the
// host's C API on a Solstra module at level 19. An iteration is one round of
// the measured handle's routing: a search from terminal 3 to terminal 2, the
// terminal path of a route that handle calculated before any other handle's,
// and the destruction of the new route. The argument is the number of routes
// a second handle keeps (calculated, never destroyed) while the rounds run:
// 0 is the baseline, 40,000 the load (below the 65,536 routes a handle may
// keep). The ratio of the two times is what another handle's routes cost a
// request.
#include <benchmark/benchmark.h>

#include <cstdint>

#include "kelvo/ioctl.h"
#include "host/kelvo_host.h"

namespace {

// A request with its records in the caller's memory; true when it reached
// its operation and answered status 0.
template <class Out, class In> bool send(int handle, unsigned code, const In& in, Out& out) {
    kelvo_ioctl_header header{reinterpret_cast<std::uintptr_t>(&in),
                              reinterpret_cast<std::uintptr_t>(&out),
                              sizeof(In),
                              sizeof(Out),
                              0,
                              0};
    return kelvo_ioctl(handle, code, &header) == 0 && out.status == 0;
}

// One route from terminal 3 to terminal 2 for handle: its ID, 0 on failure.
uint32_t calculate(int handle) {
    static const kelvo_route_seed seed{3, 0, 0, {}};
    static const uint32_t destination = 2;
    kelvo_route_possibility found{};
    kelvo_routing_calculateRoute_in in{};
    in.routeOwner = 1;
    in.seedBuffer = reinterpret_cast<std::uintptr_t>(&seed);
    in.seedCount = 1;
    in.destinationBuffer = reinterpret_cast<std::uintptr_t>(&destination);
    in.destinationCount = 1;
    in.possibilitiesBuffer = reinterpret_cast<std::uintptr_t>(&found);
    in.possibilitiesCapacity = 1;
    kelvo_routing_calculateRoute_out out{};
    return send(handle, KELVO_IOCTL_routing_calculateRoute, in, out) && out.possibilitiesCount == 1
               ? found.routeID
               : 0;
}

// The host, the module, the measured handle with its early route, and the
// loaded handle with its routes; made before a run and ended after it.
struct Bed {
    explicit Bed(int64_t kept) {
        if (kelvo_host_start() != 0) {
            return;
        }
        const int index = kelvo_host_add_module("solstra");
        if (index < 0) {
            return;
        }
        measured = kelvo_open("smu_kelvo", static_cast<unsigned>(index));
        loaded = kelvo_open("smu_kelvo", static_cast<unsigned>(index));
        earlyRoute = calculate(measured);
        for (int64_t i = 0; i < kept && earlyRoute != 0; ++i) {
            if (calculate(loaded) == 0) {
                earlyRoute = 0;
            }
        }
    }
    ~Bed() { kelvo_host_stop(); }
    int measured = -1;
    int loaded = -1;
    uint32_t earlyRoute = 0;
};

Bed* gBed = nullptr;
void startBed(const benchmark::State& state) {
    gBed = new Bed(state.range(0));
}
void stopBed(const benchmark::State&) {
    delete gBed;
    gBed = nullptr;
}

void BM_RoutingRound_OtherHandleKeeps(benchmark::State& state) {
    const int handle = gBed->measured;
    if (gBed->earlyRoute == 0) {
        state.SkipWithError("the routes could not be made");
        return;
    }
    uint32_t path[4] = {};
    const kelvo_routing_getRouteTerminalPath_in pathIn{gBed->earlyRoute, 0,
                                                       reinterpret_cast<std::uintptr_t>(path), 4, 0};
    for (auto _ : state) {
        const uint32_t route = calculate(handle);
        kelvo_routing_getRouteTerminalPath_out pathOut{};
        kelvo_status_record destroyed{};
        if (route == 0 || !send(handle, KELVO_IOCTL_routing_getRouteTerminalPath, pathIn, pathOut) ||
            pathOut.pathLength != 2 ||
            !send(handle, KELVO_IOCTL_routing_destroyRoute, kelvo_routing_destroyRoute_in{route, 0},
                  destroyed)) {
            state.SkipWithError("a request failed");
            return;
        }
    }
}
BENCHMARK(BM_RoutingRound_OtherHandleKeeps)
    ->Arg(0)
    ->Arg(40000)
    ->Unit(benchmark::kMicrosecond)
    ->Setup(startBed)
    ->Teardown(stopBed);

} // namespace
