#include "sys/children.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>
#include <algorithm>
#include <cerrno>
#include <climits>
#include <csignal>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "base/settings.h"
#include "base/status.h"
#include "report/exit.h"
#include "report/message.h"
#include "report/util.h"
#include "sys/command_line.h"
#include "sys/signals.h"
#include "sys/timed_io.h"

namespace sys {

namespace {

// Exit statuses of a child whose exec failed.
constexpr int kShellExecFailed = 1;
constexpr int kProgramExecFailed = 5;

// A child still running when the time-out has passed gets this long to end
// after SIGTERM, and again after SIGKILL before it is given up on.
constexpr int64_t kKillGraceMs = 5000;
// Without a process descriptor to wait on, a child is looked at again after
// steps that grow up to this long.
constexpr int kLongestLookStepMs = 100;

// A child never takes the program's exit path: that would remove the parent's
// lock files and finish the parent's fetch.
[[noreturn]] void child_exit(int status) {
  fflush(stderr);
  _exit(status);
}

// Forks; a failure ends the run. Pending standard error output is written
// first so that a child reporting a failed exec does not repeat it.
pid_t fork_or_exit() {
  fflush(stderr);
  const pid_t pid = fork();
  if (pid < 0) {
    report::message(report::kSysError, "could not fork");
    report::exit_run(base::kStatusInternal);
  }
  return pid;
}

int64_t now_ms() {
  struct timespec now;
  clock_gettime(CLOCK_MONOTONIC, &now);
  return now.tv_sec * 1000LL + now.tv_nsec / 1000000;
}

// A descriptor that becomes readable when the child ends (Linux 5.3 and
// later), or -1 when the system has none to offer.
int open_process_fd([[maybe_unused]] pid_t pid) {
#ifdef SYS_pidfd_open
  const long fd = syscall(SYS_pidfd_open, pid, 0);
  if (fd >= 0) return static_cast<int>(fd);
#endif
  return -1;
}

// Takes the status of pid when it has ended; true then. Only pid is reaped:
// another child's status belongs to whoever waits for it. A pid that is no
// child of ours ends the run.
bool reap_if_ended(pid_t pid, int* status) {
  for (;;) {
    const pid_t reaped = waitpid(pid, status, WNOHANG);
    if (reaped == pid) return true;
    if (reaped == 0) return false;
    if (errno == EINTR) continue;
    report::message(report::kSysError, "error waiting for connect process");
    report::exit_run(base::kStatusInternal);
  }
}

// Waits for pid to end until deadline (monotonic milliseconds), acting on
// signals as every wait does; true with its status once it has ended.
bool wait_until(pid_t pid, int process_fd, int64_t deadline, int* status) {
  int step_ms = 1;
  for (;;) {
    // A signal that came just before the wait would otherwise sleep through it.
    check_signals();
    if (reap_if_ended(pid, status)) return true;
    const int64_t left = deadline - now_ms();
    if (left <= 0) return false;
    int sleep_ms = static_cast<int>(std::min<int64_t>(left, INT_MAX));
    if (process_fd < 0) {
      sleep_ms = std::min(sleep_ms, step_ms);
      step_ms = std::min(step_ms * 2, kLongestLookStepMs);
    }
    struct pollfd waits[2] = {};
    nfds_t count = 0;
    if (process_fd >= 0) waits[count++] = {process_fd, POLLIN, 0};
    if (signal_fd() >= 0) waits[count++] = {signal_fd(), POLLIN, 0};
    poll(waits, count, sleep_ms);  // whatever woke it, the loop looks again
  }
}

// Ends a child: SIGTERM, then SIGKILL, each with a grace period; returns its
// wait status. The kills are safe: pid is a child
// not yet reaped, so its number cannot have passed to another process.
int terminate_child(pid_t pid, int process_fd) {
  const int id = static_cast<int>(pid);
  int status = 0;
  kill(pid, SIGTERM);
  if (wait_until(pid, process_fd, now_ms() + kKillGraceMs, &status)) return status;
  report::message(report::kError, "child process %d ignored SIGTERM, killing it", id);
  kill(pid, SIGKILL);
  if (wait_until(pid, process_fd, now_ms() + kKillGraceMs, &status)) return status;
  // Stuck in the kernel; it ends by SIGKILL once it can.
  report::message(report::kError, "child process %d does not end, no longer waited for", id);
  return SIGKILL;
}

// Ends a child that outlived the time-out, after a message; returns its wait
// status.
int stop_child(pid_t pid, int process_fd) {
  report::message(report::kError,
                  "child process %d still running after %ld seconds, terminating it",
                  static_cast<int>(pid), static_cast<long>(effective_timeout()));
  return terminate_child(pid, process_fd);
}

// In a child: give up any privileges before running an external command.
// When a reset fails the command runs with the ids it has: there is nothing
// better to do in the child.
void reset_ids() {
  [[maybe_unused]] const int uid_result = setuid(getuid());
  [[maybe_unused]] const int gid_result = setgid(getgid());
}

void exec_vector(const char* path, const ArgVector& args) {
  execv(path, const_cast<char* const*>(args.argv));
}

// In a child: the connect errors file becomes standard error, appended to;
// when it cannot be opened the inherited standard error stays. The file sits
// in a directory anyone may write to, so only a plain file of its own is
// used: a symbolic link there is not followed (it could make us append to
// any file), a fifo or device is not waited on, and a file with other names
// (a hard link to someone else's file) is left alone.
void redirect_stderr_to_connect_errors() {
  const char* path = kConnectErrors;
  const int fd = open(
      path, O_WRONLY | O_CREAT | O_APPEND | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY | O_CLOEXEC, 0644);
  if (fd < 0) {
    // ELOOP: a symbolic link; ENXIO: a fifo nobody reads.
    if (errno == ELOOP || errno == ENXIO) {
      report::message(report::kError, "connect errors file \"%s\" is not a plain file, not used",
                      path);
    }
    return;
  }
  struct stat st;
  if (fstat(fd, &st) != 0 || !S_ISREG(st.st_mode) || st.st_nlink != 1) {
    close(fd);
    report::message(report::kError, "connect errors file \"%s\" is not a plain file, not used",
                    path);
    return;
  }
  fcntl(fd, F_SETFL, fcntl(fd, F_GETFL) & ~O_NONBLOCK);
  if (fd == STDERR_FILENO) {
    fcntl(fd, F_SETFD, 0);  // standard error was closed: the file took its place
    return;
  }
  dup2(fd, STDERR_FILENO);  // the copy does not inherit close-on-exec
  close(fd);
}

// In a child: in_fd becomes standard input and out_fd standard output.
void set_standard_io(int in_fd, int out_fd) {
  if (out_fd == STDIN_FILENO && in_fd != STDIN_FILENO) {
    // Standard input is about to be replaced; keep the output end alive.
    out_fd = dup(out_fd);
  }
  if (in_fd != STDIN_FILENO) dup2(in_fd, STDIN_FILENO);
  if (out_fd != STDOUT_FILENO) dup2(out_fd, STDOUT_FILENO);
}

// In a child: keep becomes descriptor target, drop (the other pipe end) goes.
void pipe_end_to(int keep, int drop, int target) {
  if (drop != target) close(drop);
  if (keep != target) {
    dup2(keep, target);
    close(keep);
  }
}

// In a child: runs command through the shell; returns only after a failed exec.
[[noreturn]] void exec_shell(const char* command) {
  reset_ids();
  exec_vector(kShell, shell_arguments(command));
  report::message(report::kSysError, "could not exec %s", kShell);
  child_exit(kShellExecFailed);
}

const char* or_empty(const char* text) {
  return text != nullptr ? text : "";
}

// Which way the pipe to a program runs: we feed its standard input, or we
// read its standard output.
enum class Direction { kFeed, kRead };

// Starts program with up to two arguments, joined to us by a pipe in the
// given direction; returns our end as a stream (pid set), or null after a message.
FILE* start_piped_program(Direction direction, const char* program, pid_t* pid, const char* arg1,
                          const char* arg2) {
  const bool feed = direction == Direction::kFeed;
  int fds[2];
  if (pipe(fds) != 0) {
    report::message(report::kSysError, "can't pipe: %s", program);
    return nullptr;
  }
  const int ours = feed ? fds[1] : fds[0];
  const int theirs = feed ? fds[0] : fds[1];
  const pid_t child = fork_or_exit();
  if (child == 0) {
    pipe_end_to(theirs, ours, feed ? STDIN_FILENO : STDOUT_FILENO);
    if (feed) {
      report::message(report::kProgress, "exec: %s args: %s %s", program, or_empty(arg1),
                      or_empty(arg2));
    } else {
      report::message(report::kProgress, "exec: %s arg: %s", program, or_empty(arg1));
    }
    exec_vector(program, program_arguments(program, arg1, arg2));
    report::message(report::kSysError, "can't exec: %s", program);
    child_exit(kProgramExecFailed);
  }

  close(theirs);
  FILE* stream = fdopen(ours, feed ? "w" : "r");
  if (stream == nullptr) {
    report::message(report::kSysError, "can't connect %s pipe: %s", feed ? "write" : "read",
                    program);
    close(ours);  // the child finds its pipe closed and ends
    return nullptr;
  }
  *pid = child;
  return stream;
}

// Makes a pipe; a failure ends the run.
void pipe_or_exit(int fds[2]) {
  if (pipe(fds) != 0) {
    report::message(report::kSysError, "could not pipe");
    report::exit_run(base::kStatusInternal);
  }
}

// A file destination being written under a temporary name in its directory.
struct UnfinishedFile {
  FILE* stream = nullptr;
  std::string temp_path;
  std::string final_path;
};

// Files opened by open_output and not yet closed or abandoned.
std::vector<UnfinishedFile> g_unfinished_files;

std::vector<UnfinishedFile>::iterator find_unfinished(FILE* stream) {
  auto it = g_unfinished_files.begin();
  while (it != g_unfinished_files.end() && it->stream != stream) ++it;
  return it;
}

// Opens a temporary file beside destination, created afresh (never through a
// link an attacker left there) with the permissions the destination would
// have: those of the file it replaces, else the usual ones for a new file.
// Null with errno set on failure.
FILE* open_temporary_beside(const char* destination, const struct stat* existing) {
  // ".name.XXXXXX" in the destination's directory.
  const char* slash = strrchr(destination, '/');
  const char* base = slash == nullptr ? destination : slash + 1;
  std::string temp(destination, static_cast<size_t>(base - destination));
  temp += '.';
  temp += base;
  temp += ".XXXXXX";
  if (temp.size() > static_cast<size_t>(report::kPathMax)) {
    errno = ENAMETOOLONG;
    return nullptr;
  }
  const int fd = mkostemp(temp.data(), O_CLOEXEC);
  if (fd < 0) return nullptr;
  const mode_t mask = umask(0);
  umask(mask);
  const mode_t mode = existing != nullptr ? existing->st_mode & 0777 : 0666 & ~mask;
  FILE* stream = fchmod(fd, mode) == 0 ? fdopen(fd, "w") : nullptr;
  if (stream == nullptr) {
    const int saved_errno = errno;
    close(fd);
    unlink(temp.c_str());
    errno = saved_errno;
    return nullptr;
  }
  g_unfinished_files.push_back(UnfinishedFile{stream, temp, destination});
  return stream;
}

// Opens a file destination. A regular file is replaced in one rename when the
// output is complete, so that readers never see half a list; a device or a
// fifo cannot be replaced and is written as it is.
FILE* open_file_output(const char* destination) {
  if (*destination == '\0') {
    errno = ENOENT;
    return nullptr;
  }
  struct stat existing;
  if (stat(destination, &existing) != 0) {
    return errno == ENOENT ? open_temporary_beside(destination, nullptr) : nullptr;
  }
  if (S_ISDIR(existing.st_mode)) {
    errno = EISDIR;
    return nullptr;
  }
  if (S_ISREG(existing.st_mode)) return open_temporary_beside(destination, &existing);
  return fopen(destination, "we");
}

// Writes out and closes an unfinished file, then moves it into place; false
// after a message, the temporary copy removed.
bool finish_file(const UnfinishedFile& file) {
  bool ok = fflush(file.stream) == 0 && fsync(fileno(file.stream)) == 0;
  int saved_errno = errno;
  if (fclose(file.stream) != 0 && ok) {
    ok = false;
    saved_errno = errno;
  }
  if (!ok) {
    errno = saved_errno;
    report::message(report::kSysError, "can't close");
  } else {
    ok = report::rename_file(file.temp_path.c_str(), file.final_path.c_str());
  }
  if (!ok) unlink(file.temp_path.c_str());
  return ok;
}

// Bytes read from a program's output at a time.
constexpr size_t kOutputPiece = 65536;

// In a child: fd becomes descriptor target, open across exec.
void become_descriptor(int fd, int target) {
  if (fd == target) {
    fcntl(fd, F_SETFD, 0);
  } else {
    dup2(fd, target);  // the copy does not inherit close-on-exec
  }
}

// In a child: runs path with args, its standard output and standard error the
// write ends given. A failed exec is told to the parent through exec_report
// (its errno), which a successful exec closes.
[[noreturn]] void exec_with_output(const char* path, const ArgVector& args, int out_fd, int err_fd,
                                   int exec_report) {
  become_descriptor(out_fd, STDOUT_FILENO);
  become_descriptor(err_fd, STDERR_FILENO);
  reset_ids();
  exec_vector(path, args);
  const int exec_errno = errno;
  [[maybe_unused]] const ssize_t told = write(exec_report, &exec_errno, sizeof exec_errno);
  child_exit(kProgramExecFailed);
}

// The three pipes of a program whose output is read: its standard output,
// its standard error, and the report of a failed exec.
struct OutputPipes {
  int fds[3][2] = {{-1, -1}, {-1, -1}, {-1, -1}};
};

void close_if_open(int* fd) {
  if (*fd >= 0) close(*fd);
  *fd = -1;
}

void close_pipes(OutputPipes* pipes) {
  for (auto& ends : pipes->fds) {
    close_if_open(&ends[0]);
    close_if_open(&ends[1]);
  }
}

// Makes the pipes, close-on-exec so that no other child holds them open;
// false after a message.
bool make_output_pipes(OutputPipes* pipes, const char* path) {
  for (auto& ends : pipes->fds) {
    if (pipe2(ends, O_CLOEXEC) != 0) {
      report::message(report::kSysError, "can't pipe: %s", path);
      close_pipes(pipes);
      return false;
    }
  }
  return true;
}

// What one read from a program's pipe gave.
enum class PipeRead { kOpen, kEnded, kOverLimit, kFailed };

// Reads what fd holds now and appends it to *into, up to limit bytes in all;
// kOverLimit when there was more.
PipeRead read_piece(int fd, std::vector<char>* into, size_t limit) {
  char piece[kOutputPiece];
  const ssize_t got = read(fd, piece, sizeof piece);
  if (got == 0) return PipeRead::kEnded;
  if (got < 0) return errno == EINTR || errno == EAGAIN ? PipeRead::kOpen : PipeRead::kFailed;
  const size_t length = static_cast<size_t>(got);
  const size_t room = limit - std::min(limit, into->size());
  const size_t take = std::min(length, room);
  if (into->size() + take > into->capacity()) {
    report::must_reserve(into, std::max(into->size() + take, 2 * into->capacity()));
  }
  into->insert(into->end(), piece, piece + take);
  return take < length ? PipeRead::kOverLimit : PipeRead::kOpen;
}

// Reads the program's output and standard error until both end, the output
// passes limit, or deadline; returns kExited when both ended.
ProgramEnd read_both(const char* path, int out_fd, int err_fd, int64_t deadline, size_t limit,
                     ProgramOutput* result, std::vector<char>* errors) {
  bool out_open = true;
  bool err_open = true;
  while (out_open || err_open) {
    check_signals();
    const int64_t left = deadline - now_ms();
    if (left <= 0) return ProgramEnd::kTimedOut;
    struct pollfd waits[3] = {};
    nfds_t count = 0;
    waits[count++] = {out_open ? out_fd : -1, POLLIN, 0};
    waits[count++] = {err_open ? err_fd : -1, POLLIN, 0};
    if (signal_fd() >= 0) waits[count++] = {signal_fd(), POLLIN, 0};
    if (poll(waits, count, static_cast<int>(std::min<int64_t>(left, INT_MAX))) < 0 &&
        errno != EINTR) {
      report::message(report::kSysError, "can't wait for the output of %s", path);
      return ProgramEnd::kReadFailed;
    }
    if (waits[0].revents != 0) {
      const PipeRead got = read_piece(out_fd, &result->output, limit);
      if (got == PipeRead::kOverLimit) return ProgramEnd::kTooLarge;
      if (got == PipeRead::kFailed) {
        report::message(report::kSysError, "can't read the output of %s", path);
        return ProgramEnd::kReadFailed;
      }
      out_open = got != PipeRead::kEnded;
    }
    if (waits[1].revents != 0) {
      // Standard error beyond what is kept is read all the same, so that the
      // program never waits for room in its pipe.
      const PipeRead got = read_piece(err_fd, errors, kProgramErrorsMax);
      err_open = got != PipeRead::kEnded && got != PipeRead::kFailed;
    }
  }
  return ProgramEnd::kExited;
}

// The errno a child sent through its exec report, or 0 when its exec succeeded.
int exec_errno_of(int exec_report) {
  int exec_errno = 0;
  if (read(exec_report, &exec_errno, sizeof exec_errno) !=
      static_cast<ssize_t>(sizeof exec_errno)) {
    return 0;
  }
  return exec_errno;
}

}  // namespace

void read_program_output(const char* path, const ArgVector& args, size_t limit,
                         ProgramOutput* result) {
  *result = ProgramOutput{};
  OutputPipes pipes;
  if (!make_output_pipes(&pipes, path)) return;
  int(&out)[2] = pipes.fds[0];
  int(&err)[2] = pipes.fds[1];
  int(&exec_report)[2] = pipes.fds[2];
  const pid_t pid = fork_or_exit();
  if (pid == 0) {
    close(out[0]);
    close(err[0]);
    close(exec_report[0]);
    exec_with_output(path, args, out[1], err[1], exec_report[1]);
  }
  close_if_open(&out[1]);
  close_if_open(&err[1]);
  close_if_open(&exec_report[1]);

  const int64_t deadline = timed_deadline();
  const int process_fd = open_process_fd(pid);
  std::vector<char> errors;
  result->end = read_both(path, out[0], err[0], deadline, limit, result, &errors);
  // Closed before the program is stopped: one that is still writing ends by SIGPIPE.
  close_if_open(&out[0]);
  close_if_open(&err[0]);
  int status = 0;
  if (result->end == ProgramEnd::kExited && !wait_until(pid, process_fd, deadline, &status)) {
    result->end = ProgramEnd::kTimedOut;
  }
  if (result->end == ProgramEnd::kTimedOut) {
    status = stop_child(pid, process_fd);
  } else if (result->end != ProgramEnd::kExited) {
    status = terminate_child(pid, process_fd);
  }
  if (process_fd >= 0) close(process_fd);
  result->status = status;
  result->errors.assign(errors.begin(), errors.end());
  // Only a child that has surely ended has closed its end of the report.
  if (result->end == ProgramEnd::kExited && WIFEXITED(status)) {
    const int exec_errno = exec_errno_of(exec_report[0]);
    if (exec_errno != 0) {
      errno = exec_errno;
      report::message(report::kSysError, "can't exec: %s", path);
      result->end = ProgramEnd::kNotStarted;
    }
  }
  close_pipes(&pipes);
}

int wait_child(pid_t pid) {
  const int process_fd = open_process_fd(pid);
  int status = 0;
  if (!wait_until(pid, process_fd, timed_deadline(), &status)) {
    status = stop_child(pid, process_fd);
  }
  if (process_fd >= 0) close(process_fd);
  return status;
}

int run_program_waited(const char* path, const ArgVector& args) {
  const pid_t pid = fork_or_exit();
  if (pid == 0) {
    reset_ids();
    exec_vector(path, args);
    report::message(report::kSysError, "could not exec %s", path);
    child_exit(kProgramExecFailed);
  }
  return wait_child(pid);
}

int run_script(const char* command, int in_fd, int out_fd) {
  const pid_t pid = fork_or_exit();
  if (pid == 0) {
    set_standard_io(in_fd, out_fd);
    redirect_stderr_to_connect_errors();
    exec_shell(command);
  }
  return wait_child(pid);
}

void spawn_coprocess(const char* command, CoprocessEnds* ends) {
  int to_child[2];
  int from_child[2];
  pipe_or_exit(to_child);
  pipe_or_exit(from_child);

  const pid_t pid = fork_or_exit();
  if (pid == 0) {
    close(to_child[1]);
    close(from_child[0]);
    set_standard_io(to_child[0], from_child[1]);
    if (to_child[0] > STDERR_FILENO) close(to_child[0]);
    if (from_child[1] > STDERR_FILENO) close(from_child[1]);
    redirect_stderr_to_connect_errors();
    exec_shell(command);
  }

  close(to_child[0]);
  close(from_child[1]);
  ends->read_fd = from_child[0];
  ends->write_fd = to_child[1];
  ends->read_stream = fdopen(from_child[0], "r");
  if (ends->read_stream == nullptr) {
    report::message(report::kSysError, "could not open pipe for read");
  }
  ends->write_stream = fdopen(to_child[1], "w");
  if (ends->write_stream == nullptr) {
    report::message(report::kSysError, "could not open pipe for write");
  }
}

FILE* pipe_to_program(const char* program, pid_t* pid, const char* arg1, const char* arg2) {
  return start_piped_program(Direction::kFeed, program, pid, arg1, arg2);
}

FILE* pipe_from_program(const char* program, pid_t* pid, const char* arg) {
  return start_piped_program(Direction::kRead, program, pid, arg, nullptr);
}

FILE* open_output(const char* destination, pid_t* pid) {
  // A run that ends while the file is written leaves the old one as it was.
  report::register_exit_cleanup(report::ExitStage::kRun, remove_unfinished_outputs);
  *pid = -1;
  if (destination[0] == '|') {
    FILE* stream = pipe_to_program(kShell, pid, kShellCommandOption, destination + 1);
    // A command started later must not hold this one's input open: this
    // command would then never see the end of it.
    if (stream != nullptr) fcntl(fileno(stream), F_SETFD, FD_CLOEXEC);
    return stream;
  }
  if (destination[0] == '-' && destination[1] == '\0') return stdout;
  FILE* stream = open_file_output(destination);
  if (stream == nullptr) {
    report::message(report::kSysError, "can't write to: %s", destination);
  }
  return stream;
}

int close_output(FILE* stream, pid_t pid) {
  int result = 0;
  if (stream != nullptr) {
    const auto unfinished = find_unfinished(stream);
    if (unfinished != g_unfinished_files.end()) {
      const UnfinishedFile file = *unfinished;
      g_unfinished_files.erase(unfinished);
      if (!finish_file(file)) result = -1;
    } else if (stream == stdout) {
      // Standard output stays open, but what could not be written is lost all the same.
      if (fflush(stream) != 0) {
        report::message(report::kSysError, "can't close");
        result = -1;
      }
    } else {
      fflush(stream);
      result = fclose(stream);
      if (result < 0) report::message(report::kSysError, "can't close");
    }
  }
  if (pid == -1) return result;
  return wait_child(pid);
}

void abandon_output(FILE* stream, pid_t pid) {
  if (stream != nullptr) {
    const auto unfinished = find_unfinished(stream);
    if (unfinished != g_unfinished_files.end()) {
      fclose(stream);
      unlink(unfinished->temp_path.c_str());
      g_unfinished_files.erase(unfinished);
    } else if (stream == stdout) {
      fflush(stream);
    } else {
      fclose(stream);
    }
  }
  if (pid != -1) wait_child(pid);
}

void remove_unfinished_outputs() {
  for (const UnfinishedFile& file : g_unfinished_files) unlink(file.temp_path.c_str());
  g_unfinished_files.clear();
}

}  // namespace sys
