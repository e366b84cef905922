#include "support/live_process.h"

#include <fcntl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <cstdlib>

namespace testsupport {

std::string pid_line(pid_t pid) {
  return std::to_string(pid) + "\n";
}

pid_t dead_pid() {
  const pid_t pid = fork();
  if (pid == 0) _exit(0);
  int status = 0;
  waitpid(pid, &status, 0);
  return pid;
}

LiveOwner::LiveOwner() {
  // The pipe closes when the child has ignored SIGUSR1 and started sleep;
  // a probe before that would kill it.
  int ready[2];
  if (pipe2(ready, O_CLOEXEC) != 0) abort();
  pid = fork();
  if (pid == 0) {
    signal(SIGUSR1, SIG_IGN);
    execl("/bin/sleep", "sleep", "120", static_cast<char*>(nullptr));
    _exit(127);
  }
  close(ready[1]);
  char byte;
  while (read(ready[0], &byte, 1) < 0 && errno == EINTR) {
  }
  close(ready[0]);
}

LiveOwner::~LiveOwner() {
  if (pid > 0) {
    kill(pid, SIGKILL);
    waitpid(pid, nullptr, 0);
  }
}

bool LiveOwner::alive() const {
  return waitpid(pid, nullptr, WNOHANG) == 0;
}

bool LiveOwner::ended_by(int signo) {
  int status = 0;
  const pid_t got = waitpid(pid, &status, 0);
  pid = -1;
  return got > 0 && WIFSIGNALED(status) && WTERMSIG(status) == signo;
}

}  // namespace testsupport
