// Register-map test helpers: the operations by number, each with a fresh status
// (returning its code), and a recording dispatcher.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "regs/register_map.h"
#include "status_code.h"

namespace kelvo_test {

class MapProbe {
public:
    using tStatus = nVOAPALS100::tStatus;
    explicit MapProbe(arm::tRegisterMapBase& map) : map_(map) {}

    int64_t get(uint32_t id, uint64_t& value) {
        return codeOf([&](tStatus& s) { map_.get(id, value, s, 0); });
    }
    int64_t set(uint32_t id, uint64_t value) {
        return codeOf([&](tStatus& s) { map_.set(id, value, s, 0); });
    }
    int64_t read(uint32_t id, uint64_t& value) {
        return codeOf([&](tStatus& s) { map_.read(id, value, s, 0); });
    }
    int64_t write(uint32_t id, uint64_t value, bool force = false) {
        return codeOf([&](tStatus& s) { map_.write(id, value, force, s, 0); });
    }
    int64_t flush(uint32_t id, bool force = false) {
        return codeOf([&](tStatus& s) { map_.flush(id, force, s, 0); });
    }
    int64_t refresh(uint32_t id) {
        return codeOf([&](tStatus& s) { map_.refresh(id, s, 0); });
    }

    int64_t format(uint32_t id, uint32_t capacity = 32) {
        arm::FieldType types[32] = {};
        uint64_t masks[32] = {};
        return codeOf([&](tStatus& s) { map_.getRegisterFormat(id, capacity, types, masks, s); });
    }

private:
    arm::tRegisterMapBase& map_;
};

// A dispatcher that records registrations in order; remove reports -240024 for an absent name.
class RegistrationLog {
public:
    using tStatus = nVOAPALS100::tStatus;
    void add(const char* name, arm::DynamicAccessInterfaceBase<tStatus>& map, tStatus& status) {
        if (status.isFatal()) {
            return;
        }
        names.emplace_back(name);
        maps.push_back(&map);
    }
    void remove(const char* name, tStatus& status) {
        removed.emplace_back(name);
        for (size_t i = 0; i < names.size(); ++i) {
            if (names[i] == name) {
                names.erase(names.begin() + static_cast<long>(i));
                maps.erase(maps.begin() + static_cast<long>(i));
                return;
            }
        }
        KELVO_SET_STATUS(status, KELVO_STATUS_NAME_NOT_FOUND);
    }
    std::vector<std::string> names;
    std::vector<arm::DynamicAccessInterfaceBase<tStatus>*> maps;
    std::vector<std::string> removed;
};

} // namespace kelvo_test
