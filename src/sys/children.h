// Child processes: ctlinnd, shell commands, coprocesses joined by two pipes,
// and programs fed through (or read from) a pipe.
#pragma once

#include <sys/types.h>
#include <cstdio>

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
