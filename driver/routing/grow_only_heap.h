// Scratch allocator of one routing operation: lives on the operation's
// stack, carves aligned blocks out of chunks taken from the kernel layer,
// never reuses a released block and gives every chunk back when it ends.
// Ordinary chunks may double in size, one after another, up to a largest
// size, so that an operation needing megabytes takes a few chunks, not
// thousands.
#pragma once

#include <stddef.h>
#include <stdint.h>

namespace voark {

inline constexpr uint32_t VOARK_GROW_ONLY_HEAP_SIGNATURE = 0xFEEB1E;

class GrowOnlyHeap {
public:
    // alignment: a power of two. The first ordinary chunk has chunkSize
    // bytes, each later one twice the one before, at most largestChunkSize
    // (no growth when it is not above chunkSize).
    GrowOnlyHeap(uint64_t chunkSize, uint32_t alignment, uint64_t largestChunkSize = 0);
    // Every block handed out must have been given back (an invariant).
    ~GrowOnlyHeap();
    GrowOnlyHeap(const GrowOnlyHeap&) = delete;
    GrowOnlyHeap& operator=(const GrowOnlyHeap&) = delete;

    // A block of size bytes, or null when a chunk cannot be obtained.
    void* allocate(uint64_t size);
    // Gives a block back (null is ignored); its memory is not reused.
    void deallocate(void* block);

    uint32_t allocatedBlockCount() const { return allocatedBlockCount_; }
    uint32_t chunkCount() const { return chunkCount_; }
    uint32_t allocationCount() const { return allocationCount_; }
    uint64_t totalBytes() const { return totalBytes_; }
    uint64_t remaining() const { return remaining_; }
    uint32_t signature() const { return signatureForSanity_; }

private:
    struct Chunk {
        Chunk* next;
        uint64_t bytes;
        GrowOnlyHeap* heap;
    };
    static constexpr uint64_t kHeaderSize = (sizeof(Chunk) + 15) & ~uint64_t{15};

    void alignCurrent();

    Chunk* first_ = nullptr;
    Chunk* last_ = nullptr;
    uint8_t* current_ = nullptr;
    uint64_t remaining_ = 0;
    uint64_t chunkSize_; // of the next ordinary chunk
    uint64_t largestChunkSize_;
    uint32_t alignment_;
    uint32_t allocatedBlockCount_ = 0;
    uint32_t signatureForSanity_ = VOARK_GROW_ONLY_HEAP_SIGNATURE;
    uint64_t totalBytes_ = 0;
    uint32_t chunkCount_ = 0;
    uint32_t allocationCount_ = 0;
};

// The allocator function of the engine: releases old (when not null), then
// returns a block of size bytes from the heap context points to, or null for
// size 0 or when memory is short. It never copies the old contents.
void* growOnlyHeapResizeFn(void* old, uint64_t size, void* context);

// The general allocator with the same contract (context unused): the
// allocation helper through which callers' buffers are grown.
void* generalResizeFn(void* old, uint64_t size, void* context);

} // namespace voark
