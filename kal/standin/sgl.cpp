// Stand-in for the kernel layer's scatter-gather lists for PCI and the
// device side of DMA (kal::dma): a mapped list gets bus addresses of its own,
// valid until it is unmapped, as an IOMMU would hand them out; a function
// whose DMA mask reaches 32 bits only gets them below 4 GB.
#include <algorithm>
#include <cstdio>
#include <cstring>
#include <memory>
#include <new>
#include <vector>

#include "standin/bus_memory.h"
#include "standin/control.h"
#include "standin/detail.h"
#include "nVOKAL.h"
#include "standin/pci_bus.h"

namespace {

using kal::busmem::kPage;
using kal::busmem::PageList;
using kal::busmem::Sgl;
using kal::busmem::State;

Sgl* liveSgl(State& s, nVOKAL_tHandle handle, const char* what) {
    auto found = s.sgls.find(static_cast<Sgl*>(handle));
    if (handle == nullptr || found == s.sgls.end()) {
        KAL_FAIL(std::string(what) + " of a scatter-gather list that does not exist");
    }
    return found->second.get();
}

using Ranges = std::vector<std::unique_ptr<kal::busmem::BusRange>>;

// Under the lock: takes the list's IOVA ranges out of the page table and
// gives their addresses back. The caller waits for the accesses under way
// before it drops the ranges returned.
Ranges unmapSgl(State& s, Sgl& sgl) {
    if (!sgl.mapped) {
        return {};
    }
    for (const auto& range : sgl.iova) {
        s.pages.remove(*range);
        s.addresses.release(range->start, range->size);
    }
    Ranges gone = std::move(sgl.iova);
    sgl.iova.clear();
    sgl.segments.clear();
    sgl.cursor = 0;
    sgl.list->sglMappings -= 1;
    sgl.list = nullptr;
    sgl.mapped = false;
    return gone;
}

std::string hex(std::uint64_t value) {
    char buffer[24];
    std::snprintf(buffer, sizeof buffer, "0x%llX", static_cast<unsigned long long>(value));
    return buffer;
}

// One span of a device access: where in host memory, how many bytes.
struct Span {
    std::uint8_t* memory;
    std::size_t bytes;
};

// The spans of an access in order, each following the last in the host
// buffer; a span that also follows the last in memory joins it, so
// contiguous memory is copied at once.
class Spans {
public:
    std::size_t count() const { return count_; }
    Span& at(std::size_t i) { return i < kInline ? inline_[i] : more_[i - kInline]; }
    void add(std::uint8_t* memory, std::size_t bytes) {
        if (count_ != 0) {
            Span& last = at(count_ - 1);
            if (last.memory + last.bytes == memory) {
                last.bytes += bytes;
                return;
            }
        }
        if (count_ < kInline) {
            inline_[count_] = {memory, bytes};
        } else {
            more_.push_back({memory, bytes});
        }
        ++count_;
    }
    // Back to an earlier count() whose last span had lastBytes.
    void truncate(std::size_t count, std::size_t lastBytes) {
        count_ = count;
        more_.resize(count_ > kInline ? count_ - kInline : 0);
        if (count_ != 0) {
            at(count_ - 1).bytes = lastBytes;
        }
    }
    void copy(std::uint8_t* host, bool write) {
        for (std::size_t i = 0; i < count_; ++i) {
            const Span& span = at(i);
            if (write) {
                std::memcpy(span.memory, host, span.bytes);
            } else {
                std::memcpy(host, span.memory, span.bytes);
            }
            host += span.bytes;
        }
    }

private:
    static constexpr std::size_t kInline = 32;
    Span inline_[kInline];
    std::vector<Span> more_;
    std::size_t count_ = 0;
};

// Why a device access is refused.
enum class Refusal { none, wraps, noMask, beyondMask, unmapped, otherFunction };

// Finds every span of one access in the page table (inside a read section,
// without a lock) and adds them; a refusal adds nothing. The spans found
// stay valid until the section ends, even when their ranges are taken out of
// the table meanwhile.
Refusal findSpans(const State& s, void* pciHandle, std::uint64_t mask, std::uint64_t busAddress,
                  std::size_t size, Spans& spans, std::uint64_t& at) {
    if (busAddress + (size - 1) < busAddress) {
        return Refusal::wraps;
    }
    if (mask == 0) {
        return Refusal::noMask;
    }
    if (busAddress + (size - 1) > mask) {
        return Refusal::beyondMask;
    }
    const std::size_t count = spans.count();
    const std::size_t lastBytes = count == 0 ? 0 : spans.at(count - 1).bytes;
    std::uint64_t address = busAddress;
    for (std::size_t done = 0; done < size;) {
        const kal::busmem::BusRange* range = s.pages.find(address);
        Refusal refusal = Refusal::none;
        if (range == nullptr) {
            refusal = Refusal::unmapped;
        } else if (range->pciHandle != nullptr && range->pciHandle != pciHandle) {
            refusal = Refusal::otherFunction;
        }
        if (refusal != Refusal::none) {
            at = address;
            spans.truncate(count, lastBytes);
            return refusal;
        }
        const std::uint64_t inside = address - range->start;
        const std::size_t chunk =
            static_cast<std::size_t>(std::min<std::uint64_t>(size - done, range->size - inside));
        spans.add(range->memory + inside, chunk);
        done += chunk;
        address += chunk;
    }
    return Refusal::none;
}

[[gnu::cold]] void recordRefusal(Refusal refusal, bool write, std::uint64_t busAddress, std::size_t size,
                                 std::uint64_t mask, std::uint64_t at) {
    std::string why;
    switch (refusal) {
    case Refusal::wraps:
        why = "the range wraps";
        break;
    case Refusal::noMask:
        why = "the function has no DMA mask";
        break;
    case Refusal::beyondMask:
        why = "beyond the function's DMA mask " + hex(mask);
        break;
    case Refusal::unmapped:
        why = "no page is mapped at " + hex(at);
        break;
    case Refusal::otherFunction:
        why = "the bus address at " + hex(at) + " is mapped for another function";
        break;
    case Refusal::none:
        break;
    }
    auto& s = kal::busmem::state();
    std::lock_guard g(s.lock);
    s.faults.push_back(std::string(write ? "DMA write" : "DMA read") + " of " + std::to_string(size) +
                       " bytes at " + hex(busAddress) + ": " + why);
}

// Checks the runs in order and copies those before the first refused one;
// the refused run touches nothing and is recorded. Returns the runs moved.
std::size_t access(void* pciHandle, const kal::dma::Run* runs, std::size_t count, std::uint8_t* host,
                   bool write) {
    std::size_t moved = 0;
    while (moved < count && runs[moved].size == 0) {
        ++moved;
    }
    if (moved == count) {
        return count;
    }
    const std::uint64_t mask = kal::pci::dmaMask(pciHandle);
    auto& s = kal::busmem::state();
    Refusal refusal = Refusal::none;
    std::uint64_t at = 0;
    {
        const kal::detail::ReadSection section;
        Spans spans;
        for (; moved < count; ++moved) {
            if (runs[moved].size != 0) {
                refusal = findSpans(s, pciHandle, mask, runs[moved].busAddress, runs[moved].size, spans, at);
                if (refusal != Refusal::none) {
                    break;
                }
            }
        }
        spans.copy(host, write);
    }
    if (refusal != Refusal::none) {
        recordRefusal(refusal, write, runs[moved].busAddress, runs[moved].size, mask, at);
    }
    return moved;
}

} // namespace

namespace kal::dma {

bool read(void* pciHandle, std::uint64_t busAddress, void* destination, std::size_t size) {
    const Run run{busAddress, size};
    return access(pciHandle, &run, 1, static_cast<std::uint8_t*>(destination), false) == 1;
}

bool write(void* pciHandle, std::uint64_t busAddress, const void* source, std::size_t size) {
    const Run run{busAddress, size};
    return access(pciHandle, &run, 1, static_cast<std::uint8_t*>(const_cast<void*>(source)), true) == 1;
}

std::size_t read(void* pciHandle, const Run* runs, std::size_t count, void* destination) {
    return access(pciHandle, runs, count, static_cast<std::uint8_t*>(destination), false);
}

std::size_t write(void* pciHandle, const Run* runs, std::size_t count, const void* source) {
    return access(pciHandle, runs, count, static_cast<std::uint8_t*>(const_cast<void*>(source)), true);
}

std::vector<std::string> faults() {
    auto& s = busmem::state();
    std::lock_guard g(s.lock);
    return s.faults;
}

void clearFaults() {
    auto& s = busmem::state();
    std::lock_guard g(s.lock);
    s.faults.clear();
}

std::size_t liveSGLs() {
    auto& s = busmem::state();
    std::lock_guard g(s.lock);
    return s.sgls.size();
}

std::size_t mappedSGLs() {
    auto& s = busmem::state();
    std::lock_guard g(s.lock);
    return static_cast<std::size_t>(
        std::count_if(s.sgls.begin(), s.sgls.end(), [](const auto& kv) { return kv.second->mapped; }));
}

std::uint64_t prepareCalls() {
    auto& s = busmem::state();
    std::lock_guard g(s.lock);
    return s.prepares;
}

std::uint64_t completeCalls() {
    auto& s = busmem::state();
    std::lock_guard g(s.lock);
    return s.completes;
}

} // namespace kal::dma

extern "C" uint32_t nVOKAL200_isAddressableMemOver4G(void) noexcept {
    auto& s = kal::busmem::state();
    std::lock_guard g(s.lock);
    return s.memoryAbove4G ? 1 : 0;
}

extern "C" nVOKAL_tHandle nVOKAL220_tSGL_createForPCI(nVOKAL_tHandle pciHandle,
                                                      uint64_t maxSegments) noexcept {
    if (maxSegments == 0 || kal::faults::shouldFail(kal::faults::kSGL)) {
        return nullptr;
    }
    auto sgl = std::make_unique<Sgl>();
    sgl->pciHandle = pciHandle;
    sgl->capacity = maxSegments;
    Sgl* handle = sgl.get();
    auto& s = kal::busmem::state();
    std::lock_guard g(s.lock);
    s.sgls.emplace(handle, std::move(sgl));
    return handle;
}

extern "C" void nVOKAL220_tSGL_destroy(nVOKAL_tHandle handle) noexcept {
    if (handle == nullptr) {
        return;
    }
    auto& s = kal::busmem::state();
    std::lock_guard g(s.lock);
    Sgl* sgl = liveSgl(s, handle, "nVOKAL220_tSGL_destroy");
    if (sgl->mapped) {
        KAL_FAIL("nVOKAL220_tSGL_destroy of a scatter-gather list that is still mapped");
    }
    s.sgls.erase(sgl);
}

extern "C" nVOKAL_tStatus nVOKAL220_tSGL_map(nVOKAL_tHandle handle, nVOKAL_tHandle pageList, uint64_t offset,
                                             uint64_t size, uint32_t deviceWrites) noexcept {
    auto& s = kal::busmem::state();
    nVOKAL_tHandle pciHandle = nullptr;
    {
        std::lock_guard g(s.lock);
        pciHandle = liveSgl(s, handle, "nVOKAL220_tSGL_map")->pciHandle;
    }
    // A function that reaches only 32 bits gets bus addresses below 4 GB.
    const bool low = kal::pci::dmaMask(pciHandle) <= 0xFFFFFFFFULL;
    std::lock_guard g(s.lock);
    Sgl* sgl = liveSgl(s, handle, "nVOKAL220_tSGL_map");
    PageList* list = kal::busmem::liveList(s, pageList, "nVOKAL220_tSGL_map");
    if (sgl->mapped) {
        return nVOKAL_kStatusInvalidState;
    }
    const std::uint64_t listBytes = list->pageCount * kPage;
    if (size == 0 || offset > listBytes || size > listBytes - offset) {
        return nVOKAL_kStatusInvalidParameter;
    }
    // Physically contiguous runs of the range.
    std::vector<kal::busmem::Segment> runs; // {position in the list, size}
    for (std::uint64_t position = offset; position < offset + size;) {
        std::uint64_t page = position / kPage;
        std::uint64_t last = page;
        while (last + 1 < list->pageCount && (last + 1) * kPage < offset + size &&
               list->frames[last + 1] == list->frames[last] + kPage) {
            ++last;
        }
        const std::uint64_t end = std::min((last + 1) * kPage, offset + size);
        runs.push_back({position, end - position});
        position = end;
    }
    if (runs.size() > sgl->capacity) {
        return nVOKAL_kStatusInvalidParameter;
    }
    // Given back when the address space or the memory runs out: none of them was entered yet.
    auto giveBack = [&] {
        for (const auto& range : sgl->iova) {
            s.addresses.release(range->start, range->size);
        }
        sgl->iova.clear();
        sgl->segments.clear();
        return nVOKAL_kStatusOutOfMemory;
    };
    for (const auto& run : runs) {
        const std::uint64_t inPage = run.busAddress % kPage;
        const std::uint64_t bytes = (inPage + run.size + kPage - 1) / kPage * kPage;
        const std::uint64_t iova =
            s.addresses.allocate(bytes, low ? kal::busmem::kLowStart : kal::busmem::kHighStart,
                                 low ? kal::busmem::k4G : kal::busmem::kHighEnd);
        if (iova == 0) {
            return giveBack();
        }
        auto range = std::unique_ptr<kal::busmem::BusRange>(new (std::nothrow) kal::busmem::BusRange{
            iova, bytes, list->memory + (run.busAddress - inPage), pciHandle});
        if (range == nullptr) {
            s.addresses.release(iova, bytes);
            return giveBack();
        }
        sgl->iova.push_back(std::move(range));
        sgl->segments.push_back({iova + inPage, run.size});
    }
    for (std::size_t i = 0; i < sgl->iova.size(); ++i) {
        if (!s.pages.enter(*sgl->iova[i])) {
            for (std::size_t j = 0; j < i; ++j) {
                s.pages.remove(*sgl->iova[j]);
            }
            kal::detail::waitForReaders(); // accesses take no lock of the state
            return giveBack();
        }
    }
    sgl->mapped = true;
    sgl->list = list;
    sgl->deviceWrites = deviceWrites != 0;
    sgl->cursor = 0;
    list->sglMappings += 1;
    return nVOKAL_kSuccess;
}

extern "C" void nVOKAL220_tSGL_unmap(nVOKAL_tHandle handle) noexcept {
    auto& s = kal::busmem::state();
    Ranges gone;
    {
        std::lock_guard g(s.lock);
        gone = unmapSgl(s, *liveSgl(s, handle, "nVOKAL220_tSGL_unmap"));
    }
    if (!gone.empty()) {
        kal::detail::waitForReaders();
    }
}

extern "C" uint64_t nVOKAL220_tSGL_numSegments(nVOKAL_tHandle handle) noexcept {
    auto& s = kal::busmem::state();
    std::lock_guard g(s.lock);
    return liveSgl(s, handle, "nVOKAL220_tSGL_numSegments")->segments.size();
}

extern "C" void nVOKAL220_tSGL_iterate(nVOKAL_tHandle handle) noexcept {
    auto& s = kal::busmem::state();
    std::lock_guard g(s.lock);
    liveSgl(s, handle, "nVOKAL220_tSGL_iterate")->cursor = 0;
}

extern "C" uint64_t nVOKAL220_tSGL_getSegmentAddress(nVOKAL_tHandle handle) noexcept {
    auto& s = kal::busmem::state();
    std::lock_guard g(s.lock);
    Sgl* sgl = liveSgl(s, handle, "nVOKAL220_tSGL_getSegmentAddress");
    return sgl->cursor < sgl->segments.size() ? sgl->segments[sgl->cursor].busAddress : 0;
}

extern "C" uint64_t nVOKAL220_tSGL_getSegmentSize(nVOKAL_tHandle handle) noexcept {
    auto& s = kal::busmem::state();
    std::lock_guard g(s.lock);
    Sgl* sgl = liveSgl(s, handle, "nVOKAL220_tSGL_getSegmentSize");
    return sgl->cursor < sgl->segments.size() ? sgl->segments[sgl->cursor].size : 0;
}

extern "C" void nVOKAL220_tSGL_nextSegment(nVOKAL_tHandle handle) noexcept {
    auto& s = kal::busmem::state();
    std::lock_guard g(s.lock);
    Sgl* sgl = liveSgl(s, handle, "nVOKAL220_tSGL_nextSegment");
    if (sgl->cursor < sgl->segments.size()) {
        ++sgl->cursor;
    }
}

extern "C" void nVOKAL220_tSGL_prepareForDMA(nVOKAL_tHandle handle) noexcept {
    auto& s = kal::busmem::state();
    std::lock_guard g(s.lock);
    if (!liveSgl(s, handle, "nVOKAL220_tSGL_prepareForDMA")->mapped) {
        KAL_FAIL("nVOKAL220_tSGL_prepareForDMA of a scatter-gather list that is not mapped");
    }
    s.prepares += 1;
}

extern "C" void nVOKAL220_tSGL_completeDMA(nVOKAL_tHandle handle, uint64_t, uint64_t) noexcept {
    auto& s = kal::busmem::state();
    std::lock_guard g(s.lock);
    if (!liveSgl(s, handle, "nVOKAL220_tSGL_completeDMA")->mapped) {
        KAL_FAIL("nVOKAL220_tSGL_completeDMA of a scatter-gather list that is not mapped");
    }
    s.completes += 1;
}
