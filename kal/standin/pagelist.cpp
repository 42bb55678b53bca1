// Stand-in for the kernel layer's page size and page lists.
//
// Minimal for now: a page list is a block of whole pages of this process,
// made and released; enough for the user memory maps. Mapping page lists to
// the kernel, user page lists and physical addresses come with the DMA maps.
#include <cstdlib>
#include <cstring>
#include <memory>
#include <mutex>
#include <unordered_map>

#include "control.h"
#include "nVOKAL.h"

namespace {

constexpr std::uint32_t kPageSize = 4096;

struct PageList {
    PageList(void* pagesIn, std::uint64_t countIn, std::uint32_t flagsIn)
        : pages(pagesIn), pageCount(countIn), flags(flagsIn) {}
    ~PageList() { std::free(pages); }
    PageList(const PageList&) = delete;
    PageList& operator=(const PageList&) = delete;

    void* pages;
    std::uint64_t pageCount;
    std::uint32_t flags;
};

struct PageListState {
    std::mutex lock;
    std::unordered_map<PageList*, std::unique_ptr<PageList>> live;
};

PageListState& state() {
    static PageListState s;
    return s;
}

} // namespace

namespace kal::pagelists {

std::size_t live() {
    auto& s = state();
    std::lock_guard g(s.lock);
    return s.live.size();
}

std::uint64_t pageCount(void* pageList) {
    auto& s = state();
    std::lock_guard g(s.lock);
    auto found = s.live.find(static_cast<PageList*>(pageList));
    return found == s.live.end() ? 0 : found->second->pageCount;
}

} // namespace kal::pagelists

extern "C" uint32_t nVOKAL100_getPageSize(void) noexcept {
    return kPageSize;
}

extern "C" nVOKAL_tHandle nVOKAL220_tPageList_createFromAllocation(uint64_t pageCount,
                                                                   uint32_t flags) noexcept {
    if (pageCount == 0 || pageCount > (UINT64_MAX / kPageSize)) {
        return nullptr;
    }
    void* pages = std::aligned_alloc(kPageSize, pageCount * kPageSize);
    if (pages == nullptr) {
        return nullptr;
    }
    std::memset(pages, 0, pageCount * kPageSize);
    auto list = std::make_unique<PageList>(pages, pageCount, flags);
    PageList* handle = list.get();
    auto& s = state();
    std::lock_guard g(s.lock);
    s.live.emplace(handle, std::move(list));
    return handle;
}

extern "C" void nVOKAL220_tPageList_destroy(nVOKAL_tHandle pageList) noexcept {
    if (pageList == nullptr) {
        return;
    }
    auto& s = state();
    std::lock_guard g(s.lock);
    auto found = s.live.find(static_cast<PageList*>(pageList));
    if (found == s.live.end()) {
        nVOKAL250_halt("kal", __FILE__, __LINE__,
                       "nVOKAL220_tPageList_destroy of a page list that is not live");
    }
    s.live.erase(found);
}
