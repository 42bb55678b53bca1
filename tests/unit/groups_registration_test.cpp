// The names the two FPGA groups register, per board generation: how many, the
// top map's own name first and every window below its parent, each name
// leading to its map; then their removal at teardown in registration order.
// The names themselves are composed by the register-map engine (its own tests)
// from the generated window texts; a few are looked up by the top-map tests.
#include <algorithm>
#include <string>
#include <vector>

#include "groups_support.h"

namespace {

using kelvo_test::groups::namesOf;

struct Generation {
    const char* board;
    const char* nisoTop;
    const char* isoTop;
    size_t nisoCount;
    size_t isoCount;
};

// Every name but the first extends an earlier one by a "_<window>_<map>" pair.
void expectParentsFirst(const std::vector<std::string>& names) {
    for (size_t i = 1; i < names.size(); ++i) {
        const std::string& name = names[i];
        const size_t map = name.rfind('_');
        const size_t window = map == std::string::npos ? std::string::npos : name.rfind('_', map - 1);
        ASSERT_NE(window, std::string::npos) << name;
        const std::string parent = name.substr(0, window);
        EXPECT_NE(std::find(names.begin(), names.begin() + static_cast<long>(i), parent),
                  names.begin() + static_cast<long>(i))
            << name;
    }
}

class GroupsRegistration : public kelvo_test::groups::GroupsTest,
                           public ::testing::WithParamInterface<Generation> {};

TEST_P(GroupsRegistration, EachTopMapRegistersItsNamesParentFirstAndRemovesThemInOrder) {
    const Generation& g = GetParam();
    plug(g.board);
    ASSERT_EQ(buildNiso(), 0);
    std::vector<std::string> names = namesOf(*arm);
    ASSERT_GT(names.size(), g.nisoCount);
    const std::vector<std::string> nisoNames(names.begin(), names.begin() + static_cast<long>(g.nisoCount));
    EXPECT_EQ(nisoNames[0], g.nisoTop);
    expectParentsFirst(nisoNames);
    // Then the BAR-wide endpoint map and its own sub-maps.
    for (size_t i = g.nisoCount; i < names.size(); ++i) {
        EXPECT_EQ(names[i].rfind("KelvoBar0RegMap", 0), 0u) << names[i];
    }
    const size_t nisoTotal = names.size();

    ASSERT_EQ(buildIso(), 0);
    names = namesOf(*arm);
    ASSERT_EQ(names.size(), nisoTotal + g.isoCount);
    const std::vector<std::string> isoNames(names.begin() + static_cast<long>(nisoTotal), names.end());
    EXPECT_EQ(isoNames[0], g.isoTop);
    expectParentsFirst(isoNames);
    EXPECT_EQ(namesOf(*windows), (std::vector<std::string>{"NisoFpgaWindow", "IsoFpgaWindow"}));
    for (const std::string& name : names) {
        EXPECT_NE(kelvo_test::groups::lookUp(*arm, name + kelvo_test::groups::kFpgaMapVersion), nullptr)
            << name;
    }

    // Removal walks the same names in the same order, the isolated group first.
    arm->removals.clear();
    delete iso;
    iso = nullptr;
    EXPECT_EQ(arm->removals, isoNames);
    EXPECT_EQ(arm->getNumberOfRegistrations(), nisoTotal);
    arm->removals.clear();
    delete niso;
    niso = nullptr;
    ASSERT_GE(arm->removals.size(), g.nisoCount);
    EXPECT_EQ(
        std::vector<std::string>(arm->removals.end() - static_cast<long>(g.nisoCount), arm->removals.end()),
        nisoNames);
    EXPECT_EQ(arm->getNumberOfRegistrations(), 0u);
}

INSTANTIATE_TEST_SUITE_P(
    Boards, GroupsRegistration,
    ::testing::Values(Generation{"solstra", "SolstraNisoTopRegMap", "SolstraIsoTopRegMap", 18, 35},
                      Generation{"duskmere-a", "DuskmereNisoTopRegMap", "DuskmereIsoTopRegMap", 49, 16},
                      Generation{"duskmere-b", "DuskmereNisoTopRegMap", "DuskmereIsoTopRegMap", 49, 16}),
    [](const auto& info) {
        std::string name = info.param.board;
        name.erase(std::remove(name.begin(), name.end(), '-'), name.end());
        return name;
    });

} // namespace
