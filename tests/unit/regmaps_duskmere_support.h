// Helpers of the Duskmere register-map tests: the operations by number.
#pragma once

#include <cstdint>
#include <sstream>
#include <string>
#include <vector>

#include "regs/register_map.h"
#include "regs_fake_accessor.h"
#include "test_support.h"

// In a namespace of their own: other tests have helpers of the same names.
namespace kelvo_test::duskmere {

// Operations by number, each on a fresh status; they return the status code.
struct ById {
    arm::tRegisterMapBase& map;
    int64_t get(uint32_t id, uint64_t& value) {
        nVOAPALS100::tStatus s;
        map.get(id, value, s, 0);
        return s.getCode();
    }
    uint64_t get(uint32_t id) {
        uint64_t value = 0xDEAD;
        get(id, value);
        return value;
    }
    int64_t set(uint32_t id, uint64_t value) {
        nVOAPALS100::tStatus s;
        map.set(id, value, s, 0);
        return s.getCode();
    }
    int64_t read(uint32_t id, uint64_t& value) {
        nVOAPALS100::tStatus s;
        map.read(id, value, s, 0);
        return s.getCode();
    }
    int64_t write(uint32_t id, uint64_t value, bool force = false) {
        nVOAPALS100::tStatus s;
        map.write(id, value, force, s, 0);
        return s.getCode();
    }
    int64_t flush(uint32_t id, bool force = false) {
        nVOAPALS100::tStatus s;
        map.flush(id, force, s, 0);
        return s.getCode();
    }
    int64_t refresh(uint32_t id) {
        nVOAPALS100::tStatus s;
        map.refresh(id, s, 0);
        return s.getCode();
    }
};

} // namespace kelvo_test::duskmere
