// The sequencer's 64-bit command words and the command classes that build
// them. A class holds one word and nothing else: its constructor stores the
// class's default word (opcode and fixed sub-fields) and it offers accessors
// for the fields its users may change. Field stores neither check nor mask
// the value (the caller passes values that fit); setRegAddress is the one
// checked setter.
//
// Layout (bit 0 least significant): opcode 63..58, A 57..55, B 54..52,
// C 51..48, D 47..44, E 43..40, F 39..36, G 35..32, regAddress 47..32
// (overlapping D..G), data 31..0.
#pragma once

#include <stdint.h>

#include "platform/vosdbg.h"

namespace wexmoortools {

using Command = uint64_t;
static_assert(sizeof(Command) == 8);

namespace field {
struct Layout {
    uint32_t lsb;
    uint64_t mask;
};
inline constexpr Layout kA{55, 0x0380000000000000ull};
inline constexpr Layout kB{52, 0x0070000000000000ull};
inline constexpr Layout kC{48, 0x000F000000000000ull};
inline constexpr Layout kD{44, 0x0000F00000000000ull};
inline constexpr Layout kE{40, 0x00000F0000000000ull};
inline constexpr Layout kF{36, 0x000000F000000000ull};
inline constexpr Layout kG{32, 0x0000000F00000000ull};
inline constexpr Layout kRegAddress{32, 0x0000FFFF00000000ull};
inline constexpr Layout kData{0, 0x00000000FFFFFFFFull};

constexpr Command store(Command word, Layout layout, uint64_t value) {
    return (word & ~layout.mask) | (value << layout.lsb);
}
constexpr uint64_t load(Command word, Layout layout) {
    return (word & layout.mask) >> layout.lsb;
}
} // namespace field

// One word with the accessors every class shares; a class makes public only
// those of its own fields.
template <typename Derived, Command kDefault> class CommandBase {
public:
    constexpr CommandBase() = default;
    constexpr Command getRaw() const { return word_; }

protected:
    constexpr Derived& storeField(field::Layout layout, uint64_t value) {
        word_ = field::store(word_, layout, value);
        return static_cast<Derived&>(*this);
    }
    constexpr uint32_t loadField(field::Layout layout) const {
        return static_cast<uint32_t>(field::load(word_, layout));
    }
    Derived& storeRegAddress(uint32_t regAddress, const char* message) {
        VOSDBG_ASSERT_MSG(regAddress <= 65535, message);
        // A value out of range leaves the word as it was.
        if (regAddress <= 65535) {
            word_ = field::store(word_, field::kRegAddress, regAddress);
        }
        return static_cast<Derived&>(*this);
    }

    Command word_ = kDefault;
};

#define WEXMOOR_FIELD(Name, Layout)                                                                          \
    constexpr uint32_t get##Name() const {                                                                   \
        return this->loadField(Layout);                                                                      \
    }                                                                                                        \
    constexpr auto& set##Name(uint32_t value) {                                                              \
        return this->storeField(Layout, value);                                                              \
    }

#define WEXMOOR_DATA_FIELD()                                                                                 \
    constexpr uint32_t getData() const {                                                                     \
        return this->loadField(field::kData);                                                                \
    }                                                                                                        \
    constexpr auto& setData(uint32_t value) {                                                                \
        return this->storeField(field::kData, value);                                                        \
    }

#define WEXMOOR_REG_ADDRESS(ClassName)                                                                       \
    constexpr uint16_t getRegAddress() const {                                                               \
        return static_cast<uint16_t>(this->loadField(field::kRegAddress));                                   \
    }                                                                                                        \
    auto& setRegAddress(uint32_t regAddress) {                                                               \
        return this->storeRegAddress(regAddress, "ASSERT(regAddress <= 65535) The given value is too large " \
                                                 "for field 'regAddress' of command '" #ClassName "'");      \
    }

// A, B, C, data and regAddress.
#define WEXMOOR_ABC_DATA_REG_COMMAND(ClassName, Default)                                                     \
    class ClassName : public CommandBase<ClassName, Default> {                                               \
    public:                                                                                                  \
        WEXMOOR_FIELD(A, field::kA)                                                                          \
        WEXMOOR_FIELD(B, field::kB)                                                                          \
        WEXMOOR_FIELD(C, field::kC)                                                                          \
        WEXMOOR_DATA_FIELD()                                                                                 \
        WEXMOOR_REG_ADDRESS(ClassName)                                                                       \
    };
// A, B and regAddress.
#define WEXMOOR_AB_REG_COMMAND(ClassName, Default)                                                           \
    class ClassName : public CommandBase<ClassName, Default> {                                               \
    public:                                                                                                  \
        WEXMOOR_FIELD(A, field::kA)                                                                          \
        WEXMOOR_FIELD(B, field::kB)                                                                          \
        WEXMOOR_REG_ADDRESS(ClassName)                                                                       \
    };

WEXMOOR_ABC_DATA_REG_COMMAND(PostEventCommand, 0x0400000000000000ull)
WEXMOOR_ABC_DATA_REG_COMMAND(PostRegWriteCommand, 0x0400000000000000ull)
WEXMOOR_AB_REG_COMMAND(PostRegReadCommand, 0x0800000000000000ull)
WEXMOOR_ABC_DATA_REG_COMMAND(PostAbstractedEventCommand, 0x0C00000000000000ull)
WEXMOOR_ABC_DATA_REG_COMMAND(PostRegWriteUsingBarCommand, 0x0C00000000000000ull)
WEXMOOR_AB_REG_COMMAND(PostRegReadUsingBarCommand, 0x1000000000000000ull)
WEXMOOR_ABC_DATA_REG_COMMAND(WaitForEventCommand, 0x1800000000000000ull)
WEXMOOR_ABC_DATA_REG_COMMAND(WaitForTimeCommand, 0x1800000000000000ull)
WEXMOOR_ABC_DATA_REG_COMMAND(SetMarkerCommand, 0x2000000000000000ull)

// Calls the subroutine at the local-RAM address in data.
class ExecuteSubroutineCommand : public CommandBase<ExecuteSubroutineCommand, 0x1D0DFF0200000000ull> {
public:
    WEXMOOR_FIELD(B, field::kB)
    WEXMOOR_DATA_FIELD()
};

// G = 5: return (at top level: the end of the program).
class ControlCommand : public CommandBase<ControlCommand, 0x1C00FF0000000000ull> {
public:
    WEXMOOR_FIELD(A, field::kA)
    WEXMOOR_FIELD(B, field::kB)
    WEXMOOR_FIELD(C, field::kC)
    WEXMOOR_DATA_FIELD()
    WEXMOOR_FIELD(G, field::kG)
};

class Opcode7Command : public CommandBase<Opcode7Command, 0x1C00000000000000ull> {
public:
    WEXMOOR_FIELD(A, field::kA)
    WEXMOOR_FIELD(B, field::kB)
    WEXMOOR_FIELD(F, field::kF)
    WEXMOOR_FIELD(C, field::kC)
    WEXMOOR_FIELD(D, field::kD)
    WEXMOOR_FIELD(E, field::kE)
    WEXMOOR_DATA_FIELD()
    WEXMOOR_FIELD(G, field::kG)
};

class Opcode7G3Command : public CommandBase<Opcode7G3Command, 0x1D8FFF0300000000ull> {
public:
    WEXMOOR_FIELD(B, field::kB)
    WEXMOOR_DATA_FIELD()
};

// A, B, C, D, E, data and (unless fixed) G.
#define WEXMOOR_OPCODE9_COMMAND(ClassName, Default)                                                          \
    class ClassName : public CommandBase<ClassName, Default> {                                               \
    public:                                                                                                  \
        WEXMOOR_FIELD(A, field::kA)                                                                          \
        WEXMOOR_FIELD(B, field::kB)                                                                          \
        WEXMOOR_FIELD(C, field::kC)                                                                          \
        WEXMOOR_FIELD(D, field::kD)                                                                          \
        WEXMOOR_FIELD(E, field::kE)                                                                          \
        WEXMOOR_DATA_FIELD()                                                                                 \
    };

class Opcode9Command : public CommandBase<Opcode9Command, 0x2400000000000000ull> {
public:
    WEXMOOR_FIELD(A, field::kA)
    WEXMOOR_FIELD(B, field::kB)
    WEXMOOR_FIELD(C, field::kC)
    WEXMOOR_FIELD(D, field::kD)
    WEXMOOR_FIELD(E, field::kE)
    WEXMOOR_DATA_FIELD()
    WEXMOOR_FIELD(G, field::kG)
};
WEXMOOR_OPCODE9_COMMAND(Opcode9G0Command, 0x2400000000000000ull)
WEXMOOR_OPCODE9_COMMAND(Opcode9G1Command, 0x2400000100000000ull)
WEXMOOR_OPCODE9_COMMAND(Opcode9G2Command, 0x2400000200000000ull)
WEXMOOR_OPCODE9_COMMAND(Opcode9G3Command, 0x2400000300000000ull)
WEXMOOR_OPCODE9_COMMAND(Opcode9G4Command, 0x2400000400000000ull)
WEXMOOR_OPCODE9_COMMAND(Opcode9G5Command, 0x2400000500000000ull)

class Opcode9G6D15Command : public CommandBase<Opcode9G6D15Command, 0x2400F00600000000ull> {
public:
    WEXMOOR_FIELD(A, field::kA)
    WEXMOOR_FIELD(B, field::kB)
    WEXMOOR_FIELD(C, field::kC)
    WEXMOOR_FIELD(E, field::kE)
    WEXMOOR_DATA_FIELD()
};

class Opcode9G6E11Command : public CommandBase<Opcode9G6E11Command, 0x2400FB0600000000ull> {
public:
    WEXMOOR_FIELD(A, field::kA)
    WEXMOOR_FIELD(B, field::kB)
    WEXMOOR_FIELD(C, field::kC)
    WEXMOOR_DATA_FIELD()
};

class Opcode11Command : public CommandBase<Opcode11Command, 0x2C0BF00600000000ull> {
public:
    WEXMOOR_FIELD(A, field::kA)
    WEXMOOR_FIELD(B, field::kB)
    WEXMOOR_FIELD(E, field::kE)
    WEXMOOR_DATA_FIELD()
};

class Opcode12Command : public CommandBase<Opcode12Command, 0x3000000000000000ull> {
public:
    WEXMOOR_FIELD(A, field::kA)
    WEXMOOR_FIELD(B, field::kB)
};

class Opcode0Command : public CommandBase<Opcode0Command, 0x0000000000000000ull> {
public:
    WEXMOOR_FIELD(A, field::kA)
    WEXMOOR_FIELD(B, field::kB)
};

class Opcode0AltCommand : public CommandBase<Opcode0AltCommand, 0x0000000000000000ull> {
public:
    WEXMOOR_FIELD(A, field::kA)
    WEXMOOR_FIELD(B, field::kB)
};

#undef WEXMOOR_OPCODE9_COMMAND
#undef WEXMOOR_AB_REG_COMMAND
#undef WEXMOOR_ABC_DATA_REG_COMMAND
#undef WEXMOOR_REG_ADDRESS
#undef WEXMOOR_DATA_FIELD
#undef WEXMOOR_FIELD

// The word that ends a program or a subroutine: ControlCommand with C 15, G 5.
inline constexpr Command kEndMarker = 0x1C0FFF0500000000ull;
// The opcodes and G values the sequencer gives a meaning here.
inline constexpr uint32_t kOpcodeRegWrite = 1;
inline constexpr uint32_t kOpcodeControl = 7;
inline constexpr uint32_t kOpcodeMarker = 8;
inline constexpr uint32_t kControlCall = 2;
inline constexpr uint32_t kControlReturn = 5;

} // namespace wexmoortools
