// Stand-in for the kernel layer's debugger print, formatter and halt.
#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <mutex>
#include <string>

#include "standin/control.h"
#include "nVOKAL.h"

namespace {

struct LogState {
    std::mutex lock;
    std::string text;
    bool echo = [] {
        const char* e = std::getenv("KELVO_KAL_ECHO");
        return e != nullptr && e[0] == '1';
    }();
};

LogState& logState() {
    static LogState s;
    return s;
}

std::atomic<kal::halt::Hook> gHaltHook{nullptr};
std::atomic<std::uint64_t> gHaltCount{0};

} // namespace

namespace kal::log {
std::string text() {
    std::lock_guard g(logState().lock);
    return logState().text;
}
void clear() {
    std::lock_guard g(logState().lock);
    logState().text.clear();
}
void setEcho(bool on) {
    std::lock_guard g(logState().lock);
    logState().echo = on;
}
} // namespace kal::log

namespace kal::halt {
void setHook(Hook hook) {
    gHaltHook.store(hook);
}
std::uint64_t count() {
    return gHaltCount.load();
}
} // namespace kal::halt

extern "C" void nVOKAL100_printToDebugger(const char* text) noexcept {
    if (text == nullptr) {
        return;
    }
    auto& s = logState();
    std::lock_guard g(s.lock);
    s.text += text;
    if (s.echo) {
        std::fputs(text, stderr);
    }
}

extern "C" int32_t nVOKAL100_vsnPrintf(char* buffer, size_t size, const char* format,
                                       va_list arguments) noexcept {
    return std::vsnprintf(buffer, size, format, arguments);
}

extern "C" void nVOKAL250_halt(const char* component, const char* file, uint32_t line,
                               const char* message) noexcept {
    gHaltCount.fetch_add(1);
    std::fprintf(stderr, "nVOKAL250_halt: [%s|%s|%u] %s\n", component ? component : "(null)",
                 file ? file : "(null)", line, message ? message : "(null)");
    std::fflush(stderr);
    if (auto hook = gHaltHook.load()) {
        hook(component, file, line, message);
    }
    std::abort();
}
