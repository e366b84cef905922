// Whole runs against what a hostile local user or a damaged file can leave:
// links and fifos where tessu writes, children that never end, and host
// active files of any bytes and any length.
#include <fcntl.h>
#include <sched.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <unistd.h>
#include <cerrno>
#include <csignal>
#include <cstring>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "support/news_site.h"
#include "support/wait.h"

namespace {

using testsupport::contains;
using testsupport::read_file;
using testsupport::RunResult;
using testsupport::TempSite;
using testsupport::TestNntpServer;
using Strings = std::vector<std::string>;

constexpr const char* kConnectErrors = "/tmp/connect.errors";

std::string terminating_message(int seconds) {
  return " still running after " + std::to_string(seconds) + " seconds, terminating it\n";
}

// Children that never end

TEST(HostileChildren, ExecScriptThatNeverEndsIsStoppedAtTheTimeout) {
  TempSite site;
  TestNntpServer server;
  ASSERT_GT(server.start(), 0);
  const RunResult result = testsupport::run_tessu(testsupport::run_args(
      site, {"--nopost", "--nofetch", "--timeout", "1", "--exec", "exec sleep 1000"}, "feed",
      "127.0.0.1", server.port_string()));
  EXPECT_EQ(result.status, 11) << result.err;
  EXPECT_TRUE(contains(result.err, terminating_message(1))) << result.err;
  EXPECT_TRUE(contains(result.err, "tessu: connect script failed, status is 15\n")) << result.err;
  EXPECT_TRUE(site.list("locks").empty());
}

TEST(HostileChildren, CtlinndThatNeverEndsIsStoppedAndTheEntriesWait) {
  TempSite site;
  TestNntpServer server;
  ASSERT_GT(server.start(), 0);
  const std::string ctlinnd = site.path("bin/ctlinnd");
  site.write("bin/ctlinnd", "#!/bin/sh\nexec sleep 1000\n");
  chmod(ctlinnd.c_str(), 0755);
  const std::string entry = "news/misc/1 <1@test> 123\n";
  site.write("outgoing/feed", entry);
  const RunResult result = testsupport::run_tessu(
      testsupport::run_args(site, {"--nofetch", "--timeout", "1", "--ctlinnd", ctlinnd}, "feed",
                            "127.0.0.1", server.port_string()));
  EXPECT_EQ(result.status, 5) << result.err;
  EXPECT_TRUE(contains(result.err, terminating_message(1))) << result.err;
  EXPECT_TRUE(contains(result.err, "tessu: ctlinnd flush failed, returned status 15\n"))
      << result.err;
  EXPECT_EQ(server.connections(), 0);
  EXPECT_EQ(site.read("outgoing/feed.togo"), entry);
  EXPECT_TRUE(site.list("locks").empty());
}

TEST(HostileChildren, TerminatingSignalEndsTheRunWhileItWaitsForAChild) {
  TempSite site;
  TestNntpServer server;
  ASSERT_GT(server.start(), 0);
  const std::string started = site.path("started");
  // The script leaves its process id (sleep keeps it) once it runs.
  testsupport::Running running = testsupport::start_tessu(testsupport::run_args(
      site, {"--nopost", "--nofetch", "--exec", "echo $$ > " + started + "; exec sleep 1000"},
      "feed", "127.0.0.1", server.port_string()));
  ASSERT_TRUE(testsupport::wait_for_file(started, 30));
  kill(running.pid, SIGTERM);
  const RunResult result = testsupport::finish_tessu(running);
  EXPECT_FALSE(result.signaled);
  EXPECT_EQ(result.status, 1) << result.err;
  EXPECT_TRUE(contains(result.err, "received signal: Terminated")) << result.err;
  EXPECT_TRUE(site.list("locks").empty());
  // The script outlives the run; end it here.
  std::string pid_text;
  testsupport::wait_until([&] {
    pid_text = read_file(started);
    return pid_text.find('\n') != std::string::npos;
  });
  const pid_t script = static_cast<pid_t>(atol(pid_text.c_str()));
  if (script > 0) kill(script, SIGKILL);
}

// The connect errors file. It has a fixed name in /tmp; these runs get a /tmp
// of their own (a directory of the test site mounted there in a private mount
// namespace), so that what is planted there touches nothing else.

constexpr int kNoPrivateTmp = 125;

// Runs tessu with the site's "tmp" directory as /tmp. The site, itself below
// /tmp, stays reachable at its path. status kNoPrivateTmp: no private /tmp
// could be had.
// The place below fake_tmp where a path below the real /tmp must show up, so
// that it keeps its name once fake_tmp is mounted as /tmp; empty for a path
// outside /tmp. The directories on the way are made here, in the parent.
std::string place_in_fake_tmp(const std::string& fake_tmp, const std::string& path) {
  const std::string prefix = "/tmp/";
  if (path.compare(0, prefix.size(), prefix) != 0) return "";
  std::string place = fake_tmp;
  size_t at = prefix.size();
  while (at <= path.size()) {
    size_t end = path.find('/', at);
    if (end == std::string::npos) end = path.size();
    place += "/" + path.substr(at, end - at);
    mkdir(place.c_str(), 0755);
    at = end + 1;
  }
  return place;
}

RunResult run_with_private_tmp(const TempSite& site, const Strings& args) {
  const std::string fake_tmp = site.path("tmp");
  const std::string site_in_fake = place_in_fake_tmp(fake_tmp, site.root);
  if (site_in_fake.empty()) {
    RunResult refused;
    refused.status = kNoPrivateTmp;
    return refused;
  }
  // The binary may be built below /tmp too (a clone there): it must stay reachable.
  std::string binary_directory = TESSU_BINARY;
  binary_directory.erase(binary_directory.rfind('/'));
  const std::string binary_in_fake = place_in_fake_tmp(fake_tmp, binary_directory);
  testsupport::RunOptions options;
  options.in_child = [&] {
    const bool mounted =
        unshare(CLONE_NEWNS) == 0 &&
        mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) == 0 &&
        mount(site.root.c_str(), site_in_fake.c_str(), nullptr, MS_BIND, nullptr) == 0 &&
        (binary_in_fake.empty() ||
         mount(binary_directory.c_str(), binary_in_fake.c_str(), nullptr, MS_BIND, nullptr) == 0) &&
        mount(fake_tmp.c_str(), "/tmp", nullptr, MS_BIND | MS_REC, nullptr) == 0;
    return mounted ? 0 : kNoPrivateTmp;
  };
  return testsupport::run_tessu(args, options);
}

struct ConnectErrorsFile : testing::Test {
  TempSite site;
  TestNntpServer server;
  std::string planted = site.path("tmp/connect.errors");  // /tmp/connect.errors for the run

  void SetUp() override {
    ASSERT_GT(server.start(), 0);
    ASSERT_EQ(mkdir(site.path("tmp").c_str(), 01777), 0);
    site.write("victim", "precious\n");
  }
  void TearDown() override { unlink(planted.c_str()); }

  // A connection whose --exec script writes a line to its standard error.
  RunResult run_exec(const std::string& timeout = "30") {
    return run_with_private_tmp(
        site, testsupport::run_args(site,
                                    {"--nopost", "--nofetch", "--timeout", timeout, "--exec",
                                     "echo said-by-script >&2"},
                                    "feed", "127.0.0.1", server.port_string()));
  }
};

#define SKIP_WITHOUT_PRIVATE_TMP(run) \
  if ((run).status == kNoPrivateTmp)  \
  GTEST_SKIP() << "no private /tmp here (needs mount namespaces): " << (run).err

const std::string kNotUsed = std::string("tessu: connect errors file \"") + kConnectErrors +
                             "\" is not a plain file, not used\n";

TEST_F(ConnectErrorsFile, PlainFileIsCreatedOrAppendedTo) {
  RunResult run = run_exec();
  SKIP_WITHOUT_PRIVATE_TMP(run);
  EXPECT_EQ(run.status, 0) << run.err;
  EXPECT_EQ(read_file(planted), "said-by-script\n");
  run = run_exec();
  EXPECT_EQ(run.status, 0) << run.err;
  EXPECT_EQ(read_file(planted), "said-by-script\nsaid-by-script\n");
  EXPECT_FALSE(contains(run.err, "said-by-script")) << run.err;
}

TEST_F(ConnectErrorsFile, SymbolicLinkIsNotFollowed) {
  ASSERT_EQ(symlink(site.path("victim").c_str(), planted.c_str()), 0);
  RunResult run = run_exec();
  SKIP_WITHOUT_PRIVATE_TMP(run);
  EXPECT_EQ(run.status, 0) << run.err;
  EXPECT_EQ(site.read("victim"), "precious\n");
  // The script's standard error stays the program's.
  EXPECT_TRUE(contains(run.err, kNotUsed)) << run.err;
  EXPECT_TRUE(contains(run.err, "said-by-script\n")) << run.err;

  // A link to a file that does not exist yet does not create it.
  unlink(planted.c_str());
  ASSERT_EQ(symlink(site.path("made-through-link").c_str(), planted.c_str()), 0);
  run = run_exec();
  EXPECT_EQ(run.status, 0) << run.err;
  EXPECT_FALSE(site.exists("made-through-link"));
  EXPECT_TRUE(contains(run.err, kNotUsed)) << run.err;
}

TEST_F(ConnectErrorsFile, HardLinkToAnotherFileIsLeftAlone) {
  ASSERT_EQ(link(site.path("victim").c_str(), planted.c_str()), 0);
  const RunResult run = run_exec();
  SKIP_WITHOUT_PRIVATE_TMP(run);
  EXPECT_EQ(run.status, 0) << run.err;
  EXPECT_EQ(site.read("victim"), "precious\n");
  EXPECT_TRUE(contains(run.err, kNotUsed)) << run.err;
}

TEST_F(ConnectErrorsFile, FifoDoesNotHoldUpTheScriptOrTheRun) {
  ASSERT_EQ(mkfifo(planted.c_str(), 0666), 0);
  // Nobody reads the fifo: opening it for writing would wait forever.
  RunResult run = run_exec();
  SKIP_WITHOUT_PRIVATE_TMP(run);
  EXPECT_EQ(run.status, 0) << run.err;
  EXPECT_TRUE(contains(run.err, kNotUsed)) << run.err;
  EXPECT_TRUE(contains(run.err, "said-by-script\n")) << run.err;

  // With a reader the fifo opens, but it is still no file to append to.
  const int reader = open(planted.c_str(), O_RDONLY | O_NONBLOCK);
  ASSERT_GE(reader, 0);
  run = run_exec();
  EXPECT_EQ(run.status, 0) << run.err;
  EXPECT_TRUE(contains(run.err, kNotUsed)) << run.err;
  char byte;
  EXPECT_LE(read(reader, &byte, 1), 0);
  close(reader);
}

// The host active file and its temporary file

constexpr const char* kSpool = "upstream";

struct HostileHostActive : testsupport::NewsSiteTest {
  HostileHostActive() : NewsSiteTest(kSpool, "*") { fixed_options = {"--nopost"}; }

  std::string temp_path() const { return site.path(std::string("inhosts/") + kSpool + ".tmp"); }

  // alt.test has articles 1 and 2 on the server.
  void serve_alt_test() {
    set_active({"alt.test"});
    for (long n = 1; n <= 2; ++n) {
      server.add_simple_article("alt.test", n, "<" + std::to_string(n) + ".alt.test@test>",
                                "upstream!poster");
    }
  }
};

TEST_F(HostileHostActive, LinkAtTheTemporaryFileIsReplacedNotFollowed) {
  serve_alt_test();
  set_host_active("alt.test 1\n");
  site.write("victim", "precious\n");
  ASSERT_EQ(symlink(site.path("victim").c_str(), temp_path().c_str()), 0);
  const RunResult result = run();
  ASSERT_EQ(result.status, 0) << result.err;
  EXPECT_EQ(site.read("victim"), "precious\n");
  EXPECT_EQ(host_active(), "alt.test 3\n");
  struct stat st;
  EXPECT_NE(lstat(temp_path().c_str(), &st), 0);
}

TEST_F(HostileHostActive, TemporaryNameThatCannotBeFreedEndsTheRunWithStatus6) {
  serve_alt_test();
  set_host_active("alt.test 1\n");
  ASSERT_EQ(mkdir(temp_path().c_str(), 0755), 0);
  const RunResult result = run();
  EXPECT_EQ(result.status, 6) << result.err;
  EXPECT_TRUE(
      contains(result.err, "tessu: can't create temporary host active \"" + temp_path() + "\": "))
      << result.err;
  EXPECT_EQ(host_active(), "alt.test 1\n");
  EXPECT_TRUE(site.list("locks").empty());
  rmdir(temp_path().c_str());
}

// An old host active file and what the new one must hold for it, line by line.
struct HostileLines {
  std::string old_file;
  std::string expected;

  void add(const std::string& line, const std::string& written) {
    old_file += line;
    expected += written;
  }
  void keep(const std::string& line) { add(line, line); }
  void malformed(const std::string& line) { add(line, "#ERR# " + line); }
};

bool is_blank_or_tab(char c) {
  return c == ' ' || c == '\t';
}

HostileLines hostile_lines() {
  using namespace std::string_literals;
  HostileLines lines;
  lines.add("alt.test 1\n", "alt.test 3\n");
  for (int value = 0; value < 256; ++value) {
    const char b = static_cast<char>(value);
    if (b == '\n') continue;
    const std::string byte(1, b);
    // In a comment, after a malformed line's "!": kept as they are.
    lines.keep("# byte " + byte + " end\n");
    lines.malformed("!" + byte + "bad\n");
    // Inside a group name.
    const std::string group = "g" + byte + ".x 7\n";
    if (b == '\0') {
      lines.malformed(group);
    } else if (is_blank_or_tab(b)) {
      lines.add(group, "g 0\n");  // the name ends; ".x 7" is no number
    } else if (b == ':' || b == '!') {
      lines.add(group, "g 7\n");  // a newsrc line, written in the plain form
    } else {
      lines.keep(group);
    }
    // Inside a tag.
    const std::string tag = ":t" + byte + "x\n";
    if (b == '\0') {
      lines.malformed(tag);
    } else if (is_blank_or_tab(b)) {
      lines.add(tag, ":t\n");
    } else {
      lines.keep(tag);
    }
    // First on the line.
    const std::string first = byte + "lead 4\n";
    if (b == ' ' || b == '\t' || b == '\v' || b == '\f' || b == '\r') {
      lines.add(first, "lead 4\n");
    } else if (b == '\0' || b == '#') {
      lines.keep(first);  // nothing left, or a comment
    } else if (b == '!') {
      lines.malformed(first);
    } else if (b == ':') {
      lines.add(first, ":lead\n");
    } else {
      lines.keep(first);
    }
  }
  // NUL bytes elsewhere: a group line with one is malformed, whatever follows.
  lines.keep("\0\0\0\n"s);
  lines.malformed("alt.test 5\0junk\n"s);
  lines.keep("  \0 after blanks\n"s);
  // A group name of a megabyte comes back whole behind the marker.
  lines.malformed("huge." + std::string(1 << 20, 'h') + " 7\n");
  // A group line with a long tail: the first piece (1023 bytes) is the group,
  // the tail's next piece has no readable name and takes the rest with it.
  const std::string head = "alt.junk 5 ";
  const std::string tail(3000 - (1023 - head.size()), 'j');
  lines.add(head + std::string(1023 - head.size(), 'j') + tail + "\n",
            "alt.junk 5\n#ERR# " + tail + "\n");
  // A newsrc line of a megabyte keeps its last number.
  std::string ranges = "alt.ranges: 1-3";
  while (ranges.size() < (1u << 20)) ranges += ",5-6";
  lines.add(ranges + ",98765\n", "alt.ranges 98765\n");
  // A long comment of every byte but the newline.
  std::string every_byte = "#";
  for (int round = 0; round < 20; ++round) {
    for (int value = 0; value < 256; ++value) {
      if (value != '\n') every_byte += static_cast<char>(value);
    }
  }
  lines.keep(every_byte + "\n");
  // The file ends without a newline.
  lines.add("g.last 2", "g.last 2\n");
  return lines;
}

// Compares two large texts; on a difference names the first differing line.
testing::AssertionResult same_text(const std::string& actual, const std::string& expected) {
  if (actual == expected) return testing::AssertionSuccess();
  size_t at = 0;
  while (at < actual.size() && at < expected.size() && actual[at] == expected[at]) ++at;
  const size_t line_start = expected.rfind('\n', at == 0 ? 0 : at - 1);
  const size_t from = line_start == std::string::npos ? 0 : line_start + 1;
  auto excerpt = [from](const std::string& text) {
    return testing::PrintToString(text.substr(from, 80));
  };
  return testing::AssertionFailure()
         << "sizes " << actual.size() << " and " << expected.size() << ", first difference at byte "
         << at << "; line there: " << excerpt(actual) << " instead of " << excerpt(expected);
}

TEST_F(HostileHostActive, EveryLineOfTheOldFileComesBackWhateverItsBytesAndLength) {
  serve_alt_test();
  const HostileLines lines = hostile_lines();
  set_host_active(lines.old_file);

  RunResult result = run();
  ASSERT_EQ(result.status, 0) << result.err.substr(0, 2000);
  EXPECT_TRUE(same_text(host_active(), lines.expected));
  EXPECT_TRUE(same_text(site.read(std::string("inhosts/") + kSpool + ".old"), lines.old_file));

  // Rewritten once more (a dry run rewrites every line), the file stays as it is.
  result = run({"--dry-run"});
  ASSERT_EQ(result.status, 0) << result.err.substr(0, 2000);
  EXPECT_TRUE(same_text(host_active(), lines.expected));
}

}  // namespace
