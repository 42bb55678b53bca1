#include "routing/grow_only_heap.h"

#include "nVOKAL.h"
#include "platform/vosdbg.h"

namespace voark {

GrowOnlyHeap::GrowOnlyHeap(uint64_t chunkSize, uint32_t alignment, uint64_t largestChunkSize)
    : chunkSize_(chunkSize), largestChunkSize_(largestChunkSize > chunkSize ? largestChunkSize : chunkSize),
      alignment_(alignment) {
    VOSDBG_ASSERT(alignment != 0 && (alignment & (alignment - 1)) == 0);
}

GrowOnlyHeap::~GrowOnlyHeap() {
    VOSDBG_ASSERT(allocatedBlockCount_ == 0);
    Chunk* chunk = first_;
    while (chunk != nullptr) {
        Chunk* next = chunk->next;
        nVOKAL100_free(chunk);
        chunk = next;
    }
    first_ = last_ = nullptr;
    signatureForSanity_ = 0;
}

void GrowOnlyHeap::alignCurrent() {
    const uint64_t misalignment = reinterpret_cast<uintptr_t>(current_) & (alignment_ - 1);
    if (misalignment == 0) {
        return;
    }
    const uint64_t padding = alignment_ - misalignment;
    current_ += padding;
    remaining_ = padding < remaining_ ? remaining_ - padding : 0;
}

void* GrowOnlyHeap::allocate(uint64_t size) {
    VOSDBG_ASSERT(signatureForSanity_ == VOARK_GROW_ONLY_HEAP_SIGNATURE);
    if (size > remaining_ || current_ == nullptr) {
        uint64_t bytes = chunkSize_;
        const bool ordinary = !(size > chunkSize_ - kHeaderSize || chunkSize_ < kHeaderSize);
        if (!ordinary) {
            if (size > UINT64_MAX - kHeaderSize - alignment_) {
                return nullptr;
            }
            bytes = size + kHeaderSize + alignment_;
        }
        auto* chunk = static_cast<Chunk*>(nVOKAL100_malloc(bytes));
        if (chunk == nullptr) {
            return nullptr;
        }
        chunk->next = nullptr;
        chunk->bytes = bytes;
        chunk->heap = this;
        if (last_ == nullptr) {
            first_ = chunk;
        } else {
            last_->next = chunk;
        }
        last_ = chunk;
        ++chunkCount_;
        if (ordinary) {
            chunkSize_ = chunkSize_ > largestChunkSize_ / 2 ? largestChunkSize_ : chunkSize_ * 2;
        }
        current_ = reinterpret_cast<uint8_t*>(chunk) + kHeaderSize;
        remaining_ = bytes - kHeaderSize;
        alignCurrent();
    }
    void* block = current_;
    current_ += size;
    remaining_ -= size;
    alignCurrent();
    ++allocatedBlockCount_;
    ++allocationCount_;
    totalBytes_ += size;
    return block;
}

void GrowOnlyHeap::deallocate(void* block) {
    VOSDBG_ASSERT(signatureForSanity_ == VOARK_GROW_ONLY_HEAP_SIGNATURE);
    if (block == nullptr) {
        return;
    }
    VOSDBG_ASSERT(allocatedBlockCount_ > 0);
    --allocatedBlockCount_;
}

void* growOnlyHeapResizeFn(void* old, uint64_t size, void* context) {
    auto* heap = static_cast<GrowOnlyHeap*>(context);
    VOSDBG_ASSERT(heap != nullptr);
    heap->deallocate(old);
    if (size == 0) {
        return nullptr;
    }
    return heap->allocate(size);
}

void* generalResizeFn(void* old, uint64_t size, void*) {
    if (size == 0) {
        nVOKAL100_free(old);
        return nullptr;
    }
    void* block = nVOKAL100_malloc(size);
    if (block != nullptr) {
        nVOKAL100_free(old);
    }
    return block;
}

} // namespace voark
