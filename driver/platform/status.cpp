#include "platform/status.h"

#include "nVOKAL.h"
#include "platform/vosdbg.h"

namespace {

using nVOAPALS100::tStatusDebug;

bool isFull(const nVOAPALS100_tStatus* status) {
    return status->sizeWord >= nVOAPALS100_tStatus_kDebugSize1;
}

// Only records whose size word says 216 or more are full records, and only
// tStatusDebug objects carry that size word.
tStatusDebug* full(nVOAPALS100_tStatus* status) {
    return static_cast<tStatusDebug*>(static_cast<nVOAPALS100::tStatus*>(status));
}
const tStatusDebug* full(const nVOAPALS100_tStatus* status) {
    return static_cast<const tStatusDebug*>(static_cast<const nVOAPALS100::tStatus*>(status));
}

void clearDetails(tStatusDebug* status) {
    status->componentName[0] = '\0';
    status->fileName[0] = '\0';
    status->lineNumber = 0;
    status->stackTrace[0] = 0;
}

// Bounded formatting that appends at *length; returns false when it did not fit.
int64_t appendFormat(char* buffer, uint64_t bufferSize, int64_t length, const char* format, ...)
    __attribute__((format(printf, 4, 5)));
int64_t appendFormat(char* buffer, uint64_t bufferSize, int64_t length, const char* format, ...) {
    va_list arguments;
    va_start(arguments, format);
    uint64_t used = static_cast<uint64_t>(length);
    int32_t written = nVOKAL100_vsnPrintf(buffer + used, bufferSize - used, format, arguments);
    va_end(arguments);
    return written < 0 ? -1 : length + written;
}

} // namespace

nVOAPALS100::tStatusDebug::tStatusDebug() {
    sizeWord = nVOAPALS100_tStatus_kDebugSize1;
    code = 0;
    nVOKAL240_memSet(componentName, 0, sizeof(componentName));
    nVOKAL240_memSet(fileName, 0, sizeof(fileName));
    lineNumber = 0;
    nVOKAL240_memSet(stackTrace, 0, sizeof(stackTrace));
}

nVOAPALS100::tStatusDebug::tStatusDebug(const tStatusDebug& other) : tStatus(other) {
    sizeWord = nVOAPALS100_tStatus_kDebugSize1;
    nVOKAL180_memCpy(componentName, other.componentName, sizeof(componentName));
    nVOKAL180_memCpy(fileName, other.fileName, sizeof(fileName));
    lineNumber = other.lineNumber;
    nVOKAL180_memCpy(stackTrace, other.stackTrace, sizeof(stackTrace));
}

nVOAPALS100::tStatusDebug& nVOAPALS100::tStatusDebug::operator=(const tStatusDebug& other) {
    if (this != &other) {
        code = other.code;
        nVOKAL180_memCpy(componentName, other.componentName, sizeof(componentName));
        nVOKAL180_memCpy(fileName, other.fileName, sizeof(fileName));
        lineNumber = other.lineNumber;
        nVOKAL180_memCpy(stackTrace, other.stackTrace, sizeof(stackTrace));
    }
    return *this;
}

extern "C" void nVOAPAL200_initializeStatus(nVOAPALS100_tStatus* status) {
    VOSDBG_ASSERT(status != 0);
    constexpr uint64_t builtSize = sizeof(nVOAPALS100_tStatus);
    static_assert(builtSize == nVOAPALS100_tStatus_kReleaseSize1 ||
                      builtSize == nVOAPALS100_tStatus_kDebugSize1,
                  "nVOAPALS100_tStatus is an unexpected size");
    status->sizeWord = builtSize;
    status->code = 0;
}

extern "C" void nVOAPAL200_clearStatus(nVOAPALS100_tStatus* status) {
    VOSDBG_ASSERT(status != 0);
    status->code = 0;
    if (isFull(status)) {
        clearDetails(full(status));
    }
}

extern "C" bool nVOAPAL200_statusIsNotFatal(const nVOAPALS100_tStatus* status) {
    VOSDBG_ASSERT(status != 0);
    return status->code >= 0;
}

extern "C" int64_t nVOAPAL200_getStatusCode(const nVOAPALS100_tStatus* status) {
    VOSDBG_ASSERT(status != 0);
    return status->code;
}

extern "C" bool nVOAPAL200_setStatus(nVOAPALS100_tStatus* status, int64_t code, const char* componentName,
                                     const char* fileName, uint64_t line) {
    VOSDBG_ASSERT(status != 0);
    const int64_t current = status->code;
    const bool store = current == 0 ? code != 0 : (current > 0 && code < 0);
    if (!store) {
        return false;
    }
    status->code = code;
    if (!isFull(status)) {
        return true;
    }
    VOSDBG_ASSERT(componentName != 0);
    VOSDBG_ASSERT(fileName != 0);
    tStatusDebug* record = full(status);

    size_t i = 0;
    for (; i < sizeof(record->componentName) && componentName[i] != '\0'; ++i) {
        record->componentName[i] = componentName[i];
    }
    for (; i < sizeof(record->componentName); ++i) {
        record->componentName[i] = '\0';
    }
    record->componentName[sizeof(record->componentName) - 1] = '\0';

    constexpr size_t kFileField = sizeof(record->fileName); // 101
    size_t fileLength = vosdbg_strlen(fileName);
    i = 0;
    for (; i < kFileField && fileName[i] != '\0'; ++i) {
        record->fileName[i] = fileName[i];
    }
    for (; i < kFileField; ++i) {
        record->fileName[i] = '\0';
    }
    record->fileName[kFileField - 1] = '\0';
    if (fileLength > kFileField - 1) {
        // First 49 characters, "..", last 49 characters.
        record->fileName[49] = '.';
        record->fileName[50] = '.';
        const char* tail = fileName + fileLength - 49;
        for (size_t k = 0; k <= 49; ++k) { // the last 49 characters and the NUL
            record->fileName[51 + k] = tail[k];
        }
    }
    record->lineNumber = line;
    record->stackTrace[0] = 0;
    return true;
}

extern "C" bool nVOAPAL200_mergeStatus(nVOAPALS100_tStatus* status,
                                       const nVOAPALS100_tStatus* statusToAssign) {
    VOSDBG_ASSERT(status != 0);
    VOSDBG_ASSERT(statusToAssign != 0);
    bool stored;
    if (isFull(statusToAssign)) {
        const tStatusDebug* source = full(statusToAssign);
        stored = nVOAPAL200_setStatus(status, source->code, source->componentName, source->fileName,
                                      source->lineNumber);
    } else {
        stored = nVOAPAL200_setStatus(status, statusToAssign->code, "", "", 0);
    }
    if (stored && isFull(status) && isFull(statusToAssign)) {
        tStatusDebug* destination = full(status);
        const tStatusDebug* source = full(statusToAssign);
        for (size_t k = 0; k < 10; ++k) {
            destination->stackTrace[k] = source->stackTrace[k];
            if (source->stackTrace[k] == 0) {
                break;
            }
        }
    }
    return stored;
}

extern "C" int64_t nVOAPAL200_formatStatus(const nVOAPALS100_tStatus* status, char* buffer,
                                           uint64_t bufferSize) {
    VOSDBG_ASSERT(status != 0);
    if (buffer == nullptr || bufferSize == 0) {
        return -1;
    }
    int64_t length = appendFormat(buffer, bufferSize, 0, "\ntStatus contents:\n\tcode = %ld\n",
                                  static_cast<long>(status->code));
    if (!isFull(status) || status->code == 0) {
        return length >= 0 && static_cast<uint64_t>(length) < bufferSize ? length : -1;
    }
    if (length < 1 || static_cast<uint64_t>(length) >= bufferSize) {
        return -1;
    }
    const tStatusDebug* record = full(status);
    length =
        appendFormat(buffer, bufferSize, length,
                     "\tcomponent name = %s\n\tfile name: %s\n\tline number = %lu\n\tstack trace:\n",
                     record->componentName, record->fileName, static_cast<unsigned long>(record->lineNumber));
    for (size_t k = 0; k < 10; ++k) {
        if (length < 1 || static_cast<uint64_t>(length) >= bufferSize) {
            return -1;
        }
        length = appendFormat(buffer, bufferSize, length, "\t\t0x%016lx\n",
                              static_cast<unsigned long>(record->stackTrace[k]));
        if (record->stackTrace[k] == 0) {
            break;
        }
    }
    return length >= 0 && static_cast<uint64_t>(length) < bufferSize ? length : -1;
}

extern "C" nVOAPALS100_tStatus* nVOAPAL200_createStatus() {
    auto* status = static_cast<nVOAPALS100_tStatus*>(nVOKAL100_malloc(sizeof(nVOAPALS100_tStatus)));
    if (status == nullptr) {
        nVOAPALS100::tStatus local;
        KELVO_SET_STATUS(local, nVOAPALS100::tStatus::kOutOfMemory);
        return nullptr;
    }
    nVOAPAL200_initializeStatus(status);
    return status;
}
