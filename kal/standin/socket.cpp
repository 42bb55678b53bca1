// Stand-in for the kernel layer's socket buffers and sends: each sent message
// lands in the queue of its destination, where the host and tests read it.
#include <cstring>
#include <deque>
#include <map>
#include <memory>
#include <mutex>
#include <unordered_map>

#include "standin/control.h"
#include "standin/detail.h"
#include "nVOKAL.h"

namespace {

struct Buffer {
    std::uint32_t capacity;
};

struct SocketState {
    std::mutex lock;
    std::unordered_map<Buffer*, std::unique_ptr<Buffer>> live;
    std::map<std::uint32_t, std::deque<kal::sockets::Message>> queues;
    std::uint64_t creates = 0;
    std::uint64_t failCreateAt = 0; // absolute creation number to fail, 0 = none
    std::uint64_t sends = 0;
    std::uint64_t failSendAt = 0; // absolute send number to fail, 0 = none
    std::int32_t failSendCode = 0;
    std::uint64_t delivered = 0;
};

SocketState& state() {
    static SocketState* s = new SocketState; // lives for the whole process (read by exit handlers)
    return *s;
}

// The buffer behind a handle; halts on a handle that is not a live buffer (a driver fault).
Buffer* liveBuffer(SocketState& s, nVOKAL_tHandle handle, const char* what) {
    auto found = s.live.find(static_cast<Buffer*>(handle));
    if (found == s.live.end()) {
        KAL_FAIL(what);
    }
    return found->second.get();
}

} // namespace

namespace kal::sockets {

std::vector<Message> read(std::uint32_t destination) {
    auto& s = state();
    std::lock_guard g(s.lock);
    auto found = s.queues.find(destination);
    if (found == s.queues.end()) {
        return {};
    }
    return {found->second.begin(), found->second.end()};
}

bool pop(std::uint32_t destination, Message& message) {
    auto& s = state();
    std::lock_guard g(s.lock);
    auto found = s.queues.find(destination);
    if (found == s.queues.end() || found->second.empty()) {
        return false;
    }
    message = std::move(found->second.front());
    found->second.pop_front();
    return true;
}

std::size_t count(std::uint32_t destination) {
    auto& s = state();
    std::lock_guard g(s.lock);
    auto found = s.queues.find(destination);
    return found == s.queues.end() ? 0 : found->second.size();
}

std::uint64_t sent() {
    auto& s = state();
    std::lock_guard g(s.lock);
    return s.delivered;
}

std::size_t liveBuffers() {
    auto& s = state();
    std::lock_guard g(s.lock);
    return s.live.size();
}

void failCreateNth(std::uint64_t n) {
    auto& s = state();
    std::lock_guard g(s.lock);
    s.failCreateAt = n == 0 ? 0 : s.creates + n;
}

void failSendNth(std::uint64_t n, std::int32_t code) {
    auto& s = state();
    std::lock_guard g(s.lock);
    s.failSendAt = n == 0 ? 0 : s.sends + n;
    s.failSendCode = code;
}

void reset() {
    auto& s = state();
    std::lock_guard g(s.lock);
    s.queues.clear();
    s.failCreateAt = 0;
    s.failSendAt = 0;
    s.delivered = 0;
}

} // namespace kal::sockets

extern "C" nVOKAL_tHandle nVOKAL250_createKernelSocketBuffer(uint32_t size) noexcept {
    auto& s = state();
    std::lock_guard g(s.lock);
    if (++s.creates == s.failCreateAt) {
        return nullptr;
    }
    auto buffer = std::make_unique<Buffer>(Buffer{size});
    Buffer* handle = buffer.get();
    s.live.emplace(handle, std::move(buffer));
    return handle;
}

extern "C" void nVOKAL250_releaseKernelSocketBuffer(nVOKAL_tHandle buffer) noexcept {
    if (buffer == nullptr) {
        return;
    }
    auto& s = state();
    std::lock_guard g(s.lock);
    liveBuffer(s, buffer, "nVOKAL250_releaseKernelSocketBuffer of a buffer that is not held");
    s.live.erase(static_cast<Buffer*>(buffer));
}

extern "C" nVOKAL_tStatus nVOKAL250_kernelSocketSend(nVOKAL_tHandle buffer, uint32_t destination,
                                                     uint32_t type, const void* message,
                                                     uint32_t size) noexcept {
    auto& s = state();
    std::lock_guard g(s.lock);
    Buffer* held = liveBuffer(s, buffer, "nVOKAL250_kernelSocketSend with a buffer that is not held");
    if (++s.sends == s.failSendAt) {
        return s.failSendCode;
    }
    if (size > held->capacity || (message == nullptr && size != 0)) {
        return nVOKAL_kStatusInvalidParameter;
    }
    kal::sockets::Message delivered{type, std::vector<std::uint8_t>(size)};
    if (size != 0) {
        std::memcpy(delivered.bytes.data(), message, size);
    }
    s.queues[destination].push_back(std::move(delivered));
    ++s.delivered;
    s.live.erase(static_cast<Buffer*>(buffer)); // the kernel layer owns and consumes it now
    return nVOKAL_kSuccess;
}
