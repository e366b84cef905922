// Signals. The handlers only record what arrived; the program acts on it at
// the points where it checks: every wait, and the line I/O with the server.
#pragma once

#include <csignal>

namespace sys {

/// Installs the interrupt handler for SIGHUP, SIGINT, SIGQUIT and SIGTERM and
/// the SIGUSR1 handler; none of them restarts interrupted system calls.
void install_signal_handlers();

/// A descriptor that becomes readable when a signal arrives; waits poll it
/// beside what they wait for, so that no signal is slept through.
int signal_fd();

/// Acts on the signals that arrived since the last check: reports SIGUSR1,
/// and ends the run with status 1 for a terminating signal (only reported
/// once the exit path is under way).
void check_signals();

/// For timed operations: when a terminating signal is pending, reports it as
/// arriving while the alarm was active and returns true, and the operation
/// then fails as on a time-out. SIGUSR1 is reported and does not count.
bool take_signal_during_alarm();

/// Sleeps the given seconds, acting on signals as check_signals does.
void sleep_checked(int seconds);

}  // namespace sys
