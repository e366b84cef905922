#include "sys/signals.h"

#include <fcntl.h>
#include <poll.h>
#include <time.h>
#include <unistd.h>
#include <cerrno>
#include <cstring>
#include <initializer_list>

#include "base/status.h"
#include "report/exit.h"
#include "report/message.h"
#include "report/title.h"

namespace sys {

namespace {

volatile sig_atomic_t g_last_interrupt_signal = 0;
volatile sig_atomic_t g_usr1_count = 0;
int g_interrupts_handled = 0;
int g_usr1_handled = 0;
int g_signal_pipe[2] = {-1, -1};

void wake_waiters() {
  if (g_signal_pipe[1] >= 0) {
    const char byte = 0;
    [[maybe_unused]] ssize_t ignored = write(g_signal_pipe[1], &byte, 1);
  }
}

extern "C" void on_interrupt(int signo) {
  const int saved_errno = errno;
  g_last_interrupt_signal = signo;
  report::g_interrupt_count = report::g_interrupt_count + 1;
  wake_waiters();
  errno = saved_errno;
}

extern "C" void on_usr1(int) {
  const int saved_errno = errno;
  g_usr1_count = g_usr1_count + 1;
  wake_waiters();
  errno = saved_errno;
}

void install(int signo, void (*handler)(int)) {
  struct sigaction action;
  memset(&action, 0, sizeof action);
  action.sa_handler = handler;
  sigemptyset(&action.sa_mask);
  action.sa_flags = 0;  // no SA_RESTART: a blocked call returns EINTR
  sigaction(signo, &action, nullptr);
}

void open_signal_pipe() {
  if (g_signal_pipe[0] >= 0) return;
  if (pipe(g_signal_pipe) != 0) return;
  for (int fd : g_signal_pipe) {
    fcntl(fd, F_SETFL, fcntl(fd, F_GETFL) | O_NONBLOCK);
    fcntl(fd, F_SETFD, FD_CLOEXEC);
  }
}

bool signal_unhandled() {
  return g_interrupts_handled < report::g_interrupt_count || g_usr1_handled < g_usr1_count;
}

// Empties the self-pipe; only when a signal came, since this runs on every wait.
void drain_signal_pipe() {
  if (g_signal_pipe[0] < 0 || !signal_unhandled()) return;
  char buffer[64];
  while (read(g_signal_pipe[0], buffer, sizeof buffer) > 0) {
  }
}

void report_usr1() {
  while (g_usr1_handled < g_usr1_count) {
    ++g_usr1_handled;
    report::message(report::kDetail, "received signal: %s", strsignal(SIGUSR1));
  }
}

bool interrupt_pending() {
  return g_interrupts_handled < report::g_interrupt_count;
}

// Once the run is ending, a further terminating signal is only reported.
void report_interrupts_while_exiting() {
  while (interrupt_pending()) {
    ++g_interrupts_handled;
    report::message(report::kDetail, "received signal: %s",
                    strsignal(static_cast<int>(g_last_interrupt_signal)));
  }
}

}  // namespace

void install_signal_handlers() {
  open_signal_pipe();
  for (int signo : {SIGHUP, SIGINT, SIGQUIT, SIGTERM}) install(signo, on_interrupt);
  install(SIGUSR1, on_usr1);
}

int signal_fd() {
  return g_signal_pipe[0];
}

void check_signals() {
  drain_signal_pipe();
  report_usr1();
  if (report::exiting()) {
    report_interrupts_while_exiting();
    return;
  }
  if (!interrupt_pending()) return;
  ++g_interrupts_handled;
  report::message(report::kError, "received signal: %s",
                  strsignal(static_cast<int>(g_last_interrupt_signal)));
  report::terminate_run("interrupt", base::kStatusInternal);
}

bool take_signal_during_alarm() {
  drain_signal_pipe();
  report_usr1();
  if (report::exiting()) {
    report_interrupts_while_exiting();
    return false;
  }
  if (!interrupt_pending()) return false;
  ++g_interrupts_handled;
  report::set_state("interrupt -> alarm");
  report::message(report::kError, "received signal while alarm active: %s",
                  strsignal(static_cast<int>(g_last_interrupt_signal)));
  return true;
}

void sleep_checked(int seconds) {
  struct timespec now;
  clock_gettime(CLOCK_MONOTONIC, &now);
  const long long deadline_ms = now.tv_sec * 1000LL + now.tv_nsec / 1000000 + seconds * 1000LL;
  for (;;) {
    check_signals();
    clock_gettime(CLOCK_MONOTONIC, &now);
    const long long left = deadline_ms - (now.tv_sec * 1000LL + now.tv_nsec / 1000000);
    if (left <= 0) return;
    struct pollfd wait_for = {signal_fd(), POLLIN, 0};
    poll(&wait_for, wait_for.fd >= 0 ? 1 : 0, static_cast<int>(left));
  }
}

}  // namespace sys
