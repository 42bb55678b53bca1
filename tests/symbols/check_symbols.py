#!/usr/bin/env python3
"""Checks that driver code is fit for a kernel.

Given the driver's static archives (one or several; they are checked as one
whole, so references between them resolve) or object files, it fails when:
  * an undefined symbol is neither a kernel-layer operation (nVOKAL...),
    lz4's LZ4_decompress_safe, nor on the short compiler-support allow-list;
  * a lazily initialised local static left a guard variable (_ZGV...);
  * a compiler-run constructor or destructor table (.init_array, .ctors,
    .fini_array, .dtors) is present: the driver runs its own initialiser table.

With --expect-fail every input must fail on its own (used to show that the
check catches each kind of forbidden reference).
"""
import re
import subprocess
import sys
import tempfile
import os

ALLOWED = {
    "memcpy", "memmove", "memset", "memcmp",
    "LZ4_decompress_safe",
    "_GLOBAL_OFFSET_TABLE_",
}
KERNEL_LAYER = re.compile(r"^nVOKAL\d+_\w+$")
CTOR_SECTIONS = re.compile(r"^\.(init_array|ctors|fini_array|dtors)(\..*)?$")


def relocatable(paths, workdir):
    """One relocatable object for all inputs (so they resolve each other's symbols)."""
    if len(paths) == 1 and not paths[0].endswith(".a"):
        return paths[0]
    out = os.path.join(workdir, "combined_r.o")
    subprocess.run(["ld", "-r", "--whole-archive", *paths, "-o", out], check=True)
    return out


def problems(paths, workdir):
    obj = relocatable(paths, workdir)
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
        found.append(f"undefined symbol: {name}")
    defined = subprocess.run(["nm", "--defined-only", "--format=posix", obj], check=True, capture_output=True,
                             text=True).stdout.split("\n")
    for line in defined:
        parts = line.split()
        if parts and parts[0].startswith("_ZGV"):
            found.append(f"guard variable of a lazily initialised static: {parts[0]}")
    sections = subprocess.run(["readelf", "-S", "-W", obj], check=True, capture_output=True, text=True).stdout
    for line in sections.split("\n"):
        m = re.search(r"\]\s+(\S+)\s+\S+\s+[0-9a-f]+\s+[0-9a-f]+\s+([0-9a-f]+)", line)
        if m and CTOR_SECTIONS.match(m.group(1)) and int(m.group(2), 16) != 0:
            found.append(f"compiler-run constructor or destructor table: {m.group(1)}")
    return found


def main(argv):
    expect_fail = False
    if argv and argv[0] == "--expect-fail":
        expect_fail = True
        argv = argv[1:]
    if not argv:
        print("usage: check_symbols.py [--expect-fail] archive-or-object...")
        return 2
    failures = 0
    with tempfile.TemporaryDirectory() as workdir:
        if expect_fail:
            for path in argv:
                found = problems([path], workdir)
                name = os.path.basename(path)
                if found:
                    print(f"caught as expected: {name}: {found[0]}")
                else:
                    print(f"NOT caught: {name}")
                    failures += 1
        else:
            for p in problems(argv, workdir):
                print(p)
                failures += 1
    if failures:
        print(f"0 passed, {failures} failed")
        return 1
    print(f"{len(argv)} passed, 0 failed")
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
