#!/usr/bin/env python3
"""Checks that driver code is fit for a kernel.

Given the driver's static archives (one or several; they are checked as one
whole, so references between them resolve) or object files, it fails when:
  * an undefined symbol is neither a kernel-layer operation (nVOKAL...),
    lz4's LZ4_decompress_safe, nor on the short compiler-support allow-list;
  * a lazily initialised local static left a guard variable (_ZGV...);
  * a compiler-run constructor or destructor table (.init_array, .ctors,
    .fini_array, .dtors) is present: the driver runs its own initialiser table;
  * an instruction uses a floating-point or vector register (x87, MMX,
    xmm/ymm/zmm, AVX-512 masks) or state (MXCSR, vzeroupper, ...): a kernel
    does not save those registers for its own code.

With --expect-fail every input is a probe, checked on its own; it must fail
with a finding of the kind named by the folder its source lives in
(probes/<kind>/name.cpp gives the object .../<kind>/name.cpp.o). A probe that
fails for another reason only, or not at all, fails the run.
"""
import os
import re
import subprocess
import sys
import tempfile

UNDEFINED_SYMBOL = "undefined_symbol"
GUARD_VARIABLE = "guard_variable"
CONSTRUCTOR_TABLE = "constructor_table"
FP_REGISTER = "fp_register"
KINDS = (UNDEFINED_SYMBOL, GUARD_VARIABLE, CONSTRUCTOR_TABLE, FP_REGISTER)

ALLOWED = {
    "memcpy", "memmove", "memset", "memcmp",
    "LZ4_decompress_safe",
    "_GLOBAL_OFFSET_TABLE_",
}
KERNEL_LAYER = re.compile(r"^nVOKAL\d+_\w+$")
CTOR_SECTIONS = re.compile(r"^\.(init_array|ctors|fini_array|dtors)(\..*)?$")

# AT&T operands: x87 stack, MMX, SSE/AVX, AVX-512 mask and MPX bound registers.
FP_REGISTER_OPERAND = re.compile(r"%(st\b|mm\d|xmm\d|ymm\d|zmm\d|k[0-7]\b|bnd\d)")
# Instructions that touch that state without naming such a register.
FP_STATE_MNEMONICS = {
    "emms", "femms", "wait", "ldmxcsr", "stmxcsr", "vldmxcsr", "vstmxcsr", "vzeroupper", "vzeroall",
    "xsave", "xsave64", "xsaveopt", "xsaveopt64", "xsavec", "xsavec64", "xsaves", "xsaves64",
    "xrstor", "xrstor64", "xrstors", "xrstors64",
}
# Prefixes objdump prints in front of the mnemonic.
PREFIXES = {"lock", "rep", "repz", "repnz", "repe", "repne", "data16", "data32", "addr32", "cs", "ds", "es",
            "ss", "fs", "gs", "notrack", "bnd", "xacquire", "xrelease", "rex", "rex.W"}
INSTRUCTION = re.compile(r"^\s*[0-9a-f]+:\s+(.*)$")
FUNCTION = re.compile(r"^[0-9a-f]+ <(.*)>:$")
MEMBER = re.compile(r"^(\S.*):\s+file format ")


def uses_fp_register(text):
    """True when one disassembled instruction touches floating-point or vector state."""
    words = text.split()
    while words and words[0] in PREFIXES:
        words = words[1:]
    if not words:
        return False
    mnemonic = words[0]
    # Every x87 mnemonic starts with f (fld, fstp, fnstcw, fxsave, ...).
    if mnemonic.startswith("f") or mnemonic in FP_STATE_MNEMONICS:
        return True
    return bool(FP_REGISTER_OPERAND.search(" ".join(words[1:])))


def fp_register_uses(path):
    """Findings for each function of an archive or object that uses such registers."""
    listing = subprocess.run(["objdump", "-d", "-w", "--no-show-raw-insn", "-C", path], check=True,
                             capture_output=True, text=True).stdout
    member, function = os.path.basename(path), "?"
    uses = {}
    for line in listing.split("\n"):
        m = MEMBER.match(line)
        if m:
            member = os.path.basename(m.group(1))
            continue
        m = FUNCTION.match(line)
        if m:
            function = m.group(1)
            continue
        m = INSTRUCTION.match(line)
        if m and uses_fp_register(m.group(1)):
            key = (member, function)
            first, count = uses.get(key, (m.group(1).strip(), 0))
            uses[key] = (first, count + 1)
    return [(FP_REGISTER, f"floating-point or vector register in {member}: {function}: "
                          f"'{first}' ({count} instruction{'s' if count > 1 else ''})")
            for (member, function), (first, count) in uses.items()]


def relocatable(paths, workdir):
    """One relocatable object for all inputs (so they resolve each other's symbols)."""
    if len(paths) == 1 and not paths[0].endswith(".a"):
        return paths[0]
    out = os.path.join(workdir, "combined_r.o")
    subprocess.run(["ld", "-r", "--whole-archive", *paths, "-o", out], check=True)
    return out


def symbol_problems(obj):
    found = []
    undefined = subprocess.run(["nm", "-u", "--format=posix", obj], check=True, capture_output=True,
                               text=True).stdout.split("\n")
    for line in undefined:
        parts = line.split()
        if not parts:
            continue
        name = parts[0]
        if KERNEL_LAYER.match(name) or name in ALLOWED:
            continue
        found.append((UNDEFINED_SYMBOL, f"undefined symbol: {name}"))
    defined = subprocess.run(["nm", "--defined-only", "--format=posix", obj], check=True, capture_output=True,
                             text=True).stdout.split("\n")
    for line in defined:
        parts = line.split()
        if parts and parts[0].startswith("_ZGV"):
            found.append((GUARD_VARIABLE, f"guard variable of a lazily initialised static: {parts[0]}"))
    sections = subprocess.run(["readelf", "-S", "-W", obj], check=True, capture_output=True, text=True).stdout
    for line in sections.split("\n"):
        m = re.search(r"\]\s+(\S+)\s+\S+\s+[0-9a-f]+\s+[0-9a-f]+\s+([0-9a-f]+)", line)
        if m and CTOR_SECTIONS.match(m.group(1)) and int(m.group(2), 16) != 0:
            found.append((CONSTRUCTOR_TABLE, f"compiler-run constructor or destructor table: {m.group(1)}"))
    return found


def problems(paths, workdir):
    found = symbol_problems(relocatable(paths, workdir))
    for path in paths:
        found += fp_register_uses(path)
    return found


def check_probes(paths, workdir):
    failures = 0
    for path in paths:
        name = os.path.basename(path)
        expected = os.path.basename(os.path.dirname(path))
        if expected not in KINDS:
            print(f"NOT a probe of a known kind: {path} (its source must live in probes/<kind>/, "
                  f"kind one of {', '.join(KINDS)})")
            failures += 1
            continue
        found = problems([path], workdir)
        own = [message for kind, message in found if kind == expected]
        if own:
            print(f"caught as expected: {expected}/{name}: {own[0]}")
        else:
            others = "; ".join(message for _, message in found) or "nothing"
            print(f"NOT caught: {expected}/{name} left no {expected} finding (found: {others})")
            failures += 1
    return failures


def main(argv):
    expect_fail = False
    if argv and argv[0] == "--expect-fail":
        expect_fail = True
        argv = argv[1:]
    if not argv:
        print("usage: check_symbols.py [--expect-fail] archive-or-object...")
        return 2
    with tempfile.TemporaryDirectory() as workdir:
        if expect_fail:
            failures = check_probes(argv, workdir)
            passed = len(argv) - failures
        else:
            found = problems(argv, workdir)
            for _, message in found:
                print(message)
            failures = len(found)
            passed = 0 if failures else len(argv)
    print(f"{passed} passed, {failures} failed")
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
