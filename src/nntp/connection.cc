#include "nntp/connection.h"

#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <time.h>
#include <unistd.h>
#include <algorithm>
#include <cerrno>
#include <climits>
#include <csignal>
#include <cstring>
#include <string>

#include "base/settings.h"
#include "nntp/compress.h"
#include "nntp/telnet.h"
#include "nntp/tls.h"
#include "report/exit.h"
#include "report/message.h"
#include "report/stats.h"
#include "report/title.h"
#include "sys/signals.h"
#include "sys/timed_io.h"

namespace nntp {

Connection g_connection;
ReplyWindow g_reply_window;

void TimedOperation::check_signals_once() {
  if (signals_checked) return;
  signals_checked = true;
  sys::check_signals();
}

namespace {

using report::message;

// Verbosity from which article text is traced.
constexpr int kTextTraceVerbosity = 7;

// Asks the kernel to acknowledge what arrives at once. A server that writes a
// reply in two parts waits (Nagle) for the acknowledgement of the first; a
// delayed one costs up to 40 ms per reply whenever no command is ready to
// carry it. Linux clears the flag again after a while, so it is set after
// every read; elsewhere, and on anything but a TCP socket, nothing happens.
void acknowledge_promptly(int fd) {
#ifdef TCP_QUICKACK
  static const int on = 1;
  setsockopt(fd, IPPROTO_TCP, TCP_QUICKACK, &on, sizeof on);
#else
  (void)fd;
#endif
}

// Reads what the descriptor (or the TLS session on it) has into buffer,
// waiting under the time-out. Over TLS one read may take several records;
// the acknowledgement is asked for once per read, as on plain text.
Transfer receive(Connection* connection, char* buffer, size_t size, size_t* got,
                 TimedOperation* operation) {
  if (connection->tls != nullptr) {
    const Transfer outcome = tls_read(connection->tls, buffer, size, got, operation->deadline);
    if (outcome == Transfer::kData) acknowledge_promptly(connection->read_fd);
    if (outcome == Transfer::kTimedOut) operation->timed_out = true;
    if (outcome == Transfer::kError) connection->read_stream.error = true;
    return outcome;
  }
  for (;;) {
    if (!sys::wait_descriptor(connection->read_fd, POLLIN, operation->deadline)) {
      operation->timed_out = true;
      return Transfer::kTimedOut;
    }
    const ssize_t read_bytes = read(connection->read_fd, buffer, size);
    if (read_bytes > 0) {
      if (!connection->write_stream.not_socket) acknowledge_promptly(connection->read_fd);
      *got = static_cast<size_t>(read_bytes);
      return Transfer::kData;
    }
    if (read_bytes == 0) {
      // The other side has closed; report it as the broken connection it is.
      errno = EPIPE;
      return Transfer::kEnd;
    }
    if (errno == EINTR || errno == EAGAIN || errno == EWOULDBLOCK) continue;
    connection->read_stream.error = true;
    return Transfer::kError;
  }
}

// Inflates into the read stream, receiving compressed input as the inflater asks for it.
Transfer receive_compressed(Connection* connection, TimedOperation* operation) {
  InputStream& in = connection->read_stream;
  for (;;) {
    size_t produced = 0;
    switch (inflate_some(connection->compress, in.data.data(), in.data.size(), &produced)) {
      case Inflated::kData:
        in.start = 0;
        in.end = produced;
        return Transfer::kData;
      case Inflated::kEnd:
        errno = EPIPE;
        return Transfer::kEnd;
      case Inflated::kError:
        in.error = true;
        errno = EPROTO;
        return Transfer::kError;
      case Inflated::kNeedInput:
        break;
    }
    size_t room = 0;
    unsigned char* space = input_space(connection->compress, &room);
    size_t got = 0;
    const Transfer outcome =
        receive(connection, reinterpret_cast<char*>(space), room, &got, operation);
    if (outcome != Transfer::kData) return outcome;
    input_received(connection->compress, got);
  }
}

// Refills an empty read stream with what the connection has, waiting under the time-out.
Transfer fill_input(Connection* connection, TimedOperation* operation) {
  InputStream& in = connection->read_stream;
  operation->check_signals_once();
  if (connection->compress != nullptr) return receive_compressed(connection, operation);
  size_t got = 0;
  const Transfer outcome = receive(connection, in.data.data(), in.data.size(), &got, operation);
  if (outcome == Transfer::kData) {
    in.start = 0;
    in.end = got;
  }
  return outcome;
}

// Writes some of data without blocking beyond what poll promised.
ssize_t send_some(Connection* connection, const char* data, size_t length) {
  OutputStream& out = connection->write_stream;
  if (!out.not_socket) {
    const ssize_t sent = send(connection->write_fd, data, length, MSG_NOSIGNAL | MSG_DONTWAIT);
    if (sent >= 0 || errno != ENOTSOCK) return sent;
    out.not_socket = true;
  }
  // A pipe that polls writable takes PIPE_BUF bytes without blocking.
  return sys::write_without_sigpipe(connection->write_fd, data, std::min<size_t>(length, PIPE_BUF));
}

// Sends all of data to the descriptor (or the TLS session on it), waiting for
// room under the time-out. A socket is tried first (its sends never block)
// and waited for only when full; a pipe is waited for first, since its
// writes block.
bool transmit(Connection* connection, const char* data, size_t length, TimedOperation* operation) {
  if (connection->tls != nullptr) {
    const Transfer outcome = tls_write(connection->tls, data, length, operation->deadline);
    if (outcome == Transfer::kTimedOut) operation->timed_out = true;
    return outcome == Transfer::kData;
  }
  bool must_wait = connection->write_stream.not_socket;
  while (length > 0) {
    if (must_wait && !sys::wait_descriptor(connection->write_fd, POLLOUT, operation->deadline)) {
      operation->timed_out = true;
      return false;
    }
    const ssize_t sent = send_some(connection, data, length);
    must_wait = true;
    if (sent > 0) {
      data += sent;
      length -= static_cast<size_t>(sent);
      must_wait = connection->write_stream.not_socket;
      continue;
    }
    if (sent < 0 && (errno == EINTR || errno == EAGAIN || errno == EWOULDBLOCK)) continue;
    if (sent == 0) errno = EPIPE;
    return false;
  }
  return true;
}

// Sends all of data, compressed when COMPRESS is in force (each call ends
// with a flush, so that the server has every command sent).
bool send_all(Connection* connection, const char* data, size_t length, TimedOperation* operation) {
  operation->check_signals_once();
  if (connection->compress == nullptr) return transmit(connection, data, length, operation);
  deflate_begin(connection->compress, data, length);
  const unsigned char* chunk = nullptr;
  size_t size = 0;
  while (deflate_next(connection->compress, &chunk, &size)) {
    if (!transmit(connection, reinterpret_cast<const char*>(chunk), size, operation)) return false;
  }
  return !connection->compress->failed;
}

// Sends what the write stream holds; the buffer is emptied even on failure,
// since a half-sent command cannot be completed later anyway.
bool flush_stream(Connection* connection, TimedOperation* operation) {
  OutputStream& out = connection->write_stream;
  if (out.used == 0) return true;
  const size_t used = out.used;
  out.used = 0;
  return send_all(connection, out.data.data(), used, operation);
}

bool append_output(Connection* connection, const char* data, size_t length,
                   TimedOperation* operation) {
  OutputStream& out = connection->write_stream;
  if (out.used + length > out.data.size()) {
    if (!flush_stream(connection, operation)) return false;
    if (length >= out.data.size()) return send_all(connection, data, length, operation);
  }
  memcpy(out.data.data() + out.used, data, length);
  out.used += length;
  return true;
}

void report_write_failure(const TimedOperation& operation) {
  if (operation.timed_out) report_timeout("timeout on server socket");
  message(report::kSysError, "write error on server socket");
}

// Counts and sends a command or text line on the server connection.
int send_counted(const char* data, size_t length, bool flush) {
  report::g_counters.grossbyt +=
      static_cast<int64_t>(length + base::g_settings.paths.line_terminator.size());
  return write_line(data, length, &g_connection, flush);
}

// Counts and sends a command line, flushed when asked.
int send_command(const char* text, bool flush) {
  if (base::g_settings.dry_run) return 1;
  return send_counted(text, strlen(text), flush);
}

// Traces, counts and sends a command line, flushed when asked.
int send_traced(const char* text, bool flush) {
  message(report::kSent, "%s\n", text);
  return send_command(text, flush);
}

void empty_line(char* buffer, int size) {
  if (size > 0) buffer[0] = '\0';
}

// Reads one line, or as much of it as fits, into buffer (at most size-1
// bytes, always terminated, line end kept); the bytes stored, or -1 after a
// message.
int read_piece(char* buffer, int size, Connection* connection) {
  // A telnet connection is read byte by byte on its descriptor, under the same time-out.
  if (connection->telnet != 0) return telnet_read_line(buffer, size, connection);
  if (size < 1) return -1;
  InputStream& in = connection->read_stream;
  TimedOperation operation;
  const size_t limit = static_cast<size_t>(size) - 1;
  size_t got = 0;
  Transfer outcome = Transfer::kData;
  while (got < limit) {
    if (in.start == in.end) {
      // Commands queued over TLS wait in the write stream until a reply is waited for.
      if (connection->write_stream.used != 0 && !flush_connection(connection)) {
        buffer[got] = '\0';
        return -1;
      }
      outcome = fill_input(connection, &operation);
      if (outcome != Transfer::kData) break;
    }
    const char* from = in.data.data() + in.start;
    const size_t room = std::min(in.end - in.start, limit - got);
    const char* newline = static_cast<const char*>(memchr(from, '\n', room));
    const size_t take = newline != nullptr ? static_cast<size_t>(newline - from) + 1 : room;
    memcpy(buffer + got, from, take);
    got += take;
    in.start += take;
    if (newline != nullptr) break;
  }
  buffer[got] = '\0';
  if (outcome == Transfer::kTimedOut) {
    report_timeout("timeout on server socket");
    return -1;
  }
  int result = static_cast<int>(got);
  if (got == 0 && limit > 0) {
    message(report::kSysError, "read error on socket");
    result = -1;
  }
  if (in.error) {
    message(report::kSysError, "error on socket");
    return -1;
  }
  return result;
}

// Reads a status line whole: what does not fit in buffer is read up to its
// line end and dropped, so that the rest of an over-long line is never taken
// for the next reply; *cut tells whether that happened. The bytes received,
// or -1 after a message.
int64_t read_status_line(char* buffer, int size, bool* cut) {
  *cut = false;
  const int got = read_piece(buffer, size, &g_connection);
  if (got < 0) return -1;
  // A piece that stops short of the buffer's end ended with the line or with the stream.
  if (got == 0 || got < size - 1 || buffer[got - 1] == '\n') return got;
  *cut = true;
  char rest[kStatusLineBuffer];
  int64_t received = got;
  for (;;) {
    const int more = read_piece(rest, static_cast<int>(sizeof rest), &g_connection);
    if (more < 0) return -1;
    received += more;
    if (received > kStatusLineReadMax) {
      message(report::kError, "NNTP status line too long: %.60s", buffer);
      return -1;
    }
    if (more == 0 || more < static_cast<int>(sizeof rest) - 1 || rest[more - 1] == '\n') {
      return received;
    }
  }
}

}  // namespace

void report_timeout(const char* text) {
  report::set_state("alarm");
  errno = EPIPE;
  message(report::kError, "%s", text);
}

void attach_connection(Connection* connection, int read_fd, int write_fd) {
  connection->read_fd = read_fd;
  connection->write_fd = write_fd;
  connection->read_stream.start = 0;
  connection->read_stream.end = 0;
  connection->read_stream.error = false;
  connection->write_stream.used = 0;
  connection->write_stream.not_socket = false;
  connection->telnet = 0;
  connection->echo_checking = 0;
  connection->chat_pending = 0;
  connection->chat_script = nullptr;
  connection->tls = nullptr;
  connection->compress = nullptr;
}

void adopt_coprocess(sys::CoprocessEnds* ends, Connection* connection) {
  // Our own streams do the buffering, so only the descriptors are kept.
  auto take = [](int fd, FILE** stream) {
    if (*stream == nullptr) return fd;
    const int copy = fcntl(fileno(*stream), F_DUPFD_CLOEXEC, 0);
    if (copy < 0) return fileno(*stream);  // keep the stream open rather than lose the pipe
    fclose(*stream);
    *stream = nullptr;
    return copy;
  };
  const int read_fd = take(ends->read_fd, &ends->read_stream);
  const int write_fd = take(ends->write_fd, &ends->write_stream);
  ends->read_fd = -1;
  ends->write_fd = -1;
  attach_connection(connection, read_fd, write_fd);
}

int read_line(char* buffer, int size, Connection* connection) {
  return read_piece(buffer, size, connection) >= 0 ? 1 : 0;
}

int write_line(const char* data, size_t length, Connection* connection, bool flush) {
  // A telnet connection takes each line at once, ending in a single CR.
  if (connection->telnet != 0) return telnet_write_line(data, length, connection);
  const std::string& terminator = base::g_settings.paths.line_terminator;
  TimedOperation operation;
  bool ok = append_output(connection, data, length, &operation) &&
            append_output(connection, terminator.data(), terminator.size(), &operation);
  if (ok && flush) ok = flush_stream(connection, &operation);
  if (!ok) {
    report_write_failure(operation);
    return 0;
  }
  return 1;
}

bool flush_connection(Connection* connection) {
  TimedOperation operation;
  if (flush_stream(connection, &operation)) return true;
  report_write_failure(operation);
  return false;
}

size_t take_buffered_input(Connection* connection, char* buffer, size_t size) {
  InputStream& in = connection->read_stream;
  const size_t length = std::min(in.end - in.start, size);
  memcpy(buffer, in.data.data() + in.start, length);
  in.start = 0;
  in.end = 0;
  return length;
}

void close_connection(Connection* connection) {
  if (connection->write_fd >= 0 && connection->write_stream.used != 0) {
    flush_connection(connection);
  }
  if (connection->compress != nullptr) stop_compression(connection->compress);
  if (connection->tls != nullptr) stop_tls(connection->tls, sys::timed_deadline());
  if (connection->read_fd >= 0) close(connection->read_fd);
  if (connection->write_fd >= 0 && connection->write_fd != connection->read_fd) {
    close(connection->write_fd);
  }
  attach_connection(connection, -1, -1);
}

int get_line(char* buffer, int size) {
  if (base::g_settings.dry_run) {
    empty_line(buffer, size);
    return 1;
  }
  // The whole line, however long, is read under one time-out.
  const int64_t outer_limit = sys::limit_timed_operations(sys::timed_deadline());
  bool cut = false;
  const int64_t received = read_status_line(buffer, size, &cut);
  sys::limit_timed_operations(outer_limit);
  if (received < 0) return 0;
  report::g_counters.grossbyt += received;
  // The trace shows a line with its line end; a cut line has lost its own.
  message(report::kReceived, cut ? "%s\n" : "%s", buffer);
  size_t length = strlen(buffer);
  if (length > 0 && (buffer[length - 1] == '\r' || buffer[length - 1] == '\n')) {
    while (length > 0 && (buffer[length - 1] == '\r' || buffer[length - 1] == '\n')) {
      buffer[--length] = '\0';
    }
  }
  return 1;
}

int get_reply(char* buffer, int size) {
  if (!drain_replies()) return -1;
  return get_line(buffer, size);
}

int get_text_line(char* buffer, int size) {
  if (base::g_settings.dry_run) {
    empty_line(buffer, size);
    return 1;
  }
  if (!read_line(buffer, size, &g_connection)) return 0;
  if (base::g_settings.verbosity >= kTextTraceVerbosity) message(report::kReceived, "%s", buffer);
  return 1;
}

int put_line(const char* text) {
  return send_traced(text, true);
}

int put_line_quiet(const char* text) {
  return send_command(text, true);
}

int put_text(const char* data, size_t length, bool flush) {
  if (base::g_settings.verbosity >= kTextTraceVerbosity) {
    message(report::kSent, "%.*s\n", static_cast<int>(length), data);
  }
  if (base::g_settings.dry_run) return 1;
  return send_counted(data, length, flush);
}

int window_limit() {
  const int32_t window = base::g_settings.window;
  if (window <= 0) return 1;
  return std::min<int32_t>(window, kReplyWindowSize);
}

int queue_command(const char* command, ReplyHandler handler, int64_t number, const char* text) {
  ReplyWindow& w = g_reply_window;
  const int limit = window_limit();
  while (w.count >= limit) {
    if (!take_reply()) return 0;
  }
  w.entries[w.next_free] = ReplyEntry{handler, number, text};
  w.next_free = (w.next_free + 1) % kReplyWindowSize;
  ++w.count;
  // Over TLS every flush is a record of its own, 22 bytes and a pass of the
  // cipher around a command of a dozen; the commands queued while the replies
  // already read are taken leave together, before the next reply is waited
  // for. Plain text keeps one send per command.
  if (!send_traced(command, g_connection.tls == nullptr)) return 0;
  if (base::g_settings.window != 0) return 1;
  return drain_replies();
}

int take_reply() {
  ReplyWindow& w = g_reply_window;
  if (w.count == 0) return 1;
  // An entry whose reply could not be read stays in the window: its command
  // is still outstanding, and a group cut short is not recorded past it.
  char line[kStatusLineBuffer];
  if (!get_line(line, sizeof line)) return 0;
  const ReplyEntry entry = w.entries[w.oldest];
  w.oldest = (w.oldest + 1) % kReplyWindowSize;
  --w.count;
  if (entry.handler == nullptr) return 1;
  return entry.handler(line, entry.number, entry.text);
}

int poll_reply() {
  if (g_reply_window.count == 0) return -1;
  return take_reply();
}

int drain_replies() {
  while (g_reply_window.count > 0) {
    if (!take_reply()) return 0;
  }
  return 1;
}

}  // namespace nntp
