// The host lock as whole runs of tessu see it: stale locks are broken, live
// owners are respected, and no run leaves its lock files behind.
#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>
#include <csignal>
#include <cstdlib>
#include <string>
#include <vector>

#include "support/live_process.h"
#include "support/news_site.h"
#include "support/tessu_runner.h"

namespace {

using testsupport::concat;
using testsupport::contains;
using testsupport::LiveOwner;
using testsupport::pid_line;
using testsupport::RunResult;
using testsupport::TempSite;

const char* const kHost = "127.0.0.1";
const char* const kHostLock = "LOCK.tessu.127.0.0.1";

// A socket on 127.0.0.1 listening on an ephemeral port; closed at the end.
struct Listener {
  int fd = -1;
  int port = 0;
  Listener() {
    fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof address;
    if (fd < 0 || bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
        listen(fd, 4) != 0 ||
        getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length) != 0) {
      abort();
    }
    port = ntohs(address.sin_port);
  }
  ~Listener() {
    if (fd >= 0) close(fd);
  }
};

// A port on which nothing listens: connecting fails at once.
std::string closed_port() {
  Listener listener;
  return std::to_string(listener.port);
}

std::vector<std::string> run_args(const TempSite& site, const std::string& port,
                                  const std::vector<std::string>& extra = {}) {
  return testsupport::run_args(site, extra, "news", kHost, port);
}

// Every run here posts and fetches nothing: it locks, connects and ends.
const std::vector<std::string> kLockAndConnect = {"--verbose", "--nopost", "--nofetch"};

TEST(HostLockRun, StaleLockOfDeadProcessIsBrokenAndTheRunGoesOn) {
  TempSite site;
  const pid_t dead = testsupport::dead_pid();
  site.write(std::string("locks/") + kHostLock, pid_line(dead));
  site.write("locks/L." + std::to_string(dead), pid_line(dead));

  const RunResult result = testsupport::run_tessu(run_args(site, closed_port(), kLockAndConnect));
  // Status 3: the run got past the lock to the (refused) connection.
  EXPECT_EQ(result.status, 3) << result.err;
  EXPECT_TRUE(contains(result.err, "process " + std::to_string(dead) + " does not exist"))
      << result.err;
  EXPECT_TRUE(site.list("locks").empty());
}

TEST(HostLockRun, TemporaryFilesOfKilledRunsDoNotPileUp) {
  TempSite site;
  LiveOwner live;
  const pid_t dead = testsupport::dead_pid();
  const std::string live_name = "L." + std::to_string(live.pid);
  const std::string dead_name = "L." + std::to_string(dead);
  site.write("locks/" + live_name, pid_line(live.pid));
  site.write("locks/" + dead_name, pid_line(dead));

  const RunResult result = testsupport::run_tessu(
      run_args(site, closed_port(), {"--debug", "5", "--dry-run", "--nopost", "--nofetch"}));
  EXPECT_EQ(result.status, 0) << result.err;
  EXPECT_TRUE(contains(result.err, "removed stale \"" + site.path("locks/" + dead_name) + "\""))
      << result.err;
  // The live process's file stays; the run's own files are gone.
  EXPECT_EQ(site.list("locks"), std::vector<std::string>{live_name});
}

TEST(HostLockRun, LiveOwnerWithNoqueueEndsWithStatus13) {
  TempSite site;
  LiveOwner owner;
  site.write(std::string("locks/") + kHostLock, pid_line(owner.pid));

  const RunResult result =
      testsupport::run_tessu(run_args(site, closed_port(), concat(kLockAndConnect, {"--noqueue"})));
  EXPECT_EQ(result.status, 13) << result.err;
  EXPECT_TRUE(contains(result.err, "process " + std::to_string(owner.pid) + " has locked \"" +
                                       site.path("locks/") + kHostLock + "\", don't queue up"))
      << result.err;
  // Only probed: the owner lives on and its lock is as it was.
  EXPECT_TRUE(owner.alive());
  EXPECT_EQ(site.list("locks"), std::vector<std::string>{kHostLock});
  EXPECT_EQ(site.read(std::string("locks/") + kHostLock), pid_line(owner.pid));
}

TEST(HostLockRun, TerminatedWhileWaitingRemovesOnlyItsOwnFiles) {
  TempSite site;
  LiveOwner owner;
  site.write(std::string("locks/") + kHostLock, pid_line(owner.pid));

  testsupport::Running waiting =
      testsupport::start_tessu(run_args(site, closed_port(), kLockAndConnect));
  const pid_t tessu = waiting.pid;
  // Its temporary file shows that the run is at the lock, past installing its handlers.
  ASSERT_TRUE(testsupport::wait_for_file(site.path("locks/L." + std::to_string(tessu)), 30));
  kill(tessu, SIGTERM);
  const RunResult result = testsupport::finish_tessu(waiting);

  EXPECT_FALSE(result.signaled);
  EXPECT_EQ(result.status, 1) << result.err;
  EXPECT_TRUE(contains(result.err, std::string("received signal: ") + strsignal(SIGTERM)))
      << result.err;
  EXPECT_TRUE(owner.alive());
  EXPECT_EQ(site.list("locks"), std::vector<std::string>{kHostLock});
  EXPECT_EQ(site.read(std::string("locks/") + kHostLock), pid_line(owner.pid));
}

TEST(HostLockRun, NormalRunHoldsTheLockAndLeavesNothingBehind) {
  TempSite site;
  // A dry run makes no connection and ends with status 0.
  const RunResult result = testsupport::run_tessu(
      run_args(site, closed_port(), {"--debug", "5", "--dry-run", "--nopost", "--nofetch"}));
  EXPECT_EQ(result.status, 0) << result.err;
  EXPECT_TRUE(contains(result.err, "created lock: " + site.path("locks/") + kHostLock))
      << result.err;
  EXPECT_TRUE(contains(result.err, "unlocked: " + site.path("locks/") + kHostLock)) << result.err;
  EXPECT_TRUE(site.list("locks").empty());
}

TEST(HostLockRun, LocksNoneTakesNoLock) {
  TempSite site;
  const RunResult result = testsupport::run_tessu(
      concat(run_args(site, closed_port(), kLockAndConnect), {"--locks", "none"}));
  EXPECT_EQ(result.status, 3) << result.err;
  EXPECT_TRUE(contains(result.err, "no lock\n")) << result.err;
  EXPECT_TRUE(site.list("locks").empty());
}

TEST(HostLockRun, RunsStartedTogetherNeverShareTheHostLock) {
  TempSite site;
  // The server never greets, so whichever run gets the lock keeps it while
  // it waits for the greeting.
  Listener silent;
  const std::vector<std::string> args = run_args(
      site, std::to_string(silent.port), concat(kLockAndConnect, {"--noqueue", "--timeout", "60"}));
  testsupport::Running first = testsupport::start_tessu(args);
  testsupport::Running second = testsupport::start_tessu(args);
  const std::string lock_path = site.path("locks/") + kHostLock;

  ASSERT_TRUE(testsupport::wait_for_file(lock_path, 30));
  const std::string holder_line = site.read(std::string("locks/") + kHostLock);
  const bool first_holds = holder_line == pid_line(first.pid);
  ASSERT_TRUE(first_holds || holder_line == pid_line(second.pid)) << holder_line;
  testsupport::Running& holder = first_holds ? first : second;
  testsupport::Running& other = first_holds ? second : first;
  const pid_t holder_pid = holder.pid;

  const RunResult refused = testsupport::finish_tessu(other);
  EXPECT_EQ(refused.status, 13) << refused.err;
  EXPECT_TRUE(contains(refused.err, "process " + std::to_string(holder_pid) + " has locked \"" +
                                        lock_path + "\", don't queue up"))
      << refused.err;
  // The holder still has its lock, untouched by the other run.
  EXPECT_EQ(site.read(std::string("locks/") + kHostLock), pid_line(holder_pid));

  kill(holder_pid, SIGTERM);
  const RunResult ended = testsupport::finish_tessu(holder);
  EXPECT_FALSE(ended.signaled);
  EXPECT_NE(ended.status, 13) << ended.err;
  EXPECT_TRUE(site.list("locks").empty());
}

}  // namespace
