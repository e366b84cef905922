// Child processes: ctlinnd, shell commands, coprocesses joined by two pipes,
// and programs fed through (or read from) a pipe.
#pragma once

#include <sys/types.h>
#include <cstddef>
#include <cstdio>
#include <string>
#include <vector>

#include "sys/command_line.h"

namespace sys {

/// The two ends of a coprocess as the program sees them.
struct CoprocessEnds {
  int read_fd = -1;   // the child's standard output
  int write_fd = -1;  // the child's standard input
  FILE* read_stream = nullptr;
  FILE* write_stream = nullptr;
};

/// Waits for the child pid, at most the time-out (--timeout); a child still
/// running then is stopped with SIGTERM, later SIGKILL, after a message.
/// Returns its raw wait status (a killed child's is the signal number).
/// Signals are acted on as in every wait; other children are left alone.
int wait_child(pid_t pid);

/// Runs path with args (as the real user and group) and waits; returns the
/// wait status (a failed exec exits the child with status 5).
int run_program_waited(const char* path, const ArgVector& args);

/// Runs command through /bin/sh -c with the given standard input and output and
/// waits; returns the wait status.
int run_script(const char* command, int in_fd, int out_fd);

/// Starts command through /bin/sh -c as a coprocess and fills ends; never waited for.
void spawn_coprocess(const char* command, CoprocessEnds* ends);

/// Starts program with up to two arguments, its standard input a pipe from us;
/// returns the write stream (pid set), or null after a message.
FILE* pipe_to_program(const char* program, pid_t* pid, const char* arg1, const char* arg2);

/// Starts program with up to one argument, its standard output a pipe to us;
/// returns the read stream (pid set), or null after a message.
FILE* pipe_from_program(const char* program, pid_t* pid, const char* arg);

/// How a program run by read_program_output ended.
enum class ProgramEnd {
  kExited,      // by itself: ProgramOutput::status holds its wait status
  kNotStarted,  // it could not be started (after a message)
  kTimedOut,    // still running at the time-out: stopped (after a message)
  kTooLarge,    // it wrote more than the limit: stopped
  kReadFailed,  // its output could not be read: stopped (after a message)
};

/// The most of a program's standard error that read_program_output keeps.
inline constexpr size_t kProgramErrorsMax = 512;

/// What a program run by read_program_output wrote, and how it ended.
struct ProgramOutput {
  ProgramEnd end = ProgramEnd::kNotStarted;
  int status = 0;            // the wait status, for kExited
  std::vector<char> output;  // its standard output, at most the limit
  std::string errors;        // the start of its standard error
};

/// Runs path with args directly, without a shell (as the real user and
/// group), and reads its standard output and standard error through pipes
/// into *result. A program that writes more than limit bytes of output is
/// stopped; the whole run, reading and waiting, is bounded by the time-out,
/// after which the program is stopped as wait_child does. Signals are acted
/// on as in every wait.
void read_program_output(const char* path, const ArgVector& args, size_t limit,
                         ProgramOutput* result);

/// Opens an output destination: "|command", "-" for standard output, or a file.
/// A regular file (or a new one) is written under a temporary name in its
/// directory and takes the file's place only when close_output succeeds; a
/// device or fifo is written directly. pid is -1 unless a command was
/// started. Null after a message.
FILE* open_output(const char* destination, pid_t* pid);

/// Flushes and closes a destination opened by open_output, moving a file into
/// place; returns the close result (negative after a message) when no process
/// is attached, else the command's wait status.
int close_output(FILE* stream, pid_t pid);

/// Gives up a destination whose output is incomplete: a file's temporary copy
/// is removed and the file left as it was; a command's input is closed and the
/// command waited for.
void abandon_output(FILE* stream, pid_t pid);

/// Removes the temporary copies of files still being written (for the exit path).
void remove_unfinished_outputs();

}  // namespace sys
