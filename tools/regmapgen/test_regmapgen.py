"""The generator rejects faulty descriptions (run by CTest as regmapgen_checks)."""
import contextlib
import io
import os
import sys
import tempfile
import unittest

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import regmapgen  # noqa: E402

GOOD = """
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
  { bits = "0-24", id = 0x002A7254, type = 3 },
  { bits = "25-29", id = 0x262A7254, type = 1 },
  { bits = "30", id = 0x1E2A7254, name = "Flag" },
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
  { bits = "0-1", id = 0x0018D796 },
  { bits = "4", id = 0x0818D796 },
  { bits = "28", id = 0x4E18D796, ro = true },
  { bits = "30", id = 0x1E18D796 },
]

[[register]]
name = "Peer"
type = "tPeerReg"
count = 2
offsets = [0x40, 0x30]
ids = [0x80553695, 0x80BD9F8A]
fields = [{ bits = "28-31", ids = [0x0E553695, 0x0EBD9F8A] }]

[[submap]]
name = "Leaf"
class = "tGoodRegMap"
window = "LeafWin"
offset = 0x80
size = 0x10
"""


class GeneratorChecks(unittest.TestCase):
    def setUp(self):
        self.folder = tempfile.TemporaryDirectory()
        self.addCleanup(self.folder.cleanup)

    def run_generator(self, text, *extra_files, check=True):
        path = os.path.join(self.folder.name, "good_reg_map.toml")
        with open(path, "w") as handle:
            handle.write(text)
        args = ["--check"] if check else ["--output-dir", os.path.join(self.folder.name, "out")]
        args.append(path)
        for name, body in extra_files:
            other = os.path.join(self.folder.name, name)
            with open(other, "w") as handle:
                handle.write(body)
            args += ["--search", other]
        errors = io.StringIO()
        with contextlib.redirect_stderr(errors):
            status = regmapgen.main(args)
        return status, errors.getvalue()

    def assert_rejected(self, text, *phrases):
        status, errors = self.run_generator(text)
        self.assertEqual(status, 1, errors)
        for phrase in phrases:
            self.assertIn(phrase, errors)

    def test_a_good_description_passes_and_generates_both_files_once(self):
        # A map cannot contain itself: use a separate leaf class.
        leaf = GOOD.replace('class = "tGoodRegMap"', 'class = "tLeafRegMap"', 1).split("[[submap]]")[0]
        text = GOOD.replace('class = "tGoodRegMap"\nwindow', 'class = "tLeafRegMap"\nwindow')
        status, errors = self.run_generator(text, ("leaf_reg_map.toml", leaf), check=False)
        self.assertEqual(status, 0, errors)
        header = os.path.join(self.folder.name, "out", "regmaps", "good_reg_map.h")
        source = os.path.join(self.folder.name, "out", "regmaps", "good_reg_map.cpp")
        with open(header) as handle:
            text_h = handle.read()
        self.assertIn("class tGoodRegMap : public arm::tRegisterMapBase", text_h)
        self.assertIn("bool readFlag(", text_h)
        self.assertIn("tPeerReg Peer[2];", text_h)
        self.assertIn('#include "regmaps/leaf_reg_map.h"', text_h)
        with open(source) as handle:
            text_c = handle.read()
        self.assertIn('"LeafWin_LeafRegMap"', text_c)
        before = os.stat(source).st_mtime_ns
        status, _ = self.run_generator(text, ("leaf_reg_map.toml", leaf), check=False)
        self.assertEqual(status, 0)
        self.assertEqual(os.stat(source).st_mtime_ns, before, "unchanged text is not rewritten")

    def test_a_map_containing_itself_is_rejected(self):
        self.assert_rejected(GOOD, "contains itself")

    def test_overlapping_registers_need_a_declared_alias(self):
        overlapping = GOOD.replace("offset = 0x24", "offset = 0x20")
        self.assert_rejected(overlapping, "overlaps register 'Eviction'")
        aliased = overlapping.replace('type = "tConfigReg"', 'type = "tConfigReg"\naliases = ["Eviction"]')
        aliased = aliased.split("[[submap]]")[0]
        status, errors = self.run_generator(aliased)
        self.assertEqual(status, 0, errors)
        # Array elements overlap the same way.
        self.assert_rejected(GOOD.replace("offsets = [0x40, 0x30]", "offsets = [0x40, 0x20]"),
                             "overlaps register 'Eviction'")

    def test_values_must_fit_the_register(self):
        self.assert_rejected(GOOD.replace('id = 0x802A7254\n', 'id = 0x802A7254\ndefault = 0x100000000\n'),
                             "default 0x100000000 does not fit 32 bits")
        self.assert_rejected(GOOD.replace('{ bits = "30", id = 0x1E2A7254', '{ bits = "30-32", id = 0x1E2A7254'),
                             "lie outside the 32-bit register")
        self.assert_rejected(GOOD.replace('"0-24"', '"0-25"'), "overlap another field")

    def test_registers_and_sub_maps_must_lie_inside_the_region(self):
        self.assert_rejected(GOOD.replace("offset = 0x20", "offset = 0x100"), "outside the map's region")
        self.assert_rejected(GOOD.replace("offset = 0x80", "offset = 0xF8"), "outside the map's region")
        self.assert_rejected(GOOD.replace("offset = 0x20", "offset = 0x22"), "not aligned")

    def test_identifiers_are_recomputed_from_key_bits_and_read_only_mark(self):
        self.assert_rejected(GOOD.replace("0x262A7254", "0x252A7254"),
                             "identifier 0x252a7254 should be 0x262a7254")
        self.assert_rejected(GOOD.replace("id = 0x802A7254", "id = 0xC02A7254"), "should be 0x802a7254")
        self.assert_rejected(GOOD.replace("0x4E18D796, ro = true", "0x4E18D796"), "should be 0x0e18d796")
        self.assert_rejected(GOOD.replace("view_id = 0xC018D796\n", ""), "give it as view_id")
        self.assert_rejected(GOOD.replace("0x0EBD9F8A]", "0x0EBD9F8B]"), "should be 0x0ebd9f8a")
        self.assert_rejected(GOOD.replace("type = 1", "type = 2"), "field type 2 does not match a width of 5")

    def test_access_and_kind_rules(self):
        read_only = GOOD.replace('name = "Eviction"', 'name = "Eviction"\naccess = "read-only"')
        self.assert_rejected(read_only.replace('name = "Flag" }', 'name = "Flag", ro = false }'), "must be read-only")
        self.assert_rejected(GOOD.replace('kind = "strobe-word"\nkept_after_write = 0x3FFFFFEF\n',
                                          'kind = "strobe-word"\n'), "needs its strobe bits")
        self.assert_rejected(GOOD.replace('kind = "strobe-word"', 'kind = "strobe-word"\naccess = "write-only"'),
                             "cannot be read-only")

    def test_transcription_slips_are_named(self):
        self.assert_rejected(GOOD.replace("offsets =", "offset_list ="), "unknown key 'offset_list'")
        self.assert_rejected(GOOD.replace('window = "LeafWin"', 'window = "LeafWin"\nclass2 = 1'),
                             "unknown key 'class2'")
        self.assert_rejected(GOOD.replace('class = "tGoodRegMap"\nwindow', 'class = "tMissing"\nwindow'),
                             "no description of class 'tMissing'")
        self.assert_rejected(GOOD.replace("ids = [0x80553695, 0x80BD9F8A]", "ids = [0x80553695]"),
                             "has 1 entries for 2 elements")
        self.assert_rejected(GOOD.replace("0x80BD9F8A", "0x8018D796").replace("0x0EBD9F8A", "0x0E18D796"),
                             "is also used by register")
        shared = GOOD.replace('type = "tPeerReg"', 'type = "tEvictionReg"')
        self.assert_rejected(shared, "type 'tEvictionReg' is shared with register 'Eviction' but differs")

    def test_an_array_declared_in_parts_is_one_member_in_declaration_order(self):
        parts = GOOD.split("[[submap]]")[0] + """
[[register]]
name = "Mode"
type = "tModeReg"
element = 2
offset = 0xE8
id = 0x8063EF1A
fields = [{ bits = "0-1", id = 0x0063EF1A }]

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
        status, errors = self.run_generator(parts, check=False)
        self.assertEqual(status, 0, errors)
        with open(os.path.join(self.folder.name, "out", "regmaps", "good_reg_map.h")) as handle:
            text_h = handle.read()
        self.assertEqual(text_h.count("tModeReg Mode[3];"), 1)
        with open(os.path.join(self.folder.name, "out", "regmaps", "good_reg_map.cpp")) as handle:
            text_c = handle.read()
        order = [text_c.index(f"// {name}\n") for name in ("Mode[2]", "Skip", "Mode[0]", "Mode[1]")]
        self.assertEqual(order, sorted(order), "records follow the declaration order")
        self.assert_rejected(parts.replace("element = 2", "element = 1"), "not each of 0..2 once")
        self.assert_rejected(parts.replace("element = 2\n", ""), "gives 'element' in every part")
        self.assert_rejected(parts.replace('type = "tModeReg"\nelement = 2', 'type = "tOtherReg"\nelement = 2'),
                             "have one type")
        self.assert_rejected(parts.replace("offset = 0xE8", "offset = 0x80"), "overlaps register 'Mode' element 2")
        self.assert_rejected(parts.replace("0x0063EF1A", "0x0097C129").replace("0x8063EF1A", "0x8097C129"),
                             "is also used by register 'Mode'")

    def test_format_by_field_id_answers_read_only_fields_of_registers_without_a_read_view(self):
        text = GOOD.split("[[submap]]")[0].replace('size = 0x100', 'size = 0x100\nformat_by_field_id = true')
        text += """
[[register]]
name = "Status"
type = "tStatusReg"
access = "read-only"
offset = 0x44
id = 0x8001D98C
fields = [{ bits = "0-14", id = 0x4001D98C }, { bits = "19", id = 0x7201D98C }]
"""
        status, errors = self.run_generator(text, check=False)
        self.assertEqual(status, 0, errors)
        with open(os.path.join(self.folder.name, "out", "regmaps", "good_reg_map.cpp")) as handle:
            text_c = handle.read()
        formats = text_c[text_c.index("kFormatIds[]"):text_c.index("kFormats[]")]
        self.assertIn("{0x8001D98Cu, ", formats)
        self.assertIn("{0xC001D98Cu, ", formats)
        # The read view of a mixed register is not duplicated.
        self.assertEqual(formats.count("0xC018D796u"), 1)

    def test_takes_status_gives_the_constructor_a_status(self):
        text = GOOD.split("[[submap]]")[0].replace('size = 0x100', 'size = 0x100\ntakes_status = true')
        status, errors = self.run_generator(text, check=False)
        self.assertEqual(status, 0, errors)
        with open(os.path.join(self.folder.name, "out", "regmaps", "good_reg_map.h")) as handle:
            self.assertIn("accessor, nVOAPALS100::tStatus& status, uint32_t base", handle.read())

    def test_registers_of_one_tree_never_share_an_accessor_address(self):
        leaf = GOOD.replace('class = "tGoodRegMap"', 'class = "tLeafRegMap"', 1).split("[[submap]]")[0]
        text = GOOD.replace('class = "tGoodRegMap"\nwindow', 'class = "tLeafRegMap"\nwindow')
        # The leaf at 0x80 has Eviction at 0x20, i.e. 0xA0 of the parent: no clash with the parent's registers.
        status, errors = self.run_generator(text, ("leaf_reg_map.toml", leaf))
        self.assertEqual(status, 0, errors)
        # A leaf at 0x0 of a 0x100 window puts its registers on the parent's own.
        clash = text.replace("offset = 0x80\nsize = 0x10", "offset = 0x0\nsize = 0x100")
        status, errors = self.run_generator(clash, ("leaf_reg_map.toml", leaf))
        self.assertEqual(status, 1)
        self.assertIn("tGoodRegMap.Leaf.Eviction and register tGoodRegMap.Eviction share the accessor address 0x20",
                      errors)
        # A window cut short keeps the clashing registers out of reach: no clash.
        cut = text.replace("offset = 0x80\nsize = 0x10", "offset = 0x0\nsize = 0x10")
        status, errors = self.run_generator(cut, ("leaf_reg_map.toml", leaf))
        self.assertEqual(status, 0, errors)


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
id = 0xC000000C
fields = [{ bits = "4", id = 0x4800000C }]

[[register]]
name = "Data8"
type = "tData8"
offset = 0x10
width = 8
access = "write-only"
cleared_after_write = 0xFF
aliases = ["Data64"]
id = 0x80000010
fields = [{ bits = "0", id = 0x00000010, any_nonzero = true }, { bits = "1-7", id = 0x20000010 }]

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
fields = [{ bits = "0-3", id = 0x00000018 }]
"""


class BridgeAndTimingChecks(unittest.TestCase):
    """The bridge and timing-chip flavours: keys are byte offsets, read-only registers carry bit 30."""

    setUp = GeneratorChecks.setUp
    run_generator = GeneratorChecks.run_generator
    assert_rejected = GeneratorChecks.assert_rejected

    def test_a_bridge_map_generates_a_template_over_its_offset(self):
        status, errors = self.run_generator(BRIDGE, check=False)
        self.assertEqual(status, 0, errors)
        with open(os.path.join(self.folder.name, "out", "regmaps", "good_reg_map.h")) as handle:
            header = handle.read()
        self.assertIn("template <uint32_t kOffset> class tGoodBridgeWithOffset : public arm::tSizedRegisterMapBase",
                      header)
        self.assertIn("arm::tSizedRegisterRecord<uint64_t, false>", header)
        self.assertIn("extern template class tGoodBridgeWithOffset<0u>;", header)
        with open(os.path.join(self.folder.name, "out", "regmaps", "good_reg_map.cpp")) as handle:
            source = handle.read()
        # Array identifiers count up from element 0's; bit 0 of Data8 takes any non-zero value.
        self.assertIn("{0x8000001Bu, 6, 0, 8, 1}", source)
        self.assertIn("{0x00000010u, 1, 0, 1, 1}", source)
        self.assertIn("{0x20000010u, 1, 1, 7, 0}", source)
        self.assertIn("template class tGoodBridgeWithOffset<0u>;", source)

    def test_identifiers_are_keyed_by_offset_with_the_read_only_bit(self):
        self.assert_rejected(BRIDGE.replace("id = 0xC000000C", "id = 0x8000000C"), "should be 0xc000000c")
        self.assert_rejected(BRIDGE.replace("0xC000000C", "0xC000000D"), "the key of a bridge map is the register's offset")
        self.assert_rejected(BRIDGE.replace("0x4800000C", "0x0800000C"), "should be 0x4800000c")
        self.assert_rejected(BRIDGE.replace('access = "write-only"\n\n[[register]]\nname = "Select"',
                                            'access = "write-only"\nid = 0x80000010\n\n[[register]]\nname = "Select"'),
                             "a 64-bit register of a bridge map has no identifier")
        self.assert_rejected(BRIDGE.replace("id = 0x80000018", "ids = [0x80000018, 0x80000019, 0x8000001A, 0x8000001A]"),
                             "the key of a bridge map is the register's offset 0x1b")

    def test_flavour_rules(self):
        self.assert_rejected(BRIDGE.replace("{ bits = \"1-7\", id = 0x20000010 }",
                                            "{ bits = \"1-7\", id = 0x20000010, any_nonzero = true }"),
                             "'any_nonzero' is for one-bit fields")
        self.assert_rejected(GOOD.replace('version = "1.0.0d379"', 'version = "1.0.0d379"\none_bit = "bit0"'),
                             "'one_bit' is for bridge and timing maps")
        self.assert_rejected(BRIDGE.replace('name = "Status"', 'name = "Status"\nkind = "strobe-word"'),
                             "has no strobe-word registers")
        self.assert_rejected(BRIDGE.replace('flavour = "bridge"', 'flavour = "bridge"\naccessor = "front-end"'),
                             "a front-end accessor carries 32-bit registers only")
        timing = BRIDGE.replace('flavour = "bridge"', 'flavour = "timing"')
        self.assert_rejected(timing, "a timing map has no 64-bit registers")
        leaf = BRIDGE.split("[[register]]")[0].replace("tGoodBridgeWithOffset", "tLeaf").replace('flavour = "bridge"',
                                                                                                  'flavour = "timing"')
        parent = timing.split('[[register]]\nname = "Data64"')[0].replace('aliases = ["Data64"]\n', "")
        relative = parent + '[[submap]]\nname = "Leaf"\nclass = "tLeaf"\nwindow = "W"\noffset = 0\nsize = 0x10\n'
        status, errors = self.run_generator(relative, ("leaf.toml", leaf))
        self.assertEqual(status, 1, errors)
        self.assertIn("a timing map embeds one sub-map at a fixed placement", errors)
        fixed = parent + ('[[submap]]\nname = "Leaf"\nclass = "tLeaf"\nwindow = "W"\nplacement = "fixed"\n'
                          'base = 0x34\nwindow_start = 0\nwindow_size = 0xFFFFFFFF\n')
        status, errors = self.run_generator(fixed, ("leaf.toml", leaf), check=False)
        self.assertEqual(status, 0, errors)
        bridge_parent = fixed.replace('flavour = "timing"', 'flavour = "bridge"', 1)
        status, errors = self.run_generator(bridge_parent, ("leaf.toml", leaf))
        self.assertIn("only timing maps have sub-maps", errors)

if __name__ == "__main__":
    unittest.main()
