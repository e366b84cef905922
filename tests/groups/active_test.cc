
#include <set>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "base/settings.h"
#include "groups/active.h"
#include "groups/newsfeeds.h"
#include "support/capture.h"
#include "support/settings_guard.h"
#include "support/tessu_runner.h"

namespace {

using groups::string_hash;
using testing::ExitedWithCode;

TEST(StringHash, WorkedValues) {
  // With a modulus above h the result is h itself.
  EXPECT_EQ(string_hash("abc", 0x7FFFFFFF), 0x6F2FED80);
  EXPECT_EQ(string_hash("a", 0x7FFFFFFF), 0x4B600000);
  EXPECT_EQ(string_hash("abc", 1023), 112);
  EXPECT_EQ(string_hash("abc", 999), 247);
  EXPECT_EQ(string_hash("a", 1023), 183);
  for (int modulus : {1, 2, 999, 1023, 0x7FFFFFFF}) EXPECT_EQ(string_hash("", modulus), 0);
}

TEST(StringHash, OnlyTheLowSevenBitsOfEachByteCount) {
  EXPECT_EQ(string_hash("\xe1", 0x7FFFFFFF), string_hash("a", 0x7FFFFFFF));
  EXPECT_EQ(string_hash("\xe1\xe2\xe3", 1023), 112);
  EXPECT_NE(string_hash("abd", 0x7FFFFFFF), string_hash("abc", 0x7FFFFFFF));
}

struct ActiveTest : testing::Test {
  void SetUp() override {
    base::g_settings.verbosity = 0;
    base::g_settings.inn_mode = true;
    base::g_settings.paths.active = site_.path("db/active");
    reset_selection();
    groups::add_pattern("*", groups::g_entry_list, false);
    groups::group_table_clear();
  }
  void TearDown() override { groups::group_table_clear(); }
  static void reset_selection() {
    groups::g_groups_list.patterns.clear();
    groups::g_me_list.patterns.clear();
    groups::g_entry_list.patterns.clear();
  }
  // Writes the active file, reads it and returns standard error.
  std::string read(const std::string& content, bool again = false) {
    site_.write("db/active", content);
    testsupport::CaptureFd err;
    groups::read_active(again);
    return err.take();
  }
  // Drains the table through next_unseen_group.
  static std::vector<std::string> drain() {
    std::vector<std::string> names;
    char name[groups::kGroupNameBuffer];
    while (groups::next_unseen_group(name)) names.emplace_back(name);
    return names;
  }
  testsupport::SettingsGuard settings_guard_;
  testsupport::TempSite site_;
};

TEST_F(ActiveTest, OnlyFlagsYAndMAdmitAGroup) {
  const std::string err = read(
      "misc.test 10 1 y\n"
      "mod.test 0000000010 0000000001 m\n"
      "no.test 10 1 n\n"
      "x.test 10 1 x\n"
      "j.test 10 1 j\n"
      "eq.test 10 1 =misc.test\n"
      "neg.test -5 +3 y\n");
  EXPECT_EQ(err, "");
  EXPECT_TRUE(groups::group_known("misc.test"));
  EXPECT_TRUE(groups::group_known("mod.test"));
  EXPECT_TRUE(groups::group_known("neg.test"));
  for (const char* name : {"no.test", "x.test", "j.test", "eq.test", "misc", "Misc.test"}) {
    EXPECT_FALSE(groups::group_known(name)) << name;
  }
}

TEST_F(ActiveTest, GroupSelectionDecides) {
  reset_selection();
  groups::add_pattern("*", groups::g_entry_list, false);
  groups::add_pattern("alt.*", groups::g_entry_list, true);
  read("misc.test 10 1 y\nalt.test 10 1 y\n");
  EXPECT_TRUE(groups::group_known("misc.test"));
  EXPECT_FALSE(groups::group_known("alt.test"));
}

TEST_F(ActiveTest, OddLinesAreSkippedWithAMessage) {
  base::g_settings.verbosity = 1;
  const std::string path = site_.path("db/active");
  const std::string err = read(
      "\n"
      "   \t\n"
      "# comment 1 1 y\n"
      "  lead.space 1 1 y\n"
      "three.fields 10 1\n"
      "name.only\n"
      "bad.number x 1 y\n"
      "!bang 1 1 y\n"
      "colon:name 1 1 y\n"
      "after.bad 1 1 y");
  EXPECT_NE(err.find("reading " + path + "\n"), std::string::npos) << err;
  EXPECT_NE(err.find("bad syntax in " + path + " (item 4 of 4) \"three.fields 10 1\"\n"),
            std::string::npos)
      << err;
  EXPECT_NE(err.find("(item 2 of 4) \"name.only\"\n"), std::string::npos) << err;
  EXPECT_NE(err.find("(item 2 of 4) \"bad.number x 1 y\"\n"), std::string::npos) << err;
  EXPECT_NE(err.find("(item 1 of 4) \"!bang 1 1 y\"\n"), std::string::npos) << err;
  EXPECT_NE(err.find("(item 2 of 4) \"colon:name 1 1 y\"\n"), std::string::npos) << err;
  EXPECT_FALSE(groups::group_known("three.fields"));
  EXPECT_FALSE(groups::group_known("colon"));
  EXPECT_TRUE(groups::group_known("lead.space"));
  EXPECT_TRUE(groups::group_known("after.bad"));
  const std::vector<std::string> names = drain();
  EXPECT_EQ(std::set<std::string>(names.begin(), names.end()),
            (std::set<std::string>{"after.bad", "lead.space"}));
}

TEST_F(ActiveTest, OnlyTheFirstPieceOfALongLineIsParsed) {
  const std::string err = read("long.group 10 1 y" + std::string(1010, ' ') +
                               "hidden.group 5 1 y\n" + std::string(1500, 'n') + " 1 1 y\n" +
                               std::string(3000, 'z') + "\n" + "next.group 1 1 m\n");
  EXPECT_TRUE(groups::group_known("long.group"));
  EXPECT_FALSE(groups::group_known("hidden.group"));
  EXPECT_TRUE(groups::group_known("next.group"));
  // The 1500-character name fills the whole first piece: no numbers follow.
  EXPECT_NE(err.find("(item 2 of 4) \"nnnn"), std::string::npos) << err;
}

TEST_F(ActiveTest, NulBytesDoNotHideTheNextLine) {
  const std::string err = read(std::string("misc\0.test 1 1 y\nnext.group 1 1 y\n", 35));
  EXPECT_NE(err.find("(item 2 of 4) \"misc\""), std::string::npos) << err;
  EXPECT_FALSE(groups::group_known("misc"));
  EXPECT_TRUE(groups::group_known("next.group"));
}

TEST_F(ActiveTest, ReadingAgainReplacesTheTable) {
  read("first.only 1 1 y\nboth 1 1 y\n");
  ASSERT_TRUE(groups::group_mark_seen("both"));
  base::g_settings.verbosity = 1;
  const std::string err = read("both 1 1 y\nsecond.only 1 1 y\n", true);
  EXPECT_NE(err.find("re-reading " + site_.path("db/active")), std::string::npos) << err;
  EXPECT_FALSE(groups::group_known("first.only"));
  EXPECT_TRUE(groups::group_known("second.only"));
  EXPECT_TRUE(groups::group_mark_seen("both"));  // the new entry is unmarked
  EXPECT_EQ(drain(), std::vector<std::string>{"second.only"});
}

TEST_F(ActiveTest, MarkSeenOncePerEntry) {
  read("misc.test 1 1 y\n");
  EXPECT_FALSE(groups::group_mark_seen("other"));
  EXPECT_TRUE(groups::group_mark_seen("misc.test"));
  EXPECT_FALSE(groups::group_mark_seen("misc.test"));
  EXPECT_TRUE(groups::group_known("misc.test"));
  EXPECT_TRUE(drain().empty());
  EXPECT_FALSE(groups::group_known("misc.test"));
}

TEST_F(ActiveTest, GroupListedTwiceIsYieldedAgainAsUnseen) {
  read("dup.group 1 1 y\ndup.group 2 1 y\n");
  EXPECT_TRUE(groups::group_mark_seen("dup.group"));
  EXPECT_FALSE(groups::group_mark_seen("dup.group"));  // the newest entry is always found
  EXPECT_EQ(drain(), std::vector<std::string>{"dup.group"});
}

TEST_F(ActiveTest, UnseenGroupsComeInBucketOrderAndDrainTheTable) {
  std::string content;
  std::set<std::string> all;
  for (int i = 0; i < 3000; ++i) {
    const std::string name = "g" + std::to_string(i);
    content += name + " 1 1 y\n";
    all.insert(name);
  }
  read(content);
  std::set<std::string> marked;
  for (int i = 0; i < 3000; i += 3) {
    const std::string name = "g" + std::to_string(i);
    ASSERT_TRUE(groups::group_mark_seen(name.c_str()));
    marked.insert(name);
  }
  const std::vector<std::string> unseen = drain();
  EXPECT_EQ(unseen.size(), all.size() - marked.size());
  int last_bucket = -1;
  for (const std::string& name : unseen) {
    EXPECT_EQ(marked.count(name), 0u) << name;
    const int bucket = string_hash(name.c_str(), groups::kGroupBuckets);
    EXPECT_GE(bucket, last_bucket) << name;
    last_bucket = bucket;
  }
  for (const std::string& name : all) EXPECT_FALSE(groups::group_known(name.c_str())) << name;
  char name[groups::kGroupNameBuffer];
  EXPECT_FALSE(groups::next_unseen_group(name));
}

TEST_F(ActiveTest, UnseenGroupsComeByBucketAndWithinABucketNewestFirst) {
  // The bucket of each name (string_hash of 1023) is in the comment.
  read(
      "misc.test 1 1 y\n"    // 737
      "g0 1 1 y\n"           // 787
      "news.admin 1 1 y\n"   // 21
      "g1576 1 1 y\n"        // 787
      "alt.test 1 1 y\n"     // 340
      "g2858 1 1 y\n"        // 787
      "comp.lang.c 1 1 y\n"  // 979
      "news.admin 2 1 y\n"   // 21, the newer entry of the group
      "sci.math 1 1 y\n"     // 47
      "g1 1 1 y\n"           // 916
      "g250 1 1 y\n");       // 916
  for (const char* name : {"alt.test", "news.admin", "g1576"}) {
    ASSERT_TRUE(groups::group_mark_seen(name)) << name;
  }
  EXPECT_EQ(drain(), (std::vector<std::string>{"news.admin", "sci.math", "misc.test", "g2858", "g0",
                                               "g250", "g1", "comp.lang.c"}));
}

TEST_F(ActiveTest, NewestEntryOfABucketComesFirst) {
  // "a" and its high-bit twin share a bucket; the one inserted last comes out first.
  groups::group_insert("a");
  groups::group_insert("\xe1");
  EXPECT_EQ(drain(), (std::vector<std::string>{"\xe1", "a"}));
}

TEST_F(ActiveTest, UnreadableFileEndsTheRun) {
  base::g_settings.paths.active = site_.path("db/missing");
  EXPECT_EXIT(groups::read_active(false), ExitedWithCode(8), "can't open \"" + site_.root);
  base::g_settings.paths.active = site_.root;
  EXPECT_EXIT(groups::read_active(false), ExitedWithCode(8), "can't read \"" + site_.root);
}

}  // namespace
