// A register map that keeps nothing and touches no register: every get and
// read answers Value, and it names itself Version. For the benchmarks that
// time a request or a lookup by name without a register access.
#pragma once

#include <stdint.h>

#include "regs/dynamic_access.h"

namespace kelvo_bench {

template <uint64_t Value, const char* Version>
class SoftMap : public arm::DynamicAccessInterfaceBase<nVOAPALS100::tStatus> {
    using tStatus = nVOAPALS100::tStatus;

public:
    void get(uint32_t, uint64_t& value, tStatus&, uint32_t) override { value = Value; }
    void set(uint32_t, uint64_t, tStatus&, uint32_t) override {}
    void read(uint32_t, uint64_t& value, tStatus&, uint32_t) override { value = Value; }
    void write(uint32_t, uint64_t, bool, tStatus&, uint32_t) override {}
    void flush(uint32_t, bool, tStatus&, uint32_t) override {}
    void refresh(uint32_t, tStatus&, uint32_t) override {}
    void getRegisterFormat(uint32_t, uint32_t&, arm::FieldType*, uint64_t*, tStatus&) const override {}
    void flushRegMap(bool, tStatus&) override {}
    void refreshRegMap(tStatus&) override {}
    void markDirtyRegMap() override {}
    const char* getVersion() const override { return Version; }
    const char* getOldestCompatibleVersion() const override { return Version; }
};

} // namespace kelvo_bench
