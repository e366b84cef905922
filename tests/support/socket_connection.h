// The server connection on one end of a socket pair, for unit tests of the
// line I/O and of what is built on it: the test plays the server on the
// other end.
#pragma once

#include <cstddef>
#include <string>

namespace testsupport {

/// Sets what the line I/O reads for a test (no trace, not a dry run, CR LF
/// line ends, a time-out that only keeps a broken test from hanging) and
/// empties the reply window. The caller keeps a SettingsGuard to put the
/// settings back.
void prepare_line_io();

/// Attaches nntp::g_connection to one end of a new socket pair; returns the
/// other end, the test's, or -1 when no pair could be had.
int attach_socket_pair();

/// Closes nntp::g_connection and the test's end (unless that is -1 already).
void detach_socket_pair(int peer);

/// Writes bytes to fd in one write; the test fails when not all of them went.
void write_to(int fd, const std::string& bytes);

/// Everything that can be read from fd now, without waiting.
std::string read_waiting(int fd);

/// Reads from fd until count bytes or more have come, or the other end closes.
std::string read_at_least(int fd, size_t count);

}  // namespace testsupport
