// Stand-in for the kernel layer's page size and page lists, over a registry
// of fake physical addresses (see bus_memory.h). Where new pages lie is a
// knob (control_io.h, kal::pagelists): below 4 GB by default, above 4 GB,
// one frame per page, or exactly where a test plans them.
#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <iterator>
#include <memory>
#include <new>

#include "standin/bus_memory.h"
#include "standin/control.h"
#include "standin/detail.h"
#include "standin/exec_level.h"
#include "standin/kernel_memory.h"
#include "nVOKAL.h"

namespace kal::busmem {

AddressSpace::AddressSpace() {
    free_.emplace(kLowStart, kHighEnd - kLowStart);
}

std::uint64_t AddressSpace::allocate(std::uint64_t bytes, std::uint64_t low, std::uint64_t high) {
    for (auto it = free_.begin(); it != free_.end(); ++it) {
        const std::uint64_t start = std::max(it->first, low);
        const std::uint64_t end = it->first + it->second;
        if (start >= high || start >= end || end - start < bytes || high - start < bytes) {
            continue;
        }
        reserve(start, bytes);
        return start;
    }
    return 0;
}

bool AddressSpace::reserve(std::uint64_t start, std::uint64_t bytes) {
    auto it = free_.upper_bound(start);
    if (it == free_.begin()) {
        return false;
    }
    --it;
    const std::uint64_t freeStart = it->first;
    const std::uint64_t freeEnd = it->first + it->second;
    if (bytes == 0 || start + bytes < start || start + bytes > freeEnd) {
        return false;
    }
    free_.erase(it);
    if (start > freeStart) {
        free_.emplace(freeStart, start - freeStart);
    }
    if (start + bytes < freeEnd) {
        free_.emplace(start + bytes, freeEnd - (start + bytes));
    }
    return true;
}

void AddressSpace::release(std::uint64_t start, std::uint64_t bytes) {
    auto next = free_.lower_bound(start);
    if (next != free_.end() && next->first == start + bytes) {
        bytes += next->second;
        next = free_.erase(next);
    }
    if (next != free_.begin()) {
        auto previous = std::prev(next);
        if (previous->first + previous->second == start) {
            previous->second += bytes;
            return;
        }
    }
    free_.emplace(start, bytes);
}

const BusRange* BusPages::find(std::uint64_t address) const {
    const std::uint64_t page = address / kPage;
    if ((page >> kLeafBits) >= std::size(leaves_)) {
        return nullptr;
    }
    const Leaf* leaf = leaves_[page >> kLeafBits].load();
    return leaf == nullptr ? nullptr : leaf->page[page & ((std::uint64_t{1} << kLeafBits) - 1)].load();
}

bool BusPages::enter(const BusRange& range) {
    const std::uint64_t first = range.start / kPage;
    const std::uint64_t last = (range.start + range.size - 1) / kPage;
    if ((last >> kLeafBits) >= std::size(leaves_)) {
        return false;
    }
    for (std::uint64_t leaf = first >> kLeafBits; leaf <= last >> kLeafBits; ++leaf) {
        if (leaves_[leaf].load() == nullptr) {
            Leaf* made = new (std::nothrow) Leaf;
            if (made == nullptr) {
                return false;
            }
            leaves_[leaf].store(made);
        }
    }
    for (std::uint64_t page = first; page <= last; ++page) {
        leaves_[page >> kLeafBits].load()->page[page & ((std::uint64_t{1} << kLeafBits) - 1)].store(&range);
    }
    return true;
}

void BusPages::remove(const BusRange& range) {
    const std::uint64_t last = (range.start + range.size - 1) / kPage;
    for (std::uint64_t page = range.start / kPage; page <= last; ++page) {
        leaves_[page >> kLeafBits].load()->page[page & ((std::uint64_t{1} << kLeafBits) - 1)].store(nullptr);
    }
}

State& state() {
    static State* s = new State; // lives for the whole process
    return *s;
}

PageList* liveList(State& s, nVOKAL_tHandle handle, const char* what) {
    auto found = s.lists.find(static_cast<PageList*>(handle));
    if (handle == nullptr || found == s.lists.end()) {
        KAL_FAIL(std::string(what) + " of a page list that is not live");
    }
    return found->second.get();
}

} // namespace kal::busmem

namespace {

using kal::busmem::kPage;
using kal::busmem::PageList;
using kal::busmem::State;

// Takes the list's pages out of the page table and gives their physical
// addresses back; the ranges stay in list.pages until the caller has waited
// for the accesses under way.
void releaseFrames(State& s, PageList& list) {
    for (const auto& range : list.pages) {
        s.pages.remove(*range);
    }
    for (std::uint64_t i = 0; i < list.frames.size(); ++i) {
        if (list.extents[i] != 0) {
            s.addresses.release(list.frames[i], list.extents[i]);
        }
    }
}

// Enters the list's pages into the page table, a range per run of adjacent
// frames; false (nothing entered) when there is no memory for it.
bool enterFrames(State& s, PageList& list) {
    for (std::uint64_t first = 0; first < list.pageCount;) {
        std::uint64_t end = first + 1;
        while (end < list.pageCount && list.frames[end] == list.frames[end - 1] + kPage) {
            ++end;
        }
        auto range = std::unique_ptr<kal::busmem::BusRange>(new (std::nothrow) kal::busmem::BusRange{
            list.frames[first], (end - first) * kPage, list.memory + first * kPage, nullptr});
        if (range == nullptr || !s.pages.enter(*range)) {
            for (const auto& entered : list.pages) {
                s.pages.remove(*entered);
            }
            kal::detail::waitForReaders(); // accesses take no lock of the state
            list.pages.clear();
            return false;
        }
        list.pages.push_back(std::move(range));
        first = end;
    }
    return true;
}

// Gives every page a physical address by the knobs; false when the bus
// address space has no room (nothing stays reserved then).
bool placeFrames(State& s, PageList& list, bool below4G) {
    list.frames.assign(list.pageCount, 0);
    list.extents.assign(list.pageCount, 0);
    const std::uint64_t low = kal::busmem::kLowStart;
    const std::uint64_t high = below4G || !s.placeAbove4G ? kal::busmem::k4G : kal::busmem::kHighEnd;
    const std::uint64_t from = below4G || !s.placeAbove4G ? low : kal::busmem::kHighStart;
    std::uint64_t index = 0;
    if (!below4G) {
        while (index < list.pageCount && !s.plannedFrames.empty()) {
            const std::uint64_t frame = s.plannedFrames.front();
            if (frame % kPage != 0 || !s.addresses.reserve(frame, kPage)) {
                releaseFrames(s, list);
                KAL_FAIL("a planned page frame is misaligned or in use");
            }
            s.plannedFrames.erase(s.plannedFrames.begin());
            list.frames[index] = frame;
            list.extents[index] = kPage;
            ++index;
        }
    }
    if (index < list.pageCount && !s.fragmented) {
        const std::uint64_t rest = list.pageCount - index;
        const std::uint64_t start = s.addresses.allocate(rest * kPage, from, high);
        if (start == 0) {
            releaseFrames(s, list);
            return false;
        }
        list.extents[index] = rest * kPage;
        for (std::uint64_t i = 0; i < rest; ++i) {
            list.frames[index + i] = start + i * kPage;
        }
        index = list.pageCount;
    }
    for (; index < list.pageCount; ++index) {
        // One frame per page with a free page after it, so that no two pages are adjacent.
        const std::uint64_t start = s.addresses.allocate(2 * kPage, from, high);
        if (start == 0) {
            releaseFrames(s, list);
            return false;
        }
        list.frames[index] = start;
        list.extents[index] = 2 * kPage;
    }
    if (!enterFrames(s, list)) {
        releaseFrames(s, list);
        return false;
    }
    return true;
}

nVOKAL_tHandle addList(std::unique_ptr<PageList> list) {
    auto& s = kal::busmem::state();
    std::lock_guard g(s.lock);
    if (!placeFrames(s, *list, (list->flags & NVOKAL_PAGELIST_BELOW_4G) != 0 && !list->user)) {
        return nullptr;
    }
    PageList* handle = list.get();
    s.lists.emplace(handle, std::move(list));
    return handle;
}

nVOKAL_tHandle allocateList(uint64_t pageCount, uint32_t flags) {
    if (pageCount == 0 || pageCount > (UINT64_MAX / kPage) / 2 ||
        kal::faults::shouldFail(kal::faults::kPageList)) {
        return nullptr;
    }
    void* pages = std::aligned_alloc(kPage, pageCount * kPage);
    if (pages == nullptr) {
        return nullptr;
    }
    std::memset(pages, 0, pageCount * kPage);
    auto list = std::make_unique<PageList>();
    list->memory = static_cast<std::uint8_t*>(pages);
    list->ownsMemory = true;
    list->pageCount = pageCount;
    list->flags = flags;
    kal::kernelmem::addGranules(reinterpret_cast<std::uintptr_t>(pages), pageCount * kPage);
    nVOKAL_tHandle handle = addList(std::move(list));
    if (handle == nullptr) {
        kal::kernelmem::removeGranules(reinterpret_cast<std::uintptr_t>(pages), pageCount * kPage);
        std::free(pages);
    }
    return handle;
}

} // namespace

namespace kal::pagelists {

std::size_t live() {
    auto& s = busmem::state();
    std::lock_guard g(s.lock);
    return s.lists.size();
}

std::uint64_t pageCount(void* pageList) {
    auto& s = busmem::state();
    std::lock_guard g(s.lock);
    auto found = s.lists.find(static_cast<PageList*>(pageList));
    return found == s.lists.end() ? 0 : found->second->pageCount;
}

void setMemoryAbove4G(bool present) {
    auto& s = busmem::state();
    std::lock_guard g(s.lock);
    s.memoryAbove4G = present;
}

void setPlacement(Placement placement) {
    auto& s = busmem::state();
    std::lock_guard g(s.lock);
    s.placeAbove4G = placement == Placement::above4G;
}

void setFragmented(bool fragmented) {
    auto& s = busmem::state();
    std::lock_guard g(s.lock);
    s.fragmented = fragmented;
}

void planFrames(std::vector<std::uint64_t> frames) {
    auto& s = busmem::state();
    std::lock_guard g(s.lock);
    s.plannedFrames.insert(s.plannedFrames.end(), frames.begin(), frames.end());
}

void resetPlacement() {
    auto& s = busmem::state();
    std::lock_guard g(s.lock);
    s.memoryAbove4G = true;
    s.placeAbove4G = false;
    s.fragmented = false;
    s.plannedFrames.clear();
}

std::uint64_t physicalAddress(void* pageList, std::uint64_t pageIndex) {
    auto& s = busmem::state();
    std::lock_guard g(s.lock);
    auto found = s.lists.find(static_cast<PageList*>(pageList));
    if (found == s.lists.end() || pageIndex >= found->second->pageCount) {
        return 0;
    }
    return found->second->frames[pageIndex];
}

std::uint8_t* memory(void* pageList) {
    auto& s = busmem::state();
    std::lock_guard g(s.lock);
    auto found = s.lists.find(static_cast<PageList*>(pageList));
    return found == s.lists.end() ? nullptr : found->second->memory;
}

std::uint32_t flags(void* pageList) {
    auto& s = busmem::state();
    std::lock_guard g(s.lock);
    auto found = s.lists.find(static_cast<PageList*>(pageList));
    return found == s.lists.end() ? 0 : found->second->flags;
}

std::size_t kernelMappings() {
    auto& s = busmem::state();
    std::lock_guard g(s.lock);
    std::size_t count = 0;
    for (const auto& [handle, list] : s.lists) {
        count += list->kernelMappings.size();
    }
    return count;
}

} // namespace kal::pagelists

extern "C" uint32_t nVOKAL100_getPageSize(void) noexcept {
    return static_cast<uint32_t>(kPage);
}

extern "C" nVOKAL_tHandle nVOKAL220_tPageList_createFromAllocation(uint64_t pageCount,
                                                                   uint32_t flags) noexcept {
    return allocateList(pageCount, flags);
}

extern "C" nVOKAL_tHandle nVOKAL1_tPageList_createFromAllocationNUMA(uint64_t pageCount, uint32_t flags,
                                                                     int32_t) noexcept {
    return allocateList(pageCount, flags);
}

extern "C" nVOKAL_tHandle nVOKAL220_tPageList_createFromUser(uint64_t userAddress, uint64_t pageCount,
                                                             uint32_t flags) noexcept {
    kal::exec::assertMayBlock("nVOKAL220_tPageList_createFromUser");
    if (pageCount == 0 || userAddress % kPage != 0 || pageCount > UINT64_MAX / kPage) {
        return nullptr;
    }
    const auto access = (flags & NVOKAL_PAGELIST_WRITE) != 0 ? kal::usermem::kReadWrite : kal::usermem::kRead;
    if (!kal::usermem::lockable(userAddress, pageCount * kPage, access) ||
        kal::faults::shouldFail(kal::faults::kPageList)) {
        return nullptr;
    }
    auto list = std::make_unique<PageList>();
    list->memory = reinterpret_cast<std::uint8_t*>(static_cast<std::uintptr_t>(userAddress));
    list->pageCount = pageCount;
    list->flags = flags;
    list->user = true;
    return addList(std::move(list));
}

extern "C" void nVOKAL220_tPageList_destroy(nVOKAL_tHandle pageList) noexcept {
    if (pageList == nullptr) {
        return;
    }
    std::unique_ptr<PageList> dead;
    {
        auto& s = kal::busmem::state();
        std::lock_guard g(s.lock);
        PageList* list = kal::busmem::liveList(s, pageList, "nVOKAL220_tPageList_destroy");
        if (!list->kernelMappings.empty()) {
            KAL_FAIL("nVOKAL220_tPageList_destroy of a page list that is still mapped to the kernel");
        }
        if (list->sglMappings != 0) {
            KAL_FAIL("nVOKAL220_tPageList_destroy of a page list that a scatter-gather list still maps");
        }
        releaseFrames(s, *list);
        auto found = s.lists.find(list);
        dead = std::move(found->second);
        s.lists.erase(found);
    }
    // No device access reaches the pages (or their ranges) once those under way are done.
    kal::detail::waitForReaders();
    if (dead->ownsMemory) {
        kal::kernelmem::removeGranules(reinterpret_cast<std::uintptr_t>(dead->memory),
                                       dead->pageCount * kPage);
        std::free(dead->memory);
    }
}

extern "C" uint64_t nVOKAL220_tPageList_getPhysicalAddress(nVOKAL_tHandle pageList, uint64_t offset,
                                                           uint64_t* runLength) noexcept {
    auto& s = kal::busmem::state();
    std::lock_guard g(s.lock);
    PageList* list = kal::busmem::liveList(s, pageList, "nVOKAL220_tPageList_getPhysicalAddress");
    if (runLength == nullptr) {
        KAL_FAIL("nVOKAL220_tPageList_getPhysicalAddress without a run length");
    }
    const std::uint64_t page = offset / kPage;
    if (page >= list->pageCount) {
        *runLength = 0;
        return 0;
    }
    std::uint64_t last = page;
    while (last + 1 < list->pageCount && list->frames[last + 1] == list->frames[last] + kPage) {
        ++last;
    }
    *runLength = (last + 1) * kPage - offset;
    return list->frames[page] + offset % kPage;
}

extern "C" void* nVOKAL220_tPageList_mapToKernel(nVOKAL_tHandle pageList, uint64_t firstPage,
                                                 uint64_t pageCount, uint64_t pageSize) noexcept {
    auto& s = kal::busmem::state();
    std::lock_guard g(s.lock);
    PageList* list = kal::busmem::liveList(s, pageList, "nVOKAL220_tPageList_mapToKernel");
    if (pageSize != kPage || pageCount == 0 || firstPage >= list->pageCount ||
        pageCount > list->pageCount - firstPage) {
        return nullptr;
    }
    void* address = list->memory + firstPage * kPage;
    list->kernelMappings.push_back(address);
    return address;
}

extern "C" void* nVOKAL220_tPageList_mapOnePageToKernel(nVOKAL_tHandle pageList,
                                                        uint64_t pageIndex) noexcept {
    return nVOKAL220_tPageList_mapToKernel(pageList, pageIndex, 1, kPage);
}

extern "C" void nVOKAL220_tPageList_unmapFromKernel(nVOKAL_tHandle pageList, void* address) noexcept {
    auto& s = kal::busmem::state();
    std::lock_guard g(s.lock);
    PageList* list = kal::busmem::liveList(s, pageList, "nVOKAL220_tPageList_unmapFromKernel");
    auto found = std::find(list->kernelMappings.begin(), list->kernelMappings.end(), address);
    if (found == list->kernelMappings.end()) {
        KAL_FAIL("nVOKAL220_tPageList_unmapFromKernel of an address that is not a mapping of the list");
    }
    list->kernelMappings.erase(found);
}
