#include "platform/vosdbg.h"

#include "nVOKAL.h"

namespace {

constexpr const char* kComponent = KELVO_COMPONENT;

// Writes text into a field of width w with fill f: right-aligned when
// shorter, only its last w characters when longer; w == 0 keeps it whole.
char* writeField(char* position, char* end, const char* text, uint32_t width, char fill) {
    size_t length = vosdbg_strlen(text);
    if (width != 0) {
        if (length > width) {
            text += length - width;
            length = width;
        }
        for (size_t i = length; i < width && position < end; ++i) {
            *position++ = fill;
        }
    }
    for (size_t i = 0; i < length && position < end; ++i) {
        *position++ = text[i];
    }
    return position;
}

char* writeOpen(char* position, char* end, const vosdbg_Line*) {
    return writeField(position, end, "[", 0, ' ');
}
char* writeComponent(char* position, char* end, const vosdbg_Line*) {
    return writeField(position, end, kComponent, vosdbg_settings.componentWidth, ' ');
}
char* writeBar(char* position, char* end, const vosdbg_Line*) {
    return writeField(position, end, "|", 0, ' ');
}
char* writeFile(char* position, char* end, const vosdbg_Line* line) {
    return writeField(position, end, line != nullptr && line->fileName != nullptr ? line->fileName : "",
                      vosdbg_settings.fileWidth, ' ');
}
char* writeLineNumber(char* position, char* end, const vosdbg_Line* line) {
    char digits[vosdbg_kDigitsSize];
    vosdbg_formatUnsigned(digits, line != nullptr ? line->lineNumber : 0, 10, false);
    return writeField(position, end, digits, vosdbg_settings.lineWidth, '0');
}
char* writeClose(char* position, char* end, const vosdbg_Line*) {
    return writeField(position, end, "] ", 0, ' ');
}
char* writeIndent(char* position, char* end, const vosdbg_Line*) {
    for (uint32_t depth = vosdbg_indentDepth(); depth > 0 && position < end; --depth) {
        *position++ = ' ';
    }
    return position;
}

const vosdbg_PrefixWriter kPrefixWriters[] = {writeOpen,  writeComponent, writeBar,
                                              writeFile,  writeBar,       writeLineNumber,
                                              writeClose, writeIndent,    nullptr};

void printThroughHook(const char* text) {
    nVOKAL100_printToDebugger(text);
}
int32_t formatThroughHook(char* buffer, size_t size, const char* format, va_list arguments) {
    return nVOKAL100_vsnPrintf(buffer, size, format, arguments);
}

// Per-thread indentation table.
struct IndentEntry {
    uint64_t threadId;
    uint32_t depth;
    uint32_t inUse; // claimed with compare-and-swap
};
static_assert(alignof(IndentEntry) >= 4);
IndentEntry gIndent[vosdbg_kIndentEntries];

uint64_t currentThreadKey() {
    return nVOKAL100_getThreadID() & 0xFFFFFFFFu;
}

IndentEntry* findEntry(uint64_t key) {
    for (auto& entry : gIndent) {
        if (__atomic_load_n(&entry.inUse, __ATOMIC_ACQUIRE) == 1 &&
            __atomic_load_n(&entry.threadId, __ATOMIC_ACQUIRE) == key) {
            return &entry;
        }
    }
    return nullptr;
}

void vformatLine(char* buffer, const vosdbg_Line* line, const char* format, va_list arguments) {
    const char* terminator = line != nullptr && line->terminator != nullptr ? line->terminator : "\n";
    size_t terminatorLength = vosdbg_strlen(terminator);
    if (terminatorLength > vosdbg_kLineSize - 1) {
        terminatorLength = vosdbg_kLineSize - 1;
    }
    char* limit = buffer + (vosdbg_kLineSize - 1 - terminatorLength);
    char* position = buffer;
    for (const vosdbg_PrefixWriter* writer = vosdbg_settings.prefixWriters;
         writer != nullptr && *writer != nullptr; ++writer) {
        position = (*writer)(position, limit, line);
    }
    size_t room = static_cast<size_t>(limit - position);
    int32_t written = vosdbg_settings.formatHook(position, room + 1, format, arguments);
    if (written > 0) {
        position += static_cast<size_t>(written) < room ? static_cast<size_t>(written) : room;
    }
    for (size_t i = 0; i < terminatorLength; ++i) {
        *position++ = terminator[i];
    }
    *position = '\0';
}

} // namespace

vosdbg_Settings vosdbg_settings = {
    vosdbg_halt, kPrefixWriters, 10, 32, 4, 4096, printThroughHook, formatThroughHook,
};

extern "C" void vosdbg_print(const char* text) {
    vosdbg_settings.printHook(text);
}

static void vprintfPlain(const char* format, va_list arguments) {
    char buffer[vosdbg_kLineSize];
    buffer[0] = '\0';
    vosdbg_settings.formatHook(buffer, sizeof(buffer), format, arguments);
    buffer[sizeof(buffer) - 1] = '\0';
    vosdbg_settings.printHook(buffer);
}

extern "C" void vosdbg_printf(const char* format, ...) {
    va_list arguments;
    va_start(arguments, format);
    vprintfPlain(format, arguments);
    va_end(arguments);
}

extern "C" void vosdbg_printLevel(uint32_t level, const char* format, ...) {
    if (level < vosdbg_settings.printThreshold) {
        return;
    }
    va_list arguments;
    va_start(arguments, format);
    vprintfPlain(format, arguments);
    va_end(arguments);
}

extern "C" void vosdbg_vappendf(const vosdbg_Line* line, const char* format, va_list arguments) {
    char buffer[vosdbg_kLineSize];
    vformatLine(buffer, line, format, arguments);
    vosdbg_settings.printHook(buffer);
}

extern "C" void vosdbg_appendf(const vosdbg_Line* line, const char* format, ...) {
    va_list arguments;
    va_start(arguments, format);
    vosdbg_vappendf(line, format, arguments);
    va_end(arguments);
}

extern "C" void vosdbg_appendLevel(uint32_t level, const vosdbg_Line* line, const char* format, ...) {
    if (level < vosdbg_settings.printThreshold) {
        return;
    }
    va_list arguments;
    va_start(arguments, format);
    vosdbg_vappendf(line, format, arguments);
    va_end(arguments);
}

void vosdbg_VarLine::appendf(const char* format, ...) {
    va_list arguments;
    va_start(arguments, format);
    vosdbg_vappendf(&line_, format, arguments);
    va_end(arguments);
}

size_t vosdbg_VarLineToBuffer::appendf(const char* format, ...) {
    if (buffer_ == nullptr || size_ == 0) {
        return size_;
    }
    va_list arguments;
    va_start(arguments, format);
    vosdbg_settings.formatHook(buffer_, size_, format, arguments);
    va_end(arguments);
    buffer_[size_ - 1] = '\0';
    return size_;
}

extern "C" size_t vosdbg_strlen(const char* text) {
    size_t length = 0;
    if (text != nullptr) {
        while (text[length] != '\0') {
            ++length;
        }
    }
    return length;
}

extern "C" char* vosdbg_strlcpy(char* destination, const char* source, size_t size) {
    if (destination == nullptr || size == 0) {
        return destination;
    }
    size_t i = 0;
    if (source != nullptr) {
        for (; i + 1 < size && source[i] != '\0'; ++i) {
            destination[i] = source[i];
        }
    }
    destination[i] = '\0';
    return destination + i;
}

extern "C" size_t vosdbg_formatUnsigned(char* digits, uint64_t value, uint32_t base, bool upperCase) {
    if (base < 2 || base > 36) {
        base = 10;
    }
    const char letterA = upperCase ? 'A' : 'a';
    char reversed[vosdbg_kDigitsSize];
    size_t count = 0;
    do {
        const uint64_t digit = value % base;
        reversed[count++] = static_cast<char>(digit < 10 ? '0' + digit : letterA + (digit - 10));
        value /= base;
    } while (value != 0);
    for (size_t i = 0; i < count; ++i) {
        digits[i] = reversed[count - 1 - i];
    }
    digits[count] = '\0';
    return count;
}

extern "C" char* vosdbg_concat(char* buffer, size_t size, size_t count, const char* const* texts) {
    if (buffer == nullptr || size == 0) {
        return buffer;
    }
    char* position = buffer;
    *position = '\0';
    for (size_t i = 0; i < count; ++i) {
        size_t room = size - static_cast<size_t>(position - buffer);
        position = vosdbg_strlcpy(position, texts[i], room);
    }
    return position;
}

extern "C" void vosdbg_acquireIndent() {
    const uint64_t key = currentThreadKey();
    if (IndentEntry* entry = findEntry(key)) {
        ++entry->depth;
        return;
    }
    for (auto& entry : gIndent) {
        uint32_t expected = 0;
        if (__atomic_compare_exchange_n(&entry.inUse, &expected, 1u, false, __ATOMIC_ACQ_REL,
                                        __ATOMIC_ACQUIRE)) {
            entry.depth = 1;
            __atomic_store_n(&entry.threadId, key, __ATOMIC_RELEASE);
            return;
        }
    }
    // No free entry: the thread goes without indentation.
}

extern "C" void vosdbg_releaseIndent() {
    IndentEntry* entry = findEntry(currentThreadKey());
    if (entry == nullptr) {
        return;
    }
    if (entry->depth > 0) {
        --entry->depth;
    }
    if (entry->depth == 0) {
        __atomic_store_n(&entry->threadId, 0, __ATOMIC_RELEASE);
        uint32_t expected = 1;
        __atomic_compare_exchange_n(&entry->inUse, &expected, 0u, false, __ATOMIC_ACQ_REL, __ATOMIC_ACQUIRE);
    }
}

extern "C" uint32_t vosdbg_indentDepth() {
    IndentEntry* entry = findEntry(currentThreadKey());
    return entry != nullptr ? entry->depth : 0;
}

extern "C" void vosdbg_halt(const vosdbg_Line* line, const char* message) {
    nVOKAL250_halt(kComponent, line != nullptr ? line->fileName : __FILE__,
                   line != nullptr ? line->lineNumber : 341, message != nullptr ? message : "halt");
}

static void reportHeader(const char* file, uint32_t line, const char* expressionText, vosdbg_Line& record) {
    vosdbg_printf("[%s|%s|%d] !!ASSERT!!\n", kComponent, file, static_cast<int>(line));
    record = vosdbg_Line{file, line, "\n"};
    vosdbg_appendf(&record, "%s", expressionText);
}

extern "C" void vosdbg_assertFailed(const char* file, uint32_t line, const char* expressionText,
                                    const char* explanation) {
    vosdbg_Line record;
    reportHeader(file, line, expressionText, record);
    if (explanation != nullptr) {
        vosdbg_printf("%s\n", explanation);
    }
    vosdbg_appendf(&record, " ");
    vosdbg_settings.fatalHook(&record, expressionText);
}

extern "C" void vosdbg_assertFailedf(const char* file, uint32_t line, const char* expressionText,
                                     const char* format, ...) {
    vosdbg_Line record;
    reportHeader(file, line, expressionText, record);
    va_list arguments;
    va_start(arguments, format);
    vosdbg_vappendf(&record, format, arguments);
    va_end(arguments);
    vosdbg_appendf(&record, " ");
    vosdbg_settings.fatalHook(&record, expressionText);
}

extern "C" void vosdbg_assertCompareFailed(const char* file, uint32_t line, const char* leftText,
                                           uint64_t leftValue, const char* operatorText,
                                           const char* rightText, uint64_t rightValue) {
    char expression[vosdbg_kLineSize];
    const char* parts[] = {"ASSERT(", leftText, ",", operatorText, ",", rightText, ")"};
    vosdbg_concat(expression, sizeof(expression), 7, parts);
    vosdbg_Line record;
    reportHeader(file, line, expression, record);
    vosdbg_VarLine operands(file, line);
    operands.appendf("%s: %lu", leftText, static_cast<unsigned long>(leftValue));
    operands.appendf("%s: %lu", rightText, static_cast<unsigned long>(rightValue));
    vosdbg_appendf(&record, " ");
    vosdbg_settings.fatalHook(&record, expression);
}
