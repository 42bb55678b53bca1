"""Checks of whole maps and of the maps of a run together.

check_map: one map against itself (derives its identifiers and checks given ones, fields, overlaps,
shared types, arrays declared in parts); resolve: sub-map classes across files; check_tree: the
accessor addresses of a map with its sub-maps. Each mistake is reported once: a register whose
place or identifiers are faulty takes no part in the checks that compare registers, a map with a
fault takes no part in the checks of other maps, and a sub-map class that cannot be found is not
reported while some file could not be read.
"""
from model import ADDRESS_MASK, KEY_MASK, READ_ONLY, field_id, flavours_with, read_view_id, whole_register_id


class MapCheck:
    """The checks of one map; faults go into the run's Faults."""

    def __init__(self, m, faults):
        self.m = m
        self.faults = faults
        self.unplaced = set()  # registers (by id) with a faulty offset
        self.unidentified = set()  # registers (by id) with a faulty identifier

    def fail(self, record, key, where, message):
        self.faults.add(self.m.path, record.lines.of(key), where, message)
        self.m.sound = False

    def run(self):
        m = self.m
        names = set()
        for reg in m.registers:
            if reg.name in names and reg.element is None:
                self.fail(reg, "name", reg.where(), "name used twice")
            names.add(reg.name)
        for reg in m.registers:
            self.check_register(reg, names)
        self.check_region()
        self.check_shared_types()
        self.check_split_arrays()
        self.check_overlaps()
        self.check_identifiers_unique()
        sub_names = set()
        for sub in m.submaps:
            if sub.name in names or sub.name in sub_names:
                self.fail(sub, "name", sub.where(), "name used twice")
            sub_names.add(sub.name)

    def check_register(self, reg, names):
        where = reg.where()
        key = "offsets" if "offsets" in reg.lines.keys else "offset"
        # An offset repeated by a stride is one mistake: the first element it shows in names it.
        for n, offset in enumerate(reg.offsets):
            if offset % reg.nbytes:
                self.fail(reg, key, reg.where(n), f"offset {offset:#x} is not aligned to its {reg.width} bits")
                self.unplaced.add(id(reg))
                break
        default_key = "defaults" if "defaults" in reg.lines.keys else "default"
        for default in reg.defaults:
            if default & ~reg.full:
                self.fail(reg, default_key, where, f"default {default:#x} does not fit {reg.width} bits")
                break
        if reg.kind == "data-port" and any(reg.defaults):
            self.fail(reg, default_key, where, "a data port has no soft copy and so no default")
        cleared_key = "kept_after_write" if "kept_after_write" in reg.lines.keys else "cleared_after_write"
        if reg.kind == "data-port" and reg.cleared:
            self.fail(reg, cleared_key, where, "a data port has no soft copy to clear after a write")
        if reg.kind == "strobe-word" and not reg.cleared:
            self.fail(reg, "kind", where, "a strobe-word register needs its strobe bits (cleared_after_write)")
        if reg.access == "read-only" and reg.cleared:
            self.fail(reg, cleared_key, where,
                      "a read-only register is never written, so nothing is cleared after a write")
        # Fields: apart from each other, names unique, read-only marks consistent with the access.
        reg.fields.sort(key=lambda f: f.lsb)
        seen = 0
        field_names = set()
        marks_agree = True
        for f in reg.fields:
            if seen & f.mask:
                self.fail(f, None, where, f"field bits {f.lsb}-{f.msb} overlap another field")
            seen |= f.mask
            if f.name is not None:
                if f.name in field_names:
                    self.fail(f, None, where, f"field name '{f.name}' used twice")
                field_names.add(f.name)
            if reg.access == "read-only" and not f.ro:
                self.fail(f, None, where, f"field {f.lsb} of a read-only register must be read-only")
                marks_agree = False
            if reg.access == "write-only" and f.ro:
                self.fail(f, None, where, f"field {f.lsb} of a write-only register cannot be read-only")
                marks_agree = False
        # The layout header's names of the register: kOffset, kCount, kStride, kOffsets, k<Field>Shift.
        layout_names = {"Offset", "Count", "Stride", "Offsets"} | {f"{f.name}Shift" for f in reg.fields if f.name}
        for f in reg.fields:
            if f.name in layout_names:
                self.fail(f, None, where, f"field name '{f.name}' is a name of the layout header's")
        for name, mask in reg.masks.items():
            if name in layout_names:
                self.fail(reg, "masks", where, f"mask name '{name}' is a name of the layout header's")
            elif name in field_names:
                self.fail(reg, "masks", where, f"mask name '{name}' is also a field's")
            elif mask & ~seen:
                self.fail(reg, "masks", where,
                          f"mask '{name}' {mask:#x} has bits {mask & ~seen:#x} outside every field")
        for alias in reg.aliases:
            if alias not in names or alias == reg.name:
                self.fail(reg, "aliases", where, f"alias '{alias}' names no other register of this map")
        if reg.has_id and marks_agree:
            self.derive_ids(reg)
        else:
            # A 64-bit register has none; read-only marks that contradict the access leave them open.
            self.unidentified.add(id(reg))
            reg.ids = [None] * reg.count
            for f in reg.fields:
                f.ids = [None] * reg.count

    def derive_ids(self, reg):
        """Every identifier of every element from its key, lowest bit and read-only mark; a given one
        must equal the derived one. One 'id' for all elements of an array is one transcription: a
        fault in it is reported for the first element only."""
        flavour = self.m.flavour
        id_key = "ids" if "ids" in reg.lines.keys else "id"
        view_key = "view_ids" if "view_ids" in reg.lines.keys else "view_id"
        faults_before = len(self.faults.messages)
        reported = set()  # what was reported of an identifier given once (by id)

        def fail_once(record, key, where, message):
            if not record.id_given_once or id(record) not in reported:
                reported.add(id(record))
                self.fail(record, key, where, message)

        reg.ids = []
        for f in reg.fields:
            f.ids = []
        for n in range(reg.count):
            element = reg.where(n)
            given = reg.given_ids[n]
            key_agrees = True
            if flavour.key_is_offset:
                key = reg.offsets[n]
                if given is not None and given & KEY_MASK != key:
                    fail_once(reg, id_key, element, f"identifier {given:#010x}: the key of a {flavour.name} map is "
                                                    f"the register's offset {key:#x}")
                    key_agrees = False
                expected = whole_register_id(key, reg.access == "read-only")
            else:
                key = given & KEY_MASK
                expected = whole_register_id(key)
            if given is not None and given != expected and key_agrees:
                fail_once(reg, id_key, element, f"whole-register identifier {given:#010x} should be {expected:#010x}")
            reg.ids.append(expected if given is None else given)
            # A field identifier that differs in its read-only mark alone leaves open which fields are
            # read-only, and so whether the register has a read view.
            marks_agree = self.derive_field_ids(reg, n, key, fail_once)
            if not marks_agree:
                continue
            if flavour.read_views and reg.mixed:
                view = read_view_id(key)
                if reg.view_ids is None:
                    if n == 0:
                        self.fail(reg, None, reg.where(), f"a register with read-only and writable fields has the "
                                                          f"second identifier {view:#010x}: give it as view_id")
                elif reg.view_ids[n] != view:
                    self.fail(reg, view_key, element,
                              f"view identifier {reg.view_ids[n]:#010x} should be {view:#010x}")
            elif reg.view_ids is not None and n == 0:
                self.fail(reg, view_key, reg.where(), f"only a register with both read-only and writable fields "
                                                      f"of {flavours_with('read_views')} has a view identifier")
        if len(self.faults.messages) != faults_before:
            self.unidentified.add(id(reg))

    def derive_field_ids(self, reg, n, key, fail_once):
        """The field identifiers of element n; whether the given ones agree with the fields' read-only
        marks. Given ones that all carry one other key disagree with the register's key, not each
        with its field: one message says so."""
        wrong = []
        for f in reg.fields:
            if f.format_only:
                f.ids.append(None)
                continue
            expected = field_id(key, f.lsb, f.ro)
            given = f.given_ids[n]
            if given is not None and given != expected:
                wrong.append((f, given, expected))
            f.ids.append(expected if given is None else given)
        keys = {given & KEY_MASK for _, given, _ in wrong}
        if len(wrong) > 1 and len(keys) == 1 and key not in keys:
            self.fail(reg, "ids" if "ids" in reg.lines.keys else "id", reg.where(n),
                      f"the fields' identifiers carry the key {keys.pop():#08x}, the register's is {key:#08x}")
            return True
        for f, given, expected in wrong:
            fail_once(f, None, reg.where(n), f"field {f.lsb}-{f.msb}: identifier {given:#010x} should be "
                                             f"{expected:#010x}")
        return all(given ^ expected != READ_ONLY for _, given, expected in wrong)

    def check_region(self):
        """Registers inside the map's region. When several lie outside, the region's size is what is
        wrong: one message names it."""
        m = self.m
        outside = [(reg, n, offset) for reg in m.registers for n, offset in enumerate(reg.offsets)
                   if offset + reg.nbytes > m.size]
        registers = {id(reg): reg for reg, _, _ in outside}
        if len(registers) > 1:
            reg, n, offset = outside[0]
            self.faults.add(m.path, m.lines.of("size"), "[map]", f"{len(registers)} registers lie outside the map's "
                            f"region of {m.size:#x} bytes, the first {reg.where(n)} at {offset:#x}")
            m.sound = False
        elif outside:
            reg, n, offset = outside[0]
            key = "offsets" if "offsets" in reg.lines.keys else "offset"
            self.fail(reg, key, reg.where(n), f"offset {offset:#x} ({reg.nbytes} bytes) lies outside the map's "
                                              f"region of {m.size:#x} bytes")
        self.unplaced.update(registers)

    def check_shared_types(self):
        by_type = {}
        for reg in self.m.mapped:
            shape = (reg.kind, reg.access, reg.width, reg.cleared,
                     tuple((f.lsb, f.width, f.ro, f.name, f.enum) for f in reg.fields))
            if reg.type in by_type and by_type[reg.type][1] != shape:
                self.fail(reg, "type", reg.where(), f"type '{reg.type}' is shared with register "
                                                    f"'{by_type[reg.type][0]}' but differs from it")
            by_type.setdefault(reg.type, (reg.name, shape))

    def check_split_arrays(self):
        """Entries with `element` of one name form one C++ array: one type, every element once."""
        groups = {}
        for reg in self.m.registers:
            groups.setdefault(reg.name, []).append(reg)
        for name, regs in groups.items():
            if all(r.element is None for r in regs):
                continue
            first = regs[0]
            where = f"register '{name}'"
            if not self.m.flavour.split_arrays:
                self.fail(first, "element", where, f"arrays declared in parts are for {flavours_with('split_arrays')}")
                continue
            if any(r.element is None for r in regs):
                self.fail(first, None, where, "an array declared in parts gives 'element' in every part")
                continue
            if len({r.type for r in regs}) != 1:
                self.fail(first, "type", where, "the parts of an array declared in parts have one type")
            elements = sorted(r.first + n for r in regs for n in range(r.count))
            if elements != list(range(len(elements))):
                self.fail(first, "element", where, f"the parts declare elements {elements}, not each of "
                                                   f"0..{len(elements) - 1} once")

    def check_overlaps(self):
        """Registers apart from each other unless declared aliases; one message per pair of registers."""
        elements = sorted(((offset, offset + reg.nbytes, reg, n) for reg in self.m.registers
                           if id(reg) not in self.unplaced for n, offset in enumerate(reg.offsets)),
                          key=lambda e: (e[0], e[1]))
        reported = set()
        for i, (begin, end, reg, n) in enumerate(elements):
            for other_begin, _, other, other_n in elements[i + 1:]:
                if other_begin >= end:
                    break
                if other is not reg and (other.name in reg.aliases or reg.name in other.aliases):
                    continue
                if (id(other), id(reg)) in reported:
                    continue
                reported.add((id(other), id(reg)))
                key = "offsets" if "offsets" in other.lines.keys else "offset"
                self.fail(other, key, other.where(other_n), f"offset {other_begin:#x} overlaps {reg.where(n)}"
                                                            " (declare an alias if intended)")

    def check_identifiers_unique(self):
        """No identifier twice; one message per pair of registers."""
        seen = {}
        reported = set()
        for reg in self.m.registers:
            if id(reg) in self.unidentified:
                continue
            for n in range(reg.count):
                ids = [reg.ids[n]] + ([reg.view_ids[n]] if reg.view_ids else []) + [f.ids[n] for f in reg.fields]
                for ident in ids:
                    if ident is None:
                        continue
                    owner = seen.setdefault(ident, (reg.name, reg.first + n))
                    if owner != (reg.name, reg.first + n) and (reg.name, owner[0]) not in reported:
                        reported.add((reg.name, owner[0]))
                        self.fail(reg, "ids" if "ids" in reg.lines.keys else "id", reg.where(),
                                  f"identifier {ident:#010x} is also used by register '{owner[0]}'")


def check_map(m, faults):
    MapCheck(m, faults).run()


# ---- resolution across files ----

def submap_fault(m, sub, target):
    """What is wrong with placing target as sub-map sub of m, or None."""
    rule = m.flavour.submaps
    if rule is None:
        return f"a {m.flavour.name} map has no sub-maps"
    if target.flavour is not m.flavour:
        return f"a {m.flavour.name} map holds {m.flavour.name} maps only, not a {target.flavour.name} map"
    if rule == "fixed" and (sub.placement != "fixed" or sub.ownership != "embedded" or sub.array):
        return f"a {m.flavour.name} map embeds one sub-map at a fixed placement"
    return None


def resolve(maps, faults, classes_known):
    """Links each sub-map to the map of its class. Faults of a map that has faults of its own, or
    about a class whose map has faults, are not reported: they would repeat those."""
    by_class = {}
    for m in maps:
        if m.cls in by_class:
            faults.add(m.path, m.lines.of("class"), "[map]",
                       f"class '{m.cls}' is also described in {by_class[m.cls].path}")
            m.sound = False
        by_class.setdefault(m.cls, m)
    for m in maps:
        sound = m.sound
        for sub in m.submaps:
            sub.target = by_class.get(sub.cls)
            if not sound:
                continue
            if sub.target is None:
                if classes_known:
                    faults.add(m.path, sub.lines.of("class"), sub.where(), f"no description of class '{sub.cls}'")
                m.sound = False
                continue
            if not sub.target.sound:
                m.sound = False
                continue
            if sub.target.fixed is not None:
                faults.add(m.path, sub.lines.of("class"), sub.where(), f"class '{sub.cls}' has a fixed placement of "
                                                                       "its own and cannot be placed by a parent")
                m.sound = False
            fault = submap_fault(m, sub, sub.target)
            if fault is not None:
                faults.add(m.path, sub.lines.of("placement"), sub.where(), fault)
                m.sound = False
    # A constructor takes a status when the map allocates sub-maps or embeds one that does.
    state = {}

    def needs_status(m):
        if m.cls not in state:
            state[m.cls] = None  # being worked out: met again, the map contains itself
            result = m.takes_status
            for sub in m.submaps:
                if sub.target is None:
                    continue
                if sub.target.cls in state and state[sub.target.cls] is None:
                    faults.add(m.path, sub.lines.of("class"), sub.where(), f"class '{sub.target.cls}' contains itself")
                    m.sound = False
                    continue
                result = needs_status(sub.target) or result or sub.ownership == "owned"
            state[m.cls] = result
        return bool(state[m.cls])

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


def placed_registers(m, base, start, size, path, top, out):
    """Every in-window register element of map m and of its sub-maps, recursively, as (absolute
    address, bytes, path of the map instance, register, element, the top map's register or sub-map
    it is reached through)."""
    for reg in m.mapped:
        for n, offset in enumerate(reg.offsets):
            if start <= offset < start + size:
                out.append(((base - start + offset) & ADDRESS_MASK, reg.nbytes, path, reg, n, top or reg))
    for sub in m.submaps:
        for n in range(sub.count):
            if sub.placement == "fixed":
                place = ((sub.base + n * sub.stride) & ADDRESS_MASK, sub.window_start, sub.window_size)
            else:
                place = relative_placement(base, start, size, sub.offset + n * sub.stride, sub.span)
            name = f"{sub.name}[{n}]" if sub.array else sub.name
            placed_registers(sub.target, *place, f"{path}.{name}", top or sub, out)


def tree_is_sound(m, trail=()):
    return m.sound and m.cls not in trail and all(
        sub.target is not None and tree_is_sound(sub.target, trail + (m.cls,)) for sub in m.submaps)


def check_tree(m, faults):
    """No two registers of one tree (a map with its sub-maps, placed as a top map: at its fixed
    place, else at base 0 with a window over its whole region) answer at one accessor address,
    except registers of one map instance that declare each other aliases. The map's own registers
    are check_map's; a clash is reported once per sub-map of the map that brings it."""
    if not m.submaps or not m.flavour.tree_check or not tree_is_sound(m):
        return
    base, start, size = m.fixed if m.fixed is not None else (0, 0, m.size)
    placed = []
    placed_registers(m, base, start, size, m.cls, None, placed)
    placed.sort(key=lambda e: (e[0], e[1]))
    submaps = {id(sub) for sub in m.submaps}
    reported = set()
    for i, (address, nbytes, path, reg, n, top) in enumerate(placed):
        for other_address, _, other_path, other, other_n, other_top in placed[i + 1:]:
            if other_address >= address + nbytes:
                break
            if other_path == path and other is not reg and (other.name in reg.aliases or reg.name in other.aliases):
                continue
            blamed = other_top if id(other_top) in submaps else top
            if id(blamed) not in submaps or id(blamed) in reported:
                continue  # two registers of the map itself are check_map's
            reported.add(id(blamed))
            faults.add(m.path, blamed.lines.first, blamed.where(),
                       f"register {other_path}.{other.name}"
                       + (f"[{other.first + other_n}]" if other.array else "")
                       + f" and register {path}.{reg.name}" + (f"[{reg.first + n}]" if reg.array else "")
                       + f" share the accessor address {other_address:#x}")
