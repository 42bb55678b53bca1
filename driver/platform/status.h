// The status object: every operation that can fail reports through one,
// passed by reference as its last argument. First error wins; an error
// replaces a warning; setting 0 never clears. Every code's name and meaning
// is in the status-code catalogue, kelvo/status_codes.h (driver/include).
#pragma once

#include <stddef.h>
#include <stdint.h>

#include "kelvo/status_codes.h"

// Record layout shared by both forms. The short form is the first 16 bytes.
struct nVOAPALS100_tStatus {
    uint64_t sizeWord;
    int64_t code;
};

constexpr uint64_t nVOAPALS100_tStatus_kReleaseSize1 = 16;
constexpr uint64_t nVOAPALS100_tStatus_kDebugSize1 = 216;

static_assert(sizeof(nVOAPALS100_tStatus) == 16);
static_assert(offsetof(nVOAPALS100_tStatus, code) == 8);

extern "C" {
void nVOAPAL200_initializeStatus(nVOAPALS100_tStatus* status);
void nVOAPAL200_clearStatus(nVOAPALS100_tStatus* status);
bool nVOAPAL200_statusIsNotFatal(const nVOAPALS100_tStatus* status);
int64_t nVOAPAL200_getStatusCode(const nVOAPALS100_tStatus* status);
bool nVOAPAL200_setStatus(nVOAPALS100_tStatus* status, int64_t code, const char* componentName,
                          const char* fileName, uint64_t line);
bool nVOAPAL200_mergeStatus(nVOAPALS100_tStatus* status, const nVOAPALS100_tStatus* statusToAssign);
int64_t nVOAPAL200_formatStatus(const nVOAPALS100_tStatus* status, char* buffer, uint64_t bufferSize);
nVOAPALS100_tStatus* nVOAPAL200_createStatus();
}

// Driver codes of the form 0xBFFAxxxx are negative 32-bit values: they must be
// sign-extended wherever they enter a 64-bit status code.
constexpr int64_t kelvoDriverCode(uint32_t word) {
    return static_cast<int32_t>(word);
}

namespace nVOAPALS100 {

// The driver's own status object: the short form (16 bytes).
class tStatus : public nVOAPALS100_tStatus {
public:
    static constexpr int64_t kSuccess = 0;
    static constexpr int64_t kOutOfMemory = KELVO_STATUS_OUT_OF_MEMORY;
    static constexpr int64_t kPageLockFailed = KELVO_STATUS_PAGE_LOCK_FAILED;
    static constexpr int64_t kNotImplemented = KELVO_STATUS_NOT_IMPLEMENTED;
    static constexpr int64_t kUnsupportedValue = KELVO_STATUS_UNSUPPORTED_VALUE;
    static constexpr int64_t kInvalidParameter = KELVO_STATUS_INVALID_PARAMETER;
    static constexpr int64_t kNotAccessible = KELVO_STATUS_NOT_ACCESSIBLE;
    static constexpr int64_t kTimedOut = KELVO_STATUS_TIMED_OUT;
    static constexpr int64_t kUnexpectedKernelResult = KELVO_STATUS_UNEXPECTED_KERNEL_RESULT;
    static constexpr int64_t kSessionClosing = KELVO_STATUS_SESSION_CLOSING;
    static constexpr int64_t kSetupTargetReached = KELVO_STATUS_SETUP_TARGET_REACHED;
    static constexpr int64_t kUnsupportedFormat = KELVO_STATUS_UNSUPPORTED_FORMAT;
    static constexpr int64_t kBufferTooSmall = KELVO_STATUS_BUFFER_TOO_SMALL;
    static constexpr int64_t kInvalidState = KELVO_STATUS_INVALID_STATE;
    static constexpr int64_t kIOGateClosed = KELVO_STATUS_IO_GATE_CLOSED;
    static constexpr int64_t kWaitInterrupted = KELVO_STATUS_WAIT_INTERRUPTED;

    // What nVOAPAL200_initializeStatus writes, without the call: every request builds a few.
    tStatus() : nVOAPALS100_tStatus{nVOAPALS100_tStatus_kReleaseSize1, kSuccess} {}
    // A copy takes the code only: the record keeps its own form, so a full
    // record copied into a short one never makes it claim the detail fields.
    tStatus(const tStatus& other) : nVOAPALS100_tStatus{nVOAPALS100_tStatus_kReleaseSize1, other.code} {}
    tStatus& operator=(const tStatus& other) {
        code = other.code;
        return *this;
    }

    bool isSuccess() const { return code == 0; }
    bool isNotFatal() const { return code >= 0; }
    bool isFatal() const { return code < 0; }
    int64_t getCode() const { return code; }
    void clear() { nVOAPAL200_clearStatus(this); }
    bool setCode(int64_t newCode, const char* component, const char* file, uint64_t line) {
        return nVOAPAL200_setStatus(this, newCode, component, file, line);
    }
    bool merge(const nVOAPALS100_tStatus& other) { return nVOAPAL200_mergeStatus(this, &other); }
};

// The full form (216 bytes), with the origin of its code. Operations read its
// detail fields only when the size word says 216 or more.
class tStatusDebug : public tStatus {
public:
    char componentName[10];
    char fileName[101];
    uint64_t lineNumber;
    uint64_t stackTrace[10];

    tStatusDebug();
    tStatusDebug(const tStatusDebug& other);
    tStatusDebug& operator=(const tStatusDebug& other);
};

} // namespace nVOAPALS100

#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Winvalid-offsetof"
static_assert(sizeof(nVOAPALS100::tStatus) == 16);
static_assert(sizeof(nVOAPALS100::tStatusDebug) == 216);
static_assert(offsetof(nVOAPALS100::tStatusDebug, code) == 8);
static_assert(offsetof(nVOAPALS100::tStatusDebug, componentName) == 16);
static_assert(offsetof(nVOAPALS100::tStatusDebug, fileName) == 26);
static_assert(offsetof(nVOAPALS100::tStatusDebug, lineNumber) == 128);
static_assert(offsetof(nVOAPALS100::tStatusDebug, stackTrace) == 136);
#pragma GCC diagnostic pop

// The component every code of this driver is set with.
#define KELVO_COMPONENT "vokelvo_driver"

// Sets a code on a status object with this source position.
#define KELVO_SET_STATUS(statusRef, codeValue)                                                               \
    nVOAPAL200_setStatus(&(statusRef), static_cast<int64_t>(codeValue), KELVO_COMPONENT, __FILE__, __LINE__)
