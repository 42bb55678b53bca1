// Debug print layer: bounded, prefixed lines to the kernel log, the
// assertion report and the fatal-error hook.
#pragma once

#include <stdarg.h>
#include <stddef.h>
#include <stdint.h>

#include "platform/memory.h"

// One debug line's origin: source file, line and terminator ("\n").
struct vosdbg_Line {
    const char* fileName;
    uint32_t lineNumber;
    const char* terminator;
};

using vosdbg_FatalHook = void (*)(const vosdbg_Line* line, const char* message);
using vosdbg_PrintHook = void (*)(const char* text);
using vosdbg_FormatHook = int32_t (*)(char* buffer, size_t size, const char* format, va_list arguments);
// A prefix writer writes at position within [position, end) and returns the new end of text.
using vosdbg_PrefixWriter = char* (*)(char* position, char* end, const vosdbg_Line* line);

struct vosdbg_Settings {
    vosdbg_FatalHook fatalHook;
    const vosdbg_PrefixWriter* prefixWriters; // null-terminated table
    uint32_t componentWidth;
    uint32_t fileWidth;
    uint32_t lineWidth;
    uint32_t printThreshold;
    vosdbg_PrintHook printHook;
    vosdbg_FormatHook formatHook;
};

// The layer's global settings (constant-initialised; tests may swap hooks).
extern vosdbg_Settings vosdbg_settings;

constexpr size_t vosdbg_kLineSize = 256;
constexpr uint32_t vosdbg_kIndentEntries = 16;
// Room for the longest number vosdbg_formatUnsigned writes: 64 binary digits and the terminator.
constexpr size_t vosdbg_kDigitsSize = 65;

extern "C" {
// The print hook with a fixed text, no prefix, no terminator.
void vosdbg_print(const char* text);
// Formats into a 256-character buffer and prints it (no prefix).
void vosdbg_printf(const char* format, ...) __attribute__((format(printf, 1, 2)));
void vosdbg_printLevel(uint32_t level, const char* format, ...) __attribute__((format(printf, 2, 3)));
// One prefixed line: prefix writers, formatted text, terminator.
void vosdbg_appendf(const vosdbg_Line* line, const char* format, ...) __attribute__((format(printf, 2, 3)));
void vosdbg_vappendf(const vosdbg_Line* line, const char* format, va_list arguments);
void vosdbg_appendLevel(uint32_t level, const vosdbg_Line* line, const char* format, ...)
    __attribute__((format(printf, 3, 4)));

// String helpers.
size_t vosdbg_strlen(const char* text);
// Copies at most size - 1 characters, always NUL-terminates (size > 0); returns the position of the NUL.
char* vosdbg_strlcpy(char* destination, const char* source, size_t size);
// Concatenates count texts into buffer, always NUL-terminated (size > 0); returns the position of the NUL.
char* vosdbg_concat(char* buffer, size_t size, size_t count, const char* const* texts);
// Writes the digits of value in base (2 to 36; any other base writes decimal)
// into digits, most significant first and NUL-terminated; letters are lower
// case unless upperCase. digits needs room for the digits and the terminator
// (vosdbg_kDigitsSize holds any value). Returns the number of digits (at least 1).
size_t vosdbg_formatUnsigned(char* digits, uint64_t value, uint32_t base, bool upperCase);

// Per-thread indentation.
void vosdbg_acquireIndent();
void vosdbg_releaseIndent();
// The calling thread's depth (0 without an entry).
uint32_t vosdbg_indentDepth();

// The default fatal hook: halts through the kernel layer; never returns.
__attribute__((noreturn)) void vosdbg_halt(const vosdbg_Line* line, const char* message);

// Reports a failed assertion (the report lines, then the fatal hook).
void vosdbg_assertFailed(const char* file, uint32_t line, const char* expressionText,
                         const char* explanation);
// The same with a formatted explanation line.
void vosdbg_assertFailedf(const char* file, uint32_t line, const char* expressionText, const char* format,
                          ...) __attribute__((format(printf, 4, 5)));
// A comparison check: one line per operand with its value, then the report.
void vosdbg_assertCompareFailed(const char* file, uint32_t line, const char* leftText, uint64_t leftValue,
                                const char* operatorText, const char* rightText, uint64_t rightValue);
}

// A line printer with a fixed origin.
class vosdbg_VarLine : public kelvo_driver::nVOAPAL000::tObject {
public:
    vosdbg_VarLine(const char* file, uint32_t line) : line_{file, line, "\n"} {}
    virtual ~vosdbg_VarLine() = default;
    virtual void appendf(const char* format, ...) __attribute__((format(printf, 2, 3)));
    const vosdbg_Line& record() const { return line_; }

protected:
    vosdbg_Line line_;
};

// Formats into a caller's buffer instead of printing (the origin is taken for
// symmetry with vosdbg_VarLine; the buffer gets the formatted text alone).
class vosdbg_VarLineToBuffer : public kelvo_driver::nVOAPAL000::tObject {
public:
    vosdbg_VarLineToBuffer(const char* /*file*/, uint32_t /*line*/, char* buffer, size_t size)
        : buffer_(buffer), size_(size) {}
    virtual ~vosdbg_VarLineToBuffer() = default;
    // Formats into the buffer (truncating, NUL at size - 1); returns the size.
    virtual size_t appendf(const char* format, ...) __attribute__((format(printf, 2, 3)));

private:
    char* buffer_;
    size_t size_;
};

#define VOSDBG_STRINGIFY2(x) #x
#define VOSDBG_STRINGIFY(x) VOSDBG_STRINGIFY2(x)

// An internal invariant: reports and calls the fatal hook when it fails.
#define VOSDBG_ASSERT(expression)                                                                            \
    do {                                                                                                     \
        if (__builtin_expect(!(expression), 0)) {                                                            \
            vosdbg_assertFailed(__FILE__, __LINE__, "ASSERT(" #expression ")", nullptr);                     \
        }                                                                                                    \
    } while (0)

// The same with an explanation line.
#define VOSDBG_ASSERT_MSG(expression, explanation)                                                           \
    do {                                                                                                     \
        if (__builtin_expect(!(expression), 0)) {                                                            \
            vosdbg_assertFailed(__FILE__, __LINE__, "ASSERT(" #expression ")", explanation);                 \
        }                                                                                                    \
    } while (0)

// The same with a formatted explanation line.
#define VOSDBG_ASSERT_F(expression, ...)                                                                     \
    do {                                                                                                     \
        if (__builtin_expect(!(expression), 0)) {                                                            \
            vosdbg_assertFailedf(__FILE__, __LINE__, "ASSERT(" #expression ")", __VA_ARGS__);                \
        }                                                                                                    \
    } while (0)

// A comparison of two integers, reported with both values.
#define VOSDBG_ASSERT_CMP(left, op, right)                                                                   \
    do {                                                                                                     \
        if (__builtin_expect(!((left)op(right)), 0)) {                                                       \
            vosdbg_assertCompareFailed(__FILE__, __LINE__, #left, static_cast<uint64_t>(left), #op, #right,  \
                                       static_cast<uint64_t>(right));                                        \
        }                                                                                                    \
    } while (0)

// Fails unconditionally with an explanation (an invariant known broken here).
#define VOSDBG_FAIL(explanation) vosdbg_assertFailed(__FILE__, __LINE__, "ASSERT(false)", explanation)
