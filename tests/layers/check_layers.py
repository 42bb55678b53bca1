#!/usr/bin/env python3
"""Shows that the driver's layers see only downward.

Reads the layer file the build writes (driver/layers.txt: one line per layer,
bottom first, "<folder> <include folder>..."). For every pair of a layer and a
layer above it, a probe includes one header of the upper layer, spelt as the
code spells it ("<folder>/<file>.h"):
  * with the upper layer's own include path it must preprocess (so the probe
    itself is sound);
  * with the lower layer's include path it must fail, because that header
    cannot be found.
"""
import os
import subprocess
import sys


def read_layers(path):
    layers = []
    with open(path) as f:
        for line in f:
            words = line.split()
            if words:
                layers.append((words[0], words[1:]))
    return layers


def first_header(includes, folder):
    """The first header of the folder, found through the layer's own include root."""
    for root in includes:
        top = os.path.join(root, folder)
        if os.path.isdir(top):
            names = sorted(n for n in os.listdir(top) if n.endswith(".h"))
            if names:
                return f"{folder}/{names[0]}"
    return None


def preprocess(compiler, includes, header):
    source = f'#include "{header}"\n'
    args = [compiler, "-std=c++20", "-E", "-x", "c++", "-", "-o", os.devnull]
    args += [f"-I{d}" for d in includes]
    run = subprocess.run(args, input=source, capture_output=True, text=True)
    return run.returncode, run.stderr


def main(argv):
    if len(argv) != 2:
        print("usage: check_layers.py <c++ compiler> <layers.txt>")
        return 2
    compiler, layer_file = argv
    layers = read_layers(layer_file)
    if len(layers) < 2:
        print(f"fewer than two layers in {layer_file}")
        return 1
    failures = 0
    checked = 0
    for upper_index, (upper, upper_includes) in enumerate(layers):
        header = first_header(upper_includes, upper)
        if header is None:
            print(f"FAIL {upper}: no header found through its include root")
            failures += 1
            continue
        code, errors = preprocess(compiler, upper_includes, header)
        if code != 0:
            print(f"FAIL {upper} cannot include its own {header}:\n{errors}")
            failures += 1
            continue
        for lower, lower_includes in layers[:upper_index]:
            checked += 1
            code, errors = preprocess(compiler, lower_includes, header)
            if code == 0:
                print(f"FAIL {lower} includes {header} of the higher layer {upper}")
                failures += 1
            elif header not in errors or "No such file" not in errors:
                print(f"FAIL {lower} including {header}: failed for another reason:\n{errors}")
                failures += 1
            else:
                print(f"ok   {lower} cannot include {header}")
    print(f"{checked - failures} passed, {failures} failed")
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
