// The site configuration in whole runs of tessu: the system's own INN
// innshellvars, a private INN instance's copy of it, C News files, lists of
// candidates, --verify and the failures that end the run.
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <sstream>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "support/tessu_runner.h"

namespace {

using testsupport::concat;
using testsupport::contains;
using testsupport::read_file;
using testsupport::run_tessu;
using testsupport::RunOptions;
using testsupport::RunResult;
using testsupport::TempSite;

const char kInnShellVars[] = "/usr/lib/news/innshellvars";
const char kInnConfval[] = "/usr/lib/news/bin/innconfval";
const char kInnConf[] = "/etc/news/inn.conf";

bool exists(const char* path) {
  return access(path, F_OK) == 0;
}

// What innconfval says about one inn.conf parameter (with INNCONF when given).
std::string innconfval(const std::string& name, const std::string& innconf = "") {
  const std::string command =
      (innconf.empty() ? "" : "INNCONF='" + innconf + "' ") + kInnConfval + " " + name;
  FILE* pipe = popen(command.c_str(), "r");
  if (pipe == nullptr) return "";
  std::string value;
  char buffer[512];
  while (fgets(buffer, sizeof buffer, pipe) != nullptr) value += buffer;
  pclose(pipe);
  while (!value.empty() && value.back() == '\n') value.pop_back();
  return value;
}

// The settings the site configuration reports at --debug 5 all end in
// `is "VALUE"` unless the value was the built-in one already.
void expect_setting(const RunResult& r, const std::string& name, const std::string& value) {
  const std::string head = "new config for " + name + ": was \"";
  const std::string tail = "\", is \"" + value + "\"";
  bool found = false;
  std::istringstream lines(r.err);
  for (std::string line; std::getline(lines, line);) {
    if (line.rfind(head, 0) == 0 && line.size() >= tail.size() &&
        line.compare(line.size() - tail.size(), tail.size(), tail) == 0) {
      found = true;
    }
  }
  EXPECT_TRUE(found) << name << " should become " << value << "\n" << r.err;
}

// A run that reads the configuration and stops before connecting.
std::vector<std::string> quiet_run(const std::vector<std::string>& config) {
  return concat(concat({"--debug", "5"}, config), {"--nofetch", "--nopost", "--dry-run", "x"});
}

#define SKIP_WITHOUT_INN()                                      \
  if (!exists(kInnShellVars) || !exists(kInnConfval)) {         \
    GTEST_SKIP() << "INN's innshellvars is not installed here"; \
  }

TEST(SiteConfigRun, SystemInnshellvarsGivesInnModeAndItsPaths) {
  SKIP_WITHOUT_INN();
  TempSite site;
  RunOptions options;
  options.cwd = site.root;
  options.env = {{"INNCONF", "\x01"}};
  const RunResult r = run_tessu(quiet_run({"--config-is", kInnShellVars, "--nohostlock"}), options);
  ASSERT_EQ(r.status, 0) << r.err;
  EXPECT_TRUE(contains(r.err, "reading /usr/lib/news/innshellvars\n"));
  EXPECT_TRUE(contains(r.err, "conf: INN mode on\n"));
  EXPECT_FALSE(contains(r.err, "missing config"));
  EXPECT_FALSE(contains(r.err, "can't open config"));

  const std::string pathdb = innconfval("pathdb");
  const std::string patharticles = innconfval("patharticles");
  ASSERT_FALSE(pathdb.empty());
  expect_setting(r, "NEWSBIN", innconfval("pathbin"));
  expect_setting(r, "PATHETC", innconfval("pathetc"));
  expect_setting(r, "SPOOL", patharticles);
  expect_setting(r, "BATCH", innconfval("pathoutgoing"));
  expect_setting(r, "INCOMING", innconfval("pathincoming"));
  expect_setting(r, "ACTIVE", pathdb + "/active");
  expect_setting(r, "HISTORY", pathdb + "/history");
  expect_setting(r, "LOCKS", innconfval("pathrun"));
  expect_setting(r, "NEWSFEEDS", innconfval("pathetc") + "/newsfeeds");
  if (patharticles == "/var/spool/news/articles") {
    expect_setting(r, "INHOSTS", "/var/spool/news/inhosts");
  }
}

// A private INN instance: its own inn.conf, reached through INNCONF, puts
// every path into the test's site.
class SiteConfigPrivateInn : public testing::Test {
 protected:
  void SetUp() override {
    if (!exists(kInnShellVars) || !exists(kInnConfval) || !exists(kInnConf)) {
      GTEST_SKIP() << "INN is not installed here";
    }
    std::istringstream system_conf(read_file(kInnConf));
    std::string conf;
    const std::vector<std::pair<std::string, std::string>> moved = {
        {"pathdb", "db"},
        {"pathrun", "run"},
        {"pathetc", "etc"},
        {"patharticles", "spool/articles"},
        {"pathspool", "spool"},
        {"pathoutgoing", "spool/outgoing"},
        {"pathincoming", "spool/incoming"}};
    for (std::string line; std::getline(system_conf, line);) {
      for (const auto& [key, dir] : moved) {
        if (line.rfind(key + ":", 0) == 0) line = key + ": " + site.path(dir);
      }
      conf += line + "\n";
    }
    site.write("etc/inn.conf", conf);
    for (const char* dir : {"db", "run", "spool/articles", "spool/outgoing", "spool/incoming"}) {
      site.write(std::string(dir) + "/.keep", "");
    }
  }

  void expect_private_paths(const RunResult& r) {
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_TRUE(contains(r.err, "conf: INN mode on\n"));
    EXPECT_FALSE(contains(r.err, "can't open config"));
    expect_setting(r, "PATHETC", site.path("etc"));
    expect_setting(r, "SPOOL", site.path("spool/articles"));
    expect_setting(r, "INHOSTS", site.path("spool/inhosts"));
    expect_setting(r, "BATCH", site.path("spool/outgoing"));
    expect_setting(r, "INCOMING", site.path("spool/incoming"));
    expect_setting(r, "ACTIVE", site.path("db/active"));
    expect_setting(r, "LOCKS", site.path("run"));
    expect_setting(r, "NEWSFEEDS", site.path("etc/newsfeeds"));
  }

  TempSite site;
};

TEST_F(SiteConfigPrivateInn, CopyOfInnshellvarsWithInnconfInTheEnvironment) {
  site.write("innshellvars", read_file(kInnShellVars));
  RunOptions options;
  options.cwd = site.root;
  options.env = {{"INNCONF", site.path("etc/inn.conf")}};
  // The host lock goes to the private PATHRUN, so the run proves LOCKS is used.
  const RunResult r = run_tessu(quiet_run({"--config-is", site.path("innshellvars")}), options);
  expect_private_paths(r);
}

TEST_F(SiteConfigPrivateInn, InnconfGivenOnTheEvalLine) {
  std::string vars = read_file(kInnShellVars);
  const std::string call = "eval $(${exec_prefix}/bin/innconfval -s)";
  const size_t at = vars.find(call);
  ASSERT_NE(at, std::string::npos);
  vars.replace(
      at, call.size(),
      "eval \"$(INNCONF=" + site.path("etc/inn.conf") + " ${exec_prefix}/bin/innconfval -s)\"");
  site.write("innshellvars", vars);
  RunOptions options;
  options.cwd = site.root;
  options.env = {{"INNCONF", "\x01"}};
  const RunResult r = run_tessu(quiet_run({"--config-is", site.path("innshellvars")}), options);
  expect_private_paths(r);
}

TEST(SiteConfigRun, CNewsFileAfterAMissingCandidate) {
  TempSite site;
  site.write("ctl/cnews.conf", "NEWSCTL=" + site.path("ctl") +
                                   "\nNEWSBIN=/c/bin\nNEWSARTS=" + site.path("arts") + "\n");
  RunOptions options;
  options.cwd = site.root;
  const std::string list = site.path("absent") + ":" + site.path("ctl/cnews.conf");
  const RunResult r = run_tessu(quiet_run({"--config-is", list}), options);
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_TRUE(contains(r.err, "can't open config in \"" + site.path("absent") + "\"\n"));
  EXPECT_TRUE(contains(r.err, "conf: INN mode off\n"));
  expect_setting(r, "LOCKS", site.path("ctl"));
  expect_setting(r, "NEWSFEEDS", site.path("ctl/sys"));
  expect_setting(r, "BATCH", site.path("arts/out.going"));
  expect_setting(r, "ACTIVE", site.path("ctl/active"));
}

TEST(SiteConfigRun, VerifyKeepsTheCurrentSettings) {
  TempSite site;
  site.write("vars", "INND=x\nNEWSBIN=/b\nLOCKS=" + site.path("no/such/dir") + "\n");
  RunOptions options;
  options.cwd = site.root;
  const std::vector<std::string> config = {"--locks", site.path("locks"), "--config-is",
                                           site.path("vars")};
  site.write("locks/.keep", "");

  // Without --verify the host lock is looked for where the file says, and cannot be made.
  const RunResult moved = run_tessu(quiet_run(config), options);
  EXPECT_EQ(moved.status, 5) << moved.err;

  const RunResult kept = run_tessu(quiet_run(concat({"--verify"}, config)), options);
  EXPECT_EQ(kept.status, 0) << kept.err;
  EXPECT_TRUE(contains(kept.err, "altered config for LOCKS: was \"" + site.path("locks") +
                                     "\", is \"" + site.path("no/such/dir") + "\"\n"));
}

TEST(SiteConfigRun, UnreadableLastCandidateEndsTheRunWithStatus8) {
  TempSite site;
  RunOptions options;
  options.cwd = site.root;
  const RunResult none = run_tessu(
      {"--config-is", site.path("one") + ":" + site.path("two"), "--nofetch", "--nopost", "x"},
      options);
  EXPECT_EQ(none.status, 8);
  EXPECT_TRUE(contains(none.err, "can't open config in \"" + site.path("two") + "\": "));
  EXPECT_FALSE(contains(none.err, "\"" + site.path("one") + "\""));

  site.write("self", "A=1\n. " + site.path("self") + "\n");
  const RunResult deep =
      run_tessu({"--config-is", site.path("self"), "--nofetch", "--nopost", "x"}, options);
  EXPECT_EQ(deep.status, 8);
  EXPECT_TRUE(contains(deep.err, "too deep recursion for \"" + site.path("self") + "\""));
}

}  // namespace
