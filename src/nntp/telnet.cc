#include "nntp/telnet.h"

#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>
#include <algorithm>
#include <cctype>
#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstring>

#include "base/status.h"
#include "report/exit.h"
#include "report/message.h"
#include "sys/signals.h"
#include "sys/timed_io.h"

namespace nntp {

TelnetInput g_telnet_input;

namespace {

using report::message;

// Telnet commands and options (RFC 854, RFC 856, RFC 858).
constexpr unsigned char kIac = 255;
constexpr unsigned char kDont = 254;
constexpr unsigned char kDo = 253;
constexpr unsigned char kWont = 252;
constexpr unsigned char kWill = 251;
constexpr unsigned char kOptionBinary = 0;
constexpr unsigned char kOptionSuppressGoAhead = 3;

// Command state of the reader between the bytes of a command: plain data, or
// the command byte (IAC, WILL, WONT, DO, DONT) whose next byte is awaited.
constexpr int kStateData = 0;

// Echo lines are read into a buffer of this size (a whole receive buffer and a line end).
constexpr size_t kEchoLineSize = kTelnetReceiveSize + 2;

constexpr const char* kOptionNames[] = {
    "BINARY",
    "ECHO",
    "RCP",
    "SUPPRESS GO AHEAD",
    "NAME",
    "STATUS",
    "TIMING MARK",
    "RCTE",
    "NAOL",
    "NAOP",
    "NAOCRD",
    "NAOHTS",
    "NAOHTD",
    "NAOFFD",
    "NAOVTS",
    "NAOVTD",
    "NAOLFD",
    "EXTEND ASCII",
    "LOGOUT",
    "BYTE MACRO",
    "DATA ENTRY TERMINAL",
    "SUPDUP",
    "SUPDUP OUTPUT",
    "SEND LOCATION",
    "TERMINAL TYPE",
    "END OF RECORD",
    "TACACS UID",
    "OUTPUT MARKING",
    "TTYLOC",
    "3270 REGIME",
    "X.3 PAD",
    "NAWS",
    "TSPEED",
    "LFLOW",
    "LINEMODE",
    "XDISPLOC",
    "OLD-ENVIRON",
    "AUTHENTICATION",
    "ENCRYPT",
    "NEW-ENVIRON",
};

// Names of the commands from 236 up to IAC.
constexpr int kFirstNamedCommand = 236;
constexpr const char* kCommandNames[] = {
    "EOF", "SUSP", "ABORT", "EOR", "SE", "NOP",  "DMARK", "BRK", "IP",   "AO",
    "AYT", "EC",   "EL",    "GA",  "SB", "WILL", "WONT",  "DO",  "DONT", "IAC",
};
static_assert(sizeof kCommandNames / sizeof kCommandNames[0] == 256 - kFirstNamedCommand);

// A code's name for a message: from a table, or the decimal number.
struct Name {
  char text[24];
};

Name option_name(unsigned char code) {
  Name name;
  if (code < sizeof kOptionNames / sizeof kOptionNames[0]) {
    snprintf(name.text, sizeof name.text, "%s", kOptionNames[code]);
  } else {
    snprintf(name.text, sizeof name.text, "%d", code);
  }
  return name;
}

Name command_name(unsigned char code) {
  Name name;
  if (code >= kFirstNamedCommand) {
    snprintf(name.text, sizeof name.text, "%s", kCommandNames[code - kFirstNamedCommand]);
  } else {
    snprintf(name.text, sizeof name.text, "%d", code);
  }
  return name;
}

// The chat script's current pair; both texts point into line.
struct ChatState {
  std::array<char, kChatLineMax + 1> line;
  const char* expect = "";
  const char* send = "";
};

ChatState g_chat;

enum class Receive { kData, kEnd, kError, kTimedOut };

// Refills the empty receive buffer from the socket, waiting under the time-out.
Receive receive(Connection* connection, TimedOperation* operation) {
  TelnetInput& in = g_telnet_input;
  operation->check_signals_once();
  for (;;) {
    if (!sys::wait_descriptor(connection->read_fd, POLLIN, operation->deadline)) {
      operation->timed_out = true;
      return Receive::kTimedOut;
    }
    const ssize_t got = recv(connection->read_fd, in.data.data(), in.data.size(), MSG_DONTWAIT);
    if (got > 0) {
      in.count = static_cast<size_t>(got);
      in.next = 0;
      return Receive::kData;
    }
    if (got == 0) return Receive::kEnd;
    if (errno == EINTR || errno == EAGAIN || errno == EWOULDBLOCK) continue;
    return Receive::kError;
  }
}

// Sends all of data on the write descriptor, waiting for room under the
// time-out; false when it could not (timed_out tells whether the time-out was why).
bool send_all(Connection* connection, const char* data, size_t length, TimedOperation* operation) {
  operation->check_signals_once();
  while (length > 0) {
    ssize_t sent = send(connection->write_fd, data, length, MSG_NOSIGNAL | MSG_DONTWAIT);
    if (sent < 0 && errno == ENOTSOCK) {
      // Not a socket after all (a pipe, say): wait for room, which takes PIPE_BUF bytes.
      if (!sys::wait_descriptor(connection->write_fd, POLLOUT, operation->deadline)) {
        operation->timed_out = true;
        return false;
      }
      sent = sys::write_without_sigpipe(connection->write_fd, data,
                                        std::min<size_t>(length, PIPE_BUF));
    }
    if (sent > 0) {
      data += sent;
      length -= static_cast<size_t>(sent);
      continue;
    }
    if (sent == 0) {
      errno = EPIPE;
      return false;
    }
    if (errno == EINTR) continue;
    if (errno != EAGAIN && errno != EWOULDBLOCK) return false;
    if (!sys::wait_descriptor(connection->write_fd, POLLOUT, operation->deadline)) {
      operation->timed_out = true;
      return false;
    }
  }
  return true;
}

bool is_quote(char c) {
  return c == '\'' || c == '"';
}

char* skip_space(char* p) {
  while (*p != '\0' && isspace(static_cast<unsigned char>(*p))) ++p;
  return p;
}

char* skip_word(char* p) {
  while (*p != '\0' && !isspace(static_cast<unsigned char>(*p))) ++p;
  return p;
}

// Reads chat script lines until a pair is pending or the script has ended
// (then it is closed for the rest of the run).
void read_chat_pair(Connection* connection) {
  ChatState& chat = g_chat;
  while (connection->chat_script != nullptr) {
    char* line = chat.line.data();
    if (fgets(line, static_cast<int>(chat.line.size()), connection->chat_script) == nullptr) {
      fclose(connection->chat_script);
      connection->chat_script = nullptr;
      return;
    }
    line[strcspn(line, "\n")] = '\0';
    char* p = skip_space(line);
    if (*p == '\0' || *p == '#') continue;
    if (strcmp(line, "ECHO") == 0) {
      connection->echo_checking = 1;
      continue;
    }
    if (strncmp(line, "ABORT ", 6) == 0) continue;

    char* expect = p;
    char* expect_end;
    if (is_quote(*p)) {
      expect = p + 1;
      expect_end = strchr(expect, *p);
    } else {
      expect_end = skip_word(p);
      if (*expect_end == '\0') expect_end = nullptr;
    }
    if (expect_end == nullptr) {
      // A script error has no system error of its own; say what kind it is.
      errno = EINVAL;
      message(report::kSysError, "chat not pair: %s", line);
      continue;
    }
    *expect_end = '\0';

    char* send = skip_space(expect_end + 1);
    char* rest;
    if (is_quote(*send)) {
      const char quote = *send++;
      char* close = strchr(send, quote);
      rest = close != nullptr ? close + 1 : send + strlen(send);
      if (close != nullptr) *close = '\0';
    } else {
      char* send_end = skip_word(send);
      rest = send_end;
      if (*send_end != '\0') {
        *send_end = '\0';
        rest = send_end + 1;
      }
    }
    rest = skip_space(rest);
    if (*rest != '\0') {
      errno = EINVAL;
      message(report::kSysError, "chat excess ignored: %s", rest);
    }
    chat.expect = expect;
    chat.send = send;
    connection->chat_pending = 1;
    return;
  }
}

bool chat_step(const char* line, Connection* connection, TimedOperation* operation) {
  if (connection->chat_pending == 0) {
    read_chat_pair(connection);
    if (connection->chat_pending == 0) return true;
  }
  const ChatState& chat = g_chat;
  if (strstr(line, chat.expect) == nullptr) return true;
  message(report::kProgress, "chat found \"%s\"", line);
  message(report::kDetail, "chat sends \"%s\"", chat.send);
  connection->chat_pending = 0;
  char answer[kChatLineMax + 2];
  const int length = snprintf(answer, sizeof answer, "%s\r", chat.send);
  // The answer is not checked; only giving up on the time-out fails the read.
  if (!send_all(connection, answer, static_cast<size_t>(length), operation)) {
    return !operation->timed_out;
  }
  return true;
}

// Answers DO for binary and suppress-go-ahead with WILL, any other with WONT.
bool answer_do(unsigned char option, Connection* connection, TimedOperation* operation) {
  const bool will = option == kOptionBinary || option == kOptionSuppressGoAhead;
  const char answer[3] = {static_cast<char>(kIac), static_cast<char>(will ? kWill : kWont),
                          static_cast<char>(option)};
  message(report::kDetail, "telnet %s: IAC DO %s", will ? "will" : "wont",
          option_name(option).text);
  if (!send_all(connection, answer, sizeof answer, operation)) return !operation->timed_out;
  return true;
}

int read_telnet_line(char* buffer, int size, Connection* connection, TimedOperation* operation) {
  if (size < 1) return -1;
  buffer[0] = '\0';
  TelnetInput& in = g_telnet_input;
  const int limit = size - 1;
  int stored = 0;
  int state = kStateData;
  bool after_cr = false;
  while (stored < limit) {
    unsigned char c;
    if (in.put_back >= 0) {
      c = static_cast<unsigned char>(in.put_back);
      in.put_back = -1;
    } else {
      if (in.next == in.count) {
        switch (receive(connection, operation)) {
          case Receive::kData:
            break;
          case Receive::kTimedOut:
            report_timeout("timeout on server socket");
            return -1;
          case Receive::kError:
            message(report::kSysError, "read error on telnet socket");
            return -1;
          case Receive::kEnd:
            if (stored > 0) return stored;
            // A closed connection is never an empty line.
            errno = EPIPE;
            message(report::kSysError, "read error on telnet socket");
            return -1;
        }
      }
      c = in.data[in.next++];
      const int command = state;
      state = kStateData;
      if (command == kStateData) {
        if (c == kIac) state = kIac;
        if (c == kIac || c == '\0') continue;
      } else if (command == kIac) {
        if (c >= kWill && c <= kDont) {
          state = c;
          continue;
        }
        if (c != kIac) {
          message(report::kDetail, "telnet ignore: IAC %s", command_name(c).text);
          continue;
        }
      } else if (command == kDo) {
        if (!answer_do(c, connection, operation)) {
          report_timeout("timeout on server socket");
          return -1;
        }
        continue;
      } else if (command == kDont) {
        message(report::kDetail, "telnet ignore: IAC DONT %s", option_name(c).text);
        continue;
      } else {
        message(report::kDetail, "telnet ignore: IAC %s %s",
                command_name(static_cast<unsigned char>(command)).text, option_name(c).text);
        continue;
      }
    }
    // A CR not followed by LF still ends the line, as CR LF.
    if (after_cr && c != '\n') {
      in.put_back = c;
      c = '\n';
    }
    buffer[stored++] = static_cast<char>(c);
    buffer[stored] = '\0';
    after_cr = c == '\r';
    if (connection->chat_script != nullptr && !chat_step(buffer, connection, operation)) {
      report_timeout("timeout on server socket");
      return -1;
    }
    if (c == '\n') break;
  }
  return stored;
}

// Whether echo is the echo of data: equal in the low seven bits (parity
// ignored), where a line end in data may be echoed as CR, LF or NUL. Bytes
// beyond echo_room are not compared.
bool echo_matches(const char* data, size_t length, const char* echo, size_t echo_room) {
  const size_t compared = std::min(length, echo_room);
  for (size_t i = 0; i < compared; ++i) {
    const unsigned char sent = static_cast<unsigned char>(data[i]);
    const unsigned char back = static_cast<unsigned char>(echo[i]);
    if ((sent == '\r' || sent == '\n') && (back == '\0' || back == '\n' || back == '\r')) {
      return true;
    }
    if (((sent ^ back) & 0x7f) != 0) return false;
  }
  return true;
}

}  // namespace

int telnet_read_line(char* buffer, int size, Connection* connection) {
  TimedOperation operation;
  return read_telnet_line(buffer, size, connection, &operation);
}

int telnet_write_line(const char* data, size_t length, Connection* connection) {
  TimedOperation operation;
  if (!send_all(connection, data, length, &operation) ||
      !send_all(connection, "\r", 1, &operation)) {
    if (operation.timed_out) report_timeout("timeout on server socket");
    message(report::kSysError, "write error on telnet socket");
    return 0;
  }
  if (connection->echo_checking == 0) return 1;
  char echo[kEchoLineSize];
  for (int attempt = 0; attempt < kEchoAttempts; ++attempt) {
    // Bytes past a short echo read as NUL, never as an earlier echo's.
    memset(echo, 0, sizeof echo);
    // Each echo line has a time-out of its own, as every line read does.
    TimedOperation echo_read;
    if (read_telnet_line(echo, sizeof echo, connection, &echo_read) < 0) return 0;
    if (length == 0) return 1;
    if (echo_matches(data, length, echo, sizeof echo - 1)) return 1;
    message(report::kProgress, "wrong echo \"%s\"", echo);
  }
  message(report::kError, "persistent wrong echo: \"%s\"", echo);
  report::exit_run(base::kStatusConnectScript);
}

bool run_chat(const char* line, Connection* connection) {
  TimedOperation operation;
  if (chat_step(line, connection, &operation)) return true;
  report_timeout("timeout on server socket");
  return false;
}

}  // namespace nntp
