// A front-end accessor for register-map tests: memory that records and can fail accesses.
#pragma once

#include <cstdint>
#include <map>
#include <vector>

#include "platform/status.h"
#include "regs/front_end_accessor.h"
#include "regs/register_map.h"

namespace kelvo_test {

struct BusAccess {
    char op; // 'R' or 'W'
    uint32_t offset;
    uint32_t value;
    bool operator==(const BusAccess&) const = default;
};

class FakeAccessor : public voquantasharedsource::FrontEndAccessorInterface {
public:
    void write32(uint32_t offset, uint32_t value, nVOAPALS100::tStatus& status) override {
        if (status.isFatal()) {
            return;
        }
        log.push_back({'W', offset, value});
        if (!failNow(status)) {
            memory[offset] = value;
        }
    }
    uint32_t read32(uint32_t offset, nVOAPALS100::tStatus& status) override {
        if (status.isFatal()) {
            return 0xFFFFFFFF;
        }
        log.push_back({'R', offset, memory[offset]});
        return failNow(status) ? 0xFFFFFFFF : memory[offset];
    }

    void failNext(int count, int64_t code = -50400) {
        failCount_ = count;
        failCode_ = code;
    }
    std::vector<uint32_t> offsets(char op) const {
        std::vector<uint32_t> result;
        for (const BusAccess& a : log) {
            if (a.op == op) {
                result.push_back(a.offset);
            }
        }
        return result;
    }
    size_t count(char op) const { return offsets(op).size(); }

    std::vector<BusAccess> log;
    std::map<uint32_t, uint32_t> memory;

private:
    bool failNow(nVOAPALS100::tStatus& status) {
        if (failCount_ <= 0) {
            return false;
        }
        --failCount_;
        KELVO_SET_STATUS(status, failCode_);
        return true;
    }
    int failCount_ = 0;
    int64_t failCode_ = 0;
};

constexpr int64_t kNotImplemented = KELVO_STATUS_NOT_IMPLEMENTED;
constexpr int64_t kUnknownId = KELVO_STATUS_INVALID_PARAMETER;
constexpr int64_t kOutsideWindow = KELVO_STATUS_NOT_ACCESSIBLE;
constexpr int64_t kBufferTooSmall = KELVO_STATUS_BUFFER_TOO_SMALL;

} // namespace kelvo_test
