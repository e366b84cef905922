
#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>
#include <sys/syscall.h>
#include <unistd.h>
#include <cerrno>
#include <csignal>
#include <cstring>
#include <string>
#include <thread>

#include <gtest/gtest.h>

#include "base/settings.h"
#include "nntp/connection.h"
#include "nntp/server.h"
#include "report/stats.h"
#include "support/capture.h"
#include "support/settings_guard.h"
#include "support/socket_connection.h"
#include "support/wait.h"
#include "sys/signals.h"
#include "sys/timed_io.h"

namespace {

using testsupport::CaptureFd;

// The server connection on one end of a socket pair; the test plays the
// server on the other end.
struct LineIoTest : testing::Test {
  int peer = -1;
  testsupport::SettingsGuard settings_guard;

  void SetUp() override {
    testsupport::prepare_line_io();
    report::g_counters.grossbyt = 0;
    peer = testsupport::attach_socket_pair();
    ASSERT_GE(peer, 0);
  }
  void TearDown() override { testsupport::detach_socket_pair(peer); }

  void send_to_client(const std::string& bytes) const { testsupport::write_to(peer, bytes); }
  // Everything the client has sent so far (nothing waits in the socket).
  std::string sent_by_client() const { return testsupport::read_waiting(peer); }
};

TEST_F(LineIoTest, GetLineRemovesTrailingLineEndsAndCountsWhatArrived) {
  send_to_client("211 5 1 5 misc.test\r\n\r\nabc\n\r\nxyz\r\r\n");
  char line[nntp::kStatusLineMax];
  ASSERT_EQ(nntp::get_line(line, sizeof line), 1);
  EXPECT_STREQ(line, "211 5 1 5 misc.test");
  ASSERT_EQ(nntp::get_line(line, sizeof line), 1);
  EXPECT_STREQ(line, "");
  // LF, CR, LF: the first LF ends the line "abc\n"; "\r\n" is the next line.
  ASSERT_EQ(nntp::get_line(line, sizeof line), 1);
  EXPECT_STREQ(line, "abc");
  ASSERT_EQ(nntp::get_line(line, sizeof line), 1);
  EXPECT_STREQ(line, "");
  ASSERT_EQ(nntp::get_line(line, sizeof line), 1);
  EXPECT_STREQ(line, "xyz");
  EXPECT_EQ(report::g_counters.grossbyt, 21 + 2 + 4 + 2 + 6);
}

TEST_F(LineIoTest, OverlongStatusLineIsReadToItsEndAndCutToTheBuffer) {
  const std::string long_line(600, 'x');
  send_to_client(long_line + "\r\n211 next reply\r\n");
  char line[nntp::kStatusLineBuffer];
  base::g_settings.verbosity = 3;
  CaptureFd err;
  ASSERT_EQ(nntp::get_reply(line, sizeof line), 1);
  EXPECT_EQ(std::string(line), long_line.substr(0, nntp::kStatusLineMax));
  // The rest of the long line is not taken for the next reply.
  ASSERT_EQ(nntp::get_line(line, sizeof line), 1);
  EXPECT_STREQ(line, "211 next reply");
  EXPECT_EQ(report::g_counters.grossbyt, 602 + 16);
  // The trace shows what was kept, as a line of its own.
  const std::string trace = err.take();
  EXPECT_NE(trace.find(long_line.substr(0, nntp::kStatusLineMax) + "\n"), std::string::npos)
      << trace;
  EXPECT_EQ(trace.find(long_line.substr(0, nntp::kStatusLineMax + 1)), std::string::npos);

  // Lines that just fit, with or without their CR, and a small buffer.
  send_to_client(std::string(512, 'a') + "\r\n" + std::string(511, 'b') + "\r\n" +
                 std::string(300, 'c') + "\r\n200 after\r\n");
  ASSERT_EQ(nntp::get_line(line, sizeof line), 1);
  EXPECT_EQ(std::string(line), std::string(512, 'a'));
  ASSERT_EQ(nntp::get_line(line, sizeof line), 1);
  EXPECT_EQ(std::string(line), std::string(511, 'b'));
  char small[100];
  ASSERT_EQ(nntp::get_line(small, sizeof small), 1);
  EXPECT_EQ(std::string(small), std::string(99, 'c'));
  ASSERT_EQ(nntp::get_line(line, sizeof line), 1);
  EXPECT_STREQ(line, "200 after");
}

TEST_F(LineIoTest, StatusLineBeyondTheReadLimitFailsTheRead) {
  send_to_client(std::string(nntp::kStatusLineReadMax + 10, 'y') + "\r\n");
  char line[nntp::kStatusLineBuffer];
  CaptureFd err;
  EXPECT_EQ(nntp::get_line(line, sizeof line), 0);
  EXPECT_EQ(err.take(), "tessu: NNTP status line too long: " + std::string(60, 'y') + "\n");
}

TEST_F(LineIoTest, StatusLineWithoutItsEndTimesOutAsAWhole) {
  base::g_settings.timeout = 1;
  send_to_client(std::string(700, 'z'));
  char line[nntp::kStatusLineBuffer];
  CaptureFd err;
  EXPECT_EQ(nntp::get_line(line, sizeof line), 0);
  EXPECT_EQ(err.take(), "tessu: timeout on server socket\n");
}

TEST_F(LineIoTest, LimitOnTimedOperationsCutsTheWaitShort) {
  send_to_client("200 waiting in the socket\r\n");
  char line[nntp::kStatusLineBuffer];
  // A limit long past: even a line already there is not waited for.
  const int64_t before = sys::limit_timed_operations(1);
  EXPECT_EQ(before, 0);
  CaptureFd err;
  EXPECT_EQ(nntp::get_line(line, sizeof line), 0);
  EXPECT_EQ(err.take(), "tessu: timeout on server socket\n");
  EXPECT_EQ(sys::limit_timed_operations(0), 1);
  ASSERT_EQ(nntp::get_line(line, sizeof line), 1);
  EXPECT_STREQ(line, "200 waiting in the socket");
}

TEST_F(LineIoTest, TraceShowsReceivedAndSentLinesAtVerbosityThree) {
  base::g_settings.verbosity = 3;
  send_to_client("200 hello\r\n");
  char line[nntp::kStatusLineMax];
  CaptureFd err;
  ASSERT_EQ(nntp::get_line(line, sizeof line), 1);
  ASSERT_EQ(nntp::put_line("MODE READER"), 1);
  ASSERT_EQ(nntp::put_line_quiet("AUTHINFO PASS secret"), 1);
  const std::string trace = err.take();
  EXPECT_NE(trace.find("200 hello\r\n"), std::string::npos) << trace;
  EXPECT_NE(trace.find("MODE READER\n"), std::string::npos) << trace;
  EXPECT_EQ(trace.find("secret"), std::string::npos) << trace;
  EXPECT_EQ(sent_by_client(), "MODE READER\r\nAUTHINFO PASS secret\r\n");
}

TEST_F(LineIoTest, TextLinesKeepTheirLineEndAndAreNotCounted) {
  send_to_client("body line\r\n.\r\n");
  char line[nntp::kStatusLineMax];
  ASSERT_EQ(nntp::get_text_line(line, sizeof line), 1);
  EXPECT_STREQ(line, "body line\r\n");
  ASSERT_EQ(nntp::get_text_line(line, sizeof line), 1);
  EXPECT_STREQ(line, ".\r\n");
  EXPECT_EQ(report::g_counters.grossbyt, 0);
}

TEST_F(LineIoTest, SentLinesEndWithTheConfiguredTerminatorAndAreCounted) {
  ASSERT_EQ(nntp::put_line("QUIT"), 1);
  EXPECT_EQ(sent_by_client(), "QUIT\r\n");
  EXPECT_EQ(report::g_counters.grossbyt, 6);

  base::g_settings.paths.line_terminator = "\n";
  ASSERT_EQ(nntp::put_line("QUIT"), 1);
  EXPECT_EQ(sent_by_client(), "QUIT\n");
  EXPECT_EQ(report::g_counters.grossbyt, 6 + 5);
}

TEST_F(LineIoTest, ArticleTextIsHeldBackUntilTheFlushedChunk) {
  ASSERT_EQ(nntp::put_text("Subject: x", 10, false), 1);
  ASSERT_EQ(nntp::put_text("", 0, false), 1);
  ASSERT_EQ(nntp::put_text("body", 4, false), 1);
  EXPECT_EQ(sent_by_client(), "");
  ASSERT_EQ(nntp::put_text(".", 1, true), 1);
  EXPECT_EQ(sent_by_client(), "Subject: x\r\n\r\nbody\r\n.\r\n");
  EXPECT_EQ(report::g_counters.grossbyt, 12 + 2 + 6 + 3);
}

TEST_F(LineIoTest, ArticleTextLargerThanTheBufferArrivesWhole) {
  const std::string chunk(nntp::kStreamBufferSize + 100, 'a');
  std::string received;
  std::thread reader(
      [&] { received = testsupport::read_at_least(peer, 2 * chunk.size() + 4 + 3); });
  EXPECT_EQ(nntp::put_text(chunk.data(), chunk.size(), false), 1);
  EXPECT_EQ(nntp::put_text(chunk.data(), chunk.size(), false), 1);
  EXPECT_EQ(nntp::put_text(".", 1, true), 1);
  reader.join();
  EXPECT_EQ(received, chunk + "\r\n" + chunk + "\r\n.\r\n");
}

TEST_F(LineIoTest, TextTraceOnlyFromVerbositySeven) {
  send_to_client("line one\r\nline two\r\n");
  char line[nntp::kStatusLineMax];
  base::g_settings.verbosity = 6;
  CaptureFd quiet;
  nntp::get_text_line(line, sizeof line);
  nntp::put_text("hidden", 6, true);
  EXPECT_EQ(quiet.take(), "");
  base::g_settings.verbosity = 7;
  CaptureFd loud;
  nntp::get_text_line(line, sizeof line);
  nntp::put_text("shown", 5, true);
  const std::string trace = loud.take();
  EXPECT_NE(trace.find("line two\r\n"), std::string::npos) << trace;
  EXPECT_NE(trace.find("shown\n"), std::string::npos) << trace;
}

TEST_F(LineIoTest, DryRunReadsNothingAndSendsNothingButTraces) {
  base::g_settings.dry_run = 1;
  base::g_settings.verbosity = 3;
  send_to_client("200 not to be read\r\n");
  char line[nntp::kStatusLineMax] = "junk";
  CaptureFd err;
  EXPECT_EQ(nntp::put_line("QUIT"), 1);
  EXPECT_EQ(nntp::put_text("text", 4, true), 1);
  EXPECT_EQ(nntp::get_line(line, sizeof line), 1);
  EXPECT_STREQ(line, "");
  strcpy(line, "junk");
  EXPECT_EQ(nntp::get_text_line(line, sizeof line), 1);
  EXPECT_STREQ(line, "");
  const std::string trace = err.take();
  EXPECT_NE(trace.find("QUIT\n"), std::string::npos) << trace;
  EXPECT_EQ(trace.find("not to be read"), std::string::npos) << trace;
  EXPECT_EQ(sent_by_client(), "");
  EXPECT_EQ(report::g_counters.grossbyt, 0);

  // What the server sent is still there once the dry run is over.
  base::g_settings.dry_run = 0;
  base::g_settings.verbosity = 0;
  ASSERT_EQ(nntp::get_line(line, sizeof line), 1);
  EXPECT_STREQ(line, "200 not to be read");
}

TEST_F(LineIoTest, SilentServerTimesOut) {
  base::g_settings.timeout = 1;
  send_to_client("200 partial line without its end");
  char line[nntp::kStatusLineMax];
  CaptureFd err;
  errno = 0;
  EXPECT_EQ(nntp::get_line(line, sizeof line), 0);
  EXPECT_EQ(errno, EPIPE);
  EXPECT_EQ(err.take(), "tessu: timeout on server socket\n");
}

TEST_F(LineIoTest, EndOfStreamIsAReadError) {
  send_to_client("200 last words\r\n");
  close(peer);
  peer = -1;
  char line[nntp::kStatusLineMax];
  CaptureFd err;
  EXPECT_EQ(nntp::get_line(line, sizeof line), 1);
  EXPECT_EQ(nntp::get_line(line, sizeof line), 0);
  EXPECT_NE(err.take().find("tessu: read error on socket"), std::string::npos);
}

TEST_F(LineIoTest, WritingToAGoneServerFailsWithoutEndingTheProcess) {
  close(peer);
  peer = -1;
  CaptureFd err;
  EXPECT_EQ(nntp::put_line("QUIT"), 0);
  EXPECT_NE(err.take().find("tessu: write error on server socket"), std::string::npos);
}

TEST_F(LineIoTest, WritingToAPipeWithoutReaderFailsWithoutEndingTheProcess) {
  int fds[2];
  ASSERT_EQ(pipe(fds), 0);
  close(fds[0]);
  nntp::Connection program;
  nntp::attach_connection(&program, -1, fds[1]);
  CaptureFd err;
  EXPECT_EQ(nntp::write_line("QUIT", 4, &program, true), 0);
  EXPECT_NE(err.take().find("write error on server socket: Broken pipe"), std::string::npos);
  sigset_t pending;
  sigpending(&pending);
  EXPECT_FALSE(sigismember(&pending, SIGPIPE));
  nntp::close_connection(&program);
}

TEST_F(LineIoTest, ServerThatNeverReadsMakesTheWriteTimeOut) {
  base::g_settings.timeout = 1;
  const std::string chunk(8192, 'z');
  CaptureFd err;
  int result = 1;
  // The socket buffers fill up after a few hundred kilobytes at most.
  for (int i = 0; i < 100000 && result == 1; ++i) {
    result = nntp::put_text(chunk.data(), chunk.size(), true);
  }
  EXPECT_EQ(result, 0);
  const std::string messages = err.take();
  EXPECT_NE(messages.find("timeout on server socket"), std::string::npos) << messages;
  EXPECT_NE(messages.find("write error on server socket"), std::string::npos) << messages;
}

TEST_F(LineIoTest, UserSignalDuringTheWaitIsReportedAndTheReadGoesOn) {
  sys::install_signal_handlers();
  base::g_settings.verbosity = 5;
  const pid_t reader = static_cast<pid_t>(syscall(SYS_gettid));
  CaptureFd err;
  std::thread server([this, reader, &err] {
    // The signal comes while the read waits, and the line only once the
    // signal has been reported: the read went on after it.
    testsupport::wait_until([reader] { return testsupport::sleeps_in_poll(getpid(), reader); });
    kill(getpid(), SIGUSR1);
    testsupport::wait_until(
        [&err] { return err.peek().find("received signal") != std::string::npos; });
    send_to_client("200 still here\r\n");
  });
  char line[nntp::kStatusLineMax];
  const int result = nntp::get_line(line, sizeof line);
  server.join();
  EXPECT_EQ(result, 1);
  EXPECT_STREQ(line, "200 still here");
  EXPECT_NE(err.take().find("received signal: User defined signal 1"), std::string::npos);
}

// A listening socket on this machine that accepts nothing itself.
struct Listener {
  int fd = -1;
  int port = 0;
  explicit Listener(int family = AF_INET) {
    fd = socket(family, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_storage address{};
    socklen_t length;
    if (family == AF_INET) {
      auto* v4 = reinterpret_cast<sockaddr_in*>(&address);
      v4->sin_family = AF_INET;
      v4->sin_addr.s_addr = htonl(INADDR_LOOPBACK);
      length = sizeof *v4;
    } else {
      auto* v6 = reinterpret_cast<sockaddr_in6*>(&address);
      v6->sin6_family = AF_INET6;
      v6->sin6_addr = in6addr_loopback;
      length = sizeof *v6;
    }
    if (fd < 0 || bind(fd, reinterpret_cast<sockaddr*>(&address), length) != 0 ||
        listen(fd, 4) != 0) {
      if (fd >= 0) close(fd);
      fd = -1;
      return;
    }
    getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length);
    port = ntohs(family == AF_INET ? reinterpret_cast<sockaddr_in*>(&address)->sin_port
                                   : reinterpret_cast<sockaddr_in6*>(&address)->sin6_port);
  }
  ~Listener() {
    if (fd >= 0) close(fd);
  }
};

struct TcpConnectTest : testing::Test {
  testsupport::SettingsGuard settings_guard;
  void SetUp() override {
    base::g_settings.verbosity = 5;
    base::g_settings.timeout = 0;
  }
};

int socket_option(int fd, int level, int name) {
  int value = 0;
  socklen_t length = sizeof value;
  getsockopt(fd, level, name, &value, &length);
  return value;
}

TEST_F(TcpConnectTest, DottedAddressAndPortNumberAreUsedAsGiven) {
  Listener listener;
  ASSERT_GE(listener.fd, 0);
  CaptureFd err;
  const int fd = nntp::tcp_connect("127.0.0.1", std::to_string(listener.port).c_str());
  const std::string messages = err.take();
  ASSERT_GE(fd, 0) << messages;
  EXPECT_NE(messages.find("connecting to 127.0.0.1 port " + std::to_string(listener.port)),
            std::string::npos)
      << messages;
  EXPECT_EQ(socket_option(fd, SOL_SOCKET, SO_KEEPALIVE), 1);
  EXPECT_NE(socket_option(fd, IPPROTO_TCP, TCP_NODELAY), 0);
  // The socket is handed to connect scripts, which expect blocking I/O.
  EXPECT_EQ(fcntl(fd, F_GETFL) & O_NONBLOCK, 0);
  close(fd);
}

TEST_F(TcpConnectTest, HostNameIsLookedUp) {
  Listener listener;
  ASSERT_GE(listener.fd, 0);
  CaptureFd err;
  const int fd = nntp::tcp_connect("localhost", std::to_string(listener.port).c_str());
  const std::string messages = err.take();
  // The name's first IPv4 address is taken, as the classic resolver gives it.
  ASSERT_GE(fd, 0) << messages;
  EXPECT_NE(messages.find("connecting to 127.0.0.1 port"), std::string::npos) << messages;
  close(fd);
}

TEST_F(TcpConnectTest, UnknownServiceAndHostAreReported) {
  CaptureFd err;
  EXPECT_EQ(nntp::tcp_connect("127.0.0.1", "no-such-service-here"), -1);
  EXPECT_EQ(nntp::tcp_connect("no-such-host.invalid", "119"), -1);
  const std::string messages = err.take();
  EXPECT_NE(messages.find("tessu: unknown service no-such-service-here/tcp\n"), std::string::npos)
      << messages;
  EXPECT_NE(messages.find("tessu: host name error: \"no-such-host.invalid\"\n"), std::string::npos)
      << messages;
}

TEST_F(TcpConnectTest, ServiceNameGivesItsPort) {
  // "nntp" is port 119; nothing listens there, so the connect is refused,
  // but the detail message shows the port the name stood for.
  CaptureFd err;
  const int fd = nntp::tcp_connect("127.0.0.1", "nntp");
  if (fd >= 0) close(fd);
  const std::string messages = err.take();
  EXPECT_NE(messages.find("connecting to 127.0.0.1 port 119"), std::string::npos) << messages;
}

TEST_F(TcpConnectTest, RefusedConnectionIsReported) {
  int port;
  {
    Listener listener;
    ASSERT_GE(listener.fd, 0);
    port = listener.port;
  }
  CaptureFd err;
  EXPECT_EQ(nntp::tcp_connect("127.0.0.1", std::to_string(port).c_str()), -1);
  const std::string messages = err.take();
  EXPECT_NE(messages.find("tessu: can't connect to server \"127.0.0.1\": Connection refused"),
            std::string::npos)
      << messages;
}

TEST_F(TcpConnectTest, IPv6LoopbackWhenTheMachineHasIt) {
  Listener listener(AF_INET6);
  if (listener.fd < 0) GTEST_SKIP() << "no IPv6 loopback here";
  CaptureFd err;
  const int fd = nntp::tcp_connect("::1", std::to_string(listener.port).c_str());
  const std::string messages = err.take();
  ASSERT_GE(fd, 0) << messages;
  EXPECT_NE(messages.find("connecting to ::1 port " + std::to_string(listener.port)),
            std::string::npos)
      << messages;
  close(fd);
}

TEST_F(TcpConnectTest, ConnectServerSetsUpTheRecordAndOpensTheChatScript) {
  Listener listener;
  ASSERT_GE(listener.fd, 0);
  char chat_path[] = "/tmp/tessu-chat-XXXXXX";
  const int chat_fd = mkstemp(chat_path);
  ASSERT_GE(chat_fd, 0);
  close(chat_fd);
  base::g_settings.chat = std::string(chat_path);
  nntp::Connection connection;
  CaptureFd quiet;
  ASSERT_EQ(nntp::connect_server("127.0.0.1", std::to_string(listener.port).c_str(), &connection),
            0);
  EXPECT_GE(connection.read_fd, 0);
  EXPECT_GE(connection.write_fd, 0);
  EXPECT_NE(connection.read_fd, connection.write_fd);
  EXPECT_EQ(connection.telnet, 0);
  EXPECT_NE(connection.chat_script, nullptr);
  fclose(connection.chat_script);
  nntp::close_connection(&connection);

  unlink(chat_path);
  EXPECT_EQ(nntp::connect_server("127.0.0.1", std::to_string(listener.port).c_str(), &connection),
            -1);
  EXPECT_NE(quiet.take().find(std::string("can't open chat file: ") + chat_path),
            std::string::npos);
}

}  // namespace
