// Connecting to the server, reading its greeting, and closing the connection.
#pragma once

namespace nntp {

/// Connects to host and port (or through --connect, and runs --exec) and reads
/// the greeting; returns its code, or -1 when no connection could be made.
int open_server(const char* host, const char* port);

/// Sends QUIT (abort: without waiting for outstanding replies to be used) and
/// closes the connection; 1 when done, 0 when QUIT could not be completed.
int close_server(int abort);

}  // namespace nntp
