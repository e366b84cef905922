#include "sys/timed_io.h"

#include <poll.h>
#include <time.h>
#include <unistd.h>
#include <algorithm>
#include <cerrno>
#include <climits>
#include <csignal>

#include "base/settings.h"
#include "report/exit.h"
#include "sys/signals.h"

namespace sys {

namespace {

// Longer time-outs than this are as good as none and would overflow the clock arithmetic.
constexpr int64_t kLongestTimeout = 1000000000;

// The latest moment any timed operation may end, 0 for none (limit_timed_operations).
int64_t g_deadline_limit = 0;

// The time-out shorten_timeout set, 0 for none.
int64_t g_shortened_timeout = 0;

}  // namespace

int64_t effective_timeout() {
  const int64_t configured = base::g_settings.timeout > 0 ? base::g_settings.timeout : 600;
  return g_shortened_timeout > 0 ? std::min(configured, g_shortened_timeout) : configured;
}

void shorten_timeout(int64_t seconds) {
  g_shortened_timeout = seconds;
}

int64_t now_ms() {
  struct timespec now;
  clock_gettime(CLOCK_MONOTONIC, &now);
  return now.tv_sec * 1000LL + now.tv_nsec / 1000000;
}

int64_t timed_deadline() {
  const int64_t seconds = std::min<int64_t>(effective_timeout(), kLongestTimeout);
  const int64_t deadline = now_ms() + seconds * 1000;
  // The exit path's own waits are never cut short by a limit it interrupted.
  if (g_deadline_limit != 0 && !report::exiting()) return std::min(deadline, g_deadline_limit);
  return deadline;
}

int64_t limit_timed_operations(int64_t deadline_ms) {
  const int64_t previous = g_deadline_limit;
  g_deadline_limit = deadline_ms;
  return previous;
}

bool wait_descriptor(int fd, short events, int64_t deadline_ms) {
  // A closed connection has nothing to wait for; the read or write reports it.
  if (fd < 0) return true;
  for (;;) {
    const int64_t left = deadline_ms - now_ms();
    if (left <= 0) return false;
    struct pollfd waits[2] = {{fd, events, 0}, {signal_fd(), POLLIN, 0}};
    const nfds_t count = waits[1].fd >= 0 ? 2 : 1;
    const int ready = poll(waits, count, static_cast<int>(std::min<int64_t>(left, INT_MAX)));
    if (ready < 0) {
      // Trouble with the descriptor itself shows in the read or write that follows.
      if (errno != EINTR) return true;
      if (take_signal_during_alarm()) return false;
      continue;
    }
    if (count == 2 && waits[1].revents != 0 && take_signal_during_alarm()) return false;
    if (waits[0].revents != 0) return true;
  }
}

ssize_t write_without_sigpipe(int fd, const char* data, size_t length) {
  sigset_t pipe_only;
  sigset_t previous;
  sigemptyset(&pipe_only);
  sigaddset(&pipe_only, SIGPIPE);
  sigset_t pending;
  sigpending(&pending);
  const bool was_pending = sigismember(&pending, SIGPIPE) == 1;
  sigprocmask(SIG_BLOCK, &pipe_only, &previous);
  const ssize_t written = write(fd, data, length);
  const int saved_errno = errno;
  if (written < 0 && saved_errno == EPIPE && !was_pending) {
    struct timespec no_wait = {0, 0};
    sigtimedwait(&pipe_only, nullptr, &no_wait);
  }
  sigprocmask(SIG_SETMASK, &previous, nullptr);
  errno = saved_errno;
  return written;
}

}  // namespace sys
