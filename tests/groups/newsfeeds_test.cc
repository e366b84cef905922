
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "base/settings.h"
#include "groups/newsfeeds.h"
#include "support/capture.h"
#include "support/settings_guard.h"
#include "support/tessu_runner.h"

namespace {

using testing::ExitedWithCode;

// Patterns of a list, front (newest) first, an exclusion written with '!'.
std::vector<std::string> front_first(const groups::PatternList& list) {
  std::vector<std::string> out;
  for (auto it = list.patterns.rbegin(); it != list.patterns.rend(); ++it) {
    out.push_back((it->exclusion ? "!" : "") + it->text);
  }
  return out;
}

using Strings = std::vector<std::string>;

struct NewsfeedsTest : testing::Test {
  void SetUp() override {
    reset();
    base::g_settings.spool_name = "feed";
    base::g_settings.inn_mode = true;
    base::g_settings.verbosity = 0;
    base::g_settings.paths.newsfeeds = site_.path("etc/newsfeeds");
  }
  static void reset() {
    groups::g_groups_list.patterns.clear();
    groups::g_me_list.patterns.clear();
    groups::g_entry_list.patterns.clear();
    groups::g_excluded_sites.clear();
    groups::g_special_exclude = false;
  }
  // Writes the file and reads it; returns standard error of the reading.
  std::string read(const std::string& content) {
    site_.write("etc/newsfeeds", content);
    testsupport::CaptureFd err;
    groups::read_newsfeeds();
    return err.take();
  }
  testsupport::TempSite site_;
  testsupport::SettingsGuard settings_guard_;
};

TEST_F(NewsfeedsTest, InnEntryAndMeShareTheEntryList) {
  base::g_settings.verbosity = 1;
  const std::string err = read(
      "# feeds\n"
      "ME:*,!junk::\n"
      "other/x:misc.*::\n"
      "feed/mysite:comp.*,!comp.os.*::\n");
  EXPECT_EQ(front_first(groups::g_entry_list), (Strings{"!comp.os.*", "comp.*", "!junk", "*"}));
  EXPECT_TRUE(groups::g_me_list.patterns.empty());
  EXPECT_EQ(groups::g_excluded_sites, (Strings{"feed", "mysite"}));
  EXPECT_STREQ(groups::first_site_name(), "feed");
  EXPECT_FALSE(groups::g_special_exclude);
  EXPECT_NE(err.find("found entry for feed in " + site_.path("etc/newsfeeds")), std::string::npos)
      << err;

  EXPECT_TRUE(groups::group_allowed("comp.lang.c"));
  EXPECT_FALSE(groups::group_allowed("comp.os.linux"));
  EXPECT_FALSE(groups::group_allowed("junk"));
  EXPECT_TRUE(groups::group_allowed("misc.test"));
}

TEST_F(NewsfeedsTest, CNewsSiteNamesComeFromTheSlashOrTheSpoolName) {
  base::g_settings.inn_mode = false;
  read("feed/mysite:comp::\n");
  EXPECT_EQ(groups::g_excluded_sites, (Strings{"mysite"}));
  reset();
  read("feed:comp::\n");
  EXPECT_EQ(groups::g_excluded_sites, (Strings{"feed"}));
  reset();
  // In C News mode ME names no sites: what follows its '/' is bad syntax.
  const std::string err = read("ME/foo:all::\nfeed:comp::\n");
  EXPECT_NE(err.find("bad syntax in sys, 'foo' not expected (state 2)"), std::string::npos) << err;
  EXPECT_EQ(groups::g_excluded_sites, (Strings{"feed"}));
  EXPECT_TRUE(groups::g_me_list.patterns.empty());
}

TEST_F(NewsfeedsTest, CNewsMostSpecificPatternDecides) {
  base::g_settings.inn_mode = false;
  read("ME:all::\nfeed:comp,!comp.os::\n");
  EXPECT_EQ(front_first(groups::g_me_list), (Strings{"all"}));
  EXPECT_EQ(front_first(groups::g_entry_list), (Strings{"!comp.os", "comp"}));
  EXPECT_TRUE(groups::group_allowed("comp.lang.c"));
  EXPECT_FALSE(groups::group_allowed("comp.os.linux"));
  EXPECT_FALSE(groups::group_allowed("misc.test"));

  reset();
  read("feed:comp.os,!comp::\n");
  EXPECT_TRUE(groups::group_allowed("comp.os.linux"));
  EXPECT_FALSE(groups::group_allowed("comp.lang.c"));
}

TEST_F(NewsfeedsTest, ContinuationsAndEscapes) {
  read(
      "feed:comp.*,\\\n"
      "  misc.*,sci.\\\n"
      "med,a\\,b,\\!x,\\#y\\ z::\n"
      "other:\\\n"
      "alt.*::\n");
  EXPECT_EQ(front_first(groups::g_entry_list),
            (Strings{"#y z", "!x", "a,b", "sci.med", "misc.*", "comp.*"}));
  for (const groups::Pattern& p : groups::g_entry_list.patterns) EXPECT_FALSE(p.exclusion);
}

TEST_F(NewsfeedsTest, CommentsAndOtherFieldsEndThePatterns) {
  read(
      "# feed:alt.*::\n"
      "feed:comp.* # misc.*\n"
      "feed:sci.*/world:Tf:\n"
      "feed:news.*:Tf,Wn:program\n"
      "feed:@rec.*,!\n"
      "#\n"
      "\n");
  EXPECT_EQ(front_first(groups::g_entry_list), (Strings{"!rec.*", "news.*", "sci.*", "comp.*"}));
  EXPECT_EQ(groups::g_excluded_sites, (Strings{"feed", "feed", "feed", "feed"}));
}

TEST_F(NewsfeedsTest, BadSyntaxSkipsTheRestOfTheLine) {
  const std::string err = read(
      ":feed:alt.*::\n"
      "feed/a!b:sci.*::\n"
      "feed,x:rec.*::\n"
      "feed:comp.*::\n");
  EXPECT_NE(err.find("bad syntax in sys, ':' not expected (state 0)\n"), std::string::npos) << err;
  EXPECT_NE(err.find("bad syntax in sys, '!' not expected (state 5)\n"), std::string::npos) << err;
  EXPECT_NE(err.find("bad syntax in sys, ',' not expected (state 2)\n"), std::string::npos) << err;
  EXPECT_EQ(front_first(groups::g_entry_list), (Strings{"comp.*"}));
  EXPECT_EQ(groups::g_excluded_sites, (Strings{"a", "feed"}));
}

TEST_F(NewsfeedsTest, CarriageReturnsStayInTheLastToken) {
  read("feed:comp.*,misc.*\r\n");
  EXPECT_EQ(front_first(groups::g_entry_list), (Strings{"misc.*\r", "comp.*"}));
}

TEST_F(NewsfeedsTest, TokenOpenAtEndOfFileIsDropped) {
  read("feed:comp.*,misc.*");
  EXPECT_EQ(front_first(groups::g_entry_list), (Strings{"comp.*"}));
}

TEST_F(NewsfeedsTest, SeveralEntriesForTheServerAddUp) {
  read("feed/a:comp.*::\nME:*::\nfeed/b:sci.*::\n");
  EXPECT_EQ(front_first(groups::g_entry_list), (Strings{"sci.*", "*", "comp.*"}));
  EXPECT_EQ(groups::g_excluded_sites, (Strings{"a", "feed", "b"}));
}

TEST_F(NewsfeedsTest, OwnNameAmongExcludedSitesSetsSpecialExclude) {
  base::g_settings.verbosity = 5;
  const std::string err = read("feed/tessu,other:comp.*::\n");
  EXPECT_TRUE(groups::g_special_exclude);
  EXPECT_NE(err.find("special tessu exclude detected"), std::string::npos) << err;
}

TEST_F(NewsfeedsTest, LongLinesAreReadAcrossBufferPieces) {
  // 600 patterns: the line is far longer than the read buffer, and tokens
  // are cut at piece boundaries.
  std::string line = "feed:";
  Strings expected;
  for (int i = 0; i < 600; ++i) {
    const std::string pattern = "g" + std::to_string(i) + ".*";
    line += pattern + ",";
    expected.insert(expected.begin(), pattern);
  }
  read(line + "\n");
  EXPECT_EQ(front_first(groups::g_entry_list), expected);
}

TEST_F(NewsfeedsTest, BackslashAtTheEndOfABufferPiece) {
  // The backslash is the last byte of the first 1023-byte piece.
  const std::string lead = "feed:" + std::string(1016, ',') + "x";
  ASSERT_EQ(lead.size(), 1022u);
  read(lead + "\\,y::\n" + lead + "\\\nz::\n");
  EXPECT_EQ(front_first(groups::g_entry_list), (Strings{"xz", "x,y"}));
}

TEST_F(NewsfeedsTest, TokensUpToTheLimitAreAccepted) {
  // A token carried over from one piece to the next may hold 1020 characters.
  const std::string token(1020, 'a');
  read("feed:b,\\\n" + token + "\\\n::\n");
  EXPECT_EQ(front_first(groups::g_entry_list), (Strings{token, "b"}));
}

TEST_F(NewsfeedsTest, OverlongTokenEndsTheRun) {
  site_.write("etc/newsfeeds", "feed:" + std::string(3000, 'a') + "::\n");
  EXPECT_EXIT(groups::read_newsfeeds(), ExitedWithCode(8), "token too long in \"" + site_.root);
  site_.write("etc/newsfeeds", "feed:b,\\\n" + std::string(1021, 'a') + "\\\n::\n");
  EXPECT_EXIT(groups::read_newsfeeds(), ExitedWithCode(8), "token too long in");
}

TEST_F(NewsfeedsTest, UnreadableFileEndsTheRun) {
  base::g_settings.paths.newsfeeds = site_.path("etc/missing");
  EXPECT_EXIT(groups::read_newsfeeds(), ExitedWithCode(8), "can't open \"" + site_.root);
  base::g_settings.paths.newsfeeds = site_.root;
  EXPECT_EXIT(groups::read_newsfeeds(), ExitedWithCode(8), "is not a regular file");
}

TEST_F(NewsfeedsTest, NulBytesSeparateTokens) {
  read(std::string("feed:comp\0x.*::\nfeed:\0\0sci.*::\n", 30));
  EXPECT_EQ(front_first(groups::g_entry_list), (Strings{"sci.*", "x.*", "comp"}));
}

TEST(SiteInPath, ElementsAreComparedWhole) {
  groups::g_excluded_sites = {"feed", "mysite"};
  EXPECT_TRUE(groups::site_in_path(" \tnews.x!mysite!not-for-mail\r\n"));
  EXPECT_TRUE(groups::site_in_path("feed"));
  EXPECT_FALSE(groups::site_in_path("feeder!mysite2!site\n!feed"));
  EXPECT_FALSE(groups::site_in_path("!!"));
  EXPECT_FALSE(groups::site_in_path(""));
  EXPECT_TRUE(groups::is_site_name("feed"));
  EXPECT_FALSE(groups::is_site_name("fee"));
  groups::g_excluded_sites = {""};
  EXPECT_FALSE(groups::is_site_name(""));
  EXPECT_FALSE(groups::site_in_path("a!!b"));
  groups::g_excluded_sites.clear();
  EXPECT_STREQ(groups::first_site_name(), "");
}

}  // namespace
