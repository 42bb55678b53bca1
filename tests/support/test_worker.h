// A thread that runs a body after reporting its kernel thread ID, so that a test can watch it block.
#pragma once

#include <atomic>
#include <thread>

#include "standin/control.h"
#include "nVOKAL.h"

namespace kelvo_test {

class Worker {
public:
    template <typename Body> explicit Worker(Body body) {
        thread_ = std::thread([this, body] {
            id_ = nVOKAL100_getThreadID();
            body();
            done_ = true;
        });
        while (id_.load() == 0) {
            std::this_thread::yield();
        }
    }
    ~Worker() { join(); }
    Worker(const Worker&) = delete;
    Worker& operator=(const Worker&) = delete;
    bool waitUntilBlocked() { return kal::thread::waitUntilBlocked(id_.load()); }
    void join() {
        if (thread_.joinable()) {
            thread_.join();
        }
    }
    bool done() const { return done_.load(); }
    uint64_t id() const { return id_.load(); }

private:
    std::thread thread_;
    std::atomic<uint64_t> id_{0};
    std::atomic<bool> done_{false};
};

} // namespace kelvo_test
