#!/usr/bin/env python3
"""Holds the docs (README.md, docs/*.md) to the tree: what they name in
backticks must exist.

  - a path (it has a '/' or a file suffix): a file or folder of the tree whose
    path is it or ends in it (so include spellings such as `platform/status.h`
    and bare file names count), '*' matching as in a shell, or a register map
    generated from a description of the tree (`<name>.h` or `.cpp` beside a
    `<name>.toml`, or its constants `reglayouts/<name>.h`); spans with
    placeholders (`<layer>`), paths into the build folder and absolute paths
    are left alone;
  - a qualified name (`kal::pci::Function`): its first part is a namespace or a
    type the code declares, and every part is a name in the code (`std::` is
    the library's);
  - a namespace in a table whose first column is headed "namespace": declared
    as one in the code (a trailing '*' names a prefix of C functions).

Fenced code blocks are commands, not names, and are skipped.
Usage: check_docs.py SOURCE_DIR [--self-test]
"""
import fnmatch
import os
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
                with open(os.path.join(root, name), encoding="utf-8", errors="replace") as f:
                    text = f.read()
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
        if cells is None:
            in_namespace_table = False
        elif cells[0] == "namespace":
            in_namespace_table = True
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
    if "<" in span or ">" in span or " " in span or span.startswith(("-", "build/", "$", "/", "std::")) or "=" in span:
        return None
    if QUALIFIED.fullmatch(span):
        parts = [p.lstrip("~") for p in span.removesuffix("()").split("::")]
        if parts[0] not in tree.namespaces and parts[0] not in tree.types:
            return f"{parts[0]} is declared as no namespace or type"
        missing = [p for p in parts if p not in tree.words]
        return f"no {', '.join(missing)} in the code" if missing else None
    if re.fullmatch(r"\.\w+", span) and not tree.has_path(span):
        return None  # a suffix
    if "/" in span or span.endswith(SUFFIXES):
        return None if tree.has_path(span) or tree.generated(span) else "no such file or folder"
    return None


def check(root, tree):
    failures = 0
    docs = ["README.md"] + sorted(f for f in tree.files if f.startswith("docs/") and f.endswith(".md"))
    for doc in docs:
        with open(os.path.join(root, doc), encoding="utf-8") as f:
            text = f.read()
        for number, span, namespace_cell in spans(text):
            wrong = problem(tree, span, namespace_cell)
            if wrong:
                print(f"{doc}:{number}: `{span}`: {wrong}")
                failures += 1
    print(f"{failures} names in the docs not in the tree" if failures else f"docs: {len(docs)} pages, every name found")
    return failures


def self_test():
    """Each kind of stale name is caught, and what exists passes."""
    tree = Tree.__new__(Tree)
    tree.files = ["driver/platform/status.h", "host/kelvo_host.h", "tests/unit/a_test.cpp", "tests/a_test.toml"]
    tree.folders = {"driver", "driver/platform", "host", "tests", "tests/unit"}
    tree.words = {"kal", "pci", "Function", "nVOKAL100_memoryWrite32", "tStatus"}
    tree.namespaces, tree.types = {"kal", "pci"}, {"tStatus"}
    cases = [  # span, namespace-table cell, expected to pass
        ("driver/platform/status.h", False, True), ("platform/status.h", False, True),
        ("kal/host/kelvo_host.h", False, False), ("a_test.cpp", False, True), ("b_test.cpp", False, False),
        ("tests/unit/*.cpp", False, True), ("tests/unit/*.py", False, False), ("driver/platform/", False, True),
        ("kal::pci::Function", False, True), ("kal::pci::Gone", False, False), ("gone::Function", False, False),
        ("tStatus::tStatus", False, True), ("kal", True, True), ("voatomicop", True, False),
        ("kal::pci", True, True), ("nVOKAL*", True, True), ("nVOGONE*", True, False),
        ("<build>/driver/roots/", False, True), ("-Werror", False, True), ("std::vector", False, True),
        ("a_test.h", False, True), ("b_test.h", False, False), ("/proc/loadavg", False, True),
    ]
    wrong = [(span, table) for span, table, passes in cases if (problem(tree, span, table) is None) != passes]
    for span, table in wrong:
        print(f"self-test: `{span}`{' (namespace table)' if table else ''} judged wrongly")
    return len(wrong)


def main(argv):
    if len(argv) not in (1, 2) or (len(argv) == 2 and argv[1] != "--self-test"):
        print("usage: check_docs.py SOURCE_DIR [--self-test]")
        return 2
    if len(argv) == 2:
        return 1 if self_test() else 0
    root = argv[0]
    return 1 if check(root, Tree(root, tracked(root))) else 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
