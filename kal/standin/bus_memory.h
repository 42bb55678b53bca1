// Internals shared by the stand-in's page lists and scatter-gather lists (not
// for tests: they use control_io.h).
//
// Host memory as devices see it: every page of a live page list has a fake
// physical address, and every mapped scatter-gather list holds bus addresses
// of its own (as an IOMMU hands them out). Both kinds live in one bus address
// space, so they never overlap, and a device access resolves through a page
// table of it (BusPages), as an IOMMU's does, without a lock: whoever takes a
// range out of the table waits for the accesses under way
// (kal::detail::waitForReaders) before the range, or the memory it reaches,
// goes.
#pragma once

#include <atomic>
#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "nVOKAL.h"

namespace kal::busmem {

constexpr std::uint64_t kPage = 4096;
constexpr std::uint64_t k4G = 0x100000000ULL;
// Bus address regions: below 4 GB (from 1 MiB) and above (up to the BAR space).
constexpr std::uint64_t kLowStart = 0x100000ULL;
constexpr std::uint64_t kHighStart = k4G;
constexpr std::uint64_t kHighEnd = 0x4000000000ULL;

// Free ranges of the bus address space, first fit.
class AddressSpace {
public:
    AddressSpace();
    // bytes (a multiple of the page) inside [low, high); 0 when none is free.
    std::uint64_t allocate(std::uint64_t bytes, std::uint64_t low, std::uint64_t high);
    // Exactly [start, start + bytes); false when any of it is taken or outside every region.
    bool reserve(std::uint64_t start, std::uint64_t bytes);
    void release(std::uint64_t start, std::uint64_t bytes);

private:
    std::map<std::uint64_t, std::uint64_t> free_; // start -> bytes
};

struct Sgl;

// A range of the bus address space: physical pages of a list, or an IOVA
// range of a mapped list. Fixed while it is in the page table.
struct BusRange {
    std::uint64_t start = 0;
    std::uint64_t size = 0;
    std::uint8_t* memory = nullptr;     // what its first byte reaches
    nVOKAL_tHandle pciHandle = nullptr; // IOVA ranges: the function they are mapped for; null for pages
};

// The ranges by bus page, read without a lock inside a read section; written
// under the state's lock. Leaves (32 MiB of bus addresses each) are made on
// first use and kept.
class BusPages {
public:
    static constexpr unsigned kLeafBits = 13;
    // The range holding the bus address, or null.
    const BusRange* find(std::uint64_t address) const;
    // Enters every page of the range; false (and nothing entered) when there
    // is no memory for a leaf.
    bool enter(const BusRange& range);
    void remove(const BusRange& range);

private:
    struct Leaf {
        std::atomic<const BusRange*> page[std::size_t{1} << kLeafBits] = {};
    };
    std::atomic<Leaf*> leaves_[(kHighEnd / kPage) >> kLeafBits] = {};
};

struct PageList {
    std::uint8_t* memory = nullptr; // the pages, contiguous in this process
    bool ownsMemory = false;        // false for user pages
    std::uint64_t pageCount = 0;
    std::uint32_t flags = 0;
    bool user = false;
    std::vector<std::uint64_t> frames;  // physical address of each page
    std::vector<std::uint64_t> extents; // bus bytes reserved from each frame (0: part of an earlier one)
    std::vector<void*> kernelMappings;
    std::uint32_t sglMappings = 0;
    std::vector<std::unique_ptr<BusRange>> pages; // the physical runs in the page table
};

struct Segment {
    std::uint64_t busAddress;
    std::uint64_t size;
};

struct Sgl {
    nVOKAL_tHandle pciHandle = nullptr;
    std::uint64_t capacity = 0;
    bool mapped = false;
    PageList* list = nullptr;
    bool deviceWrites = false;
    std::vector<Segment> segments;
    std::vector<std::unique_ptr<BusRange>> iova; // the reserved ranges, in the page table
    std::size_t cursor = 0;
};

struct State {
    std::mutex lock;
    AddressSpace addresses;
    std::map<PageList*, std::unique_ptr<PageList>> lists;
    std::map<Sgl*, std::unique_ptr<Sgl>> sgls;
    BusPages pages;
    // knobs
    bool memoryAbove4G = true;
    bool placeAbove4G = false;
    bool fragmented = false;
    std::vector<std::uint64_t> plannedFrames; // consumed from the front
    // observations
    std::uint64_t prepares = 0;
    std::uint64_t completes = 0;
    std::vector<std::string> faults;
};

State& state();

// Under the lock: the list of a handle, or a halt naming what.
PageList* liveList(State& s, nVOKAL_tHandle handle, const char* what);

} // namespace kal::busmem
