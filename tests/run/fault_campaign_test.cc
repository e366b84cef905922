// A seeded fault campaign: runs killed with SIGKILL at random moments of
// fetching and of posting (both outgoing spool layouts), and servers that
// close the connection at random byte offsets of their replies, each trial
// followed by a normal run. After every trial: no article is lost, every
// published batch is whole, no more is fetched again than what was
// published since the last checkpoint of the host active file, and nothing
// is left behind that blocks the next run or piles up.
//
// The seed is printed with every failure; TESSU_FAULT_SEED=<number> runs the
// campaign with another one.
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <csignal>
#include <cstdint>
#include <cstdlib>
#include <map>
#include <mutex>
#include <random>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "support/news_site.h"
#include "support/wait.h"

namespace {

using testsupport::concat;
using testsupport::contains;
using testsupport::Fault;
using testsupport::message_id_of;
using testsupport::Running;
using testsupport::RunOptions;
using testsupport::RunResult;
using testsupport::split_batch;
using testsupport::TempSite;
using testsupport::TestNntpServer;
using Strings = std::vector<std::string>;
using Ids = std::multiset<std::string>;

constexpr uint64_t kDefaultSeed = 20261209;
constexpr const char* kSeedVariable = "TESSU_FAULT_SEED";
// Trials per campaign: enough to meet the pull loop, the flushes, the
// checkpoints and the cleanup, few enough for a quick suite.
constexpr int kFetchKillTrials = 14;
constexpr int kFetchCloseTrials = 14;
constexpr int kPostKillTrials = 8;
// Generous bound on waiting for a run to reach the moment it is killed at.
constexpr auto kWaitBound = std::chrono::seconds(30);

constexpr const char* kFetchSpool = "upstream";
constexpr const char* kPostSpool = "feed";
constexpr const char* kHost = "127.0.0.1";
const std::string kHostLock = std::string("LOCK.tessu.") + kHost;

uint64_t campaign_seed() {
  const char* text = getenv(kSeedVariable);
  if (text == nullptr || *text == '\0') return kDefaultSeed;
  return std::strtoull(text, nullptr, 10);
}

// The random choices of one trial: the same seed and trial number always
// make the same choices.
struct Trial {
  Trial(const std::string& campaign, int number)
      : seed(campaign_seed()),
        label(campaign + " trial " + std::to_string(number) + " of seed " + std::to_string(seed) +
              " (" + kSeedVariable + " changes it)") {
    std::seed_seq sequence{seed, static_cast<uint64_t>(number),
                           static_cast<uint64_t>(std::hash<std::string>{}(campaign))};
    random.seed(sequence);
  }

  int between(int low, int high) { return std::uniform_int_distribution<int>(low, high)(random); }

  uint64_t seed;
  std::string label;
  std::mt19937_64 random;
};

bool has_exited(pid_t pid) {
  siginfo_t info = {};
  return waitid(P_PID, static_cast<id_t>(pid), &info, WEXITED | WNOHANG | WNOWAIT) == 0 &&
         info.si_pid == pid;
}

// Starts a run and kills it with SIGKILL once the server has received at
// least `lines` lines and a further `delay_us` microseconds have passed
// (unless it ended before). The result says whether the kill hit it.
RunResult run_and_kill(const Strings& args, const RunOptions& options, const TestNntpServer& server,
                       size_t lines, int delay_us, pid_t* pid) {
  Running running = testsupport::start_tessu(args, options);
  *pid = running.pid;
  // Looked at often, so that the kill lands close to the moment chosen.
  testsupport::wait_until(
      [&] { return server.count_commands("") >= lines || has_exited(running.pid); }, kWaitBound,
      std::chrono::microseconds(200));
  // The further delay is what the campaign varies, not a wait for anything.
  std::this_thread::sleep_for(std::chrono::microseconds(delay_us));
  kill(running.pid, SIGKILL);
  return testsupport::finish_tessu(running);
}

// The lock files a killed run left hold its process id, so the next run
// breaks them as stale (which costs it seconds of waiting, tested with the
// lock files): this stands in for that, and removes what breaking removes.
void break_stale_locks(const TempSite& site, const std::string& directory, pid_t killed) {
  const std::string pid = std::to_string(killed);
  for (const std::string& name : site.list(directory)) {
    const std::string own_temporary = "." + pid;
    if (name.rfind("LOCK", 0) != 0 || (name.size() > own_temporary.size() &&
                                       name.compare(name.size() - own_temporary.size(),
                                                    own_temporary.size(), own_temporary) == 0)) {
      continue;
    }
    EXPECT_EQ(site.read(directory + "/" + name), pid + "\n") << directory << "/" << name;
    unlink(site.path(directory + "/" + name).c_str());
    unlink(site.path(directory + "/" + name + "." + pid).c_str());
  }
}

// Nothing of any run may stay in the lock directory once a run has ended
// normally: neither locks nor "L." files, the killed run's included.
void expect_no_locks(const TempSite& site) {
  EXPECT_EQ(site.list("locks"), Strings{});
}

// ---------------------------------------------------------------------------
// Fetching

// A fetch site: groups of numbered articles on the server, a host active
// file with comments, a tag, a malformed line, an inactive group and a
// listed unseen group, and one active group not listed at all.
struct FetchSite {
  TempSite site;
  TestNntpServer server;
  Ids all_ids;
  Strings options = {"--nopost", "--size", "300"};

  static constexpr const char* kHostActive =
      "# fault campaign\ncomp.a 1\n:middle\n!not a group\ncomp.b 1\ngone.group 5\ncomp.c 0\n"
      "# end\n";
  static constexpr const char* kFinalHostActive =
      "# fault campaign\ncomp.a 13\n:middle\n#ERR# !not a group\ncomp.b 13\ngone.group 5\n"
      "comp.c 9\n# end\ncomp.d 9\n";

  bool start() {
    if (server.start() <= 0) return false;
    site.write("etc/newsfeeds", std::string("ME:*::\n") + kFetchSpool + ":*::\n");
    std::string active;
    for (const char* group : {"comp.a", "comp.b", "comp.c", "comp.d"}) {
      active += std::string(group) + " 0000000100 0000000001 y\n";
      const long count = std::string(group) < "comp.c" ? 12 : 8;
      for (long n = 1; n <= count; ++n) {
        const std::string id = "<" + std::to_string(n) + "." + group + "@campaign>";
        server.add_simple_article(group, n, id, "upstream!poster",
                                  "body of " + std::to_string(n) + "\n.dotted line\n");
        all_ids.insert(id);
      }
    }
    site.write("db/active", active);
    site.write(std::string("inhosts/") + kFetchSpool, kHostActive);
    return true;
  }

  Strings args(const Strings& extra = {}) const {
    return testsupport::run_args(site, concat(options, extra), kFetchSpool, kHost,
                                 server.port_string());
  }

  std::string host_active() const { return site.read(std::string("inhosts/") + kFetchSpool); }
  std::string previous_generation() const {
    return site.read(std::string("inhosts/") + kFetchSpool + ".old");
  }

  // The articles of every published batch; false when a batch is not whole.
  bool published(Ids* ids, std::map<int, size_t>* last_batch_of_pid = nullptr) const {
    bool whole = true;
    std::map<int, int> last_sequence;
    for (const std::string& name : site.list("incoming")) {
      if (name.rfind(".tmp.", 0) == 0) continue;
      Strings articles;
      if (!split_batch(site.read("incoming/" + name), &articles)) {
        ADD_FAILURE() << "batch not whole: " << name;
        whole = false;
      }
      for (const std::string& text : articles) ids->insert(message_id_of(text));
      // Published as "time.pid.sequence.t" (the server host is numeric).
      long seconds = 0;
      int pid = 0;
      int sequence = 0;
      if (last_batch_of_pid != nullptr &&
          sscanf(name.c_str(), "%ld.%d.%d.t", &seconds, &pid, &sequence) == 3 &&
          sequence > last_sequence[pid]) {
        last_sequence[pid] = sequence;
        (*last_batch_of_pid)[pid] = articles.size();
      }
    }
    return whole;
  }

  Strings temporary_batches() const {
    Strings names;
    for (const std::string& name : site.list("incoming"))
      if (name.rfind(".tmp.", 0) == 0) names.push_back(name);
    return names;
  }
};

// Checkpoints after every published batch, so that a kill costs at most the
// batch published last.
const RunOptions kEveryBatch = {"", {{"TESSU_CHECKPOINT_SECONDS", "0"}}, "", 60};

// What every fetch trial ends with: after the faulty run (whose host active
// file is `after_fault`), a normal run completes the fetch; every article is
// there, at most `allowed_again` of them twice, every batch whole, and the
// site holds nothing that was left behind.
void expect_recovery(FetchSite& fetch, const std::string& after_fault, size_t allowed_again) {
  const RunResult next = testsupport::run_tessu(fetch.args(), kEveryBatch);
  ASSERT_EQ(next.status, 0) << next.err;
  Ids ids;
  EXPECT_TRUE(fetch.published(&ids));
  const std::set<std::string> distinct(ids.begin(), ids.end());
  EXPECT_EQ(distinct, std::set<std::string>(fetch.all_ids.begin(), fetch.all_ids.end()));
  EXPECT_LE(ids.size() - distinct.size(), allowed_again);
  EXPECT_EQ(fetch.host_active(), FetchSite::kFinalHostActive);
  // The next run's previous generation is what the faulty run left.
  if (after_fault != FetchSite::kFinalHostActive) {
    EXPECT_EQ(fetch.previous_generation(), after_fault);
  }
  // No temporary host active file or checkpoint, no temporary batch.
  EXPECT_EQ(fetch.site.list("inhosts"), (Strings{kFetchSpool, std::string(kFetchSpool) + ".old"}));
  EXPECT_EQ(fetch.temporary_batches(), Strings{});
  expect_no_locks(fetch.site);
}

TEST(FaultCampaign, FetchKilledAtRandomMomentsLosesNothingAndRepeatsOneBatchAtMost) {
  for (int number = 1; number <= kFetchKillTrials; ++number) {
    Trial trial("fetch kill", number);
    SCOPED_TRACE(trial.label);
    FetchSite fetch;
    ASSERT_TRUE(fetch.start());
    fetch.options.push_back("--window");
    fetch.options.push_back(std::to_string(trial.between(0, 2) * 5));
    // About 2 lines per article, 4 GROUPs, MODE READER and QUIT.
    const size_t lines = static_cast<size_t>(trial.between(0, 90));
    const int delay_us = trial.between(0, 3000);

    pid_t pid = -1;
    const RunResult killed =
        run_and_kill(fetch.args(), kEveryBatch, fetch.server, lines, delay_us, &pid);
    if (!killed.signaled) {
      EXPECT_EQ(killed.status, 0) << killed.err;
    }
    const std::string after_kill = fetch.host_active();
    // A checkpoint (or the end) of the killed run replaced the host active
    // file; the previous generation is the file from before the run.
    if (after_kill != FetchSite::kHostActive) {
      EXPECT_EQ(fetch.previous_generation(), FetchSite::kHostActive);
    }
    Ids killed_ids;
    std::map<int, size_t> last_batch;
    EXPECT_TRUE(fetch.published(&killed_ids, &last_batch));
    break_stale_locks(fetch.site, "locks", pid);

    // What the killed run published after its last checkpoint is fetched
    // again, and the article the checkpoint recorded as settled.
    expect_recovery(fetch, after_kill, last_batch[pid] + 1);
    if (HasFailure()) return;
  }
}

TEST(FaultCampaign, FetchServerClosingAtRandomOffsetsLosesNothingAndRepeatsOneAtMost) {
  for (int number = 1; number <= kFetchCloseTrials; ++number) {
    Trial trial("fetch close", number);
    SCOPED_TRACE(trial.label);
    FetchSite fetch;
    ASSERT_TRUE(fetch.start());
    fetch.options.push_back("--window");
    fetch.options.push_back(std::to_string(trial.between(0, 2) * 5));
    // The articles' bytes and some for the status lines: offsets beyond
    // the whole conversation leave it whole.
    long bytes = 0;
    for (const std::string& id : fetch.all_ids) bytes += 330 + static_cast<long>(id.size());
    const long offset = trial.between(0, static_cast<int>(bytes));
    {
      std::lock_guard<std::mutex> lock(fetch.server.mutex_);
      fetch.server.script.close_after_bytes = offset;
    }
    const RunResult cut = testsupport::run_tessu(fetch.args(), kEveryBatch);
    SCOPED_TRACE("connection closed after " + std::to_string(offset) + " bytes");
    EXPECT_FALSE(cut.signaled) << cut.err;
    // Cut before the greeting is whole, the run cannot connect (3); later,
    // the fetch breaks off (9); past QUIT's reply all is done (0).
    EXPECT_TRUE(cut.status == 0 || cut.status == 3 || cut.status == 9) << cut.err;
    Ids cut_ids;
    EXPECT_TRUE(fetch.published(&cut_ids));
    const std::string after_cut = fetch.host_active();
    if (after_cut != FetchSite::kHostActive) {
      EXPECT_EQ(fetch.previous_generation(), FetchSite::kHostActive);
    }
    {
      std::lock_guard<std::mutex> lock(fetch.server.mutex_);
      fetch.server.script.close_after_bytes = -1;
    }
    // A run that ends by itself records the latest settled article, which
    // alone is offered again.
    expect_recovery(fetch, after_cut, 1);
    if (HasFailure()) return;
  }
}

// Not left to chance: a run killed while a group is under way, after some
// batches were published, leaves a checkpoint that counts them.
TEST(FaultCampaign, FetchKilledMidGroupLeavesACheckpoint) {
  FetchSite fetch;
  ASSERT_TRUE(fetch.start());
  fetch.options = {"--nopost", "--size", "1", "--window", "0"};
  // Article 9 of comp.a is never answered: 1 to 8 are published one by one.
  fetch.server.set_faults({Fault{Fault::kStall, "ARTICLE", 9, "", 0}});
  Running running = testsupport::start_tessu(fetch.args(), kEveryBatch);
  const std::string checkpoint =
      "# fault campaign\ncomp.a 8\n:middle\n!not a group\ncomp.b 1\ngone.group 5\ncomp.c 0\n"
      "# end\n";
  testsupport::wait_until([&] { return fetch.host_active() == checkpoint; });
  kill(running.pid, SIGKILL);
  const pid_t pid = running.pid;
  const RunResult killed = testsupport::finish_tessu(running);
  EXPECT_TRUE(killed.signaled);
  // Article 8 is the latest settled: it is recorded, and looked at again.
  // The lines not reached yet stand as they were, the malformed one too.
  ASSERT_EQ(fetch.host_active(), checkpoint);
  EXPECT_EQ(fetch.previous_generation(), FetchSite::kHostActive);
  Ids ids;
  EXPECT_TRUE(fetch.published(&ids));
  EXPECT_EQ(ids.size(), 8u);
  break_stale_locks(fetch.site, "locks", pid);

  fetch.server.set_faults({});
  expect_recovery(fetch, checkpoint, 1);
}

// Messages with what differs between any two runs taken out: the site's
// directory, the server's port, the time and the transfer rate.
std::string run_independent(const std::string& messages, const FetchSite& fetch) {
  std::string text;
  size_t at = 0;
  while (at < messages.size()) {
    size_t end = messages.find('\n', at);
    if (end == std::string::npos) end = messages.size();
    std::string line = messages.substr(at, end - at);
    at = end + 1;
    if (line.rfind("tessu 1.", 0) == 0) continue;  // the version and the time
    for (const auto& [from, to] : {std::pair{fetch.site.root, std::string("SITE")},
                                   std::pair{fetch.server.port_string(), std::string("PORT")}}) {
      for (size_t found; (found = line.find(from)) != std::string::npos;)
        line.replace(found, from.size(), to);
    }
    const size_t rate = line.find(" at ");
    if (line.rfind("posted ", 0) == 0 && rate != std::string::npos) line.erase(rate);
    text += line + "\n";
  }
  return text;
}

// Checkpoints change nothing of a run that ends normally: the same host
// active file, previous generation and messages as a run without any.
TEST(FaultCampaign, CheckpointsLeaveANormalRunAsItWas) {
  std::string results[2];
  std::string files[2];
  for (int every_batch = 0; every_batch <= 1; ++every_batch) {
    FetchSite fetch;
    ASSERT_TRUE(fetch.start());
    const RunResult result =
        testsupport::run_tessu(fetch.args({"--verbose"}), every_batch ? kEveryBatch : RunOptions{});
    EXPECT_EQ(result.status, 0) << result.err;
    results[every_batch] = run_independent(result.err, fetch);
    files[every_batch] = fetch.host_active() + "--\n" + fetch.previous_generation();
    EXPECT_EQ(fetch.host_active(), FetchSite::kFinalHostActive);
    EXPECT_EQ(fetch.previous_generation(), FetchSite::kHostActive);
    EXPECT_EQ(fetch.site.list("inhosts"),
              (Strings{kFetchSpool, std::string(kFetchSpool) + ".old"}));
  }
  EXPECT_EQ(results[0], results[1]);
  EXPECT_EQ(files[0], files[1]);
}

// Temporary batches of runs that died are removed by the next run; one
// that is being written (locked by its writer) stays.
TEST(FaultCampaign, LeftoverTemporaryBatchesAreRemovedButNotOneInUse) {
  FetchSite fetch;
  ASSERT_TRUE(fetch.start());
  const std::string stale = std::string("incoming/.tmp.") + kFetchSpool + "0AV9K1";
  const std::string in_use = std::string("incoming/.tmp.") + kFetchSpool + "12345V";
  const std::string other_spool = "incoming/.tmp.upstreamer0AV9K1";
  const std::string not_ours = std::string("incoming/.tmp.") + kFetchSpool + "abcdef";
  for (const std::string& name : {stale, in_use, other_spool, not_ours})
    fetch.site.write(name, "#! rnews 5\nhalf");
  // The writer of the batch in use: a process holding its write lock.
  int ready[2];
  ASSERT_EQ(pipe(ready), 0);
  const pid_t writer = fork();
  if (writer == 0) {
    const int fd = open(fetch.site.path(in_use).c_str(), O_WRONLY);
    struct flock lock = {};
    lock.l_type = F_WRLCK;
    lock.l_whence = SEEK_SET;
    if (fd < 0 || fcntl(fd, F_SETLK, &lock) != 0) _exit(1);
    [[maybe_unused]] const ssize_t written = write(ready[1], "x", 1);
    pause();
    _exit(0);
  }
  close(ready[1]);
  char byte = 0;
  ASSERT_EQ(read(ready[0], &byte, 1), 1);
  close(ready[0]);

  const RunResult result = testsupport::run_tessu(fetch.args({"--debug", "5"}));
  kill(writer, SIGKILL);
  waitpid(writer, nullptr, 0);
  EXPECT_EQ(result.status, 0) << result.err;
  EXPECT_TRUE(contains(result.err, "removed stale \"" + fetch.site.path(stale) + "\""))
      << result.err;
  EXPECT_FALSE(fetch.site.exists(stale));
  EXPECT_TRUE(fetch.site.exists(in_use));
  EXPECT_TRUE(fetch.site.exists(other_spool));
  EXPECT_TRUE(fetch.site.exists(not_ours));
}

// ---------------------------------------------------------------------------
// Posting

constexpr int kQueued = 8;

std::string post_id(int n) {
  return "<" + std::to_string(n) + "@campaign>";
}

// A posting site in either layout with kQueued articles queued, and a
// stand-in for ctlinnd that, on "flush", begins a new batch file as INN does.
struct PostSite {
  TempSite site;
  TestNntpServer server;
  bool inn = true;

  std::string batch() const { return std::string("outgoing/") + kPostSpool; }
  std::string site_dir() const { return std::string("outgoing/") + kPostSpool; }

  bool start(bool inn_layout) {
    inn = inn_layout;
    // Replies a little late, so that the moments to kill at spread over the run.
    server.script.latency_ms = 4;
    if (server.start() <= 0) return false;
    site.write("etc/newsfeeds", std::string("ME:*::\n") + kPostSpool + ":*::\n");
    site.write("bin/ctlinnd", "#!/bin/sh\n: >> " + site.path(batch()) + "\nexit 0\n");
    chmod(site.path("bin/ctlinnd").c_str(), 0755);
    std::string queue;
    for (int n = 1; n <= kQueued; ++n) {
      write_article(n);
      queue += entry(n);
    }
    site.write(inn ? batch() : site_dir() + "/togo", queue);
    return true;
  }

  // The news system queues one more article.
  void queue_one_more() const {
    const int n = kQueued + 1;
    write_article(n);
    const std::string queue = inn ? batch() : site_dir() + "/togo";
    site.write(queue, site.read(queue) + entry(n));
  }

  void write_article(int n) const {
    site.write("articles/news/misc/" + std::to_string(n),
               "From: poster@example.invalid\nNewsgroups: misc.test\nSubject: test " +
                   std::to_string(n) + "\nMessage-ID: " + post_id(n) + "\n\nbody\n");
  }

  static std::string entry(int n) {
    return "news/misc/" + std::to_string(n) + " " + post_id(n) + " 100\n";
  }

  Strings args() const {
    Strings options = {"--nofetch", "--ctlinnd", site.path("bin/ctlinnd")};
    if (!inn) options.push_back("--cnews");
    return testsupport::run_args(site, options, kPostSpool, kHost, server.port_string());
  }

  std::set<std::string> posted() const {
    std::set<std::string> ids;
    for (const auto& article : server.articles_received()) ids.insert(message_id_of(article.text));
    return ids;
  }

  // The references of the entries the spool files hold that a run reads.
  std::multiset<std::string> queued() const {
    std::multiset<std::string> entries;
    const std::string directory = inn ? "outgoing" : site_dir();
    for (const std::string& name : site.list(directory)) {
      // The old file is a finished queue: the next run does not read it.
      if (name.rfind("LOCK", 0) == 0 || name.ends_with(".old")) continue;
      const std::string path = directory + "/" + name;
      struct stat status;
      if (stat(site.path(path).c_str(), &status) != 0 || !S_ISREG(status.st_mode)) continue;
      std::string text = site.read(path);
      size_t at = 0;
      while (at < text.size()) {
        size_t end = text.find('\n', at);
        if (end == std::string::npos) end = text.size();
        const std::string line = text.substr(at, end - at);
        if (!line.empty()) entries.insert(line.substr(0, line.find(' ')));
        at = end + 1;
      }
    }
    return entries;
  }
};

void post_campaign(bool inn) {
  for (int number = 1; number <= kPostKillTrials; ++number) {
    Trial trial(inn ? "post kill (INN)" : "post kill (C News)", number);
    SCOPED_TRACE(trial.label);
    PostSite post;
    ASSERT_TRUE(post.start(inn));
    // Now and then the server asks for an article to be tried again later.
    if (trial.between(0, 1) == 1) {
      post.server.set_faults({Fault{Fault::kReplyCode, "POST", trial.between(1, kQueued),
                                    "436 transfer not possible; try again later", 0}});
    }
    // Each article is a POST and its text of 7 lines, its end included.
    const size_t lines = static_cast<size_t>(trial.between(0, 8 * kQueued + 2));
    const int delay_us = trial.between(0, 3000);
    pid_t pid = -1;
    const RunResult killed =
        run_and_kill(post.args(), RunOptions{}, post.server, lines, delay_us, &pid);
    if (!killed.signaled) {
      EXPECT_EQ(killed.status, 0) << killed.err;
    }

    // Every entry not posted yet still waits in a spool file.
    const std::set<std::string> posted = post.posted();
    const std::multiset<std::string> waiting = post.queued();
    for (int n = 1; n <= kQueued; ++n) {
      if (posted.count(post_id(n)) == 0) {
        EXPECT_GE(waiting.count("news/misc/" + std::to_string(n)), 1u) << "lost: " << n;
      }
    }
    break_stale_locks(post.site, "locks", pid);
    if (!inn) break_stale_locks(post.site, post.site_dir(), pid);

    post.server.set_faults({});
    const RunResult next = testsupport::run_tessu(post.args());
    ASSERT_EQ(next.status, 0) << next.err;
    std::set<std::string> all;
    for (int n = 1; n <= kQueued; ++n) all.insert(post_id(n));
    EXPECT_EQ(post.posted(), all);
    expect_no_locks(post.site);

    // What the killed run left (an empty togo file taken over by the next
    // run, a finished old file) goes with the next run that posts.
    post.queue_one_more();
    const RunResult later = testsupport::run_tessu(post.args());
    ASSERT_EQ(later.status, 0) << later.err;
    all.insert(post_id(kQueued + 1));
    EXPECT_EQ(post.posted(), all);
    expect_no_locks(post.site);
    if (inn) {
      // Only INN's new (empty) batch file is left: no togo, retry or old file.
      EXPECT_EQ(post.site.list("outgoing"), Strings{kPostSpool});
      EXPECT_EQ(post.site.read(post.batch()), "");
    } else {
      // An empty togo file; a retry file the killed run began may wait (its
      // entries are offered again once a run holds an entry), nothing else.
      Strings names = post.site.list(post.site_dir());
      EXPECT_FALSE(names.empty());
      if (!names.empty()) {
        EXPECT_EQ(names.front(), "togo");
        EXPECT_LE(names.size(), 2u);
        if (names.size() == 2) {
          EXPECT_EQ(names.back(), "togo.retry");
        }
      }
      EXPECT_EQ(post.site.read(post.site_dir() + "/togo"), "");
    }
    if (testing::Test::HasFailure()) return;
  }
}

TEST(FaultCampaign, InnPostingKilledAtRandomMomentsLosesNothing) {
  post_campaign(true);
}

TEST(FaultCampaign, CNewsPostingKilledAtRandomMomentsLosesNothing) {
  post_campaign(false);
}

}  // namespace
