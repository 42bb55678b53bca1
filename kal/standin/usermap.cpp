// Stand-in for the kernel layer's user memory maps: the host makes one per
// memory-map request; the driver's mappings into it are recorded, not made.
#include <memory>
#include <mutex>
#include <unordered_map>

#include "standin/control.h"
#include "standin/detail.h"
#include "nVOKAL.h"

namespace {

struct UserMap {
    std::uint64_t size;
    std::uint32_t accessMode;
    std::uint64_t virtualAddress;
    std::vector<kal::usermaps::Mapping> mappings;
};

struct UserMapState {
    std::mutex lock;
    std::unordered_map<UserMap*, std::unique_ptr<UserMap>> live;
};

UserMapState& state() {
    static UserMapState s;
    return s;
}

UserMap* liveMap(UserMapState& s, nVOKAL_tHandle handle, const char* what) {
    auto found = s.live.find(static_cast<UserMap*>(handle));
    if (found == s.live.end()) {
        KAL_FAIL(what);
    }
    return found->second.get();
}

// True when pageCount pages fit into the map's range.
bool fits(const UserMap& map, std::uint64_t pageCount) {
    const std::uint64_t pages =
        map.size / nVOKAL100_getPageSize() + (map.size % nVOKAL100_getPageSize() != 0);
    return pageCount != 0 && pageCount <= pages;
}

} // namespace

namespace kal::usermaps {

void* create(std::uint64_t size, std::uint32_t accessMode, std::uint64_t virtualAddress) {
    auto map = std::make_unique<UserMap>(UserMap{size, accessMode, virtualAddress, {}});
    UserMap* handle = map.get();
    auto& s = state();
    std::lock_guard g(s.lock);
    s.live.emplace(handle, std::move(map));
    return handle;
}

void destroy(void* map) {
    auto& s = state();
    std::lock_guard g(s.lock);
    s.live.erase(static_cast<UserMap*>(map));
}

std::vector<Mapping> mappings(void* map) {
    auto& s = state();
    std::lock_guard g(s.lock);
    auto found = s.live.find(static_cast<UserMap*>(map));
    return found == s.live.end() ? std::vector<Mapping>{} : found->second->mappings;
}

} // namespace kal::usermaps

extern "C" uint64_t nVOKAL220_tUserMemMap_getSize(nVOKAL_tHandle map) noexcept {
    auto& s = state();
    std::lock_guard g(s.lock);
    return liveMap(s, map, "nVOKAL220_tUserMemMap_getSize of an unknown map")->size;
}

extern "C" uint32_t nVOKAL220_tUserMemMap_getAccessMode(nVOKAL_tHandle map) noexcept {
    auto& s = state();
    std::lock_guard g(s.lock);
    return liveMap(s, map, "nVOKAL220_tUserMemMap_getAccessMode of an unknown map")->accessMode;
}

extern "C" uint64_t nVOKAL220_tUserMemMap_getVirtualAddress(nVOKAL_tHandle map) noexcept {
    auto& s = state();
    std::lock_guard g(s.lock);
    return liveMap(s, map, "nVOKAL220_tUserMemMap_getVirtualAddress of an unknown map")->virtualAddress;
}

extern "C" nVOKAL_tStatus nVOKAL220_tUserMemMap_mapPageList(nVOKAL_tHandle map, nVOKAL_tHandle pageList,
                                                            uint64_t firstPage, uint64_t pageCount) noexcept {
    const std::uint64_t listPages = kal::pagelists::pageCount(pageList);
    if (listPages == 0) {
        KAL_FAIL("nVOKAL220_tUserMemMap_mapPageList of an unknown page list");
    }
    auto& s = state();
    std::lock_guard g(s.lock);
    UserMap* target = liveMap(s, map, "nVOKAL220_tUserMemMap_mapPageList into an unknown map");
    if (firstPage >= listPages || pageCount > listPages - firstPage || !fits(*target, pageCount)) {
        return nVOKAL_kStatusInvalidParameter;
    }
    target->mappings.push_back(
        kal::usermaps::Mapping{kal::usermaps::Mapping::kPageList, pageList, firstPage, 0, pageCount, 0});
    return nVOKAL_kSuccess;
}

extern "C" nVOKAL_tStatus nVOKAL230_tUserMemMap_mapPhysicalAddress(nVOKAL_tHandle map,
                                                                   uint64_t physicalAddress,
                                                                   uint64_t pageCount,
                                                                   uint32_t cached) noexcept {
    auto& s = state();
    std::lock_guard g(s.lock);
    UserMap* target = liveMap(s, map, "nVOKAL230_tUserMemMap_mapPhysicalAddress into an unknown map");
    if (physicalAddress % nVOKAL100_getPageSize() != 0 || cached > 1 || !fits(*target, pageCount)) {
        return nVOKAL_kStatusInvalidParameter;
    }
    target->mappings.push_back(kal::usermaps::Mapping{kal::usermaps::Mapping::kPhysical, nullptr, 0,
                                                      physicalAddress, pageCount, cached});
    return nVOKAL_kSuccess;
}
