// Whole-program posting runs: the outgoing spool of both layouts taken over,
// posted to the scripted server and put in order for the next run; and no
// entry lost when a run fails or is killed at any point.
#include <sys/resource.h>
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
using testsupport::Fault;
using testsupport::message_id_of;
using testsupport::RunResult;
using Strings = std::vector<std::string>;

constexpr const char* kSpool = "feed";

// INN layout: the batch file and its companions in the outgoing directory.
const std::string kBatch = "outgoing/feed";
const std::string kTogo = "outgoing/feed.togo";
const std::string kRetry = "outgoing/feed.retry";
const std::string kOld = "outgoing/feed.old";
// C News layout: the site directory and its togo file.
const std::string kSiteDir = "outgoing/feed";
const std::string kCTogo = "outgoing/feed/togo";

// A spool line as the news system writes it: reference, message-ID, size.
std::string entry_line(int n) {
  return "news/misc/" + std::to_string(n) + " <" + std::to_string(n) + "@test> 123\n";
}

std::string entry_lines(const std::vector<int>& numbers) {
  std::string text;
  for (int n : numbers) text += entry_line(n);
  return text;
}

std::string id(int n) {
  return "<" + std::to_string(n) + "@test>";
}

struct PostRun : testsupport::NewsSiteTest {
  std::string ctlinnd = site.path("bin/ctlinnd");

  PostRun() : NewsSiteTest(kSpool, "*") {
    fixed_options = {"--nofetch", "-d", "--ctlinnd", ctlinnd};
  }

  void SetUp() override {
    NewsSiteTest::SetUp();
    if (HasFatalFailure()) return;
    // Stands in for ctlinnd: records its arguments, fails when told to, and
    // on success does what INN does on "flush": begins a new batch file.
    site.write("bin/ctlinnd",
               "#!/bin/sh\n"
               "echo \"$*\" >> " +
                   site.path("ctlinnd.args") +
                   "\n"
                   "[ -e " +
                   site.path("ctlinnd.fail") +
                   " ] && exit 1\n"
                   ": >> " +
                   site.path(kBatch) +
                   "\n"
                   "exit 0\n");
    chmod(ctlinnd.c_str(), 0755);
    for (int n = 1; n <= 6; ++n) {
      site.write("articles/news/misc/" + std::to_string(n),
                 "From: poster" + std::to_string(n) +
                     "@example.invalid\nNewsgroups: misc.test\nSubject: test " + std::to_string(n) +
                     "\nMessage-ID: " + id(n) + "\n\nbody " + std::to_string(n) + "\n");
    }
  }

  // The message-IDs of the articles the server received, in order.
  Strings posted() const {
    Strings ids;
    for (const auto& article : server.articles_received()) {
      EXPECT_EQ(article.command, "POST");
      ids.push_back(message_id_of(article.text));
    }
    return ids;
  }

  Strings ids(const std::vector<int>& numbers) const {
    Strings result;
    for (int n : numbers) result.push_back(id(n));
    return result;
  }

  // Nothing of a run may stay in the lock directory.
  void expect_no_locks() const { EXPECT_EQ(site.list("locks"), Strings{}); }
};

TEST_F(PostRun, InnPostsEveryQueuedArticleAndLeavesANewBatch) {
  site.write(kBatch, entry_lines({1, 2, 3}));
  const RunResult result = run();
  ASSERT_EQ(result.status, 0) << result.err;
  EXPECT_EQ(posted(), ids({1, 2, 3}));
  EXPECT_EQ(site.read("ctlinnd.args"), "-s -t600 flush feed\n");
  // The togo file is gone with everything posted; INN's new batch is empty.
  EXPECT_EQ(site.list("outgoing"), Strings{"feed"});
  EXPECT_EQ(site.read(kBatch), "");
  expect_no_locks();
}

TEST_F(PostRun, InnEmptyBatchIsAnEmptySpoolAndItsTogoWaits) {
  site.write(kBatch, "");
  const RunResult result = run();
  EXPECT_EQ(result.status, 0) << result.err;
  EXPECT_TRUE(contains(result.err, "outgoing spool is empty\n")) << result.err;
  EXPECT_EQ(server.connections(), 0);
  EXPECT_TRUE(site.exists(kTogo));
  EXPECT_EQ(site.read(kTogo), "");
  expect_no_locks();
}

TEST_F(PostRun, InnRefusedArticleIsOfferedAgainAfterTheNewEntries) {
  site.write(kBatch, entry_lines({1, 2, 3}));
  server.set_faults({Fault{Fault::kReplyCode, "POST", 2, "441 posting failed", 0}});
  RunResult result = run();
  ASSERT_EQ(result.status, 0) << result.err;
  EXPECT_EQ(posted(), ids({1, 3}));
  // Only the reference is kept, and it now waits in the togo file.
  EXPECT_EQ(site.read(kTogo), "news/misc/2\n");
  EXPECT_FALSE(site.exists(kRetry));
  EXPECT_FALSE(site.exists(kOld));

  // INN queues another article; the next run offers it first, then the held one.
  site.write(kBatch, entry_line(4));
  result = run();
  ASSERT_EQ(result.status, 0) << result.err;
  EXPECT_EQ(posted(), ids({1, 3, 4, 2}));
  EXPECT_EQ(site.list("outgoing"), Strings{"feed"});
  expect_no_locks();
}

TEST_F(PostRun, InnLeftoversOfAnEarlierRunFollowTheNewEntries) {
  // An earlier run left its togo file and a retry file behind.
  site.write(kBatch, entry_line(1));
  site.write(kTogo, entry_line(3));
  site.write(kRetry, "news/misc/4\n");
  RunResult result = run({"--keepold"});
  ASSERT_EQ(result.status, 0) << result.err;
  EXPECT_EQ(posted(), ids({1, 4, 3}));
  // The finished togo file is kept as the old file under --keepold.
  EXPECT_EQ(site.read(kOld), entry_line(1) + "news/misc/4\n" + entry_line(3));
  EXPECT_FALSE(site.exists(kTogo));
  EXPECT_FALSE(site.exists(kRetry));

  // A togo file alone becomes the retry file and follows the new entries.
  site.write(kBatch, entry_line(5));
  site.write(kTogo, entry_lines({6, 2}));
  result = run();
  ASSERT_EQ(result.status, 0) << result.err;
  EXPECT_EQ(posted(), ids({1, 4, 3, 5, 6, 2}));
  EXPECT_EQ(site.list("outgoing"), Strings{"feed"});
}

TEST_F(PostRun, DryRunRenamesAndFlushesButKeepsEveryEntry) {
  site.write(kBatch, entry_lines({1, 2}));
  RunResult result = run({"--dry-run"});
  ASSERT_EQ(result.status, 0) << result.err;
  EXPECT_EQ(server.connections(), 0);
  EXPECT_EQ(site.read("ctlinnd.args"), "-s -t600 flush feed\n");
  EXPECT_EQ(site.read(kTogo), entry_lines({1, 2}));
  EXPECT_FALSE(site.exists(kRetry));
  EXPECT_FALSE(site.exists(kOld));

  result = run();
  ASSERT_EQ(result.status, 0) << result.err;
  EXPECT_EQ(posted(), ids({1, 2}));
  EXPECT_EQ(site.list("outgoing"), Strings{"feed"});
}

TEST_F(PostRun, InnBatchThatCannotBeOpened) {
  // No batch file at all.
  RunResult result = run();
  EXPECT_EQ(result.status, 5) << result.err;
  EXPECT_TRUE(contains(result.err, "tessu: can't open INN spool \"" + site.path(kBatch) + "\": "))
      << result.err;
  EXPECT_EQ(server.connections(), 0);
  expect_no_locks();

  // With --continue the run goes on without posting, and fetches.
  result = testsupport::run_tessu(testsupport::run_args(
      site, {"-d", "--continue", "--ctlinnd", ctlinnd}, kSpool, "127.0.0.1", server.port_string()));
  EXPECT_EQ(result.status, 0) << result.err;
  EXPECT_TRUE(contains(result.err, "can't open INN spool")) << result.err;
  EXPECT_TRUE(contains(result.err, "outgoing spool is empty\n")) << result.err;
  EXPECT_TRUE(contains(result.err, "fetching news\n")) << result.err;
  EXPECT_EQ(server.count_commands("POST"), 0u);
  EXPECT_EQ(server.count_commands("QUIT"), 1u);
  EXPECT_FALSE(site.exists("ctlinnd.args"));
}

TEST_F(PostRun, CNewsPostsHoldsAndRecreatesTheTogoFile) {
  site.write(kCTogo, entry_lines({1, 2, 3}));
  server.set_faults({Fault{Fault::kReplyCode, "POST", 2, "441 posting failed", 0}});
  RunResult result = run({"--cnews"});
  ASSERT_EQ(result.status, 0) << result.err;
  EXPECT_EQ(posted(), ids({1, 3}));
  EXPECT_EQ(site.read(kCTogo), "news/misc/2\n");
  EXPECT_EQ(site.list(kSiteDir), Strings{"togo"});
  EXPECT_FALSE(site.exists("ctlinnd.args"));
  expect_no_locks();

  // C News queues more; nothing held: the togo file is left empty.
  site.write(kCTogo, site.read(kCTogo) + entry_line(4));
  result = run({"--cnews", "--keepold"});
  ASSERT_EQ(result.status, 0) << result.err;
  EXPECT_EQ(posted(), ids({1, 3, 2, 4}));
  EXPECT_EQ(site.list(kSiteDir), (Strings{"togo", "togo.old"}));
  EXPECT_EQ(site.read(kCTogo), "");
  EXPECT_EQ(site.read(kCTogo + ".old"), "news/misc/2\n" + entry_line(4));
}

TEST_F(PostRun, CNewsTogoNameAndMissingTogo) {
  site.write(kSiteDir + "/queue", entry_line(1));
  RunResult result = run({"--cnews", "--togo", "queue"});
  ASSERT_EQ(result.status, 0) << result.err;
  EXPECT_EQ(posted(), ids({1}));
  EXPECT_EQ(site.list(kSiteDir), Strings{"queue"});

  result = run({"--cnews"});
  EXPECT_EQ(result.status, 5) << result.err;
  EXPECT_TRUE(contains(result.err, "can't open C spool \"" + site.path(kCTogo) + "\": "))
      << result.err;
  expect_no_locks();
  EXPECT_EQ(site.list(kSiteDir), Strings{"queue"});
}

TEST_F(PostRun, CNewsSpoolGivenForInnIsPointedOut) {
  site.write(kCTogo, entry_line(1));
  const RunResult result = run();
  EXPECT_EQ(result.status, 5) << result.err;
  EXPECT_TRUE(contains(result.err, "tessu: you specified '-i' for a C News spool\n")) << result.err;
  EXPECT_EQ(site.read(kCTogo), entry_line(1));
}

// Nothing lost: a run that fails or dies leaves every unsettled entry where
// the next run offers it again.

TEST_F(PostRun, FailingCtlinndKeepsTheEntriesForTheNextRun) {
  site.write(kBatch, entry_lines({1, 2}));
  site.write("ctlinnd.fail", "");
  RunResult result = run();
  EXPECT_EQ(result.status, 5) << result.err;
  EXPECT_TRUE(contains(result.err, "tessu: ctlinnd flush failed, returned status 256\n"))
      << result.err;
  EXPECT_EQ(server.connections(), 0);
  EXPECT_EQ(site.read(kTogo), entry_lines({1, 2}));
  expect_no_locks();

  // With --continue the same failure only skips posting.
  site.write(kBatch, entry_line(3));
  result = run({"--continue"});
  EXPECT_EQ(result.status, 0) << result.err;
  EXPECT_TRUE(contains(result.err, "outgoing spool is empty\n")) << result.err;
  EXPECT_EQ(server.connections(), 0);

  // Once INN answers again, everything is posted: the newest batch first,
  // then the older ones in the order they were queued.
  unlink(site.path("ctlinnd.fail").c_str());
  site.write(kBatch, entry_line(4));
  result = run();
  ASSERT_EQ(result.status, 0) << result.err;
  EXPECT_EQ(posted(), ids({4, 1, 2, 3}));
  EXPECT_EQ(site.list("outgoing"), Strings{"feed"});
}

TEST_F(PostRun, InnServerClosingInTheMiddleLosesNothing) {
  site.write(kBatch, entry_lines({1, 2, 3}));
  server.set_faults({Fault{Fault::kReplyCode, "POST", 1, "441 posting failed", 0},
                     Fault{Fault::kCloseMidReply, "POST", 3, "", 0}});
  RunResult result = run();
  EXPECT_EQ(result.status, 9) << result.err;
  EXPECT_EQ(posted(), ids({2}));

  server.set_faults({});
  result = run();
  ASSERT_EQ(result.status, 0) << result.err;
  // Every entry of the broken run is offered again, the posted one too (the
  // server then has it twice), and the one it held once more besides.
  EXPECT_EQ(posted(), ids({2, 1, 1, 2, 3}));
  EXPECT_EQ(site.list("outgoing"), Strings{"feed"});
  EXPECT_EQ(site.read(kBatch), "");
}

TEST_F(PostRun, CNewsServerClosingBeforeTheReplyLosesNothing) {
  site.write(kCTogo, entry_lines({1, 2, 3}));
  server.set_faults({Fault{Fault::kReplyCode, "POST", 1, "441 posting failed", 0},
                     Fault{Fault::kCloseBeforeReply, "POST", 3, "", 0}});
  RunResult result = run({"--cnews"});
  EXPECT_EQ(result.status, 9) << result.err;
  EXPECT_EQ(posted(), ids({2}));
  EXPECT_EQ(site.read(kCTogo), entry_lines({1, 2, 3}));

  server.set_faults({});
  result = run({"--cnews"});
  ASSERT_EQ(result.status, 0) << result.err;
  EXPECT_EQ(posted(), ids({2, 1, 2, 3}));
  EXPECT_EQ(site.read(kCTogo), "");
  // The retry file the broken run began is not read; it waits until a run
  // holds an entry again.
  EXPECT_EQ(site.read(kCTogo + ".retry"), "news/misc/1\n");
}

TEST_F(PostRun, RunKilledInTheMiddleLosesNothing) {
  site.write(kBatch, entry_lines({1, 2, 3, 4}));
  server.set_faults({Fault{Fault::kReplyCode, "POST", 1, "441 posting failed", 0},
                     Fault{Fault::kStall, "POST", 3, "", 0}});
  testsupport::Running running = testsupport::start_tessu(args({}));
  ASSERT_TRUE(testsupport::wait_until([&] { return server.count_commands("POST") >= 3; }));
  kill(running.pid, SIGKILL);
  const RunResult killed = testsupport::finish_tessu(running);
  EXPECT_TRUE(killed.signaled);
  EXPECT_EQ(posted(), ids({2}));

  server.set_faults({});
  site.write(kBatch, entry_line(5));
  // The killed run's host lock would only cost a wait; its spool lock is
  // broken as stale on the way.
  const RunResult result = run({"--nohostlock"});
  ASSERT_EQ(result.status, 0) << result.err;
  EXPECT_EQ(posted(), ids({2, 5, 1, 1, 2, 3, 4}));
  EXPECT_EQ(site.list("outgoing"), Strings{"feed"});
  EXPECT_FALSE(site.exists("locks/LOCK.feed"));
}

// Runs tessu with a limit on the size of the files it writes, as a full disk
// would have it (SIGXFSZ ignored, so a write past the limit fails).
RunResult run_with_file_size_limit(const Strings& args, rlim_t limit) {
  testsupport::RunOptions options;
  options.in_child = [limit] {
    struct rlimit size_limit = {limit, limit};
    setrlimit(RLIMIT_FSIZE, &size_limit);
    signal(SIGXFSZ, SIG_IGN);
    return 0;
  };
  return testsupport::run_tessu(args, options);
}

TEST_F(PostRun, RetryFileThatCannotBeWrittenLosesNothing) {
  // A retry file left by an earlier run fills the allowed size, so the first
  // entry held in this run cannot be written.
  const std::string leftover = "news/misc/6\n" + std::string(4, 'x') + "\n";
  site.write(kCTogo + ".retry", leftover);
  site.write(kCTogo, entry_lines({1, 2, 3}));
  server.set_faults({Fault{Fault::kReplyCode, "POST", 2, "441 posting failed", 0}});
  RunResult result = run_with_file_size_limit(args({"--cnews"}), leftover.size());
  EXPECT_EQ(result.status, 5) << result.err;
  EXPECT_TRUE(contains(result.err, "tessu: can't write \"" + site.path(kCTogo + ".retry") +
                                       "\": " + strerror(EFBIG)))
      << result.err;
  EXPECT_EQ(posted(), ids({1}));
  EXPECT_EQ(site.read(kCTogo), entry_lines({1, 2, 3}));

  server.set_faults({});
  result = run({"--cnews"});
  ASSERT_EQ(result.status, 0) << result.err;
  EXPECT_EQ(posted(), ids({1, 1, 2, 3}));
}

}  // namespace
