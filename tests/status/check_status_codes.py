#!/usr/bin/env python3
"""Holds the status codes to their one catalogue, driver/include/kelvo/status_codes.h: fails when it names
a value or a name twice or has a row it cannot read, or when a source file of FOLDERS spells a code's
value (0xBFFAxxxx, -52000 to -52031, 240000, -240000 to -240099) in code instead of KELVO_STATUS_<NAME>.
Comments and strings may quote values; a line that must spell one says "literal on purpose".
--fix rewrites the mechanical uses to the names, keeping each one's type (the build shows where a type
mattered); --self-test shows that the check catches each kind of fault planted in a scratch tree.
"""
import argparse
import io
import os
import pathlib
import re
import sys
import tempfile

CATALOGUE = os.path.join("driver", "include", "kelvo", "status_codes.h")
FOLDERS = ("driver", "tools", "tests", "kal", "sim", "host", "bench")
C_FILES = (".h", ".hpp", ".c", ".cc", ".cpp", ".cxx", ".inc")
SCRIPT_FILES = (".py", ".sh")
MARKER = "literal on purpose"
PREFIX = "KELVO_STATUS_"

HEX = r"0[xX][bB][fF][fF][aA][0-9a-fA-F]{4}"
LITERAL = re.compile(
    r"(?<![\w.])(?P<hex>" + HEX + r")(?P<suffix>[uUlL]*)(?![\w.'])"
    r"|(?<![\w.)\]])(?P<neg>-(?:520[0-2]\d|5203[01]|2400\d\d))[lL]*(?![\w.'])"
    r"|(?<![\w.\-])(?P<pos>240000)[lL]*(?![\w.'])")
# Forms that --fix rewrites to the name alone: they already sign-extend.
SIGNED_FORMS = re.compile(
    r"(?:\bkelvoDriverCode|\bcode|\bdriverCode|\bstatic_cast\s*<\s*(?:std::)?int32_t\s*>)"
    r"\s*\(\s*(?P<a>" + HEX + r")[uU]?\s*\)"
    r"|\(\s*(?:std::)?int32_t\s*\)\s*(?P<b>" + HEX + r")[uU]?(?![\w.])")
ROW = re.compile(r"\bX\(\s*(\w+)\s*,\s*((?:\([^()]*\))?\s*[-+]?\w+)\s*,\s*\"((?:[^\"\\]|\\.)*)\"\s*\)")


def value_of(text):
    """The value of a catalogue value or a literal: (int32_t)0x...u, 0x..., -52000."""
    digits = re.sub(r"^\(\s*(?:std::)?int32_t\s*\)", "", text.strip()).strip().rstrip("uUlL")
    value = int(digits, 16) if re.fullmatch(r"0[xX][0-9a-fA-F]+", digits) else int(digits)
    return value - (1 << 32) if digits[:2] in ("0x", "0X") and value >= 1 << 31 else value


def shown(value):
    return f"0x{value & 0xFFFFFFFF:08X}" if value < -(1 << 24) else str(value)


# Comments and string or character literals (a quote between two letters or digits is a digit separator).
C_SKIPPED = re.compile(r'//[^\n]*|/\*.*?(?:\*/|\Z)|(?<=(?<!\w)R)"([^(]*)\((?:.*?\)\1"|.*)|"(?:[^"\\\n]|\\.)*"?'
                       r"|(?:(?<![A-Za-z0-9])'|'(?![A-Za-z0-9]))(?:[^'\\\n]|\\.)*'?", re.S)
# Python or shell: '#' comments and quoted strings.
SCRIPT_SKIPPED = re.compile(r"(?:\A|(?<=[ \t\n;(]))#[^\n]*|('{3}|\"{3}|'|\")(?:\\.|(?!\1).)*(?:\1|\Z)", re.S)


def blanked(skipped, text):
    """The text with every match of skipped replaced by spaces (newlines kept)."""
    return skipped.sub(lambda match: re.sub(r"[^\n]", " ", match.group(0)), text)


def load_catalogue(root):
    """The rows {value: name} of the catalogue and the faults found in it."""
    path = CATALOGUE
    text = pathlib.Path(root, path).read_text()
    table = re.search(r"#define KELVO_STATUS_TABLE\(X\)(?:[^\n]*\\\n)*[^\n]*", blanked(C_SKIPPED, text))
    if not table:
        return {}, [f"{path}: no KELVO_STATUS_TABLE(X)"]
    body = re.sub(r"/\*.*?\*/", " ", text[table.start():table.end()], flags=re.S).replace("\\\n", " ")
    faults, rows, names = [], {}, {}
    parsed = ROW.findall(body)
    if body.count("X(") != len(parsed):
        faults.append(f"{path}: {body.count('X(')} rows, {len(parsed)} read: every row is X(NAME, value, \"meaning\")")
    for name, value_text, meaning in parsed:
        try:
            value = value_of(value_text)
        except ValueError:
            faults.append(f"{path}: {name}: value {value_text!r} is not a number")
            continue
        if not -(1 << 31) <= value < 1 << 31:
            faults.append(f"{path}: {name}: {value_text} is no 32-bit status word")
        if name in names:
            faults.append(f"{path}: the name {name} is in the catalogue twice")
        if value in rows:
            faults.append(f"{path}: {shown(value)} is in the catalogue twice: {rows[value]} and {name}")
        if not meaning.strip():
            faults.append(f"{path}: {name} has no meaning")
        names[name] = value
        rows.setdefault(value, name)
    if not rows:
        faults.append(f"{path}: the catalogue is empty")
    return rows, faults


def sources(root):
    catalogue = os.path.normpath(os.path.join(root, CATALOGUE))
    for folder in FOLDERS:
        for top, dirs, files in os.walk(os.path.join(root, folder)):
            dirs.sort()
            for name in sorted(files):
                path = os.path.join(top, name)
                if name.endswith(C_FILES + SCRIPT_FILES) and os.path.normpath(path) != catalogue:
                    yield path


def literals(text, code):
    """(match, value) of every code literal outside comments, strings and marked lines."""
    exempt = exempt_lines(text)
    return [(match, value_of(match.group("hex") or match.group("neg") or match.group("pos")))
            for match in LITERAL.finditer(code) if code.count("\n", 0, match.start()) not in exempt]


def fix_text(text, code, rows):
    """The text with every mechanical literal use rewritten to its name (a bare hex value to
    static_cast<uint32_t>(NAME), keeping its type)."""
    edits, taken, exempt = [], set(), exempt_lines(text)
    for match in SIGNED_FORMS.finditer(code):
        value = value_of(match.group("a") or match.group("b"))
        if value in rows and code.count("\n", 0, match.start()) not in exempt:
            edits.append((match.start(), match.end(), PREFIX + rows[value]))
            taken.update(range(match.start(), match.end()))
    for match, value in literals(text, code):
        if match.start() in taken or value not in rows or re.search("[lL]", match.group("suffix") or ""):
            continue  # a hex value with an l suffix is left as it is
        name = PREFIX + rows[value]
        edits.append((match.start(), match.end(), f"static_cast<uint32_t>({name})" if match.group("hex") else name))
    for start, end, replacement in sorted(edits, reverse=True):
        text = text[:start] + replacement + text[end:]
    return text, len(edits)


def exempt_lines(text):
    return {number for number, line in enumerate(text.split("\n")) if MARKER in line}


def check(root, fix=False, out=sys.stdout):
    """Prints every fault; returns their number."""
    rows, faults = load_catalogue(root)
    for fault in faults:
        print(f"FAIL {fault}", file=out)
    fixed = findings = 0
    for path in sources(root):
        text = pathlib.Path(path).read_text(errors="replace")
        is_c = path.endswith(C_FILES)
        code = blanked(C_SKIPPED if is_c else SCRIPT_SKIPPED, text)
        if fix and is_c and rows:
            new_text, count = fix_text(text, code, rows)
            if count:
                pathlib.Path(path).write_text(new_text)
                fixed += count
                text, code = new_text, blanked(C_SKIPPED, new_text)
        relative = os.path.relpath(path, root)
        for match, value in literals(text, code):
            line = code.count("\n", 0, match.start()) + 1
            name = rows.get(value)
            what = (f"use {PREFIX}{name}" if name else
                    f"not in the catalogue: add it there, or mark the line \"{MARKER}\" if it is no code of the driver")
            print(f"FAIL {relative}:{line}: {match.group(0)} ({shown(value)}) spelt out: {what}", file=out)
            findings += 1
    if fix:
        print(f"fixed {fixed} literal uses", file=out)
    failures = len(faults) + findings
    print(f"{failures} failed" if failures else f"all passed: {len(rows)} codes catalogued, no literal elsewhere",
          file=out)
    return failures


# ---- Self-test: each case plants one thing in a scratch tree ------------------------------

# (row planted in the catalogue, must fail with)
BAD_ROWS = [
    ('X(PLANTED_TWIN, -1074102165, "a twin")', "0xBFFA806B is in the catalogue twice: PLANTED_TWIN and FIRM"),
    ('X(PLANTED_TWIN, -52005, "a twin")', "-52005 is in the catalogue twice: PLANTED_TWIN and INVALID_PARAMETER"),
    ('X(INVALID_PARAMETER, -52030, "a twin")', "the name INVALID_PARAMETER is in the catalogue twice"),
    ('X(PLANTED, -52030)', "every row is X(NAME, value"),
]
# (file planted, its text, must fail with, its text after --fix or None): each folder, each form.
LITERALS = [
    ("driver/a.h", "constexpr int64_t k = kelvoDriverCode(0xBFFA806B);\n",
     "driver/a.h:1: 0xBFFA806B (0xBFFA806B) spelt out: use KELVO_STATUS_FIRMWARE_WRONG_SIZE",
     "constexpr int64_t k = KELVO_STATUS_FIRMWARE_WRONG_SIZE;\n"),
    ("tools/b.cpp", "int32_t k{static_cast<std::int32_t>(0xbffa4319u)};\n", "use KELVO_STATUS_RESERVED_BY_OTHER",
     "int32_t k{KELVO_STATUS_RESERVED_BY_OTHER};\n"),
    ("kal/c.c", "int k = (int32_t) 0xBFFA4319u;\n", "use KELVO_STATUS_RESERVED_BY_OTHER",
     "int k = KELVO_STATUS_RESERVED_BY_OTHER;\n"),
    ("tests/d.cpp", "f(code(0xBFFA4303), driverCode(0xBFFA4303u));\n", "use KELVO_STATUS_INVALID_CHANNEL",
     "f(KELVO_STATUS_INVALID_CHANNEL, KELVO_STATUS_INVALID_CHANNEL);\n"),
    ("sim/e.h", "constexpr uint32_t k = 0xBFFA4319u;\n", "use KELVO_STATUS_RESERVED_BY_OTHER",
     "constexpr uint32_t k = static_cast<uint32_t>(KELVO_STATUS_RESERVED_BY_OTHER);\n"),
    ("bench/f.cpp", "case -52005: return {240000, -240000, -240031LL};\n", "use KELVO_STATUS_INVALID_PARAMETER",
     "case KELVO_STATUS_INVALID_PARAMETER: return {KELVO_STATUS_CLIENT_VERSION_NEWER, "
     "KELVO_STATUS_CLIENT_VERSION_TOO_OLD, KELVO_STATUS_NULL_POINTER};\n"),
    ("driver/g.h", "constexpr int64_t k = kelvoDriverCode(0xBFFA0001);\n",
     "driver/g.h:1: 0xBFFA0001 (0xBFFA0001) spelt out: not in the catalogue", None),
    ("tests/i.py", "CODE = -52005  # 0xBFFA4303\n", "tests/i.py:1: -52005", None),
]
# Files the check must pass: comments, strings, other numbers and marked lines.
CLEAN = {
    "driver/clean.h": "// answers 0xBFFA806B or -52005\n/* 240000 */ const char* s = \"0xBFFA4303 -52005\";\n"
                      "constexpr int64_t k = 52005 - 52000 + 0x2400000 + 0x1BFFA4303 + 1240000 + a-52005;\n"
                      "char c = '0'; int d = 1'000; auto r = R\"x(0xBFFA4303)x\";\n"
                      "EXPECT_EQ(x, -52004); // -52004: literal on purpose, a code no one answers\n",
    "tests/clean.sh": "expect \"status .*0xBFFA4308\" # 0xBFFA4308\necho 'x -52005'\n",
    "tools/clean.py": "'''0xBFFA4308\n-52005'''\nx = 1  # -52005\n",
    "docs/outside.cpp": "int x = -52005; // not a source folder\n",
}


def self_test(root):
    catalogue = pathlib.Path(root, CATALOGUE).read_text()
    marker = "    X(SUCCESS, 0,"  # the planted rows go before it
    failures = 0
    for row, path, text, expected, fixed in ([(None,) * 5] + [(row, None, None, want, None) for row, want in BAD_ROWS]
                                             + [(None, *literal) for literal in LITERALS]):
        planted = {CATALOGUE: catalogue.replace(marker, f"    {row} \\\n{marker}" if row else marker), **CLEAN}
        with tempfile.TemporaryDirectory() as scratch:
            for name, content in [*planted.items(), *([(path, text)] if path else [])]:
                os.makedirs(os.path.dirname(os.path.join(scratch, name)), exist_ok=True)
                pathlib.Path(scratch, name).write_text(content)
            report, wrong = io.StringIO(), None
            if (check(scratch, out=report) > 0) != bool(expected) or (expected or "") not in report.getvalue():
                wrong = f"not caught (want {expected!r})" if expected else "the clean tree fails"
                wrong += f":\n{report.getvalue()}"
            elif fixed is not None:
                left = check(scratch, fix=True, out=io.StringIO())
                result = pathlib.Path(scratch, path).read_text()
                wrong = f"--fix gave {result!r} ({left} left), want {fixed!r}" if left or result != fixed else None
            what = row or path or "nothing planted"
            print(f"FAIL {what}: {wrong}" if wrong else f"ok   {what}")
            failures += bool(wrong)
    print(f"{failures} failed" if failures else "all passed")
    return failures


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    parser.add_argument("--root", default=os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", ".."))
    parser.add_argument("--fix", action="store_true", help="rewrite literal uses to the catalogue's names")
    parser.add_argument("--self-test", action="store_true", help="plant each fault in a scratch tree")
    args = parser.parse_args()
    root = os.path.abspath(args.root)
    failures = self_test(root) if args.self_test else check(root, fix=args.fix)
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main())
