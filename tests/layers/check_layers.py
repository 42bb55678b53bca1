#!/usr/bin/env python3
"""Shows that every unit sees only what it may. Given the build's units file (per unit "<unit> <header> <units it
may include, ',' separated or '-'> <include folder>...", header '-' for a unit nothing includes), every unit's header
preprocesses with the include path of each unit allowed to include it and is not found with any other's. Given the
archives file ("<layer> <archive>"), no driver layer's archive needs a symbol only a layer it may not include defines.
"""
import os
import subprocess
import sys
import tempfile
from concurrent.futures import ThreadPoolExecutor

NOT_FOUND = ("No such file or directory", "file not found")  # GCC's and clang's words


def lines(path):
    with open(path) as f:
        return [line.split() for line in f if line.split()]


def read_units(path):
    """{unit: (header or None, set of units it may include, include folders)}, in file order."""
    return {unit: (None if header == "-" else header, set() if sees == "-" else set(sees.split(",")), includes)
            for unit, header, sees, *includes in lines(path)}


def preprocess(compiler, includes, header, cwd):
    # Run in an empty folder: a quoted include is looked up beside the input first.
    args = [compiler, "-std=c++20", "-E", "-x", "c++", "-", "-o", os.devnull] + [f"-I{d}" for d in includes]
    run = subprocess.run(args, input=f'#include "{header}"\n', capture_output=True, text=True, cwd=cwd)
    return run.returncode, run.stderr


def judge(viewer, owner, header, allowed, result):
    code, errors = result
    if allowed:
        return f"FAIL {viewer} cannot include {header} of {owner}:\n{errors}" if code else None
    if code == 0:
        return f"FAIL {viewer} includes {header} of {owner}, which it may not"
    if header not in errors or not any(text in errors for text in NOT_FOUND):
        return f"FAIL {viewer} including {header} of {owner}: failed for another reason:\n{errors}"
    return None


def check_includes(compiler, units):
    pairs = [(viewer, owner) for viewer in units for owner in units if viewer != owner and units[owner][0]]
    failures = [f"FAIL {unit} may include {seen}, which is no unit"
                for unit, (_, sees, _) in units.items() for seen in sorted(sees - units.keys())]
    with tempfile.TemporaryDirectory() as empty, ThreadPoolExecutor(max_workers=4) as pool:
        results = pool.map(lambda pair: preprocess(compiler, units[pair[0]][2], units[pair[1]][0], empty), pairs)
        failures += filter(None, (judge(viewer, owner, units[owner][0], owner in units[viewer][1], result)
                                  for (viewer, owner), result in zip(pairs, results)))
    print("\n".join(failures + [f"{'FAIL' if failures else 'ok  '} includes: {len(pairs)} pairs of units, "
                                f"{len(failures)} wrong"]))
    return len(failures)


def symbols(archive, defined):
    args = ["nm", "--format=posix"] + (["--defined-only"] if defined else ["-u"]) + [archive]
    listing = subprocess.run(args, check=True, capture_output=True, text=True).stdout
    # Member headers ("lib.a[x.o]:") have no type letter; "U" marks undefined.
    return {parts[0] for parts in map(str.split, listing.split("\n"))
            if len(parts) >= 2 and not parts[0].endswith(":") and (defined or parts[1] in "Uw")}


def check_archives(units, archive_file):
    archives = {words[0]: words[1] for words in lines(archive_file) if len(words) == 2}
    defined = {layer: symbols(archive, True) for layer, archive in archives.items()}
    failures = 0
    for layer, archive in archives.items():
        sees = units[layer][1] if layer in units else set()
        allowed = set().union(defined[layer], *(defined[used] for used in sees if used in defined))
        others = [other for other in archives if other != layer and other not in sees]
        wrong = {name: next(other for other in others if name in defined[other])
                 for name in sorted(symbols(archive, False) - allowed)
                 if any(name in defined[other] for other in others)}
        print("\n".join(f"FAIL {layer} needs {name}, defined in {owner}, which it does not use"
                        for name, owner in wrong.items()) or f"ok   {layer} needs no symbol of a layer it does not use")
        failures += len(wrong)
    return failures


def main(argv):
    if len(argv) not in (2, 3):
        print("usage: check_layers.py <c++ compiler> <layers.txt> [<layer_archives.txt>]")
        return 2
    units = read_units(argv[1])
    failures = (len(units) < 2) + check_includes(argv[0], units)
    if len(argv) == 3:
        failures += check_archives(units, argv[2])
    print(f"{failures} failed" if failures else "all passed")
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
