// Whole runs of tessu that post articles an INN batch file names by storage
// token: each read through a stand-in for INN's sm in the site's NEWSBIN, the
// article posted as one read from a file would be, a missing one done with
// as a missing file is, and every other failure of sm keeping its entry.
#include <sys/stat.h>
#include <unistd.h>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "support/news_site.h"
#include "support/nntp_server.h"
#include "support/tessu_runner.h"

namespace {

using testsupport::concat;
using testsupport::contains;
using testsupport::RunResult;
using testsupport::TempSite;
using testsupport::TestNntpServer;
using Strings = std::vector<std::string>;

// A storage token as INN writes it, its last two digits the number given.
std::string token(int n) {
  char digits[3];
  snprintf(digits, sizeof digits, "%02d", n);
  return "@0A01000000000000000000000000000000" + std::string(digits) + "@";
}

// What the stand-in sm writes for token(1): INN's native form, LF line ends.
const char kStoredArticle[] =
    "Path: leaf!not-for-mail\n"
    "From: Ann <ann@example.org>\n"
    "Newsgroups: misc.test\n"
    "Subject: stored\n"
    "Message-ID: <stored@example.org>\n"
    "Xref: leaf misc.test:7\n"
    "\n"
    ".a line with a leading dot\n"
    "last line\n";

// The largest article tessu posts (doc/tessu.8): sm's output may not be larger.
constexpr long kMaxArticleSize = 16L * 1024 * 1024;

// A site whose NEWSBIN holds ctlinnd and a stand-in for sm that records its
// arguments and, by the token's last two digits: 01 writes kStoredArticle,
// 02 knows no such article (exit 1, silent, as sm -q), 03 outlives the
// time-out, 04 cannot open the store (exit 1 and a message), 05 ends well
// but writes nothing, 06 writes one byte more than tessu takes, 07 is killed
// by a signal, 08 writes half an article and fails; 09 and 10 write
// kStoredArticle with the message-IDs <recent@example.org> and
// <unknown@example.org>.
struct StorageTokenRun : testing::Test {
  TempSite site;
  TestNntpServer server;
  int port = 0;
  std::string batch;

  void SetUp() override {
    port = server.start();
    ASSERT_GT(port, 0);
    write_program("bin/ctlinnd", "exit 0\n");
    write_program("bin/sm",
                  "printf '%s|' \"$#\" \"$@\" >> '" + site.path("sm.args") +
                      "'\n"
                      "echo >> '" +
                      site.path("sm.args") +
                      "'\n"
                      "case \"$2\" in\n"
                      "  *01@) cat '" +
                      site.path("stored") +
                      "' ;;\n"
                      "  *02@) exit 1 ;;\n"
                      "  *03@) exec sleep 60 ;;\n"
                      "  *04@) echo 'sm: cannot initialize storage manager' >&2; exit 1 ;;\n"
                      "  *05@) exit 0 ;;\n"
                      "  *06@) head -c " +
                      std::to_string(kMaxArticleSize + 1) +
                      " /dev/zero | tr '\\0' x ;;\n"
                      "  *07@) kill -9 $$ ;;\n"
                      "  *08@) printf 'From: a@b\\n'; exit 2 ;;\n"
                      "  *09@) sed 's/<stored@/<recent@/' '" +
                      site.path("stored") +
                      "' ;;\n"
                      "  *10@) sed 's/<stored@/<unknown@/' '" +
                      site.path("stored") +
                      "' ;;\n"
                      "  *) exit 1 ;;\n"
                      "esac\n");
    site.write("stored", kStoredArticle);
    // The history: <stored@example.org> came two hours ago, <recent@example.org>
    // just now, any other is not known.
    write_program("bin/grephistory",
                  "printf '%s|' \"$#\" \"$@\" >> '" + site.path("grephistory.args") +
                      "'\n"
                      "now=$(date +%s)\n"
                      "case \"$2\" in\n"
                      "  '<stored@example.org>') arrived=$((now - 7200)) ;;\n"
                      "  '<recent@example.org>') arrived=$now ;;\n"
                      "  *) echo 'grephistory: not found' >&2; exit 1 ;;\n"
                      "esac\n"
                      "printf '[0123456789ABCDEF0123456789ABCDEF]\\t%s~-~%s\\t%s\\n' "
                      "\"$arrived\" \"$arrived\" '" +
                      token(1) + "'\n");
    const std::string r = site.root;
    // The site's own INN configuration, as a site names its paths; NEWSBIN
    // is where sm is looked for.
    site.write("innshellvars",
               "INND=" + r + "/bin/innd\nNEWSHOME=" + r + "\nPATHETC=" + r + "/etc\nNEWSBIN=" + r +
                   "/bin\nSPOOL=" + r + "/articles\nBATCH=" + r + "/outgoing\nINCOMING=" + r +
                   "/incoming\nACTIVE=" + r + "/db/active\nHISTORY=" + r + "/db/history\nLOCKS=" +
                   r + "/locks\nNEWSFEEDS=" + r + "/etc/newsfeeds\nINHOSTS=" + r + "/inhosts\n");
  }

  void write_program(const std::string& relative, const std::string& body) const {
    site.write(relative, "#!/bin/sh\n" + body);
    chmod(site.path(relative).c_str(), 0755);
  }

  // Lists an entry in the batch file as INN's Tf,Wn feed does.
  void queue(const std::string& entry) {
    batch += entry + "\n";
    site.write("outgoing/feed", batch);
  }

  RunResult run(const Strings& extra = {}) const {
    const Strings options = {
        "--config-is", site.path("innshellvars"), "--nofetch", "-d",
        "--log",       site.path("post.log"),     "--stat",    site.path("stat")};
    return testsupport::run_tessu(testsupport::run_args(site, concat(options, extra), "feed",
                                                        "127.0.0.1", std::to_string(port)));
  }

  // The entries held for the next run.
  std::string held() const { return site.read("outgoing/feed.togo"); }
  // Each run of sm: its argument count and arguments.
  std::string sm_runs() const { return site.read("sm.args"); }
  std::string sm_run(int n) const { return "2|-q|" + token(n) + "|\n"; }

  // The statuses of the log's lines, in order.
  Strings log_statuses() const {
    Strings statuses;
    const std::string log = site.read("post.log");
    size_t start = 0;
    for (size_t end = log.find('\n'); end != std::string::npos; end = log.find('\n', start)) {
      const std::string line = log.substr(start, end - start);
      const size_t last_tab = line.rfind('\t');
      const size_t before = line.rfind('\t', last_tab - 1);
      statuses.push_back(line.substr(before + 1, last_tab - before - 1));
      start = end + 1;
    }
    return statuses;
  }
};

TEST_F(StorageTokenRun, ArticleOfATokenIsPostedAsAFileWouldBe) {
  queue(token(1));
  site.write("articles/misc/test/9", kStoredArticle);
  queue("misc/test/9");
  const RunResult r = run();
  ASSERT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(sm_runs(), sm_run(1));
  const auto& received = server.articles_received();
  ASSERT_EQ(received.size(), 2u);
  // POST leaves out Path and Xref; the dot was doubled on the wire and undone.
  const std::string posted =
      "From: Ann <ann@example.org>\nNewsgroups: misc.test\nSubject: stored\n"
      "Message-ID: <stored@example.org>\n\n.a line with a leading dot\nlast line\n";
  EXPECT_EQ(received[0].command, "POST");
  EXPECT_EQ(received[0].text, posted);
  EXPECT_EQ(received[1].text, received[0].text);
  EXPECT_TRUE(contains(site.read("post.log"),
                       "feed\t<stored@example.org>\t" + token(1) + "\tAnn <ann@example.org>\tOK\t"))
      << site.read("post.log");
  EXPECT_EQ(held(), "");
  EXPECT_TRUE(site.list("outgoing").empty());
}

TEST_F(StorageTokenRun, IhaveOffersTheTokensArticleWithItsPath) {
  queue(token(1));
  const RunResult r = run({"--ihave"});
  ASSERT_EQ(r.status, 0) << r.err;
  const auto& received = server.articles_received();
  ASSERT_EQ(received.size(), 1u);
  EXPECT_EQ(received[0].command, "IHAVE <stored@example.org>");
  EXPECT_EQ(received[0].text,
            "Path: leaf!not-for-mail\nFrom: Ann <ann@example.org>\nNewsgroups: misc.test\n"
            "Subject: stored\nMessage-ID: <stored@example.org>\n\n"
            ".a line with a leading dot\nlast line\n");
  EXPECT_EQ(held(), "");
}

TEST_F(StorageTokenRun, ArticleSmDoesNotKnowIsMissingAsAMissingFileIs) {
  queue(token(2));
  queue("misc/test/none");
  const RunResult r = run();
  ASSERT_EQ(r.status, 0) << r.err;
  EXPECT_TRUE(contains(r.err, "can't find article \"" + token(2) + "\"")) << r.err;
  EXPECT_TRUE(contains(r.err, "can't find article \"misc/test/none\"")) << r.err;
  EXPECT_EQ(log_statuses(), (Strings{"Missing", "Missing"}));
  EXPECT_TRUE(server.articles_received().empty());
  EXPECT_EQ(held(), "");
  EXPECT_TRUE(site.list("outgoing").empty());
}

TEST_F(StorageTokenRun, SmStillRunningAtTheTimeoutIsStoppedAndTheEntryKept) {
  queue(token(3));
  queue(token(1));
  const RunResult r = run({"--timeout", "1"});
  ASSERT_EQ(r.status, 0) << r.err;
  EXPECT_TRUE(contains(r.err, "still running after 1 seconds, terminating it")) << r.err;
  EXPECT_TRUE(contains(
      r.err, "can't read article \"" + token(3) + "\" through sm: timed out; kept in the queue"))
      << r.err;
  // The article after it is posted all the same.
  ASSERT_EQ(server.articles_received().size(), 1u);
  EXPECT_EQ(log_statuses(), Strings{"OK"});
  EXPECT_EQ(held(), token(3) + "\n");
}

TEST_F(StorageTokenRun, EveryOtherFailureOfSmKeepsTheEntry) {
  for (int n : {4, 5, 6, 7, 8}) queue(token(n));
  queue(token(1));
  const RunResult r = run();
  ASSERT_EQ(r.status, 0) << r.err;
  // The article after them is posted all the same.
  ASSERT_EQ(server.articles_received().size(), 1u);
  EXPECT_EQ(log_statuses(), Strings{"OK"});
  EXPECT_EQ(held(), token(4) + "\n" + token(5) + "\n" + token(6) + "\n" + token(7) + "\n" +
                        token(8) + "\n");
  const std::string kept = "; kept in the queue";
  EXPECT_TRUE(contains(r.err, "can't read article \"" + token(4) +
                                  "\" through sm: exit status 1, \"sm: cannot initialize "
                                  "storage manager\"" +
                                  kept))
      << r.err;
  EXPECT_TRUE(contains(r.err, "\"" + token(5) + "\" through sm: it wrote nothing" + kept)) << r.err;
  EXPECT_TRUE(contains(r.err, "article \"" + token(6) + "\" is larger than 16777216 bytes" + kept))
      << r.err;
  EXPECT_TRUE(contains(r.err, "\"" + token(7) + "\" through sm: killed by signal 9" + kept))
      << r.err;
  EXPECT_TRUE(contains(r.err, "\"" + token(8) + "\" through sm: exit status 2" + kept)) << r.err;
  EXPECT_FALSE(contains(r.err, "can't find article")) << r.err;
}

TEST_F(StorageTokenRun, SmThatCannotBeRunKeepsTheEntry) {
  unlink(site.path("bin/sm").c_str());
  queue(token(1));
  const RunResult r = run();
  ASSERT_EQ(r.status, 0) << r.err;
  EXPECT_TRUE(contains(r.err, "can't exec: " + site.path("bin/sm"))) << r.err;
  EXPECT_TRUE(contains(r.err, "can't read article \"" + token(1) +
                                  "\" through sm: it could not be run; kept in the queue"))
      << r.err;
  EXPECT_TRUE(server.articles_received().empty());
  EXPECT_EQ(site.read("post.log"), "");
  EXPECT_EQ(held(), token(1) + "\n");
}

TEST_F(StorageTokenRun, EntryBetweenAtSignsThatIsNoTokenIsKeptUnread) {
  const Strings odd = {"@0A01@", "@-c" + token(1).substr(3), "@../../etc/passwd@"};
  for (const std::string& entry : odd) queue(entry);
  const RunResult r = run();
  ASSERT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(sm_runs(), "");
  for (const std::string& entry : odd) {
    EXPECT_TRUE(contains(
        r.err, "\"" + entry + "\" is no storage token as INN writes them; kept in the queue"))
        << r.err;
  }
  EXPECT_EQ(held(), odd[0] + "\n" + odd[1] + "\n" + odd[2] + "\n");
}

TEST_F(StorageTokenRun, FailKillsARefusedArticleByItsArrivalInTheHistory) {
  for (int n : {1, 9, 10}) queue(token(n));
  for (int nth = 1; nth <= 3; ++nth) {
    server.script.faults.push_back(
        testsupport::Fault{testsupport::Fault::kReplyCode, "POST", nth, "441 not here", 0});
  }
  const RunResult r = run({"--fail", "1", "--bounce", "none"});
  ASSERT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(site.read("grephistory.args"),
            "2|-l|<stored@example.org>|2|-l|<recent@example.org>|2|-l|<unknown@example.org>|");
  // Two hours old against a limit of one: killed. Younger, or of no known
  // arrival: kept.
  EXPECT_TRUE(contains(r.err, "failed article \"" + token(1) + "\" killed")) << r.err;
  EXPECT_TRUE(contains(r.err, "the history has no arrival time for <unknown@example.org>"))
      << r.err;
  // Killed articles are not logged, as always.
  EXPECT_EQ(site.read("post.log"), "");
  EXPECT_EQ(held(), token(9) + "\n" + token(10) + "\n");
}

TEST_F(StorageTokenRun, NoStorageApiRefusesTokensAsBefore) {
  queue(token(1));
  queue(token(2));
  const RunResult r = run({"--no-storage-api"});
  ASSERT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(sm_runs(), "");
  EXPECT_TRUE(contains(r.err, "no storage-API support for \"" + token(1) + "\"")) << r.err;
  EXPECT_TRUE(contains(r.err, "no storage-API support for \"" + token(2) + "\"")) << r.err;
  EXPECT_TRUE(server.articles_received().empty());
  // Refused entries are done with, unlogged, as they always were.
  EXPECT_EQ(site.read("post.log"), "");
  EXPECT_EQ(held(), "");
}

}  // namespace
