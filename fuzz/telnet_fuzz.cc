// The telnet reader (nntp::telnet_read_line) over a socket pair: the input's
// first byte picks the buffer size, the rest is what the telnet service
// sends, after which it closes its side (inputs that ask for more than
// kAnswersMax answers are skipped: the harness reads the answers only at the
// end). Lines are read until the reader fails.
//
// Properties: the lines and the answers sent back are exactly those of a
// second decoder written from the documented rules (IAC IAC is a data byte
// 255, other commands are taken out, NUL bytes dropped, IAC DO x answered
// with 255 251 x for x 0 or 3 and 255 252 x otherwise, nothing else
// answered; a CR not followed by LF ends its line as CR LF; a line ends at
// LF or when size-1 bytes are stored); every line is terminated at its
// length, holds no NUL, at most size-1 bytes and an LF only at its end; the
// reader fails only once the input is used up, after at most one call per
// byte and line end.
#include <sys/socket.h>
#include <unistd.h>

#include <cstring>
#include <string>
#include <vector>

#include "base/settings.h"
#include "nntp/connection.h"
#include "nntp/telnet.h"
#include "support/fuzz_support.h"

namespace {

constexpr unsigned char kIac = 255;
constexpr unsigned char kWill = 251;
constexpr unsigned char kWont = 252;
constexpr unsigned char kDo = 253;
constexpr unsigned char kDont = 254;

// Larger inputs are not tried: the whole input must fit the socket buffer
// before the reader starts.
constexpr size_t kInputMax = 65536;
// Nor inputs that ask for more answers than the socket takes unread (each
// small send costs the buffer far more than its three bytes): the reader
// would rightly wait for room until its time-out.
constexpr size_t kAnswersMax = 64;

// The buffer sizes the program reads with, then small ones that make the
// size limit cut lines often.
int buffer_size(unsigned char choice) {
  constexpr int kProgramSizes[] = {nntp::kStatusLineBuffer, nntp::kTelnetReceiveSize + 2, 1024,
                                   5120};
  if (choice >= 192) return kProgramSizes[choice % 4];
  return 2 + choice % 62;
}

struct Expected {
  std::vector<std::string> lines;
  std::string answers;
};

// The documented reader, written plainly: commands first, then lines.
Expected decode(std::string_view input, int size) {
  Expected expected;
  std::string data;
  for (size_t i = 0; i < input.size(); ++i) {
    const unsigned char c = static_cast<unsigned char>(input[i]);
    if (c == 0) continue;
    if (c != kIac) {
      data += static_cast<char>(c);
      continue;
    }
    if (++i == input.size()) break;
    const unsigned char command = static_cast<unsigned char>(input[i]);
    if (command == kIac) {
      data += static_cast<char>(kIac);
    } else if (command >= kWill && command <= kDont) {
      if (++i == input.size()) break;
      const unsigned char option = static_cast<unsigned char>(input[i]);
      if (command == kDo) {
        expected.answers += static_cast<char>(kIac);
        expected.answers += static_cast<char>(option == 0 || option == 3 ? kWill : kWont);
        expected.answers += static_cast<char>(option);
      }
    }
  }

  const size_t limit = static_cast<size_t>(size) - 1;
  std::string line;
  bool after_cr = false;
  for (size_t i = 0; i < data.size();) {
    char c = data[i];
    if (after_cr && c != '\n') {
      c = '\n';  // the byte itself starts the next line
    } else {
      ++i;
    }
    line += c;
    after_cr = c == '\r';
    if (c == '\n' || line.size() == limit) {
      expected.lines.push_back(line);
      line.clear();
      after_cr = false;
    }
  }
  if (!line.empty()) expected.lines.push_back(line);
  return expected;
}

std::string drain(int fd) {
  std::string all;
  char block[4096];
  ssize_t got;
  while ((got = recv(fd, block, sizeof block, MSG_DONTWAIT)) > 0) {
    all.append(block, static_cast<size_t>(got));
  }
  return all;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size == 0 || size > kInputMax) return 0;
  const int buffer_size_used = buffer_size(data[0]);
  const std::string_view input = fuzz::as_text(data + 1, size - 1);

  const Expected expected = decode(input, buffer_size_used);
  if (expected.answers.size() > 3 * kAnswersMax) return 0;

  fuzz::reset_settings();
  base::g_settings.timeout = 10;  // a reader that waits gives up and reads no more lines
  nntp::g_telnet_input = nntp::TelnetInput{};
  int fds[2];
  if (socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, fds) != 0) return 0;
  const int peer = fds[1];
  int buffer_room = static_cast<int>(2 * kInputMax);
  setsockopt(peer, SOL_SOCKET, SO_SNDBUF, &buffer_room, sizeof buffer_room);
  setsockopt(fds[0], SOL_SOCKET, SO_RCVBUF, &buffer_room, sizeof buffer_room);
  setsockopt(fds[0], SOL_SOCKET, SO_SNDBUF, &buffer_room, sizeof buffer_room);
  nntp::attach_connection(&nntp::g_connection, fds[0], fds[0]);
  nntp::g_connection.telnet = 1;
  const ssize_t sent = input.empty() ? 0 : send(peer, input.data(), input.size(), MSG_DONTWAIT);
  FUZZ_CHECK(sent == static_cast<ssize_t>(input.size()));
  shutdown(peer, SHUT_WR);

  std::vector<std::string> lines;
  std::vector<char> buffer(static_cast<size_t>(buffer_size_used));
  // Every successful call stores a byte of the input or an LF that ends a line.
  const size_t call_limit = 2 * input.size() + 2;
  for (size_t call = 0;; ++call) {
    FUZZ_CHECK(call <= call_limit);
    memset(buffer.data(), 0x7f, buffer.size());
    const int got = nntp::telnet_read_line(buffer.data(), buffer_size_used, &nntp::g_connection);
    if (got < 0) break;
    FUZZ_CHECK(got > 0 && got < buffer_size_used);
    FUZZ_CHECK(buffer[static_cast<size_t>(got)] == '\0');
    FUZZ_CHECK(strlen(buffer.data()) == static_cast<size_t>(got));
    const std::string line(buffer.data(), static_cast<size_t>(got));
    FUZZ_CHECK(line.find('\n') == std::string::npos || line.find('\n') == line.size() - 1);
    lines.push_back(line);
  }
  FUZZ_CHECK(lines == expected.lines);

  const std::string answers = drain(peer);
  FUZZ_CHECK(answers.size() % 3 == 0);
  for (size_t i = 0; i < answers.size(); i += 3) {
    const unsigned char verb = static_cast<unsigned char>(answers[i + 1]);
    const unsigned char option = static_cast<unsigned char>(answers[i + 2]);
    FUZZ_CHECK(static_cast<unsigned char>(answers[i]) == kIac);
    FUZZ_CHECK((verb == kWill && (option == 0 || option == 3)) ||
               (verb == kWont && option != 0 && option != 3));
  }
  FUZZ_CHECK(answers == expected.answers);

  close(peer);
  nntp::close_connection(&nntp::g_connection);
  return 0;
}
