// Profiles: the word syntax, nesting, --profile in the middle of a command
// line, and the program-wide and per-spool profiles of a real run.
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "base/settings.h"
#include "run/options.h"
#include "support/option_parsing.h"
#include "support/tessu_runner.h"

namespace {

using testing::ExitedWithCode;
using testsupport::concat;
using testsupport::contains;
using testsupport::parse;
using testsupport::run_tessu;
using testsupport::TempSite;

const base::Settings& g = base::g_settings;

struct Profile : testsupport::OptionParserTest {
  TempSite site;
};

using ProfileDeathTest = Profile;

TEST_F(Profile, CommentsAndEscapedBlanks) {
  site.write("p",
             "# the whole line is a comment --window 9\n"
             "--window 3 # and the rest of this one --window 8\n"
             "--log my\\ log\\\tfile\n"
             "--bounce a#b\n"
             "--max-\\\npath 4\n"
             "# a comment goes on \\\n--maxnew 9\n"
             "\t--maxart\t\t6   \n");
  run::read_profile(site.path("p").c_str(), true);
  EXPECT_EQ(g.window, 3);
  EXPECT_EQ(*g.log, "my log\tfile");
  EXPECT_EQ(*g.bounce, "a#b");
  EXPECT_EQ(g.max_path, 4);
  EXPECT_EQ(g.maxnew, 0);
  EXPECT_EQ(g.maxart, 6);
}

TEST_F(Profile, BackslashMakesHashAndBackslashLiteral) {
  site.write("p", "\\#feed news\\\\host\n--end \\ x");
  run::read_profile(site.path("p").c_str(), true);
  EXPECT_EQ(*g.spool_name, "#feed");
  EXPECT_EQ(*g.server_host, "news\\host");
  // The blank is part of the word, so --end's skipping of white space takes it away.
  EXPECT_EQ(*g.end_tag, "x");
}

TEST_F(Profile, BackslashAtTheEndEndsTheText) {
  site.write("p", "--window 4\\");
  run::read_profile(site.path("p").c_str(), true);
  EXPECT_EQ(g.window, 4);
}

TEST_F(Profile, NoWordsChangeNothing) {
  site.write("p", "  # nothing\n\n\t\n");
  parse({"feed"});
  run::read_profile(site.path("p").c_str(), true);
  EXPECT_EQ(*g.spool_name, "feed");
  EXPECT_FALSE(g.server_host.has_value());
}

TEST_F(Profile, ManyWordsGrowTheVector) {
  std::string text;
  for (int i = 0; i < 250; ++i) text += "-g ";
  text += "--window 7";
  site.write("p", text);
  run::read_profile(site.path("p").c_str(), true);
  EXPECT_EQ(g.nofetch, 250);
  EXPECT_EQ(g.window, 7);
}

TEST_F(Profile, MissingProfilesAreSkipped) {
  run::read_profile(site.path("absent").c_str(), true);
  run::read_profile(site.path("absent").c_str(), false);
  parse({"--window", "5"});
  EXPECT_EQ(g.window, 5);
}

TEST_F(Profile, ProfileInTheMiddleOfTheCommandLine) {
  site.write("p", "--window 3 --maxart 2 -g");
  parse({"--window", "4", "--profile", site.path("p"), "--maxnew", "7", "feed", "host"});
  EXPECT_EQ(g.window, 3);
  EXPECT_EQ(g.maxart, 2);
  EXPECT_EQ(g.maxnew, 7);
  EXPECT_EQ(g.nofetch, 1);
  EXPECT_EQ(*g.spool_name, "feed");
  EXPECT_EQ(*g.server_host, "host");

  parse({"--prof=" + site.path("p"), "--window", "8"});
  EXPECT_EQ(g.window, 8);
  EXPECT_EQ(g.nofetch, 2);
}

TEST_F(Profile, ProfileInAShortOptionCluster) {
  site.write("p", "-W3 -dp");
  parse({"-gP", site.path("p"), "-oW", "5", "feed"});
  EXPECT_EQ(g.nofetch, 1);
  EXPECT_EQ(g.verbosity, 1);
  EXPECT_EQ(g.nopost, 1);
  EXPECT_EQ(g.keepold, 1);
  EXPECT_EQ(g.window, 5);
  EXPECT_EQ(*g.spool_name, "feed");

  parse({"-uP" + site.path("p"), "-u"});
  EXPECT_EQ(g.noforce, 2);
  EXPECT_EQ(g.nopost, 2);
  EXPECT_EQ(g.window, 3);
}

TEST_F(Profile, PositionalWordsCountSeparatelyInEachVector) {
  site.write("p", "-p profilefeed");
  parse({"feed", "-P", site.path("p"), "host", "119"});
  EXPECT_EQ(g.nopost, 1);
  EXPECT_EQ(*g.spool_name, "profilefeed");
  EXPECT_EQ(*g.server_host, "host");
  EXPECT_EQ(*g.server_port, "119");
}

TEST_F(Profile, NestedProfilesResumeTheirParents) {
  site.write("inner", "--maxart 9 --window 4");
  site.write("outer", "--window 2 --profile " + site.path("inner") + " --maxnew 5 -g");
  parse({"-p", "--profile", site.path("outer"), "-o", "feed"});
  EXPECT_EQ(g.window, 4);
  EXPECT_EQ(g.maxart, 9);
  EXPECT_EQ(g.maxnew, 5);
  EXPECT_EQ(g.nofetch, 1);
  EXPECT_EQ(g.nopost, 1);
  EXPECT_EQ(g.keepold, 1);
  EXPECT_EQ(*g.spool_name, "feed");
}

TEST_F(ProfileDeathTest, SelfInclusionIsTooDeep) {
  const std::string path = site.path("self");
  site.write("self", "-g --profile " + path);
  EXPECT_EXIT(run::read_profile(path.c_str(), true), ExitedWithCode(2),
              "too deep --profile nesting for \"" + path + "\"");
}

TEST_F(ProfileDeathTest, ExcessPositionalWordsInAProfile) {
  site.write("p", "a b c d");
  EXPECT_EXIT(run::read_profile(site.path("p").c_str(), true), ExitedWithCode(2),
              "excess arguments");
}

TEST_F(ProfileDeathTest, ProfileThatIsNotARegularFileEndsTheRun) {
  EXPECT_EXIT(run::read_profile(site.path("etc").c_str(), false), ExitedWithCode(8),
              "is not a regular file");
}

// Whole-program runs.

TEST(ProfileRun, NestingStopsAfterNineteenLevels) {
  TempSite site;
  const std::string path = site.path("self");
  site.write("self", "--profile " + path);
  const auto result =
      run_tessu(concat(site.site_options(), {"-d", "--profile", path, "--enquire", "<a@b>"}));
  EXPECT_EQ(result.status, 2);
  EXPECT_TRUE(contains(result.err, "too deep --profile nesting for \"" + path + "\"\n"))
      << result.err;
  int levels = 0;
  for (size_t at = 0;
       (at = result.err.find("reading profile " + path + "\n", at)) != std::string::npos; ++at) {
    ++levels;
  }
  EXPECT_EQ(levels, 19);
}

TEST(ProfileRun, MissingExplicitProfileIsReportedAndIgnored) {
  TempSite site;
  const std::string path = site.path("absent");
  const auto result = run_tessu(
      concat(site.site_options(), {"--profile", path, "--window", "3", "--enquire", "<a@b>"}));
  EXPECT_EQ(result.status, 12);
  EXPECT_TRUE(contains(result.err, "tessu: can't open profile \"" + path + "\": ")) << result.err;
  EXPECT_EQ(result.out, "no\n");
}

TEST(ProfileRun, PerSpoolProfileIsReadAfterTheCommandLine) {
  TempSite site;
  site.write("inhosts/feed.conf", "# per spool\n--enquire <a@b>\n");
  const auto result =
      run_tessu(concat(site.site_options(), {"-d", "--nopost", "--nofetch", "feed"}));
  EXPECT_EQ(result.status, 12) << result.err;
  EXPECT_EQ(result.out, "no\n");
  EXPECT_TRUE(contains(result.err, "reading profile " + site.path("inhosts/feed.conf") + "\n"))
      << result.err;
}

TEST(ProfileRun, MissingPerSpoolProfileIsANote) {
  TempSite site;
  site.write("conf/other.conf", "--enquire <a@b>\n");
  const auto result =
      run_tessu(concat(site.site_options(),
                       {"-d", "--hostconfig", site.path("conf"), "--enquire", "<x@y>", "feed"}));
  EXPECT_EQ(result.status, 12);
  EXPECT_TRUE(
      contains(result.err, "there is no " + site.path("conf/feed.conf") + ", just ignore\n"))
      << result.err;
}

}  // namespace
