// Whole-program posting runs against a hostile or damaged outgoing spool:
// entries naming files outside the article spool, FIFOs, devices and huge
// files; symbolic links and FIFOs planted where posting writes; and a togo
// file left behind by a killed run while the news system has begun no new
// batch. Every entry that is not posted stays in the queue.
#include <grp.h>
#include <pwd.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>
#include <cerrno>
#include <cstring>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "support/news_site.h"

namespace {

using testsupport::contains;
using testsupport::Fault;
using testsupport::message_id_of;
using testsupport::RunResult;
using Strings = std::vector<std::string>;

constexpr const char* kSpool = "feed";

// INN layout.
const std::string kBatch = "outgoing/feed";
const std::string kTogo = "outgoing/feed.togo";
const std::string kRetry = "outgoing/feed.retry";
// C News layout.
const std::string kSiteDir = "outgoing/feed";
const std::string kCTogo = "outgoing/feed/togo";
const std::string kCRetry = "outgoing/feed/togo.retry";

// The largest article file tessu posts (doc/tessu.8).
constexpr off_t kMaxArticleSize = 16 * 1024 * 1024;

// What a run may take in memory at most, whatever the spool names: well above
// a 16 MiB article in transmission form, far below what reading a device
// without end would take.
constexpr long kMemoryBoundKiB = 512 * 1024;

const char kSecret[] = "From: root@example.invalid\nSubject: secret\n\nTOP SECRET\n";

std::string id(int n) {
  return "<" + std::to_string(n) + "@test>";
}

// Runs tessu, as the user uid when it is not 0 (the caller being root); the
// result holds the most memory it took.
RunResult run_measured(const Strings& args, uid_t uid = 0) {
  testsupport::RunOptions options;
  if (uid != 0) {
    options.in_child = [uid] {
      return setgroups(0, nullptr) != 0 || setgid(uid) != 0 || setuid(uid) != 0 ? 126 : 0;
    };
  }
  return testsupport::run_tessu(args, options);
}

// run_measured's child could not become the user or could not start tessu
// as that user (whose rights may not reach the build directory).
bool could_not_run_as_user(const RunResult& run) {
  return !run.signaled && (run.status == 126 || run.status == 127);
}

// The user "nobody", or 0 when there is none.
uid_t nobody() {
  const passwd* entry = getpwnam("nobody");
  return entry != nullptr ? entry->pw_uid : 0;
}

void chown_tree(const std::string& path, uid_t uid) {
  const std::string command =
      "chown -R " + std::to_string(uid) + ":" + std::to_string(uid) + " '" + path + "'";
  ASSERT_EQ(system(command.c_str()), 0) << command;
}

// The posting fixture: a news site whose ctlinnd does what INN does on
// "flush" (begin a new batch file), six articles below the article spool,
// and the spool layout as the test's parameter.
struct HostilePost : testsupport::NewsSiteTest, testing::WithParamInterface<bool> {
  std::string ctlinnd = site.path("bin/ctlinnd");

  HostilePost() : NewsSiteTest(kSpool, "*") {
    fixed_options = {"--nofetch", "-d", "--ctlinnd", ctlinnd};
  }

  void SetUp() override {
    NewsSiteTest::SetUp();
    if (HasFatalFailure()) return;
    site.write("bin/ctlinnd", "#!/bin/sh\necho \"$*\" >> " + site.path("ctlinnd.args") + "\n: >> " +
                                  site.path(kBatch) + "\nexit 0\n");
    chmod(ctlinnd.c_str(), 0755);
    for (int n = 1; n <= 6; ++n) {
      site.write("articles/news/misc/" + std::to_string(n),
                 "From: poster" + std::to_string(n) +
                     "@example.invalid\nNewsgroups: misc.test\nSubject: test " + std::to_string(n) +
                     "\nMessage-ID: " + id(n) + "\n\nbody " + std::to_string(n) + "\n");
    }
    if (cnews()) fixed_options.push_back("--cnews");
  }

  bool cnews() const { return GetParam(); }

  // Queues entries as the news system does: one per line with a message-ID.
  void queue(const Strings& entries) const {
    std::string text;
    for (const std::string& entry : entries) text += entry + " <x@test>\n";
    site.write(cnews() ? kCTogo : kBatch, text);
  }

  // The entries that wait for the next run.
  std::string waiting() const { return site.read(cnews() ? kCTogo : kTogo); }

  Strings posted() const {
    Strings ids;
    for (const auto& article : server.articles_received())
      ids.push_back(message_id_of(article.text));
    return ids;
  }

  bool secret_posted() const {
    for (const auto& article : server.articles_received()) {
      if (contains(article.text, "TOP SECRET")) return true;
    }
    return false;
  }
};

std::string layout_name(const testing::TestParamInfo<bool>& info) {
  return info.param ? "CNews" : "Inn";
}

// ---------------------------------------------------------------------------
// Entries outside the article spool.

TEST_P(HostilePost, RootKeepsEntriesOutsideTheArticleSpoolUnposted) {
  if (geteuid() != 0) GTEST_SKIP() << "the refusal applies to runs as root";
  site.write("secret", kSecret);
  symlink(site.path("secret").c_str(), site.path("articles/news/misc/escape").c_str());
  symlink("../../news/misc/../../../secret", site.path("articles/news/misc/dotdot").c_str());
  // A link that stays inside the spool is followed, absolute or relative.
  symlink("1", site.path("articles/news/misc/inside").c_str());
  symlink(site.path("articles/news/misc/2").c_str(), site.path("articles/news/misc/abs").c_str());
  // Entries beginning with '.' are taken from the working directory, here the spool.
  const Strings refused = {"../secret",        "news/../../secret", site.path("secret"),
                           "news/misc/escape", "news/misc/dotdot",  "/etc/passwd"};
  queue({refused[0], refused[1], "news/misc/inside", refused[2], refused[3], refused[4], refused[5],
         "news/misc/abs", "./news/misc/3"});

  testsupport::RunOptions in_spool;
  in_spool.cwd = site.path("articles");
  for (int run_number = 1; run_number <= 2; ++run_number) {
    SCOPED_TRACE(run_number);
    const RunResult result = testsupport::run_tessu(args({}), in_spool);
    ASSERT_EQ(result.status, 0) << result.err;
    for (const std::string& entry : refused) {
      EXPECT_TRUE(contains(result.err, "tessu: article \"" + entry +
                                           "\" is outside the article spool \"" +
                                           site.path("articles") + "\"; kept in the queue\n"))
          << entry << "\n"
          << result.err;
    }
    EXPECT_FALSE(secret_posted());
    std::string expected_waiting;
    for (const std::string& entry : refused) expected_waiting += entry + "\n";
    // Kept for the next run, and there again after it.
    EXPECT_EQ(waiting(), expected_waiting);
  }
  EXPECT_EQ(posted(), (Strings{id(1), id(2), id(3)}));
}

TEST_P(HostilePost, OtherUsersPostEntriesOutsideTheSpoolAsBefore) {
  const uid_t user = nobody();
  if (geteuid() != 0 || user == 0) GTEST_SKIP() << "needs root to run as another user";
  site.write("secret", kSecret);
  queue({site.path("secret"), "news/misc/1"});
  chown_tree(site.root, user);
  const RunResult result = run_measured(args({}), user);
  if (could_not_run_as_user(result)) GTEST_SKIP() << "tessu cannot be run as nobody here";
  ASSERT_EQ(result.status, 0) << result.err;
  EXPECT_TRUE(secret_posted());
  EXPECT_EQ(posted().size(), 2u);
  EXPECT_FALSE(contains(result.err, "outside the article spool")) << result.err;
}

// ---------------------------------------------------------------------------
// Entries that are no regular file, or too large.

TEST_P(HostilePost, FifoEntryIsKeptWithoutHangingTheRun) {
  ASSERT_EQ(mkfifo(site.path("articles/news/misc/fifo").c_str(), 0666), 0);
  queue({"news/misc/fifo", "news/misc/1"});
  const RunResult result = run();
  ASSERT_FALSE(result.signaled) << "killed as hanging\n" << result.err;
  ASSERT_EQ(result.status, 0) << result.err;
  EXPECT_TRUE(contains(
      result.err, "tessu: article \"news/misc/fifo\" is not a regular file; kept in the queue\n"))
      << result.err;
  EXPECT_EQ(posted(), Strings{id(1)});
  EXPECT_EQ(waiting(), "news/misc/fifo\n");
}

TEST_P(HostilePost, DeviceEntryIsKeptWithBoundedMemory) {
  // Inside the spool, as a device node where the system allows making one.
  const bool have_node = geteuid() == 0 && mknod(site.path("articles/news/misc/zero").c_str(),
                                                 S_IFCHR | 0666, makedev(1, 5)) == 0;
  Strings entries = {"/dev/zero", "news/misc/1"};
  if (have_node) entries.push_back("news/misc/zero");
  queue(entries);
  // As another user the device's path is no reason to refuse it; as root it
  // is outside the spool.
  const uid_t user = nobody();
  bool as_other_user = geteuid() == 0 && user != 0;
  RunResult result;
  if (as_other_user) {
    chown_tree(site.root, user);
    result = run_measured(args({}), user);
    as_other_user = !could_not_run_as_user(result);
  }
  if (!as_other_user) result = run_measured(args({}));
  ASSERT_FALSE(result.signaled) << result.err;
  ASSERT_EQ(result.status, 0) << result.err;
  EXPECT_LT(result.max_rss_kib, kMemoryBoundKiB);
  if (geteuid() != 0 || as_other_user) {
    EXPECT_TRUE(contains(result.err,
                         "tessu: article \"/dev/zero\" is not a regular file; kept in the queue\n"))
        << result.err;
  }
  if (have_node) {
    EXPECT_TRUE(contains(
        result.err, "tessu: article \"news/misc/zero\" is not a regular file; kept in the queue\n"))
        << result.err;
  }
  EXPECT_EQ(posted(), Strings{id(1)});
  EXPECT_EQ(waiting(), have_node ? "/dev/zero\nnews/misc/zero\n" : "/dev/zero\n");
}

TEST_P(HostilePost, ArticleLargerThanTheLimitIsKeptUnread) {
  // A sparse file one byte over the limit: nothing of it needs reading.
  const std::string huge = site.path("articles/news/misc/huge");
  site.write("articles/news/misc/huge", "");
  ASSERT_EQ(truncate(huge.c_str(), kMaxArticleSize + 1), 0);
  queue({"news/misc/huge", "news/misc/1"});
  const RunResult result = run_measured(args({}));
  ASSERT_EQ(result.status, 0) << result.err;
  EXPECT_TRUE(contains(result.err,
                       "tessu: article \"news/misc/huge\" is larger than 16777216 "
                       "bytes; kept in the queue\n"))
      << result.err;
  EXPECT_LT(result.max_rss_kib, kMemoryBoundKiB);
  EXPECT_EQ(posted(), Strings{id(1)});
  EXPECT_EQ(waiting(), "news/misc/huge\n");
}

TEST_P(HostilePost, ArticleOfExactlyTheLimitIsPosted) {
  std::string text = "From: big@example.invalid\nSubject: big\nMessage-ID: <big@test>\n\n";
  const std::string line = std::string(79, 'x') + "\n";
  while (text.size() + line.size() <= static_cast<size_t>(kMaxArticleSize)) text += line;
  text += std::string(kMaxArticleSize - text.size() - 1, 'y') + "\n";
  ASSERT_EQ(text.size(), static_cast<size_t>(kMaxArticleSize));
  site.write("articles/news/misc/big", text);
  queue({"news/misc/big"});
  // 16 MiB through a sanitizer build on a busy machine: a generous bound.
  testsupport::RunOptions options;
  options.timeout_seconds = 600;
  const RunResult result = testsupport::run_tessu(args({}), options);
  ASSERT_EQ(result.status, 0) << result.err;
  EXPECT_EQ(posted(), Strings{"<big@test>"});
  ASSERT_EQ(server.articles_received().size(), 1u);
  EXPECT_EQ(server.articles_received()[0].text, text);
}

// ---------------------------------------------------------------------------
// A togo file left by a killed run while the news system has no new batch.

TEST_P(HostilePost, LeftoverEntriesArePostedWithoutANewBatch) {
  if (cnews()) {
    // C News: a run that ended early left held entries while the togo file
    // itself is gone.
    site.write(kCRetry, "news/misc/1\nnews/misc/2\n");
  } else {
    site.write(kTogo, "news/misc/1 <1@test>\nnews/misc/2 <2@test>\n");
  }
  server.set_faults({Fault{Fault::kReplyCode, "POST", 2, "441 posting failed", 0}});
  RunResult result = run();
  ASSERT_EQ(result.status, 0) << result.err;
  EXPECT_EQ(posted(), Strings{id(1)});
  EXPECT_EQ(waiting(), "news/misc/2\n");
  if (cnews()) {
    EXPECT_EQ(site.list(kSiteDir), Strings{"togo"});
  } else {
    // INN was told to close whatever it had open before the entries were read.
    EXPECT_EQ(site.read("ctlinnd.args"), "-s -t600 flush feed\n");
    EXPECT_EQ(site.list("outgoing"), (Strings{"feed", "feed.togo"}));
  }

  // And once more with only the held entry left and still no new batch.
  server.set_faults({});
  unlink(site.path(kBatch).c_str());
  if (cnews()) rename(site.path(kCTogo).c_str(), site.path(kCRetry).c_str());
  result = run();
  ASSERT_EQ(result.status, 0) << result.err;
  EXPECT_EQ(posted(), (Strings{id(1), id(2)}));
  if (cnews()) {
    EXPECT_EQ(site.list(kSiteDir), Strings{"togo"});
    EXPECT_EQ(site.read(kCTogo), "");
  } else {
    EXPECT_EQ(site.list("outgoing"), Strings{"feed"});
  }
}

TEST_P(HostilePost, EmptyLeftoverWithoutANewBatchIsAnEmptySpool) {
  site.write(cnews() ? kCRetry : kTogo, "");
  const RunResult result = run();
  EXPECT_EQ(result.status, 0) << result.err;
  EXPECT_TRUE(contains(result.err, "outgoing spool is empty\n")) << result.err;
  EXPECT_EQ(server.connections(), 0);
}

TEST_P(HostilePost, NothingQueuedAndNoSpoolFileStillFails) {
  if (cnews()) mkdir(site.path(kSiteDir).c_str(), 0775);
  const RunResult result = run();
  EXPECT_EQ(result.status, 5) << result.err;
  EXPECT_TRUE(contains(result.err, cnews() ? "tessu: can't open C spool \"" + site.path(kCTogo)
                                           : "tessu: can't open INN spool \"" + site.path(kBatch)))
      << result.err;
}

// ---------------------------------------------------------------------------
// Files posting writes: planted links and FIFOs.

TEST_P(HostilePost, LinksAtTheLogAndFolderAreNotFollowed) {
  site.write("victim", "untouched\n");
  symlink(site.path("victim").c_str(), site.path("post.log").c_str());
  symlink(site.path("victim").c_str(), site.path("posted").c_str());
  queue({"news/misc/1", "news/misc/2"});
  const RunResult result = run({"--log", site.path("post.log"), "--posted", site.path("posted")});
  ASSERT_EQ(result.status, 0) << result.err;
  EXPECT_EQ(posted(), (Strings{id(1), id(2)}));
  EXPECT_EQ(site.read("victim"), "untouched\n");
  EXPECT_TRUE(contains(result.err, "tessu: can't open logfile: " + site.path("post.log")))
      << result.err;
  EXPECT_TRUE(contains(result.err, "tessu: can't open folder: " + site.path("posted")))
      << result.err;
}

TEST_P(HostilePost, FifosAtTheLogAndFolderDoNotHangTheRun) {
  ASSERT_EQ(mkfifo(site.path("post.log").c_str(), 0666), 0);
  ASSERT_EQ(mkfifo(site.path("posted").c_str(), 0666), 0);
  queue({"news/misc/1"});
  const RunResult result = run({"--log", site.path("post.log"), "--posted", site.path("posted")});
  ASSERT_FALSE(result.signaled) << "killed as hanging\n" << result.err;
  ASSERT_EQ(result.status, 0) << result.err;
  EXPECT_EQ(posted(), Strings{id(1)});
  EXPECT_TRUE(contains(result.err, "tessu: can't open logfile: " + site.path("post.log")))
      << result.err;
}

TEST_P(HostilePost, LinkAtTheRetryFileIsNotFollowed) {
  site.write("victim", "untouched\n");
  queue({"news/misc/1", "news/misc/2"});
  ASSERT_EQ(symlink(site.path("victim").c_str(), site.path(cnews() ? kCRetry : kRetry).c_str()), 0);
  server.set_faults({Fault{Fault::kReplyCode, "POST", 2, "441 posting failed", 0}});
  const RunResult result = run();
  EXPECT_EQ(result.status, 5) << result.err;
  EXPECT_EQ(site.read("victim"), "untouched\n");
  EXPECT_TRUE(contains(result.err, strerror(ELOOP))) << result.err;
  // Nothing is lost: the queued entries wait where the next run looks.
  EXPECT_EQ(cnews() ? site.read(kCTogo) : site.read(kTogo),
            "news/misc/1 <x@test>\nnews/misc/2 <x@test>\n");
}

TEST_P(HostilePost, FifoAtTheTogoFileDoesNotHangTheRun) {
  // INN: where an earlier run's togo file would be; C News: the togo file itself.
  if (cnews()) mkdir(site.path(kSiteDir).c_str(), 0775);
  ASSERT_EQ(mkfifo(site.path(cnews() ? kCTogo : kTogo).c_str(), 0666), 0);
  if (!cnews()) site.write(kBatch, "news/misc/1\n");
  const RunResult result = run();
  ASSERT_FALSE(result.signaled) << "killed as hanging\n" << result.err;
  EXPECT_EQ(result.status, 5) << result.err;
  EXPECT_TRUE(contains(result.err, "is not a regular file\n")) << result.err;
  EXPECT_EQ(server.articles_received().size(), 0u);
  if (!cnews()) {
    EXPECT_EQ(site.read(kBatch), "news/misc/1\n");
  }
}

INSTANTIATE_TEST_SUITE_P(BothLayouts, HostilePost, testing::Bool(), layout_name);

}  // namespace
