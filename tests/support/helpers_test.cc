// The test helpers others lean on: the settings guard, waiting for a
// condition, and the child-process runner.
#include <poll.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>
#include <atomic>
#include <chrono>
#include <string>
#include <thread>

#include <gtest/gtest.h>

#include "base/settings.h"
#include "groups/newsfeeds.h"
#include "groups/patterns.h"
#include "support/settings_guard.h"
#include "support/tessu_runner.h"
#include "support/wait.h"

namespace testsupport {
namespace {

TEST(SettingsGuard, PutsBackTheSettingsAndTheGroupSelection) {
  const int verbosity = base::g_settings.verbosity;
  const base::Text spool_name = base::g_settings.spool_name;
  const size_t groups_patterns = groups::g_groups_list.patterns.size();
  const size_t entry_patterns = groups::g_entry_list.patterns.size();
  const size_t excluded = groups::g_excluded_sites.size();
  const bool special = groups::g_special_exclude;
  {
    const SettingsGuard guard;
    base::g_settings.verbosity = verbosity + 7;
    base::g_settings.spool_name = "changed-by-the-test";
    groups::add_pattern("comp.*", groups::g_groups_list, false);
    groups::add_pattern("misc.*", groups::g_entry_list, true);
    groups::g_excluded_sites.push_back("elsewhere");
    groups::g_special_exclude = !groups::g_special_exclude;
  }
  EXPECT_EQ(base::g_settings.verbosity, verbosity);
  EXPECT_EQ(base::g_settings.spool_name, spool_name);
  EXPECT_EQ(groups::g_groups_list.patterns.size(), groups_patterns);
  EXPECT_EQ(groups::g_entry_list.patterns.size(), entry_patterns);
  EXPECT_EQ(groups::g_excluded_sites.size(), excluded);
  EXPECT_EQ(groups::g_special_exclude, special);
}

TEST(WaitUntil, SeesAConditionThatAnotherThreadMakesTrue) {
  std::atomic<bool> done{false};
  std::thread setter([&done] { done = true; });
  EXPECT_TRUE(wait_until([&done] { return done.load(); }));
  setter.join();
}

TEST(WaitUntil, GivesUpOnAConditionThatNeverHolds) {
  int looks = 0;
  EXPECT_FALSE(wait_until(
      [&looks] {
        ++looks;
        return false;
      },
      std::chrono::milliseconds(30)));
  EXPECT_GE(looks, 2);
}

TEST(SleepsInPoll, TellsAThreadWaitingInPollFromARunningOne) {
  int fds[2];
  ASSERT_EQ(pipe(fds), 0);
  std::atomic<pid_t> waiter_tid{0};
  std::thread waiter([&] {
    waiter_tid = static_cast<pid_t>(syscall(SYS_gettid));
    struct pollfd input = {fds[0], POLLIN, 0};
    poll(&input, 1, 60000);
  });
  EXPECT_TRUE(wait_until([&] { return waiter_tid != 0 && sleeps_in_poll(getpid(), waiter_tid); }));
  // This thread is busy reading /proc.
  EXPECT_FALSE(sleeps_in_poll(getpid(), static_cast<pid_t>(syscall(SYS_gettid))));
  ASSERT_EQ(write(fds[1], "x", 1), 1);
  waiter.join();
  close(fds[0]);
  close(fds[1]);
}

TEST(TessuRunner, ChildHookRunsInTheChildBeforeTessu) {
  TempSite site;
  const pid_t test_process = getpid();
  const std::string mark = site.path("mark");
  RunOptions options;
  options.cwd = site.root;
  options.in_child = [&] {
    char here[4096];
    // Runs after the change of directory, in another process than the test.
    if (getpid() == test_process || getcwd(here, sizeof here) == nullptr) return 3;
    return mkdir(mark.c_str(), 0755) == 0 ? 0 : 4;
  };
  const RunResult result = run_tessu({"--version"}, options);
  EXPECT_EQ(result.status, 0) << result.err;
  EXPECT_TRUE(contains(result.out, "tessu version")) << result.out;
  EXPECT_TRUE(site.exists("mark"));
}

TEST(TessuRunner, ChildHookFailureEndsTheChildWithItsStatus) {
  RunOptions options;
  options.in_child = [] { return 42; };
  const RunResult result = run_tessu({"--version"}, options);
  EXPECT_FALSE(result.signaled);
  EXPECT_EQ(result.status, 42);
  EXPECT_EQ(result.out, "");
}

TEST(TessuRunner, OutputReadWhileWaitingIsPartOfTheResult) {
  RunOptions options;
  options.env = {{"NNTPSERVER", "\x01"}};
  Running running = start_tessu({}, options);
  ASSERT_TRUE(wait_for_err(running, "spool name missing\n"));
  const RunResult result = finish_tessu(running);
  EXPECT_EQ(result.err, "spool name missing\n");
  EXPECT_TRUE(contains(result.out, "Usage:\n")) << result.out;
  EXPECT_GT(result.max_rss_kib, 0);
}

TEST(TessuRunner, WaitForErrEndsWhenTessuEndsWithoutTheText) {
  Running running = start_tessu({"--version"});
  EXPECT_FALSE(wait_for_err(running, "never written"));
  EXPECT_EQ(finish_tessu(running).status, 0);
}

}  // namespace
}  // namespace testsupport
