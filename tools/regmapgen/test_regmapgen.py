"""The generator derives the identifiers transcribed by hand, names each mistake once and writes expected/
(after a change to its output: test_regmapgen.py --update-expected, then review the diff)."""
import contextlib
import glob
import io
import os
import pathlib
import shutil
import sys
import tempfile
import unittest

HERE = os.path.dirname(os.path.abspath(__file__))
ROOT = os.path.dirname(os.path.dirname(HERE))
EXPECTED = os.path.join(HERE, "expected")
DESCRIPTIONS = os.path.join(ROOT, "driver", "regmaps", "descriptions")
UPDATE = "--update-expected" in sys.argv
if UPDATE:
    sys.argv.remove("--update-expected")
sys.path.insert(0, HERE)
sys.dont_write_bytecode = True
import regmapgen  # noqa: E402

# Field identifiers partly given, partly left to the generator.
FLAT = """
[map]
class = "tGoodRegMap"
namespace = "kelvo_regmaps"
version = "1.0.0d379"
size = 0x100

[[register]]
name = "Eviction"
type = "tEvictionReg"
offset = 0x20
id = 0x802A7254
fields = [
  { bits = "0-24", type = 3 },
  { bits = "25-29", id = 0x262A7254, type = 1 },
  { bits = "30", name = "Flag" },
]

[[register]]
name = "Config"
type = "tConfigReg"
offset = 0x24
kind = "strobe-word"
kept_after_write = 0x3FFFFFEF
id = 0x8018D796
view_id = 0xC018D796
fields = [
  { bits = "0-1" },
  { bits = "4" },
  { bits = "28", id = 0x4E18D796, ro = true },
  { bits = "30" },
]

[[register]]
name = "Peer"
type = "tPeerReg"
count = 2
offsets = [0x40, 0x30]
ids = [0x80553695, 0x80BD9F8A]
fields = [{ bits = "28-31", ids = [0x0E553695, 0x0EBD9F8A] }]
"""

# The same map with every field identifier as transcribed.
TRANSCRIBED = (FLAT.replace('{ bits = "0-24",', '{ bits = "0-24", id = 0x002A7254,')
               .replace('{ bits = "30", name', '{ bits = "30", id = 0x1E2A7254, name')
               .replace('{ bits = "0-1" }', '{ bits = "0-1", id = 0x0018D796 }')
               .replace('{ bits = "4" }', '{ bits = "4", id = 0x0818D796 }')
               .replace('{ bits = "30" }', '{ bits = "30", id = 0x1E18D796 }'))

SUBMAP = """
[[submap]]
name = "Leaf"
class = "tLeafRegMap"
window = "LeafWin"
offset = 0x80
size = 0x10
"""
TREE = FLAT + SUBMAP
LEAF = FLAT.replace('class = "tGoodRegMap"', 'class = "tLeafRegMap"', 1)

PARTS = FLAT + """
[[register]]
name = "Mode"
type = "tModeReg"
element = 2
offset = 0xE8
id = 0x8063EF1A
fields = [{ bits = "0-1" }]

[[register]]
name = "Skip"
type = "tSkipReg"
offset = 0x84
id = 0x802E9C0C

[[register]]
name = "Mode"
type = "tModeReg"
element = 0
count = 2
offsets = [0x00, 0x80]
ids = [0x8015DC6B, 0x8097C129]
fields = [{ bits = "0-1", ids = [0x0015DC6B, 0x0097C129] }]
"""

# Bridge maps: the key is the byte offset, so no identifier needs to be given.
BRIDGE = """
[map]
class = "tGoodBridgeWithOffset"
namespace = "brixeltools"
flavour = "bridge"
one_bit = "bit0"
version = "2.3.0f7"
default_name = "GoodBridge"
size = 0x20

[[register]]
name = "Status"
type = "tStatus"
offset = 0x0C
access = "read-only"
fields = [{ bits = "4" }]

[[register]]
name = "Data8"
type = "tData8"
offset = 0x10
width = 8
access = "write-only"
cleared_after_write = 0xFF
aliases = ["Data64"]
id = 0x80000010
fields = [{ bits = "0", id = 0x00000010, any_nonzero = true }, { bits = "1-7" }]

[[register]]
name = "Data64"
type = "tData64"
offset = 0x10
width = 64
access = "write-only"

[[register]]
name = "Select"
type = "tSelect"
count = 4
offset = 0x18
stride = 1
width = 8
id = 0x80000018
fields = [{ bits = "0-3" }]

[[register]]
name = "Control"
offset = 0x00
layout_only = true
masks = { Both = 0x9 }
fields = [{ bits = "0", name = "Go" }, { bits = "3" }]
"""
TIMING = BRIDGE.replace('flavour = "bridge"', 'flavour = "timing"')
TIMING_LEAF = BRIDGE.split("[[register]]")[0].replace("tGoodBridgeWithOffset", "tLeaf").replace(
    'flavour = "bridge"', 'flavour = "timing"')
TIMING_PARENT = TIMING.split('[[register]]\nname = "Data64"')[0].replace('aliases = ["Data64"]\n', "")
TIMING_FIXED = TIMING_PARENT + ('[[submap]]\nname = "Leaf"\nclass = "tLeaf"\nwindow = "W"\nplacement = "fixed"\n'
                                'base = 0x34\nwindow_start = 0\nwindow_size = 0xFFFFFFFF\n')

LEAF_FILE = ("leaf_reg_map.toml", LEAF)
TIMING_LEAF_FILE = ("leaf.toml", TIMING_LEAF)


def edit(text, *pairs):
    """The text with each old string of the pairs (old, new, old, new, ...) replaced."""
    for old, new in zip(pairs[::2], pairs[1::2]):
        assert old in text, old
        text = text.replace(old, new)
    return text


# (description, phrase of the rejection, further file if any)
REJECTED = [
    (FLAT + SUBMAP.replace("tLeafRegMap", "tGoodRegMap"), "contains itself"),
    (edit(FLAT, "id = 0x802A7254\n", "id = 0x802A7254\ndefault = 0x100000000\n"),
     "default 0x100000000 does not fit 32 bits"),
    (edit(FLAT, '{ bits = "30", name', '{ bits = "30-32", name'), "lie outside the 32-bit register"),
    (edit(FLAT, '"0-24"', '"0-25"'), "overlap another field"),
    (edit(FLAT, "offset = 0x20", "offset = 0x100"), "outside the map's region"),
    (edit(TREE, "offset = 0x80", "offset = 0xF8"), "outside the map's region", LEAF_FILE),
    # Given identifiers are checked against the derived ones.
    (edit(FLAT, "id = 0x802A7254", "id = 0xC02A7254"), "should be 0x802a7254"),
    (edit(FLAT, "0x4E18D796, ro = true", "0x4E18D796"), "should be 0x0e18d796"),
    (edit(FLAT, "view_id = 0xC018D796\n", ""), "give it as view_id"),
    (edit(FLAT, "view_id = 0xC018D796", "view_id = 0xC018D797"), "view identifier 0xc018d797 should be 0xc018d796"),
    (edit(FLAT, "0x0EBD9F8A]", "0x0EBD9F8B]"), "should be 0x0ebd9f8a"),
    (edit(FLAT, "type = 1", "type = 2"), "field type 2 does not match a width of 5"),
    (edit(FLAT, "id = 0x802A7254\n", ""), "missing 'id'"),
    # Access and kind.
    (edit(FLAT, 'name = "Eviction"', 'name = "Eviction"\naccess = "read-only"', 'name = "Flag" }',
          'name = "Flag", ro = false }'), "must be read-only"),
    (edit(FLAT, "kept_after_write = 0x3FFFFFEF\n", ""), "needs its strobe bits"),
    (edit(FLAT, 'kind = "strobe-word"', 'kind = "strobe-word"\naccess = "write-only"'), "cannot be read-only"),
    # Transcription slips.
    (edit(TREE, 'window = "LeafWin"', 'window = "LeafWin"\nclass2 = 1'), "unknown key 'class2'", LEAF_FILE),
    (edit(TREE, 'class = "tLeafRegMap"', 'class = "tMissing"'), "no description of class 'tMissing'"),
    (edit(FLAT, "ids = [0x80553695, 0x80BD9F8A]", "ids = [0x80553695]"), "has 1 entries for 2 elements"),
    (edit(FLAT, 'type = "tPeerReg"', 'type = "tEvictionReg"'),
     "type 'tEvictionReg' is shared with register 'Eviction' but differs"),
    # Arrays declared in parts.
    (edit(PARTS, "element = 2", "element = 1"), "not each of 0..2 once"),
    (edit(PARTS, "element = 2\n", ""), "gives 'element' in every part"),
    (edit(PARTS, 'type = "tModeReg"\nelement = 2', 'type = "tOtherReg"\nelement = 2'), "have one type"),
    (edit(PARTS, "offset = 0xE8", "offset = 0x80"), "overlaps register 'Mode' element 2"),
    (edit(PARTS, "0x8063EF1A", "0x8097C129"), "is also used by register 'Mode'"),
    # A tree of maps.
    (edit(TREE, "offset = 0x80\nsize = 0x10", "offset = 0x0\nsize = 0x100"),
     "tGoodRegMap.Leaf.Eviction and register tGoodRegMap.Eviction share the accessor address 0x20", LEAF_FILE),
    # Bridge and timing maps: the key is the offset, read-only registers carry bit 30.
    (edit(BRIDGE, 'access = "read-only"\n', 'access = "read-only"\nid = 0x8000000C\n'), "should be 0xc000000c"),
    (edit(BRIDGE, 'width = 64\n', 'width = 64\nid = 0x80000010\n'),
     "a 64-bit register of a bridge map has no identifier"),
    (edit(BRIDGE, "id = 0x80000018", "ids = [0x80000018, 0x80000019, 0x8000001A, 0x8000001A]"),
     "the key of a bridge map is the register's offset 0x1b"),
    (edit(BRIDGE, '{ bits = "1-7" }', '{ bits = "1-7", any_nonzero = true }'), "'any_nonzero' is for one-bit fields"),
    (edit(FLAT, 'version = "1.0.0d379"', 'version = "1.0.0d379"\none_bit = "bit0"'),
     "'one_bit' is for bridge and timing maps"),
    (edit(BRIDGE, 'name = "Status"', 'name = "Status"\nkind = "strobe-word"'), "has no strobe-word registers"),
    (TIMING, "a timing map has no 64-bit registers"),
    (TIMING_PARENT + '[[submap]]\nname = "Leaf"\nclass = "tLeaf"\nwindow = "W"\noffset = 0\nsize = 0x10\n',
     "a timing map embeds one sub-map at a fixed placement", TIMING_LEAF_FILE),
    # Layout-only registers: no record, but checked as the others are.
    (edit(BRIDGE, "layout_only = true\n", "layout_only = true\nid = 0x80000000\n"),
     "a layout-only register has no record, so no 'id'"),
    (edit(BRIDGE, "offset = 0x00", "offset = 0x0C"), "overlaps register 'Status'"),
    (edit(BRIDGE, 'name = "Go"', 'name = "Offset"'), "field name 'Offset' is a name of the layout header's"),
    (edit(BRIDGE, "Both = 0x9", "Both = 0x19"), "bits 0x10 outside every field"),
    (edit(TIMING_FIXED, 'flavour = "timing"', 'flavour = "bridge"'), "a bridge map has no sub-maps", TIMING_LEAF_FILE),
]

# (description, text of the line at fault, phrase of the message, further file if any): one mistake gives
# one message, on its line in its own file (a sub-map class's mistakes in that class's file only).
ONE_MESSAGE = [
    (TREE, "offset_list", "unknown key 'offset_list'", ("leaf_reg_map.toml", edit(LEAF, "offsets =", "offset_list ="))),
    (TIMING_FIXED, "timng", "'flavour' = 'timng' is not one of",
     ("leaf.toml", edit(TIMING_LEAF, 'flavour = "timing"', 'flavour = "timng"'))),
    (TREE, "size = 0x100 0x200", "Expected newline",
     ("leaf_reg_map.toml", edit(LEAF, "size = 0x100", "size = 0x100 0x200"))),
    (edit(FLAT, "0x262A7254", "0x252A7254"), "0x252A7254", "field 25-29: identifier 0x252a7254 should be 0x262a7254"),
    (edit(FLAT, "size = 0x100", "size = 0x20"), "size = 0x20",
     "3 registers lie outside the map's region of 0x20 bytes"),
    (edit(FLAT, "count = 2", "count = 3"), "count = 3",
     "'count' = 3, but 'offsets', 'ids', 'fields[0].ids' have 2 entries each"),
    (edit(TRANSCRIBED, "id = 0x802A7254", "id = 0x802A7255"), "id = 0x802A7255",
     "the fields' identifiers carry the key 0x2a7254, the register's is 0x2a7255"),
    (edit(FLAT, "offset = 0x20", "offset = 0x22"), "offset = 0x22", "not aligned"),  # and overlapping the next
    (edit(BRIDGE, '{ bits = "0-3" }', '{ bits = "0-3", id = 0x00000019 }'), "id = 0x00000019",
     "element 0: field 0-3: identifier 0x00000019 should be 0x00000018"),  # an id given once for every element
    (edit(BRIDGE, 'flavour = "bridge"', 'flavour = "bridge"\naccessor = "front-end"'), "accessor",
     "a front-end accessor carries 32-bit registers only, not the 8 bits of register 'Data8'"),
]

# (what, description, further file if any): variants of the above that pass (the cases of GOLDEN pass too).
ACCEPTED = [
    ("declared alias", edit(FLAT, "offset = 0x24", "offset = 0x20", 'type = "tConfigReg"',
                            'type = "tConfigReg"\naliases = ["Eviction"]')),
    ("window cut short of the clashing registers",
     edit(TREE, "offset = 0x80\nsize = 0x10", "offset = 0x0\nsize = 0x10"), LEAF_FILE),
]

FORMAT_BY_FIELD_ID = edit(FLAT, "size = 0x100", "size = 0x100\nformat_by_field_id = true") + """
[[register]]
name = "Status"
type = "tStatusReg"
access = "read-only"
offset = 0x44
id = 0x8001D98C
fields = [{ bits = "0-14" }, { bits = "19" }]
"""

# (case, description, further file if any): the generator's output for each is committed in
# expected/<case>/<stem>.h.expected and .cpp.expected; so is its output for the test maps of the
# unit tests (tests/regmaps, case "unit_test_maps"), and a line per board description with its map's name,
# register count and versions (case "board_maps").
GOLDEN = [
    ("flat", FLAT),
    ("tree", TREE, LEAF_FILE),
    ("parts", PARTS),
    ("format_by_field_id", FORMAT_BY_FIELD_ID),
    ("takes_status", edit(FLAT, "size = 0x100", "size = 0x100\ntakes_status = true")),
    ("bridge", BRIDGE),
    ("bridge", edit(BRIDGE, "id = 0x80000018\n", "")),  # an array's identifier given once or not at all
    ("timing", TIMING_FIXED, TIMING_LEAF_FILE),
]


def generated(folder, layouts=None):
    """{file name: text} of the files under folder, and of the layout headers under layouts as <stem>.layout.h."""
    return {name[:-len(".h")] + suffix if suffix else name: pathlib.Path(where, name).read_text(encoding="utf-8")
            for where, suffix in ((folder, ""), (layouts, ".layout.h")) if where for name in sorted(os.listdir(where))}


def board_maps():
    """{"board_maps": a line per board description (the map's name, register count, versions), and any fault}."""
    faults = regmapgen.Faults()
    maps = regmapgen.generate(sorted(glob.glob(os.path.join(DESCRIPTIONS, "*.toml"))), [], faults)
    return {"board_maps": "".join(f'{m.stem}: "{m.default_name}", {sum(reg.count for reg in m.mapped)} registers, '
                                  f"version {m.version}, oldest {m.oldest}\n" for m in maps) + "".join(faults.messages)}


class Generator(unittest.TestCase):
    def setUp(self):
        self.folder = tempfile.TemporaryDirectory()
        self.addCleanup(self.folder.cleanup)

    def write(self, name, text):
        path = pathlib.Path(self.folder.name, name)
        path.write_text(text)
        return str(path)

    def described(self, text, extra=None):
        """The arguments naming text as good_reg_map.toml, and the further file (name, text) to search."""
        return [self.write("good_reg_map.toml", text)] + (["--search", self.write(*extra)] if extra else [])

    def run_main(self, args):
        errors = io.StringIO()
        with contextlib.redirect_stderr(errors):
            status = regmapgen.main(args)
        return status, errors.getvalue()

    def generate(self, args, out="out"):
        """{file name: text} of what the generator writes given args."""
        out = os.path.join(self.folder.name, out)
        self.assertEqual(self.run_main(["--output-dir", out, "--layout-dir", out] + args), (0, ""))
        return generated(os.path.join(out, "regmaps"), os.path.join(out, "reglayouts"))

    def test_faulty_descriptions_are_rejected_with_the_fault_named_once(self):
        one_message = [(text, phrase, *(extra or [None]), marker) for text, marker, phrase, *extra in ONE_MESSAGE]
        for text, phrase, *extra in REJECTED + one_message:
            with self.subTest(phrase):
                status, errors = self.run_main(["--check"] + self.described(text, *extra[:1]))
                self.assertEqual(status, 1, errors)
                self.assertRegex(errors, r"\A\S+\.toml:\d+: error: .*\n?\Z")  # one line
                self.assertIn(phrase, errors)
                if extra[1:]:  # the line at fault, in its own file
                    path, line = errors.split(":")[:2]
                    self.assertIn(extra[1], pathlib.Path(path).read_text().split("\n")[int(line) - 1], errors)

    def test_sound_variants_pass(self):
        for what, text, *extra in ACCEPTED:
            with self.subTest(what):
                self.assertEqual(self.run_main(["--check"] + self.described(text, *extra)), (0, ""))

    def test_unchanged_text_is_not_rewritten(self):
        path = pathlib.Path(self.folder.name, "out", "regmaps", "good_reg_map.cpp")
        self.generate(self.described(TREE, LEAF_FILE))
        before = path.stat().st_mtime_ns
        self.generate(self.described(TREE, LEAF_FILE))
        self.assertEqual(path.stat().st_mtime_ns, before, "unchanged text is not rewritten")

    def test_output_equals_the_committed_expected_files(self):
        maps = os.path.join(ROOT, "tests", "regmaps")
        unit_test_maps = ["--search", maps, "--search", DESCRIPTIONS, *sorted(glob.glob(os.path.join(maps, "*.toml")))]
        for number, (case, text, *extra) in enumerate(GOLDEN + [("unit_test_maps", None), ("board_maps", None)]):
            with self.subTest(case):
                texts = board_maps() if case == "board_maps" else self.generate(
                    self.described(text, *extra) if text else unit_test_maps, f"out{number}")
                folder = os.path.join(EXPECTED, case)
                if UPDATE:
                    shutil.rmtree(folder, ignore_errors=True)
                    os.makedirs(folder)
                    for name, content in texts.items():
                        pathlib.Path(folder, name + ".expected").write_text(content, encoding="utf-8")
                expected = {name[:-len(".expected")]: content for name, content in generated(folder).items()}
                self.assertEqual(texts, expected, f"expected/{case}/ (--update-expected)")


if __name__ == "__main__":
    unittest.main()
