#!/usr/bin/env python3
"""Holds README.md and docs/*.md to the tree: outside fenced blocks, what they name in backticks must exist:
a path (with a '/' or a file suffix) as the end of a tracked path ('*' as in a shell) or a register map generated
from a .toml of the tree; a qualified name as a namespace or type the code declares and names the code has
(`std::` is the library's); a namespace in a table headed "namespace" as one declared ('x*' a prefix of names).
Placeholders (`<layer>`), build paths and absolute paths are left alone.
Usage: check_docs.py SOURCE_DIR [--self-test]
"""
import fnmatch
import os
import pathlib
import re
import subprocess
import sys

SUFFIXES = (".h", ".cpp", ".c", ".S", ".py", ".sh", ".toml", ".md", ".txt", ".json", ".cmake", ".allowlist")
WORD = re.compile(r"~?[A-Za-z_][A-Za-z0-9_]*")
QUALIFIED = re.compile(r"~?[A-Za-z_]\w*(::~?[A-Za-z_]\w*)+(\(\))?")
DECLARED_NAMESPACE = re.compile(r"\bnamespace\s+([A-Za-z_][\w:]*)\s*\{|^namespace\s*=\s*\"(\w+)\"", re.M)
DECLARED_TYPE = re.compile(r"\b(?:class|struct|enum(?:\s+class)?|union)\s+([A-Za-z_]\w*)|\busing\s+([A-Za-z_]\w*)\s*=")
CODE_SUFFIXES = (".h", ".cpp", ".c", ".py", ".toml")


def tracked(root):
    try:
        listed = subprocess.run(["git", "-C", root, "ls-files", "-z", "--cached", "--others", "--exclude-standard"],
                                check=True, capture_output=True).stdout.decode().split("\0")
        names = [name for name in listed if name and os.path.isfile(os.path.join(root, name))]
        if names:
            return names
    except (OSError, subprocess.CalledProcessError):
        pass
    # A copy of the tree without git: every file outside the build and git folders.
    names = []
    for folder, subfolders, files in os.walk(root):
        subfolders[:] = [d for d in subfolders if d not in ("build", ".git")]
        names += [os.path.relpath(os.path.join(folder, f), root) for f in files]
    return names


class Tree:
    def __init__(self, root, files):
        self.files = sorted(files)
        self.folders = {f[:i] for f in self.files for i, c in enumerate(f) if c == "/"}
        self.words, self.namespaces, self.types = set(), set(), set()
        for name in self.files:
            if name.startswith("docs/") or name == "README.md":
                continue
            try:
                text = pathlib.Path(root, name).read_text(encoding="utf-8", errors="replace")
            except OSError:
                continue
            self.words.update(WORD.findall(text))
            if name.endswith(CODE_SUFFIXES):
                for spelt, generated in DECLARED_NAMESPACE.findall(text):
                    self.namespaces.update(filter(None, (spelt or generated).split("::")))
                for plain, alias in DECLARED_TYPE.findall(text):
                    self.types.add(plain or alias)

    def has_path(self, path):
        path = path.rstrip("/")
        if any(c in path for c in "*?["):
            return any(fnmatch.fnmatch(f, path) or fnmatch.fnmatch(f, "*/" + path) for f in self.files)
        return any(f == path or f.endswith("/" + path) for f in self.files + sorted(self.folders))

    def generated(self, path):
        stem, suffix = os.path.splitext(path)
        stem = stem.removeprefix("reglayouts/")  # the registers' constants of <stem>.toml
        return suffix in (".h", ".cpp") and self.has_path(stem + ".toml")


def spans(text):
    """(line number, span, namespace-table cell?) of every backticked span outside fenced blocks."""
    fenced, in_namespace_table = False, False
    for number, line in enumerate(text.split("\n"), 1):
        if line.lstrip().startswith("```"):
            fenced = not fenced
            continue
        if fenced:
            continue
        cells = [c.strip() for c in line.strip().strip("|").split("|")] if line.lstrip().startswith("|") else None
        in_namespace_table = cells is not None and (in_namespace_table or cells[0] == "namespace")
        first_cell = cells[0] if cells and in_namespace_table else ""
        for match in re.finditer(r"`([^`]+)`", line):
            yield number, match.group(1), in_namespace_table and match.group(0) in first_cell


def problem(tree, span, namespace_cell):
    """What is wrong with one span, or None."""
    if namespace_cell:
        if span.endswith("*"):
            prefix = span.rstrip("*")
            return None if any(w.startswith(prefix) and w != prefix for w in tree.words) else "no name starts so"
        parts = span.split("::")
        missing = [p for p in parts if p not in tree.namespaces]
        return f"no namespace {', '.join(missing)} is declared" if missing else None
    if (any(c in span for c in "<> =") or span.startswith(("-", "build/", "$", "/", "std::"))
            or re.fullmatch(r"\.\w+", span)):
        return None  # a placeholder, option, absolute or build path, the library's name or a suffix
    if QUALIFIED.fullmatch(span):
        parts = [p.lstrip("~") for p in span.removesuffix("()").split("::")]
        if parts[0] not in tree.namespaces and parts[0] not in tree.types:
            return f"{parts[0]} is declared as no namespace or type"
        missing = [p for p in parts if p not in tree.words]
        return f"no {', '.join(missing)} in the code" if missing else None
    if "/" in span or span.endswith(SUFFIXES):
        return None if tree.has_path(span) or tree.generated(span) else "no such file or folder"
    return None


def check(root, tree):
    docs = ["README.md"] + sorted(f for f in tree.files if f.startswith("docs/") and f.endswith(".md"))
    found = [f"{doc}:{number}: `{span}`: {wrong}" for doc in docs
             for number, span, cell in spans(pathlib.Path(root, doc).read_text(encoding="utf-8"))
             if (wrong := problem(tree, span, cell))]
    print("\n".join(found + [f"{len(found)} names in the docs not in the tree" if found
                             else f"docs: {len(docs)} pages, every name found"]))
    return len(found)


def self_test():
    """Each kind of stale name is caught, and what exists passes."""
    tree = Tree.__new__(Tree)
    tree.files = ["driver/platform/status.h", "host/kelvo_host.h", "tests/unit/a_test.cpp", "tests/a_test.toml"]
    tree.folders = {"driver", "driver/platform", "host", "tests", "tests/unit"}
    tree.words = {"kal", "pci", "Function", "nVOKAL100_memoryWrite32", "tStatus"}
    tree.namespaces, tree.types = {"kal", "pci"}, {"tStatus"}
    cases = [  # span, namespace-table cell, expected to pass
        ("driver/platform/status.h", False, True), ("platform/status.h", False, True), ("b_test.cpp", False, False),
        ("kal/host/kelvo_host.h", False, False), ("tests/unit/*.cpp", False, True), ("tests/unit/*.py", False, False),
        ("driver/platform/", False, True), ("kal::pci::Function", False, True), ("kal::pci::Gone", False, False),
        ("gone::Function", False, False), ("tStatus::tStatus", False, True), ("voatomicop", True, False),
        ("kal::pci", True, True), ("nVOKAL*", True, True), ("nVOGONE*", True, False),
        ("<build>/driver/roots/", False, True), ("-Werror", False, True), ("std::vector", False, True),
        ("a_test.h", False, True), ("b_test.h", False, False), ("/proc/loadavg", False, True),
    ]
    wrong = [(span, table) for span, table, passes in cases if (problem(tree, span, table) is None) != passes]
    for span, table in wrong:
        print(f"self-test: `{span}`{' (namespace table)' if table else ''} judged wrongly")
    return len(wrong)


def main(argv):
    if argv[1:] == ["--self-test"]:
        return 1 if self_test() else 0
    if len(argv) != 1:
        print("usage: check_docs.py SOURCE_DIR [--self-test]")
        return 2
    return 1 if check(argv[0], Tree(argv[0], tracked(argv[0]))) else 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
