// Whole-program runs that copy the server's group list and descriptions into
// files, standard output and commands.
#include <sys/stat.h>

#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "support/news_site.h"

namespace {

using testsupport::contains;
using testsupport::Fault;
using testsupport::RunOptions;
using testsupport::RunResult;
using Strings = std::vector<std::string>;

constexpr const char* kSpool = "upstream";
constexpr const char* kRefusal = "503 program fault - command not performed";

struct GroupListRun : testsupport::NewsSiteTest {
  GroupListRun() : NewsSiteTest(kSpool, "*,!junk.*") { fixed_options = {"--nopost", "-d"}; }

  void SetUp() override {
    NewsSiteTest::SetUp();
    set_active({});
    ASSERT_EQ(mkdir(site.path("lists").c_str(), 0755), 0);
  }

  // Names in the site's lists directory that are not one of the given files:
  // what a run left behind besides its results.
  Strings leftovers(const Strings& expected) const {
    Strings extra;
    for (const std::string& name : site.list("lists")) {
      bool known = false;
      for (const std::string& e : expected) known = known || e == name;
      if (!known) extra.push_back(name);
    }
    return extra;
  }

  void refuse(const std::string& command, int nth = 1) {
    server.script.faults.push_back(Fault{Fault::kReplyCode, command, nth, kRefusal, 0});
  }
};

TEST_F(GroupListRun, ListToStandardOutputIsNameAndFlag) {
  server.script.list_lines = {"alt.test 10 1 m",
                              "comp.lang.c 0000000100 0000000005 y",
                              "misc.noflag 3 1",
                              "lonely",
                              "",
                              "rec.moderated\t7\t2\tm"};
  const RunResult result = run({"--nofetch", "--list", "-"});
  ASSERT_EQ(result.status, 0) << result.err;
  EXPECT_EQ(result.out, "alt.test m\ncomp.lang.c y\nmisc.noflag y\nrec.moderated m\n");
  EXPECT_TRUE(contains(result.err, "get full list to -\n")) << result.err;
  EXPECT_EQ(server.commands(), (Strings{"LIST", "QUIT"}));
}

TEST_F(GroupListRun, FileIsReplacedWholeWithTheListKeepingItsPermissions) {
  server.script.list_lines = {"alt.test 10 1 m", "misc.noflag 3 1", "lonely"};
  site.write("lists/all", "an older and much longer list than the new one\n");
  ASSERT_EQ(chmod(site.path("lists/all").c_str(), 0640), 0);
  for (const char* window : {"0", "10"}) {
    const RunResult result =
        run({"--nofetch", "--window", window, "--list", site.path("lists/all")});
    ASSERT_EQ(result.status, 0) << result.err;
    EXPECT_EQ(site.read("lists/all"), "alt.test m\nmisc.noflag y\n") << window;
    struct stat info;
    ASSERT_EQ(stat(site.path("lists/all").c_str(), &info), 0);
    EXPECT_EQ(info.st_mode & 0777, 0640u);
    EXPECT_EQ(leftovers({"all"}), Strings{});
  }
  // A file that did not exist is created.
  const RunResult result = run({"--nofetch", "--list", site.path("lists/new")});
  ASSERT_EQ(result.status, 0) << result.err;
  EXPECT_EQ(site.read("lists/new"), "alt.test m\nmisc.noflag y\n");
}

TEST_F(GroupListRun, NewListHoldsTheGroupsTheSiteDoesNotTake) {
  site.write("db/active",
             "comp.known 10 1 y\ncomp.moderated 10 1 m\ncomp.nflag 10 1 n\n"
             "comp.xflag 10 1 x\njunk.excluded 10 1 y\n");
  server.script.list_lines = {"comp.known 10 1 y",  "comp.moderated 10 1 m", "comp.nflag 10 1 y",
                              "comp.xflag 10 1 y",  "junk.excluded 10 1 y",  "new.group 5 1 y",
                              "new.moderated 5 1 m"};
  const RunResult result = run({"--nofetch", "--window", "0", "--list", site.path("lists/all"),
                                "--newlist", site.path("lists/new")});
  ASSERT_EQ(result.status, 0) << result.err;
  EXPECT_EQ(site.read("lists/new"),
            "comp.nflag y\ncomp.xflag y\njunk.excluded y\nnew.group y\nnew.moderated m\n");
  EXPECT_EQ(site.read("lists/all"),
            "comp.known y\ncomp.moderated m\ncomp.nflag y\ncomp.xflag y\njunk.excluded y\n"
            "new.group y\nnew.moderated m\n");
  EXPECT_TRUE(contains(result.err, "get new list to " + site.path("lists/new") + "\n"));
  EXPECT_EQ(leftovers({"all", "new"}), Strings{});
}

TEST_F(GroupListRun, DescriptionsOfKnownGroupsAndAllOfThem) {
  site.write("db/active", "comp.known 10 1 y\ncomp.nflag 10 1 n\n");
  const std::string long_text(700, 'd');
  server.script.newsgroups_lines = {"comp.known\tKnown group,  tab and blanks kept ",
                                    "new.group A new group",
                                    "comp.nflag\tnot taken here",
                                    "nodescription",
                                    "comp.known " + long_text,
                                    ".stuffed\tleading dot"};
  const RunResult result = run(
      {"--nofetch", "--desc", site.path("lists/desc"), "--alldesc", site.path("lists/alldesc")});
  ASSERT_EQ(result.status, 0) << result.err;
  EXPECT_EQ(site.read("lists/desc"),
            "comp.known\tKnown group,  tab and blanks kept \ncomp.known " + long_text + "\n");
  // A line is written as it came: not un-stuffed, and whole however long.
  EXPECT_EQ(site.read("lists/alldesc"),
            "comp.known\tKnown group,  tab and blanks kept \nnew.group A new group\n"
            "comp.nflag\tnot taken here\ncomp.known " +
                long_text + "\n..stuffed\tleading dot\n");
  EXPECT_TRUE(contains(result.err, "get descriptions to " + site.path("lists/desc") + "\n"));
  EXPECT_TRUE(contains(result.err, "get all descriptions to " + site.path("lists/alldesc") + "\n"));
  EXPECT_EQ(server.commands(), (Strings{"LIST NEWSGROUPS", "QUIT"}));
}

TEST_F(GroupListRun, BothListsInOneRunAreSentInOrder) {
  set_active({"comp.known"});
  server.add_group("comp.known", 1, 4);
  server.add_group("new.group", 1, 9);
  const RunResult result = run(
      {"--nofetch", "--newlist", site.path("lists/new"), "--alldesc", site.path("lists/alldesc")});
  ASSERT_EQ(result.status, 0) << result.err;
  EXPECT_EQ(site.read("lists/new"), "new.group y\n");
  EXPECT_EQ(site.read("lists/alldesc"),
            "comp.known\ttest group comp.known\nnew.group\ttest group new.group\n");
  EXPECT_EQ(server.commands(), (Strings{"LIST", "LIST NEWSGROUPS", "QUIT"}));
}

TEST_F(GroupListRun, CommandsReceiveTheLinesAndAreWaitedFor) {
  set_active({"comp.known"});
  server.script.list_lines = {"comp.known 10 1 y", "new.group 5 1 m"};
  // Each command puts its result in place only after a pause: the run must
  // have waited for it to find the file there when it ends. A non-zero exit
  // of a command is not an error.
  const std::string dir = site.path("lists");
  const RunResult result = run(
      {"--nofetch", "--list",
       "|cat > " + dir + "/all.tmp; sleep 1; mv " + dir + "/all.tmp " + dir + "/all; exit 3",
       "--newlist", "|cat > " + dir + "/new.tmp; sleep 1; mv " + dir + "/new.tmp " + dir + "/new"});
  ASSERT_EQ(result.status, 0) << result.err;
  EXPECT_EQ(site.read("lists/all"), "comp.known y\nnew.group m\n");
  EXPECT_EQ(site.read("lists/new"), "new.group m\n");
}

TEST_F(GroupListRun, RefusedListOpensNothingAndEndsAsTheWindowDecides) {
  site.write("lists/all", "the last good list\n");
  const std::vector<std::string> lists = {"--list", site.path("lists/all"), "--newlist",
                                          "|touch " + site.path("lists/started")};
  const std::string message =
      std::string("tessu: NNTP can't get newsgroup list, got \"") + kRefusal + "\"\n";
  refuse("LIST");

  // With --window 0 the refusal is met at once and the run ends.
  RunResult result = run(testsupport::concat({"--nofetch", "--window", "0"}, lists));
  EXPECT_EQ(result.status, 9) << result.err;
  EXPECT_TRUE(contains(result.err, message)) << result.err;
  EXPECT_EQ(server.count_commands("QUIT"), 0u);

  // With the default window it is met when the window is drained: by QUIT's
  // closing exchange, which closes the connection normally...
  server.script.faults.clear();
  refuse("LIST", 2);
  result = run(testsupport::concat({"--nofetch"}, lists));
  EXPECT_EQ(result.status, 0) << result.err;
  EXPECT_TRUE(contains(result.err, message)) << result.err;

  // ... or by the fetch's first GROUP, which then fails.
  set_active({"comp.known"});
  server.add_simple_article("comp.known", 1, "<1@test>");
  server.script.faults.clear();
  refuse("LIST", 3);
  result = run(lists);
  EXPECT_EQ(result.status, 9) << result.err;
  EXPECT_TRUE(contains(result.err, message)) << result.err;

  EXPECT_EQ(site.read("lists/all"), "the last good list\n");
  EXPECT_FALSE(site.exists("lists/started"));
  EXPECT_EQ(leftovers({"all"}), Strings{});
  EXPECT_EQ(site.list("locks"), Strings{});
}

TEST_F(GroupListRun, RefusedDescriptionsAreReportedAndTruncateNothing) {
  site.write("lists/desc", "the last good descriptions\n");
  refuse("LIST");
  const RunResult result = run({"--nofetch", "--window", "0", "--desc", site.path("lists/desc")});
  EXPECT_EQ(result.status, 9) << result.err;
  EXPECT_TRUE(contains(
      result.err,
      std::string("tessu: NNTP can't get newsgroup descriptions, got \"") + kRefusal + "\"\n"))
      << result.err;
  EXPECT_EQ(site.read("lists/desc"), "the last good descriptions\n");
  EXPECT_EQ(leftovers({"desc"}), Strings{});
}

TEST_F(GroupListRun, BrokenConnectionMidListLeavesTheOldFile) {
  for (int n = 0; n < 200; ++n) {
    server.script.list_lines.push_back("group" + std::to_string(n) + " 10 1 y");
  }
  site.write("lists/all", "the last good list\n");
  server.script.faults = {Fault{Fault::kCloseMidReply, "LIST", 0, "", 0}};
  for (const char* window : {"0", "10"}) {
    const RunResult result =
        run({"--nofetch", "--window", window, "--list", site.path("lists/all")});
    // Only a failure met in the window operation of LIST itself ends the run;
    // QUIT's closing exchange closes the connection normally.
    EXPECT_EQ(result.status, std::string(window) == "0" ? 9 : 0) << result.err;
    EXPECT_EQ(site.read("lists/all"), "the last good list\n") << window;
    EXPECT_EQ(leftovers({"all"}), Strings{}) << window;
  }
}

TEST_F(GroupListRun, UnwritableDestinationsEndTheRunWithStatus8) {
  server.script.list_lines.assign(3000, "a.rather.long.group.name.to.fill.buffers 10 1 y");

  RunResult result = run({"--nofetch", "--list", site.path("nowhere/all")});
  EXPECT_EQ(result.status, 8) << result.err;
  EXPECT_TRUE(contains(result.err, "tessu: can't write to: " + site.path("nowhere/all") + ": "))
      << result.err;

  // A command that stops reading makes the writes fail; it does not kill the run.
  const std::string quitter = "|head -1 > /dev/null";
  result = run({"--nofetch", "--list", site.path("lists/all"), "--newlist", quitter});
  EXPECT_EQ(result.status, 8) << result.err;
  EXPECT_TRUE(contains(result.err, "tessu: error writing to \"" + quitter + "\": ")) << result.err;
  EXPECT_FALSE(site.exists("lists/all"));
  EXPECT_EQ(leftovers({}), Strings{});
  EXPECT_EQ(site.list("locks"), Strings{});

  struct stat info;
  if (stat("/dev/full", &info) == 0) {
    result = run({"--nofetch", "--list", "/dev/full"});
    EXPECT_EQ(result.status, 8) << result.err;
    EXPECT_TRUE(contains(result.err, "tessu: error writing to \"/dev/full\": ")) << result.err;
  }
}

TEST_F(GroupListRun, LocalActiveFileIsReadAgainAfterTheList) {
  // The list command creates the new group locally, as a news administrator's
  // script would. With --window 0 the list is copied before the local active
  // file is read again, so the new group is fetched in the same run; with the
  // default window the list is copied only when GROUP's reply is needed, after
  // the reading, and the group waits for the next run.
  set_active({"comp.known"});
  server.add_simple_article("comp.known", 1, "<1.known@test>");
  server.add_simple_article("new.group", 1, "<1.new@test>");
  const std::string add_group = "|cat > /dev/null; echo 'new.group 0000000001 0000000001 y' >> " +
                                site.path("db/active") + "; echo created new.group >&2";
  const std::string reread = "re-reading " + site.path("db/active") + "\n";

  RunResult result = run({"--window", "0", "--list", add_group});
  ASSERT_EQ(result.status, 0) << result.err;
  EXPECT_EQ(server.count_commands("GROUP new.group"), 1u);
  size_t created = result.err.find("\ncreated new.group\n");
  ASSERT_NE(created, std::string::npos) << result.err;
  EXPECT_GT(result.err.find(reread), created) << result.err;

  set_active({"comp.known"});
  result = run({"--list", add_group});
  ASSERT_EQ(result.status, 0) << result.err;
  EXPECT_EQ(server.count_commands("GROUP new.group"), 1u);
  created = result.err.find("\ncreated new.group\n");
  ASSERT_NE(created, std::string::npos) << result.err;
  EXPECT_LT(result.err.find(reread), created) << result.err;

  // Without a fetch (or --desc) the file is not read again.
  result = run({"--nofetch", "--newlist", "-"});
  ASSERT_EQ(result.status, 0) << result.err;
  EXPECT_FALSE(contains(result.err, "re-reading")) << result.err;
}

TEST_F(GroupListRun, DryRunAsksForNothing) {
  const RunResult result = run({"--nofetch", "--dry-run", "--list", site.path("lists/all")});
  EXPECT_EQ(result.status, 0) << result.err;
  EXPECT_FALSE(site.exists("lists/all"));
  EXPECT_EQ(server.connections(), 0);
}

}  // namespace
