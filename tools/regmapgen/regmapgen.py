#!/usr/bin/env python3
"""Register-map generator: turns register descriptions (TOML) into C++ maps.

Each description file holds one map (docs/register-descriptions.md gives the format). The
generator reads each into typed records (load.py, records in model.py), checks each map and the
maps together (check.py) and writes, per map, a header with the class and its nested register
types and a source file with the constant tables the engine searches (emit.py).

usage: regmapgen.py [--search PATH]... [--output-dir DIR] [--layout-dir DIR] [--check] DESCRIPTION...

--search names further description files or folders (all *.toml in them),
loaded only to resolve sub-map classes. With --check nothing is written.
Outputs are <output-dir>/regmaps/<file stem>.h and .cpp, rewritten only when
their text changes; with --layout-dir, also <layout-dir>/reglayouts/<file stem>.h, the
map's offsets and masks as plain constants. Any fault ends the run with status 1 and one line per
fault, 'file:line: error: where: what'; each mistake is reported once.
"""
import argparse
import os
import sys

sys.dont_write_bytecode = True  # run from the build: no byte code in the source tree
from check import check_map, check_tree, resolve  # noqa: E402
from emit import emit_header, emit_layout, emit_source  # noqa: E402
from load import collect, load_all  # noqa: E402
from model import Faults  # noqa: E402


def generate(targets, others, faults):
    """The maps of the files `targets`, checked, with `others` read to resolve sub-map classes."""
    paths = targets + [p for p in others if p not in targets]
    maps, classes_known = load_all(paths, faults)
    for m in maps:
        if m.sound:
            check_map(m, faults)
    resolve(maps, faults, classes_known)
    chosen = [m for m in maps if m.path in targets]
    for m in chosen:
        check_tree(m, faults)
    stems = {}
    for m in chosen:
        if m.stem in stems:
            faults.add(m.path, 1, "", f"file name '{m.stem}' is also used by {stems[m.stem]}")
        stems[m.stem] = m.path
    return chosen


def write_if_changed(path, text):
    try:
        with open(path, encoding="utf-8") as handle:
            if handle.read() == text:
                return
    except OSError:
        pass
    os.makedirs(os.path.dirname(path), exist_ok=True)
    temporary = path + ".tmp"
    with open(temporary, "w", encoding="utf-8") as handle:
        handle.write(text)
    os.replace(temporary, path)


def main(argv):
    parser = argparse.ArgumentParser(description="Generates register maps from their descriptions.")
    parser.add_argument("descriptions", nargs="+", help="description files to generate")
    parser.add_argument("--search", action="append", default=[], help="further description files or folders")
    parser.add_argument("--output-dir", help="where regmaps/<stem>.h and .cpp go")
    parser.add_argument("--layout-dir", help="where reglayouts/<stem>.h go")
    parser.add_argument("--check", action="store_true", help="check only, write nothing")
    args = parser.parse_args(argv)
    faults = Faults()
    chosen = generate([os.path.abspath(p) for p in args.descriptions],
                      [os.path.abspath(p) for p in collect(args.search)], faults)
    if faults:
        for message in faults.messages:
            print(message, file=sys.stderr)
        return 1
    if args.check:
        return 0
    if not args.output_dir:
        print("regmapgen: --output-dir is needed unless --check", file=sys.stderr)
        return 2
    folder = os.path.join(args.output_dir, "regmaps")
    for m in chosen:
        write_if_changed(os.path.join(folder, f"{m.stem}.h"), emit_header(m))
        write_if_changed(os.path.join(folder, f"{m.stem}.cpp"), emit_source(m))
        if args.layout_dir:
            write_if_changed(os.path.join(args.layout_dir, "reglayouts", f"{m.stem}.h"), emit_layout(m))
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
