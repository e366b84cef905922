// Processes that stand for the owners of lock files: one that lives until it
// is killed, and the id of one that has ended.
#pragma once

#include <sys/types.h>
#include <string>

namespace testsupport {

/// The content of a lock file held by pid: the number and a newline.
std::string pid_line(pid_t pid);

/// The id of a process that has ended and been reaped.
pid_t dead_pid();

/// A process that survives the SIGUSR1 probe and ends only when killed (at
/// the latest by the destructor).
struct LiveOwner {
  LiveOwner();
  ~LiveOwner();
  LiveOwner(const LiveOwner&) = delete;
  LiveOwner& operator=(const LiveOwner&) = delete;

  /// True while the owner runs (a zombie does not count).
  bool alive() const;
  /// Reaps the owner; true when it ended through signo.
  bool ended_by(int signo);

  pid_t pid = -1;
};

}  // namespace testsupport
