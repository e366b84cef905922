#include "support/nntp_server.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include "support/wait.h"

namespace testsupport {
namespace {

// Generous bound on every wait, only so that a broken server fails the test
// instead of hanging it.
constexpr int kWaitMs = 20000;

// A minimal line-oriented client on 127.0.0.1.
struct Client {
  int fd = -1;
  std::string buffer;

  explicit Client(int port) {
    fd = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    address.sin_port = htons(static_cast<uint16_t>(port));
    if (connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) {
      close(fd);
      fd = -1;
    }
  }
  ~Client() {
    if (fd >= 0) close(fd);
  }

  void send_text(const std::string& text) const {
    ASSERT_EQ(send(fd, text.data(), text.size(), MSG_NOSIGNAL), static_cast<ssize_t>(text.size()));
  }

  // Reads more data; false at end of stream, error or after the bound.
  bool fill() {
    pollfd p{fd, POLLIN, 0};
    if (poll(&p, 1, kWaitMs) <= 0) return false;
    char chunk[8192];
    ssize_t got = recv(fd, chunk, sizeof chunk, 0);
    if (got <= 0) return false;
    buffer.append(chunk, static_cast<size_t>(got));
    return true;
  }

  // The next line without CR LF; "<eof>" when the stream ends first.
  std::string line() {
    size_t end;
    while ((end = buffer.find("\r\n")) == std::string::npos)
      if (!fill()) return "<eof>";
    std::string result = buffer.substr(0, end);
    buffer.erase(0, end + 2);
    return result;
  }

  // Everything up to the end of the stream.
  std::string rest() {
    while (fill()) {
    }
    std::string result = buffer;
    buffer.clear();
    return result;
  }

  // A multi-line body up to (not including) the "." line.
  std::vector<std::string> body() {
    std::vector<std::string> lines;
    for (std::string l = line(); l != "." && l != "<eof>"; l = line()) lines.push_back(l);
    return lines;
  }
};

// Waits until the server has recorded at least count lines.
bool wait_for_lines(const TestNntpServer& server, size_t count) {
  return wait_until([&] { return server.received().size() >= count; });
}

struct NntpServerTest : ::testing::Test {
  TestNntpServer server;

  void SetUp() override {
    server.add_simple_article("misc.test", 1, "<one@example.invalid>");
    server.add_simple_article("misc.test", 3, "<three@example.invalid>");
    server.add_simple_article("misc.test", 4, "<four@example.invalid>");
  }
  void start() { ASSERT_GT(server.start(), 0); }
};

TEST_F(NntpServerTest, SendsBannerAndGreetingAndClosesAfterQuit) {
  server.script.banner = {"welcome", "to the test"};
  server.script.greeting = "201 no posting";
  start();
  Client client(server.port());
  ASSERT_GE(client.fd, 0);
  EXPECT_EQ(client.line(), "welcome");
  EXPECT_EQ(client.line(), "to the test");
  EXPECT_EQ(client.line(), "201 no posting");
  client.send_text("QUIT\r\n");
  EXPECT_EQ(client.line(), "205 closing connection");
  EXPECT_EQ(client.rest(), "");
  EXPECT_EQ(server.commands(), std::vector<std::string>{"QUIT"});
  EXPECT_EQ(server.connections(), 1);
}

TEST_F(NntpServerTest, NeverGreetStaysSilentButRecords) {
  server.script.never_greet = true;
  start();
  Client client(server.port());
  client.send_text("MODE READER\r\n");
  ASSERT_TRUE(wait_for_lines(server, 1));
  server.stop();
  EXPECT_EQ(client.rest(), "");
  EXPECT_EQ(server.commands(), std::vector<std::string>{"MODE READER"});
}

TEST_F(NntpServerTest, AnswersSessionCommands) {
  start();
  Client client(server.port());
  client.line();
  client.send_text(
      "MODE READER\r\nAUTHINFO USER fred\r\nAUTHINFO PASS secret\r\nGROUP no.such\r\n"
      "STAT 1\r\nXYZZY\r\nGROUP misc.test\n");
  EXPECT_EQ(client.line().substr(0, 4), "200 ");
  EXPECT_EQ(client.line().substr(0, 4), "381 ");
  EXPECT_EQ(client.line().substr(0, 4), "281 ");
  EXPECT_EQ(client.line().substr(0, 4), "411 ");
  EXPECT_EQ(client.line().substr(0, 4), "412 ");
  EXPECT_EQ(client.line().substr(0, 4), "500 ");
  EXPECT_EQ(client.line(), "211 3 1 4 misc.test");
  // Lines ending in LF alone are recorded the same way.
  EXPECT_EQ(server.commands().back(), "GROUP misc.test");
}

TEST_F(NntpServerTest, PipelinedCommandsAreAnsweredInOrder) {
  start();
  Client client(server.port());
  client.line();
  client.send_text(
      "GROUP misc.test\r\nSTAT 1\r\nSTAT 2\r\nSTAT\r\nNEXT\r\nARTICLE 3\r\nNEXT\r\nSTAT\r\n"
      "NEXT\r\nSTAT <four@example.invalid>\r\nARTICLE <nope@x>\r\n");
  EXPECT_EQ(client.line(), "211 3 1 4 misc.test");
  EXPECT_EQ(client.line(), "223 1 <one@example.invalid> status");
  EXPECT_EQ(client.line().substr(0, 4), "423 ");
  EXPECT_EQ(client.line(), "223 1 <one@example.invalid> status");
  EXPECT_EQ(client.line(), "223 3 <three@example.invalid> status");
  EXPECT_EQ(client.line(), "220 3 <three@example.invalid> article");
  std::vector<std::string> article = client.body();
  ASSERT_EQ(article.size(), 8u);
  EXPECT_EQ(article[0], "Path: upstream!not-for-mail");
  EXPECT_EQ(article[2], "Newsgroups: misc.test");
  EXPECT_EQ(article[3], "Subject: test 3");
  EXPECT_EQ(article[4], "Message-ID: <three@example.invalid>");
  EXPECT_EQ(article[6], "");
  EXPECT_EQ(article[7], "body");
  EXPECT_EQ(client.line(), "223 4 <four@example.invalid> status");
  EXPECT_EQ(client.line(), "223 4 <four@example.invalid> status");
  EXPECT_EQ(client.line().substr(0, 4), "421 ");
  EXPECT_EQ(client.line(), "223 0 <four@example.invalid> status");
  EXPECT_EQ(client.line().substr(0, 4), "430 ");
}

TEST_F(NntpServerTest, ArticleTextIsDotStuffedAndHeadBodySplit) {
  server.add_simple_article("misc.test", 7, "<dots@x>", "a!b", ".hidden\nplain\n.\n..two\n");
  start();
  Client client(server.port());
  client.line();
  client.send_text("GROUP misc.test\r\nARTICLE 7\r\nHEAD 7\r\nBODY 7\r\n");
  client.line();
  EXPECT_EQ(client.line(), "220 7 <dots@x> article");
  std::vector<std::string> article = client.body();
  ASSERT_EQ(article.size(), 11u);
  EXPECT_EQ(article[0], "Path: a!b");
  EXPECT_EQ(article[7], "..hidden");
  EXPECT_EQ(article[8], "plain");
  EXPECT_EQ(article[9], "..");
  EXPECT_EQ(article[10], "...two");
  EXPECT_EQ(client.line(), "221 7 <dots@x> head");
  EXPECT_EQ(client.body().size(), 6u);
  EXPECT_EQ(client.line(), "222 7 <dots@x> body");
  EXPECT_EQ(client.body(), (std::vector<std::string>{"..hidden", "plain", "..", "...two"}));
}

TEST_F(NntpServerTest, MessageIdIsTakenFromTheHeaderAndCrosspostsShareIt) {
  server.add_article("misc.other", 9, "Path: x\nmessage-id:  <cross@x> \n\nhi\n");
  server.add_article("misc.test", 12, "Path: x\nMessage-ID: <cross@x>\n\nhi\n");
  start();
  Client client(server.port());
  client.line();
  client.send_text("GROUP misc.other\r\nSTAT 9\r\nGROUP misc.test\r\nSTAT 12\r\n");
  client.line();
  EXPECT_EQ(client.line(), "223 9 <cross@x> status");
  client.line();
  EXPECT_EQ(client.line(), "223 12 <cross@x> status");
}

TEST_F(NntpServerTest, GroupMarksAndListsFollowTheGroups) {
  server.add_group("misc.empty");
  server.add_group("misc.expired", 10, 20);
  start();
  Client client(server.port());
  client.line();
  client.send_text("GROUP misc.empty\r\nGROUP misc.expired\r\nNEXT\r\nLIST\r\nLIST NEWSGROUPS\r\n");
  EXPECT_EQ(client.line(), "211 0 1 0 misc.empty");
  EXPECT_EQ(client.line(), "211 0 10 20 misc.expired");
  EXPECT_EQ(client.line().substr(0, 4), "420 ");
  EXPECT_EQ(client.line().substr(0, 4), "215 ");
  EXPECT_EQ(client.body(), (std::vector<std::string>{"misc.empty 0 1 y", "misc.expired 20 10 y",
                                                     "misc.test 4 1 y"}));
  EXPECT_EQ(client.line().substr(0, 4), "215 ");
  EXPECT_EQ(client.body(), (std::vector<std::string>{"misc.empty\ttest group misc.empty",
                                                     "misc.expired\ttest group misc.expired",
                                                     "misc.test\ttest group misc.test"}));
}

TEST_F(NntpServerTest, ScriptedListLinesReplaceTheGroups) {
  server.script.list_lines = {"alt.one 5 1 m", ".dotted 1 1 y"};
  server.script.newsgroups_lines = {"alt.one\tOne."};
  start();
  Client client(server.port());
  client.line();
  client.send_text("LIST\r\nLIST NEWSGROUPS\r\nLIST OVERVIEW.FMT\r\n");
  client.line();
  EXPECT_EQ(client.body(), (std::vector<std::string>{"alt.one 5 1 m", "..dotted 1 1 y"}));
  client.line();
  EXPECT_EQ(client.body(), std::vector<std::string>{"alt.one\tOne."});
  EXPECT_EQ(client.line().substr(0, 4), "501 ");
}

TEST_F(NntpServerTest, PostAndIhaveRecordTheUnstuffedArticle) {
  start();
  Client client(server.port());
  client.line();
  client.send_text("POST\r\n");
  EXPECT_EQ(client.line().substr(0, 4), "340 ");
  client.send_text("Subject: hi\r\n\r\n..dot\r\n.\r\n");
  EXPECT_EQ(client.line().substr(0, 4), "240 ");
  client.send_text("IHAVE <new@x>\r\n");
  EXPECT_EQ(client.line().substr(0, 4), "335 ");
  client.send_text("Message-ID: <new@x>\r\n\r\nbody\r\n.\r\n");
  EXPECT_EQ(client.line().substr(0, 4), "235 ");
  client.send_text("IHAVE <one@example.invalid>\r\n");
  EXPECT_EQ(client.line().substr(0, 4), "435 ");
  std::vector<ReceivedArticle> articles = server.articles_received();
  ASSERT_EQ(articles.size(), 2u);
  EXPECT_EQ(articles[0].command, "POST");
  EXPECT_EQ(articles[0].text, "Subject: hi\n\n.dot\n");
  EXPECT_EQ(articles[1].command, "IHAVE <new@x>");
  EXPECT_EQ(articles[1].text, "Message-ID: <new@x>\n\nbody\n");
  // The article lines are recorded too, as received.
  EXPECT_EQ(server.commands()[3], "..dot");
}

TEST_F(NntpServerTest, RefusedPostTakesNoText) {
  server.script.post_code = 440;
  server.script.ihave_code = 436;
  start();
  Client client(server.port());
  client.line();
  client.send_text("POST\r\nIHAVE <x@y>\r\nQUIT\r\n");
  EXPECT_EQ(client.line().substr(0, 4), "440 ");
  EXPECT_EQ(client.line().substr(0, 4), "436 ");
  EXPECT_EQ(client.line().substr(0, 4), "205 ");
  EXPECT_TRUE(server.articles_received().empty());
}

TEST_F(NntpServerTest, PostDoneCodeIsScripted) {
  server.script.post_done_code = 441;
  start();
  Client client(server.port());
  client.line();
  client.send_text("POST\r\nSubject: x\r\n\r\nbody\r\n.\r\n");
  EXPECT_EQ(client.line().substr(0, 4), "340 ");
  EXPECT_EQ(client.line().substr(0, 4), "441 ");
}

TEST_F(NntpServerTest, ReplyCodeFaultHitsOnlyTheNthCommand) {
  server.script.faults = {Fault{Fault::kReplyCode, "stat", 2, "500 what?", 0},
                          Fault{Fault::kReplyCode, "POST", 0, "340 go ahead", 0}};
  server.script.post_code = 440;
  start();
  Client client(server.port());
  client.line();
  client.send_text("GROUP misc.test\r\nSTAT 1\r\nSTAT 3\r\nSTAT 4\r\nPOST\r\nx\r\n.\r\n");
  client.line();
  EXPECT_EQ(client.line(), "223 1 <one@example.invalid> status");
  EXPECT_EQ(client.line(), "500 what?");
  EXPECT_EQ(client.line(), "223 4 <four@example.invalid> status");
  // A replaced 340 makes the server take the article after all.
  EXPECT_EQ(client.line(), "340 go ahead");
  EXPECT_EQ(client.line().substr(0, 4), "240 ");
  ASSERT_EQ(server.articles_received().size(), 1u);
}

TEST_F(NntpServerTest, ReplacedArticleCodeDecidesWhetherTextFollows) {
  server.script.faults = {Fault{Fault::kReplyCode, "ARTICLE", 1, "430 gone", 0},
                          Fault{Fault::kReplyCode, "ARTICLE", 2, "220 article follows", 0}};
  start();
  Client client(server.port());
  client.line();
  client.send_text("GROUP misc.test\r\nARTICLE 1\r\nARTICLE 1\r\nSTAT 1\r\n");
  client.line();
  EXPECT_EQ(client.line(), "430 gone");
  EXPECT_EQ(client.line(), "220 article follows");
  EXPECT_EQ(client.body().size(), 8u);
  EXPECT_EQ(client.line().substr(0, 4), "223 ");
}

TEST_F(NntpServerTest, WrongNumberFaultChangesTheNumberOnly) {
  server.script.faults = {Fault{Fault::kWrongNumber, "STAT", 0, "", 105},
                          Fault{Fault::kWrongNumber, "NEXT", 0, "", 3},
                          Fault{Fault::kWrongNumber, "ARTICLE", 0, "", 0}};
  start();
  Client client(server.port());
  client.line();
  client.send_text("GROUP misc.test\r\nSTAT 3\r\nNEXT\r\nARTICLE 1\r\nSTAT 2\r\n");
  client.line();
  EXPECT_EQ(client.line(), "223 105 <three@example.invalid> status");
  EXPECT_EQ(client.line(), "223 3 <four@example.invalid> status");
  EXPECT_EQ(client.line(), "220 0 <one@example.invalid> article");
  EXPECT_EQ(client.body().size(), 8u);
  EXPECT_EQ(client.line().substr(0, 4), "423 ");
}

TEST_F(NntpServerTest, StallKeepsTheConnectionOpenAndStillRecords) {
  server.script.faults = {Fault{Fault::kStall, "STAT", 2, "", 0}};
  start();
  Client client(server.port());
  client.line();
  client.send_text("GROUP misc.test\r\nSTAT 1\r\nSTAT 3\r\nSTAT 4\r\nQUIT\r\n");
  ASSERT_TRUE(wait_for_lines(server, 5));
  server.stop();
  EXPECT_EQ(client.rest(), "211 3 1 4 misc.test\r\n223 1 <one@example.invalid> status\r\n");
  EXPECT_EQ(server.commands().back(), "QUIT");
}

TEST_F(NntpServerTest, CloseMidArticleSendsHalfTheText) {
  server.script.faults = {Fault{Fault::kCloseMidReply, "ARTICLE", 0, "", 0}};
  start();
  Client client(server.port());
  client.line();
  client.send_text("GROUP misc.test\r\nARTICLE 1\r\nSTAT 1\r\n");
  client.line();
  EXPECT_EQ(client.line(), "220 1 <one@example.invalid> article");
  std::string text = client.rest();
  EXPECT_EQ(text.substr(0, 29), "Path: upstream!not-for-mail\r\n");
  EXPECT_EQ(text.find("body"), std::string::npos);
  EXPECT_EQ(text.find("\r\n.\r\n"), std::string::npos);
  // Lines after the close are not recorded.
  EXPECT_EQ(server.commands().back(), "ARTICLE 1");
}

TEST_F(NntpServerTest, CloseMidStatusLineSendsHalfTheLine) {
  server.script.faults = {Fault{Fault::kCloseMidReply, "GROUP", 1, "", 0}};
  start();
  Client client(server.port());
  client.line();
  client.send_text("GROUP misc.test\r\n");
  EXPECT_EQ(client.rest(), "211 3 1 4");
}

TEST_F(NntpServerTest, CloseBeforeReplyAnswersEarlierCommandsFirst) {
  server.script.faults = {Fault{Fault::kCloseBeforeReply, "STAT", 0, "", 0}};
  start();
  Client client(server.port());
  client.line();
  client.send_text("MODE READER\r\nSTAT 1\r\nMODE READER\r\n");
  EXPECT_EQ(client.line().substr(0, 4), "200 ");
  EXPECT_EQ(client.rest(), "");
}

TEST_F(NntpServerTest, CloseAfterBytesCutsAnywhereAndLaterConnectionsToo) {
  // The greeting "200 test server ready - posting ok\r\n" is 36 bytes, the
  // GROUP reply 21.
  server.script.close_after_bytes = 36 + 21 + 7;
  start();
  for (int connection = 1; connection <= 2; ++connection) {
    Client client(server.port());
    EXPECT_EQ(client.line(), "200 test server ready - posting ok");
    client.send_text("GROUP misc.test\r\nARTICLE 1\r\nMODE READER\r\n");
    EXPECT_EQ(client.line(), "211 3 1 4 misc.test");
    // Nothing follows the cut, the answer to MODE READER neither.
    EXPECT_EQ(client.rest(), "220 1 <");
  }
}

TEST_F(NntpServerTest, LongReplyFaultPadsTheStatusLine) {
  server.script.faults = {Fault{Fault::kLongReply, "GROUP", 1, "", 0},
                          Fault{Fault::kLongReply, "GROUP", 2, "", 600}};
  start();
  Client client(server.port());
  client.line();
  client.send_text("GROUP misc.test\r\nGROUP misc.test\r\nSTAT\r\n");
  std::string first = client.line();
  EXPECT_EQ(first.size(), 2000u);
  EXPECT_EQ(first.substr(0, 21), "211 3 1 4 misc.test x");
  EXPECT_EQ(first.find_first_not_of('x', 20), std::string::npos);
  EXPECT_EQ(client.line().size(), 600u);
  EXPECT_EQ(client.line(), "223 1 <one@example.invalid> status");
}

TEST_F(NntpServerTest, LatencyKeepsOrderAndContent) {
  server.script.latency_ms = 50;
  start();
  Client client(server.port());
  EXPECT_EQ(client.line().substr(0, 4), "200 ");
  std::string pipeline = "GROUP misc.test\r\n";
  for (int i = 0; i < 20; ++i) pipeline += "STAT " + std::to_string(i % 5) + "\r\n";
  client.send_text(pipeline);
  EXPECT_EQ(client.line(), "211 3 1 4 misc.test");
  for (int i = 0; i < 20; ++i) {
    std::string reply = client.line();
    long number = i % 5;
    if (number == 1 || number == 3 || number == 4)
      EXPECT_EQ(reply.substr(0, 6), "223 " + std::to_string(number) + " ") << i;
    else
      EXPECT_EQ(reply.substr(0, 4), "423 ") << i;
  }
  // Arrival times are recorded in order.
  std::vector<ReceivedLine> lines = server.received();
  ASSERT_EQ(lines.size(), 21u);
  for (size_t i = 1; i < lines.size(); ++i) EXPECT_LE(lines[i - 1].when, lines[i].when);
}

TEST_F(NntpServerTest, TwoConnectionsAtOnceKeepTheirOwnState) {
  start();
  Client first(server.port());
  EXPECT_EQ(first.line().substr(0, 4), "200 ");
  Client second(server.port());
  EXPECT_EQ(second.line().substr(0, 4), "200 ");
  first.send_text("GROUP misc.test\r\n");
  EXPECT_EQ(first.line().substr(0, 4), "211 ");
  second.send_text("STAT\r\nQUIT\r\n");
  EXPECT_EQ(second.line().substr(0, 4), "412 ");
  EXPECT_EQ(second.line().substr(0, 4), "205 ");
  first.send_text("NEXT\r\n");
  EXPECT_EQ(first.line(), "223 3 <three@example.invalid> status");
  EXPECT_EQ(server.connections(), 2);
  std::vector<ReceivedLine> lines = server.received();
  ASSERT_EQ(lines.size(), 4u);
  EXPECT_EQ(lines[0].connection, 1);
  EXPECT_EQ(lines[1].connection, 2);
  EXPECT_EQ(lines[3].connection, 1);
}

TEST_F(NntpServerTest, StopClosesOpenConnectionsAndCanBeRepeated) {
  start();
  Client client(server.port());
  client.line();
  server.stop();
  EXPECT_EQ(client.rest(), "");
  server.stop();
}

}  // namespace
}  // namespace testsupport
