// The one connection to the news server: its record, line I/O bounded by the
// time-out, and the reply window that keeps several commands in flight.
#pragma once

#include <sys/types.h>
#include <array>
#include <cstddef>
#include <cstdint>
#include <cstdio>

#include "sys/children.h"
#include "sys/timed_io.h"

namespace nntp {

struct TlsState;     // nntp/tls.h
struct Compression;  // nntp/compress.h

/// Bytes buffered on each side of a connection.
inline constexpr size_t kStreamBufferSize = 32768;

/// Longest NNTP status line we keep, without its CR LF (RFC 3977 3.1 allows 512 with it;
/// older servers were less careful, so 512 are kept). The rest of a longer line is read
/// and dropped.
inline constexpr int kStatusLineMax = 512;

/// A buffer that holds a status line of kStatusLineMax and its terminating NUL.
inline constexpr int kStatusLineBuffer = kStatusLineMax + 1;

/// Longest command line we send, CR LF included (RFC 3977 3.1).
inline constexpr int kCommandLineMax = 512;

/// Longest status line read to its end at all; a longer one fails the read.
inline constexpr int64_t kStatusLineReadMax = 65536;

/// Entries of the reply window's ring; also the highest window limit.
inline constexpr int kReplyWindowSize = 1000;

/// Buffered input on the connection's read descriptor.
struct InputStream {
  std::array<char, kStreamBufferSize> data;
  size_t start = 0;    // next byte to hand out
  size_t end = 0;      // one past the last byte received
  bool error = false;  // a read failed (sticky, like a stream's error indicator)
};

/// Buffered output on the connection's write descriptor.
struct OutputStream {
  std::array<char, kStreamBufferSize> data;
  size_t used = 0;
  bool not_socket = false;  // learnt on the first send: writes then go through write()
};

/// A connection to a server or to a coprocess: two descriptors with their
/// streams, and the telnet and chat state.
struct Connection {
  int read_fd = -1;                 // the socket, or the read end of the pipe from a program
  int write_fd = -1;                // a duplicate of the socket, or the write end of a pipe
  InputStream read_stream;          // used for every read outside telnet mode
  OutputStream write_stream;        // used for every write outside telnet mode
  int telnet = 0;                   // 1 when the server port is "telnet"
  int echo_checking = 0;            // set by the chat script's ECHO line
  int chat_pending = 0;             // an expect/send pair waits for its expect text
  FILE* chat_script = nullptr;      // the --chat file while it still has pairs to run
  TlsState* tls = nullptr;          // set while TLS runs under the streams
  Compression* compress = nullptr;  // set while COMPRESS DEFLATE runs (above TLS)
};

/// The connection to the news server.
extern Connection g_connection;

/// Handles one reply taken from the window: (status line without CR LF,
/// number, text) as queued; non-zero means handled and the session goes on.
using ReplyHandler = int (*)(const char* line, int64_t number, const char* text);

/// One queued command whose reply is still to come.
struct ReplyEntry {
  ReplyHandler handler = nullptr;
  int64_t number = 0;
  const char* text = nullptr;  // owned by the caller until the reply is taken
};

/// The ring of outstanding replies, oldest first.
struct ReplyWindow {
  std::array<ReplyEntry, kReplyWindowSize> entries;
  int count = 0;      // outstanding replies
  int oldest = 0;     // index of the oldest outstanding entry
  int next_free = 0;  // index of the next free entry
};

/// The reply window of the server connection.
extern ReplyWindow g_reply_window;

/// Sets up connection on two open descriptors, with empty streams and telnet
/// and chat state cleared.
void attach_connection(Connection* connection, int read_fd, int write_fd);

/// Takes over the descriptors of a coprocess (its streams are closed, the
/// descriptors kept as duplicates) as connection.
void adopt_coprocess(sys::CoprocessEnds* ends, Connection* connection);

/// Reads one line, line end kept, into buffer (at most size-1 bytes, always
/// terminated), waiting at most the time-out; 1, or 0 after a message.
int read_line(char* buffer, int size, Connection* connection);

/// Sends length bytes of data and the line terminator, flushing when asked; 1, or 0 after a
/// message.
int write_line(const char* data, size_t length, Connection* connection, bool flush);

/// Sends what the write stream holds; true, or false after a message.
bool flush_connection(Connection* connection);

/// Moves what the read stream holds but nobody has read yet into buffer (at
/// most size bytes) and empties the stream; the bytes moved.
size_t take_buffered_input(Connection* connection, char* buffer, size_t size);

/// Closes the read stream, then the write stream (unsent output is sent first).
void close_connection(Connection* connection);

/// Reads a status line from the server under one time-out: traced, counted,
/// CR and LF removed. A line longer than the buffer is read to its end and
/// its first size-1 bytes kept (one longer than kStatusLineReadMax fails);
/// 1 or 0.
int get_line(char* buffer, int size);

/// Takes every outstanding reply, then reads a status line; 1, 0, or -1 when
/// taking the outstanding replies failed (nothing was read).
int get_reply(char* buffer, int size);

/// Reads a line of a multi-line body as received (line end kept, not counted); 1 or 0.
int get_text_line(char* buffer, int size);

/// Traces, counts and sends a command line, flushed; 1 or 0.
int put_line(const char* text);

/// As put_line, without the trace (for secrets).
int put_line_quiet(const char* text);

/// Sends a chunk of article text as one line, traced only at verbosity 7 and
/// above, flushed only when asked; 1 or 0.
int put_text(const char* data, size_t length, bool flush);

/// Sends command now (over TLS: with the commands queued after it, before the
/// next reply is waited for) and leaves its reply to a later take_reply (at
/// once with --window 0); first takes replies while the window is full. 1 or 0.
int queue_command(const char* command, ReplyHandler handler, int64_t number, const char* text);

/// Reads and handles the oldest outstanding reply: the handler's result, 1
/// when nothing was outstanding, 0 when the status line could not be read
/// (its entry then stays outstanding).
int take_reply();

/// -1 when nothing is outstanding, else the result of take_reply.
int poll_reply();

/// Takes replies until none is outstanding; 0 at the first failure, else 1.
int drain_replies();

/// The number of commands the window holds in flight: --window, 1 for 0, at most 1000.
int window_limit();

/// One timed operation on a connection (a line read, a write): its deadline,
/// taken when it starts, and whether signals that arrived before it were
/// already acted upon.
struct TimedOperation {
  int64_t deadline = sys::timed_deadline();
  bool signals_checked = false;
  bool timed_out = false;

  /// A terminating signal that arrived before the operation had to wait ends
  /// the run as it would outside any wait (checked once per operation).
  void check_signals_once();
};

/// Reports a timed operation that gave up: state "alarm", system error number
/// EPIPE, and text as an error message.
void report_timeout(const char* text);

}  // namespace nntp
