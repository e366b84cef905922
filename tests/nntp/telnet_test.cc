// Telnet mode over a socket pair: the test plays the telnet service on the
// other end and checks the exact bytes that cross.

#include <sys/socket.h>
#include <sys/syscall.h>
#include <sys/time.h>
#include <unistd.h>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <thread>

#include <gtest/gtest.h>

#include "base/settings.h"
#include "nntp/connection.h"
#include "nntp/telnet.h"
#include "support/capture.h"
#include "support/settings_guard.h"
#include "support/socket_connection.h"
#include "support/wait.h"
#include "sys/signals.h"

namespace {

using testsupport::CaptureFd;

constexpr char kFailed[] = "<read failed>";

struct TelnetTest : testing::Test {
  testsupport::SettingsGuard settings_guard;
  int peer = -1;
  std::string chat_path;

  void SetUp() override {
    testsupport::prepare_line_io();
    nntp::g_telnet_input = nntp::TelnetInput{};
    peer = testsupport::attach_socket_pair();
    ASSERT_GE(peer, 0);
    nntp::g_connection.telnet = 1;
    // A broken test must not hang on the other end either.
    struct timeval bound = {20, 0};
    setsockopt(peer, SOL_SOCKET, SO_RCVTIMEO, &bound, sizeof bound);
  }
  void TearDown() override {
    if (nntp::g_connection.chat_script != nullptr) fclose(nntp::g_connection.chat_script);
    testsupport::detach_socket_pair(peer);
    if (!chat_path.empty()) unlink(chat_path.c_str());
  }

  void send_to_client(const std::string& bytes) const { testsupport::write_to(peer, bytes); }
  std::string sent_by_client() const { return testsupport::read_waiting(peer); }

  // One line as read_line gives it in telnet mode.
  static std::string read_line(int size = nntp::kStatusLineMax) {
    std::string buffer(static_cast<size_t>(size), '\x7f');
    if (!nntp::read_line(buffer.data(), size, &nntp::g_connection)) return kFailed;
    return buffer.c_str();
  }

  // Starts the chat script with the given text.
  void use_chat(const std::string& script) {
    char path[] = "/tmp/tessu-chat-XXXXXX";
    const int fd = mkstemp(path);
    ASSERT_GE(fd, 0);
    ASSERT_EQ(write(fd, script.data(), script.size()), static_cast<ssize_t>(script.size()));
    close(fd);
    chat_path = path;
    nntp::g_connection.chat_script = fopen(path, "r");
    ASSERT_NE(nntp::g_connection.chat_script, nullptr);
  }
};

TEST_F(TelnetTest, DoIsAnsweredWillOnlyForBinaryAndSuppressGoAhead) {
  const char requests[] =
      "\xff\xfd\x01"  // DO ECHO
      "\xff\xfd\x03"  // DO SUPPRESS GO AHEAD
      "\xff\xfd\x00"  // DO BINARY
      "\xff\xfd\xc8"  // DO 200
      "\xff\xfd\x27"  // DO NEW-ENVIRON
      "200 ready\r\n";
  send_to_client(std::string(requests, sizeof requests - 1));
  base::g_settings.verbosity = 5;
  CaptureFd err;
  EXPECT_EQ(read_line(), "200 ready\r\n");
  EXPECT_EQ(sent_by_client(), std::string("\xff\xfc\x01"
                                          "\xff\xfb\x03"
                                          "\xff\xfb\x00"
                                          "\xff\xfc\xc8"
                                          "\xff\xfc\x27",
                                          15));
  EXPECT_EQ(err.take(),
            "telnet wont: IAC DO ECHO\n"
            "telnet will: IAC DO SUPPRESS GO AHEAD\n"
            "telnet will: IAC DO BINARY\n"
            "telnet wont: IAC DO 200\n"
            "telnet wont: IAC DO NEW-ENVIRON\n");
}

TEST_F(TelnetTest, WillWontAndDontAreIgnoredWithoutAnswer) {
  send_to_client(
      "\xff\xfb\x01"  // WILL ECHO
      "\xff\xfc\x05"  // WONT STATUS
      "\xff\xfe\x18"  // DONT TERMINAL TYPE
      "\xff\xfb\x28"  // WILL 40
      "ok\r\n");
  base::g_settings.verbosity = 5;
  CaptureFd err;
  EXPECT_EQ(read_line(), "ok\r\n");
  EXPECT_EQ(sent_by_client(), "");
  EXPECT_EQ(err.take(),
            "telnet ignore: IAC WILL ECHO\n"
            "telnet ignore: IAC WONT STATUS\n"
            "telnet ignore: IAC DONT TERMINAL TYPE\n"
            "telnet ignore: IAC WILL 40\n");
}

TEST_F(TelnetTest, OtherCommandsAreDroppedAndDoubledIacIsData) {
  // Subnegotiation is not understood: its bytes pass as data between the two
  // ignored commands.
  send_to_client(
      "a\xff\xff"
      "b\xff\xf1"  // NOP
      "c\xff\x64"  // 100, below the named commands
      "d\xff\xfa\x18\x01\xff\xf0"
      "e\r\n");
  base::g_settings.verbosity = 5;
  CaptureFd err;
  EXPECT_EQ(read_line(),
            "a\xff"
            "bcd\x18\x01"
            "e\r\n");
  EXPECT_EQ(sent_by_client(), "");
  EXPECT_EQ(err.take(),
            "telnet ignore: IAC NOP\n"
            "telnet ignore: IAC 100\n"
            "telnet ignore: IAC SB\n"
            "telnet ignore: IAC SE\n");
}

TEST_F(TelnetTest, CrNotFollowedByLfEndsTheLineAndNulIsDropped) {
  send_to_client(std::string("abc\r\0d\n", 7) + "x\ry\r\n" + std::string("p\0q\r\n", 5));
  EXPECT_EQ(read_line(), "abc\r\n");
  EXPECT_EQ(read_line(), "d\n");
  EXPECT_EQ(read_line(), "x\r\n");
  EXPECT_EQ(read_line(), "y\r\n");
  EXPECT_EQ(read_line(), "pq\r\n");
}

TEST_F(TelnetTest, DataByte255AfterCrStaysDataForTheNextLine) {
  send_to_client("a\r\xff\xff\xff\xfd\x01z\n");
  EXPECT_EQ(read_line(), "a\r\n");
  EXPECT_EQ(read_line(),
            "\xff"
            "z\n");
  EXPECT_EQ(sent_by_client(), "\xff\xfc\x01");
}

TEST_F(TelnetTest, BytesAfterALineWaitForTheNextCall) {
  send_to_client("one\r\ntwo\r\nthr");
  EXPECT_EQ(read_line(), "one\r\n");
  // Everything is in the receive buffer already: the peer may be gone.
  shutdown(peer, SHUT_WR);
  EXPECT_EQ(read_line(), "two\r\n");
  // End of stream after some bytes gives them as the line, then a failure.
  EXPECT_EQ(read_line(), "thr");
  CaptureFd err;
  EXPECT_EQ(read_line(), kFailed);
  EXPECT_EQ(err.take(), "tessu: read error on telnet socket: Broken pipe\n");
}

TEST_F(TelnetTest, LongLineComesInPiecesOfTheBufferSize) {
  send_to_client("abcdefgh\r\n");
  EXPECT_EQ(read_line(4), "abc");
  EXPECT_EQ(read_line(4), "def");
  EXPECT_EQ(read_line(4), "gh\r");
  EXPECT_EQ(read_line(4), "\n");
}

TEST_F(TelnetTest, ClosedConnectionIsNeverAnEmptyLine) {
  close(peer);
  peer = -1;
  CaptureFd err;
  EXPECT_EQ(read_line(), kFailed);
  EXPECT_EQ(err.take(), "tessu: read error on telnet socket: Broken pipe\n");
}

TEST_F(TelnetTest, SilentRemoteTimesOut) {
  base::g_settings.timeout = 1;
  send_to_client("login: ");
  CaptureFd err;
  errno = 0;
  EXPECT_EQ(read_line(), kFailed);
  EXPECT_EQ(errno, EPIPE);
  EXPECT_EQ(err.take(), "tessu: timeout on server socket\n");
}

TEST_F(TelnetTest, LinesGoOutWithASingleCrWhateverTheTerminator) {
  base::g_settings.paths.line_terminator = "\n";
  EXPECT_EQ(nntp::put_line("GROUP misc.test"), 1);
  EXPECT_EQ(nntp::put_text("..dotted", 8, false), 1);
  EXPECT_EQ(nntp::write_line("", 0, &nntp::g_connection, true), 1);
  EXPECT_EQ(sent_by_client(), "GROUP misc.test\r..dotted\r\r");
}

TEST_F(TelnetTest, WritingToAGoneRemoteFails) {
  close(peer);
  peer = -1;
  CaptureFd err;
  EXPECT_EQ(nntp::put_line("QUIT"), 0);
  EXPECT_EQ(err.take(), "tessu: write error on telnet socket: Broken pipe\n");
}

TEST_F(TelnetTest, EchoIsReadBeforeTheWriteReturns) {
  nntp::g_connection.echo_checking = 1;
  send_to_client("GROUP misc.test\r\n211 0 1 0 misc.test\r\n");
  CaptureFd err;
  EXPECT_EQ(nntp::put_line("GROUP misc.test"), 1);
  char line[nntp::kStatusLineMax];
  ASSERT_EQ(nntp::get_line(line, sizeof line), 1);
  EXPECT_STREQ(line, "211 0 1 0 misc.test");
  EXPECT_EQ(err.take(), "");
  EXPECT_EQ(sent_by_client(), "GROUP misc.test\r");
}

TEST_F(TelnetTest, EchoWithParityBitsOrOtherLineEndsIsGood) {
  nntp::g_connection.echo_checking = 1;
  std::string with_parity = "QUIT";
  for (char& c : with_parity) c = static_cast<char>(c | 0x80);
  // A line end in the data may come back as CR, LF or NUL (CR NUL reads as CR LF).
  send_to_client(with_parity + "\r\n" + std::string("ab\r\0", 4) + "cd\n");
  CaptureFd err;
  EXPECT_EQ(nntp::put_line("QUIT"), 1);
  EXPECT_EQ(nntp::write_line("ab\ncd", 5, &nntp::g_connection, true), 1);
  EXPECT_EQ(nntp::write_line("cd\rxx", 5, &nntp::g_connection, true), 1);
  EXPECT_EQ(err.take(), "");
}

TEST_F(TelnetTest, WrongEchoesAreSkippedUntilTheRightOne) {
  base::g_settings.verbosity = 1;
  nntp::g_connection.echo_checking = 1;
  std::string lines;
  for (int i = 0; i < 99; ++i) lines += "STAT\r\n";  // shorter than what was sent
  send_to_client(lines + "STAT 17\r\n223 17 <a@b> status\r\n");
  CaptureFd err;
  EXPECT_EQ(nntp::put_line("STAT 17"), 1);
  const std::string messages = err.take();
  size_t wrong = 0;
  for (size_t at = 0; (at = messages.find("wrong echo \"STAT\r\n\"\n", at)) != std::string::npos;
       ++at) {
    ++wrong;
  }
  EXPECT_EQ(wrong, 99u) << messages;
  char line[nntp::kStatusLineMax];
  ASSERT_EQ(nntp::get_line(line, sizeof line), 1);
  EXPECT_STREQ(line, "223 17 <a@b> status");
}

TEST_F(TelnetTest, EmptyLineTakesAnyEcho) {
  nntp::g_connection.echo_checking = 1;
  send_to_client("whatever\r\n");
  EXPECT_EQ(nntp::write_line("", 0, &nntp::g_connection, true), 1);
  EXPECT_EQ(sent_by_client(), "\r");
}

TEST_F(TelnetTest, HundredWrongEchoesEndTheRunWithStatus11) {
  nntp::g_connection.echo_checking = 1;
  std::string lines;
  for (int i = 0; i < 100; ++i) lines += "garbage\r\n";
  send_to_client(lines + "STAT 17\r\n");
  EXPECT_EXIT(nntp::put_line("STAT 17"), testing::ExitedWithCode(11),
              "tessu: persistent wrong echo: \"garbage\r\n\"");
}

TEST_F(TelnetTest, RemoteThatStopsEchoingTimesOut) {
  base::g_settings.timeout = 1;
  nntp::g_connection.echo_checking = 1;
  CaptureFd err;
  errno = 0;
  EXPECT_EQ(nntp::put_line("ARTICLE 3"), 0);
  EXPECT_EQ(errno, EPIPE);
  EXPECT_EQ(err.take(), "tessu: timeout on server socket\n");
  EXPECT_EQ(sent_by_client(), "ARTICLE 3\r");
}

// A terminating signal while the read waits makes it fail as a time-out
// does, and the run is not ended from there.
int read_interrupted_by_signal() {
  sys::install_signal_handlers();
  const pid_t reader = static_cast<pid_t>(syscall(SYS_gettid));
  std::thread signaller([reader] {
    testsupport::wait_until([reader] { return testsupport::sleeps_in_poll(getpid(), reader); });
    kill(getpid(), SIGTERM);
  });
  char line[nntp::kStatusLineMax];
  const int result = nntp::read_line(line, sizeof line, &nntp::g_connection);
  signaller.join();
  return result;
}

TEST_F(TelnetTest, TerminatingSignalFailsTheWaitingReadAsATimeOut) {
  base::g_settings.timeout = 60;
  EXPECT_EXIT(exit(read_interrupted_by_signal() == 0 ? 3 : 4), testing::ExitedWithCode(3),
              "received signal while alarm active: Terminated\n"
              "tessu: timeout on server socket");
}

TEST_F(TelnetTest, ChatAnswersPromptsBeforeTheirLineEndThenEchoIsChecked) {
  use_chat(
      "ECHO\n"
      "login: news\n"
      "'Password: ' \"se cret\"\n");
  base::g_settings.verbosity = 5;
  std::string seen_before_password;
  std::string seen_before_greeting;
  std::string seen_command;
  // The remote sends each prompt's line end only after the answer came.
  std::thread remote([&] {
    send_to_client("Welcome\r\nlogin: ");
    seen_before_password = testsupport::read_at_least(peer, 5);
    send_to_client("\r\nPassword: ");
    seen_before_greeting = testsupport::read_at_least(peer, 8);
    send_to_client("\r\n200 news server ready\r\n");
    seen_command = testsupport::read_at_least(peer, 12);
    send_to_client("MODE READER\r\n200 reader mode\r\n");
  });
  CaptureFd err;
  char line[nntp::kStatusLineMax];
  std::string skipped;
  // As the greeting is awaited: lines not starting with a digit are skipped.
  while (nntp::get_line(line, sizeof line) == 1 && !isdigit(static_cast<unsigned char>(line[0]))) {
    skipped += std::string(line) + "|";
  }
  EXPECT_STREQ(line, "200 news server ready");
  EXPECT_EQ(nntp::g_connection.chat_script, nullptr);  // the script has ended
  EXPECT_EQ(nntp::put_line("MODE READER"), 1);
  ASSERT_EQ(nntp::get_line(line, sizeof line), 1);
  remote.join();
  EXPECT_STREQ(line, "200 reader mode");
  EXPECT_EQ(skipped, "Welcome|login: |Password: |");
  EXPECT_EQ(seen_before_password, "news\r");
  EXPECT_EQ(seen_before_greeting, "se cret\r");
  EXPECT_EQ(seen_command, "MODE READER\r");
  EXPECT_EQ(err.take(),
            "<- Welcome\r\n"
            "chat found \"login:\"\n"
            "chat sends \"news\"\n"
            "<- login: \r\n"
            "chat found \"Password: \"\n"
            "chat sends \"se cret\"\n"
            "<- Password: \r\n"
            "<- 200 news server ready\r\n"
            "->MODE READER\n"
            "<- 200 reader mode\r\n");
}

TEST_F(TelnetTest, ChatScriptLinesThatAreNotPairsAreReportedAndSkipped) {
  use_chat(
      "# a comment\n"
      "   \n"
      "ABORT BUSY\n"
      "lonely\n"
      "'unclosed quote\n"
      "\"\" first\n"
      "  login: news extra words\n"
      " ECHO\n"
      "\"word\"last\n");
  send_to_client("login: x\r\nword\r\n");
  base::g_settings.verbosity = 5;
  CaptureFd err;
  EXPECT_EQ(read_line(), "login: x\r\n");
  EXPECT_EQ(read_line(), "word\r\n");
  // The empty expect text matched the first byte; " ECHO" is not the ECHO line.
  EXPECT_EQ(sent_by_client(), "first\rnews\rlast\r");
  EXPECT_EQ(nntp::g_connection.echo_checking, 0);
  EXPECT_EQ(nntp::g_connection.chat_pending, 0);
  EXPECT_EQ(nntp::g_connection.chat_script, nullptr);
  EXPECT_EQ(err.take(),
            "tessu: chat not pair: lonely: Invalid argument\n"
            "tessu: chat not pair: 'unclosed quote: Invalid argument\n"
            "chat found \"l\"\n"
            "chat sends \"first\"\n"
            "tessu: chat excess ignored: extra words: Invalid argument\n"
            "chat found \"login:\"\n"
            "chat sends \"news\"\n"
            "tessu: chat not pair:  ECHO: Invalid argument\n"
            "chat found \"word\"\n"
            "chat sends \"last\"\n");
}

}  // namespace
