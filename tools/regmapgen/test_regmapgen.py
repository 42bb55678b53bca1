"""The generator derives identifiers (compared with ones transcribed by hand), rejects faulty descriptions
with one message per mistake, and writes the text committed in expected/ (CTest: regmapgen_checks).

After a change to the generator's output, refresh the expected files and review their diff:
    python3 tools/regmapgen/test_regmapgen.py --update-expected
"""
import contextlib
import difflib
import glob
import io
import os
import shutil
import sys
import tempfile
import unittest

HERE = os.path.dirname(os.path.abspath(__file__))
ROOT = os.path.dirname(os.path.dirname(HERE))
EXPECTED = os.path.join(HERE, "expected")
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
SELF = FLAT + SUBMAP.replace("tLeafRegMap", "tGoodRegMap")

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


def edit(text, *replacements):
    for old, new in replacements:
        assert old in text, old
        text = text.replace(old, new)
    return text


# (what, description, further file, phrase of the rejection)
REJECTED = [
    ("map containing itself", SELF, None, "contains itself"),
    ("overlap without alias", edit(FLAT, ("offset = 0x24", "offset = 0x20")), None, "overlaps register 'Eviction'"),
    ("array element overlap", edit(FLAT, ("offsets = [0x40, 0x30]", "offsets = [0x40, 0x20]")), None,
     "overlaps register 'Eviction'"),
    ("default too wide", edit(FLAT, ("id = 0x802A7254\n", "id = 0x802A7254\ndefault = 0x100000000\n")), None,
     "default 0x100000000 does not fit 32 bits"),
    ("field outside", edit(FLAT, ('{ bits = "30", name', '{ bits = "30-32", name')), None,
     "lie outside the 32-bit register"),
    ("fields overlap", edit(FLAT, ('"0-24"', '"0-25"')), None, "overlap another field"),
    ("register outside region", edit(FLAT, ("offset = 0x20", "offset = 0x100")), None, "outside the map's region"),
    ("sub-map outside region", edit(TREE, ("offset = 0x80", "offset = 0xF8")), LEAF_FILE, "outside the map's region"),
    # Given identifiers are checked against the derived ones.
    ("whole id with read-only bit", edit(FLAT, ("id = 0x802A7254", "id = 0xC02A7254")), None, "should be 0x802a7254"),
    ("field id, read-only mark", edit(FLAT, ("0x4E18D796, ro = true", "0x4E18D796")), None, "should be 0x0e18d796"),
    ("missing read view", edit(FLAT, ("view_id = 0xC018D796\n", "")), None, "give it as view_id"),
    ("wrong read view", edit(FLAT, ("view_id = 0xC018D796", "view_id = 0xC018D797")), None,
     "view identifier 0xc018d797 should be 0xc018d796"),
    ("array field id", edit(FLAT, ("0x0EBD9F8A]", "0x0EBD9F8B]")), None, "should be 0x0ebd9f8a"),
    ("field type", edit(FLAT, ("type = 1", "type = 2")), None, "field type 2 does not match a width of 5"),
    ("kelvo register without key", edit(FLAT, ("id = 0x802A7254\n", "")), None, "missing 'id'"),
    # Access and kind.
    ("writable field of read-only register",
     edit(FLAT, ('name = "Eviction"', 'name = "Eviction"\naccess = "read-only"'),
          ('name = "Flag" }', 'name = "Flag", ro = false }')), None, "must be read-only"),
    ("strobe word without strobe bits", edit(FLAT, ("kept_after_write = 0x3FFFFFEF\n", "")), None,
     "needs its strobe bits"),
    ("read-only field of write-only register",
     edit(FLAT, ('kind = "strobe-word"', 'kind = "strobe-word"\naccess = "write-only"')), None, "cannot be read-only"),
    # Transcription slips.
    ("unknown register key", edit(FLAT, ("offsets =", "offset_list =")), None, "unknown key 'offset_list'"),
    ("unknown sub-map key", edit(TREE, ('window = "LeafWin"', 'window = "LeafWin"\nclass2 = 1')), LEAF_FILE,
     "unknown key 'class2'"),
    ("unknown sub-map class", edit(TREE, ('class = "tLeafRegMap"', 'class = "tMissing"')), None,
     "no description of class 'tMissing'"),
    ("too few array ids", edit(FLAT, ("ids = [0x80553695, 0x80BD9F8A]", "ids = [0x80553695]")), None,
     "has 1 entries for 2 elements"),
    ("id used twice", edit(FLAT, ("0x80BD9F8A", "0x8018D796"), ("0x0EBD9F8A", "0x0E18D796")), None,
     "is also used by register"),
    ("shared type differs", edit(FLAT, ('type = "tPeerReg"', 'type = "tEvictionReg"')), None,
     "type 'tEvictionReg' is shared with register 'Eviction' but differs"),
    # Arrays declared in parts.
    ("element declared twice", edit(PARTS, ("element = 2", "element = 1")), None, "not each of 0..2 once"),
    ("part without element", edit(PARTS, ("element = 2\n", "")), None, "gives 'element' in every part"),
    ("parts of two types", edit(PARTS, ('type = "tModeReg"\nelement = 2', 'type = "tOtherReg"\nelement = 2')), None,
     "have one type"),
    ("part overlaps", edit(PARTS, ("offset = 0xE8", "offset = 0x80")), None, "overlaps register 'Mode' element 2"),
    ("part id used twice", edit(PARTS, ("0x8063EF1A", "0x8097C129")), None, "is also used by register 'Mode'"),
    # A tree of maps.
    ("sub-map over the parent's registers", edit(TREE, ("offset = 0x80\nsize = 0x10", "offset = 0x0\nsize = 0x100")),
     LEAF_FILE, "tGoodRegMap.Leaf.Eviction and register tGoodRegMap.Eviction share the accessor address 0x20"),
    # Bridge and timing maps: the key is the offset, read-only registers carry bit 30.
    ("bridge id without read-only bit",
     edit(BRIDGE, ('access = "read-only"\n', 'access = "read-only"\nid = 0x8000000C\n')), None, "should be 0xc000000c"),
    ("bridge key is not the offset",
     edit(BRIDGE, ('access = "read-only"\n', 'access = "read-only"\nid = 0xC000000D\n')), None,
     "the key of a bridge map is the register's offset"),
    ("bridge field id", edit(BRIDGE, ('{ bits = "4" }', '{ bits = "4", id = 0x0800000C }')), None,
     "should be 0x4800000c"),
    ("64-bit register with id",
     edit(BRIDGE, ('width = 64\n', 'width = 64\nid = 0x80000010\n')), None,
     "a 64-bit register of a bridge map has no identifier"),
    ("bridge array ids", edit(BRIDGE, ("id = 0x80000018", "ids = [0x80000018, 0x80000019, 0x8000001A, 0x8000001A]")),
     None, "the key of a bridge map is the register's offset 0x1b"),
    ("any_nonzero on a wide field", edit(BRIDGE, ('{ bits = "1-7" }', '{ bits = "1-7", any_nonzero = true }')), None,
     "'any_nonzero' is for one-bit fields"),
    ("one_bit in a kelvo map", edit(FLAT, ('version = "1.0.0d379"', 'version = "1.0.0d379"\none_bit = "bit0"')), None,
     "'one_bit' is for bridge and timing maps"),
    ("strobe word in a bridge map", edit(BRIDGE, ('name = "Status"', 'name = "Status"\nkind = "strobe-word"')), None,
     "has no strobe-word registers"),
    ("64 bits in a timing map", TIMING, None, "a timing map has no 64-bit registers"),
    ("relative timing sub-map",
     TIMING_PARENT + '[[submap]]\nname = "Leaf"\nclass = "tLeaf"\nwindow = "W"\noffset = 0\nsize = 0x10\n',
     TIMING_LEAF_FILE, "a timing map embeds one sub-map at a fixed placement"),
    # Layout-only registers: no record, but checked as the others are.
    ("layout-only register with an id", edit(BRIDGE, ("layout_only = true\n", "layout_only = true\nid = 0x80000000\n")),
     None, "a layout-only register has no record, so no 'id'"),
    ("layout-only register overlaps", edit(BRIDGE, ("offset = 0x00", "offset = 0x0C")), None,
     "overlaps register 'Status'"),
    ("field named as a layout constant", edit(BRIDGE, ('name = "Go"', 'name = "Offset"')), None,
     "field name 'Offset' is a name of the layout header's"),
    ("mask outside the fields", edit(BRIDGE, ("Both = 0x9", "Both = 0x19")), None, "bits 0x10 outside every field"),
    ("bridge with a sub-map", edit(TIMING_FIXED, ('flavour = "timing"', 'flavour = "bridge"')), TIMING_LEAF_FILE,
     "a bridge map has no sub-maps"),
]

# (what, description, further file, file and text of the line at fault, phrase of the message): one
# mistake gives one message, in the file and on the line of the mistake.
ONE_MESSAGE = [
    ("a faulty sub-map class, reported in its own file only", TREE,
     ("leaf_reg_map.toml", edit(LEAF, ("offsets =", "offset_list ="))), "leaf_reg_map.toml", "offset_list",
     "unknown key 'offset_list'"),
    ("a faulty head of a sub-map class, reported in its own file only", TIMING_FIXED,
     ("leaf.toml", edit(TIMING_LEAF, ('flavour = "timing"', 'flavour = "timng"'))), "leaf.toml", "timng",
     "'flavour' = 'timng' is not one of"),
    ("an unreadable file of a sub-map class", TREE,
     ("leaf_reg_map.toml", edit(LEAF, ("size = 0x100", "size = 0x100 0x200"))), "leaf_reg_map.toml",
     "size = 0x100 0x200", "Expected newline"),
    ("a field's identifier, on the field's line", edit(FLAT, ("0x262A7254", "0x252A7254")), None,
     "good_reg_map.toml", "0x252A7254", "field 25-29: identifier 0x252a7254 should be 0x262a7254"),
    ("a region too small for several registers", edit(FLAT, ("size = 0x100", "size = 0x20")), None,
     "good_reg_map.toml", "size = 0x20", "3 registers lie outside the map's region of 0x20 bytes"),
    ("a count that every list of the array disagrees with", edit(FLAT, ("count = 2", "count = 3")), None,
     "good_reg_map.toml", "count = 3", "'count' = 3, but 'offsets', 'ids', 'fields[0].ids' have 2 entries each"),
    ("a register key that the transcribed fields disagree with",
     edit(TRANSCRIBED, ("id = 0x802A7254", "id = 0x802A7255")), None, "good_reg_map.toml", "id = 0x802A7255",
     "the fields' identifiers carry the key 0x2a7254, the register's is 0x2a7255"),
    ("an unaligned offset that also overlaps the next register", edit(FLAT, ("offset = 0x20", "offset = 0x22")),
     None, "good_reg_map.toml", "offset = 0x22", "not aligned"),
    ("an identifier given once for every element of an array",
     edit(BRIDGE, ('{ bits = "0-3" }', '{ bits = "0-3", id = 0x00000019 }')), None, "good_reg_map.toml",
     "id = 0x00000019", "element 0: field 0-3: identifier 0x00000019 should be 0x00000018"),
    ("a front-end accessor over registers of other widths",
     edit(BRIDGE, ('flavour = "bridge"', 'flavour = "bridge"\naccessor = "front-end"')), None, "good_reg_map.toml",
     "accessor", "a front-end accessor carries 32-bit registers only, not the 8 bits of register 'Data8'"),
]

# (what, description, further file): variants of the above that pass.
ACCEPTED = [
    ("declared alias", edit(FLAT, ("offset = 0x24", "offset = 0x20"),
                            ('type = "tConfigReg"', 'type = "tConfigReg"\naliases = ["Eviction"]')), None),
    ("sub-map beside the parent's registers", TREE, LEAF_FILE),
    ("window cut short of the clashing registers",
     edit(TREE, ("offset = 0x80\nsize = 0x10", "offset = 0x0\nsize = 0x10")), LEAF_FILE),
    ("timing sub-map at a fixed place", TIMING_FIXED, TIMING_LEAF_FILE),
    ("bridge array id given once", BRIDGE, None),
    ("bridge array without ids", edit(BRIDGE, ("id = 0x80000018\n", "")), None),
]

FORMAT_BY_FIELD_ID = edit(FLAT, ("size = 0x100", "size = 0x100\nformat_by_field_id = true")) + """
[[register]]
name = "Status"
type = "tStatusReg"
access = "read-only"
offset = 0x44
id = 0x8001D98C
fields = [{ bits = "0-14" }, { bits = "19" }]
"""

# (case, description, further file): the generator's output for each is committed in
# expected/<case>/<stem>.h.expected and .cpp.expected; so is its output for the test maps of the
# unit tests (tests/regmaps, case "unit_test_maps").
GOLDEN = [
    ("flat", FLAT, None),
    ("tree", TREE, LEAF_FILE),
    ("parts", PARTS, None),
    ("format_by_field_id", FORMAT_BY_FIELD_ID, None),
    ("takes_status", edit(FLAT, ("size = 0x100", "size = 0x100\ntakes_status = true")), None),
    ("bridge", BRIDGE, None),
    ("timing", TIMING_FIXED, TIMING_LEAF_FILE),
]
UNIT_TEST_MAPS = os.path.join(ROOT, "tests", "regmaps")


def generated(folder, layouts=None):
    """{file name: text} of the files under folder, and of the layout headers under layouts as
    <stem>.layout.h."""
    texts = {}
    for where, suffix in ((folder, ""), (layouts, ".layout.h")):
        for name in sorted(os.listdir(where)) if where else []:
            with open(os.path.join(where, name), encoding="utf-8") as handle:
                texts[name[:-len(".h")] + suffix if suffix else name] = handle.read()
    return texts


class Generator(unittest.TestCase):
    def setUp(self):
        self.folder = tempfile.TemporaryDirectory()
        self.addCleanup(self.folder.cleanup)

    def run_generator(self, text, extra=None, check=True):
        path = os.path.join(self.folder.name, "good_reg_map.toml")
        with open(path, "w") as handle:
            handle.write(text)
        out = os.path.join(self.folder.name, "out")
        args = ["--check"] if check else ["--output-dir", out, "--layout-dir", out]
        args.append(path)
        if extra is not None:
            other = os.path.join(self.folder.name, extra[0])
            with open(other, "w") as handle:
                handle.write(extra[1])
            args += ["--search", other]
        return self.run_main(args)

    def run_main(self, args):
        errors = io.StringIO()
        with contextlib.redirect_stderr(errors):
            status = regmapgen.main(args)
        return status, errors.getvalue()

    def generate(self, text, extra=None):
        status, errors = self.run_generator(text, extra, check=False)
        self.assertEqual(status, 0, errors)
        texts = []
        for suffix in (".h", ".cpp"):
            with open(os.path.join(self.folder.name, "out", "regmaps", "good_reg_map" + suffix)) as handle:
                texts.append(handle.read())
        return texts

    def test_faulty_descriptions_are_rejected_with_the_fault_named_once(self):
        for what, text, extra, phrase in REJECTED:
            with self.subTest(what):
                status, errors = self.run_generator(text, extra)
                self.assertEqual(status, 1, errors)
                self.assertEqual(len(errors.splitlines()), 1, errors)
                self.assertRegex(errors, r"^\S+\.toml:\d+: error: ")
                self.assertIn(phrase, errors)

    def test_one_mistake_gives_one_message_naming_its_file_and_line(self):
        for what, text, extra, file, marker, phrase in ONE_MESSAGE:
            with self.subTest(what):
                status, errors = self.run_generator(text, extra)
                self.assertEqual(status, 1, errors)
                faulty = text if extra is None or file != extra[0] else extra[1]
                line = next(i for i, content in enumerate(faulty.split("\n"), 1) if marker in content)
                path = os.path.join(self.folder.name, file)
                self.assertEqual(errors.splitlines(), [errors.splitlines()[0]], errors)
                self.assertTrue(errors.startswith(f"{path}:{line}: error: "), errors)
                self.assertIn(phrase, errors)

    def test_sound_variants_pass(self):
        for what, text, extra in ACCEPTED:
            with self.subTest(what):
                status, errors = self.run_generator(text, extra)
                self.assertEqual(status, 0, errors)

    def test_derived_field_identifiers_equal_the_transcribed_ones(self):
        self.assertEqual(self.generate(FLAT), self.generate(TRANSCRIBED))
        # A bridge map's identifiers follow its offsets, given once for an array or not at all.
        self.assertEqual(self.generate(edit(BRIDGE, ("id = 0x80000018\n", ""))), self.generate(BRIDGE))

    def test_unchanged_text_is_not_rewritten(self):
        self.generate(TREE, LEAF_FILE)
        path = os.path.join(self.folder.name, "out", "regmaps", "good_reg_map.cpp")
        before = os.stat(path).st_mtime_ns
        self.generate(TREE, LEAF_FILE)
        self.assertEqual(os.stat(path).st_mtime_ns, before, "unchanged text is not rewritten")

    def golden_cases(self):
        """(case, {file name: generated text}) for every case of GOLDEN and the unit tests' maps."""
        for case, text, extra in GOLDEN:
            self.generate(text, extra)
            out = os.path.join(self.folder.name, "out")
            yield case, generated(os.path.join(out, "regmaps"), os.path.join(out, "reglayouts"))
            shutil.rmtree(out)
        out = os.path.join(self.folder.name, "unit_test_maps")
        descriptions = os.path.join(ROOT, "driver", "regmaps", "descriptions")
        status, errors = self.run_main(["--output-dir", out, "--layout-dir", out, "--search", descriptions,
                                        "--search", UNIT_TEST_MAPS]
                                       + sorted(glob.glob(os.path.join(UNIT_TEST_MAPS, "*.toml"))))
        self.assertEqual(status, 0, errors)
        yield "unit_test_maps", generated(os.path.join(out, "regmaps"), os.path.join(out, "reglayouts"))

    def test_output_equals_the_committed_expected_files(self):
        for case, texts in self.golden_cases():
            with self.subTest(case):
                folder = os.path.join(EXPECTED, case)
                if UPDATE:
                    shutil.rmtree(folder, ignore_errors=True)
                    os.makedirs(folder)
                    for name, text in texts.items():
                        with open(os.path.join(folder, name + ".expected"), "w", encoding="utf-8") as handle:
                            handle.write(text)
                expected = {name[:-len(".expected")]: text for name, text in generated(folder).items()}
                self.assertEqual(sorted(texts), sorted(expected), "files written")
                for name, text in texts.items():
                    diff = list(difflib.unified_diff(expected[name].splitlines(), text.splitlines(),
                                                     f"expected/{case}/{name}.expected", name, lineterm=""))
                    self.assertFalse(diff, "\n".join(diff[:60] + ["(test_regmapgen.py --update-expected refreshes "
                                                                  "the expected files)"]))


if __name__ == "__main__":
    unittest.main()
