// The trace stream: one process-wide output stream with a configurable line
// prefix, indentation and a switchable destination.
#pragma once

#include <stdarg.h>
#include <stddef.h>
#include <stdint.h>

#include "nVOKAL/base.h"
#include "platform/memory.h"
#include "platform/status.h"

namespace kelvo_driver::nVOAPAL000 {

class tTraceDestination : public tObject {
public:
    virtual ~tTraceDestination() = default;
    virtual void write(const char* text) = 0;
    virtual void write(const char* text, uint64_t length) = 0;
    virtual void flush() {}
    // Copies the description as far as it fits (always NUL-terminated) and reports its length + 1.
    virtual void describe(char* buffer, uint64_t size, uint64_t* requiredSize) = 0;
    virtual bool open() { return true; }
    virtual void close() {}
    virtual const char* getName() const = 0;
};

// Writes through the debug print layer.
class tConsoleTraceDestination : public tTraceDestination {
public:
    void write(const char* text) override;
    void write(const char* text, uint64_t length) override;
    void describe(char* buffer, uint64_t size, uint64_t* requiredSize) override;
    const char* getName() const override { return "vosdbg_printf"; }
};

class tTrace;

// An object applied to the stream: its apply slot is called with the stream.
class tTraceManipulator : public tObject {
public:
    virtual ~tTraceManipulator() = default;
    virtual void apply(tTrace& stream) const = 0;
};

class tTrace : public tObject {
public:
    static constexpr uint64_t kLineCapacity = 253;
    static constexpr uint64_t kMaxTraceLine = 256;

    tTrace();
    virtual ~tTrace();

    // The trace stream of the driver (null before load and after unload).
    static tTrace* get();
    // Creates and destroys the process-wide instance (run by the static initialisers).
    static void createInstance();
    static void destroyInstance();

    tTraceDestination* getDestination() const { return destination_; }
    void switchDestination(tTraceDestination* destination);
    tTraceDestination& consoleDestination() { return console_; }

    // Creates the line lock (-52000 on a local status when it cannot be had).
    void createLock();

#define KELVO_TRACE_FLAG(name, member)                                                                       \
    bool get##name() const {                                                                                 \
        return member != 0;                                                                                  \
    }                                                                                                        \
    void set##name() {                                                                                       \
        member = 1;                                                                                          \
    }                                                                                                        \
    void clear##name() {                                                                                     \
        member = 0;                                                                                          \
    }
    KELVO_TRACE_FLAG(OutputEnabled, outputEnabled_)
    KELVO_TRACE_FLAG(ShowName, showName_)
    KELVO_TRACE_FLAG(ShowVersion, showVersion_)
    KELVO_TRACE_FLAG(ShowNumber, showNumber_)
    KELVO_TRACE_FLAG(ShowFile, showFile_)
    KELVO_TRACE_FLAG(FullPath, fullPath_)
    KELVO_TRACE_FLAG(ShowTimerCount, showTimerCount_)
    KELVO_TRACE_FLAG(ShowSecondNumber, showSecondNumber_)
    KELVO_TRACE_FLAG(ShowThreadID, showThreadId_)
    KELVO_TRACE_FLAG(Indent, indent_)
    KELVO_TRACE_FLAG(LimitPrefix, limitPrefix_)
#undef KELVO_TRACE_FLAG
    bool getLockCreated() const {
        return lockCreated_ != 0;
    }
    uint64_t getPrefixWidth() const {
        return prefixWidth_;
    }
    void setPrefixWidth(uint64_t width) {
        prefixWidth_ = width;
    }
    int64_t getDepth() const {
        return static_cast<int64_t>(depth_);
    }

    // Output (nothing while output is disabled).
    tTrace& put(char c);
    tTrace& write(const char* text);
    tTrace& write(const char* bytes, uint64_t length);
    tTrace& writeWide(const wchar_t* text);
    tTrace& writeWide(const wchar_t* text, uint64_t length);
    tTrace& writeBool(bool value);
    tTrace& writeUnsigned(uint64_t value, uint32_t base = 10);
    tTrace& writeSigned(int64_t value, uint32_t base = 10);
    tTrace& writeStatus(const nVOAPALS100_tStatus& status);
    tTrace& printf(const char* format, ...) __attribute__((format(printf, 2, 3)));
    tTrace& hexDump(const void* address, uint64_t size, uint64_t groupSize);
    tTrace& apply(const tTraceManipulator& manipulator);

    // kind 0: plain line; 1: opens a scope (indents the following lines); 2: closes one.
    void beginLine(const char* name, uint32_t version, uint64_t number, const char* file,
                   uint64_t secondNumber, uint32_t kind);
    void endLine();

    // Assertion report through the trace: "default", "warning" or another kind text.
    void reportAssertion(const char* kind, const char* name, uint32_t version, uint64_t number,
                         const char* file, const char* message);
    static void debugBreak(const char* kind);
    // Whether assertions are reported: at all, and for a kind text, a
    // caller's name, version, number or file (null texts included). This
    // driver reports every one, so each answers true.
    static bool assertionsEnabled();
    static bool assertionsEnabledForKind(const char* kind);
    static bool assertionsEnabledForName(const char* name);
    static bool assertionsEnabledForVersion(uint32_t version);
    static bool assertionsEnabledForNumber(uint64_t number);
    static bool assertionsEnabledForFile(const char* file);

private:
    void flushLine();
    void writeDigits(uint64_t value, uint32_t base);
    // Prefix output: counts into written_ and stops at limit_.
    void prefixText(const char* text);
    void prefixChar(char c);
    void writeVersion(uint32_t version);

    tTraceDestination* destination_;
    uint8_t outputEnabled_ = 1;
    uint8_t showName_ = 1;
    uint8_t showVersion_ = 0;
    uint8_t showNumber_ = 1;
    uint8_t showFile_ = 1;
    uint8_t fullPath_ = 0;
    uint8_t showTimerCount_ = 0;
    uint8_t showSecondNumber_ = 0;
    uint8_t showThreadId_ = 0;
    uint8_t lockCreated_ = 0;
    uint8_t indent_ = 1;
    uint8_t limitPrefix_ = 1;
    uint64_t prefixWidth_ = 50;
    uint64_t depth_ = 0;
    nVOKAL_tHandle lock_ = nullptr;
    char line_[kLineCapacity + 1];
    char* writePosition_;
    // Bounded prefix writing.
    uint64_t written_ = 0;
    uint64_t limit_ = 0;
    tConsoleTraceDestination console_;
};

// Traces a scope: a kind-1 line at construction, a kind-2 line at destruction.
class tTraceScope {
public:
    tTraceScope(const char* name, uint32_t version, uint64_t number, const char* file, uint64_t secondNumber,
                const char* description, const void* object, const nVOAPALS100_tStatus* status,
                tTrace& stream);
    ~tTraceScope();
    tTraceScope(const tTraceScope&) = delete;
    tTraceScope& operator=(const tTraceScope&) = delete;

private:
    const char* name_;
    uint32_t version_;
    uint64_t number_;
    const char* file_;
    uint64_t secondNumber_;
    const char* description_;
    const void* object_;
    const nVOAPALS100_tStatus* status_;
    tTrace& stream_;
};

} // namespace kelvo_driver::nVOAPAL000
