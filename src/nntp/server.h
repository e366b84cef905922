// Connecting to the server, reading its greeting, and closing the connection.
#pragma once

#include "nntp/connection.h"

namespace nntp {

/// Connects to host and port (or starts --connect), runs --exec, starts TLS
/// with --tls, and reads the greeting; returns its code, or -1 when no
/// connection (or no TLS session) could be made. Ends the
/// run when the connect script fails (11) or no greeting arrives (9).
int open_server(const char* host, const char* port);

/// Makes the timed TCP connection to host and port and sets up connection on
/// it (telnet flag, --chat script); 0, or -1 after a message.
int connect_server(const char* host, const char* port, Connection* connection);

/// Connects a TCP socket to host (dotted address or name) and port (number or
/// service name) within the time-out; the socket, or -1 after a message.
int tcp_connect(const char* host, const char* port);

/// STARTTLS after the greeting (RFC 4642): CAPABILITIES unless known, STARTTLS,
/// the handshake, CAPABILITIES again. 1 when TLS is up; 0 when the server does
/// not list STARTTLS and required is false (after a warning); -1 after an
/// error message (the run ends with status 3). A broken connection ends the run (9).
int negotiate_starttls(const char* host, bool required);

/// COMPRESS DEFLATE (RFC 8054) when the capabilities list it: on 206 both
/// directions are compressed from there on; otherwise a message and the
/// connection goes on as it was. A broken connection ends the run (9).
void negotiate_compression();

/// Sends QUIT (abort: every later read waits at most a second), takes the
/// outstanding replies and QUIT's reply and closes the connection; 1 when done,
/// 0 when QUIT could not be sent or its reply not read (connection left open).
int close_server(int abort);

}  // namespace nntp
