"""Reading register descriptions: one TOML file into a Map of typed records (model.py).

The loader checks each value where it reads it (keys known, types, ranges, choices, what a flavour
allows) and notes the line of every table and key, so that every fault names file and line. A
value found faulty is not looked at again: one mistake gives one message. The checks that need a
whole map or several files are check.py's.
"""
import os
import re
import tomllib
from dataclasses import dataclass

from model import (ACCESSES, ACCESSORS, ADDRESS_MASK, ENUM_KEYS, FIELD_KEYS, FLAVOURS, KINDS, MAP_KEYS,
                   REGISTER_KEYS, SIZED_MAP_KEYS, SUBMAP_KEYS, TOP_KEYS, Enum, Field, Lines, Map, Register, SubMap,
                   field_type, flavours_with, is_identifier)


def collect(paths):
    """Description files: the files named, and every *.toml of the folders named."""
    files = []
    for path in paths:
        if os.path.isdir(path):
            files.extend(os.path.join(path, f) for f in sorted(os.listdir(path)) if f.endswith(".toml"))
        else:
            files.append(path)
    return files


# ---- where things are ----

def locate(text):
    """The lines of the tables of a TOML text that tomllib accepted: {table name: [Lines of each
    occurrence]} ('' for keys before the first header). Keys are noted at the top level of a table,
    and each inline table of an array (the fields of a register) by the line where it opens."""
    tables = {"": [Lines(1)]}
    current = tables[""][0]
    stack = []  # open brackets of the value being read
    value_key = None
    line, i, n = 1, 0, len(text)
    line_start = True
    while i < n:
        c = text[i]
        if c == "\n":
            line += 1
            line_start = not stack
            i += 1
            continue
        if c in " \t\r":
            i += 1
            continue
        if c == "#":
            end = text.find("\n", i)
            i = n if end < 0 else end
            continue
        if line_start and not stack:
            line_start = False
            end = text.find("\n", i)
            end = n if end < 0 else end
            if c == "[":
                name = text[i:end].split("#")[0].strip().strip("[]").strip()
                current = Lines(line)
                tables.setdefault(name, []).append(current)
                i = end
                continue
            equals = text.find("=", i, end)
            if equals > i:
                value_key = text[i:equals].strip().strip("\"'")
                current.keys.setdefault(value_key, line)
                i = equals + 1
                continue
        if c in "\"'":
            i = skip_string(text, i)
            continue
        if c in "[{":
            if c == "{" and stack == ["["] and value_key is not None:
                current.items.setdefault(value_key, []).append(line)
            stack.append(c)
        elif c in "]}" and stack:
            stack.pop()
        i += 1
    return tables


def skip_string(text, i):
    """The index after the string that starts at i (basic or literal, one line or several)."""
    quote = text[i]
    if text.startswith(quote * 3, i):
        end = text.find(quote * 3, i + 3)
        return len(text) if end < 0 else end + 3
    j = i + 1
    while j < len(text) and text[j] != quote and text[j] != "\n":
        j += 2 if quote == '"' and text[j] == "\\" else 1
    return j + 1


def label(kind, table, index):
    """What a fault of a register or sub-map table names: its name, else its place among its kind."""
    name = table.get("name") if isinstance(table, dict) else None
    return f"{kind} '{name}'" if isinstance(name, str) and name else f"{kind} #{index}"


@dataclass
class At:
    """What a fault is about ('register 'Mode'') and the lines of its table."""
    text: str
    lines: Lines
    unknown_keys: bool = False  # the table has a key the loader does not know (a misspelt one?)


# ---- reading one description ----

class Loader:
    """Reads one description file into a Map, reporting its faults into a shared Faults."""

    def __init__(self, path, faults):
        self.path = path
        self.faults = faults
        self.count = 0  # faults of this file
        self.class_known = True  # false when the file's class cannot be told

    def fail(self, at, message, key=None):
        self.faults.add(self.path, at.lines.of(key), at.text, message)
        self.count += 1

    def check_keys(self, table, allowed, at):
        if not isinstance(table, dict):
            self.fail(at, "expected a table")
            return False
        for key in table:
            if key not in allowed:
                self.fail(at, f"unknown key '{key}'", key)
                at.unknown_keys = True
        return True

    def missing(self, at, key):
        # A key missing beside an unknown one is most likely that one misspelt: its fault says it all.
        if not at.unknown_keys:
            self.fail(at, f"missing '{key}'")

    def integer(self, table, key, at, required=True, default=None, low=0, high=0xFFFFFFFF):
        if key not in table:
            if required:
                self.missing(at, key)
            return default
        value = table[key]
        if isinstance(value, bool) or not isinstance(value, int):
            self.fail(at, f"'{key}' must be an integer", key)
            return default
        if not low <= value <= high:
            self.fail(at, f"'{key}' = {value:#x} is outside {low:#x}..{high:#x}", key)
            return default
        return value

    def text(self, table, key, at, required=True, default=None, choices=None):
        if key not in table:
            if required:
                self.missing(at, key)
            return default
        value = table[key]
        if not isinstance(value, str) or not value:
            self.fail(at, f"'{key}' must be a non-empty string", key)
            return default
        if choices is not None and value not in choices:
            self.fail(at, f"'{key}' = '{value}' is not one of {', '.join(choices)}", key)
            return default
        return value

    def boolean(self, table, key, at, default):
        value = table.get(key, default)
        if not isinstance(value, bool):
            self.fail(at, f"'{key}' must be true or false", key)
            return default
        return value

    def integer_list(self, table, key, at, high=0xFFFFFFFF):
        """A list of integers, one per element (element_lists_agree has checked its length)."""
        value = table.get(key)
        if not isinstance(value, list) or any(isinstance(v, bool) or not isinstance(v, int) for v in value):
            self.fail(at, f"'{key}' must be a list of integers", key)
            return None
        if any(not 0 <= v <= high for v in value):
            self.fail(at, f"'{key}' holds a value outside 0..{high:#x}", key)
            return None
        return value

    def per_element(self, table, single, plural, at, count, array, required=True, default=None,
                    high=0xFFFFFFFF):
        """A value per element: `single` for a single register, `plural` (a list) for an array;
        an array may also give `single` once for all elements where that makes sense."""
        if array and plural in table:
            if single in table:
                self.fail(at, f"give '{single}' or '{plural}', not both", single)
            return self.integer_list(table, plural, at, high)
        if plural in table:
            self.fail(at, f"'{plural}' is for arrays (give 'count')", plural)
            return None
        value = self.integer(table, single, at, required=required, default=default, high=high)
        if value is None:
            return None
        return [value] * count

    def given_ids(self, m, reg, table, at, required):
        """Identifiers as transcribed, one per element (None where not given). In bridge and timing
        maps an array may give one 'id', element 0's: the key is the byte offset, so element n's
        identifier is element 0's plus the distance of its offset from element 0's."""
        ids = self.per_element(table, "id", "ids", at, reg.count, reg.array, required=required)
        if ids is None:
            return [0 if required else None] * reg.count
        if m.flavour.key_is_offset and reg.array and "id" in table:
            return [(ids[0] + offset - reg.offsets[0]) & ADDRESS_MASK for offset in reg.offsets]
        return ids

    def load(self):
        """The Map of the file, or None when the file cannot be read or has no [map]."""
        try:
            with open(self.path, "rb") as handle:
                text = handle.read().decode("utf-8")
            data = tomllib.loads(text)
        except (OSError, UnicodeDecodeError, tomllib.TOMLDecodeError) as error:
            found = re.search(r"line (\d+)", str(error))
            self.fail(At("file", Lines(int(found.group(1)) if found else 1)), str(error))
            self.class_known = False
            return None
        tables = locate(text)
        for key in data:
            if key not in TOP_KEYS:
                self.fail(At(f"table '{key}'", (tables.get(key) or tables[""])[0]), f"unknown table '{key}'")
        head = data.get("map")
        if not isinstance(head, dict):
            self.fail(At("file", Lines(1)), "missing [map]")
            self.class_known = False
            return None

        def lines(name, index):
            found = tables.get(name, [])
            return found[index] if index < len(found) else Lines(1)

        m = self.load_head(head, lines("map", 0))
        if not self.flavour_known:
            m.sound = False
            return m
        m.enums = self.load_enums(data.get("enum", []), lambda index: lines("enum", index))
        registers = data.get("register", [])
        if not isinstance(registers, list):
            self.fail(At("[[register]]", lines("register", 0)), "expected an array of tables")
            registers = []
        for index, table in enumerate(registers):
            reg = self.load_register(m, table, index, lines("register", index))
            if reg is not None:
                m.registers.append(reg)
        submaps = data.get("submap", [])
        if not isinstance(submaps, list):
            self.fail(At("[[submap]]", lines("submap", 0)), "expected an array of tables")
            submaps = []
        for index, table in enumerate(submaps):
            sub = self.load_submap(m, table, index, lines("submap", index))
            if sub is not None:
                m.submaps.append(sub)
        if m.accessor == "front-end" and m.flavour.sized_keys:
            wide = [reg for reg in m.registers if reg.width != 32]
            if wide:
                self.fail(At("[map]", m.lines), f"a front-end accessor carries 32-bit registers only, not the "
                                                f"{wide[0].width} bits of register '{wide[0].name}'", "accessor")
        m.sound = self.count == 0
        return m

    def load_head(self, head, lines):
        at = At("[map]", lines)
        self.check_keys(head, MAP_KEYS, at)
        before = self.count
        cls = self.text(head, "class", at, default="tUnnamed")
        if not is_identifier(cls) or not cls.startswith("t"):
            self.fail(at, f"class '{cls}' must be an identifier starting with 't'", "class")
        self.class_known = self.count == before
        namespace = self.text(head, "namespace", at, default="kelvo_regmaps")
        if not all(is_identifier(part) for part in namespace.split("::")):
            self.fail(at, f"namespace '{namespace}' is not a C++ namespace", "namespace")
        before = self.count
        flavour = FLAVOURS[self.text(head, "flavour", at, required=False, default="kelvo", choices=tuple(FLAVOURS))]
        # Without its flavour nothing else of the map can be judged.
        self.flavour_known = self.count == before
        version = self.text(head, "version", at, default="")
        fixed = None
        keys = ("base", "window_start", "window_size")
        given = [k for k in keys if k in head]
        if given:
            if len(given) != 3:
                self.fail(at, "a fixed placement gives base, window_start and window_size together", given[0])
            else:
                fixed = tuple(self.integer(head, k, at, default=0) for k in keys)
        for key in sorted(SIZED_MAP_KEYS):
            if key in head and not flavour.sized_keys and self.flavour_known:
                self.fail(at, f"'{key}' is for {flavours_with('sized_keys')}", key)
        accessor = self.text(head, "accessor", at, required=False, default=flavour.accessors[0],
                             choices=tuple(ACCESSORS))
        if accessor not in flavour.accessors:
            if flavour.sized_keys and self.flavour_known:
                self.fail(at, f"a {flavour.name} map reaches its registers through the {flavour.accessors[0]} "
                              "accessor", "accessor")
            accessor = flavour.accessors[0]
        enum_ns = self.text(head, "enum_namespace", at, required=False, default=None)
        if enum_ns is not None and not is_identifier(enum_ns):
            self.fail(at, f"enum_namespace '{enum_ns}' is not an identifier", "enum_namespace")
        return Map(
            path=self.path, stem=os.path.splitext(os.path.basename(self.path))[0], cls=cls, namespace=namespace,
            flavour=flavour, version=version,
            oldest=self.text(head, "oldest_compatible_version", at, required=False, default=version),
            default_name=self.text(head, "default_name", at, required=False, default=cls[1:]),
            size=self.integer(head, "size", at, default=0, low=1, high=0x100000000), fixed=fixed,
            format_by_field_id=self.boolean(head, "format_by_field_id", at, False),
            takes_status=self.boolean(head, "takes_status", at, False),
            accessor=accessor, enum_ns=enum_ns,
            one_bit=self.text(head, "one_bit", at, required=False, default="any-nonzero",
                              choices=("any-nonzero", "bit0")),
            lines=lines)

    def load_enums(self, tables, lines):
        enums = []
        if not isinstance(tables, list):
            self.fail(At("[[enum]]", lines(0)), "expected an array of tables")
            return enums
        for index, table in enumerate(tables):
            at = At(f"enum #{index}", lines(index))
            if not self.check_keys(table, ENUM_KEYS, at):
                continue
            name = self.text(table, "name", at, default="Unnamed")
            if not is_identifier(name):
                self.fail(at, f"'{name}' is not an identifier", "name")
            values = table.get("values", {})
            if not isinstance(values, dict):
                self.fail(at, "'values' must be a table of name = integer", "values")
                values = {}
            for key, value in values.items():
                if not is_identifier(key) or isinstance(value, bool) or not isinstance(value, int) or value < 0:
                    self.fail(at, f"value '{key}' must be an identifier with a non-negative integer", "values")
            enums.append(Enum(name, values, at.lines))
        return enums

    def load_register(self, m, table, index, lines):
        at = At(label("register", table, index), lines)
        if not self.check_keys(table, REGISTER_KEYS, at):
            return None
        name = self.text(table, "name", at, default=f"Register{index}")
        if not is_identifier(name):
            self.fail(at, "name is not an identifier", "name")
        layout_only = self.boolean(table, "layout_only", at, False)
        type_ = self.text(table, "type", at, required=not layout_only, default=f"t{name}")
        if not is_identifier(type_):
            self.fail(at, f"type '{type_}' is not an identifier", "type")
        # An entry with `element` declares elements element..element+count-1 of an array whose
        # elements are declared apart from each other (see check.check_split_arrays).
        before = self.count
        element = self.integer(table, "element", at, required=False, default=None, high=4095)
        array = "count" in table or element is not None
        count = self.integer(table, "count", at, required=False, default=1, low=1, high=4096)
        width = self.integer(table, "width", at, required=False, default=32, low=8, high=64)
        if width is not None and width not in (8, 16, 32, 64):
            self.fail(at, f"width {width} is not 8, 16, 32 or 64", "width")
        fields = table.get("fields", [])
        if not isinstance(fields, list):
            self.fail(at, "'fields' must be an array of tables", "fields")
            fields = []
        # The shape of the register decides what its other values mean: with a fault there, they are
        # not read (their faults would only repeat it).
        if self.count != before or not self.element_lists_agree(table, fields, at, count, array):
            return None
        if layout_only:
            for key in ("id", "ids", "view_id", "view_ids", "default", "defaults", "cleared_after_write",
                        "kept_after_write", "kind"):
                if key in table:
                    self.fail(at, f"a layout-only register has no record, so no '{key}'", key)
        reg = Register(
            name=name, type=type_, element=element, count=count, array=array, layout_only=layout_only,
            kind=self.text(table, "kind", at, required=False, default="soft-copy", choices=tuple(KINDS)),
            access=self.text(table, "access", at, required=False, default="read-write", choices=tuple(ACCESSES)),
            width=width, offsets=self.load_offsets(table, at, count, array),
            has_id=width != 64 and not layout_only,  # nor has a 64-bit register (bridge maps only)
            given_ids=[], view_ids=None, defaults=[], cleared=0, aliases=[], fields=[], lines=lines)
        self.check_register_width(m, reg, at)
        if reg.has_id:
            reg.given_ids = self.given_ids(m, reg, table, at, required=not m.flavour.key_is_offset)
            reg.id_given_once = array and "id" in table
        else:
            if ("id" in table or "ids" in table) and not layout_only:
                self.fail(at, "a 64-bit register of a bridge map has no identifier", "id" if "id" in table else "ids")
            reg.given_ids = [None] * count
        if ("view_id" in table or "view_ids" in table) and not layout_only:
            reg.view_ids = self.per_element(table, "view_id", "view_ids", at, count, array)
        reg.defaults = self.per_element(table, "default", "defaults", at, count, array, required=False,
                                        default=0, high=0xFFFFFFFFFFFFFFFF) or [0] * count
        reg.cleared = self.load_cleared(table, at, reg.full, width)
        aliases = table.get("aliases", [])
        if not isinstance(aliases, list) or not all(isinstance(a, str) for a in aliases):
            self.fail(at, "'aliases' must be a list of register names", "aliases")
            aliases = []
        reg.aliases = aliases
        reg.masks = self.load_masks(table, at, reg.full)
        for findex, ftable in enumerate(fields):
            f = self.load_field(m, reg, ftable, At(f"{at.text} field #{findex}", lines.item("fields", findex)))
            if f is not None:
                reg.fields.append(f)
        return reg

    def load_masks(self, table, at, full):
        """Named sets of field bits: `masks = { Ended = 0x0C008000 }`."""
        masks = table.get("masks", {})
        if not isinstance(masks, dict):
            self.fail(at, "'masks' must be a table of name = integer", "masks")
            return {}
        for name, value in masks.items():
            if not is_identifier(name) or isinstance(value, bool) or not isinstance(value, int) or value <= 0:
                self.fail(at, f"mask '{name}' must be an identifier with a positive integer", "masks")
                return {}
            if value & ~full:
                self.fail(at, f"mask '{name}' {value:#x} does not fit the register", "masks")
                return {}
        return dict(masks)

    def element_lists_agree(self, table, fields, at, count, array):
        """The per-element lists of an array have one entry per element. When several lists have the
        same wrong length, the count is what is wrong: one message names it."""
        if not array:
            return True
        lists = [(key, table[key], at.lines.of(key)) for key in ("offsets", "ids", "view_ids", "defaults")
                 if isinstance(table.get(key), list)]
        lists += [(f"fields[{i}].ids", f["ids"], at.lines.item("fields", i).first) for i, f in enumerate(fields)
                  if isinstance(f, dict) and isinstance(f.get("ids"), list)]
        wrong = [(key, len(values), line) for key, values, line in lists if len(values) != count]
        if not wrong:
            return True
        if len(wrong) > 1 and len({length for _, length, _ in wrong}) == 1:
            names = ", ".join(f"'{key}'" for key, _, _ in wrong)
            self.fail(at, f"'count' = {count}, but {names} have {wrong[0][1]} entries each", "count")
            return False
        for key, length, line in wrong:
            self.fail(At(at.text, Lines(line)), f"'{key}' has {length} entries for {count} elements")
        return False

    def load_offsets(self, table, at, count, array):
        if array and "offsets" in table:
            if "offset" in table or "stride" in table:
                self.fail(at, "give 'offsets', or 'offset' and 'stride'", "offsets")
            return self.integer_list(table, "offsets", at) or [0] * count
        if "offsets" in table:
            self.fail(at, "'offsets' is for arrays (give 'count')", "offsets")
        first = self.integer(table, "offset", at, default=0)
        stride = self.integer(table, "stride", at, required=array and count > 1, default=0)
        if not array and "stride" in table:
            self.fail(at, "'stride' is for arrays (give 'count')", "stride")
        return [first + n * stride for n in range(count)]

    def load_cleared(self, table, at, full, width):
        if "cleared_after_write" in table and "kept_after_write" in table:
            self.fail(at, "give 'cleared_after_write' or 'kept_after_write', not both", "kept_after_write")
        if "kept_after_write" in table:
            kept = self.integer(table, "kept_after_write", at, default=full, high=0xFFFFFFFFFFFFFFFF)
            if kept & ~full:
                self.fail(at, f"kept_after_write {kept:#x} does not fit {width} bits", "kept_after_write")
            return full & ~kept
        cleared = self.integer(table, "cleared_after_write", at, required=False, default=0,
                               high=0xFFFFFFFFFFFFFFFF)
        if cleared & ~full:
            self.fail(at, f"cleared_after_write {cleared:#x} does not fit {width} bits", "cleared_after_write")
        return cleared

    def check_register_width(self, m, reg, at):
        flavour = m.flavour
        if reg.kind == "strobe-word" and not flavour.strobe_words:
            self.fail(at, f"a {flavour.name} map has no strobe-word registers (use cleared_after_write)", "kind")
        if reg.width not in flavour.widths:
            self.fail(at, f"a {flavour.name} map has no {reg.width}-bit registers", "width")

    def load_bits(self, table, at):
        """(lowest, highest) bit of a field, or None."""
        bits = table.get("bits")
        if isinstance(bits, int) and not isinstance(bits, bool):
            return bits, bits
        if not isinstance(bits, str):
            if not at.unknown_keys:
                self.fail(at, "missing 'bits' (N or \"LOW-HIGH\")")
            return None
        try:
            numbers = [int(p.strip(), 0) for p in bits.split("-")]
        except ValueError:
            numbers = []
        if len(numbers) not in (1, 2):
            self.fail(at, f"bits '{bits}' must be 'N' or 'LOW-HIGH'")
            return None
        return numbers[0], numbers[-1]

    def load_field(self, m, reg, table, at):
        if not self.check_keys(table, FIELD_KEYS, at):
            return None
        bits = self.load_bits(table, at)
        if bits is None:
            return None
        lsb, msb = bits
        if lsb < 0 or msb < lsb:
            self.fail(at, f"bits {lsb}-{msb} are not a range from low to high")
            return None
        if msb >= min(reg.width, 32):
            self.fail(at, f"bits {lsb}-{msb} lie outside the {reg.width}-bit register")
            return None
        width = msb - lsb + 1
        name = self.text(table, "name", at, required=False, default=None)
        if name is not None and not is_identifier(name):
            self.fail(at, f"name '{name}' is not an identifier")
        enum = self.text(table, "enum", at, required=False, default=None)
        if enum is not None and enum not in [e.name for e in m.enums]:
            self.fail(at, f"enum '{enum}' is not declared in this map")
        if "type" in table:
            given = self.integer(table, "type", at, high=3)
            if given is not None and given != field_type(width):
                self.fail(at, f"field type {given} does not match a width of {width} bits (type {field_type(width)})")
        format_only = self.boolean(table, "format_only", at, False)
        if format_only and ("id" in table or "ids" in table or name is not None):
            self.fail(at, "a format-only field has neither identifier nor name")
        if format_only and not m.flavour.format_only_fields:
            self.fail(at, f"format-only fields are for {flavours_with('format_only_fields')}")
        has_id = reg.has_id and not format_only
        return Field(lsb=lsb, width=width, ro=self.boolean(table, "ro", at, reg.access == "read-only"),
                     name=name, enum=enum, any_nonzero=self.load_one_bit_rule(m, reg, width, table, at),
                     format_only=format_only,
                     given_ids=self.given_ids(m, reg, table, at, False) if has_id else [None] * reg.count,
                     id_given_once=reg.array and "id" in table, lines=at.lines)

    def load_one_bit_rule(self, m, reg, width, table, at):
        """Whether a one-bit field takes any non-zero value as 1 (else only bit 0 of the value). Kelvo
        maps and data ports always take any non-zero value; bridge and timing maps follow their
        'one_bit' rule unless the field says 'any_nonzero'."""
        given = table.get("any_nonzero")
        if given is not None:
            if not isinstance(given, bool):
                self.fail(at, "'any_nonzero' must be true or false")
                given = None
            elif not m.flavour.sized_keys:
                self.fail(at, f"'any_nonzero' is for {flavours_with('sized_keys')}")
            elif width != 1:
                self.fail(at, "'any_nonzero' is for one-bit fields")
            elif reg.kind == "data-port" and not given:
                self.fail(at, "a one-bit field of a data port takes any non-zero value")
        if not m.flavour.sized_keys or reg.kind == "data-port":
            return True
        if given is not None:
            return given
        return m.one_bit == "any-nonzero"

    def load_submap(self, m, table, index, lines):
        at = At(label("submap", table, index), lines)
        if not self.check_keys(table, SUBMAP_KEYS, at):
            return None
        name = self.text(table, "name", at, default=f"SubMap{index}")
        if not is_identifier(name):
            self.fail(at, "name is not an identifier", "name")
        cls = self.text(table, "class", at, default="tUnnamed")
        window = self.text(table, "window", at, default="Win")
        if not is_identifier(window):
            self.fail(at, f"window name '{window}' is not an identifier", "window")
        array = "count" in table
        count = self.integer(table, "count", at, required=False, default=1, low=1, high=64)
        sub = SubMap(
            name=name, cls=cls, window=window,
            ownership=self.text(table, "ownership", at, required=False, default="embedded",
                                choices=("embedded", "owned")),
            count=count, array=array,
            placement=self.text(table, "placement", at, required=False, default="relative",
                                choices=("relative", "fixed")),
            stride=self.integer(table, "stride", at, required=array and count > 1, default=0), lines=lines)
        if sub.placement == "relative":
            for key in ("base", "window_start", "window_size"):
                if key in table:
                    self.fail(at, f"'{key}' belongs to a fixed placement", key)
            sub.offset = self.integer(table, "offset", at, default=0)
            sub.span = self.integer(table, "size", at, default=0, low=1, high=0x100000000)
            last_end = sub.offset + (sub.count - 1) * sub.stride + sub.span
            if last_end > m.size:
                self.fail(at, f"window [{sub.offset:#x}, {last_end:#x}) lies outside the map's region "
                              f"of {m.size:#x} bytes", "offset")
        else:
            for key in ("offset", "size"):
                if key in table:
                    self.fail(at, f"'{key}' belongs to a relative placement", key)
            sub.base = self.integer(table, "base", at, default=0)
            sub.window_start = self.integer(table, "window_start", at, default=0)
            sub.window_size = self.integer(table, "window_size", at, default=0)
        return sub


def load_all(paths, faults):
    """The Maps of the files (sound or not) and whether every file's class is known."""
    maps, classes_known = [], True
    for path in paths:
        loader = Loader(path, faults)
        m = loader.load()
        classes_known = classes_known and m is not None and loader.class_known
        if m is not None:
            maps.append(m)
    return maps, classes_known
