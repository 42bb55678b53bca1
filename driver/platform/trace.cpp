#include "platform/trace.h"

#include "nVOKAL.h"
#include "platform/time.h"
#include "platform/vosdbg.h"

namespace kelvo_driver::nVOAPAL000 {

namespace {
tTrace* gTrace = nullptr;

constexpr uint64_t kUnbounded = ~static_cast<uint64_t>(0);
} // namespace

// ---- console destination -------------------------------------------------

void tConsoleTraceDestination::write(const char* text) {
    vosdbg_printf("%s", text);
}

void tConsoleTraceDestination::write(const char* text, uint64_t length) {
    // "%." length "s"
    char digits[vosdbg_kDigitsSize];
    vosdbg_formatUnsigned(digits, length, 10, false);
    const char* parts[] = {"%.", digits, "s"};
    char format[32];
    vosdbg_concat(format, sizeof(format), 3, parts);
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wformat-nonliteral"
    vosdbg_printf(format, text);
#pragma GCC diagnostic pop
}

void tConsoleTraceDestination::describe(char* buffer, uint64_t size, uint64_t* requiredSize) {
    static const char kDescription[] = " --destination apal";
    if (buffer != nullptr && size > 0) {
        vosdbg_strlcpy(buffer, kDescription, size);
    }
    if (requiredSize != nullptr) {
        *requiredSize = sizeof(kDescription);
    }
}

// ---- the stream -------------------------------------------------------------

tTrace::tTrace() : destination_(nullptr), writePosition_(line_) {
    destination_ = &console_;
    line_[0] = '\0';
}

tTrace::~tTrace() {
    if (lock_ != nullptr) {
        nVOKAL150_destroyMutex(lock_);
        lock_ = nullptr;
    }
}

tTrace* tTrace::get() {
    return gTrace;
}

void tTrace::createInstance() {
    if (gTrace == nullptr) {
        gTrace = new tTrace;
    }
}

void tTrace::destroyInstance() {
    delete gTrace;
    gTrace = nullptr;
}

void tTrace::createLock() {
    if (lockCreated_ != 0) {
        return;
    }
    lock_ = nVOKAL150_createMutex();
    if (lock_ == nullptr) {
        nVOAPALS100::tStatus local;
        KELVO_SET_STATUS(local, nVOAPALS100::tStatus::kOutOfMemory);
        return;
    }
    lockCreated_ = 1;
}

void tTrace::switchDestination(tTraceDestination* destination) {
    if (destination == nullptr) {
        return;
    }
    // The notice is a line of its own: take the line lock like beginLine does,
    // so that endLine never releases a lock this thread does not hold, and
    // keep it over the switch so no writer sees a closed destination.
    if (lock_ != nullptr) {
        nVOKAL150_acquireMutex(lock_);
    }
    write("Switching trace destination to ");
    write(destination->getName());
    put('\n');
    if (destination != destination_ && destination->open()) {
        tTraceDestination* previous = destination_;
        destination_ = destination;
        previous->close();
    }
    if (lock_ != nullptr) {
        nVOKAL150_releaseMutex(lock_);
    }
}

void tTrace::flushLine() {
    *writePosition_ = '\0';
    if (destination_ != nullptr) {
        destination_->write(line_);
    }
    writePosition_ = line_;
}

tTrace& tTrace::put(char c) {
    if (outputEnabled_ == 0) {
        return *this;
    }
    *writePosition_++ = c;
    if (c == '\n' || static_cast<uint64_t>(writePosition_ - line_) >= kLineCapacity) {
        flushLine();
    }
    return *this;
}

tTrace& tTrace::write(const char* text) {
    if (text == nullptr) {
        return *this;
    }
    for (; *text != '\0'; ++text) {
        put(*text);
    }
    return *this;
}

tTrace& tTrace::write(const char* bytes, uint64_t length) {
    if (bytes == nullptr) {
        return *this;
    }
    for (uint64_t i = 0; i < length; ++i) {
        put(bytes[i]);
    }
    return *this;
}

tTrace& tTrace::writeWide(const wchar_t* text) {
    uint64_t length = 0;
    if (text != nullptr) {
        while (text[length] != 0) {
            ++length;
        }
    }
    return writeWide(text, length);
}

tTrace& tTrace::writeWide(const wchar_t* text, uint64_t length) {
    put('L').put('"');
    for (uint64_t i = 0; text != nullptr && i < length; ++i) {
        put(static_cast<char>(static_cast<uint32_t>(text[i]) & 0xFF));
    }
    return put('"');
}

tTrace& tTrace::writeBool(bool value) {
    return write(value ? "true(1)" : "false(0)");
}

void tTrace::writeDigits(uint64_t value, uint32_t base) {
    char digits[vosdbg_kDigitsSize];
    vosdbg_formatUnsigned(digits, value, base, false);
    write(digits);
}

tTrace& tTrace::writeUnsigned(uint64_t value, uint32_t base) {
    if (base < 2 || base > 36) {
        base = 10;
    }
    if (base == 16) {
        write("0x");
    } else if (base != 10) {
        writeDigits(base, 10);
        put('#');
    }
    writeDigits(value, base);
    return *this;
}

tTrace& tTrace::writeSigned(int64_t value, uint32_t base) {
    if (value < 0) {
        put('-');
        return writeUnsigned(0 - static_cast<uint64_t>(value), base);
    }
    return writeUnsigned(static_cast<uint64_t>(value), base);
}

tTrace& tTrace::writeStatus(const nVOAPALS100_tStatus& status) {
    char buffer[kMaxTraceLine];
    buffer[0] = '\0';
    nVOAPAL200_formatStatus(&status, buffer, sizeof(buffer));
    buffer[sizeof(buffer) - 1] = '\0';
    return write(buffer);
}

tTrace& tTrace::printf(const char* format, ...) {
    if (outputEnabled_ == 0) {
        return *this;
    }
    char buffer[kMaxTraceLine];
    va_list arguments;
    va_start(arguments, format);
    int32_t length = nVOKAL100_vsnPrintf(buffer, sizeof(buffer), format, arguments);
    va_end(arguments);
    buffer[sizeof(buffer) - 1] = '\0';
    if (length < 0 || static_cast<uint64_t>(length) >= sizeof(buffer)) {
        write("!!Formatted string exceeds kMaxTraceLine characters!!");
    }
    return write(buffer);
}

tTrace& tTrace::hexDump(const void* address, uint64_t size, uint64_t groupSize) {
    static const char kHex[] = "0123456789ABCDEF";
    const uint8_t* bytes = static_cast<const uint8_t*>(address);
    if (groupSize > 16) {
        groupSize = 16;
    }
    if (groupSize > size) {
        groupSize = size;
    }
    if (groupSize == 0) {
        groupSize = 1;
    }
    auto hexByte = [&](uint8_t b) {
        put(kHex[b >> 4]);
        put(kHex[b & 0xF]);
    };
    for (uint64_t lineStart = 0; lineStart < size; lineStart += 16) {
        uint32_t lineAddress = static_cast<uint32_t>(reinterpret_cast<uintptr_t>(bytes + lineStart));
        for (int shift = 28; shift >= 0; shift -= 4) {
            put(kHex[(lineAddress >> shift) & 0xF]);
        }
        write(": ");
        // Every line covers 16 positions: whole groups of 4 or 2 bytes while
        // enough bytes remain, single bytes otherwise, so no byte of a short
        // tail (or of a group size without a wide form) is skipped.
        uint64_t position = lineStart;
        const uint64_t lineEnd = lineStart + 16;
        while (position < lineEnd) {
            uint64_t remaining = position < size ? size - position : 0;
            if ((groupSize == 4 || groupSize == 2) && remaining >= groupSize) {
                // The group's value in memory order of this machine: most significant byte first.
                for (uint64_t k = groupSize; k > 0; --k) {
                    hexByte(bytes[position + k - 1]);
                }
                position += groupSize;
            } else {
                if (position < size) {
                    hexByte(bytes[position]);
                } else {
                    write("XX");
                }
                ++position;
            }
            put(' ');
        }
        write(": ");
        for (uint64_t k = lineStart; k < lineEnd && k < size; ++k) {
            uint8_t b = bytes[k];
            put(b >= 32 && b <= 126 ? static_cast<char>(b) : '.');
        }
        put('\n');
    }
    return *this;
}

tTrace& tTrace::apply(const tTraceManipulator& manipulator) {
    manipulator.apply(*this);
    return *this;
}

void tTrace::prefixChar(char c) {
    if (written_ >= limit_) {
        return;
    }
    put(c);
    ++written_;
}

void tTrace::prefixText(const char* text) {
    for (; text != nullptr && *text != '\0'; ++text) {
        prefixChar(*text);
    }
}

void tTrace::writeVersion(uint32_t version) {
    static const char kPhase[] = {'d', 'a', 'b', 'f'};
    char buffer[48];
    char* position = buffer;
    auto decimal = [&](uint32_t value) { position += vosdbg_formatUnsigned(position, value, 10, false); };
    decimal(version >> 24);
    *position++ = '.';
    decimal((version >> 20) & 0xF);
    *position++ = '.';
    decimal((version >> 16) & 0xF);
    *position++ = kPhase[(version >> 14) & 0x3];
    decimal(version & 0x3FFF);
    *position = '\0';
    prefixText(buffer);
}

void tTrace::beginLine(const char* name, uint32_t version, uint64_t number, const char* file,
                       uint64_t secondNumber, uint32_t kind) {
    if (lock_ != nullptr) {
        nVOKAL150_acquireMutex(lock_);
    }
    if (outputEnabled_ == 0) {
        return;
    }
    written_ = 0;
    limit_ = limitPrefix_ != 0 ? (prefixWidth_ == 0 ? 0 : prefixWidth_ - 1) : kUnbounded;
    bool any = false;
    auto separator = [&] {
        prefixText(any ? "--" : "[");
        any = true;
    };
    char digits[vosdbg_kDigitsSize];
    auto decimal = [&](uint64_t value) {
        vosdbg_formatUnsigned(digits, value, 10, false);
        prefixText(digits);
    };
    if (showName_ != 0) {
        separator();
        prefixText(name);
    }
    if (showVersion_ != 0) {
        separator();
        writeVersion(version);
    }
    if (showNumber_ != 0) {
        separator();
        decimal(number);
    }
    if (showFile_ != 0) {
        separator();
        const char* shown = file;
        if (fullPath_ == 0 && file != nullptr) {
            for (const char* p = file; *p != '\0'; ++p) {
                if (*p == '/' || *p == '\\') {
                    shown = p + 1;
                }
            }
        }
        prefixText(shown);
    }
    if (showThreadId_ != 0) {
        separator();
        vosdbg_formatUnsigned(digits, nVOKAL100_getThreadID(), 16, false);
        prefixText("0x");
        prefixText(digits);
    }
    if (showTimerCount_ != 0) {
        separator();
        decimal(static_cast<uint64_t>(nVOAPAL200_getTimerCount()));
    }
    if (showSecondNumber_ != 0) {
        separator();
        decimal(secondNumber);
    }
    if (!(limitPrefix_ != 0 && prefixWidth_ == 0)) {
        const uint64_t padTo = prefixWidth_ == 0 ? 0 : prefixWidth_ - 1;
        while (written_ < padTo) {
            put(any ? '-' : ' ');
            ++written_;
        }
        write(any ? "] " : "  ");
    }
    if (kind == 2) {
        --depth_;
    }
    if (static_cast<int64_t>(depth_) < 0) {
        depth_ = 0;
    } else if (indent_ != 0) {
        for (uint64_t i = 0; i < depth_; ++i) {
            write("  ");
        }
    }
    if (kind == 1) {
        ++depth_;
    }
}

void tTrace::endLine() {
    put('\n');
    if (lock_ != nullptr) {
        nVOKAL150_releaseMutex(lock_);
    }
}

void tTrace::reportAssertion(const char* kind, const char* name, uint32_t version, uint64_t number,
                             const char* file, const char* message) {
    beginLine(name, version, number, file, 105, 0);
    const char* k = kind != nullptr ? kind : "default";
    auto equals = [](const char* a, const char* b) {
        while (*a != '\0' && *a == *b) {
            ++a;
            ++b;
        }
        return *a == *b;
    };
    if (equals(k, "default")) {
        write("ASSERTION FAILED: ");
    } else if (equals(k, "warning")) {
        write("ASSERTION WARNING: ");
    } else {
        write("ASSERTION FAILED (");
        write(k);
        write("): ");
    }
    write(message);
    endLine();
}

void tTrace::debugBreak(const char* kind) {
    const char* k = kind != nullptr ? kind : "default";
    const char* warning = "warning";
    const char* a = k;
    const char* b = warning;
    while (*a != '\0' && *a == *b) {
        ++a;
        ++b;
    }
    if (*a == *b) {
        return;
    }
    vosdbg_settings.fatalHook(nullptr, "APAL debug break");
}

bool tTrace::assertionsEnabled() {
    return true;
}

bool tTrace::assertionsEnabledForKind(const char*) {
    return true;
}

bool tTrace::assertionsEnabledForName(const char*) {
    return true;
}

bool tTrace::assertionsEnabledForVersion(uint32_t) {
    return true;
}

bool tTrace::assertionsEnabledForNumber(uint64_t) {
    return true;
}

bool tTrace::assertionsEnabledForFile(const char*) {
    return true;
}

// ---- scope tracer -------------------------------------------------------------

tTraceScope::tTraceScope(const char* name, uint32_t version, uint64_t number, const char* file,
                         uint64_t secondNumber, const char* description, const void* object,
                         const nVOAPALS100_tStatus* status, tTrace& stream)
    : name_(name), version_(version), number_(number), file_(file), secondNumber_(secondNumber),
      description_(description), object_(object), status_(status), stream_(stream) {
    stream_.beginLine(name_, version_, number_, file_, secondNumber_, 1);
    if (description_ != nullptr) {
        stream_.write(description_).write("; ");
    }
    if (object_ != nullptr) {
        stream_.write("this=").writeUnsigned(reinterpret_cast<uintptr_t>(object_), 16).write("; ");
    }
    if (status_ != nullptr) {
        stream_.write("tStatus code=").writeSigned(status_->code).write(" ");
    }
    stream_.write("{");
    stream_.endLine();
}

tTraceScope::~tTraceScope() {
    stream_.beginLine(name_, version_, number_, file_, secondNumber_, 2);
    stream_.write("} ");
    if (status_ != nullptr) {
        stream_.write("tStatus code=").writeSigned(status_->code).write("; ");
    }
    if (description_ != nullptr) {
        stream_.write(description_);
    }
    stream_.endLine();
}

} // namespace kelvo_driver::nVOAPAL000
