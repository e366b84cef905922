// Waits and writes bounded by the --timeout setting, which give up early when
// a terminating signal arrives.
#pragma once

#include <sys/types.h>
#include <cstddef>
#include <cstdint>

namespace sys {

/// The time-out in force, in seconds: --timeout (600 when it is 0), unless
/// shorten_timeout has set a shorter one for the rest of the run.
int64_t effective_timeout();

/// From now on every wait gives up after at most seconds (an aborted run's
/// last words with the server are not waited for long).
void shorten_timeout(int64_t seconds);

/// Milliseconds on the monotonic clock.
int64_t now_ms();

/// Milliseconds on the monotonic clock at which a timed operation starting now gives up:
/// the time-out from now, or the limit set by limit_timed_operations when that is sooner.
int64_t timed_deadline();

/// Makes every timed operation that starts from now on give up at deadline_ms
/// at the latest (0: no limit), so that a wait made of several reads is bounded
/// as a whole; the exit path is not limited. Returns the limit it replaces.
int64_t limit_timed_operations(int64_t deadline_ms);

/// Waits until fd is ready for events (POLLIN or POLLOUT) or the deadline
/// passes. A terminating signal that arrives meanwhile ends the wait as the
/// deadline does (after its own report); SIGUSR1 only is reported. True when ready.
bool wait_descriptor(int fd, short events, int64_t deadline_ms);

/// Writes to fd as write() does, except that a pipe whose reader has gone
/// makes it fail with EPIPE instead of ending the process by SIGPIPE (a
/// SIGPIPE that was already pending stays pending). Returns what write() returned.
ssize_t write_without_sigpipe(int fd, const char* data, size_t length);

}  // namespace sys
