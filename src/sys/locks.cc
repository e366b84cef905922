#include "sys/locks.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#include <array>
#include <cerrno>
#include <charconv>
#include <csignal>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "base/settings.h"
#include "base/status.h"
#include "report/exit.h"
#include "report/message.h"
#include "report/title.h"
#include "report/util.h"
#include "sys/signals.h"
#include "sys/timed_io.h"

namespace sys {

namespace {

using report::message;

// Seconds between two attempts at a contended lock, and the pause between
// signalling an owner and removing its lock.
constexpr int kWaitStep = 5;

// What lock() sends next to the owner of a contended lock: first SIGUSR1 to
// learn whether it lives, then SIGTERM once the wait is over, and after that
// nothing: one more failure ends the run.
constexpr int kForcedUnlock = -1;

// Lock files hold a process id and a newline; more than this is never read.
constexpr size_t kLockFileReadMax = 1023;

// Temporary files in LOCKS are named by this and the process id.
constexpr const char* kTemporaryPrefix = "L.";
constexpr size_t kTemporaryPrefixLength = 2;

// The LOCKS value that turns locking off.
constexpr const char* kLocksOff = "none";

// Every file this process made and must remove at the end: lock files and
// their temporary files. An empty string is an empty slot.
std::array<std::string, kLockSlots> g_lock_list;

// The lock one lock() call is after.
struct LockAttempt {
  report::PathBuffer path;       // the lock file
  report::PathBuffer temporary;  // our file that is linked to it
  bool in_locks_dir = false;     // in LOCKS, where temporaries are "L." and the pid
  bool dont_queue = false;
};

enum class PidRead { kMissing, kUnreadable, kEmpty, kMalformed, kOk };

// Reads the owner's id from a lock file; errno is left as the failing call set it.
PidRead read_pid(const char* path, pid_t* pid) {
  *pid = 0;
  const int fd = open(path, O_RDONLY | O_NONBLOCK | O_CLOEXEC);
  if (fd < 0) return PidRead::kMissing;
  char buffer[kLockFileReadMax + 1];
  size_t used = 0;
  bool failed = false;
  while (used < kLockFileReadMax) {
    const ssize_t got = read(fd, buffer + used, kLockFileReadMax - used);
    if (got < 0 && errno == EINTR) continue;
    failed = got < 0;
    if (got <= 0) break;
    used += static_cast<size_t>(got);
  }
  const int saved_errno = errno;
  close(fd);
  errno = saved_errno;
  if (used == 0) return failed ? PidRead::kUnreadable : PidRead::kEmpty;
  buffer[used] = '\0';
  // Taken as atol would, then as a 32-bit id.
  const int32_t id = static_cast<int32_t>(strtoll(buffer, nullptr, 10));
  if (id <= 0) return PidRead::kMalformed;
  *pid = id;
  return PidRead::kOk;
}

// Keeps errno, which the caller is about to report.
bool file_exists(const char* path) {
  const int saved_errno = errno;
  struct stat status;
  const bool exists = lstat(path, &status) == 0;
  errno = saved_errno;
  return exists;
}

bool process_gone(pid_t pid) {
  return kill(pid, 0) != 0 && errno == ESRCH;
}

bool in_list(const char* path) {
  for (const std::string& entry : g_lock_list) {
    if (!entry.empty() && entry == path) return true;
  }
  return false;
}

int enter_in_list(const char* path) {
  for (int slot = 0; slot < kLockSlots; ++slot) {
    if (g_lock_list[slot].empty()) {
      g_lock_list[slot] = path;
      return slot;
    }
  }
  message(report::kError, "lock list overflow");
  return -1;
}

// A file that is gone by the time we remove it is no failure.
void remove_lock_file(const char* path) {
  if (unlink(path) != 0 && file_exists(path)) {
    message(report::kSysError, "can't remove lockfile \"%s\"", path);
  }
}

void remove_owner_file(const char* path) {
  if (unlink(path) != 0 && file_exists(path)) {
    message(report::kSysError, "can't remove file \"%s\"", path);
  }
}

// Writes our temporary file, complete, before it is ever linked to a lock name.
void create_temporary(const char* path) {
  // A leftover of an earlier process with our id may still be linked to a lock
  // name; writing through it would change that lock, so start from a new file.
  // O_EXCL and O_NOFOLLOW: nothing planted at the name since is written through.
  unlink(path);
  const int fd = open(path, O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0644);
  FILE* file = fd < 0 ? nullptr : fdopen(fd, "w");
  if (file == nullptr) {
    message(report::kSysError, "can't create lock \"%s\"", path);
    if (fd >= 0) close(fd);
    report::exit_run(base::kStatusOutgoing);
  }
  enter_in_list(path);
  const bool written = fprintf(file, "%ld\n", static_cast<long>(getpid())) > 0;
  const bool closed = fclose(file) == 0;
  if (!written || !closed) {
    message(report::kSysError, "problems creating lock \"%s\"", path);
    report::exit_run(base::kStatusOutgoing);
  }
}

// The process id in a temporary file name of LOCKS ("L." and the id), or 0.
pid_t temporary_owner(const char* name) {
  if (strncmp(name, kTemporaryPrefix, kTemporaryPrefixLength) != 0) return 0;
  const char* digits = name + kTemporaryPrefixLength;
  if (*digits < '1' || *digits > '9') return 0;
  pid_t pid = 0;
  const auto [end, error] = std::from_chars(digits, digits + strlen(digits), pid);
  if (error != std::errc() || *end != '\0') return 0;
  return pid;
}

// Runs that were killed leave their "L." files in LOCKS; those of processes
// that no longer exist are removed. Their locks, if any, are broken when
// someone wants them.
void remove_stale_temporaries(const char* locks_dir) {
  DIR* dir = opendir(locks_dir);
  if (dir == nullptr) return;
  const pid_t self = getpid();
  while (const dirent* entry = readdir(dir)) {
    const pid_t owner = temporary_owner(entry->d_name);
    if (owner == 0 || owner == self || !process_gone(owner)) continue;
    report::PathBuffer stale;
    report::join_path(stale, locks_dir, "/", entry->d_name);
    if (unlink(stale) == 0) {
      message(report::kDetail, "removed stale \"%s\"", stale);
    } else if (file_exists(stale)) {
      message(report::kSysError, "can't remove file \"%s\"", stale);
    }
  }
  closedir(dir);
}

// After the owner is known to be dead (or was told to die): removes its lock
// and its temporary files.
void remove_stale_lock(const LockAttempt& attempt, pid_t owner) {
  sleep_checked(kWaitStep);
  // Someone else may have broken the same stale lock meanwhile and taken it
  // with its own id; that lock is not ours to remove.
  pid_t now = 0;
  if (read_pid(attempt.path, &now) != PidRead::kOk || now == owner) {
    remove_lock_file(attempt.path);
  }
  char owner_text[32];
  snprintf(owner_text, sizeof owner_text, "%ld", static_cast<long>(owner));
  report::PathBuffer owner_temporary;
  report::join_path(owner_temporary, attempt.path, ".", owner_text);
  remove_owner_file(owner_temporary);
  // In LOCKS the owner's temporary file is "L." and its id, shared by all its
  // locks there: only a dead owner's is removed.
  if (attempt.in_locks_dir && process_gone(owner)) {
    report::join_path(owner_temporary, base::text_or_empty(base::g_settings.paths.locks), "/",
                      kTemporaryPrefix, owner_text);
    remove_owner_file(owner_temporary);
  }
}

// Sends signo to the owner of the contended lock. Returns true when it is
// worth trying again (owner alive and we queue, or lock removed), false when
// the lock cannot be had.
bool break_lock(const LockAttempt& attempt, int signo) {
  if (signo != SIGUSR1 && base::g_settings.noforce) {
    message(report::kNotice, "no attempt at unlocking by force");
    return false;
  }
  const pid_t owner = read_lock_pid(attempt.path, true);
  if (owner == 0) return false;
  if (owner == getpid()) {
    message(report::kError, "file \"%s\" locked by ourselves?", attempt.path);
    remove_lock_file(attempt.path);
    return true;
  }
  message(report::kNotice, "sending process %d signal %d", static_cast<int>(owner), signo);
  if (kill(owner, signo) != 0) {
    if (errno != ESRCH) {
      message(report::kSysError, "kill stale process %ld failed", static_cast<long>(owner));
      return false;
    }
    message(report::kNotice, "process %d does not exist", static_cast<int>(owner));
  } else if (signo == SIGUSR1) {
    if (attempt.dont_queue) {
      message(report::kError, "process %d has locked \"%s\", don't queue up",
              static_cast<int>(owner), attempt.path);
      return false;
    }
    message(report::kNotice, "process %d exists, wait...", static_cast<int>(owner));
    return true;
  }
  remove_stale_lock(attempt, owner);
  return true;
}

}  // namespace

int lock(const char* directory, const char* name, bool dont_queue) {
  // Whatever way the run ends, the locks it took go with it.
  report::register_exit_cleanup(report::ExitStage::kFinal, unlock_all);
  const int64_t longest_wait = effective_timeout();
  const base::Text& locks = base::g_settings.paths.locks;
  if (!locks || *locks == kLocksOff) {
    message(report::kProgress, "no lock");
    return -1;
  }

  LockAttempt attempt;
  attempt.dont_queue = dont_queue;
  char pid_text[32];
  snprintf(pid_text, sizeof pid_text, "%ld", static_cast<long>(getpid()));
  if (directory == nullptr) {
    report::join_path(attempt.path, locks->c_str(), "/", name);
    report::join_path(attempt.temporary, locks->c_str(), "/", kTemporaryPrefix, pid_text);
    attempt.in_locks_dir = true;
  } else {
    if (*directory == '\0') {
      report::join_path(attempt.path, name);
    } else {
      report::join_path(attempt.path, directory, "/", name);
    }
    report::join_path(attempt.temporary, attempt.path, ".", pid_text);
  }
  if (!in_list(attempt.temporary)) {
    create_temporary(attempt.temporary);
    if (attempt.in_locks_dir) remove_stale_temporaries(locks->c_str());
  }

  int probe = SIGUSR1;
  int64_t waited = 0;
  for (;;) {
    if (link(attempt.temporary, attempt.path) == 0) {
      const int slot = enter_in_list(attempt.path);
      message(report::kDetail, "created lock: %s", attempt.path);
      return slot;
    }
    message(report::kDetail, "waiting: link %s %s failed: %s", attempt.temporary, attempt.path,
            report::error_text(errno));
    if (probe == kForcedUnlock) {
      message(report::kError, "can't lock \"%s\" after forced unlock", attempt.path);
      report::exit_run(base::kStatusOutgoing);
    }
    // The first failure counts no time, so this shows on the first two.
    if (waited == 0) {
      message(report::kNotice, "awaiting lockfile \"%s\" to disappear (max %ld s)", attempt.path,
              static_cast<long>(longest_wait));
    }
    if (probe == SIGUSR1) {
      message(report::kProgress, "send USR1 to see if process exists");
      if (!break_lock(attempt, SIGUSR1)) report::exit_run(base::kStatusLockTimeout);
      probe = SIGTERM;
    } else {
      waited += kWaitStep;
      if (waited > longest_wait) {
        message(report::kError, "file lock \"%s\" timed out", attempt.path);
        if (!break_lock(attempt, SIGTERM)) report::exit_run(base::kStatusLockTimeout);
        probe = kForcedUnlock;
      }
    }
    sleep_checked(kWaitStep);
  }
}

void unlock(int slot) {
  if (slot < 0 || slot >= kLockSlots || g_lock_list[slot].empty()) return;
  const std::string path = g_lock_list[slot];
  if (unlink(path.c_str()) != 0) {
    message(report::kSysError, "unlink lock file failed: %s", path.c_str());
  } else {
    message(report::kDetail, "unlocked: %s", path.c_str());
  }
  g_lock_list[slot].clear();
}

void unlock_all() {
  for (int slot = 0; slot < kLockSlots; ++slot) unlock(slot);
}

bool lock_held(const char* path) {
  const pid_t owner = read_lock_pid(path, false);
  if (owner == 0) return false;
  return kill(owner, 0) == 0 || errno != ESRCH;
}

pid_t read_lock_pid(const char* path, bool report_missing) {
  pid_t pid = 0;
  switch (read_pid(path, &pid)) {
    case PidRead::kMissing:
      if (report_missing) message(report::kSysError, "can't access lockfile \"%s\"", path);
      return 0;
    case PidRead::kUnreadable:
      message(report::kSysError, "lockfile \"%s\" is empty", path);
      return 0;
    case PidRead::kEmpty:
      // Nothing failed, so there is no system error text worth showing.
      message(report::kError, "lockfile \"%s\" is empty", path);
      return 0;
    case PidRead::kMalformed:
      message(report::kError, "lockfile \"%s\" has wrong format", path);
      return 0;
    case PidRead::kOk:
      break;
  }
  return pid;
}

}  // namespace sys
