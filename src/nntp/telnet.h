// Telnet mode: the line I/O of a connection to a telnet service (a terminal
// server or login host in front of the news server). Telnet commands are
// taken out of what arrives and option requests refused, lines go out ending
// in a single CR and may be checked against their echo, and a chat script
// (--chat) answers the login dialogue as its prompts arrive.
#pragma once

#include <array>
#include <cstddef>

#include "nntp/connection.h"

namespace nntp {

/// Bytes taken from the socket at a time (and kept until read).
inline constexpr size_t kTelnetReceiveSize = 5120;

/// Longest line of a chat script, without its line end.
inline constexpr int kChatLineMax = 511;

/// Wrong echoes of one line after which the run ends.
inline constexpr int kEchoAttempts = 100;

/// What was received from a telnet connection and not yet read. Bytes after a
/// line end stay here for the next read.
struct TelnetInput {
  std::array<unsigned char, kTelnetReceiveSize> data;
  size_t count = 0;   // bytes received
  size_t next = 0;    // the next unread byte
  int put_back = -1;  // a data byte to take before data[next], or -1
};

/// The receive buffer of the telnet connection, kept for the whole run.
extern TelnetInput g_telnet_input;

/// Reads one line from a telnet connection into buffer (at most size-1 bytes,
/// always terminated, line end kept as CR LF or LF), answering option requests
/// and running the chat script as bytes arrive; waits at most the time-out.
/// Returns the number of bytes stored, or -1 after a message (time-out,
/// receive error, or end of stream before any byte).
int telnet_read_line(char* buffer, int size, Connection* connection);

/// Sends length bytes of data and a single CR; with echo checking on, reads
/// lines until one echoes data (each within the time-out), ending the run with
/// status 11 after 100 wrong ones. 1, or 0 after a message.
int telnet_write_line(const char* data, size_t length, Connection* connection);

/// Advances the chat script with the line received so far: reads the next
/// expect/send pair when none is pending, and when the pending expect text is
/// in line, sends its answer and a CR. False only when the answer could not be
/// sent within the time-out (reported); otherwise true.
bool run_chat(const char* line, Connection* connection);

}  // namespace nntp
