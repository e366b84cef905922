
#include <gtest/gtest.h>

#include <sys/stat.h>
#include <unistd.h>
#include <csignal>
#include <string>

#include "base/settings.h"
#include "support/live_process.h"
#include "support/settings_guard.h"
#include "support/tessu_runner.h"
#include "sys/locks.h"

namespace {

using testsupport::dead_pid;
using testsupport::LiveOwner;
using testsupport::pid_line;
using testsupport::TempSite;

// Each test gets its own LOCKS directory and the settings the lock code reads.
class LocksTest : public ::testing::Test {
 protected:
  void SetUp() override {
    base::g_settings.paths.locks = site_.path("locks");
    base::g_settings.timeout = 0;
    base::g_settings.noforce = 0;
    base::g_settings.verbosity = 0;
    // These tests lock files in etc/ and expect to find only their own there.
    unlink(site_.path("etc/newsfeeds").c_str());
  }
  void TearDown() override { sys::unlock_all(); }
  std::string locks(const std::string& name) const { return site_.path("locks/" + name); }

  testsupport::SettingsGuard settings_guard_;
  TempSite site_;
};

TEST_F(LocksTest, ReadLockPidTakesTheLeadingDecimalNumber) {
  site_.write("locks/own", pid_line(getpid()));
  EXPECT_EQ(sys::read_lock_pid(locks("own").c_str(), true), getpid());
  site_.write("locks/blanks", "  \t42 trailing words\n");
  EXPECT_EQ(sys::read_lock_pid(locks("blanks").c_str(), true), 42);
  site_.write("locks/no-newline", "77");
  EXPECT_EQ(sys::read_lock_pid(locks("no-newline").c_str(), true), 77);
  // Taken as a 32-bit id: 2^32 + 5 becomes 5.
  site_.write("locks/wide", "4294967301\n");
  EXPECT_EQ(sys::read_lock_pid(locks("wide").c_str(), true), 5);
}

TEST_F(LocksTest, ReadLockPidGivesZeroForUnusableFiles) {
  site_.write("locks/garbage", "garbage\n");
  site_.write("locks/zero", "0\n");
  site_.write("locks/negative", "-12\n");
  site_.write("locks/empty", "");
  for (const char* name : {"garbage", "zero", "negative", "empty", "missing"}) {
    EXPECT_EQ(sys::read_lock_pid(locks(name).c_str(), true), 0) << name;
    EXPECT_EQ(sys::read_lock_pid(locks(name).c_str(), false), 0) << name;
  }
  // A directory cannot be read as a lock file.
  EXPECT_EQ(sys::read_lock_pid(site_.path("locks").c_str(), true), 0);
}

TEST_F(LocksTest, LockHeldOnlyWhileTheNamedProcessExists) {
  site_.write("locks/own", pid_line(getpid()));
  EXPECT_TRUE(sys::lock_held(locks("own").c_str()));
  // Process 1 always exists, whether or not we may signal it (EPERM counts as alive).
  site_.write("locks/init", "1\n");
  EXPECT_TRUE(sys::lock_held(locks("init").c_str()));
  site_.write("locks/dead", pid_line(dead_pid()));
  EXPECT_FALSE(sys::lock_held(locks("dead").c_str()));
  site_.write("locks/garbage", "x1\n");
  EXPECT_FALSE(sys::lock_held(locks("garbage").c_str()));
  EXPECT_FALSE(sys::lock_held(locks("missing").c_str()));
}

TEST_F(LocksTest, LockInLocksWritesOurIdAndRemovesEverythingAtUnlockAll) {
  const int slot = sys::lock(nullptr, "LOCK.tessu.news.example", false);
  ASSERT_GE(slot, 0);
  ASSERT_LT(slot, sys::kLockSlots);
  const std::string temporary = "L." + std::to_string(getpid());
  EXPECT_EQ(site_.list("locks"), (std::vector<std::string>{temporary, "LOCK.tessu.news.example"}));
  EXPECT_EQ(site_.read("locks/LOCK.tessu.news.example"), pid_line(getpid()));

  // The one temporary file serves a second lock in LOCKS too.
  const int second = sys::lock(nullptr, "LOCK.spool", false);
  ASSERT_GE(second, 0);
  EXPECT_NE(second, slot);
  EXPECT_EQ(site_.list("locks").size(), 3u);
  EXPECT_EQ(site_.read("locks/LOCK.spool"), pid_line(getpid()));

  sys::unlock(second);
  EXPECT_FALSE(site_.exists("locks/LOCK.spool"));
  EXPECT_TRUE(site_.exists("locks/LOCK.tessu.news.example"));
  sys::unlock_all();
  EXPECT_TRUE(site_.list("locks").empty());
}

TEST_F(LocksTest, PathAndDirectoryLocksUseTheirOwnTemporaryFile) {
  const std::string pid = std::to_string(getpid());
  const std::string whole = site_.path("etc/log.LOCKtessu");
  const int by_path = sys::lock("", whole.c_str(), false);
  const int by_dir = sys::lock(site_.path("outgoing").c_str(), "LOCKb", false);
  ASSERT_GE(by_path, 0);
  ASSERT_GE(by_dir, 0);
  EXPECT_EQ(site_.read("etc/log.LOCKtessu"), pid + "\n");
  EXPECT_TRUE(site_.exists("etc/log.LOCKtessu." + pid));
  EXPECT_EQ(site_.read("outgoing/LOCKb"), pid + "\n");
  EXPECT_TRUE(site_.exists("outgoing/LOCKb." + pid));
  EXPECT_TRUE(site_.list("locks").empty());
  sys::unlock_all();
  EXPECT_TRUE(site_.list("etc").empty());
  EXPECT_TRUE(site_.list("outgoing").empty());
}

TEST_F(LocksTest, TemporaryFileIsNeverWrittenThroughALink) {
  const std::string pid = std::to_string(getpid());
  site_.write("etc/target", "precious\n");
  const std::string target = site_.path("etc/target");
  ASSERT_EQ(symlink(target.c_str(), locks("L." + pid).c_str()), 0);
  const std::string whole = site_.path("outgoing/log.LOCKtessu");
  ASSERT_EQ(symlink(target.c_str(), (whole + "." + pid).c_str()), 0);

  ASSERT_GE(sys::lock(nullptr, "LOCK.spool", false), 0);
  ASSERT_GE(sys::lock("", whole.c_str(), false), 0);
  EXPECT_EQ(site_.read("etc/target"), "precious\n");
  EXPECT_EQ(site_.read("locks/LOCK.spool"), pid_line(getpid()));
  EXPECT_EQ(site_.read("outgoing/log.LOCKtessu"), pid_line(getpid()));
  struct stat status;
  ASSERT_EQ(lstat(locks("L." + pid).c_str(), &status), 0);
  EXPECT_TRUE(S_ISREG(status.st_mode));
  sys::unlock_all();
  EXPECT_TRUE(site_.list("locks").empty());
  EXPECT_TRUE(site_.list("outgoing").empty());
}

TEST_F(LocksTest, TemporaryFilesOfDeadProcessesAreRemovedWhenALockIsTaken) {
  LiveOwner live;
  const pid_t dead = dead_pid();
  const std::string live_name = "L." + std::to_string(live.pid);
  const std::string dead_name = "L." + std::to_string(dead);
  site_.write("locks/" + live_name, pid_line(live.pid));
  site_.write("locks/" + dead_name, pid_line(dead));
  // Not temporary files of this program's making: left alone.
  for (const char* other : {"L.", "L.x1", "L.0", "L.99999999999", "LOCK.other", "innd.pid"}) {
    site_.write(std::string("locks/") + other, "1\n");
  }
  // A lock of the dead process keeps its own name: the lock is broken only
  // by whoever wants it.
  ASSERT_EQ(link(locks(dead_name).c_str(), locks("LOCK.dead").c_str()), 0);

  // Locks outside LOCKS do not look there.
  ASSERT_GE(sys::lock(site_.path("outgoing").c_str(), "LOCKb", false), 0);
  EXPECT_TRUE(site_.exists("locks/" + dead_name));

  ASSERT_GE(sys::lock(nullptr, "LOCK.spool", false), 0);
  EXPECT_FALSE(site_.exists("locks/" + dead_name));
  EXPECT_TRUE(site_.exists("locks/" + live_name));
  EXPECT_EQ(site_.read("locks/LOCK.dead"), pid_line(dead));
  for (const char* other : {"L.", "L.x1", "L.0", "L.99999999999", "LOCK.other", "innd.pid"}) {
    EXPECT_TRUE(site_.exists(std::string("locks/") + other)) << other;
  }
}

TEST_F(LocksTest, LocksNoneOrUnsetTakesNothing) {
  base::g_settings.paths.locks = "none";
  EXPECT_EQ(sys::lock(nullptr, "LOCK.tessu.host", false), -1);
  EXPECT_EQ(sys::lock("", site_.path("etc/stat.LOCKtessu").c_str(), false), -1);
  base::g_settings.paths.locks.reset();
  EXPECT_EQ(sys::lock(site_.path("outgoing").c_str(), "LOCKb", false), -1);
  sys::unlock(-1);
  EXPECT_TRUE(site_.list("etc").empty());
  EXPECT_TRUE(site_.list("outgoing").empty());
  EXPECT_TRUE(site_.list("locks").empty());
}

TEST_F(LocksTest, UnlockIgnoresBadAndEmptySlots) {
  const int slot = sys::lock(nullptr, "LOCK.a", false);
  ASSERT_GE(slot, 0);
  for (int bad : {-1, sys::kLockSlots, sys::kLockSlots + 1, -1000}) sys::unlock(bad);
  EXPECT_TRUE(site_.exists("locks/LOCK.a"));

  sys::unlock(slot);
  EXPECT_FALSE(site_.exists("locks/LOCK.a"));
  // The slot is empty now: a file made anew under that name is not ours.
  site_.write("locks/LOCK.a", "1\n");
  sys::unlock(slot);
  EXPECT_TRUE(site_.exists("locks/LOCK.a"));
}

TEST_F(LocksTest, ListOverflowLeavesTheUnrecordedFilesBehind) {
  // Each path lock records two files: its temporary file and the lock itself.
  for (int i = 0; i < sys::kLockSlots / 2; ++i) {
    const std::string name = site_.path("etc/f" + std::to_string(i) + ".LOCKtessu");
    EXPECT_GE(sys::lock("", name.c_str(), false), 0) << i;
  }
  const std::string extra = site_.path("etc/extra.LOCKtessu");
  EXPECT_EQ(sys::lock("", extra.c_str(), false), -1);
  EXPECT_EQ(site_.read("etc/extra.LOCKtessu"), pid_line(getpid()));

  sys::unlock_all();
  const std::string pid = std::to_string(getpid());
  EXPECT_EQ(site_.list("etc"),
            (std::vector<std::string>{"extra.LOCKtessu", "extra.LOCKtessu." + pid}));
}

TEST_F(LocksTest, StaleLockOfDeadProcessIsBroken) {
  const pid_t dead = dead_pid();
  const std::string dead_text = std::to_string(dead);
  site_.write("locks/LOCK.tessu.host", pid_line(dead));
  site_.write("locks/L." + dead_text, pid_line(dead));

  const int slot = sys::lock(nullptr, "LOCK.tessu.host", true);
  ASSERT_GE(slot, 0);
  EXPECT_EQ(site_.read("locks/LOCK.tessu.host"), pid_line(getpid()));
  EXPECT_FALSE(site_.exists("locks/L." + dead_text));
  sys::unlock_all();
  EXPECT_TRUE(site_.list("locks").empty());
}

TEST_F(LocksTest, LockNamingOurselvesIsRemovedAndTaken) {
  const std::string whole = site_.path("etc/posted.LOCKtessu");
  site_.write("etc/posted.LOCKtessu", pid_line(getpid()));
  EXPECT_GE(sys::lock("", whole.c_str(), true), 0);
  EXPECT_EQ(site_.read("etc/posted.LOCKtessu"), pid_line(getpid()));
}

TEST_F(LocksTest, LiveOwnerWithDontQueueEndsTheRun) {
  LiveOwner owner;
  site_.write("locks/LOCK.tessu.host", pid_line(owner.pid));
  EXPECT_EXIT(sys::lock(nullptr, "LOCK.tessu.host", true), ::testing::ExitedWithCode(13),
              "process [0-9]+ has locked \".*/LOCK.tessu.host\", don't queue up");
  // The owner is untouched and its lock stays; the child's own files are gone.
  EXPECT_TRUE(owner.alive());
  EXPECT_EQ(site_.list("locks"), (std::vector<std::string>{"LOCK.tessu.host"}));
  EXPECT_EQ(site_.read("locks/LOCK.tessu.host"), pid_line(owner.pid));
}

TEST_F(LocksTest, EmptyLockAtTheProbeEndsTheRun) {
  site_.write("locks/LOCK.tessu.host", "");
  EXPECT_EXIT(sys::lock(nullptr, "LOCK.tessu.host", false), ::testing::ExitedWithCode(13),
              "lockfile \".*/LOCK.tessu.host\" is empty");
  EXPECT_EQ(site_.list("locks"), (std::vector<std::string>{"LOCK.tessu.host"}));
}

TEST_F(LocksTest, NoforceGivesUpAfterTheWait) {
  LiveOwner owner;
  base::g_settings.timeout = 1;
  base::g_settings.noforce = 1;
  base::g_settings.verbosity = 1;
  site_.write("locks/LOCK.tessu.host", pid_line(owner.pid));
  EXPECT_EXIT(sys::lock(nullptr, "LOCK.tessu.host", false), ::testing::ExitedWithCode(13),
              "file lock \".*/LOCK.tessu.host\" timed out(.|\n)*no attempt at unlocking by force");
  EXPECT_TRUE(owner.alive());
  EXPECT_EQ(site_.list("locks"), (std::vector<std::string>{"LOCK.tessu.host"}));
}

TEST_F(LocksTest, OwnerThatOutstaysTheWaitIsTerminatedAndTheLockTaken) {
  LiveOwner owner;
  base::g_settings.timeout = 1;
  const std::string whole = site_.path("etc/stat.LOCKtessu");
  const std::string owner_temporary = "etc/stat.LOCKtessu." + std::to_string(owner.pid);
  site_.write("etc/stat.LOCKtessu", pid_line(owner.pid));
  site_.write(owner_temporary, pid_line(owner.pid));

  EXPECT_GE(sys::lock("", whole.c_str(), false), 0);
  EXPECT_TRUE(owner.ended_by(SIGTERM));
  EXPECT_EQ(site_.read("etc/stat.LOCKtessu"), pid_line(getpid()));
  EXPECT_FALSE(site_.exists(owner_temporary));
}

}  // namespace
