// The uniform face by number of every register map: operations on a register
// or field named by its field identifier, and whole-map operations.
#pragma once

#include <stdint.h>

#include "platform/memory.h"
#include "platform/status.h"

namespace arm {

// The number by which user mode names a register or a field:
// bits 0-23 register key, 24-29 field selector (the field's lowest bit with its
// six bits reversed), 30 read-only field (in a whole-register identifier: the
// read view of a register with both kinds of field), 31 whole register.
using tFieldId = uint32_t;

// Field type reported per field by getRegisterFormat, from the field's width.
enum FieldType : uint32_t {
    kFieldTypeOneBit = 0, // 1 bit
    kFieldTypeUpTo8 = 1,  // 2 to 8 bits
    kFieldTypeUpTo16 = 2, // 9 to 16 bits
    kFieldTypeUpTo32 = 3, // 17 to 32 bits
};

constexpr FieldType fieldTypeOfWidth(uint32_t width) {
    return width <= 1    ? kFieldTypeOneBit
           : width <= 8  ? kFieldTypeUpTo8
           : width <= 16 ? kFieldTypeUpTo16
                         : kFieldTypeUpTo32;
}

// Every operation first looks at the status: when it already holds an error
// the operation does nothing and writes no output argument. `extra` is a
// trailing number the register-map I/O controls pass; no map reads it.
template <typename StatusType> class DynamicAccessInterfaceBase : public kelvo_driver::nVOAPAL000::tObject {
public:
    // Field or whole register from the soft copy, right-aligned; no bus access.
    virtual void get(uint32_t id, uint64_t& value, StatusType& status, uint32_t extra) = 0;
    // Inserts the value into the soft copy; dirty only when the soft copy changed.
    virtual void set(uint32_t id, uint64_t value, StatusType& status, uint32_t extra) = 0;
    // Soft-copy register: refresh, then as get; data port: one read, then the field.
    virtual void read(uint32_t id, uint64_t& value, StatusType& status, uint32_t extra) = 0;
    // Soft-copy register: as set, then flush; data port: one write of the field alone.
    virtual void write(uint32_t id, uint64_t value, bool force, StatusType& status, uint32_t extra) = 0;
    virtual void flush(uint32_t id, bool force, StatusType& status, uint32_t extra) = 0;
    virtual void refresh(uint32_t id, StatusType& status, uint32_t extra) = 0;
    // The register's fields, lowest bit first. `count` is the capacity of both arrays on entry.
    virtual void getRegisterFormat(uint32_t id, uint32_t& count, FieldType* types, uint64_t* masks,
                                   StatusType& status) const = 0;
    virtual void flushRegMap(bool force, StatusType& status) = 0;
    virtual void refreshRegMap(StatusType& status) = 0;
    virtual void markDirtyRegMap() = 0;
    virtual const char* getVersion() const = 0;
    virtual const char* getOldestCompatibleVersion() const = 0;
    virtual ~DynamicAccessInterfaceBase() = default;
    // Returns every register to its constructed state (maps without windows keep the default).
    virtual void reinitialize() {}
};

} // namespace arm
