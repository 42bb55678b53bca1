#!/usr/bin/env python3
"""Register-map generator: turns register descriptions (TOML) into C++ maps.

Each description file holds one map (docs/register-descriptions.md gives the
format). A description is read into typed records (Map, Register, Field,
SubMap, Enum) and checked against itself: identifiers derived from key, lowest
bit and read-only mark (given ones must equal them); field types from widths;
fields inside their register and apart from each other; registers apart from
each other unless declared aliases; defaults and masks within the register's
width; registers and relatively placed sub-maps inside the map's region. Per
map it writes a header with the class and its nested register types and a
source file with the constant tables the engine searches
(driver/regs/register_map.h, or driver/regs/sized_register_map.h for bridge
and timing-chip maps). One emitter serves every flavour; what differs between
flavours is data (FLAVOURS).

usage: regmapgen.py [--search PATH]... [--output-dir DIR] [--check] DESCRIPTION...

--search names further description files or folders (all *.toml in them),
loaded only to resolve sub-map classes. With --check nothing is written.
Outputs are <output-dir>/regmaps/<file stem>.h and .cpp, rewritten only when
their text changes. Any fault ends the run with status 1 and one line per fault.
"""
import argparse
import os
import sys
import tomllib
from dataclasses import dataclass, field

# ---- identifiers ----
#
# A whole-register identifier is WHOLE_REGISTER | key; a field identifier is key | the field's lowest
# bit as six reversed bits in bits 24-29 | READ_ONLY for a read-only field. A register with read-only
# and writable fields has a second whole-register identifier, its read view: WHOLE_REGISTER |
# READ_ONLY | key. In bridge and timing-chip maps the key is the byte offset, and every identifier
# of a read-only register carries READ_ONLY.

KEY_MASK = 0x00FFFFFF
FIELD_SELECTOR_SHIFT = 24
READ_ONLY = 0x40000000
WHOLE_REGISTER = 0x80000000
# The engine finds a register's entry of flush, refresh and getRegisterFormat under
# (id & REGISTER_LOOKUP_MASK) | WHOLE_REGISTER.
REGISTER_LOOKUP_MASK = READ_ONLY | KEY_MASK
ADDRESS_MASK = 0xFFFFFFFF


def reverse6(value):
    """The field selector: a lowest bit 0..31 as a 6-bit number with its bit order reversed."""
    return int(f"{value:06b}"[::-1], 2)


def whole_register_id(key, read_only=False):
    return WHOLE_REGISTER | key | (READ_ONLY if read_only else 0)


def field_id(key, lsb, read_only):
    return key | (reverse6(lsb) << FIELD_SELECTOR_SHIFT) | (READ_ONLY if read_only else 0)


def read_view_id(key):
    return WHOLE_REGISTER | READ_ONLY | key


# ---- typed records of a description ----

KINDS = {"soft-copy": "arm::kSoftCopy", "strobe-word": "arm::kStrobeWord", "data-port": "arm::kDataPort"}
ACCESSES = {"read-write": "arm::kReadWrite", "read-only": "arm::kReadOnly", "write-only": "arm::kWriteOnly"}
OPERATIONS = ("get", "set", "read", "write", "flush", "refresh")


@dataclass
class Enum:
    name: str
    values: dict


@dataclass
class Field:
    lsb: int
    width: int
    ro: bool
    name: str | None
    enum: str | None
    any_nonzero: bool  # a one-bit field takes any non-zero value as 1 (else bit 0 of the value)
    format_only: bool  # no identifier: it only shapes getRegisterFormat
    given_ids: list  # per element, as transcribed (None: not given)
    ids: list = field(default_factory=list)  # per element, derived (None: the field has none)

    @property
    def mask(self):
        return ((1 << self.width) - 1) << self.lsb

    @property
    def msb(self):
        return self.lsb + self.width - 1


@dataclass
class Register:
    name: str
    type: str
    element: int | None  # first element of a part of an array declared in parts
    count: int
    array: bool
    kind: str
    access: str
    width: int
    offsets: list
    has_id: bool
    given_ids: list  # per element, as transcribed (None: not given)
    view_ids: list | None
    defaults: list
    cleared: int
    aliases: list
    fields: list
    ids: list = field(default_factory=list)  # per element, derived (None: no identifier)

    @property
    def first(self):
        return self.element or 0

    @property
    def readable(self):
        return self.access != "write-only"

    @property
    def writable(self):
        return self.access != "read-only"

    @property
    def soft(self):
        return self.kind != "data-port"

    @property
    def mixed(self):
        return any(f.ro for f in self.fields) and any(not f.ro for f in self.fields)

    @property
    def nbytes(self):
        return self.width // 8

    @property
    def full(self):
        return (1 << self.width) - 1

    def element_name(self, n):
        """The C++ expression of element n."""
        return f"{self.name}[{self.first + n}]" if self.array else self.name

    def where(self, n=None):
        text = f"register '{self.name}'"
        return text + (f" element {self.first + n}" if self.array and n is not None else "")


@dataclass
class SubMap:
    name: str
    cls: str
    window: str
    ownership: str
    count: int
    array: bool
    placement: str
    stride: int
    offset: int = 0  # relative placement
    span: int = 0
    base: int = 0  # fixed placement
    window_start: int = 0
    window_size: int = 0
    target: "Map | None" = None


@dataclass
class Accessor:
    type: str
    bus: str  # the bus getter of arm::tSizedRegisterMapBase that yields it


ACCESSORS = {
    "memory": Accessor("kelvo_driver::nVOAPAL000::tPCIMemorySpaceAccessorDebug<false>", "bus().memory()"),
    "front-end": Accessor("voquantasharedsource::FrontEndAccessorInterface", "bus().frontEnd()"),
}


@dataclass(frozen=True)
class Flavour:
    """What a flavour of map allows and how the one emitter writes it."""
    name: str
    # -- description rules --
    widths: tuple
    key_is_offset: bool  # key = byte offset, READ_ONLY on read-only registers, array ids count up
    accessors: tuple  # accessors a map may name; the first is the default
    width_fault: str  # the fault of a register of another width ({width})
    sized_keys: bool  # accessor, enum_namespace, one_bit, any_nonzero
    strobe_words: bool
    read_views: bool  # a register with read-only and writable fields has a second identifier
    format_only_fields: bool
    split_arrays: bool  # arrays declared in parts
    tree_check: bool  # no two registers of a map's tree share an accessor address
    # -- header --
    includes: tuple
    map_base: str
    tables_type: str
    register_info_type: str
    summary: str  # after the map's name in the class comment
    template_offset: bool  # a template over an offset added to every register offset
    explicit_constructor: bool
    accessor_by_reference: bool
    accessor_getter: bool
    bus: str  # the engine's view of the accessor
    windowed: bool  # records know whether they lie in the map's window
    status_parameter: bool  # the constructor may take a status
    reinitialize: bool
    registers_comment: str
    submaps_comment: str
    # -- nested register types --
    record_bases: dict  # kind -> record type ({value}: soft-copy type, {windowed})
    width_in_comment: bool
    whole_register_setters: bool  # setRegister and writeRegister of every writable soft copy
    extract: str  # {source}, {mask}, {lsb}
    inserted_bits: str  # {mask}, {lsb}, {width}, {any_nonzero}
    insert_into_record: str  # {mask}, {bits}
    flush_record: str
    refresh_record: str
    read_port: str  # {value}, {bytes}
    write_port: str  # {bytes}, {bits}
    # -- source --
    registers_heading: str
    register_row: str  # {offset}, {bytes}, {default}, {cleared}, {kind}, {access}
    id_entry_type: str
    id_row: str  # {ident}, {index}, {lsb}, {width}, {any_nonzero}
    window_texts: bool
    switches_declared_first: bool
    submap_switch: bool
    tables_window_flag: bool
    submap_tables_entry: str  # {texts}, {count}, {switch}
    tables_qualifier: str
    default_destructor: bool


SIZED = dict(
    widths=(8, 16, 32, 64), key_is_offset=True, accessors=("memory", "front-end"),
    width_fault="a {flavour} map has no {width}-bit registers", sized_keys=True, strobe_words=False,
    read_views=False, format_only_fields=False, split_arrays=False, tree_check=False,
    includes=("platform/pci_memory_accessor.h", "platform/status.h", "regs/front_end_accessor.h",
              "regs/sized_register_map.h"),
    map_base="arm::tSizedRegisterMapBase", tables_type="arm::tSizedRegisterMapTables",
    register_info_type="arm::tSizedRegisterInfo",
    template_offset=False, explicit_constructor=False, accessor_by_reference=False, accessor_getter=True,
    bus="arm::tRegisterBus(accessor)",
    windowed=True, status_parameter=False, reinitialize=True,
    registers_comment="    // Registers, in declaration order.",
    submaps_comment="    // Sub-maps (reached by the whole-map operations only).",
    record_bases={"soft-copy": "arm::tSizedRegisterRecord<{value}, {windowed}>",
                  "data-port": "arm::tSizedDataPortRecord<{windowed}>"},
    width_in_comment=True, whole_register_setters=True,
    extract="({source} & {mask}u) >> {lsb}",
    inserted_bits="arm::insertedSizedBits(static_cast<uint64_t>(value), {lsb}, {width}, {any_nonzero})",
    insert_into_record="arm::insertIntoSizedRecord(*this, {mask}, {bits})",
    flush_record="arm::flushSizedRecord", refresh_record="arm::refreshSizedRecord",
    read_port="static_cast<{value}>(arm::readSizedPort(*this, {bytes}, status))",
    write_port="arm::writeSizedPort(*this, {bytes}, {bits}, status)",
    registers_heading="offset, bytes, kind, access, default, cleared after a write.",
    register_row="{{{offset}u, {bytes}, {kind}, {access}, {default}u, {cleared}u}},",
    id_entry_type="arm::tSizedIdEntry", id_row="{{0x{ident:08X}u, {index}, {lsb}, {width}, {any_nonzero}}},",
    window_texts=False, switches_declared_first=True, submap_switch=True, tables_window_flag=True,
    submap_tables_entry="    {count}, {switch},", tables_qualifier="constexpr", default_destructor=True)

FLAVOURS = {
    "kelvo": Flavour(
        name="kelvo", widths=(32,), key_is_offset=False, accessors=("front-end",),
        width_fault="registers of a kelvo map are 32 bits wide", sized_keys=False, strobe_words=True,
        read_views=True, format_only_fields=True, split_arrays=True, tree_check=True,
        includes=("platform/status.h", "regs/register_map.h"),
        map_base="arm::tRegisterMapBase", tables_type="arm::tRegisterMapTables",
        register_info_type="arm::tRegisterInfo", summary="",
        template_offset=False, explicit_constructor=True, accessor_by_reference=False, accessor_getter=False,
        bus="accessor",
        windowed=True, status_parameter=True, reinitialize=False,
        registers_comment=("    // Registers, in declaration order (an array declared in parts where its first part "
                           "is)."),
        submaps_comment="    // Sub-maps, in declaration order (owned slots are null when their allocation failed).",
        record_bases={"soft-copy": "arm::tRegisterRecord", "strobe-word": "arm::tStrobeRegisterRecord",
                      "data-port": "arm::tDataPortRecord"},
        width_in_comment=False, whole_register_setters=False,
        extract="arm::extractField({source}, {mask}u, {lsb})",
        inserted_bits="arm::insertedBits(static_cast<uint64_t>(value), {mask}u, {lsb}, {width})",
        insert_into_record="arm::insertIntoRecord(*this, {mask}, {bits})",
        flush_record="arm::flushRecord", refresh_record="arm::refreshRecord",
        read_port="arm::readDataPort(*this, status)", write_port="arm::writeDataPort(*this, {bits}, status)",
        registers_heading="offset, default, cleared after a write (strobe bits), kind, access.",
        register_row="{{{offset}u, {default}u, {cleared}u, {kind}, {access}}},",
        id_entry_type="arm::tIdEntry", id_row="{{0x{ident:08X}u, {index}, {lsb}, {width}}},",
        window_texts=True, switches_declared_first=False, submap_switch=True, tables_window_flag=False,
        submap_tables_entry="    {texts}, {count},\n    {switch},", tables_qualifier="constexpr",
        default_destructor=False),
    "bridge": Flavour(**{**SIZED, **dict(
        name="bridge", summary="a bridge map (template offset added to every register offset)",
        template_offset=True, explicit_constructor=True, accessor_by_reference=True, windowed=False,
        bus="arm::tRegisterBus(&accessor)",
        reinitialize=False, switches_declared_first=False, submap_switch=False, tables_qualifier="const")}),
    "timing": Flavour(**{**SIZED, **dict(name="timing", widths=(8, 16, 32), accessors=("memory",),
                                         summary="a timing-chip map")}),
}


@dataclass
class Map:
    path: str
    stem: str
    cls: str
    namespace: str
    flavour: Flavour
    version: str
    oldest: str
    default_name: str
    size: int
    fixed: tuple | None  # (base, window start, window size) of a top map with a place of its own
    format_by_field_id: bool
    takes_status: bool
    accessor: str
    enum_ns: str | None
    one_bit: str
    enums: list = field(default_factory=list)
    registers: list = field(default_factory=list)
    submaps: list = field(default_factory=list)
    needs_status: bool = False  # set when sub-map classes are resolved

    @property
    def enum_namespace(self):
        return self.enum_ns or f"n{self.cls[1:]}"

    @property
    def qualified(self):
        return f"::{self.namespace}::{self.cls}"


MAP_KEYS = {"class", "namespace", "flavour", "version", "oldest_compatible_version", "default_name", "size",
            "base", "window_start", "window_size", "format_by_field_id", "takes_status"}
# Keys of the bridge and timing-chip flavours.
SIZED_MAP_KEYS = {"accessor", "enum_namespace", "one_bit"}
MAP_KEYS |= SIZED_MAP_KEYS
REGISTER_KEYS = {"name", "type", "offset", "offsets", "stride", "count", "kind", "access", "width", "id", "ids",
                 "view_id", "view_ids", "default", "defaults", "cleared_after_write", "kept_after_write", "aliases",
                 "fields", "element"}
FIELD_KEYS = {"bits", "id", "ids", "name", "ro", "type", "enum", "any_nonzero", "format_only"}
SUBMAP_KEYS = {"name", "class", "window", "ownership", "count", "placement", "offset", "size", "stride", "base",
               "window_start", "window_size"}
ENUM_KEYS = {"name", "values"}
TOP_KEYS = {"map", "enum", "register", "submap"}


def field_type(width):
    return 0 if width == 1 else 1 if width <= 8 else 2 if width <= 16 else 3


def value_type(width):
    return "bool" if width == 1 else "uint8_t" if width <= 8 else "uint16_t" if width <= 16 else "uint32_t"


def register_value_type(width):
    return {8: "uint8_t", 16: "uint16_t", 32: "uint32_t", 64: "uint64_t"}[width]


def is_identifier(text):
    return isinstance(text, str) and text.isidentifier() and text.isascii()


# ---- reading and checking one description ----

class Loader:
    """Reads one description file into a Map, collecting every fault found."""

    def __init__(self, path):
        self.path = path
        self.errors = []

    def fail(self, where, message):
        self.errors.append(f"{self.path}: {where}: {message}")

    def check_keys(self, table, allowed, where):
        if not isinstance(table, dict):
            self.fail(where, "expected a table")
            return False
        for key in table:
            if key not in allowed:
                self.fail(where, f"unknown key '{key}'")
        return True

    def integer(self, table, key, where, required=True, default=None, low=0, high=0xFFFFFFFF):
        if key not in table:
            if required:
                self.fail(where, f"missing '{key}'")
            return default
        value = table[key]
        if isinstance(value, bool) or not isinstance(value, int):
            self.fail(where, f"'{key}' must be an integer")
            return default
        if not low <= value <= high:
            self.fail(where, f"'{key}' = {value:#x} is outside {low:#x}..{high:#x}")
            return default
        return value

    def text(self, table, key, where, required=True, default=None, choices=None):
        if key not in table:
            if required:
                self.fail(where, f"missing '{key}'")
            return default
        value = table[key]
        if not isinstance(value, str) or not value:
            self.fail(where, f"'{key}' must be a non-empty string")
            return default
        if choices is not None and value not in choices:
            self.fail(where, f"'{key}' = '{value}' is not one of {', '.join(choices)}")
            return default
        return value

    def boolean(self, table, key, where, default):
        value = table.get(key, default)
        if not isinstance(value, bool):
            self.fail(where, f"'{key}' must be true or false")
            return default
        return value

    def integer_list(self, table, key, where, count, high=0xFFFFFFFF):
        value = table.get(key)
        if not isinstance(value, list) or any(isinstance(v, bool) or not isinstance(v, int) for v in value):
            self.fail(where, f"'{key}' must be a list of integers")
            return None
        if len(value) != count:
            self.fail(where, f"'{key}' has {len(value)} entries for {count} elements")
            return None
        if any(not 0 <= v <= high for v in value):
            self.fail(where, f"'{key}' holds a value outside 0..{high:#x}")
            return None
        return value

    def per_element(self, table, single, plural, where, count, array, required=True, default=None,
                    high=0xFFFFFFFF):
        """A value per element: `single` for a single register, `plural` (a list) for an array;
        an array may also give `single` once for all elements where that makes sense."""
        if array and plural in table:
            if single in table:
                self.fail(where, f"give '{single}' or '{plural}', not both")
            return self.integer_list(table, plural, where, count, high)
        if plural in table:
            self.fail(where, f"'{plural}' is for arrays (give 'count')")
            return None
        value = self.integer(table, single, where, required=required, default=default, high=high)
        if value is None:
            return None
        return [value] * count

    def given_ids(self, m, reg, table, where, required):
        """Identifiers as transcribed, one per element (None where not given). In bridge and timing
        maps an array may give one 'id', element 0's: the key is the byte offset, so element n's
        identifier is element 0's plus the distance of its offset from element 0's."""
        ids = self.per_element(table, "id", "ids", where, reg.count, reg.array, required=required)
        if ids is None:
            return [0 if required else None] * reg.count
        if m.flavour.key_is_offset and reg.array and "id" in table:
            return [(ids[0] + offset - reg.offsets[0]) & ADDRESS_MASK for offset in reg.offsets]
        return ids

    def load(self):
        try:
            with open(self.path, "rb") as handle:
                data = tomllib.load(handle)
        except (OSError, tomllib.TOMLDecodeError) as error:
            self.fail("file", str(error))
            return None
        for key in data:
            if key not in TOP_KEYS:
                self.fail("file", f"unknown table '{key}'")
        head = data.get("map")
        if not isinstance(head, dict):
            self.fail("file", "missing [map]")
            return None
        m = self.load_head(head)
        m.enums = self.load_enums(data.get("enum", []))
        for index, table in enumerate(data.get("register", [])):
            reg = self.load_register(m, table, index)
            if reg is not None:
                m.registers.append(reg)
        for index, table in enumerate(data.get("submap", [])):
            sub = self.load_submap(m, table, index)
            if sub is not None:
                m.submaps.append(sub)
        if not self.errors:
            self.check_map(m)
        return m

    def load_head(self, head):
        where = "[map]"
        self.check_keys(head, MAP_KEYS, where)
        cls = self.text(head, "class", where, default="tUnnamed")
        if not is_identifier(cls) or not cls.startswith("t"):
            self.fail(where, f"class '{cls}' must be an identifier starting with 't'")
        namespace = self.text(head, "namespace", where, default="kelvo_regmaps")
        if not all(is_identifier(part) for part in namespace.split("::")):
            self.fail(where, f"namespace '{namespace}' is not a C++ namespace")
        flavour = FLAVOURS[self.text(head, "flavour", where, required=False, default="kelvo",
                                     choices=tuple(FLAVOURS))]
        version = self.text(head, "version", where, default="")
        fixed = None
        given = [k for k in ("base", "window_start", "window_size") if k in head]
        if given:
            if len(given) != 3:
                self.fail(where, "a fixed placement gives base, window_start and window_size together")
            else:
                keys = ("base", "window_start", "window_size")
                fixed = tuple(self.integer(head, k, where, default=0) for k in keys)
        for key in SIZED_MAP_KEYS:
            if key in head and not flavour.sized_keys:
                self.fail(where, f"'{key}' is for bridge and timing maps")
        accessor = self.text(head, "accessor", where, required=False, default=flavour.accessors[0],
                             choices=tuple(ACCESSORS))
        if accessor not in flavour.accessors:
            if flavour.sized_keys:
                self.fail(where, "a timing map reaches its registers through the memory accessor")
            accessor = flavour.accessors[0]
        enum_ns = self.text(head, "enum_namespace", where, required=False, default=None)
        if enum_ns is not None and not is_identifier(enum_ns):
            self.fail(where, f"enum_namespace '{enum_ns}' is not an identifier")
        return Map(
            path=self.path, stem=os.path.splitext(os.path.basename(self.path))[0], cls=cls, namespace=namespace,
            flavour=flavour, version=version,
            oldest=self.text(head, "oldest_compatible_version", where, required=False, default=version),
            default_name=self.text(head, "default_name", where, required=False, default=cls[1:]),
            size=self.integer(head, "size", where, default=0, low=1, high=0x100000000), fixed=fixed,
            format_by_field_id=self.boolean(head, "format_by_field_id", where, False),
            takes_status=self.boolean(head, "takes_status", where, False),
            accessor=accessor, enum_ns=enum_ns,
            one_bit=self.text(head, "one_bit", where, required=False, default="any-nonzero",
                              choices=("any-nonzero", "bit0")))

    def load_enums(self, tables):
        enums = []
        if not isinstance(tables, list):
            self.fail("[[enum]]", "expected an array of tables")
            return enums
        for index, table in enumerate(tables):
            where = f"enum #{index}"
            if not self.check_keys(table, ENUM_KEYS, where):
                continue
            name = self.text(table, "name", where, default="Unnamed")
            if not is_identifier(name):
                self.fail(where, f"'{name}' is not an identifier")
            values = table.get("values", {})
            if not isinstance(values, dict):
                self.fail(where, "'values' must be a table of name = integer")
                values = {}
            for key, value in values.items():
                if not is_identifier(key) or isinstance(value, bool) or not isinstance(value, int) or value < 0:
                    self.fail(where, f"value '{key}' must be an identifier with a non-negative integer")
            enums.append(Enum(name, values))
        return enums

    def load_register(self, m, table, index):
        where = f"register #{index}"
        if not self.check_keys(table, REGISTER_KEYS, where):
            return None
        name = self.text(table, "name", where, default=f"Register{index}")
        where = f"register '{name}'"
        if not is_identifier(name):
            self.fail(where, "name is not an identifier")
        type_ = self.text(table, "type", where, default=f"t{name}")
        if not is_identifier(type_):
            self.fail(where, f"type '{type_}' is not an identifier")
        # An entry with `element` declares elements element..element+count-1 of an array whose
        # elements are declared apart from each other (see check_split_arrays).
        element = self.integer(table, "element", where, required=False, default=None, high=4095)
        array = "count" in table or element is not None
        count = self.integer(table, "count", where, required=False, default=1, low=1, high=4096)
        width = self.integer(table, "width", where, required=False, default=32, low=8, high=64)
        if width not in (8, 16, 32, 64):
            self.fail(where, f"width {width} is not 8, 16, 32 or 64")
            width = 32
        reg = Register(
            name=name, type=type_, element=element, count=count, array=array,
            kind=self.text(table, "kind", where, required=False, default="soft-copy", choices=tuple(KINDS)),
            access=self.text(table, "access", where, required=False, default="read-write", choices=tuple(ACCESSES)),
            width=width, offsets=self.load_offsets(table, where, count, array),
            has_id=width != 64,  # a 64-bit register (bridge maps only) has no identifier
            given_ids=[], view_ids=None, defaults=[], cleared=0, aliases=[], fields=[])
        self.check_register_width(m, reg, where)
        if reg.has_id:
            reg.given_ids = self.given_ids(m, reg, table, where, required=not m.flavour.key_is_offset)
        else:
            if "id" in table or "ids" in table:
                self.fail(where, "a 64-bit register of a bridge map has no identifier")
            reg.given_ids = [None] * count
        if "view_id" in table or "view_ids" in table:
            reg.view_ids = self.per_element(table, "view_id", "view_ids", where, count, array)
        reg.defaults = self.per_element(table, "default", "defaults", where, count, array, required=False,
                                        default=0, high=0xFFFFFFFFFFFFFFFF) or [0] * count
        reg.cleared = self.load_cleared(table, where, reg.full, width)
        aliases = table.get("aliases", [])
        if not isinstance(aliases, list) or not all(isinstance(a, str) for a in aliases):
            self.fail(where, "'aliases' must be a list of register names")
            aliases = []
        reg.aliases = aliases
        fields = table.get("fields", [])
        if not isinstance(fields, list):
            self.fail(where, "'fields' must be an array of tables")
            fields = []
        for findex, ftable in enumerate(fields):
            f = self.load_field(m, reg, ftable, f"{where} field #{findex}")
            if f is not None:
                reg.fields.append(f)
        return reg

    def load_offsets(self, table, where, count, array):
        if array and "offsets" in table:
            if "offset" in table or "stride" in table:
                self.fail(where, "give 'offsets', or 'offset' and 'stride'")
            return self.integer_list(table, "offsets", where, count) or [0] * count
        if "offsets" in table:
            self.fail(where, "'offsets' is for arrays (give 'count')")
        first = self.integer(table, "offset", where, default=0)
        stride = self.integer(table, "stride", where, required=array and count > 1, default=0)
        if not array and "stride" in table:
            self.fail(where, "'stride' is for arrays (give 'count')")
        return [first + n * stride for n in range(count)]

    def load_cleared(self, table, where, full, width):
        if "cleared_after_write" in table and "kept_after_write" in table:
            self.fail(where, "give 'cleared_after_write' or 'kept_after_write', not both")
        if "kept_after_write" in table:
            kept = self.integer(table, "kept_after_write", where, default=full, high=0xFFFFFFFFFFFFFFFF)
            if kept & ~full:
                self.fail(where, f"kept_after_write {kept:#x} does not fit {width} bits")
            return full & ~kept
        cleared = self.integer(table, "cleared_after_write", where, required=False, default=0,
                               high=0xFFFFFFFFFFFFFFFF)
        if cleared & ~full:
            self.fail(where, f"cleared_after_write {cleared:#x} does not fit {width} bits")
        return cleared

    def check_register_width(self, m, reg, where):
        flavour = m.flavour
        if reg.kind == "strobe-word" and not flavour.strobe_words:
            self.fail(where, f"a {flavour.name} map has no strobe-word registers (use cleared_after_write)")
        if reg.width not in flavour.widths:
            self.fail(where, flavour.width_fault.format(flavour=flavour.name, width=reg.width))
        if m.accessor == "front-end" and flavour.sized_keys and reg.width != 32:
            self.fail(where, "a front-end accessor carries 32-bit registers only")

    def load_bits(self, table, where):
        """(lowest, highest) bit of a field, or None."""
        bits = table.get("bits")
        if isinstance(bits, int) and not isinstance(bits, bool):
            return bits, bits
        if not isinstance(bits, str):
            self.fail(where, "missing 'bits' (N or \"LOW-HIGH\")")
            return None
        try:
            numbers = [int(p.strip(), 0) for p in bits.split("-")]
        except ValueError:
            numbers = []
        if len(numbers) not in (1, 2):
            self.fail(where, f"bits '{bits}' must be 'N' or 'LOW-HIGH'")
            return None
        return numbers[0], numbers[-1]

    def load_field(self, m, reg, table, where):
        if not self.check_keys(table, FIELD_KEYS, where):
            return None
        bits = self.load_bits(table, where)
        if bits is None:
            return None
        lsb, msb = bits
        if lsb < 0 or msb < lsb:
            self.fail(where, f"bits {lsb}-{msb} are not a range from low to high")
            return None
        if msb >= min(reg.width, 32):
            self.fail(where, f"bits {lsb}-{msb} lie outside the {reg.width}-bit register")
            return None
        width = msb - lsb + 1
        name = self.text(table, "name", where, required=False, default=None)
        if name is not None and not is_identifier(name):
            self.fail(where, f"name '{name}' is not an identifier")
        enum = self.text(table, "enum", where, required=False, default=None)
        if enum is not None and enum not in [e.name for e in m.enums]:
            self.fail(where, f"enum '{enum}' is not declared in this map")
        if "type" in table:
            given = self.integer(table, "type", where, high=3)
            if given is not None and given != field_type(width):
                self.fail(where, f"field type {given} does not match a width of {width} bits "
                                 f"(type {field_type(width)})")
        format_only = self.boolean(table, "format_only", where, False)
        if format_only and ("id" in table or "ids" in table or name is not None):
            self.fail(where, "a format-only field has neither identifier nor name")
        if format_only and not m.flavour.format_only_fields:
            self.fail(where, "format-only fields are for kelvo maps")
        has_id = reg.has_id and not format_only
        return Field(lsb=lsb, width=width, ro=self.boolean(table, "ro", where, reg.access == "read-only"),
                     name=name, enum=enum, any_nonzero=self.load_one_bit_rule(m, reg, width, table, where),
                     format_only=format_only,
                     given_ids=self.given_ids(m, reg, table, where, False) if has_id else [None] * reg.count)

    def load_one_bit_rule(self, m, reg, width, table, where):
        """Whether a one-bit field takes any non-zero value as 1 (else only bit 0 of the value). Kelvo
        maps and data ports always take any non-zero value; bridge and timing maps follow their
        'one_bit' rule unless the field says 'any_nonzero'."""
        given = table.get("any_nonzero")
        if given is not None:
            if not isinstance(given, bool):
                self.fail(where, "'any_nonzero' must be true or false")
                given = None
            elif not m.flavour.sized_keys:
                self.fail(where, "'any_nonzero' is for bridge and timing maps")
            elif width != 1:
                self.fail(where, "'any_nonzero' is for one-bit fields")
            elif reg.kind == "data-port" and not given:
                self.fail(where, "a one-bit field of a data port takes any non-zero value")
        if not m.flavour.sized_keys or reg.kind == "data-port":
            return True
        if given is not None:
            return given
        return m.one_bit == "any-nonzero"

    def load_submap(self, m, table, index):
        where = f"submap #{index}"
        if not self.check_keys(table, SUBMAP_KEYS, where):
            return None
        name = self.text(table, "name", where, default=f"SubMap{index}")
        where = f"submap '{name}'"
        if not is_identifier(name):
            self.fail(where, "name is not an identifier")
        cls = self.text(table, "class", where, default="tUnnamed")
        window = self.text(table, "window", where, default="Win")
        if not is_identifier(window):
            self.fail(where, f"window name '{window}' is not an identifier")
        array = "count" in table
        count = self.integer(table, "count", where, required=False, default=1, low=1, high=64)
        sub = SubMap(
            name=name, cls=cls, window=window,
            ownership=self.text(table, "ownership", where, required=False, default="embedded",
                                choices=("embedded", "owned")),
            count=count, array=array,
            placement=self.text(table, "placement", where, required=False, default="relative",
                                choices=("relative", "fixed")),
            stride=self.integer(table, "stride", where, required=array and count > 1, default=0))
        if sub.placement == "relative":
            for key in ("base", "window_start", "window_size"):
                if key in table:
                    self.fail(where, f"'{key}' belongs to a fixed placement")
            sub.offset = self.integer(table, "offset", where, default=0)
            sub.span = self.integer(table, "size", where, default=0, low=1, high=0x100000000)
            last_end = sub.offset + (sub.count - 1) * sub.stride + sub.span
            if last_end > m.size:
                self.fail(where, f"window [{sub.offset:#x}, {last_end:#x}) lies outside the map's region "
                                 f"of {m.size:#x} bytes")
        else:
            for key in ("offset", "size"):
                if key in table:
                    self.fail(where, f"'{key}' belongs to a relative placement")
            sub.base = self.integer(table, "base", where, default=0)
            sub.window_start = self.integer(table, "window_start", where, default=0)
            sub.window_size = self.integer(table, "window_size", where, default=0)
        return sub

    # ---- checks of a whole map ----

    def check_map(self, m):
        names = set()
        for reg in m.registers:
            if reg.name in names and reg.element is None:
                self.fail(reg.where(), "name used twice")
            names.add(reg.name)
        for reg in m.registers:
            self.check_register(m, reg, names)
        self.check_shared_types(m)
        self.check_split_arrays(m)
        self.check_overlaps(m)
        self.check_identifiers_unique(m)
        sub_names = set()
        for sub in m.submaps:
            if sub.name in names or sub.name in sub_names:
                self.fail(f"submap '{sub.name}'", "name used twice")
            sub_names.add(sub.name)

    def check_register(self, m, reg, names):
        where = reg.where()
        for n, offset in enumerate(reg.offsets):
            if offset % reg.nbytes:
                self.fail(reg.where(n), f"offset {offset:#x} is not aligned to its {reg.width} bits")
            if offset + reg.nbytes > m.size:
                self.fail(reg.where(n), f"offset {offset:#x} ({reg.nbytes} bytes) lies outside the map's region "
                                        f"of {m.size:#x} bytes")
        for default in reg.defaults:
            if default & ~reg.full:
                self.fail(where, f"default {default:#x} does not fit {reg.width} bits")
            if reg.kind == "data-port" and default:
                self.fail(where, "a data port has no soft copy and so no default")
        if reg.kind == "data-port" and reg.cleared:
            self.fail(where, "a data port has no soft copy to clear after a write")
        if reg.kind == "strobe-word" and not reg.cleared:
            self.fail(where, "a strobe-word register needs its strobe bits (cleared_after_write)")
        if reg.access == "read-only" and reg.cleared:
            self.fail(where, "a read-only register is never written, so nothing is cleared after a write")
        # Fields: apart from each other, names unique, read-only marks consistent with the access.
        reg.fields.sort(key=lambda f: f.lsb)
        seen = 0
        field_names = set()
        for f in reg.fields:
            if seen & f.mask:
                self.fail(where, f"field bits {f.lsb}-{f.msb} overlap another field")
            seen |= f.mask
            if f.name is not None:
                if f.name in field_names:
                    self.fail(where, f"field name '{f.name}' used twice")
                field_names.add(f.name)
            if reg.access == "read-only" and not f.ro:
                self.fail(where, f"field {f.lsb} of a read-only register must be read-only")
            if reg.access == "write-only" and f.ro:
                self.fail(where, f"field {f.lsb} of a write-only register cannot be read-only")
        for alias in reg.aliases:
            if alias not in names or alias == reg.name:
                self.fail(where, f"alias '{alias}' names no other register of this map")
        if reg.has_id:
            self.derive_ids(m, reg)
        else:
            reg.ids = [None] * reg.count
            for f in reg.fields:
                f.ids = [None] * reg.count

    def derive_ids(self, m, reg):
        """Every identifier of every element from its key, lowest bit and read-only mark; a given one
        must equal the derived one."""
        flavour = m.flavour
        reg.ids = []
        for f in reg.fields:
            f.ids = []
        for n in range(reg.count):
            element = reg.where(n)
            given = reg.given_ids[n]
            if flavour.key_is_offset:
                key = reg.offsets[n] if given is None else given & KEY_MASK
                if key != reg.offsets[n]:
                    self.fail(element, f"identifier {given:#010x}: the key of a {flavour.name} map is the "
                                       f"register's offset {reg.offsets[n]:#x}")
                expected = whole_register_id(key, reg.access == "read-only")
            else:
                key = given & KEY_MASK
                expected = whole_register_id(key)
            if given is not None and given != expected:
                self.fail(element, f"whole-register identifier {given:#010x} should be {expected:#010x}")
            reg.ids.append(expected if given is None else given)
            if flavour.read_views and reg.mixed:
                view = read_view_id(key)
                if reg.view_ids is None:
                    self.fail(element, f"a register with read-only and writable fields has the second "
                                       f"identifier {view:#010x}: give it as view_id")
                elif reg.view_ids[n] != view:
                    self.fail(element, f"view identifier {reg.view_ids[n]:#010x} should be {view:#010x}")
            elif reg.view_ids is not None:
                self.fail(element, "only a kelvo register with both read-only and writable fields has a "
                                   "view identifier")
            for f in reg.fields:
                if f.format_only:
                    f.ids.append(None)
                    continue
                expected_field = field_id(key, f.lsb, f.ro)
                given_field = f.given_ids[n]
                if given_field is not None and given_field != expected_field:
                    self.fail(element, f"field {f.lsb}-{f.msb}: identifier {given_field:#010x} should be "
                                       f"{expected_field:#010x}")
                f.ids.append(expected_field if given_field is None else given_field)

    def check_shared_types(self, m):
        by_type = {}
        for reg in m.registers:
            shape = (reg.kind, reg.access, reg.width, reg.cleared,
                     tuple((f.lsb, f.width, f.ro, f.name, f.enum) for f in reg.fields))
            if reg.type in by_type and by_type[reg.type][1] != shape:
                self.fail(reg.where(), f"type '{reg.type}' is shared with register "
                                       f"'{by_type[reg.type][0]}' but differs from it")
            by_type.setdefault(reg.type, (reg.name, shape))

    def check_split_arrays(self, m):
        """Entries with `element` of one name form one C++ array: one type, every element once."""
        groups = {}
        for reg in m.registers:
            groups.setdefault(reg.name, []).append(reg)
        for name, regs in groups.items():
            if all(r.element is None for r in regs):
                continue
            where = f"register '{name}'"
            if not m.flavour.split_arrays:
                self.fail(where, "arrays declared in parts are for kelvo maps")
                continue
            if any(r.element is None for r in regs):
                self.fail(where, "an array declared in parts gives 'element' in every part")
                continue
            if len({r.type for r in regs}) != 1:
                self.fail(where, "the parts of an array declared in parts have one type")
            elements = sorted(r.first + n for r in regs for n in range(r.count))
            if elements != list(range(len(elements))):
                self.fail(where, f"the parts declare elements {elements}, not each of "
                                 f"0..{len(elements) - 1} once")

    def check_overlaps(self, m):
        elements = sorted(((offset, offset + reg.nbytes, reg, n) for reg in m.registers
                           for n, offset in enumerate(reg.offsets)), key=lambda e: (e[0], e[1]))
        for i, (begin, end, reg, n) in enumerate(elements):
            for other_begin, _, other, other_n in elements[i + 1:]:
                if other_begin >= end:
                    break
                if other is reg or (other.name not in reg.aliases and reg.name not in other.aliases):
                    self.fail(other.where(other_n), f"offset {other_begin:#x} overlaps {reg.where(n)}"
                                                    " (declare an alias if intended)")

    def check_identifiers_unique(self, m):
        seen = {}
        for reg in m.registers:
            for n in range(reg.count):
                ids = [reg.ids[n]] + ([reg.view_ids[n]] if reg.view_ids else []) + [f.ids[n] for f in reg.fields]
                for ident in ids:
                    if ident is None:
                        continue
                    if ident in seen and seen[ident] != (reg.name, reg.first + n):
                        self.fail(reg.where(), f"identifier {ident:#010x} is also used by "
                                               f"register '{seen[ident][0]}'")
                    seen.setdefault(ident, (reg.name, reg.first + n))


# ---- resolution across files ----

def load_all(paths):
    maps, errors = [], []
    for path in paths:
        loader = Loader(path)
        m = loader.load()
        errors.extend(loader.errors)
        if m is not None and not loader.errors:
            maps.append(m)
    return maps, errors


def submap_fault(m, sub, target):
    """What is wrong with placing target as sub-map sub of m, or None: kelvo maps hold kelvo maps,
    timing maps embed one timing map each at a fixed placement, bridge maps hold none."""
    if m.flavour.name == "kelvo" and target.flavour.name == "kelvo":
        return None
    if m.flavour.name == "timing" and target.flavour.name == "timing":
        if sub.placement != "fixed" or sub.ownership != "embedded" or sub.array:
            return "a timing map embeds one sub-map at a fixed placement"
        return None
    return "only timing maps have sub-maps, and those are timing maps"


def resolve(maps, errors):
    by_class = {}
    for m in maps:
        if m.cls in by_class:
            errors.append(f"{m.path}: class '{m.cls}' is also described in {by_class[m.cls].path}")
        by_class.setdefault(m.cls, m)
    for m in maps:
        for sub in m.submaps:
            sub.target = by_class.get(sub.cls)
            if sub.target is None:
                errors.append(f"{m.path}: submap '{sub.name}': no description of class '{sub.cls}'")
                continue
            if sub.target.fixed is not None:
                errors.append(f"{m.path}: submap '{sub.name}': class '{sub.cls}' has a fixed placement of its "
                              f"own and cannot be placed by a parent")
            fault = submap_fault(m, sub, sub.target)
            if fault is not None:
                errors.append(f"{m.path}: submap '{sub.name}': {fault}")
    # A constructor takes a status when the map allocates sub-maps or embeds one that does.
    state = {}

    def needs_status(m, trail=()):
        if m.cls in trail:
            errors.append(f"{m.path}: class '{m.cls}' contains itself")
            return False
        if m.cls not in state:
            state[m.cls] = m.takes_status or any(
                sub.ownership == "owned" or (sub.target is not None and needs_status(sub.target, trail + (m.cls,)))
                for sub in m.submaps)
        return state[m.cls]

    for m in maps:
        m.needs_status = needs_status(m)
    return by_class


# ---- absolute addresses of a whole tree ----

def relative_placement(parent_base, parent_start, parent_size, offset, span):
    """The engine's arm::relativePlacement: in 64 bits, an empty intersection gives size 0."""
    begin = max(parent_start, offset)
    end = min(parent_start + parent_size, offset + span)
    start = begin - offset
    base = (parent_base - parent_start + offset + start) & ADDRESS_MASK
    return base, start, (end - begin) if end > begin else 0


def placed_registers(m, base, start, size, path, out):
    """Every in-window register element of map m and of its sub-maps, recursively, as
    (absolute address, bytes, path of the map instance, register, element)."""
    for reg in m.registers:
        for n, offset in enumerate(reg.offsets):
            if start <= offset < start + size:
                out.append(((base - start + offset) & ADDRESS_MASK, reg.nbytes, path, reg, n))
    for sub in m.submaps:
        if sub.target is None:
            continue
        for n in range(sub.count):
            if sub.placement == "fixed":
                place = ((sub.base + n * sub.stride) & ADDRESS_MASK, sub.window_start, sub.window_size)
            else:
                place = relative_placement(base, start, size, sub.offset + n * sub.stride, sub.span)
            name = f"{sub.name}[{n}]" if sub.array else sub.name
            placed_registers(sub.target, *place, f"{path}.{name}", out)


def check_absolute_addresses(m):
    """No two registers of one tree (a map with its sub-maps, placed as a top map: at its fixed
    place, else at base 0 with a window over its whole region) answer at one accessor address,
    except registers of one map instance that declare each other aliases."""
    if not m.submaps:
        return []  # a map's own registers are checked by check_overlaps
    base, start, size = m.fixed if m.fixed is not None else (0, 0, m.size)
    placed = []
    placed_registers(m, base, start, size, m.cls, placed)
    placed.sort(key=lambda e: (e[0], e[1]))
    errors = []
    for i, (address, nbytes, path, reg, n) in enumerate(placed):
        for other_address, _, other_path, other, other_n in placed[i + 1:]:
            if other_address >= address + nbytes:
                break
            if other_path == path and other is not reg and (other.name in reg.aliases or reg.name in other.aliases):
                continue
            errors.append(f"{m.path}: register {other_path}.{other.name}"
                          + (f"[{other.first + other_n}]" if other.array else "")
                          + f" and register {path}.{reg.name}" + (f"[{reg.first + n}]" if reg.array else "")
                          + f" share the accessor address {other_address:#x}")
    return errors


def collect(paths):
    files = []
    for path in paths:
        if os.path.isdir(path):
            files.extend(os.path.join(path, f) for f in sorted(os.listdir(path)) if f.endswith(".toml"))
        else:
            files.append(path)
    return files


# ---- emission ----

STATUS = "nVOAPALS100::tStatus& status"


def hexa(value):
    return f"0x{value:X}"


def record_base(m, reg):
    return m.flavour.record_bases[reg.kind].format(value=register_value_type(reg.width),
                                                   windowed="true" if m.flavour.windowed else "false")


def element_range(reg):
    if not reg.array:
        return ""
    if reg.element is None:
        return f"[{reg.count}]"
    return f"[{reg.first}]" if reg.count == 1 else f"[{reg.first}..{reg.first + reg.count - 1}]"


def field_value_type(m, f):
    if f.enum is not None:
        return f"{m.enum_namespace}::{f.enum}"
    return value_type(f.width)


def convert(m, f, expression):
    if f.enum is not None:
        return f"static_cast<{field_value_type(m, f)}>({expression})"
    if f.width == 1:
        return f"({expression}) != 0"
    return f"static_cast<{value_type(f.width)}>({expression})"


def describe_register(m, reg, users):
    text = f"{reg.kind}, {reg.access}; " + ", ".join(users)
    if reg.cleared:
        text += f"; {'strobe bits' if reg.kind == 'strobe-word' else 'cleared after a write'} {hexa(reg.cleared)}"
    if m.flavour.width_in_comment:
        text += f"; {reg.width} bits"
    return text


def inserted_bits(m, f):
    return m.flavour.inserted_bits.format(mask=hexa(f.mask), lsb=f.lsb, width=f.width,
                                          any_nonzero="true" if f.any_nonzero else "false")


def extract(m, f, source):
    return m.flavour.extract.format(source=source, mask=hexa(f.mask), lsb=f.lsb)


def emit_register_type(m, reg, users):
    flavour = m.flavour
    t = register_value_type(reg.width)
    lines = [f"    // {describe_register(m, reg, users)}", f"    class {reg.type} : public {record_base(m, reg)} {{",
             "    public:"]
    named = [f for f in reg.fields if f.name is not None]
    if reg.kind == "data-port":
        if reg.readable:
            port = flavour.read_port.format(value=t, bytes=reg.nbytes)
            lines.append(f"        {t} readRegister({STATUS}) {{ return {port}; }}")
        if reg.writable:
            port = flavour.write_port.format(bytes=reg.nbytes, bits="value")
            lines.append(f"        void writeRegister({t} value, {STATUS}) {{ {port}; }}")
        for f in named:
            ft = field_value_type(m, f)
            if reg.readable:
                lines.append(f"        {ft} read{f.name}({STATUS}) {{ return "
                             + convert(m, f, extract(m, f, "readRegister(status)")) + "; }")
            if reg.writable and not f.ro:
                port = flavour.write_port.format(bytes=reg.nbytes, bits=inserted_bits(m, f))
                lines.append(f"        void write{f.name}({ft} value, {STATUS}) {{ {port}; }}")
        lines.append("    };")
        return lines
    # A soft copy; a strobe word keeps its strobe bits apart until the next flush.
    strobe = reg.kind == "strobe-word"
    mask_name = "kStrobeBits" if strobe else "kClearedAfterWrite"

    def insert(mask, bits):
        return flavour.insert_into_record.format(mask=("kStrobeBits, " if strobe else "") + f"{mask}u", bits=bits)

    lines.append(f"        static constexpr {t} {mask_name} = {hexa(reg.cleared)}u;")
    if reg.writable:
        lines.append(f"        void flush({STATUS}, bool force) "
                     f"{{ {flavour.flush_record}(*this, {mask_name}, status, force); }}")
        if flavour.whole_register_setters:
            lines.append(f"        void setRegister({t} value, {STATUS}) {{ if (status.isNotFatal()) "
                         f"{{ {insert(hexa(reg.full), 'value')}; }} }}")
            lines.append(f"        void writeRegister({t} value, {STATUS}, bool force) "
                         f"{{ setRegister(value, status); flush(status, force); }}")
    if reg.readable:
        lines.append(f"        void refresh({STATUS}) {{ {flavour.refresh_record}(*this, status); }}")
        lines.append(f"        {t} readRegister({STATUS}) {{ refresh(status); return softCopy; }}")
    for f in named:
        ft = field_value_type(m, f)
        lines.append(f"        {ft} get{f.name}(nVOAPALS100::tStatus& /*status*/) const {{ return "
                     + convert(m, f, extract(m, f, "softCopy")) + "; }")
        if reg.readable:
            lines.append(f"        {ft} read{f.name}({STATUS}) {{ refresh(status); return get{f.name}(status); }}")
        if reg.writable and not f.ro:
            lines.append(f"        void set{f.name}({ft} value, {STATUS}) {{ if (status.isNotFatal()) "
                         f"{{ {insert(hexa(f.mask), inserted_bits(m, f))}; }} }}")
            lines.append(f"        void write{f.name}({ft} value, {STATUS}, bool force) "
                         f"{{ set{f.name}(value, status); flush(status, force); }}")
    if strobe and reg.writable:
        # The whole word: its strobe bits go to the pending word, then the register is flushed.
        lines.append(f"        void writeRegister({t} value, {STATUS}, bool force) {{ if (status.isNotFatal()) "
                     f"{{ {insert(hexa(reg.full), 'value')}; }} flush(status, force); }}")
    lines.append("    };")
    return lines


def accessor_type(m):
    return ACCESSORS[m.accessor].type


def constructor_signature(m):
    flavour = m.flavour
    params = [f"{accessor_type(m)}{'&' if flavour.accessor_by_reference else '*'} accessor"]
    if flavour.status_parameter and m.needs_status:
        params.append(f"{STATUS}")
    if flavour.windowed and m.fixed is None:
        params.extend(["uint32_t base", "uint32_t windowStart", "uint32_t windowSize"])
    return ", ".join(params)


TEMPLATE_HEAD = "template <uint32_t kOffset>"


def class_names(m):
    """What precedes an out-of-class definition ("" or the template head and a line break) and the
    class as such a definition names it."""
    if m.flavour.template_offset:
        return f"{TEMPLATE_HEAD}\n", f"{m.cls}<kOffset>"
    return "", m.cls


def generated_by(m):
    return f"// Generated by tools/regmapgen/regmapgen.py from {os.path.basename(m.path)}: do not edit."


def emit_enums(m):
    """The map's enums in their own namespace, followed by a blank line; nothing without enums."""
    if not m.enums:
        return []
    out = [f"namespace {m.namespace}::{m.enum_namespace} {{"]
    for e in m.enums:
        body = ", ".join(f"{k} = {v}" for k, v in e.values.items())
        out.append(f"enum {e.name} : uint32_t {{ {body} }};")
    out.append(f"}} // namespace {m.namespace}::{m.enum_namespace}")
    out.append("")
    return out


def emit_header(m):
    flavour = m.flavour
    out = [generated_by(m), "#pragma once", "", "#include <stdint.h>", ""]
    out.extend(f'#include "{path}"' for path in flavour.includes)
    out.extend(sorted({f'#include "regmaps/{sub.target.stem}.h"' for sub in m.submaps
                       if sub.target is not None and sub.target is not m}))
    out.append("")
    out.extend(emit_enums(m))
    out.append(f"namespace {m.namespace} {{")
    out.append("")
    summary = f", {flavour.summary}" if flavour.summary else ""
    out.append(f"// Register map {m.cls} (\"{m.default_name}\"){summary}, version \"{m.version}\".")
    template = f"{TEMPLATE_HEAD} " if flavour.template_offset else ""
    out.append(f"{template}class {m.cls} : public {flavour.map_base} {{")
    out.append("public:")
    emitted = set()
    for reg in m.registers:
        if reg.type in emitted:
            continue
        emitted.add(reg.type)
        users = [f"{r.name}{element_range(r)} at " + ", ".join(hexa(o) for o in r.offsets)
                 for r in m.registers if r.type == reg.type]
        out.extend(emit_register_type(m, reg, users))
        out.append("")
    explicit = "explicit " if flavour.explicit_constructor else ""
    out.append(f"    {explicit}{m.cls}({constructor_signature(m)});")
    out.append(f"    ~{m.cls}() override;")
    out.append(f"    {m.cls}(const {m.cls}&) = delete;")
    out.append(f"    {m.cls}& operator=(const {m.cls}&) = delete;")
    if flavour.reinitialize:
        out.append("    // Construction again, for these records and the sub-maps'.")
        out.append("    void reinitialize() override;")
    out.append("")
    if flavour.accessor_getter:
        reference = flavour.accessor_by_reference
        getter = ("*" if reference else "") + ACCESSORS[m.accessor].bus
        out.append(f"    {accessor_type(m)}{'&' if reference else '*'} accessor() const {{ return {getter}; }}")
        out.append("")
    out.append(flavour.registers_comment)
    declared = set()
    for reg in m.registers:
        if reg.name in declared:
            continue
        declared.add(reg.name)
        total = sum(r.count for r in m.registers if r.name == reg.name)
        out.append(f"    {reg.type} {reg.name}{f'[{total}]' if reg.array else ''};")
    if m.submaps:
        out.append(flavour.submaps_comment)
    for sub in m.submaps:
        owned = sub.ownership == "owned"
        out.append(f"    {sub.target.qualified}{'*' if owned else ''} {sub.name}"
                   f"{f'[{sub.count}]' if sub.array else ''}{' = {}' if owned else ''};")
    out.append("")
    out.append(f"    static const {flavour.tables_type} kTables;")
    if flavour.template_offset:
        out.append("")
        out.append("private:")
        out.append(f"    static void* recordAt({flavour.map_base}& base, uint32_t index);")
    out.append("};")
    if flavour.template_offset:
        out.append("")
        out.append(f"extern template class {m.cls}<0u>;")
    out.append("")
    out.append(f"}} // namespace {m.namespace}")
    return "\n".join(out) + "\n"


def flattened_registers(m):
    """(register, element, C++ expression of the element) in declaration order."""
    return [(reg, n, reg.element_name(n)) for reg in m.registers for n in range(reg.count)]


def flattened_submaps(m):
    """(sub-map, element, C++ expression, window text) in declaration order."""
    result = []
    for sub in m.submaps:
        for n in range(sub.count):
            window = f"{sub.window}{n}" if sub.array else sub.window
            result.append((sub, n, f"{sub.name}[{n}]" if sub.array else sub.name,
                           f"{window}_{sub.target.default_name}"))
    return result


def build_tables(m):
    """The identifier tables of the operations, entries (id, record index, lsb, width, any non-zero)
    sorted by identifier, and the register formats: (mask, field type) runs and their (id, first,
    count) index."""
    regs = flattened_registers(m)
    tables = {op: [] for op in OPERATIONS}
    formats, format_ids = [], []
    for index, (reg, n, _) in enumerate(regs):
        if reg.ids[n] is None:
            continue
        wholes = [(ident, index, 0, reg.width, 1)
                  for ident in [reg.ids[n]] + ([reg.view_ids[n]] if reg.view_ids else [])]
        with_ids = [f for f in reg.fields if f.ids[n] is not None]
        fields = [(f.ids[n], index, f.lsb, f.width, int(f.any_nonzero)) for f in with_ids]
        writable_fields = [entry for entry, f in zip(fields, with_ids) if not f.ro]
        if reg.soft:
            tables["get"] += wholes + fields
            if reg.writable:
                tables["set"] += wholes + writable_fields
        if reg.readable:
            tables["read"] += wholes + fields
        if reg.writable:
            tables["write"] += wholes + writable_fields
            tables["flush"] += wholes
        if reg.soft and reg.readable:
            tables["refresh"] += wholes
        # Formats: the first identifier of a register with a read view lists its writable fields,
        # the read view every field; a register without fields is one field over its width.
        views = [(reg.ids[n], [f for f in reg.fields if not f.ro] if reg.view_ids else reg.fields)]
        if reg.view_ids:
            views.append((reg.view_ids[n], reg.fields))
        for ident, view_fields in views:
            entries = [(f.mask, field_type(f.width)) for f in view_fields] or [(reg.full, field_type(reg.width))]
            format_ids.append((ident, len(formats), len(entries)))
            formats.extend(entries)
    if m.format_by_field_id:
        format_ids += field_format_ids(regs, format_ids)
    for name in tables:
        tables[name].sort()
    format_ids.sort()
    return regs, tables, formats, format_ids


def field_format_ids(regs, format_ids):
    """getRegisterFormat of a map with format_by_field_id answers every field identifier of a
    register: the engine looks a register up by (id & REGISTER_LOOKUP_MASK) | WHOLE_REGISTER, so a
    read-only field of a register without a read view needs an entry under its read-view identifier
    that lists the register's fields."""
    known = {ident: (first, count) for ident, first, count in format_ids}
    extra = {}
    for reg, n, _ in regs:
        if reg.ids[n] is None or reg.ids[n] not in known:
            continue
        for f in reg.fields:
            if f.ids[n] is None:
                continue
            key = (f.ids[n] & REGISTER_LOOKUP_MASK) | WHOLE_REGISTER
            if key not in known and key not in extra:
                extra[key] = known[reg.ids[n]]
    return [(key, first, count) for key, (first, count) in extra.items()]


def emit_switch(signature, cls, cases):
    """A function from an index to a record or a sub-map."""
    out = [f"{signature} {{"]
    if cases:
        out.append(f"    auto& map = static_cast<{cls}&>(base);")
        out.append("    switch (index) {")
        out.extend(f"    case {index}: return {target};" for index, target in enumerate(cases))
        out.append("    default: return nullptr;")
        out.append("    }")
    else:
        out += ["    (void)base;", "    (void)index;", "    return nullptr;"]
    out.append("}")
    out.append("")
    return out


def constructor_args(m, sub, n):
    """Arguments of the constructor of element n of a sub-map."""
    args = ["accessor"]
    if sub.target.flavour.status_parameter and sub.target.needs_status:
        args.append("status")
    if sub.target.fixed is None:
        args.extend(placement_args(m, sub, n))
    return ", ".join(args)


def placement_args(m, sub, n):
    """Base, window start and window size of element n of a sub-map, as C++ expressions."""
    if sub.placement == "fixed":
        return [f"{hexa((sub.base + n * sub.stride) & ADDRESS_MASK)}u", f"{hexa(sub.window_start)}u",
                f"{hexa(sub.window_size)}u"]
    offset = sub.offset + n * sub.stride
    if m.fixed is not None:
        base, start, size = (f"{hexa(v)}u" for v in m.fixed)
    else:
        base, start, size = "base", "windowStart", "windowSize"
    call = f"arm::relativePlacement({base}, {start}, {size}, {hexa(offset)}u, {hexa(sub.span)}u)"
    return [f"{call}.base", f"{call}.windowStart", f"{call}.windowSize"]


def emit_source(m):
    flavour = m.flavour
    regs, tables, formats, format_ids = build_tables(m)
    subs = flattened_submaps(m)
    cls = m.cls
    template, named = class_names(m)
    base_type = flavour.map_base
    out = [generated_by(m), f'#include "regmaps/{m.stem}.h"', "", '#include "platform/status.h"', "",
           f"namespace {m.namespace} {{", "", "namespace {", ""]
    out.append(f"// {len(regs)} registers in declaration order: {flavour.registers_heading}")
    if regs:
        out.append(f"constexpr {flavour.register_info_type} kRegisters[] = {{")
        for reg, n, expr in regs:
            row = flavour.register_row.format(offset=hexa(reg.offsets[n]), bytes=reg.nbytes,
                                              default=hexa(reg.defaults[n]), cleared=hexa(reg.cleared),
                                              kind=KINDS[reg.kind], access=ACCESSES[reg.access])
            out.append(f"    {row}  // {expr}")
        out.append("};")
    out.append("")
    for name, entries in tables.items():
        if not entries:
            continue
        out.append(f"constexpr {flavour.id_entry_type} k{name.capitalize()}Ids[] = {{")
        for ident, index, lsb, width, any_nonzero in entries:
            row = flavour.id_row.format(ident=ident, index=index, lsb=lsb, width=width, any_nonzero=any_nonzero)
            out.append(f"    {row}  // {regs[index][2]}")
        out.append("};")
    if format_ids:
        out.append("constexpr arm::tFormatEntry kFormatIds[] = {")
        out.extend(f"    {{0x{ident:08X}u, {first}, {count}}}," for ident, first, count in format_ids)
        out.append("};")
        out.append("constexpr arm::tFieldFormat kFormats[] = {")
        for i in range(0, len(formats), 4):
            out.append("    " + " ".join(f"{{0x{mask:08X}u, arm::FieldType({t})}}," for mask, t in formats[i:i + 4]))
        out.append("};")
    if flavour.window_texts and subs:
        out.append("constexpr const char* kWindowTexts[] = {")
        out.extend(f'    "{text}",' for _, _, _, text in subs)
        out.append("};")
    out.append("")
    record_signature = f"void* recordAt({base_type}& base, uint32_t index)"
    submap_signature = f"{base_type}* subMapAt({base_type}& base, uint32_t index)"
    if flavour.switches_declared_first:
        out += [f"{record_signature};", f"{submap_signature};", "", "} // namespace", "", "namespace {", ""]
    records = [f"static_cast<{record_base(m, reg)}*>(&map.{expr})" for reg, _, expr in regs]
    if flavour.template_offset:
        # The record switch is a member of the class template.
        out += ["} // namespace", ""]
        out += emit_switch(f"{template}void* {named}::recordAt({base_type}& base, uint32_t index)", named, records)
    else:
        out += emit_switch(record_signature, cls, records)
        out += emit_switch(submap_signature, cls, [f"map.{expr}" if sub.ownership == "owned" else f"&map.{expr}"
                                                   for sub, _, expr, _ in subs])
        out += ["} // namespace", ""]
    # The tables.
    out.append(f"{template}{flavour.tables_qualifier} {flavour.tables_type} {named}::kTables = {{")
    out += [f'    "{m.default_name}",', f'    "{m.version}",', f'    "{m.oldest}",']
    if flavour.tables_window_flag:
        out.append(f"    {'true' if flavour.windowed else 'false'},")
    out.append(f"    {'kRegisters' if regs else 'nullptr'}, {len(regs)},")
    out.append(f"    {'&' + named + '::recordAt' if flavour.template_offset else 'recordAt'},")
    for name, entries in tables.items():
        entry = f"{{k{name.capitalize()}Ids, {len(entries)}}}" if entries else "{nullptr, 0}"
        out.append(f"    {entry},  // {name}")
    out.append(f"    kFormatIds, {len(format_ids)}, kFormats," if format_ids else "    nullptr, 0, nullptr,")
    out.append(flavour.submap_tables_entry.format(
        texts="kWindowTexts" if flavour.window_texts and subs else "nullptr", count=len(subs),
        switch="subMapAt" if flavour.submap_switch else "nullptr"))
    out.append("};")
    out.append("")
    out += emit_construction(m, template, named, subs)
    out.append("")
    out.append(f"}} // namespace {m.namespace}")
    return "\n".join(out) + "\n"


def emit_construction(m, template, named, subs):
    """Constructor, destructor and what else a flavour defines out of the class."""
    flavour = m.flavour
    cls = m.cls
    if flavour.template_offset:
        place = f"kOffset, 0u, {hexa(ADDRESS_MASK)}u"
    else:
        place = (", ".join(f"{hexa(v)}u" for v in m.fixed) if m.fixed is not None
                 else "base, windowStart, windowSize")
    inits = [f"{flavour.map_base}(kTables, {flavour.bus}, {place})"]
    for sub in m.submaps:
        if sub.ownership != "embedded":
            continue
        if sub.array:
            elements = ", ".join(f"{sub.target.qualified}({constructor_args(m, sub, n)})" for n in range(sub.count))
            inits.append(f"{sub.name}{{{elements}}}")
        else:
            inits.append(f"{sub.name}({constructor_args(m, sub, 0)})")
    out = [f"{template}{named}::{cls}({constructor_signature(m)})",
           "    : " + ",\n      ".join(inits) + " {", "    initializeRecords();"]
    owned = [(sub, n, expr) for sub, n, expr, _ in subs if sub.ownership == "owned"]
    if owned:
        out.append("    // Allocated in declaration order; none once the status holds an error.")
        for sub, n, expr in owned:
            out += ["    if (status.isNotFatal()) {",
                    f"        {expr} = new {sub.target.qualified}({constructor_args(m, sub, n)});",
                    f"        if ({expr} == nullptr) {{",
                    "            KELVO_SET_STATUS(status, nVOAPALS100::tStatus::kOutOfMemory);",
                    "        }", "    }"]
    elif flavour.status_parameter and m.needs_status:
        out.append("    (void)status;")
    out.append("}")
    out.append("")
    if flavour.default_destructor:
        out.append(f"{template}{named}::~{cls}() = default;")
    else:
        # Out of line: the class's virtual table lives in this file only.
        out.append(f"{cls}::~{cls}() {{")
        if owned:
            out.append("    // Allocated sub-maps in the reverse order of their construction; empty slots skipped.")
        for _, _, expr in reversed(owned):
            out += [f"    if ({expr} != nullptr) {{", f"        delete {expr};", f"        {expr} = nullptr;", "    }"]
        out.append("}")
    if flavour.template_offset:
        out += ["", "// The driver uses offset 0 only.", f"template class {cls}<0u>;"]
    if flavour.reinitialize:
        out += ["", f"void {cls}::reinitialize() {{", "    reinitializeWithSubMaps();", "}"]
    return out


def write_if_changed(path, text):
    try:
        with open(path, encoding="utf-8") as handle:
            if handle.read() == text:
                return
    except OSError:
        pass
    os.makedirs(os.path.dirname(path), exist_ok=True)
    temporary = path + ".tmp"
    with open(temporary, "w", encoding="utf-8") as handle:
        handle.write(text)
    os.replace(temporary, path)


def main(argv):
    parser = argparse.ArgumentParser(description="Generates register maps from their descriptions.")
    parser.add_argument("descriptions", nargs="+", help="description files to generate")
    parser.add_argument("--search", action="append", default=[], help="further description files or folders")
    parser.add_argument("--output-dir", help="where regmaps/<stem>.h and .cpp go")
    parser.add_argument("--check", action="store_true", help="check only, write nothing")
    args = parser.parse_args(argv)
    targets = [os.path.abspath(p) for p in args.descriptions]
    others = [os.path.abspath(p) for p in collect(args.search)]
    paths = targets + [p for p in others if p not in targets]
    maps, errors = load_all(paths)
    resolve(maps, errors)
    chosen = [m for m in maps if m.path in targets]
    if not errors:
        for m in chosen:
            if m.flavour.tree_check:
                errors.extend(check_absolute_addresses(m))
    stems = {}
    for m in chosen:
        if m.stem in stems:
            errors.append(f"{m.path}: file name '{m.stem}' is also used by {stems[m.stem]}")
        stems[m.stem] = m.path
    if errors:
        for error in errors:
            print(f"regmapgen: {error}", file=sys.stderr)
        return 1
    if args.check:
        return 0
    if not args.output_dir:
        print("regmapgen: --output-dir is needed unless --check", file=sys.stderr)
        return 2
    folder = os.path.join(args.output_dir, "regmaps")
    for m in chosen:
        write_if_changed(os.path.join(folder, f"{m.stem}.h"), emit_header(m))
        write_if_changed(os.path.join(folder, f"{m.stem}.cpp"), emit_source(m))
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
