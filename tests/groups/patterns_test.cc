
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "base/settings.h"
#include "groups/newsfeeds.h"
#include "groups/patterns.h"
#include "support/capture.h"
#include "support/settings_guard.h"

namespace {

using groups::best_match;
using groups::component_match;
using groups::ordered_match;
using groups::PatternList;

// Builds a list from patterns given oldest first; a leading '!' marks an exclusion.
PatternList make_list(const std::vector<std::string>& patterns) {
  PatternList list;
  for (const std::string& p : patterns) {
    if (p[0] == '!') {
      groups::add_pattern(p.c_str() + 1, list, true);
    } else {
      groups::add_pattern(p.c_str(), list, false);
    }
  }
  return list;
}

struct SelectionTest : testing::Test {
  void SetUp() override {
    groups::g_groups_list.patterns.clear();
    groups::g_me_list.patterns.clear();
    groups::g_entry_list.patterns.clear();
    base::g_settings.paths.newsfeeds = "/etc/feeds";
  }
  testsupport::SettingsGuard settings_guard_;
};

TEST(ComponentMatch, ScoresForCompLangC) {
  const char* group = "comp.lang.c";
  EXPECT_EQ(component_match(group, "all"), 1);
  EXPECT_EQ(component_match(group, "comp"), 1);
  EXPECT_EQ(component_match(group, "comp.all"), 101);
  EXPECT_EQ(component_match(group, "comp.lang"), 101);
  EXPECT_EQ(component_match(group, "all.lang.c"), 299);
  EXPECT_EQ(component_match(group, "comp.all.c"), 299);
  EXPECT_EQ(component_match(group, "comp.lang.c"), 300);
  EXPECT_EQ(component_match(group, "comp.lan"), 0);
  EXPECT_EQ(component_match(group, "comp.lang.c.x"), 0);
  EXPECT_EQ(component_match(group, "com"), 0);
  EXPECT_EQ(component_match(group, "misc"), 0);
}

TEST(ComponentMatch, EdgesOfGroupsAndPatterns) {
  EXPECT_EQ(component_match("comp", "all.x"), 0);  // no second component
  EXPECT_EQ(component_match("comp", "comp"), 100);
  EXPECT_EQ(component_match("comp.x", "comp\\.x"), 200);
  EXPECT_EQ(component_match("comp.x", "comp\\"), 1);  // trailing backslash ends the pattern
  EXPECT_EQ(component_match("compx", "comp\\"), 0);
  EXPECT_EQ(component_match("", "all"), 1);
  EXPECT_EQ(component_match("", ""), 100);
}

TEST(BestMatch, MostSpecificPatternWinsAndExclusionWinsATie) {
  EXPECT_TRUE(best_match("comp.lang.c", make_list({"comp", "!comp.os"})));
  EXPECT_FALSE(best_match("comp.os.linux", make_list({"comp", "!comp.os"})));
  EXPECT_FALSE(best_match("misc.test", make_list({"comp", "!comp.os"})));
  EXPECT_TRUE(best_match("comp.os.linux", make_list({"comp.os", "!comp"})));
  EXPECT_FALSE(best_match("comp.lang.c", make_list({"comp.os", "!comp"})));
  EXPECT_FALSE(best_match("comp.x", make_list({"comp", "!comp"})));
  EXPECT_FALSE(best_match("comp.x", make_list({"!comp", "comp"})));
  EXPECT_FALSE(best_match("comp.x", make_list({})));
  EXPECT_TRUE(best_match("comp.x", make_list({"all"})));
}

TEST(OrderedMatch, NewestMatchingPatternDecides) {
  // Written order comp.*, !comp.os.*: the exclusion is newer and is tried first.
  const PatternList list = make_list({"*", "!junk", "comp.*", "!comp.os.*"});
  EXPECT_TRUE(ordered_match("comp.lang.c", list));
  EXPECT_FALSE(ordered_match("comp.os.linux", list));
  EXPECT_FALSE(ordered_match("junk", list));
  EXPECT_TRUE(ordered_match("misc.test", list));
  EXPECT_TRUE(ordered_match("comp.os.linux", make_list({"!comp.os.*", "comp.*"})));
}

TEST(OrderedMatch, UnmatchedGroups) {
  EXPECT_FALSE(ordered_match("misc.test", make_list({"comp.*"})));
  EXPECT_FALSE(ordered_match("misc.test", make_list({"!alt.*"})));
  EXPECT_FALSE(ordered_match("misc.test", make_list({})));
  PatternList only_exclusions = make_list({"!alt.*"});
  only_exclusions.accept_unmatched_exclusions = true;
  EXPECT_TRUE(ordered_match("misc.test", only_exclusions));
  EXPECT_FALSE(ordered_match("alt.test", only_exclusions));
  // A wildcard never matches an empty group name, but the pattern "*" does.
  EXPECT_TRUE(ordered_match("", make_list({"*"})));
}

TEST(AddPattern, LeadingBlanksDroppedEmptyIgnored) {
  PatternList list;
  groups::add_pattern(" \t comp.* ", list, false);
  groups::add_pattern(" \t", list, true);
  groups::add_pattern("", list, true);
  ASSERT_EQ(list.patterns.size(), 1u);
  EXPECT_EQ(list.patterns[0].text, "comp.* ");
  EXPECT_FALSE(list.patterns[0].exclusion);
}

TEST_F(SelectionTest, GroupsOptionSplitsAtCommasAndMarksExclusions) {
  groups::add_groups_option(" comp.*,!comp.os.*,,\\!alt.*,@junk ,\\x");
  const auto& p = groups::g_groups_list.patterns;
  ASSERT_EQ(p.size(), 5u);
  EXPECT_EQ(p[0].text, "comp.*");
  EXPECT_FALSE(p[0].exclusion);
  EXPECT_EQ(p[1].text, "comp.os.*");
  EXPECT_TRUE(p[1].exclusion);
  EXPECT_EQ(p[2].text, "alt.*");
  EXPECT_TRUE(p[2].exclusion);
  EXPECT_EQ(p[3].text, "junk ");
  EXPECT_TRUE(p[3].exclusion);
  EXPECT_EQ(p[4].text, "x");
  EXPECT_FALSE(p[4].exclusion);
}

TEST_F(SelectionTest, GroupsOptionDecidesFirst) {
  groups::add_pattern("*", groups::g_entry_list, false);
  groups::add_groups_option("comp.*,!comp.os.*");
  base::g_settings.verbosity = 5;
  testsupport::CaptureFd err;
  EXPECT_TRUE(groups::group_allowed("comp.lang.c"));
  EXPECT_FALSE(groups::group_allowed("comp.os.linux"));
  EXPECT_FALSE(groups::group_allowed("misc.test"));
  const std::string text = err.take();
  EXPECT_NE(text.find("group comp.os.linux excluded by --groups\n"), std::string::npos) << text;
  EXPECT_NE(text.find("group misc.test excluded by --groups\n"), std::string::npos) << text;
}

TEST_F(SelectionTest, GroupsOptionOfExclusionsOnlyAdmitsTheRest) {
  groups::add_pattern("*", groups::g_entry_list, false);
  for (const char* value : {"!alt.*", "\\!alt.*"}) {
    groups::g_groups_list.patterns.clear();
    groups::add_groups_option(value);
    EXPECT_TRUE(groups::group_allowed("comp.lang.c")) << value;
    EXPECT_FALSE(groups::group_allowed("alt.test")) << value;
  }
}

TEST_F(SelectionTest, MeListAndEntryListInCNewsMode) {
  base::g_settings.inn_mode = false;
  base::g_settings.verbosity = 5;
  groups::add_pattern("comp", groups::g_me_list, false);
  groups::add_pattern("all", groups::g_entry_list, false);
  testsupport::CaptureFd err;
  EXPECT_TRUE(groups::group_allowed("comp.lang.c"));
  EXPECT_FALSE(groups::group_allowed("misc.test"));
  groups::g_entry_list.patterns.clear();
  groups::add_pattern("comp.lang", groups::g_entry_list, true);
  EXPECT_FALSE(groups::group_allowed("comp.lang.c"));
  const std::string text = err.take();
  EXPECT_NE(text.find("group misc.test not accepted by ME\n"), std::string::npos) << text;
  EXPECT_NE(text.find("group comp.lang.c disallowed by /etc/feeds\n"), std::string::npos) << text;
}

TEST_F(SelectionTest, EmptyEntryListRejectsInBothModes) {
  EXPECT_FALSE(groups::group_allowed("comp.lang.c"));
  base::g_settings.inn_mode = false;
  EXPECT_FALSE(groups::group_allowed("comp.lang.c"));
}

}  // namespace
