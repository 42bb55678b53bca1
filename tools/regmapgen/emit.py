"""Writing a map: its header (the class with its nested register types) and its source (the constant
tables the engine searches, driver/regs/register_map.h or driver/regs/sized_register_map.h, and
the constructor).

One emitter writes every flavour, with one text: what differs between flavours is what the code
does (engine types and calls, table members, constructor shape), read from the map's Flavour.
"""
import os

from model import (ACCESSES, ACCESSORS, ADDRESS_MASK, ID_COLUMNS, KINDS, OPERATIONS, REGISTER_COLUMNS,
                   REGISTER_LOOKUP_MASK, WHOLE_REGISTER, field_type, register_value_type, value_type)

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


def describe_register(reg, users):
    text = f"{reg.kind}, {reg.access}; " + ", ".join(users)
    if reg.cleared:
        text += f"; {'strobe bits' if reg.kind == 'strobe-word' else 'cleared after a write'} {hexa(reg.cleared)}"
    return text + f"; {reg.width} bits"


def inserted_bits(m, f):
    return m.flavour.inserted_bits.format(mask=hexa(f.mask), lsb=f.lsb, width=f.width,
                                          any_nonzero="true" if f.any_nonzero else "false")


def extract(f, source):
    return f"arm::extractField({source}, {hexa(f.mask)}u, {f.lsb})"


def emit_register_type(m, reg, users):
    flavour = m.flavour
    t = register_value_type(reg.width)
    lines = [f"    // {describe_register(reg, users)}", f"    class {reg.type} : public {record_base(m, reg)} {{",
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
                             + convert(m, f, extract(f, "readRegister(status)")) + "; }")
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
                     + convert(m, f, extract(f, "softCopy")) + "; }")
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
    out.append(f"// Register map {m.cls} (\"{m.default_name}\"), {flavour.name} flavour, version \"{m.version}\".")
    template = ""
    if flavour.template_offset:
        out.append("// kOffset is added to every register offset.")
        template = f"{TEMPLATE_HEAD} "
    out.append(f"{template}class {m.cls} : public {flavour.map_base} {{")
    out.append("public:")
    emitted = set()
    for reg in m.mapped:
        if reg.type in emitted:
            continue
        emitted.add(reg.type)
        users = [f"{r.name}{element_range(r)} at " + ", ".join(hexa(o) for o in r.offsets)
                 for r in m.mapped if r.type == reg.type]
        out.extend(emit_register_type(m, reg, users))
        out.append("")
    out.append(f"    explicit {m.cls}({constructor_signature(m)});")
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
    in_parts = any(reg.element is not None for reg in m.mapped)
    out.append("    // Registers, in declaration order"
               + (" (an array declared in parts where its first part is)." if in_parts else "."))
    declared = set()
    for reg in m.mapped:
        if reg.name in declared:
            continue
        declared.add(reg.name)
        total = sum(r.count for r in m.mapped if r.name == reg.name)
        out.append(f"    {reg.type} {reg.name}{f'[{total}]' if reg.array else ''};")
    if m.submaps:
        owned = any(sub.ownership == "owned" for sub in m.submaps)
        out.append("    // Sub-maps, in declaration order"
                   + (" (owned slots are null when their allocation failed)." if owned else "."))
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
    return [(reg, n, reg.element_name(n)) for reg in m.mapped for n in range(reg.count)]


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
    heading = ", ".join(REGISTER_COLUMNS[column] for column in flavour.register_columns)
    out.append(f"// {len(regs)} registers in declaration order: {heading}.")
    if regs:
        out.append(f"constexpr {flavour.register_info_type} kRegisters[] = {{")
        for reg, n, expr in regs:
            values = {"offset": f"{hexa(reg.offsets[n])}u", "bytes": str(reg.nbytes),
                      "default": f"{hexa(reg.defaults[n])}u", "cleared": f"{hexa(reg.cleared)}u",
                      "kind": KINDS[reg.kind], "access": ACCESSES[reg.access]}
            out.append(f"    {{{', '.join(values[column] for column in flavour.register_columns)}}},  // {expr}")
        out.append("};")
    out.append("")
    for name, entries in tables.items():
        if not entries:
            continue
        out.append(f"constexpr {flavour.id_entry_type} k{name.capitalize()}Ids[] = {{")
        for entry in entries:
            values = dict(zip(ID_COLUMNS, (f"0x{entry[0]:08X}u",) + tuple(str(value) for value in entry[1:])))
            row = ", ".join(values[column] for column in flavour.id_columns)
            out.append(f"    {{{row}}},  // {regs[entry[1]][2]}")
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
    records = [f"static_cast<{record_base(m, reg)}*>(&map.{expr})" for reg, _, expr in regs]
    if flavour.template_offset:
        # The record switch is a member of the class template.
        out += ["} // namespace", ""]
        out += emit_switch(f"{template}void* {named}::recordAt({base_type}& base, uint32_t index)", named, records)
    else:
        out += emit_switch(record_signature, cls, records)
    if subs:
        out += emit_switch(submap_signature, cls, [f"map.{expr}" if sub.ownership == "owned" else f"&map.{expr}"
                                                   for sub, _, expr, _ in subs])
    if not flavour.template_offset:
        out += ["} // namespace", ""]
    # The tables.
    out.append(f"{template}constexpr {flavour.tables_type} {named}::kTables = {{")
    out += [f'    "{m.default_name}",', f'    "{m.version}",', f'    "{m.oldest}",']
    if flavour.tables_window_flag:
        out.append(f"    {'true' if flavour.windowed else 'false'},")
    out.append(f"    {'kRegisters' if regs else 'nullptr'}, {len(regs)},")
    out.append(f"    {'&' + named + '::recordAt' if flavour.template_offset else 'recordAt'},")
    for name, entries in tables.items():
        entry = f"{{k{name.capitalize()}Ids, {len(entries)}}}" if entries else "{nullptr, 0}"
        out.append(f"    {entry},  // {name}")
    out.append(f"    kFormatIds, {len(format_ids)}, kFormats," if format_ids else "    nullptr, 0, nullptr,")
    texts = ["kWindowTexts" if subs else "nullptr"] if flavour.window_texts else []
    out.append(f"    {', '.join(texts + [str(len(subs)), 'subMapAt' if subs else 'nullptr'])},")
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
    bus = flavour.bus.format(accessor="&accessor" if flavour.accessor_by_reference else "accessor")
    inits = [f"{flavour.map_base}(kTables, {bus}, {place})"]
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
    # Out of line: the class's virtual table lives in this file only.
    out.append(f"{template}{named}::~{cls}() {{")
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


def emit_layout(m):
    """The map's layout header: per register (layout-only ones included) its offset and the masks of
    its named fields and named masks, as plain constants for code that reaches the registers without
    the map (code below the register maps, a raw memory accessor)."""
    namespace = f"{m.namespace}::layout::{m.cls[1:]}"
    out = [generated_by(m), f"// Offsets and masks of the registers of {m.cls}, as plain constants.", "#pragma once",
           "", "#include <stdint.h>", "", f"namespace {namespace} {{", ""]
    groups = {}
    for reg in m.registers:
        groups.setdefault(reg.name, []).append(reg)
    for name, parts in groups.items():
        reg = parts[0]
        offsets = [offset for _, offset in sorted((r.first + n, offset) for r in parts
                                                  for n, offset in enumerate(r.offsets))]
        kind = "layout only, " if reg.layout_only else ""
        out.append(f"// {kind}{reg.access}, {reg.width} bits.")
        out.append(f"struct {name} {{")
        out.append(f"    static constexpr uint32_t kOffset = {hexa(offsets[0])}u;")
        if reg.array:
            out.append(f"    static constexpr uint32_t kCount = {len(offsets)};")
            strides = {b - a for a, b in zip(offsets, offsets[1:])}
            if len(strides) == 1 and min(strides) > 0:
                out.append(f"    static constexpr uint32_t kStride = {hexa(strides.pop())}u;")
            elif len(offsets) > 1:
                listed = ", ".join(f"{hexa(offset)}u" for offset in offsets)
                out.append(f"    static constexpr uint32_t kOffsets[{len(offsets)}] = {{{listed}}};")
        for f in sorted((f for f in reg.fields if f.name is not None), key=lambda f: f.lsb):
            bits = f"bit {f.lsb}" if f.width == 1 else f"bits {f.lsb}-{f.msb}"
            out.append(f"    static constexpr uint32_t k{f.name} = {hexa(f.mask)}u;  // {bits}")
            if f.width > 1:
                out.append(f"    static constexpr uint32_t k{f.name}Shift = {f.lsb};")
        for mask_name, mask in reg.masks.items():
            out.append(f"    static constexpr uint32_t k{mask_name} = {hexa(mask)}u;")
        out.append("};")
        out.append("")
    out.append(f"}} // namespace {namespace}")
    return "\n".join(out) + "\n"
