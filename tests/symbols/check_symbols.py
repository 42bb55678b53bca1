#!/usr/bin/env python3
"""Checks that driver code is fit for a kernel: given its archives (checked as one whole) or objects, it fails on an
undefined symbol other than a kernel-layer operation (nVOKAL...) or the allow-list, a guard variable of a local static,
a compiler-run constructor or destructor table, or an instruction using floating-point or vector registers or state
(a kernel does not save them). With --expect-fail every input is a probe of probes/<kind>/, checked on its own: it
must leave a finding of its folder's kind.
"""
import os
import re
import subprocess
import sys
import tempfile

KINDS = ("undefined_symbol", "guard_variable", "constructor_table", "fp_register")
ALLOWED = {"memcpy", "memmove", "memset", "memcmp", "LZ4_decompress_safe", "_GLOBAL_OFFSET_TABLE_"}
KERNEL_LAYER = re.compile(r"^nVOKAL\d+_\w+$")
CTOR_SECTIONS = re.compile(r"^\.(init_array|ctors|fini_array|dtors)(\..*)?$")
# AT&T operands: x87 stack, MMX, SSE/AVX, AVX-512 mask and MPX bound registers.
FP_REGISTER_OPERAND = re.compile(r"%(st\b|mm\d|xmm\d|ymm\d|zmm\d|k[0-7]\b|bnd\d)")
# Mnemonics that touch that state without naming such a register; every x87
# one starts with f (fld, fstp, fnstcw, fxsave, ...).
FP_STATE_MNEMONIC = re.compile(r"^(f\w*|emms|wait|v?(ld|st)mxcsr|vzero(upper|all)|xsave\w*|xrstor\w*)$")
PREFIXES = {"lock", "rep", "repz", "repnz", "repe", "repne", "data16", "data32", "addr32", "cs", "ds", "es",
            "ss", "fs", "gs", "notrack", "bnd", "xacquire", "xrelease", "rex", "rex.W"}
INSTRUCTION = re.compile(r"^\s*[0-9a-f]+:\s+(.*)$")
FUNCTION = re.compile(r"^[0-9a-f]+ <(.*)>:$")
MEMBER = re.compile(r"^(\S.*):\s+file format ")


def run(*args):
    return subprocess.run(args, check=True, capture_output=True, text=True).stdout.split("\n")


def uses_fp_register(text):
    words = text.split()
    while words and words[0] in PREFIXES:
        words = words[1:]
    return bool(words) and bool(FP_STATE_MNEMONIC.match(words[0]) or FP_REGISTER_OPERAND.search(" ".join(words[1:])))


def fp_register_uses(path):
    member, function, uses = os.path.basename(path), "?", {}
    for line in run("objdump", "-d", "-w", "--no-show-raw-insn", "-C", path):
        if m := MEMBER.match(line):
            member = os.path.basename(m.group(1))
        elif m := FUNCTION.match(line):
            function = m.group(1)
        elif (m := INSTRUCTION.match(line)) and uses_fp_register(m.group(1)):
            first, count = uses.get((member, function), (m.group(1).strip(), 0))
            uses[(member, function)] = (first, count + 1)
    return [("fp_register", f"floating-point or vector register in {member}: {function}: '{first}' "
                            f"({count} instruction{'s' if count > 1 else ''})")
            for (member, function), (first, count) in uses.items()]


def problems(paths, workdir):
    """(kind, message) of every finding in paths, checked as one whole."""
    obj = paths[0]
    if len(paths) > 1 or obj.endswith(".a"):  # one relocatable object, so the inputs resolve each other
        obj = os.path.join(workdir, "combined_r.o")
        subprocess.run(["ld", "-r", "--whole-archive", *paths, "-o", obj], check=True)
    found = [("undefined_symbol", f"undefined symbol: {parts[0]}")
             for parts in map(str.split, run("nm", "-u", "--format=posix", obj))
             if parts and not KERNEL_LAYER.match(parts[0]) and parts[0] not in ALLOWED]
    found += [("guard_variable", f"guard variable of a lazily initialised static: {parts[0]}")
              for parts in map(str.split, run("nm", "--defined-only", "--format=posix", obj))
              if parts and parts[0].startswith("_ZGV")]
    for line in run("readelf", "-S", "-W", obj):
        m = re.search(r"\]\s+(\S+)\s+\S+\s+[0-9a-f]+\s+[0-9a-f]+\s+([0-9a-f]+)", line)
        if m and CTOR_SECTIONS.match(m.group(1)) and int(m.group(2), 16) != 0:
            found.append(("constructor_table", f"compiler-run constructor or destructor table: {m.group(1)}"))
    return found + [f for path in paths for f in fp_register_uses(path)]


def check_probes(paths, workdir):
    failures = 0
    for path in paths:
        name, expected = os.path.basename(path), os.path.basename(os.path.dirname(path))
        found = problems([path], workdir) if expected in KINDS else []
        own = [message for kind, message in found if kind == expected]
        others = "; ".join(message for _, message in found) or "nothing"
        print(f"caught as expected: {expected}/{name}: {own[0]}" if own else
              f"NOT caught: {expected}/{name} left no {expected} finding (found: {others}; kinds: {', '.join(KINDS)})")
        failures += not own
    return failures


def main(argv):
    expect_fail = argv[:1] == ["--expect-fail"]
    argv = argv[1:] if expect_fail else argv
    if not argv:
        print("usage: check_symbols.py [--expect-fail] archive-or-object...")
        return 2
    with tempfile.TemporaryDirectory() as workdir:
        found = [] if expect_fail else problems(argv, workdir)
        failures = check_probes(argv, workdir) if expect_fail else len(found)
    print("".join(message + "\n" for _, message in found), end="")
    print(f"{len(argv) - failures if expect_fail or not failures else 0} passed, {failures} failed")
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
