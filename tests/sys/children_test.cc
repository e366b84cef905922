
#include <fcntl.h>
#include <poll.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <string>

#include <gtest/gtest.h>

#include "base/settings.h"
#include "newssys/commands.h"
#include "support/capture.h"
#include "support/settings_guard.h"
#include "support/tessu_runner.h"
#include "sys/children.h"
#include "sys/signals.h"

namespace {

using testsupport::CaptureFd;
using testsupport::contains;

constexpr const char* kConnectErrors = "/tmp/connect.errors";

struct ChildrenTest : testing::Test {
  testsupport::SettingsGuard settings_guard;
  testsupport::TempSite site;

  void SetUp() override {
    base::g_settings.program_name = "tessu";
    base::g_settings.verbosity = 0;
    base::g_settings.timeout = 0;
    base::g_settings.ctlinnd.reset();
    base::g_settings.paths.newsbin = site.path("bin");
  }

  // Writes an executable shell script below the site; returns its path.
  std::string script(const std::string& relative, const std::string& body) {
    site.write(relative, "#!/bin/sh\n" + body);
    const std::string path = site.path(relative);
    chmod(path.c_str(), 0755);
    return path;
  }

  // A stand-in for ctlinnd that writes the name it was run under and its
  // arguments, one a line, into "args".
  std::string fake_ctlinnd(const std::string& relative, int exit_code = 0) {
    return script(relative,
                  "{ printf '%s\\n' \"$0\"; for a in \"$@\"; do printf '%s\\n' \"$a\"; "
                  "done; } > '" +
                      site.path("args") + "'\nexit " + std::to_string(exit_code) + "\n");
  }

  std::string read_all(FILE* stream) {
    std::string text;
    char buffer[256];
    size_t n;
    while ((n = fread(buffer, 1, sizeof buffer, stream)) > 0) text.append(buffer, n);
    return text;
  }
};

off_t file_size(const char* path) {
  struct stat st;
  return stat(path, &st) == 0 ? st.st_size : 0;
}

std::string file_tail(const char* path, off_t from) {
  std::string text;
  FILE* file = fopen(path, "r");
  if (file == nullptr) return text;
  fseeko(file, from, SEEK_SET);
  char buffer[256];
  size_t n;
  while ((n = fread(buffer, 1, sizeof buffer, file)) > 0) text.append(buffer, n);
  fclose(file);
  return text;
}

bool connect_errors_writable() {
  const int fd = open(kConnectErrors, O_WRONLY | O_CREAT | O_APPEND, 0644);
  if (fd < 0) return false;
  close(fd);
  return true;
}

std::string unique_marker(const char* what) {
  return std::string(what) + "-" + std::to_string(getpid()) + "-" + std::to_string(rand());
}

TEST_F(ChildrenTest, RunCtlinndPassesQuietTimeoutCommandAndArgument) {
  base::g_settings.ctlinnd = fake_ctlinnd("elsewhere/ctl");

  EXPECT_EQ(newssys::run_ctlinnd("flush", "upstream"), 0);
  EXPECT_EQ(site.read("args"), site.path("elsewhere/ctl") + "\n-s\n-t600\nflush\nupstream\n");

  base::g_settings.timeout = 30;
  EXPECT_EQ(newssys::run_ctlinnd("flush", "upstream"), 0);
  EXPECT_EQ(site.read("args"), site.path("elsewhere/ctl") + "\n-s\n-t30\nflush\nupstream\n");
}

TEST_F(ChildrenTest, RunCtlinndLooksForBareNamesInNewsbin) {
  fake_ctlinnd("bin/ctlinnd");
  EXPECT_EQ(newssys::run_ctlinnd("flush", "a"), 0);
  EXPECT_EQ(site.read("args"), site.path("bin") + "/ctlinnd\n-s\n-t600\nflush\na\n");

  fake_ctlinnd("bin/myctl");
  base::g_settings.ctlinnd = "myctl";
  EXPECT_EQ(newssys::run_ctlinnd("flush", "b"), 0);
  EXPECT_EQ(site.read("args"), site.path("bin") + "/myctl\n-s\n-t600\nflush\nb\n");

  // An empty --ctlinnd value means the default name.
  base::g_settings.ctlinnd = "";
  EXPECT_EQ(newssys::run_ctlinnd("flush", "c"), 0);
  EXPECT_EQ(site.read("args"), site.path("bin") + "/ctlinnd\n-s\n-t600\nflush\nc\n");
}

TEST_F(ChildrenTest, RunCtlinndReturnsTheRawWaitStatus) {
  base::g_settings.ctlinnd = fake_ctlinnd("bin/failing", 2);
  EXPECT_EQ(newssys::run_ctlinnd("flush", "upstream"), 512);

  const std::string missing = site.path("nowhere/ctlinnd");
  base::g_settings.ctlinnd = missing;
  CaptureFd err;
  EXPECT_EQ(newssys::run_ctlinnd("flush", "upstream"), 1280);
  EXPECT_EQ(err.take(), "tessu: could not exec " + missing + ": " + strerror(ENOENT) + "\n");
}

// Set in the forked test process; the handler fires only in a process forked from it.
std::string g_exit_marker;
pid_t g_exit_marker_owner = -1;

void mark_exit_path_taken() {
  if (getpid() == g_exit_marker_owner) return;
  const int fd = open(g_exit_marker.c_str(), O_WRONLY | O_CREAT, 0644);
  if (fd >= 0) close(fd);
}

TEST_F(ChildrenTest, ChildWhoseExecFailsDoesNotTakeTheExitPath) {
  const std::string missing = site.path("nowhere/program");
  g_exit_marker = site.path("exit-path-taken");
  base::g_settings.ctlinnd = missing;

  CaptureFd err;
  const pid_t tester = fork();
  ASSERT_GE(tester, 0);
  if (tester == 0) {
    g_exit_marker_owner = getpid();
    atexit(mark_exit_path_taken);
    int failures = 0;
    if (newssys::run_ctlinnd("flush", "upstream") != 1280) ++failures;
    pid_t pid = -1;
    FILE* to = sys::pipe_to_program(missing.c_str(), &pid, "a", nullptr);
    if (to == nullptr) {
      ++failures;
    } else {
      fclose(to);
      if (sys::wait_child(pid) != 1280) ++failures;
    }
    FILE* from = sys::pipe_from_program(missing.c_str(), &pid, nullptr);
    if (from == nullptr) {
      ++failures;
    } else {
      fclose(from);
      if (sys::wait_child(pid) != 1280) ++failures;
    }
    _exit(failures);
  }
  int status = 0;
  ASSERT_EQ(waitpid(tester, &status, 0), tester);
  const std::string text = err.take();
  ASSERT_TRUE(WIFEXITED(status));
  EXPECT_EQ(WEXITSTATUS(status), 0);
  EXPECT_FALSE(site.exists("exit-path-taken"));
  EXPECT_TRUE(contains(text, "tessu: could not exec " + missing + ": ")) << text;
  EXPECT_TRUE(contains(text, "tessu: can't exec: " + missing + ": ")) << text;
}

TEST_F(ChildrenTest, RunScriptUsesTheGivenInputAndOutput) {
  site.write("in", "hello\n");
  const int in = open(site.path("in").c_str(), O_RDONLY);
  const int out = open(site.path("out").c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
  ASSERT_GE(in, 0);
  ASSERT_GE(out, 0);
  EXPECT_EQ(sys::run_script("tr a-z A-Z; echo done", in, out), 0);
  close(in);
  close(out);
  EXPECT_EQ(site.read("out"), "HELLO\ndone\n");

  EXPECT_EQ(sys::run_script("exit 3", 0, 1), 768);
}

TEST_F(ChildrenTest, RunScriptAppendsItsStandardErrorToConnectErrors) {
  if (!connect_errors_writable()) GTEST_SKIP() << kConnectErrors << " is not writable";
  const std::string marker = unique_marker("script");
  const off_t before = file_size(kConnectErrors);

  CaptureFd err;
  EXPECT_EQ(sys::run_script(("echo " + marker + " >&2").c_str(), 0, 1), 0);
  EXPECT_EQ(err.take(), "");
  EXPECT_GE(file_size(kConnectErrors), before + static_cast<off_t>(marker.size() + 1));
  EXPECT_TRUE(contains(file_tail(kConnectErrors, before), marker + "\n"));
}

TEST_F(ChildrenTest, CoprocessTalksThroughTwoPipes) {
  if (!connect_errors_writable()) GTEST_SKIP() << kConnectErrors << " is not writable";
  const std::string marker = unique_marker("coprocess");
  const off_t before = file_size(kConnectErrors);

  sys::CoprocessEnds ends;
  sys::spawn_coprocess(("echo " + marker + " >&2; tr a-z A-Z").c_str(), &ends);
  ASSERT_NE(ends.read_stream, nullptr);
  ASSERT_NE(ends.write_stream, nullptr);
  EXPECT_EQ(fileno(ends.read_stream), ends.read_fd);
  EXPECT_EQ(fileno(ends.write_stream), ends.write_fd);

  fputs("ping\n", ends.write_stream);
  fclose(ends.write_stream);  // the coprocess ends with its input
  EXPECT_EQ(read_all(ends.read_stream), "PING\n");
  fclose(ends.read_stream);
  EXPECT_TRUE(contains(file_tail(kConnectErrors, before), marker + "\n"));
}

TEST_F(ChildrenTest, PipeToProgramPassesOnlyTheArgumentsGiven) {
  const std::string program =
      script("bin/record", "{ echo \"$#\"; for a in \"$@\"; do echo \"$a\"; done; cat; } > '" +
                               site.path("record") + "'\n");
  pid_t pid = -1;
  FILE* stream = sys::pipe_to_program(program.c_str(), &pid, "-hOS", nullptr);
  ASSERT_NE(stream, nullptr);
  EXPECT_GT(pid, 0);
  fputs("article text\n", stream);
  fclose(stream);
  EXPECT_EQ(sys::wait_child(pid), 0);
  EXPECT_EQ(site.read("record"), "1\n-hOS\narticle text\n");

  stream = sys::pipe_to_program(program.c_str(), &pid, "one two", "three");
  ASSERT_NE(stream, nullptr);
  fclose(stream);
  EXPECT_EQ(sys::wait_child(pid), 0);
  EXPECT_EQ(site.read("record"), "2\none two\nthree\n");

  stream = sys::pipe_to_program(program.c_str(), &pid, nullptr, nullptr);
  ASSERT_NE(stream, nullptr);
  fclose(stream);
  EXPECT_EQ(sys::wait_child(pid), 0);
  EXPECT_EQ(site.read("record"), "0\n");
}

TEST_F(ChildrenTest, PipeFromProgramReadsTheProgramsOutput) {
  const std::string program = script("bin/say", "echo \"$#:$1\"\nexit 4\n");
  base::g_settings.verbosity = 1;
  CaptureFd err;
  pid_t pid = -1;
  FILE* stream = sys::pipe_from_program(program.c_str(), &pid, "hello world");
  ASSERT_NE(stream, nullptr);
  EXPECT_EQ(read_all(stream), "1:hello world\n");
  fclose(stream);
  EXPECT_EQ(sys::wait_child(pid), 1024);
  EXPECT_EQ(err.take(), "exec: " + program + " arg: hello world\n");
  base::g_settings.verbosity = 0;

  stream = sys::pipe_from_program(program.c_str(), &pid, nullptr);
  ASSERT_NE(stream, nullptr);
  EXPECT_EQ(read_all(stream), "0:\n");
  fclose(stream);
  EXPECT_EQ(sys::wait_child(pid), 1024);
}

TEST_F(ChildrenTest, DashIsStandardOutputAndStaysOpen) {
  CaptureFd out(1);
  pid_t pid = 12345;
  FILE* stream = sys::open_output("-", &pid);
  EXPECT_EQ(stream, stdout);
  EXPECT_EQ(pid, -1);
  fputs("first\n", stream);
  EXPECT_EQ(sys::close_output(stream, pid), 0);
  EXPECT_NE(fcntl(1, F_GETFD), -1);
  fputs("second\n", stdout);
  EXPECT_EQ(fflush(stdout), 0);
  EXPECT_EQ(out.take(), "first\nsecond\n");

  EXPECT_EQ(sys::close_output(nullptr, -1), 0);
}

TEST_F(ChildrenTest, BarDestinationRunsAShellCommand) {
  pid_t pid = -1;
  const std::string target = site.path("listed");
  FILE* stream = sys::open_output(("|tr a-z A-Z > '" + target + "'").c_str(), &pid);
  ASSERT_NE(stream, nullptr);
  EXPECT_GT(pid, 0);
  fputs("comp.lang.c\n", stream);
  EXPECT_EQ(sys::close_output(stream, pid), 0);
  EXPECT_EQ(site.read("listed"), "COMP.LANG.C\n");

  stream = sys::open_output("|exit 3", &pid);
  ASSERT_NE(stream, nullptr);
  EXPECT_EQ(sys::close_output(stream, pid), 768);
}

TEST_F(ChildrenTest, FileDestinationIsCreatedOrTruncated) {
  site.write("list", "an older and longer content\n");
  pid_t pid = 12345;
  FILE* stream = sys::open_output(site.path("list").c_str(), &pid);
  ASSERT_NE(stream, nullptr);
  EXPECT_EQ(pid, -1);
  fputs("new\n", stream);
  EXPECT_EQ(sys::close_output(stream, pid), 0);
  EXPECT_EQ(site.read("list"), "new\n");

  const std::string bad = site.path("nowhere/list");
  CaptureFd err;
  EXPECT_EQ(sys::open_output(bad.c_str(), &pid), nullptr);
  EXPECT_EQ(pid, -1);
  EXPECT_EQ(err.take(), "tessu: can't write to: " + bad + ": " + strerror(ENOENT) + "\n");
}

TEST_F(ChildrenTest, FailedCloseIsReportedAndReturnedWithoutAProcess) {
  CaptureFd err;
  pid_t pid = -1;
  FILE* stream = sys::open_output(site.path("list").c_str(), &pid);
  ASSERT_NE(stream, nullptr);
  // With its descriptor gone underneath it, the stream cannot be closed.
  close(fileno(stream));
  EXPECT_LT(sys::close_output(stream, pid), 0);
  EXPECT_EQ(err.take(), std::string("tessu: can't close: ") + strerror(EBADF) + "\n");
}

TEST_F(ChildrenTest, WaitChildLeavesOtherChildrenToTheirOwnWait) {
  const pid_t early = fork();
  ASSERT_GE(early, 0);
  if (early == 0) _exit(1);
  // Let it become a zombie without reaping it.
  siginfo_t info;
  ASSERT_EQ(waitid(P_PID, early, &info, WEXITED | WNOWAIT), 0);

  const pid_t wanted = fork();
  ASSERT_GE(wanted, 0);
  if (wanted == 0) _exit(2);
  EXPECT_EQ(sys::wait_child(wanted), 512);
  // The early child's status is still there for whoever waits for it.
  EXPECT_EQ(sys::wait_child(early), 256);
}

// The text of the time-out message for a child.
std::string terminating(pid_t pid, int seconds) {
  return "tessu: child process " + std::to_string(pid) + " still running after " +
         std::to_string(seconds) + " seconds, terminating it\n";
}

TEST_F(ChildrenTest, EveryWaitEndsWithTheTimeoutAndStopsTheChild) {
  base::g_settings.timeout = 1;
  {
    CaptureFd err;
    EXPECT_EQ(sys::run_script("exec sleep 1000", 0, 1), SIGTERM);
    EXPECT_TRUE(contains(err.take(), " still running after 1 seconds, terminating it\n"));
  }
  {
    base::g_settings.ctlinnd = script("bin/hanging-ctlinnd", "exec sleep 1000\n");
    CaptureFd err;
    EXPECT_EQ(newssys::run_ctlinnd("flush", "upstream"), SIGTERM);
    EXPECT_TRUE(contains(err.take(), " still running after 1 seconds, terminating it\n"));
  }
  {
    CaptureFd err;
    pid_t pid = -1;
    FILE* stream = sys::open_output("|exec sleep 1000", &pid);
    ASSERT_NE(stream, nullptr);
    EXPECT_EQ(sys::close_output(stream, pid), SIGTERM);
    EXPECT_EQ(err.take(), terminating(pid, 1));
  }
  {
    // A program that reads nothing and never ends, fed through a pipe.
    CaptureFd err;
    pid_t pid = -1;
    FILE* stream = sys::pipe_to_program("/bin/sleep", &pid, "1000", nullptr);
    ASSERT_NE(stream, nullptr);
    fclose(stream);
    EXPECT_EQ(sys::wait_child(pid), SIGTERM);
    EXPECT_EQ(err.take(), terminating(pid, 1));
  }
}

TEST_F(ChildrenTest, ChildIgnoringSigtermIsKilled) {
  base::g_settings.timeout = 1;
  CaptureFd err;
  pid_t pid = -1;
  FILE* stream = sys::open_output("|trap '' TERM; exec sleep 1000", &pid);
  ASSERT_NE(stream, nullptr);
  EXPECT_EQ(sys::close_output(stream, pid), SIGKILL);
  EXPECT_EQ(err.take(), terminating(pid, 1) + "tessu: child process " + std::to_string(pid) +
                            " ignored SIGTERM, killing it\n");
}

// Without a process descriptor to wait on (here: no descriptor left to get
// one), the wait looks at the child in steps, with the same outcomes.
[[noreturn]] void wait_without_process_descriptors() {
  base::g_settings.timeout = 1;
  const pid_t quick = fork();
  if (quick == 0) _exit(3);
  const pid_t slow = fork();
  if (slow == 0) {
    execl("/bin/sleep", "sleep", "1000", static_cast<char*>(nullptr));
    _exit(127);
  }
  while (dup(0) >= 0) {
  }
  if (errno != EMFILE) _exit(90);
  if (sys::wait_child(quick) != 768) _exit(91);
  if (sys::wait_child(slow) != SIGTERM) _exit(92);
  _exit(0);
}

TEST_F(ChildrenTest, WaitWorksWithoutProcessDescriptors) {
  EXPECT_EXIT(wait_without_process_descriptors(), testing::ExitedWithCode(0),
              "still running after 1 seconds, terminating it");
}

// Waits for a child that keeps sending SIGTERM to this process until it ends.
[[noreturn]] void wait_while_signalled() {
  sys::install_signal_handlers();
  int gone[2];
  if (pipe(gone) != 0) _exit(99);
  const pid_t waiter = getpid();
  const pid_t child = fork();
  if (child == 0) {
    // Keep signalling until the waiting process has ended (its end of the
    // pipe closes), so that one signal surely lands inside wait().
    close(gone[1]);
    for (int i = 0; i < 1200; ++i) {
      kill(waiter, SIGTERM);
      struct pollfd p = {gone[0], POLLIN, 0};
      if (poll(&p, 1, 50) > 0) break;
    }
    _exit(0);
  }
  close(gone[0]);
  sys::wait_child(child);
  _exit(98);
}

TEST_F(ChildrenTest, TerminatingSignalDuringWaitEndsTheRun) {
  EXPECT_EXIT(wait_while_signalled(), testing::ExitedWithCode(1), "received signal: Terminated");
}

}  // namespace

namespace {

struct ReadOutputTest : ChildrenTest {
  sys::ProgramOutput read;

  void run(const std::string& path, size_t limit) {
    const sys::ArgVector args = sys::program_arguments(path.c_str(), nullptr, nullptr);
    sys::read_program_output(path.c_str(), args, limit, &read);
  }
  std::string output() const { return std::string(read.output.begin(), read.output.end()); }
};

}  // namespace

TEST_F(ReadOutputTest, ExitStatusOutputAndErrorsOfAProgramThatRan) {
  // Status 5 is what a child whose exec failed exits with: it must not pass for one.
  run(script("bin/five", "printf 'out'; printf 'said\\n' >&2; exit 5\n"), 10);
  EXPECT_EQ(read.end, sys::ProgramEnd::kExited);
  ASSERT_TRUE(WIFEXITED(read.status));
  EXPECT_EQ(WEXITSTATUS(read.status), 5);
  EXPECT_EQ(output(), "out");
  EXPECT_EQ(read.errors, "said\n");
}

TEST_F(ReadOutputTest, ProgramThatCannotBeRunIsNotStarted) {
  const std::string missing = site.path("nowhere/sm");
  CaptureFd err;
  run(missing, 10);
  EXPECT_EQ(read.end, sys::ProgramEnd::kNotStarted);
  EXPECT_TRUE(read.output.empty());
  EXPECT_TRUE(contains(err.take(), "tessu: can't exec: " + missing + ": No such file"));
}

TEST_F(ReadOutputTest, OutputUpToTheLimitIsTakenAndMoreStopsTheProgram) {
  const std::string eleven = script("bin/eleven", "printf '0123456789\\n'; exec sleep 1000\n");
  base::g_settings.timeout = 1;
  run(eleven, 10);
  EXPECT_EQ(read.end, sys::ProgramEnd::kTooLarge);
  EXPECT_EQ(output(), "0123456789");
  EXPECT_EQ(read.status, SIGTERM);

  run(script("bin/exact", "printf '0123456789\\n'\n"), 11);
  EXPECT_EQ(read.end, sys::ProgramEnd::kExited);
  EXPECT_EQ(output(), "0123456789\n");
}

TEST_F(ReadOutputTest, LongStandardErrorIsCutWithoutHoldingTheProgramUp) {
  run(script("bin/talkative", "head -c 200000 /dev/zero | tr '\\0' e >&2; printf 'done'\n"), 10);
  EXPECT_EQ(read.end, sys::ProgramEnd::kExited);
  EXPECT_EQ(output(), "done");
  EXPECT_EQ(read.errors, std::string(sys::kProgramErrorsMax, 'e'));
}

TEST_F(ReadOutputTest, ProgramStillRunningAtTheTimeoutIsStopped) {
  base::g_settings.timeout = 1;
  CaptureFd err;
  run(script("bin/slow", "printf 'part'; exec sleep 1000\n"), 10);
  EXPECT_EQ(read.end, sys::ProgramEnd::kTimedOut);
  EXPECT_EQ(read.status, SIGTERM);
  EXPECT_TRUE(contains(err.take(), " still running after 1 seconds, terminating it\n"));
}
