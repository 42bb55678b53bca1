"""The register generator's model: identifiers, the typed records of a description, the flavours of
map and the faults of a run.

A description is read (load.py) into a Map with its Enums, Registers (with their Fields) and
SubMaps; every record keeps the lines of its table in the file, so a fault names file and line.
What differs between the flavours of map (kelvo, bridge, timing) is a Flavour record in FLAVOURS:
description rules and what the generated code does, never the wording or layout of the text.
"""
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


# ---- where a table is in its file, and the faults of a run ----

@dataclass
class Lines:
    """The first line of a table and the lines of its keys and of the inline tables of its arrays."""
    first: int = 1
    keys: dict = field(default_factory=dict)
    items: dict = field(default_factory=dict)  # key -> line of each inline table of its array

    def of(self, key=None):
        return self.keys.get(key, self.first) if key is not None else self.first

    def item(self, key, index):
        """The lines of inline table `index` of the array under `key`."""
        lines = self.items.get(key, [])
        return Lines(lines[index] if index < len(lines) else self.of(key))


class Faults:
    """The faults of one run, each reported once as 'file:line: error: where: what'."""

    def __init__(self):
        self.messages = []
        self.paths = set()  # files with a fault

    def add(self, path, line, where, message):
        text = f"{path}:{line}: error: {where}: {message}" if where else f"{path}:{line}: error: {message}"
        if text not in self.messages:
            self.messages.append(text)
        self.paths.add(path)

    def __bool__(self):
        return bool(self.messages)


# ---- typed records of a description ----

KINDS = {"soft-copy": "arm::kSoftCopy", "strobe-word": "arm::kStrobeWord", "data-port": "arm::kDataPort"}
ACCESSES = {"read-write": "arm::kReadWrite", "read-only": "arm::kReadOnly", "write-only": "arm::kWriteOnly"}
OPERATIONS = ("get", "set", "read", "write", "flush", "refresh")


@dataclass
class Enum:
    name: str
    values: dict
    lines: Lines = field(default_factory=Lines)


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
    id_given_once: bool = False  # one 'id' for every element of an array
    lines: Lines = field(default_factory=Lines)

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
    layout_only: bool = False  # no record and no identifier: only the map's layout header names it
    masks: dict = field(default_factory=dict)  # name -> a set of field bits, for the layout header
    ids: list = field(default_factory=list)  # per element, derived (None: no identifier)
    id_given_once: bool = False  # one 'id' for every element of an array
    lines: Lines = field(default_factory=Lines)

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
    lines: Lines = field(default_factory=Lines)

    def where(self):
        return f"submap '{self.name}'"


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
    """What a flavour of map allows and what its generated code does differently. The text around it
    (comments, layout, order) is the same for every flavour."""
    name: str
    # -- description rules --
    widths: tuple
    key_is_offset: bool  # key = byte offset, READ_ONLY on read-only registers, array ids count up
    accessors: tuple  # accessors a map may name; the first is the default
    sized_keys: bool  # accessor, enum_namespace, one_bit, any_nonzero
    strobe_words: bool
    read_views: bool  # a register with read-only and writable fields has a second identifier
    format_only_fields: bool
    split_arrays: bool  # arrays declared in parts
    tree_check: bool  # no two registers of a map's tree share an accessor address
    submaps: str | None  # "any": sub-maps of this flavour; "fixed": one embedded at a fixed place each
    # -- the class --
    includes: tuple
    map_base: str
    tables_type: str
    register_info_type: str
    template_offset: bool  # a template over an offset added to every register offset
    accessor_by_reference: bool
    accessor_getter: bool
    bus: str  # the engine's view of the accessor ({accessor}: a pointer to it)
    windowed: bool  # records know whether they lie in the map's window
    status_parameter: bool  # the constructor may take a status
    reinitialize: bool
    # -- nested register types --
    record_bases: dict  # kind -> record type ({value}: soft-copy type, {windowed})
    whole_register_setters: bool  # setRegister and writeRegister of every writable soft copy
    inserted_bits: str  # {mask}, {lsb}, {width}, {any_nonzero}
    insert_into_record: str  # {mask}, {bits}
    flush_record: str
    refresh_record: str
    read_port: str  # {value}, {bytes}
    write_port: str  # {bytes}, {bits}
    # -- tables --
    register_columns: tuple  # members of the register info, in order (REGISTER_COLUMNS)
    id_entry_type: str
    id_columns: tuple  # members of an identifier entry, in order (ID_COLUMNS)
    window_texts: bool  # the tables list the sub-maps' window texts
    tables_window_flag: bool  # the tables say whether the records are windowed


# The register-info members a flavour's tables may have, and what the heading of the table calls them.
REGISTER_COLUMNS = {"offset": "offset", "bytes": "bytes", "default": "default",
                    "cleared": "cleared after a write", "kind": "kind",
                    "access": "access"}
ID_COLUMNS = ("id", "index", "lsb", "width", "any_nonzero")

SIZED = dict(
    widths=(8, 16, 32, 64), key_is_offset=True, accessors=("memory", "front-end"), sized_keys=True,
    strobe_words=False, read_views=False, format_only_fields=False, split_arrays=False, tree_check=False,
    submaps=None,
    includes=("platform/pci_memory_accessor.h", "platform/status.h", "regs/front_end_accessor.h",
              "regs/sized_register_map.h"),
    map_base="arm::tSizedRegisterMapBase", tables_type="arm::tSizedRegisterMapTables",
    register_info_type="arm::tSizedRegisterInfo",
    template_offset=False, accessor_by_reference=False, accessor_getter=True, bus="arm::tRegisterBus({accessor})",
    windowed=True, status_parameter=False, reinitialize=True,
    record_bases={"soft-copy": "arm::tSizedRegisterRecord<{value}, {windowed}>",
                  "data-port": "arm::tSizedDataPortRecord<{windowed}>"},
    whole_register_setters=True,
    inserted_bits="arm::insertedSizedBits(static_cast<uint64_t>(value), {lsb}, {width}, {any_nonzero})",
    insert_into_record="arm::insertIntoSizedRecord(*this, {mask}, {bits})",
    flush_record="arm::flushSizedRecord", refresh_record="arm::refreshSizedRecord",
    read_port="static_cast<{value}>(arm::readSizedPort(*this, {bytes}, status))",
    write_port="arm::writeSizedPort(*this, {bytes}, {bits}, status)",
    register_columns=("offset", "bytes", "kind", "access", "default", "cleared"),
    id_entry_type="arm::tSizedIdEntry", id_columns=ID_COLUMNS, window_texts=False, tables_window_flag=True)

FLAVOURS = {
    "kelvo": Flavour(
        name="kelvo", widths=(32,), key_is_offset=False, accessors=("front-end",), sized_keys=False,
        strobe_words=True, read_views=True, format_only_fields=True, split_arrays=True, tree_check=True,
        submaps="any",
        includes=("platform/status.h", "regs/register_map.h"),
        map_base="arm::tRegisterMapBase", tables_type="arm::tRegisterMapTables",
        register_info_type="arm::tRegisterInfo",
        template_offset=False, accessor_by_reference=False, accessor_getter=False, bus="{accessor}",
        windowed=True, status_parameter=True, reinitialize=False,
        record_bases={"soft-copy": "arm::tRegisterRecord", "strobe-word": "arm::tStrobeRegisterRecord",
                      "data-port": "arm::tDataPortRecord"},
        whole_register_setters=False,
        inserted_bits="arm::insertedBits(static_cast<uint64_t>(value), {mask}u, {lsb}, {width})",
        insert_into_record="arm::insertIntoRecord(*this, {mask}, {bits})",
        flush_record="arm::flushRecord", refresh_record="arm::refreshRecord",
        read_port="arm::readDataPort(*this, status)", write_port="arm::writeDataPort(*this, {bits}, status)",
        register_columns=("offset", "default", "cleared", "kind", "access"),
        id_entry_type="arm::tIdEntry", id_columns=ID_COLUMNS[:4], window_texts=True, tables_window_flag=False),
    "bridge": Flavour(**{**SIZED, **dict(name="bridge", template_offset=True, accessor_by_reference=True,
                                         windowed=False, reinitialize=False)}),
    "timing": Flavour(**{**SIZED, **dict(name="timing", widths=(8, 16, 32), accessors=("memory",),
                                         submaps="fixed")}),
}


def flavours_with(attribute):
    """The flavours that allow something, as text: 'bridge and timing maps'."""
    names = [f.name for f in FLAVOURS.values() if getattr(f, attribute)]
    return (", ".join(names[:-1]) + " and " + names[-1] if len(names) > 1 else names[0]) + " maps"


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
    lines: Lines = field(default_factory=Lines)
    sound: bool = True  # false once a fault was found in its file: it is not checked further

    @property
    def mapped(self):
        """The registers with a record in the map (all but the layout-only ones)."""
        return [reg for reg in self.registers if not reg.layout_only]

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
                 "fields", "element", "layout_only", "masks"}
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
