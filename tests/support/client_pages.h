// Pages of a client process laid out by letters: w read-write, r read-only, n no access (reserved, so
// no other mapping takes its place), - not mapped. They start filled with one byte. And a client's
// request named by its operation.
#pragma once

#include <gtest/gtest.h>
#include <sys/mman.h>
#include <unistd.h>

#include <cstdint>
#include <cstring>
#include <string>

// The output record of op on handle, the input record's words in order (or naming a registration); the
// request must reach its operation (kelvo_test::answer, core_test_support.h).
#define ASK(op, handle, ...)                                                                                 \
    kelvo_test::answer<kelvo_##op##_out>(handle, KELVO_IOCTL_##op, kelvo_##op##_in{__VA_ARGS__})
#define ASK_NAMED(op, handle, name)                                                                          \
    kelvo_test::answer<kelvo_##op##_out>(handle, KELVO_IOCTL_##op, kelvo_test::named(kelvo_##op##_in{}, name))

namespace kelvo_test {

inline size_t pageSize() {
    return static_cast<size_t>(sysconf(_SC_PAGESIZE));
}

class ClientPages {
public:
    explicit ClientPages(const std::string& pages = "w", uint8_t fill = 0)
        : pages_(std::string(pages.size(), 'w')), fill_(fill), size_(pages.size() * pageSize()) {
        void* base = mmap(nullptr, size_, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
        EXPECT_NE(base, MAP_FAILED);
        base_ = static_cast<uint8_t*>(base);
        std::memset(base_, fill, size_);
        protect(pages);
    }
    ~ClientPages() {
        for (size_t i = 0; i < pages_.size(); ++i) {
            if (pages_[i] != '-') {
                munmap(page(i), pageSize());
            }
        }
    }
    ClientPages(const ClientPages&) = delete;
    ClientPages& operator=(const ClientPages&) = delete;

    uint8_t* at(size_t offset) { return base_ + offset; }
    // Lays out the access of each page anew (a page once unmapped stays so).
    void protect(const std::string& pages) {
        for (size_t i = 0; i < pages.size() && i < pages_.size(); ++i) {
            if (pages_[i] == '-') {
                continue;
            }
            if (pages[i] == '-') {
                EXPECT_EQ(munmap(page(i), pageSize()), 0);
            } else {
                const int access = pages[i] == 'w'   ? PROT_READ | PROT_WRITE
                                   : pages[i] == 'r' ? PROT_READ
                                                     : PROT_NONE;
                EXPECT_EQ(mprotect(page(i), pageSize(), access), 0);
            }
            pages_[i] = pages[i];
        }
    }
    // Every readable byte from offset on still the fill.
    bool untouched(size_t offset = 0) const {
        for (size_t i = offset; i < size_; ++i) {
            const char letter = pages_[i / pageSize()];
            if (letter != '-' && letter != 'n' && base_[i] != fill_) {
                return false;
            }
        }
        return true;
    }

private:
    uint8_t* page(size_t index) { return base_ + index * pageSize(); }

    std::string pages_;
    uint8_t fill_;
    size_t size_;
    uint8_t* base_ = nullptr;
};

} // namespace kelvo_test
