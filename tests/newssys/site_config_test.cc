// The site configuration reader: shell assignments and references, quoting,
// eval, includes, conditionals, and how the variables fill the site paths.

#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <string>

#include <gtest/gtest.h>

#include "base/settings.h"
#include "newssys/site_config.h"
#include "run/options.h"
#include "support/capture.h"
#include "support/settings_guard.h"
#include "support/tessu_runner.h"

namespace {

using testsupport::CaptureFd;
using testsupport::contains;
using testsupport::TempSite;

const base::Settings& g = base::g_settings;
const base::SitePaths& paths = base::g_settings.paths;

std::string value_of(const char* name) {
  const char* value = newssys::lookup_variable(name);
  return value != nullptr ? value : "<undefined>";
}

class SiteConfig : public testing::Test {
 protected:
  testsupport::SettingsGuard settings_guard_;

  void SetUp() override {
    base::g_settings = base::Settings{};
    run::set_start_values();
    base::g_settings.verbosity = 5;
    newssys::clear_variables();
    newssys::g_extended_dbz = 0;
  }

  // Writes text into the file name below the site and reads it; err gets
  // what was reported.
  bool read(const std::string& text, const std::string& name = "conf") {
    site.write(name, text);
    CaptureFd capture;
    const bool ok = newssys::open_config(site.path(name).c_str(), true);
    err = capture.take();
    return ok;
  }

  // An executable shell script below the site.
  std::string script(const std::string& name, const std::string& body) {
    site.write(name, "#!/bin/sh\n" + body);
    chmod(site.path(name).c_str(), 0755);
    return site.path(name);
  }

  void apply(const std::string& text) {
    site.write("vars", text);
    CaptureFd capture;
    newssys::open_config(site.path("vars").c_str(), true);
    newssys::apply_site_config("vars");
    err = capture.take();
  }

  TempSite site;
  std::string err;
};

using SiteConfigDeathTest = SiteConfig;

TEST_F(SiteConfig, AssignmentsSplitAtSemicolonsAndExpandReferences) {
  ASSERT_TRUE(
      read("# a comment A=no\n"
           "   \n"
           "  A=x;B=${A}y\n"
           "C=${UNDEFINED-/tmp};D=${A-/tmp}\n"
           "E=$HOME/${NOPE}z\n"
           "F=a${UNCLOSED\n"
           "G=${A}${A}-${A-q}\n"
           "H= spaced value \n"));
  EXPECT_EQ(value_of("A"), "x");
  EXPECT_EQ(value_of("B"), "xy");
  EXPECT_EQ(value_of("C"), "/tmp");
  EXPECT_EQ(value_of("D"), "x");
  EXPECT_EQ(value_of("E"), "HOME/z");
  EXPECT_EQ(value_of("F"), "aUNCLOSED");
  EXPECT_EQ(value_of("G"), "xx-x");
  EXPECT_EQ(value_of("H"), " spaced value ");
  EXPECT_TRUE(contains(err, "conf: B=\"xy\"\n"));
  EXPECT_FALSE(contains(err, "skip"));
}

TEST_F(SiteConfig, LaterDefinitionShadowsEarlierAndTableSurvivesReadings) {
  ASSERT_TRUE(read("V=1\nV=2\n", "first"));
  ASSERT_TRUE(read("W=${V}3\n", "second"));
  EXPECT_EQ(value_of("V"), "2");
  EXPECT_EQ(value_of("W"), "23");
}

TEST_F(SiteConfig, NamesLongerThanThirtyCharactersAreIgnored) {
  const std::string thirty(30, 'N');
  const std::string thirty_one(31, 'N');
  ASSERT_TRUE(read(thirty + "=ok\n" + thirty_one + "=lost\n"));
  EXPECT_EQ(value_of(thirty.c_str()), "ok");
  EXPECT_EQ(newssys::lookup_variable(thirty_one.c_str()), nullptr);
  EXPECT_FALSE(contains(err, "skip"));
}

TEST_F(SiteConfig, DoubleQuotedValues) {
  ASSERT_TRUE(
      read("Q=\"a b ${X-c}\" # the comment is ignored\n"
           "R=\"x;y\" z\"\n"
           "U=a\"b\n"));
  EXPECT_EQ(value_of("Q"), "a b c");
  EXPECT_EQ(value_of("R"), "x");
  EXPECT_TRUE(contains(err, "skip: y\" z\"\n"));
  EXPECT_EQ(value_of("U"), "a\"b");
}

// innconfval -s writes every string value in single quotes.
TEST_F(SiteConfig, SingleQuotedValuesAreLiteral) {
  ASSERT_TRUE(
      read("PATHDB='/var/lib/news'; export PATHDB;\n"
           "ORG='Joe'\\''s \"best\" ${PATHDB}; $HOME site'; export ORG;\n"
           "EMPTY=''; export EMPTY;\n"
           "VERSION='INN 2.7.1'; export VERSION\n"
           "TAIL='a'b\\ c d\n"));
  EXPECT_EQ(value_of("PATHDB"), "/var/lib/news");
  EXPECT_EQ(value_of("ORG"), "Joe's \"best\" ${PATHDB}; $HOME site");
  EXPECT_EQ(value_of("EMPTY"), "");
  EXPECT_EQ(value_of("VERSION"), "INN 2.7.1");
  EXPECT_EQ(value_of("TAIL"), "ab c");
  EXPECT_FALSE(contains(err, "skip"));
}

TEST_F(SiteConfig, ExportUmaskAndSkippedStatements) {
  const mode_t before = umask(077);
  ASSERT_TRUE(
      read("export E=1\n"
           "export PATH\n"
           "umask  022\n"
           "NOVALUE=\n"
           "  echo hello   world\n"
           "A=1; frobnicate now\nB=2; export B; skipped too\n"));
  EXPECT_EQ(newssys::lookup_variable("E"), nullptr);
  EXPECT_EQ(value_of("NEWSUMASK"), "022");
  EXPECT_TRUE(contains(err, "umask: 022\n"));
  EXPECT_EQ(newssys::lookup_variable("NOVALUE"), nullptr);
  EXPECT_TRUE(contains(err, "skip: NOVALUE=\n"));
  EXPECT_TRUE(contains(err, "skip: echo hello   world\n"));
  EXPECT_TRUE(contains(err, "skip: frobnicate now\n"));
  EXPECT_FALSE(contains(err, "skip: export"));
  EXPECT_FALSE(contains(err, "skipped too"));
  // The program's own file creation mask stays.
  EXPECT_EQ(umask(before), 077);
}

TEST_F(SiteConfig, EvalReadsTheOutputOfACommandInBackquotesOrParentheses) {
  const std::string probe = script("probe",
                                   "echo \"ARG_$2=$1; export ARG_$2;\"\n"
                                   "echo 'FROM_ENV='\"'$TESSU_SITE_PROBE'\"\n"
                                   "echo \"BUILT=\\${ARG_$2}/x\"\n"
                                   "exit 3\n");
  setenv("TESSU_SITE_PROBE", "passed on", 1);
  ASSERT_TRUE(read("DIR=" + site.root + "\n" +
                   "eval `${DIR}/probe -s`\n"
                   "eval $(" +
                   probe +
                   " -t)\n"
                   "eval \"$( " +
                   probe + " -u )\"\n"));
  unsetenv("TESSU_SITE_PROBE");
  // With one argument the script sees $2 empty.
  EXPECT_EQ(value_of("ARG_"), "-u");
  EXPECT_EQ(value_of("FROM_ENV"), "passed on");
  EXPECT_EQ(value_of("BUILT"), "-u/x");
  EXPECT_TRUE(contains(err, "eval: " + probe + " -s\n"));
  EXPECT_TRUE(contains(err, "eval: " + probe + " -t\n"));
  EXPECT_TRUE(contains(err, "eval: " + probe + " -u\n"));
  EXPECT_TRUE(contains(err, "wait pid "));
  // The command's exit status (3, as a wait status) does not fail the reading.
  EXPECT_TRUE(contains(err, "eval " + probe + " status is 768\n"));
}

TEST_F(SiteConfig, EvalPutsLeadingAssignmentsIntoTheCommandsEnvironmentOnly) {
  script("probe", "echo \"SEEN='$TESSU_SITE_ONLY'\"\n");
  unsetenv("TESSU_SITE_ONLY");
  ASSERT_TRUE(
      read("CONF=/x/inn.conf\neval $(TESSU_SITE_ONLY=${CONF} " + site.path("probe") + ")\n"));
  EXPECT_EQ(value_of("SEEN"), "/x/inn.conf");
  EXPECT_EQ(getenv("TESSU_SITE_ONLY"), nullptr);
}

TEST_F(SiteConfig, EvalWithoutACommandNamesAFile) {
  site.write("other", "OTHER=yes\n");
  ASSERT_TRUE(read("eval " + site.path("other") + "\n"));
  EXPECT_EQ(value_of("OTHER"), "yes");
  EXPECT_FALSE(read("eval " + site.path("missing") + "\nAFTER=1\n"));
  EXPECT_TRUE(contains(err, "can't open config in \"" + site.path("missing") + "\""));
  EXPECT_EQ(newssys::lookup_variable("AFTER"), nullptr);
}

TEST_F(SiteConfig, IncludesExpandTheirNameAndAMissingOneFailsTheReading) {
  site.write("inc", "INCLUDED=${BASE}\n");
  ASSERT_TRUE(read("BASE=" + site.root + "\n.   ${BASE}/inc trailing words\n"));
  EXPECT_EQ(value_of("INCLUDED"), site.root);
  EXPECT_TRUE(contains(err, "include: " + site.path("inc") + "\n"));
  EXPECT_TRUE(contains(err, "reading " + site.path("inc") + "\n"));

  EXPECT_FALSE(read(". " + site.path("nothing") + "\nAFTER=1\n"));
  EXPECT_TRUE(contains(err, "can't open config in \"" + site.path("nothing") + "\": "));
  EXPECT_EQ(newssys::lookup_variable("AFTER"), nullptr);
}

TEST_F(SiteConfig, SelfIncludeStopsAtTenLevels) {
  EXPECT_FALSE(read(". " + site.path("self") + "\nAFTER=1\n", "self"));
  size_t readings = 0;
  for (size_t at = err.find("reading "); at != std::string::npos;
       at = err.find("reading ", at + 1)) {
    ++readings;
  }
  EXPECT_EQ(readings, 11u);  // ten streams read, the eleventh refused
  EXPECT_TRUE(contains(err, "too deep recursion for \"" + site.path("self") + "\""));
  EXPECT_EQ(newssys::lookup_variable("AFTER"), nullptr);

  // The depth is back at rest: a plain file reads again.
  EXPECT_TRUE(read("X=1\n"));
}

// innshellvars guards its local include with "if [ -x FILE ]".
TEST_F(SiteConfig, FileTestsDecideWhetherAGuardedBlockIsRead) {
  site.write("local", "LOCAL=read\n");
  const std::string text = "ETC=" + site.root + "\n" +
                           "if [ -x ${ETC}/local ]; then\n"
                           "    . ${ETC}/local\n"
                           "    IN_IF=1\n"
                           "else\n"
                           "    IN_ELSE=1\n"
                           "fi\n"
                           "if [ -x ${ETC}/absent ]; then\n"
                           "    . ${ETC}/absent\n"
                           "fi\n"
                           "AFTER=1\n";
  ASSERT_TRUE(read(text));
  EXPECT_EQ(newssys::lookup_variable("LOCAL"), nullptr);
  EXPECT_EQ(newssys::lookup_variable("IN_IF"), nullptr);
  EXPECT_EQ(value_of("IN_ELSE"), "1");
  EXPECT_EQ(value_of("AFTER"), "1");
  EXPECT_TRUE(contains(err, "skip: . ${ETC}/local\n"));
  EXPECT_TRUE(contains(err, "skip: if [ -x ${ETC}/local ]; then\n"));

  chmod(site.path("local").c_str(), 0755);
  newssys::clear_variables();
  ASSERT_TRUE(read(text));
  EXPECT_EQ(value_of("LOCAL"), "read");
  EXPECT_EQ(value_of("IN_IF"), "1");
  EXPECT_EQ(newssys::lookup_variable("IN_ELSE"), nullptr);
}

TEST_F(SiteConfig, StringTestsAndUnknownConditions) {
  ASSERT_TRUE(
      read("OV=tradindexed\n"
           "if [ \"$OV\" = \"ovdb\" ]; then\n"
           "  OVDB=1\n"
           "  if [ -e / ]; then NESTED=1\n"
           "  fi\n"
           "elif [ ! \"${OV}\" != tradindexed ]; then\n"
           "  TRAD=1\n"
           "else\n"
           "  OTHER=1\n"
           "fi\n"
           "if some_command --check; then\n"
           "  UNKNOWN=1\n"
           "fi\n"));
  EXPECT_EQ(newssys::lookup_variable("OVDB"), nullptr);
  EXPECT_EQ(newssys::lookup_variable("NESTED"), nullptr);
  EXPECT_EQ(value_of("TRAD"), "1");
  EXPECT_EQ(newssys::lookup_variable("OTHER"), nullptr);
  EXPECT_EQ(value_of("UNKNOWN"), "1");
}

TEST_F(SiteConfig, InnLayout) {
  apply("INND=/n/bin/innd\nNEWSHOME=/n\nNEWSBIN=/n/bin\nSPOOL=/n/spool/articles\n");
  EXPECT_TRUE(g.inn_mode);
  EXPECT_EQ(*paths.newshome, "/n");
  EXPECT_EQ(*paths.pathetc, "/n");
  EXPECT_EQ(*paths.newsbin, "/n/bin");
  EXPECT_EQ(*paths.spool, "/n/spool/articles");
  EXPECT_EQ(*paths.inhosts, "/n/spool/inhosts");
  EXPECT_EQ(*paths.locks, "/usr/local/news/run");
  EXPECT_TRUE(
      contains(err, "new config for NEWSBIN: was \"/usr/local/news/bin\", is \"/n/bin\"\n"));
  EXPECT_TRUE(contains(err,
                       "new config for INHOSTS: was \"/usr/local/news/spool/inhosts\", is "
                       "\"/n/spool/inhosts\"\n"));
  EXPECT_TRUE(contains(err, "missing config for LOCKS, was \"/usr/local/news/run\"\n"));
  EXPECT_TRUE(contains(err, "missing config for BATCH, was \"/usr/local/news/spool/outgoing\"\n"));
}

TEST_F(SiteConfig, InnLayoutWithFullPathsAndSpoolWithoutArticles) {
  base::g_settings.inn_mode = false;
  apply(
      "INND=x\nNEWSHOME=/n\nPATHETC=/etc/n\nNEWSBIN=/n/bin\nSPOOL=/n/spool\nBATCH=/n/out\n"
      "INCOMING=/n/in\nACTIVE=/n/db/active\nHISTORY=/n/db/history\nLOCKS=/n/run\n"
      "NEWSFEEDS=/etc/n/newsfeeds\n");
  EXPECT_TRUE(g.inn_mode);
  EXPECT_EQ(*paths.pathetc, "/etc/n");
  EXPECT_EQ(*paths.inhosts, "/n/spool/in.hosts");
  EXPECT_EQ(*paths.batch, "/n/out");
  EXPECT_EQ(*paths.incoming, "/n/in");
  EXPECT_EQ(*paths.active, "/n/db/active");
  EXPECT_EQ(*paths.history, "/n/db/history");
  EXPECT_EQ(*paths.locks, "/n/run");
  EXPECT_EQ(*paths.newsfeeds, "/etc/n/newsfeeds");
  EXPECT_FALSE(contains(err, "missing config"));

  // Applying the same values again reports nothing.
  apply("");
  EXPECT_FALSE(contains(err, "new config"));
}

TEST_F(SiteConfig, CNewsLayout) {
  apply("NEWSCTL=/c/lib\nNEWSBIN=/c/bin\nNEWSARTS=/c/spool\n");
  EXPECT_FALSE(g.inn_mode);
  EXPECT_EQ(*paths.newsbin, "/c/bin");
  EXPECT_EQ(*paths.newshome, "/c/lib");
  EXPECT_EQ(*paths.pathetc, "/c/lib");
  EXPECT_EQ(*paths.spool, "/c/spool");
  EXPECT_EQ(*paths.batch, "/c/spool/out.going");
  EXPECT_EQ(*paths.incoming, "/c/spool/in.coming");
  EXPECT_EQ(*paths.inhosts, "/c/spool/in.hosts");
  EXPECT_EQ(*paths.active, "/c/lib/active");
  EXPECT_EQ(*paths.history, "/c/lib/history");
  EXPECT_EQ(*paths.locks, "/c/lib");
  EXPECT_EQ(*paths.newsfeeds, "/c/lib/sys");
  EXPECT_TRUE(contains(err,
                       "new config for NEWSFEEDS: was \"/usr/local/news/etc/newsfeeds\", is "
                       "\"/c/lib/sys\"\n"));
}

TEST_F(SiteConfig, CNewsWithoutNewsctlReportsTheSettingsBuiltFromIt) {
  apply("NEWSBIN=/c/bin\nNEWSARTS=/c/spool\n");
  EXPECT_EQ(*paths.newsfeeds, "/usr/local/news/etc/newsfeeds");
  EXPECT_EQ(*paths.locks, "/usr/local/news/run");
  EXPECT_TRUE(contains(err, "missing config for NEWSHOME, was \"/usr/local/news\"\n"));
  EXPECT_TRUE(contains(err, "missing config for LOCKS, was \"/usr/local/news/run\"\n"));
  EXPECT_TRUE(
      contains(err, "missing config for NEWSFEEDS, was \"/usr/local/news/etc/newsfeeds\"\n"));
  // The rest is built from the settings as they stand.
  EXPECT_EQ(*paths.active, "/usr/local/news/active");
  EXPECT_EQ(*paths.batch, "/c/spool/out.going");
}

TEST_F(SiteConfig, WithoutNewsbinOnlyTheModeChanges) {
  apply("INND=x\nNEWSHOME=/n\n");
  EXPECT_TRUE(g.inn_mode);
  EXPECT_TRUE(contains(err, "vars is probably in wrong format\n"));
  EXPECT_EQ(*paths.newshome, "/usr/local/news");

  newssys::clear_variables();
  apply("NEWSCTL=/c\n");
  EXPECT_FALSE(g.inn_mode);
  EXPECT_TRUE(contains(err, "vars is in wrong format\n"));
  EXPECT_EQ(*paths.newshome, "/usr/local/news");
}

TEST_F(SiteConfig, BackquotedValuesAreNotSupported) {
  apply("INND=x\nNEWSBIN=/n/bin\nNEWSHOME=`pwd`\n");
  EXPECT_TRUE(contains(err, "non-supported config for NEWSHOME: `pwd`\n"));
  EXPECT_EQ(*paths.newshome, "/usr/local/news");
  EXPECT_EQ(*paths.newsbin, "/n/bin");
}

TEST_F(SiteConfig, VerifyReportsDifferencesWithoutChangingAnything) {
  base::g_settings.verify = 1;
  apply("INND=x\nNEWSBIN=/usr/local/news/bin\nLOCKS=/elsewhere\nEXTENDEDDBZ=on\n");
  EXPECT_TRUE(contains(err,
                       "altered config for LOCKS: was \"/usr/local/news/run\", is "
                       "\"/elsewhere\"\n"));
  EXPECT_TRUE(contains(err, "altered config for EXTENDEDDBZ: was 0, is 1\n"));
  EXPECT_FALSE(contains(err, "new config"));
  EXPECT_FALSE(contains(err, "config for NEWSBIN"));
  EXPECT_EQ(*paths.locks, "/usr/local/news/run");
  EXPECT_EQ(newssys::g_extended_dbz, 0);
}

TEST_F(SiteConfig, ExtendedDbzFlag) {
  apply("INND=x\nNEWSBIN=/b\nEXTENDEDDBZ=yes\n");
  EXPECT_EQ(newssys::g_extended_dbz, 1);
  EXPECT_TRUE(contains(err, "new config for EXTENDEDDBZ: was 0, is 1\n"));
  apply("EXTENDEDDBZ=TRUE\n");
  EXPECT_EQ(newssys::g_extended_dbz, 0);
  apply("EXTENDEDDBZ=on\n");
  EXPECT_EQ(newssys::g_extended_dbz, 1);
  // C News leaves the flag alone.
  newssys::clear_variables();
  apply("NEWSBIN=/b\nEXTENDEDDBZ=no\n");
  EXPECT_EQ(newssys::g_extended_dbz, 1);
}

TEST_F(SiteConfig, ListReadsTheFirstFileThatExists) {
  site.write("second", "INND=x\nNEWSBIN=/second/bin\n");
  site.write("third", "INND=x\nNEWSBIN=/third/bin\n");
  const std::string list =
      ":" + site.path("missing") + "::" + site.path("second") + ":" + site.path("third");
  CaptureFd capture;
  newssys::read_site_config(list.c_str());
  err = capture.take();
  EXPECT_EQ(*paths.newsbin, "/second/bin");
  EXPECT_TRUE(contains(err, "can't open config in \"" + site.path("missing") + "\"\n"));
  EXPECT_FALSE(contains(err, "reading " + site.path("third")));
}

TEST_F(SiteConfigDeathTest, LastFileOfAListMustBeRead) {
  const std::string list = site.path("missing1") + ":" + site.path("missing2");
  EXPECT_EXIT(newssys::read_site_config(list.c_str()), testing::ExitedWithCode(8),
              "can't open config in \"" + site.path("missing2") + "\": ");
  site.write("self", ". " + site.path("self") + "\n");
  EXPECT_EXIT(newssys::read_site_config(site.path("self").c_str()), testing::ExitedWithCode(8),
              "too deep recursion");
}

}  // namespace
