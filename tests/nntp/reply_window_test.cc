#include <sys/socket.h>
#include <unistd.h>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "base/settings.h"
#include "nntp/connection.h"
#include "nntp/server.h"
#include "report/stats.h"
#include "support/capture.h"
#include "support/nntp_server.h"
#include "support/settings_guard.h"
#include "support/socket_connection.h"
#include "sys/timed_io.h"

namespace {

using testsupport::CaptureFd;

// What the handlers saw, in the order they ran.
struct Handled {
  std::string line;
  int64_t number;
  std::string text;
};
std::vector<Handled> g_handled;
int g_fail_number = -1;  // the handler fails for this number

int record_reply(const char* line, int64_t number, const char* text) {
  g_handled.push_back(Handled{line, number, text != nullptr ? text : ""});
  return number == g_fail_number ? 0 : 1;
}

struct ReplyWindowTest : testing::Test {
  testsupport::SettingsGuard settings_guard;
  int peer = -1;

  void SetUp() override {
    testsupport::prepare_line_io();
    base::g_settings.window = 10;
    g_handled.clear();
    g_fail_number = -1;
    peer = testsupport::attach_socket_pair();
    ASSERT_GE(peer, 0);
  }
  void TearDown() override {
    testsupport::detach_socket_pair(peer);
    nntp::g_reply_window = nntp::ReplyWindow{};
  }

  void send_to_client(const std::string& bytes) const { testsupport::write_to(peer, bytes); }
  std::string sent_by_client() const { return testsupport::read_waiting(peer); }
  static int queue_stat(int64_t number) {
    const std::string command = "STAT " + std::to_string(number);
    return nntp::queue_command(command.c_str(), record_reply, number, "text");
  }
};

TEST_F(ReplyWindowTest, RepliesAreHandledInTheOrderTheCommandsWereSent) {
  for (int n = 1; n <= 3; ++n) ASSERT_EQ(queue_stat(n), 1);
  EXPECT_TRUE(g_handled.empty());
  EXPECT_EQ(sent_by_client(), "STAT 1\r\nSTAT 2\r\nSTAT 3\r\n");

  // A command sent directly gets its own reply only after the three queued ones.
  ASSERT_EQ(nntp::put_line("GROUP misc.test"), 1);
  send_to_client("223 1 <a@x>\r\n223 2 <b@x>\r\n423 no such article\r\n211 3 1 3 misc.test\r\n");
  char line[nntp::kStatusLineMax];
  ASSERT_EQ(nntp::get_reply(line, sizeof line), 1);
  EXPECT_STREQ(line, "211 3 1 3 misc.test");
  ASSERT_EQ(g_handled.size(), 3u);
  EXPECT_EQ(g_handled[0].line, "223 1 <a@x>");
  EXPECT_EQ(g_handled[0].number, 1);
  EXPECT_EQ(g_handled[0].text, "text");
  EXPECT_EQ(g_handled[1].line, "223 2 <b@x>");
  EXPECT_EQ(g_handled[2].line, "423 no such article");
  EXPECT_EQ(g_handled[2].number, 3);
  EXPECT_EQ(nntp::g_reply_window.count, 0);
}

TEST_F(ReplyWindowTest, FullWindowTakesTheOldestReplyBeforeSending) {
  base::g_settings.window = 2;
  ASSERT_EQ(queue_stat(1), 1);
  ASSERT_EQ(queue_stat(2), 1);
  EXPECT_EQ(sent_by_client(), "STAT 1\r\nSTAT 2\r\n");
  // The third command waits for the first reply, which is already there.
  send_to_client("223 1 <a@x>\r\n");
  ASSERT_EQ(queue_stat(3), 1);
  ASSERT_EQ(g_handled.size(), 1u);
  EXPECT_EQ(g_handled[0].number, 1);
  EXPECT_EQ(nntp::g_reply_window.count, 2);
  EXPECT_EQ(sent_by_client(), "STAT 3\r\n");

  send_to_client("223 2 <b@x>\r\n223 3 <c@x>\r\n");
  ASSERT_EQ(nntp::drain_replies(), 1);
  ASSERT_EQ(g_handled.size(), 3u);
  EXPECT_EQ(g_handled[2].number, 3);
}

TEST_F(ReplyWindowTest, WindowZeroAnswersEachCommandBeforeReturning) {
  base::g_settings.window = 0;
  send_to_client("223 1 <a@x>\r\n223 2 <b@x>\r\n");
  ASSERT_EQ(queue_stat(1), 1);
  EXPECT_EQ(g_handled.size(), 1u);
  EXPECT_EQ(nntp::g_reply_window.count, 0);
  ASSERT_EQ(queue_stat(2), 1);
  EXPECT_EQ(g_handled.size(), 2u);
  EXPECT_EQ(nntp::g_reply_window.count, 0);
  EXPECT_EQ(nntp::window_limit(), 1);
}

TEST_F(ReplyWindowTest, WindowAboveTheRingSizeIsTheRingSize) {
  base::g_settings.window = 5000;
  EXPECT_EQ(nntp::window_limit(), 1000);
  // A thousand commands are more than the socket pair buffers: read them as they come.
  std::string commands;
  std::thread reader([&] {
    char buffer[65536];
    while (commands.find("STAT 1001\r\n") == std::string::npos) {
      const ssize_t got = read(peer, buffer, sizeof buffer);
      if (got <= 0) break;
      commands.append(buffer, got);
    }
  });
  for (int n = 1; n <= 1000; ++n) ASSERT_EQ(queue_stat(n), 1);
  EXPECT_EQ(nntp::g_reply_window.count, 1000);
  EXPECT_TRUE(g_handled.empty());

  send_to_client("223 1 <1@x>\r\n");
  ASSERT_EQ(queue_stat(1001), 1);
  reader.join();
  ASSERT_EQ(g_handled.size(), 1u);
  EXPECT_EQ(g_handled[0].number, 1);
  EXPECT_EQ(nntp::g_reply_window.count, 1000);
  // Both indices have gone round the ring once.
  EXPECT_EQ(nntp::g_reply_window.oldest, 1);
  EXPECT_EQ(nntp::g_reply_window.next_free, 1);
  EXPECT_EQ(commands.substr(0, 16), "STAT 1\r\nSTAT 2\r\n");

  std::string replies;
  for (int n = 2; n <= 1001; ++n) replies += "223 " + std::to_string(n) + " <x>\r\n";
  std::thread writer([&] { send_to_client(replies); });
  const int drained = nntp::drain_replies();
  writer.join();
  ASSERT_EQ(drained, 1);
  ASSERT_EQ(g_handled.size(), 1001u);
  for (int n = 1; n <= 1001; ++n) ASSERT_EQ(g_handled[n - 1].number, n);
}

TEST_F(ReplyWindowTest, NothingOutstandingReadsNothing) {
  send_to_client("200 unsolicited\r\n");
  EXPECT_EQ(nntp::poll_reply(), -1);
  EXPECT_EQ(nntp::take_reply(), 1);
  EXPECT_EQ(nntp::drain_replies(), 1);
  EXPECT_TRUE(g_handled.empty());
  char line[nntp::kStatusLineMax];
  ASSERT_EQ(nntp::get_line(line, sizeof line), 1);
  EXPECT_STREQ(line, "200 unsolicited");

  ASSERT_EQ(queue_stat(7), 1);
  send_to_client("223 7 <g@x>\r\n");
  EXPECT_EQ(nntp::poll_reply(), 1);
  EXPECT_EQ(g_handled.size(), 1u);
  EXPECT_EQ(nntp::poll_reply(), -1);
}

TEST_F(ReplyWindowTest, FailingHandlerStopsTheDrainAndGetReplyReadsNoLine) {
  g_fail_number = 2;
  for (int n = 1; n <= 3; ++n) ASSERT_EQ(queue_stat(n), 1);
  ASSERT_EQ(nntp::put_line("GROUP misc.test"), 1);
  send_to_client("223 1 <a@x>\r\n223 2 <b@x>\r\n223 3 <c@x>\r\n211 3 1 3 misc.test\r\n");
  char line[nntp::kStatusLineMax] = "untouched";
  EXPECT_EQ(nntp::get_reply(line, sizeof line), -1);
  EXPECT_STREQ(line, "untouched");
  EXPECT_EQ(g_handled.size(), 2u);
  EXPECT_EQ(nntp::g_reply_window.count, 1);

  // The rest is still in order.
  EXPECT_EQ(nntp::take_reply(), 1);
  EXPECT_EQ(g_handled.back().number, 3);
  ASSERT_EQ(nntp::get_reply(line, sizeof line), 1);
  EXPECT_STREQ(line, "211 3 1 3 misc.test");
}

TEST_F(ReplyWindowTest, UnreadableReplyKeepsItsEntryOutstanding) {
  ASSERT_EQ(queue_stat(1), 1);
  ASSERT_EQ(queue_stat(2), 1);
  close(peer);
  peer = -1;
  CaptureFd err;
  EXPECT_EQ(nntp::take_reply(), 0);
  EXPECT_EQ(nntp::g_reply_window.count, 2);
  EXPECT_EQ(nntp::drain_replies(), 0);
  EXPECT_EQ(nntp::g_reply_window.count, 2);
  EXPECT_TRUE(g_handled.empty());
  EXPECT_NE(err.take().find("read error on socket"), std::string::npos);
}

TEST_F(ReplyWindowTest, CloseServerTakesOutstandingRepliesThenQuitsReply) {
  ASSERT_EQ(queue_stat(1), 1);
  send_to_client("223 1 <a@x>\r\n205 bye\r\n");
  ASSERT_EQ(nntp::close_server(0), 1);
  EXPECT_EQ(g_handled.size(), 1u);
  EXPECT_EQ(nntp::g_connection.read_fd, -1);
  EXPECT_EQ(sent_by_client(), "STAT 1\r\nQUIT\r\n");
}

TEST_F(ReplyWindowTest, CloseServerAfterAFailedHandlerStillCloses) {
  g_fail_number = 1;
  ASSERT_EQ(queue_stat(1), 1);
  send_to_client("223 1 <a@x>\r\n");
  // QUIT's reply is not waited for once a queued reply has failed.
  EXPECT_EQ(nntp::close_server(0), 1);
  EXPECT_EQ(nntp::g_connection.read_fd, -1);
}

TEST_F(ReplyWindowTest, AbortedCloseWaitsASecondForQuitsReply) {
  CaptureFd err;
  EXPECT_EQ(nntp::close_server(1), 0);
  EXPECT_EQ(sys::effective_timeout(), 1);
  EXPECT_NE(err.take().find("timeout on server socket"), std::string::npos);
  // The connection stays open.
  EXPECT_GE(nntp::g_connection.read_fd, 0);
  EXPECT_EQ(sent_by_client(), "QUIT\r\n");
}

// Against the scripted server: the server's record shows that no more than
// the window's worth of commands ever reached it ahead of the replies taken.
testsupport::TestNntpServer* g_server = nullptr;
std::vector<size_t> g_arrived_when_handled;

int record_arrivals(const char*, int64_t, const char*) {
  g_arrived_when_handled.push_back(g_server->commands().size());
  return 1;
}

TEST_F(ReplyWindowTest, ServerNeverHasMoreThanTheWindowAhead) {
  testsupport::TestNntpServer server;
  server.add_group("misc.test", 1, 20);
  for (long n = 1; n <= 20; ++n) {
    server.add_simple_article("misc.test", n, "<" + std::to_string(n) + "@x>");
  }
  server.start();
  g_server = &server;
  g_arrived_when_handled.clear();
  base::g_settings.window = 2;

  nntp::close_connection(&nntp::g_connection);
  ASSERT_EQ(nntp::connect_server("127.0.0.1", server.port_string().c_str(), &nntp::g_connection),
            0);
  char line[nntp::kStatusLineMax];
  ASSERT_EQ(nntp::get_line(line, sizeof line), 1);
  EXPECT_EQ(line[0], '2');
  ASSERT_EQ(nntp::put_line("GROUP misc.test"), 1);
  ASSERT_EQ(nntp::get_reply(line, sizeof line), 1);
  for (int n = 1; n <= 8; ++n) {
    const std::string command = "STAT " + std::to_string(n);
    ASSERT_EQ(nntp::queue_command(command.c_str(), record_arrivals, n, nullptr), 1);
    EXPECT_LE(nntp::g_reply_window.count, 2);
  }
  ASSERT_EQ(nntp::drain_replies(), 1);
  ASSERT_EQ(g_arrived_when_handled.size(), 8u);
  // When the k-th reply is handled, the server has seen GROUP and at most
  // STAT 1 .. STAT k+1.
  for (size_t k = 1; k <= g_arrived_when_handled.size(); ++k) {
    EXPECT_LE(g_arrived_when_handled[k - 1], 1 + std::min<size_t>(k + 1, 8)) << "reply " << k;
  }
  ASSERT_EQ(nntp::close_server(0), 1);
  const std::vector<std::string> commands = server.commands();
  ASSERT_EQ(commands.size(), 10u);
  EXPECT_EQ(commands.front(), "GROUP misc.test");
  for (int n = 1; n <= 8; ++n) EXPECT_EQ(commands[n], "STAT " + std::to_string(n));
  EXPECT_EQ(commands.back(), "QUIT");
  g_server = nullptr;
}

}  // namespace
