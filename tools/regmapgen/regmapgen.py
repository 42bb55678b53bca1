#!/usr/bin/env python3
"""Register-map generator: turns register descriptions (TOML) into C++ maps.

Each description file holds one map (docs/register-descriptions.md gives the
format). The generator checks the description against itself (identifiers
recomputed from key, bits and read-only mark; field types from widths; fields
inside their register and apart from each other; registers apart from each
other unless declared aliases; defaults and masks within the register's width;
registers and relatively placed sub-maps inside the map's region) and writes,
per map, a header with the class and its nested register types and a source
file with the constant tables the engine (driver/regs/register_map.h) searches.

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

KINDS = {"soft-copy": "arm::kSoftCopy", "strobe-word": "arm::kStrobeWord", "data-port": "arm::kDataPort"}
ACCESSES = {"read-write": "arm::kReadWrite", "read-only": "arm::kReadOnly", "write-only": "arm::kWriteOnly"}
FLAVOURS = ("kelvo", "bridge", "timing")
GENERATED_FLAVOURS = ("kelvo", "bridge", "timing")

MAP_KEYS = {"class", "namespace", "flavour", "version", "oldest_compatible_version", "default_name", "size",
            "base", "window_start", "window_size", "format_by_field_id", "takes_status"}
# Keys of the bridge and timing-chip flavours (load_sized_map_keys).
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


class DescriptionError(Exception):
    pass


def reverse6(value):
    """The field selector: a lowest bit 0..31 as a 6-bit number with its bit order reversed."""
    return int(f"{value:06b}"[::-1], 2)


def field_type(width):
    return 0 if width == 1 else 1 if width <= 8 else 2 if width <= 16 else 3


def field_mask(lsb, width):
    return ((1 << width) - 1) << lsb


def value_type(width):
    return "bool" if width == 1 else "uint8_t" if width <= 8 else "uint16_t" if width <= 16 else "uint32_t"


def is_identifier(text):
    return isinstance(text, str) and text.isidentifier() and text.isascii()


class Field:
    pass


class Register:
    pass


class SubMap:
    pass


class Map:
    pass


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
        m = Map()
        m.path = self.path
        m.stem = os.path.splitext(os.path.basename(self.path))[0]
        head = data.get("map")
        if not isinstance(head, dict):
            self.fail("file", "missing [map]")
            return None
        self.check_keys(head, MAP_KEYS, "[map]")
        m.cls = self.text(head, "class", "[map]", default="tUnnamed")
        if not is_identifier(m.cls) or not m.cls.startswith("t"):
            self.fail("[map]", f"class '{m.cls}' must be an identifier starting with 't'")
        m.namespace = self.text(head, "namespace", "[map]", default="kelvo_regmaps")
        if not all(is_identifier(part) for part in m.namespace.split("::")):
            self.fail("[map]", f"namespace '{m.namespace}' is not a C++ namespace")
        m.flavour = self.text(head, "flavour", "[map]", required=False, default="kelvo", choices=FLAVOURS)
        m.version = self.text(head, "version", "[map]", default="")
        m.oldest = self.text(head, "oldest_compatible_version", "[map]", required=False, default=m.version)
        m.default_name = self.text(head, "default_name", "[map]", required=False, default=m.cls[1:])
        m.size = self.integer(head, "size", "[map]", default=0, low=1, high=0x100000000)
        fixed = [k for k in ("base", "window_start", "window_size") if k in head]
        m.fixed = None
        if fixed:
            if len(fixed) != 3:
                self.fail("[map]", "a fixed placement gives base, window_start and window_size together")
            else:
                m.fixed = tuple(self.integer(head, k, "[map]", default=0) for k in ("base", "window_start",
                                                                                    "window_size"))
        m.format_by_field_id = head.get("format_by_field_id", False)
        if not isinstance(m.format_by_field_id, bool):
            self.fail("[map]", "'format_by_field_id' must be true or false")
            m.format_by_field_id = False
        m.takes_status = head.get("takes_status", False)
        if not isinstance(m.takes_status, bool):
            self.fail("[map]", "'takes_status' must be true or false")
            m.takes_status = False
        self.load_sized_map_keys(m, head)
        m.enums = self.load_enums(data.get("enum", []))
        m.registers = []
        for index, table in enumerate(data.get("register", [])):
            reg = self.load_register(m, table, index)
            if reg is not None:
                m.registers.append(reg)
        m.submaps = []
        for index, table in enumerate(data.get("submap", [])):
            sub = self.load_submap(m, table, index)
            if sub is not None:
                m.submaps.append(sub)
        if not self.errors:
            self.check_map(m)
        return m

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
            enums.append((name, values))
        return enums

    def load_register(self, m, table, index):
        where = f"register #{index}"
        if not self.check_keys(table, REGISTER_KEYS, where):
            return None
        reg = Register()
        reg.name = self.text(table, "name", where, default=f"Register{index}")
        where = f"register '{reg.name}'"
        if not is_identifier(reg.name):
            self.fail(where, "name is not an identifier")
        reg.type = self.text(table, "type", where, default=f"t{reg.name}")
        if not is_identifier(reg.type):
            self.fail(where, f"type '{reg.type}' is not an identifier")
        # An entry with `element` declares elements element..element+count-1 of an array whose
        # elements are declared apart from each other (see check_split_arrays).
        reg.element = self.integer(table, "element", where, required=False, default=None, high=4095)
        reg.first = reg.element or 0
        reg.array = "count" in table or reg.element is not None
        reg.count = self.integer(table, "count", where, required=False, default=1, low=1, high=4096)
        reg.kind = self.text(table, "kind", where, required=False, default="soft-copy", choices=tuple(KINDS))
        reg.access = self.text(table, "access", where, required=False, default="read-write",
                               choices=tuple(ACCESSES))
        reg.width = self.integer(table, "width", where, required=False, default=32, low=8, high=64)
        if reg.width not in (8, 16, 32, 64):
            self.fail(where, f"width {reg.width} is not 8, 16, 32 or 64")
            reg.width = 32
        if m.flavour == "kelvo" and reg.width != 32:
            self.fail(where, "registers of a kelvo map are 32 bits wide")
        self.check_sized_register(m, reg, where)
        # Offsets of the elements.
        if reg.array and "offsets" in table:
            if "offset" in table or "stride" in table:
                self.fail(where, "give 'offsets', or 'offset' and 'stride'")
            reg.offsets = self.integer_list(table, "offsets", where, reg.count) or [0] * reg.count
        else:
            if "offsets" in table:
                self.fail(where, "'offsets' is for arrays (give 'count')")
            first = self.integer(table, "offset", where, default=0)
            stride = self.integer(table, "stride", where, required=reg.array and reg.count > 1, default=0)
            if not reg.array and "stride" in table:
                self.fail(where, "'stride' is for arrays (give 'count')")
            reg.offsets = [first + n * stride for n in range(reg.count)]
        # Identifiers as transcribed, one per element.
        reg.has_id = not (m.flavour == "bridge" and reg.width == 64)
        if reg.has_id:
            reg.ids = self.per_element(table, "id", "ids", where, reg.count, reg.array) or [0] * reg.count
            reg.ids = counted_up_ids(m, reg, table, reg.ids)
        else:
            if "id" in table or "ids" in table:
                self.fail(where, "a 64-bit register of a bridge map has no identifier")
            reg.ids = [None] * reg.count
        reg.view_ids = None
        if "view_id" in table or "view_ids" in table:
            reg.view_ids = self.per_element(table, "view_id", "view_ids", where, reg.count, reg.array)
        reg.defaults = self.per_element(table, "default", "defaults", where, reg.count, reg.array, required=False,
                                        default=0, high=0xFFFFFFFFFFFFFFFF) or [0] * reg.count
        if "cleared_after_write" in table and "kept_after_write" in table:
            self.fail(where, "give 'cleared_after_write' or 'kept_after_write', not both")
        full = (1 << reg.width) - 1
        if "kept_after_write" in table:
            kept = self.integer(table, "kept_after_write", where, default=full, high=0xFFFFFFFFFFFFFFFF)
            reg.cleared = full & ~kept
            if kept & ~full:
                self.fail(where, f"kept_after_write {kept:#x} does not fit {reg.width} bits")
        else:
            reg.cleared = self.integer(table, "cleared_after_write", where, required=False, default=0,
                                       high=0xFFFFFFFFFFFFFFFF)
            if reg.cleared & ~full:
                self.fail(where, f"cleared_after_write {reg.cleared:#x} does not fit {reg.width} bits")
        aliases = table.get("aliases", [])
        if not isinstance(aliases, list) or not all(isinstance(a, str) for a in aliases):
            self.fail(where, "'aliases' must be a list of register names")
            aliases = []
        reg.aliases = aliases
        reg.fields = []
        fields = table.get("fields", [])
        if not isinstance(fields, list):
            self.fail(where, "'fields' must be an array of tables")
            fields = []
        for findex, ftable in enumerate(fields):
            field = self.load_field(m, reg, ftable, f"{where} field #{findex}")
            if field is not None:
                reg.fields.append(field)
        return reg

    def load_field(self, m, reg, table, where):
        if not self.check_keys(table, FIELD_KEYS, where):
            return None
        field = Field()
        bits = table.get("bits")
        if isinstance(bits, int) and not isinstance(bits, bool):
            field.lsb, msb = bits, bits
        elif isinstance(bits, str):
            parts = bits.split("-")
            try:
                numbers = [int(p.strip(), 0) for p in parts]
            except ValueError:
                numbers = []
            if len(numbers) == 1:
                field.lsb, msb = numbers[0], numbers[0]
            elif len(numbers) == 2:
                field.lsb, msb = numbers
            else:
                self.fail(where, f"bits '{bits}' must be 'N' or 'LOW-HIGH'")
                return None
        else:
            self.fail(where, "missing 'bits' (N or \"LOW-HIGH\")")
            return None
        if field.lsb < 0 or msb < field.lsb:
            self.fail(where, f"bits {field.lsb}-{msb} are not a range from low to high")
            return None
        if msb >= min(reg.width, 32):
            self.fail(where, f"bits {field.lsb}-{msb} lie outside the {reg.width}-bit register")
            return None
        field.width = msb - field.lsb + 1
        field.mask = field_mask(field.lsb, field.width)
        field.name = self.text(table, "name", where, required=False, default=None)
        if field.name is not None and not is_identifier(field.name):
            self.fail(where, f"name '{field.name}' is not an identifier")
        ro = table.get("ro", reg.access == "read-only")
        if not isinstance(ro, bool):
            self.fail(where, "'ro' must be true or false")
            ro = False
        field.ro = ro
        self.load_one_bit_rule(m, reg, field, table, where)
        field.enum = self.text(table, "enum", where, required=False, default=None)
        if field.enum is not None and field.enum not in [name for name, _ in m.enums]:
            self.fail(where, f"enum '{field.enum}' is not declared in this map")
        if "type" in table:
            given = self.integer(table, "type", where, high=3)
            if given is not None and given != field_type(field.width):
                self.fail(where, f"field type {given} does not match a width of {field.width} bits "
                                 f"(type {field_type(field.width)})")
        # A format-only field has no identifier: it only shapes getRegisterFormat.
        format_only = table.get("format_only", False)
        if not isinstance(format_only, bool):
            self.fail(where, "'format_only' must be true or false")
            format_only = False
        if format_only and ("id" in table or "ids" in table or field.name is not None):
            self.fail(where, "a format-only field has neither identifier nor name")
        if format_only and m.flavour != "kelvo":
            self.fail(where, "format-only fields are for kelvo maps")
        if reg.has_id and not format_only:
            field.ids = self.per_element(table, "id", "ids", where, reg.count, reg.array) or [0] * reg.count
            field.ids = counted_up_ids(m, reg, table, field.ids)
        else:
            field.ids = [None] * reg.count
        return field

    # ---- bridge and timing-chip flavours ----

    def load_sized_map_keys(self, m, head):
        """accessor, enum_namespace and one_bit: keys of the bridge and timing-chip maps."""
        sized = m.flavour in ("bridge", "timing")
        for key in SIZED_MAP_KEYS:
            if key in head and not sized:
                self.fail("[map]", f"'{key}' is for bridge and timing maps")
        m.accessor = self.text(head, "accessor", "[map]", required=False, default="memory",
                               choices=("memory", "front-end"))
        if m.flavour == "timing" and m.accessor != "memory":
            self.fail("[map]", "a timing map reaches its registers through the memory accessor")
        m.enum_ns = self.text(head, "enum_namespace", "[map]", required=False, default=None)
        if m.enum_ns is not None and not is_identifier(m.enum_ns):
            self.fail("[map]", f"enum_namespace '{m.enum_ns}' is not an identifier")
        m.one_bit = self.text(head, "one_bit", "[map]", required=False, default="any-nonzero",
                              choices=("any-nonzero", "bit0"))

    def check_sized_register(self, m, reg, where):
        if m.flavour not in ("bridge", "timing"):
            return
        if reg.kind == "strobe-word":
            self.fail(where, f"a {m.flavour} map has no strobe-word registers (use cleared_after_write)")
        if m.flavour == "timing" and reg.width == 64:
            self.fail(where, "a timing map has no 64-bit registers")
        if getattr(m, "accessor", "memory") == "front-end" and reg.width != 32:
            self.fail(where, "a front-end accessor carries 32-bit registers only")

    def load_one_bit_rule(self, m, reg, field, table, where):
        """Whether a one-bit field takes any non-zero value as 1 (else only bit 0 of the value). Kelvo
        maps and data ports always take any non-zero value; bridge and timing maps follow their
        'one_bit' rule unless the field says 'any_nonzero'."""
        given = table.get("any_nonzero")
        if given is not None:
            if not isinstance(given, bool):
                self.fail(where, "'any_nonzero' must be true or false")
                given = None
            elif m.flavour == "kelvo":
                self.fail(where, "'any_nonzero' is for bridge and timing maps")
            elif field.width != 1:
                self.fail(where, "'any_nonzero' is for one-bit fields")
            elif reg.kind == "data-port" and not given:
                self.fail(where, "a one-bit field of a data port takes any non-zero value")
        if m.flavour == "kelvo" or reg.kind == "data-port":
            field.any_nonzero = True
        elif given is not None:
            field.any_nonzero = given
        else:
            field.any_nonzero = getattr(m, "one_bit", "any-nonzero") == "any-nonzero"

    # ---- checks of a whole map ----

    def check_map(self, m):
        names = set()
        for reg in m.registers:
            if reg.name in names and reg.element is None:
                self.fail(f"register '{reg.name}'", "name used twice")
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
        where = f"register '{reg.name}'"
        nbytes = reg.width // 8
        for n, offset in enumerate(reg.offsets):
            element = f"{where}" + (f" element {reg.first + n}" if reg.array else "")
            if offset % nbytes:
                self.fail(element, f"offset {offset:#x} is not aligned to its {reg.width} bits")
            if offset + nbytes > m.size:
                self.fail(element, f"offset {offset:#x} ({nbytes} bytes) lies outside the map's region "
                                   f"of {m.size:#x} bytes")
        full = (1 << reg.width) - 1
        for n, default in enumerate(reg.defaults):
            if default & ~full:
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
        seen = 0
        field_names = set()
        for field in sorted(reg.fields, key=lambda f: f.lsb):
            if seen & field.mask:
                self.fail(where, f"field bits {field.lsb}-{field.lsb + field.width - 1} overlap another field")
            seen |= field.mask
            if field.name is not None:
                if field.name in field_names:
                    self.fail(where, f"field name '{field.name}' used twice")
                field_names.add(field.name)
            if reg.access == "read-only" and not field.ro:
                self.fail(where, f"field {field.lsb} of a read-only register must be read-only")
            if reg.access == "write-only" and field.ro:
                self.fail(where, f"field {field.lsb} of a write-only register cannot be read-only")
        reg.fields.sort(key=lambda f: f.lsb)
        for alias in reg.aliases:
            if alias not in names or alias == reg.name:
                self.fail(where, f"alias '{alias}' names no other register of this map")
        reg.mixed = any(f.ro for f in reg.fields) and any(not f.ro for f in reg.fields)
        if reg.has_id:
            self.check_ids(m, reg, where)

    def check_ids(self, m, reg, where):
        for n in range(reg.count):
            element = where + (f" element {reg.first + n}" if reg.array else "")
            given = reg.ids[n]
            key = given & 0xFFFFFF
            if m.flavour == "kelvo":
                expected = 0x80000000 | key
            else:
                # Bridge and timing maps: the key is the byte offset; a read-only register carries bit 30.
                if key != reg.offsets[n]:
                    self.fail(element, f"identifier {given:#010x}: the key of a {m.flavour} map is the "
                                       f"register's offset {reg.offsets[n]:#x}")
                expected = 0x80000000 | key | (0x40000000 if reg.access == "read-only" else 0)
            if given != expected:
                self.fail(element, f"whole-register identifier {given:#010x} should be {expected:#010x}")
            if m.flavour == "kelvo" and reg.mixed:
                view = 0xC0000000 | key
                if reg.view_ids is None:
                    self.fail(element, f"a register with read-only and writable fields has the second "
                                       f"identifier {view:#010x}: give it as view_id")
                elif reg.view_ids[n] != view:
                    self.fail(element, f"view identifier {reg.view_ids[n]:#010x} should be {view:#010x}")
            elif reg.view_ids is not None:
                self.fail(element, "only a kelvo register with both read-only and writable fields has a "
                                   "view identifier")
            for field in reg.fields:
                expected_field = key | (reverse6(field.lsb) << 24) | (0x40000000 if field.ro else 0)
                if field.ids[n] is not None and field.ids[n] != expected_field:
                    self.fail(element, f"field {field.lsb}-{field.lsb + field.width - 1}: identifier "
                                       f"{field.ids[n]:#010x} should be {expected_field:#010x}")

    def check_shared_types(self, m):
        by_type = {}
        for reg in m.registers:
            shape = (reg.kind, reg.access, reg.width, reg.cleared,
                     tuple((f.lsb, f.width, f.ro, f.name, f.enum) for f in reg.fields))
            if reg.type in by_type and by_type[reg.type][1] != shape:
                self.fail(f"register '{reg.name}'", f"type '{reg.type}' is shared with register "
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
            if m.flavour != "kelvo":
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
        elements = []
        for reg in m.registers:
            for n, offset in enumerate(reg.offsets):
                elements.append((offset, offset + reg.width // 8, reg, n))
        elements.sort(key=lambda e: (e[0], e[1]))
        for i, (begin, end, reg, n) in enumerate(elements):
            for other_begin, _, other, other_n in elements[i + 1:]:
                if other_begin >= end:
                    break
                if other is reg or (other.name not in reg.aliases and reg.name not in other.aliases):
                    self.fail(f"register '{other.name}'" + (f" element {other.first + other_n}" if other.array
                                                            else ""),
                              f"offset {other_begin:#x} overlaps register '{reg.name}'"
                              + (f" element {reg.first + n}" if reg.array else "")
                              + " (declare an alias if intended)")

    def check_identifiers_unique(self, m):
        seen = {}
        for reg in m.registers:
            for n in range(reg.count):
                ids = [reg.ids[n]] + ([reg.view_ids[n]] if reg.view_ids else []) + [f.ids[n] for f in reg.fields]
                for ident in ids:
                    if ident is None:
                        continue
                    if ident in seen and seen[ident] != (reg.name, reg.first + n):
                        self.fail(f"register '{reg.name}'", f"identifier {ident:#010x} is also used by "
                                                           f"register '{seen[ident][0]}'")
                    seen.setdefault(ident, (reg.name, reg.first + n))

    def load_submap(self, m, table, index):
        where = f"submap #{index}"
        if not self.check_keys(table, SUBMAP_KEYS, where):
            return None
        sub = SubMap()
        sub.name = self.text(table, "name", where, default=f"SubMap{index}")
        where = f"submap '{sub.name}'"
        if not is_identifier(sub.name):
            self.fail(where, "name is not an identifier")
        sub.cls = self.text(table, "class", where, default="tUnnamed")
        sub.window = self.text(table, "window", where, default="Win")
        if not is_identifier(sub.window):
            self.fail(where, f"window name '{sub.window}' is not an identifier")
        sub.ownership = self.text(table, "ownership", where, required=False, default="embedded",
                                  choices=("embedded", "owned"))
        sub.array = "count" in table
        sub.count = self.integer(table, "count", where, required=False, default=1, low=1, high=64)
        sub.placement = self.text(table, "placement", where, required=False, default="relative",
                                  choices=("relative", "fixed"))
        needs_stride = sub.array and sub.count > 1
        sub.stride = self.integer(table, "stride", where, required=needs_stride, default=0)
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


def counted_up_ids(m, reg, table, ids):
    """In bridge and timing maps an array may give one 'id', element 0's: the key is the byte offset, so
    element n's identifier is element 0's plus the distance of its offset from element 0's."""
    if m.flavour in ("bridge", "timing") and reg.array and "id" in table and ids:
        return [(ids[0] + offset - reg.offsets[0]) & 0xFFFFFFFF for offset in reg.offsets]
    return ids


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


def resolve(maps, errors):
    by_class = {}
    for m in maps:
        if m.cls in by_class:
            errors.append(f"{m.path}: class '{m.cls}' is also described in {by_class[m.cls].path}")
        by_class.setdefault(m.cls, m)
    for m in maps:
        for sub in m.submaps:
            target = by_class.get(sub.cls)
            if target is None:
                errors.append(f"{m.path}: submap '{sub.name}': no description of class '{sub.cls}'")
                sub.target = None
                continue
            sub.target = target
            if target.fixed is not None:
                errors.append(f"{m.path}: submap '{sub.name}': class '{sub.cls}' has a fixed placement of its "
                              f"own and cannot be placed by a parent")
            if not sized_submap_allowed(m, sub, target, errors) and (target.flavour != "kelvo"
                                                                   or m.flavour != "kelvo"):
                errors.append(f"{m.path}: submap '{sub.name}': sub-maps are kelvo maps inside kelvo maps")
    # A constructor takes a status when the map allocates sub-maps or embeds one that does.
    state = {}

    def needs_status(m, trail=()):
        if m.cls in trail:
            errors.append(f"{m.path}: class '{m.cls}' contains itself")
            return False
        if m.cls not in state:
            state[m.cls] = m.takes_status or any(sub.ownership == "owned" or (sub.target is not None
                                                           and needs_status(sub.target, trail + (m.cls,)))
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
    base = (parent_base - parent_start + offset + start) & 0xFFFFFFFF
    return base, start, (end - begin) if end > begin else 0


def placed_registers(m, base, start, size, path, out):
    """Every in-window register element of map m and of its sub-maps, recursively, as
    (absolute address, bytes, path of the map instance, register, element)."""
    for reg in m.registers:
        for n, offset in enumerate(reg.offsets):
            if start <= offset < start + size:
                out.append(((base - start + offset) & 0xFFFFFFFF, reg.width // 8, path, reg, n))
    for sub in m.submaps:
        if sub.target is None:
            continue
        for n in range(sub.count):
            if sub.placement == "fixed":
                place = ((sub.base + n * sub.stride) & 0xFFFFFFFF, sub.window_start, sub.window_size)
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

def qualified(m):
    return f"::{m.namespace}::{m.cls}"


def hexa(value):
    return f"0x{value:X}"


def record_base(reg):
    return {"soft-copy": "arm::tRegisterRecord", "strobe-word": "arm::tStrobeRegisterRecord",
            "data-port": "arm::tDataPortRecord"}[reg.kind]


def element_range(reg):
    if not reg.array:
        return ""
    if reg.element is None:
        return f"[{reg.count}]"
    return f"[{reg.first}]" if reg.count == 1 else f"[{reg.first}..{reg.first + reg.count - 1}]"


def enum_namespace(m):
    return getattr(m, "enum_ns", None) or f"n{m.cls[1:]}"


def field_value_type(m, field):
    if field.enum is not None:
        return f"{enum_namespace(m)}::{field.enum}"
    return value_type(field.width)


def convert(m, field, expression):
    if field.enum is not None:
        return f"static_cast<{field_value_type(m, field)}>({expression})"
    if field.width == 1:
        return f"({expression}) != 0"
    return f"static_cast<{value_type(field.width)}>({expression})"


def describe_register(reg, users):
    text = f"{reg.kind}, {reg.access}; " + ", ".join(users)
    if reg.cleared:
        text += f"; {'strobe bits' if reg.kind == 'strobe-word' else 'cleared after a write'} {hexa(reg.cleared)}"
    return text


def emit_whole_register_writer(reg, status):
    """writeRegister(value, status, force) of a writable strobe-word register: the whole word
    is set (its strobe bits go to the pending word), then the register is flushed."""
    if reg.kind != "strobe-word" or reg.access == "read-only":
        return []
    return [f"        void writeRegister(uint32_t value, {status}, bool force) {{ if (status.isNotFatal()) "
            f"{{ arm::insertIntoRecord(*this, kStrobeBits, 0xFFFFFFFFu, value); }} flush(status, force); }}"]


def emit_soft_copy_fields(m, reg, readable, writable, status, extract, store):
    """get/read/set/write of each named field of a soft-copy register: extract(f) is the
    expression of the field's bits in softCopy, store(f) the call that sets them from value."""
    lines = []
    for f in reg.fields:
        if f.name is None:
            continue
        t = field_value_type(m, f)
        lines.append(f"        {t} get{f.name}(nVOAPALS100::tStatus& /*status*/) const {{ return "
                     + convert(m, f, extract(f)) + "; }")
        if readable:
            lines.append(f"        {t} read{f.name}({status}) {{ refresh(status); return get{f.name}(status); }}")
        if writable and not f.ro:
            lines.append(f"        void set{f.name}({t} value, {status}) {{ if (status.isNotFatal()) "
                         f"{{ {store(f)}; }} }}")
            lines.append(f"        void write{f.name}({t} value, {status}, bool force) "
                         f"{{ set{f.name}(value, status); flush(status, force); }}")
    return lines


def emit_register_type(m, reg, users):
    lines = [f"    // {describe_register(reg, users)}", f"    class {reg.type} : public {record_base(reg)} {{",
             "    public:"]
    readable = reg.access != "write-only"
    writable = reg.access != "read-only"
    status = "nVOAPALS100::tStatus& status"
    if reg.kind == "data-port":
        if readable:
            lines.append(f"        uint32_t readRegister({status}) {{ return arm::readDataPort(*this, status); }}")
        if writable:
            lines.append(f"        void writeRegister(uint32_t value, {status}) "
                         f"{{ arm::writeDataPort(*this, value, status); }}")
        for f in reg.fields:
            if f.name is None:
                continue
            t = field_value_type(m, f)
            if readable:
                lines.append(f"        {t} read{f.name}({status}) {{ return "
                             + convert(m, f, f"arm::extractField(readRegister(status), {hexa(f.mask)}u, {f.lsb})")
                             + "; }")
            if writable and not f.ro:
                lines.append(f"        void write{f.name}({t} value, {status}) {{ arm::writeDataPort(*this, "
                             f"arm::insertedBits(static_cast<uint64_t>(value), {hexa(f.mask)}u, {f.lsb}, "
                             f"{f.width}), status); }}")
    else:
        strobe = reg.kind == "strobe-word"
        lines.append(f"        static constexpr uint32_t k{'StrobeBits' if strobe else 'ClearedAfterWrite'} = "
                     f"{hexa(reg.cleared)}u;")
        if writable:
            mask = "kStrobeBits" if strobe else "kClearedAfterWrite"
            lines.append(f"        void flush({status}, bool force) "
                         f"{{ arm::flushRecord(*this, {mask}, status, force); }}")
        if readable:
            lines.append(f"        void refresh({status}) {{ arm::refreshRecord(*this, status); }}")
            lines.append(f"        uint32_t readRegister({status}) {{ refresh(status); return softCopy; }}")
        def store(f):
            insert = (f"arm::insertedBits(static_cast<uint64_t>(value), {hexa(f.mask)}u, {f.lsb}, {f.width})")
            target = f"kStrobeBits, {hexa(f.mask)}u" if strobe else f"{hexa(f.mask)}u"
            return f"arm::insertIntoRecord(*this, {target}, {insert})"
        lines.extend(emit_soft_copy_fields(
            m, reg, readable, writable, status,
            lambda f: f"arm::extractField(softCopy, {hexa(f.mask)}u, {f.lsb})", store))
    lines.extend(emit_whole_register_writer(reg, status))
    lines.append("    };")
    return lines


def placement_args(m, sub, n, for_member_init):
    """Base, window start and window size of element n of a sub-map, as C++ expressions."""
    if sub.placement == "fixed":
        return [f"{hexa((sub.base + n * sub.stride) & 0xFFFFFFFF)}u", f"{hexa(sub.window_start)}u",
                f"{hexa(sub.window_size)}u"]
    offset = sub.offset + n * sub.stride
    if m.fixed is not None:
        base, ws, size = (f"{hexa(v)}u" for v in m.fixed)
    else:
        base, ws, size = "base", "windowStart", "windowSize"
    call = f"arm::relativePlacement({base}, {ws}, {size}, {hexa(offset)}u, {hexa(sub.span)}u)"
    return [f"{call}.base", f"{call}.windowStart", f"{call}.windowSize"]


def constructor_args(m, sub, n):
    args = ["accessor"]
    if sub.target.needs_status:
        args.append("status")
    if sub.target.fixed is None:
        args.extend(placement_args(m, sub, n, True))
    return ", ".join(args)


def constructor_signature(m):
    params = ["voquantasharedsource::FrontEndAccessorInterface* accessor"]
    if m.needs_status:
        params.append("nVOAPALS100::tStatus& status")
    if m.fixed is None:
        params.extend(["uint32_t base", "uint32_t windowStart", "uint32_t windowSize"])
    return ", ".join(params)


def emit_enums(m):
    """The map's enums in their own namespace, followed by a blank line; nothing without enums."""
    if not m.enums:
        return []
    out = [f"namespace {m.namespace}::{enum_namespace(m)} {{"]
    for name, values in m.enums:
        body = ", ".join(f"{k} = {v}" for k, v in values.items())
        out.append(f"enum {name} : uint32_t {{ {body} }};")
    out.append(f"}} // namespace {m.namespace}::{enum_namespace(m)}")
    out.append("")
    return out


def emit_header(m, by_class):
    guard_includes = sorted({f'#include "regmaps/{sub.target.stem}.h"' for sub in m.submaps
                             if sub.target is not None and sub.target is not m})
    out = [f"// Generated by tools/regmapgen/regmapgen.py from {os.path.basename(m.path)}: do not edit.",
           "#pragma once", "", "#include <stdint.h>", "", '#include "platform/status.h"',
           '#include "regs/register_map.h"']
    out.extend(guard_includes)
    out.append("")
    out.extend(emit_enums(m))
    out.append(f"namespace {m.namespace} {{")
    out.append("")
    out.append(f"// Register map {m.cls} (\"{m.default_name}\"), version \"{m.version}\".")
    out.append(f"class {m.cls} : public arm::tRegisterMapBase {{")
    out.append("public:")
    emitted = set()
    for reg in m.registers:
        if reg.type in emitted:
            continue
        emitted.add(reg.type)
        users = [f"{r.name}{element_range(r)} at "
                 + ", ".join(hexa(o) for o in r.offsets) for r in m.registers if r.type == reg.type]
        out.extend(emit_register_type(m, reg, users))
        out.append("")
    out.append(f"    explicit {m.cls}({constructor_signature(m)});")
    out.append(f"    ~{m.cls}() override;")
    out.append(f"    {m.cls}(const {m.cls}&) = delete;")
    out.append(f"    {m.cls}& operator=(const {m.cls}&) = delete;")
    out.append("")
    out.append("    // Registers, in declaration order (an array declared in parts where its first part is).")
    declared = set()
    for reg in m.registers:
        if reg.name in declared:
            continue
        declared.add(reg.name)
        total = sum(r.count for r in m.registers if r.name == reg.name)
        suffix = f"[{total}]" if reg.array else ""
        out.append(f"    {reg.type} {reg.name}{suffix};")
    if m.submaps:
        out.append("    // Sub-maps, in declaration order (owned slots are null when their allocation failed).")
    for sub in m.submaps:
        cls = qualified(sub.target)
        pointer = "*" if sub.ownership == "owned" else ""
        suffix = f"[{sub.count}]" if sub.array else ""
        init = " = {}" if sub.ownership == "owned" else ""
        out.append(f"    {cls}{pointer} {sub.name}{suffix}{init};")
    out.append("")
    out.append("    static const arm::tRegisterMapTables kTables;")
    out.append("};")
    out.append("")
    out.append(f"}} // namespace {m.namespace}")
    return "\n".join(out) + "\n"


def flattened_registers(m):
    """(register, element) in declaration order, with the C++ expression of the element."""
    result = []
    for reg in m.registers:
        for n in range(reg.count):
            result.append((reg, n, f"{reg.name}[{reg.first + n}]" if reg.array else reg.name))
    return result


def flattened_submaps(m):
    result = []
    for sub in m.submaps:
        for n in range(sub.count):
            window = f"{sub.window}{n}" if sub.array else sub.window
            result.append((sub, n, f"{sub.name}[{n}]" if sub.array else sub.name,
                           f"{window}_{sub.target.default_name}"))
    return result


def build_tables(m):
    regs = flattened_registers(m)
    tables = {name: [] for name in ("get", "set", "read", "write", "flush", "refresh")}
    formats, format_ids = [], []
    for index, (reg, n, _) in enumerate(regs):
        if reg.ids[n] is None:
            continue
        soft = reg.kind != "data-port"
        readable = reg.access != "write-only"
        writable = reg.access != "read-only"
        wholes = [reg.ids[n]] + ([reg.view_ids[n]] if reg.view_ids else [])
        whole_entries = [(ident, index, 0, 32) for ident in wholes]
        field_entries = [(f.ids[n], index, f.lsb, f.width) for f in reg.fields if f.ids[n] is not None]
        writable_fields = [(f.ids[n], index, f.lsb, f.width) for f in reg.fields
                           if not f.ro and f.ids[n] is not None]
        if soft:
            tables["get"] += whole_entries + field_entries
            if writable:
                tables["set"] += whole_entries + writable_fields
        if readable:
            tables["read"] += whole_entries + field_entries
        if writable:
            tables["write"] += whole_entries + writable_fields
            tables["flush"] += [(ident, index, 0, 32) for ident in wholes]
        if soft and readable:
            tables["refresh"] += [(ident, index, 0, 32) for ident in wholes]
        # Formats: the first identifier lists the writable fields of a register with both kinds,
        # the read view every field; a register without subdivisions is one 32-bit field.
        views = [(reg.ids[n], [f for f in reg.fields if not f.ro] if reg.mixed else reg.fields)]
        if reg.view_ids:
            views.append((reg.view_ids[n], reg.fields))
        for ident, fields in views:
            entries = [(f.mask, field_type(f.width)) for f in fields] or [(0xFFFFFFFF, 3)]
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
    register: the engine looks a register up by (id & 0x40FFFFFF) | 0x80000000, so a read-only
    field of a register without a read view needs an entry under 0xC0000000 | key that lists
    the register's fields."""
    known = {ident: (first, count) for ident, first, count in format_ids}
    extra = {}
    for reg, n, _ in regs:
        if reg.ids[n] is None or reg.ids[n] not in known:
            continue
        first, count = known[reg.ids[n]]
        for f in reg.fields:
            if f.ids[n] is None:
                continue
            key = (f.ids[n] & 0x40FFFFFF) | 0x80000000
            if key not in known and key not in extra:
                extra[key] = (first, count)
    return [(key, first, count) for key, (first, count) in extra.items()]


def emit_source(m):
    regs, tables, formats, format_ids = build_tables(m)
    subs = flattened_submaps(m)
    cls = m.cls
    out = [f"// Generated by tools/regmapgen/regmapgen.py from {os.path.basename(m.path)}: do not edit.",
           f'#include "regmaps/{m.stem}.h"', "", '#include "platform/status.h"', "",
           f"namespace {m.namespace} {{", "", "namespace {", ""]
    out.append(f"// {len(regs)} registers in declaration order: offset, default, "
               f"cleared after a write (strobe bits), kind, access.")
    if regs:
        out.append("constexpr arm::tRegisterInfo kRegisters[] = {")
        for reg, n, expr in regs:
            out.append(f"    {{{hexa(reg.offsets[n])}u, {hexa(reg.defaults[n])}u, {hexa(reg.cleared)}u, "
                       f"{KINDS[reg.kind]}, {ACCESSES[reg.access]}}},  // {expr}")
        out.append("};")
    out.append("")
    for name, entries in tables.items():
        if not entries:
            continue
        out.append(f"constexpr arm::tIdEntry k{name.capitalize()}Ids[] = {{")
        for ident, index, lsb, width in entries:
            out.append(f"    {{0x{ident:08X}u, {index}, {lsb}, {width}}},  // {regs[index][2]}")
        out.append("};")
    if format_ids:
        out.append("constexpr arm::tFormatEntry kFormatIds[] = {")
        for ident, first, count in format_ids:
            out.append(f"    {{0x{ident:08X}u, {first}, {count}}},")
        out.append("};")
        out.append("constexpr arm::tFieldFormat kFormats[] = {")
        for i in range(0, len(formats), 4):
            chunk = formats[i:i + 4]
            out.append("    " + " ".join(f"{{0x{mask:08X}u, arm::FieldType({t})}}," for mask, t in chunk))
        out.append("};")
    if subs:
        out.append("constexpr const char* kWindowTexts[] = {")
        for _, _, _, text in subs:
            out.append(f'    "{text}",')
        out.append("};")
    out.append("")
    out.append("void* recordAt(arm::tRegisterMapBase& base, uint32_t index) {")
    if regs:
        out.append(f"    auto& map = static_cast<{cls}&>(base);")
        out.append("    switch (index) {")
        for index, (reg, n, expr) in enumerate(regs):
            out.append(f"    case {index}: return static_cast<{record_base(reg)}*>(&map.{expr});")
        out.append("    default: return nullptr;")
        out.append("    }")
    else:
        out.append("    (void)base;")
        out.append("    (void)index;")
        out.append("    return nullptr;")
    out.append("}")
    out.append("")
    out.append("arm::tRegisterMapBase* subMapAt(arm::tRegisterMapBase& base, uint32_t index) {")
    if subs:
        out.append(f"    auto& map = static_cast<{cls}&>(base);")
        out.append("    switch (index) {")
        for index, (sub, n, expr, _) in enumerate(subs):
            target = f"map.{expr}" if sub.ownership == "owned" else f"&map.{expr}"
            out.append(f"    case {index}: return {target};")
        out.append("    default: return nullptr;")
        out.append("    }")
    else:
        out.append("    (void)base;")
        out.append("    (void)index;")
        out.append("    return nullptr;")
    out.append("}")
    out.append("")
    out.append("} // namespace")
    out.append("")

    def table(name, array, count):
        return f"{{{array}, {count}}}" if count else "{nullptr, 0}"

    out.append(f"constexpr arm::tRegisterMapTables {cls}::kTables = {{")
    out.append(f'    "{m.default_name}",')
    out.append(f'    "{m.version}",')
    out.append(f'    "{m.oldest}",')
    out.append(f"    {'kRegisters' if regs else 'nullptr'}, {len(regs)},")
    out.append("    recordAt,")
    for name, entries in tables.items():
        out.append(f"    {table(name, f'k{name.capitalize()}Ids', len(entries))},  // {name}")
    if format_ids:
        out.append(f"    kFormatIds, {len(format_ids)}, kFormats,")
    else:
        out.append("    nullptr, 0, nullptr,")
    out.append(f"    {'kWindowTexts' if subs else 'nullptr'}, {len(subs)},")
    out.append("    subMapAt,")
    out.append("};")
    out.append("")
    # Constructor.
    if m.fixed is not None:
        base_args = ", ".join(f"{hexa(v)}u" for v in m.fixed)
    else:
        base_args = "base, windowStart, windowSize"
    out.append(f"{cls}::{cls}({constructor_signature(m)})")
    inits = [f"arm::tRegisterMapBase(kTables, accessor, {base_args})"]
    for sub in m.submaps:
        if sub.ownership != "embedded":
            continue
        if sub.array:
            elements = ", ".join(f"{qualified(sub.target)}({constructor_args(m, sub, n)})" for n in range(sub.count))
            inits.append(f"{sub.name}{{{elements}}}")
        else:
            inits.append(f"{sub.name}({constructor_args(m, sub, 0)})")
    out.append("    : " + ",\n      ".join(inits) + " {")
    out.append("    initializeRecords();")
    owned = [(sub, n, expr) for sub, n, expr, _ in subs if sub.ownership == "owned"]
    if owned:
        out.append("    // Allocated in declaration order; none once the status holds an error.")
        for sub, n, expr in owned:
            out.append("    if (status.isNotFatal()) {")
            out.append(f"        {expr} = new {qualified(sub.target)}({constructor_args(m, sub, n)});")
            out.append(f"        if ({expr} == nullptr) {{")
            out.append("            KELVO_SET_STATUS(status, nVOAPALS100::tStatus::kOutOfMemory);")
            out.append("        }")
            out.append("    }")
    elif m.needs_status:
        out.append("    (void)status;")
    out.append("}")
    # Out of line: the class's virtual table lives in this file only.
    out.append("")
    out.append(f"{cls}::~{cls}() {{")
    if owned:
        out.append("    // Allocated sub-maps in the reverse order of their construction; empty slots skipped.")
    for sub, n, expr in reversed(owned):
        out.append(f"    if ({expr} != nullptr) {{")
        out.append(f"        delete {expr};")
        out.append(f"        {expr} = nullptr;")
        out.append("    }")
    out.append("}")
    out.append("")
    out.append(f"}} // namespace {m.namespace}")
    return "\n".join(out) + "\n"


# ---- bridge and timing-chip maps (engine: driver/regs/sized_register_map.h) ----

def sized_submap_allowed(m, sub, target, errors):
    """Timing maps embed timing maps at a fixed placement; bridge maps have no sub-maps. True when the
    pair is a bridge or timing one (checked here), False for a kelvo pair."""
    if m.flavour == "kelvo" and target.flavour == "kelvo":
        return False
    if m.flavour == "timing" and target.flavour == "timing":
        if sub.placement != "fixed" or sub.ownership != "embedded" or sub.array:
            errors.append(f"{m.path}: submap '{sub.name}': a timing map embeds one sub-map at a fixed placement")
        return True
    errors.append(f"{m.path}: submap '{sub.name}': only timing maps have sub-maps, and those are timing maps")
    return True


def sized_value_type(width):
    return {8: "uint8_t", 16: "uint16_t", 32: "uint32_t", 64: "uint64_t"}[width]


def sized_accessor_type(m):
    if m.accessor == "front-end":
        return "voquantasharedsource::FrontEndAccessorInterface"
    return "kelvo_driver::nVOAPAL000::tPCIMemorySpaceAccessorDebug<false>"


def sized_windowed(m):
    return "true" if m.flavour == "timing" else "false"


def sized_record_base(m, reg):
    if reg.kind == "data-port":
        return f"arm::tSizedDataPortRecord<{sized_windowed(m)}>"
    return f"arm::tSizedRegisterRecord<{sized_value_type(reg.width)}, {sized_windowed(m)}>"


def emit_sized_register_type(m, reg, users):
    lines = [f"    // {describe_register(reg, users)}; {reg.width} bits",
             f"    class {reg.type} : public {sized_record_base(m, reg)} {{", "    public:"]
    readable = reg.access != "write-only"
    writable = reg.access != "read-only"
    status = "nVOAPALS100::tStatus& status"
    t = sized_value_type(reg.width)
    nbytes = reg.width // 8
    full = hexa((1 << reg.width) - 1)
    if reg.kind == "data-port":
        if readable:
            lines.append(f"        {t} readRegister({status}) {{ return static_cast<{t}>("
                         f"arm::readSizedPort(*this, {nbytes}, status)); }}")
        if writable:
            lines.append(f"        void writeRegister({t} value, {status}) "
                         f"{{ arm::writeSizedPort(*this, {nbytes}, value, status); }}")
        for f in reg.fields:
            if f.name is None:
                continue
            ft = field_value_type(m, f)
            if readable:
                lines.append(f"        {ft} read{f.name}({status}) {{ return "
                             + convert(m, f, f"(readRegister(status) & {hexa(f.mask)}u) >> {f.lsb}") + "; }")
            if writable and not f.ro:
                lines.append(f"        void write{f.name}({ft} value, {status}) {{ arm::writeSizedPort(*this, "
                             f"{nbytes}, arm::insertedSizedBits(static_cast<uint64_t>(value), {f.lsb}, {f.width}, "
                             f"{'true' if f.any_nonzero else 'false'}), status); }}")
    else:
        lines.append(f"        static constexpr {t} kClearedAfterWrite = {hexa(reg.cleared)}u;")
        if writable:
            lines.append(f"        void flush({status}, bool force) "
                         f"{{ arm::flushSizedRecord(*this, kClearedAfterWrite, status, force); }}")
            lines.append(f"        void setRegister({t} value, {status}) {{ if (status.isNotFatal()) "
                         f"{{ arm::insertIntoSizedRecord(*this, {full}u, value); }} }}")
            lines.append(f"        void writeRegister({t} value, {status}, bool force) "
                         f"{{ setRegister(value, status); flush(status, force); }}")
        if readable:
            lines.append(f"        void refresh({status}) {{ arm::refreshSizedRecord(*this, status); }}")
            lines.append(f"        {t} readRegister({status}) {{ refresh(status); return softCopy; }}")
        def store(f):
            insert = (f"arm::insertedSizedBits(static_cast<uint64_t>(value), {f.lsb}, {f.width}, "
                      f"{'true' if f.any_nonzero else 'false'})")
            return f"arm::insertIntoSizedRecord(*this, {hexa(f.mask)}u, {insert})"
        lines.extend(emit_soft_copy_fields(
            m, reg, readable, writable, status,
            lambda f: f"(softCopy & {hexa(f.mask)}u) >> {f.lsb}", store))
    lines.append("    };")
    return lines


def sized_class_head(m):
    """The class as the header declares it, and as out-of-class definitions name it."""
    if m.flavour == "bridge":
        return f"template <uint32_t kOffset> class {m.cls}", f"{m.cls}<kOffset>", "template <uint32_t kOffset>\n"
    return f"class {m.cls}", m.cls, ""


def emit_sized_header(m):
    accessor = sized_accessor_type(m)
    bridge = m.flavour == "bridge"
    includes = sorted({f'#include "regmaps/{sub.target.stem}.h"' for sub in m.submaps if sub.target is not None})
    out = [f"// Generated by tools/regmapgen/regmapgen.py from {os.path.basename(m.path)}: do not edit.",
           "#pragma once", "", "#include <stdint.h>", "", '#include "platform/pci_memory_accessor.h"',
           '#include "platform/status.h"', '#include "regs/front_end_accessor.h"',
           '#include "regs/sized_register_map.h"']
    out.extend(includes)
    out.append("")
    out.extend(emit_enums(m))
    out.append(f"namespace {m.namespace} {{")
    out.append("")
    head, _, _ = sized_class_head(m)
    what = "bridge map (template offset added to every register offset)" if bridge else "timing-chip map"
    out.append(f"// Register map {m.cls} (\"{m.default_name}\"), a {what}, version \"{m.version}\".")
    out.append(f"{head} : public arm::tSizedRegisterMapBase {{")
    out.append("public:")
    emitted = set()
    for reg in m.registers:
        if reg.type in emitted:
            continue
        emitted.add(reg.type)
        users = [f"{r.name}{'[' + str(r.count) + ']' if r.array else ''} at "
                 + ", ".join(hexa(o) for o in r.offsets) for r in m.registers if r.type == reg.type]
        out.extend(emit_sized_register_type(m, reg, users))
        out.append("")
    if bridge:
        out.append(f"    explicit {m.cls}({accessor}& accessor);")
    else:
        out.append(f"    {m.cls}({accessor}* accessor, uint32_t base, uint32_t windowStart, uint32_t windowSize);")
    out.append(f"    ~{m.cls}() override;")
    out.append(f"    {m.cls}(const {m.cls}&) = delete;")
    out.append(f"    {m.cls}& operator=(const {m.cls}&) = delete;")
    if not bridge:
        out.append("    // Construction again, for these records and the sub-maps'.")
        out.append("    void reinitialize() override;")
    out.append("")
    if bridge:
        getter = "*bus().frontEnd()" if m.accessor == "front-end" else "*bus().memory()"
        out.append(f"    {accessor}& accessor() const {{ return {getter}; }}")
    else:
        out.append(f"    {accessor}* accessor() const {{ return bus().memory(); }}")
    out.append("")
    out.append("    // Registers, in declaration order.")
    for reg in m.registers:
        suffix = f"[{reg.count}]" if reg.array else ""
        out.append(f"    {reg.type} {reg.name}{suffix};")
    if m.submaps:
        out.append("    // Sub-maps (reached by the whole-map operations only).")
    for sub in m.submaps:
        out.append(f"    {qualified(sub.target)} {sub.name};")
    out.append("")
    out.append("    static const arm::tSizedRegisterMapTables kTables;")
    if bridge:
        out.append("")
        out.append("private:")
        out.append("    static void* recordAt(arm::tSizedRegisterMapBase& base, uint32_t index);")
    out.append("};")
    if bridge:
        out.append("")
        out.append(f"extern template class {m.cls}<0u>;")
    out.append("")
    out.append(f"}} // namespace {m.namespace}")
    return "\n".join(out) + "\n"


def build_sized_tables(m):
    regs = flattened_registers(m)
    tables = {name: [] for name in ("get", "set", "read", "write", "flush", "refresh")}
    formats, format_ids = [], []
    for index, (reg, n, _) in enumerate(regs):
        if reg.ids[n] is None:
            continue
        soft = reg.kind != "data-port"
        readable = reg.access != "write-only"
        writable = reg.access != "read-only"
        whole = (reg.ids[n], index, 0, reg.width, 1)
        fields = [(f.ids[n], index, f.lsb, f.width, 1 if f.any_nonzero else 0) for f in reg.fields]
        writable_fields = [entry for entry, f in zip(fields, reg.fields) if not f.ro]
        if soft:
            tables["get"] += [whole] + fields
            if writable:
                tables["set"] += [whole] + writable_fields
        if readable:
            tables["read"] += [whole] + fields
        if writable:
            tables["write"] += [whole] + writable_fields
            tables["flush"].append(whole)
        if soft and readable:
            tables["refresh"].append(whole)
        entries = [(f.mask, field_type(f.width)) for f in reg.fields] or [((1 << reg.width) - 1,
                                                                         field_type(reg.width))]
        format_ids.append((reg.ids[n], len(formats), len(entries)))
        formats.extend(entries)
    for name in tables:
        tables[name].sort()
    format_ids.sort()
    return regs, tables, formats, format_ids


def emit_sized_source(m):
    regs, tables, formats, format_ids = build_sized_tables(m)
    bridge = m.flavour == "bridge"
    cls = m.cls
    _, named, template = sized_class_head(m)
    accessor = sized_accessor_type(m)
    out = [f"// Generated by tools/regmapgen/regmapgen.py from {os.path.basename(m.path)}: do not edit.",
           f'#include "regmaps/{m.stem}.h"', "", '#include "platform/status.h"', "",
           f"namespace {m.namespace} {{", "", "namespace {", ""]
    out.append(f"// {len(regs)} registers in declaration order: offset, bytes, kind, access, default, "
               f"cleared after a write.")
    out.append("constexpr arm::tSizedRegisterInfo kRegisters[] = {")
    for reg, n, expr in regs:
        out.append(f"    {{{hexa(reg.offsets[n])}u, {reg.width // 8}, {KINDS[reg.kind]}, {ACCESSES[reg.access]}, "
                   f"{hexa(reg.defaults[n])}u, {hexa(reg.cleared)}u}},  // {expr}")
    out.append("};")
    out.append("")
    for name, entries in tables.items():
        if not entries:
            continue
        out.append(f"constexpr arm::tSizedIdEntry k{name.capitalize()}Ids[] = {{")
        for ident, index, lsb, width, any_nonzero in entries:
            out.append(f"    {{0x{ident:08X}u, {index}, {lsb}, {width}, {any_nonzero}}},  // {regs[index][2]}")
        out.append("};")
    out.append("constexpr arm::tFormatEntry kFormatIds[] = {")
    for ident, first, count in format_ids:
        out.append(f"    {{0x{ident:08X}u, {first}, {count}}},")
    out.append("};")
    out.append("constexpr arm::tFieldFormat kFormats[] = {")
    for i in range(0, len(formats), 4):
        chunk = formats[i:i + 4]
        out.append("    " + " ".join(f"{{0x{mask:08X}u, arm::FieldType({t})}}," for mask, t in chunk))
    out.append("};")
    out.append("")
    if not bridge:
        out.append("void* recordAt(arm::tSizedRegisterMapBase& base, uint32_t index);")
        out.append("arm::tSizedRegisterMapBase* subMapAt(arm::tSizedRegisterMapBase& base, uint32_t index);")
        out.append("")
    out.append("} // namespace")
    out.append("")
    # Record and sub-map switches.
    if bridge:
        out.append(f"{template}void* {named}::recordAt(arm::tSizedRegisterMapBase& base, uint32_t index) {{")
    else:
        out.append("namespace {")
        out.append("")
        out.append("void* recordAt(arm::tSizedRegisterMapBase& base, uint32_t index) {")
    out.append(f"    auto& map = static_cast<{named}&>(base);")
    out.append("    switch (index) {")
    for index, (reg, n, expr) in enumerate(regs):
        out.append(f"    case {index}: return static_cast<{sized_record_base(m, reg)}*>(&map.{expr});")
    out.append("    default: return nullptr;")
    out.append("    }")
    out.append("}")
    out.append("")
    if not bridge:
        out.append("arm::tSizedRegisterMapBase* subMapAt(arm::tSizedRegisterMapBase& base, uint32_t index) {")
        if m.submaps:
            out.append(f"    auto& map = static_cast<{cls}&>(base);")
            out.append("    switch (index) {")
            for index, sub in enumerate(m.submaps):
                out.append(f"    case {index}: return &map.{sub.name};")
            out.append("    default: return nullptr;")
            out.append("    }")
        else:
            out.append("    (void)base;")
            out.append("    (void)index;")
            out.append("    return nullptr;")
        out.append("}")
        out.append("")
        out.append("} // namespace")
        out.append("")

    def table(name, count):
        return f"{{k{name.capitalize()}Ids, {count}}}" if count else "{nullptr, 0}"

    qualifier = "const" if bridge else "constexpr"
    out.append(f"{template}{qualifier} arm::tSizedRegisterMapTables {named}::kTables = {{")
    out.append(f'    "{m.default_name}",')
    out.append(f'    "{m.version}",')
    out.append(f'    "{m.oldest}",')
    out.append(f"    {sized_windowed(m)},")
    out.append(f"    kRegisters, {len(regs)},")
    out.append(f"    {'&' + named + '::recordAt' if bridge else 'recordAt'},")
    for name, entries in tables.items():
        out.append(f"    {table(name, len(entries))},  // {name}")
    out.append(f"    kFormatIds, {len(format_ids)}, kFormats,")
    out.append(f"    {0 if bridge else len(m.submaps)}, {'nullptr' if bridge else 'subMapAt'},")
    out.append("};")
    out.append("")
    if bridge:
        out.append(f"{template}{named}::{cls}({accessor}& accessor)")
        out.append("    : arm::tSizedRegisterMapBase(kTables, arm::tRegisterBus(&accessor), kOffset, 0u, 0xFFFFFFFFu) {")
        out.append("    initializeRecords();")
        out.append("}")
        out.append("")
        out.append(f"{template}{named}::~{cls}() = default;")
        out.append("")
        out.append("// The driver uses offset 0 only.")
        out.append(f"template class {cls}<0u>;")
    else:
        inits = ["arm::tSizedRegisterMapBase(kTables, arm::tRegisterBus(accessor), base, windowStart, windowSize)"]
        for sub in m.submaps:
            inits.append(f"{sub.name}(accessor, {hexa(sub.base)}u, {hexa(sub.window_start)}u, "
                         f"{hexa(sub.window_size)}u)")
        out.append(f"{cls}::{cls}({accessor}* accessor, uint32_t base, uint32_t windowStart, uint32_t windowSize)")
        out.append("    : " + ",\n      ".join(inits) + " {")
        out.append("    initializeRecords();")
        out.append("}")
        out.append("")
        out.append(f"{cls}::~{cls}() = default;")
        out.append("")
        out.append(f"void {cls}::reinitialize() {{")
        out.append("    reinitializeWithSubMaps();")
        out.append("}")
    out.append("")
    out.append(f"}} // namespace {m.namespace}")
    return "\n".join(out) + "\n"


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
    by_class = resolve(maps, errors)
    chosen = [m for m in maps if m.path in targets]
    for m in chosen:
        if m.flavour not in GENERATED_FLAVOURS:
            errors.append(f"{m.path}: maps of the {m.flavour} flavour are checked but not generated yet")
    if not errors:
        for m in chosen:
            if m.flavour == "kelvo":
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
    for m in chosen:
        folder = os.path.join(args.output_dir, "regmaps")
        sized = m.flavour in ("bridge", "timing")
        write_if_changed(os.path.join(folder, f"{m.stem}.h"),
                         emit_sized_header(m) if sized else emit_header(m, by_class))
        write_if_changed(os.path.join(folder, f"{m.stem}.cpp"), emit_sized_source(m) if sized else emit_source(m))
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
