#!/usr/bin/env python3
"""Shows that the driver's layers see only downward. Given the layer file
(driver/layers.txt: per layer, bottom first, "<folder> <include folder>..."),
one header of each layer ("<folder>/<file>.h") preprocesses with its own
include path and is not found with any lower layer's; given the archives file
(driver/layer_archives.txt: "<folder> <archive>"), no layer's archive needs a
symbol that only a layer above it defines.
"""
import os
import subprocess
import sys

NOT_FOUND = ("No such file or directory", "file not found")  # GCC's and clang's words


def lines(path):
    with open(path) as f:
        return [line.split() for line in f if line.split()]


def first_header(includes, folder):
    for root in includes:
        top = os.path.join(root, folder)
        names = sorted(n for n in os.listdir(top) if n.endswith(".h")) if os.path.isdir(top) else []
        if names:
            return f"{folder}/{names[0]}"
    return None


def preprocess(compiler, includes, header):
    args = [compiler, "-std=c++20", "-E", "-x", "c++", "-", "-o", os.devnull] + [f"-I{d}" for d in includes]
    run = subprocess.run(args, input=f'#include "{header}"\n', capture_output=True, text=True)
    return run.returncode, run.stderr


def symbols(archive, defined):
    args = ["nm", "--format=posix"] + (["--defined-only"] if defined else ["-u"]) + [archive]
    listing = subprocess.run(args, check=True, capture_output=True, text=True).stdout
    # Member headers ("lib.a[x.o]:") have no type letter; "U" marks undefined.
    return {parts[0] for parts in map(str.split, listing.split("\n"))
            if len(parts) >= 2 and not parts[0].endswith(":") and (defined or parts[1] in "Uw")}


def check_archives(order, archive_file):
    archives = {words[0]: words[1] for words in lines(archive_file) if len(words) == 2}
    built = [layer for layer in order if layer in archives]
    defined = {layer: symbols(archives[layer], True) for layer in built}
    failures = 0
    for index, layer in enumerate(built):
        below = set().union(*(defined[lower] for lower in built[: index + 1]))
        above = built[index + 1:]
        upward = {name: next(upper for upper in above if name in defined[upper])
                  for name in sorted(symbols(archives[layer], False) - below)
                  if any(name in defined[upper] for upper in above)}
        for name, owner in upward.items():
            print(f"FAIL {layer} needs {name}, defined above it in {owner}")
        if not upward:
            print(f"ok   {layer} needs no symbol of a layer above it")
        failures += len(upward)
    return failures


def main(argv):
    if len(argv) not in (2, 3):
        print("usage: check_layers.py <c++ compiler> <layers.txt> [<layer_archives.txt>]")
        return 2
    compiler = argv[0]
    layers = [(words[0], words[1:]) for words in lines(argv[1])]
    failures = 0 if len(layers) >= 2 else 1
    for upper_index, (upper, upper_includes) in enumerate(layers):
        header = first_header(upper_includes, upper)
        code, errors = preprocess(compiler, upper_includes, header) if header else (1, "no header found")
        if code != 0:
            print(f"FAIL {upper} cannot include its own {header}:\n{errors}")
            failures += 1
            continue
        for lower, lower_includes in layers[:upper_index]:
            code, errors = preprocess(compiler, lower_includes, header)
            if code == 0:
                print(f"FAIL {lower} includes {header} of the higher layer {upper}")
                failures += 1
            elif header not in errors or not any(text in errors for text in NOT_FOUND):
                print(f"FAIL {lower} including {header}: failed for another reason:\n{errors}")
                failures += 1
            else:
                print(f"ok   {lower} cannot include {header}")
    if len(argv) == 3:
        failures += check_archives([name for name, _ in layers], argv[2])
    print(f"{failures} failed" if failures else "all passed")
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
