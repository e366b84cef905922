
#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>
#include <algorithm>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "base/settings.h"
#include "fetch/retrieve.h"
#include "fetch/spool.h"
#include "groups/newsfeeds.h"
#include "nntp/connection.h"
#include "report/stats.h"
#include "support/capture.h"
#include "support/fetch_state.h"
#include "support/nntp_server.h"

namespace {

using testsupport::CaptureFd;
using testsupport::Fault;
using Lines = std::vector<std::string>;

// The retrieval pipeline connected to the scripted server on localhost.
struct RetrieveTest : testing::Test {
  testsupport::TestNntpServer server;
  testsupport::FetchState state;
  std::string err;  // messages of the last pull()

  void SetUp() override {
    ASSERT_TRUE(state.set_up("/tmp/tessu-retrieve-XXXXXX"));
    base::Settings& s = base::g_settings;
    s.window = 10;
    s.missing = 2;
    s.nonext = 0;
    s.mfilter.reset();
    s.paths.line_terminator = "\r\n";
    nntp::g_reply_window = nntp::ReplyWindow{};
    fetch::reset_retrieval();
  }
  void TearDown() override {
    {
      CaptureFd quiet;
      fetch::flush_spool(false);
    }
    nntp::close_connection(&nntp::g_connection);
    server.stop();
    nntp::g_reply_window = nntp::ReplyWindow{};
    state.restore();
  }

  // Message IDs are remembered for the whole process, so each test makes its own.
  static std::string id(long n) {
    return "<" + std::string(testing::UnitTest::GetInstance()->current_test_info()->name()) + "." +
           std::to_string(n) + "@test>";
  }
  void add(const std::string& group, long n, const std::string& message_id = "") {
    server.add_simple_article(group, n, message_id.empty() ? id(n) : message_id, "feed!origin");
  }

  void connect_to_server() {
    const int port = server.start();
    const int fd = socket(AF_INET, SOCK_STREAM, 0);
    ASSERT_GE(fd, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(static_cast<uint16_t>(port));
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    ASSERT_EQ(connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
    nntp::attach_connection(&nntp::g_connection, fd, dup(fd));
    char greeting[nntp::kStatusLineMax + 1];
    CaptureFd quiet;
    ASSERT_EQ(nntp::get_line(greeting, sizeof greeting), 1);
  }

  // Selects the group and steps through its articles from start (its first
  // when -1) as the pull loop does; false when the selection or the transfer
  // failed. walked_to is where the walk ended.
  bool pull(const char* group, int64_t start = -1) {
    CaptureFd capture;
    int64_t first = 0;
    int64_t last = 0;
    bool ok = fetch::select_group(group, &first, &last) == 1;
    if (ok) {
      int64_t n = fetch::begin_article_walk(start < 0 ? first : start, last, group);
      for (bool first_step = true; ok && n <= last; first_step = false) {
        ok = fetch::fetch_step(n, first_step, group);
        n = fetch::next_article_step(n, last, group);
      }
      walked_to = n;
    }
    if (ok) ok = nntp::drain_replies() == 1;
    err = capture.take();
    return ok;
  }
  int64_t walked_to = 0;

  // The commands the server received that ask for articles, in order.
  Lines article_commands() const {
    Lines lines;
    for (const std::string& line : server.commands()) {
      if (line.rfind("GROUP", 0) == 0 || line.rfind("STAT", 0) == 0 || line.rfind("NEXT", 0) == 0 ||
          line.rfind("ARTICLE", 0) == 0) {
        lines.push_back(line);
      }
    }
    return lines;
  }

  bool said(const std::string& text) const { return err.find(text) != std::string::npos; }
  size_t times_said(const std::string& text) const {
    size_t count = 0;
    for (size_t pos = err.find(text); pos != std::string::npos; pos = err.find(text, pos + 1))
      ++count;
    return count;
  }
};

TEST_F(RetrieveTest, WindowOfTwoInterleavesStatAndArticle) {
  base::g_settings.window = 2;
  for (long n = 10; n <= 12; ++n) add("misc.test", n);
  connect_to_server();
  ASSERT_TRUE(pull("misc.test")) << err;
  EXPECT_EQ(article_commands(), (Lines{"GROUP misc.test", "STAT 10", "STAT 11", "ARTICLE 10",
                                       "ARTICLE 11", "STAT 12", "ARTICLE 12"}));
  EXPECT_EQ(report::g_counters.fetc, 3);
  EXPECT_EQ(report::g_counters.grps, 1);
  EXPECT_EQ(fetch::latest_article(), 12);
  EXPECT_EQ(fetch::lowest_outstanding_article(), -1);
}

TEST_F(RetrieveTest, WindowZeroWalksTheGroupWithNext) {
  base::g_settings.window = 0;
  base::g_settings.missing = 0;
  add("misc.test", 120);
  add("misc.test", 130);
  add("misc.test", 131);
  server.add_group("misc.test", 120, 132);
  connect_to_server();
  ASSERT_TRUE(pull("misc.test")) << err;
  // NEXT jumps from 120 to 130: the steps 122 to 130 send nothing; after 131
  // the server has no more.
  EXPECT_EQ(article_commands(), (Lines{"GROUP misc.test", "STAT 120", "ARTICLE 120", "NEXT",
                                       "ARTICLE 130", "NEXT", "ARTICLE 131", "NEXT"}));
  EXPECT_TRUE(said("NEXT reports no more articles in misc.test"));
  EXPECT_EQ(report::g_counters.fetc, 3);
  EXPECT_EQ(fetch::latest_article(), 131);
}

TEST_F(RetrieveTest, WindowZeroWithAMissingFirstArticleStaysWithStat) {
  base::g_settings.window = 0;
  base::g_settings.missing = 0;
  add("misc.test", 2);
  add("misc.test", 3);
  server.add_group("misc.test", 1, 3);
  connect_to_server();
  ASSERT_TRUE(pull("misc.test")) << err;
  EXPECT_EQ(article_commands(),
            (Lines{"GROUP misc.test", "STAT 1", "STAT 2", "ARTICLE 2", "NEXT", "ARTICLE 3"}));
  EXPECT_TRUE(said("article 1 in misc.test not on server, stat_failures 1"));
  EXPECT_TRUE(said("before NEXT: stat_failures 1"));
}

TEST_F(RetrieveTest, ServerWithoutUsableNextIsAskedWithStat) {
  base::g_settings.window = 0;
  base::g_settings.missing = 0;
  for (long n = 1; n <= 3; ++n) add("misc.test", n);
  for (long n = 1; n <= 3; ++n) add("misc.other", n, id(10 + n));
  server.script.faults.push_back(Fault{Fault::kReplyCode, "NEXT", 1, "500 no next", 0});
  server.script.faults.push_back(Fault{Fault::kReplyCode, "NEXT", 2, "223 garbage", 0});
  connect_to_server();
  // Unknown: the article is fetched without looking, then STAT for the rest.
  ASSERT_TRUE(pull("misc.test")) << err;
  EXPECT_TRUE(said("server lacks NEXT command: 500 no next"));
  EXPECT_TRUE(said("unconditionally fetching article 2"));
  // Garbled: STAT for the same number instead.
  fetch::reset_retrieval();
  ASSERT_TRUE(pull("misc.other")) << err;
  EXPECT_TRUE(said("bad NEXT reponse: 223 garbage"));
  EXPECT_EQ(article_commands(),
            (Lines{"GROUP misc.test", "STAT 1", "ARTICLE 1", "NEXT", "ARTICLE 2", "STAT 3",
                   "ARTICLE 3", "GROUP misc.other", "STAT 1", "ARTICLE 1", "NEXT", "STAT 2",
                   "ARTICLE 2", "STAT 3", "ARTICLE 3"}));
  EXPECT_EQ(report::g_counters.fetc, 6);
}

TEST_F(RetrieveTest, MissesBeyondTheThresholdAreStillAskedWithStat) {
  base::g_settings.window = 2;
  base::g_settings.missing = 2;
  add("misc.test", 1);
  add("misc.test", 8);
  connect_to_server();
  ASSERT_TRUE(pull("misc.test")) << err;
  const Lines commands = article_commands();
  EXPECT_EQ(std::count(commands.begin(), commands.end(), "NEXT"), 0);
  EXPECT_EQ(std::count(commands.begin(), commands.end(), "ARTICLE 1"), 1);
  EXPECT_EQ(std::count(commands.begin(), commands.end(), "ARTICLE 8"), 1);
  for (long n = 1; n <= 8; ++n) {
    EXPECT_EQ(std::count(commands.begin(), commands.end(), "STAT " + std::to_string(n)), 1) << n;
  }
  EXPECT_TRUE(said("before NEXT: stat_failures 2"));
  EXPECT_EQ(report::g_counters.fetc, 2);
}

TEST_F(RetrieveTest, ServerWithoutStatGetsArticleForEveryNumberForTheRestOfTheRun) {
  base::g_settings.window = 0;
  base::g_settings.missing = 0;
  server.script.faults.push_back(Fault{Fault::kReplyCode, "STAT", 0, "500 what?", 0});
  add("misc.test", 1);
  add("misc.test", 2);
  add("misc.test", 3);
  add("misc.other", 5);
  add("misc.other", 6);
  connect_to_server();
  ASSERT_TRUE(pull("misc.test")) << err;
  EXPECT_TRUE(said("server lacks STAT command: 500 what?"));
  ASSERT_TRUE(pull("misc.other")) << err;
  EXPECT_EQ(article_commands(), (Lines{"GROUP misc.test", "STAT 1", "ARTICLE 1", "ARTICLE 2",
                                       "ARTICLE 3", "GROUP misc.other", "ARTICLE 5", "ARTICLE 6"}));
  EXPECT_FALSE(said("server lacks STAT"));
  EXPECT_EQ(report::g_counters.fetc, 5);
}

TEST_F(RetrieveTest, StatReplyForAnotherArticleStopsTheTransfer) {
  base::g_settings.window = 0;
  for (long n = 100; n <= 106; ++n) add("misc.test", n);
  // The fifth STAT asks for 104.
  server.script.faults.push_back(Fault{Fault::kWrongNumber, "STAT", 5, "", 105});
  connect_to_server();
  EXPECT_FALSE(pull("misc.test"));
  EXPECT_TRUE(said("STAT 104 out of phase: 223 105 " + id(104))) << err;
  EXPECT_EQ(fetch::latest_article(), 103);
  // The article whose reply failed is not passed by the group's record.
  EXPECT_EQ(fetch::lowest_outstanding_article(), 104);
  EXPECT_EQ(report::g_counters.fetc, 4);
}

TEST_F(RetrieveTest, ArticleReplyWithoutNumber) {
  for (long n = 1; n <= 2; ++n) add("misc.test", n);
  for (long n = 1; n <= 2; ++n) add("misc.more", n, id(10 + n));
  for (long n = 1; n <= 2; ++n) add("misc.last", n, id(20 + n));
  server.script.faults.push_back(Fault{Fault::kReplyCode, "ARTICLE", 0, "220 0 article", 0});
  connect_to_server();

  // Without pipelining the reply can only be the one asked for: a notice, once.
  base::g_settings.window = 0;
  ASSERT_TRUE(pull("misc.test")) << err;
  EXPECT_EQ(times_said("no article number in ARTICLE response: 220 0 article"), 1u) << err;
  base::g_settings.window = 1;
  ASSERT_TRUE(pull("misc.more")) << err;
  EXPECT_FALSE(said("no article number"));
  EXPECT_EQ(report::g_counters.fetc, 4);

  // With several commands in flight it cannot be told apart.
  base::g_settings.window = 2;
  EXPECT_FALSE(pull("misc.last"));
  EXPECT_TRUE(said("ARTICLE 1 in misc.last out of phase: 220 0 article")) << err;
  EXPECT_EQ(report::g_counters.fetc, 4);
}

TEST_F(RetrieveTest, MessageIdsThatAreNotFetched) {
  base::g_settings.window = 3;
  add("misc.test", 1, id(1));
  add("misc.test", 2, "<fake@upstream>");
  add("misc.test", 3, id(3));
  add("misc.other", 7, id(1));  // a crosspost of article 1
  add("misc.other", 8, id(8));
  connect_to_server();
  ASSERT_TRUE(pull("misc.test")) << err;
  EXPECT_TRUE(said("MSGID <fake@upstream> is fake"));
  EXPECT_EQ(report::g_counters.fake, 1);
  ASSERT_TRUE(pull("misc.other")) << err;
  EXPECT_EQ(report::g_counters.alre, 1);
  EXPECT_EQ(fetch::latest_article(), 8);
  const Lines commands = article_commands();
  EXPECT_EQ(std::count(commands.begin(), commands.end(), "ARTICLE 2"), 0);
  EXPECT_EQ(std::count(commands.begin(), commands.end(), "ARTICLE 7"), 0);
  EXPECT_EQ(std::count(commands.begin(), commands.end(), "ARTICLE 8"), 1);
  EXPECT_EQ(report::g_counters.fetc, 3);

  // --keep-fake fetches it.
  base::g_settings.keep_fake = 1;
  ASSERT_TRUE(pull("misc.test")) << err;
  EXPECT_EQ(report::g_counters.fake, 1);
  EXPECT_EQ(report::g_counters.alre, 3);
  EXPECT_EQ(report::g_counters.fetc, 4);
}

TEST_F(RetrieveTest, GroupSelection) {
  add("misc.test", 4);
  server.add_group("misc.test", 3, 9);
  server.add_group("misc.locked", 1, 2);
  server.add_group("misc.broken", 1, 2);
  server.add_group("misc.odd", 1, 2);
  server.script.faults.push_back(Fault{Fault::kReplyCode, "GROUP", 2, "480 log in first", 0});
  server.script.faults.push_back(Fault{Fault::kReplyCode, "GROUP", 3, "211 5 1", 0});
  server.script.faults.push_back(Fault{Fault::kReplyCode, "GROUP", 4, "502 no way", 0});
  connect_to_server();
  CaptureFd capture;
  int64_t first = 0;
  int64_t last = 0;
  EXPECT_EQ(fetch::select_group("misc.test", &first, &last), 1);
  EXPECT_EQ(first, 3);
  EXPECT_EQ(last, 9);
  EXPECT_EQ(fetch::select_group("misc.locked", &first, &last), 0);
  EXPECT_EQ(fetch::select_group("misc.broken", &first, &last), -1);
  EXPECT_EQ(fetch::select_group("misc.odd", &first, &last), -1);
  EXPECT_EQ(fetch::select_group("misc.absent", &first, &last), 0);
  err = capture.take();
  EXPECT_EQ(report::g_counters.grps, 1);
  EXPECT_TRUE(said("authorization required for group \"misc.locked\""));
  EXPECT_TRUE(said("group select bad format: \"211 5 1\""));
  EXPECT_TRUE(said("NNTP group select protocol error: got \"502 no way\""));
  EXPECT_TRUE(said("server does not carry group \"misc.absent\""));
}

TEST_F(RetrieveTest, OverlongStatusLinesDoNotDesynchronise) {
  base::g_settings.window = 3;
  for (long n = 1; n <= 4; ++n) add("misc.test", n);
  server.script.faults.push_back(Fault{Fault::kLongReply, "STAT", 2, "", 3000});
  server.script.faults.push_back(Fault{Fault::kLongReply, "ARTICLE", 3, "", 2000});
  connect_to_server();
  ASSERT_TRUE(pull("misc.test")) << err;
  EXPECT_EQ(report::g_counters.fetc, 4);
}

TEST_F(RetrieveTest, SparseRangeIsWalkedWithNextRightAfterTheFirstStat) {
  // --missing 2 would keep a dense group on STAT; a range of a million
  // numbers with three articles is crossed by NEXT.
  add("misc.test", 1);
  add("misc.test", 400000);
  add("misc.test", 999999);
  server.add_group("misc.test", 1, 1000000);
  base::g_settings.window = 0;
  connect_to_server();
  ASSERT_TRUE(pull("misc.test")) << err;
  EXPECT_EQ(article_commands(), (Lines{"GROUP misc.test", "STAT 1", "ARTICLE 1", "NEXT",
                                       "ARTICLE 400000", "NEXT", "ARTICLE 999999", "NEXT"}));
  EXPECT_EQ(walked_to, 1000001);
  EXPECT_EQ(report::g_counters.fetc, 3);

  // From a number the server lacks, NEXT starts from the group's first
  // article: what lies before the walk is passed over, not fetched.
  fetch::reset_retrieval();
  base::g_settings.window = 10;
  add("misc.later", 1, id(11));
  add("misc.later", 3, id(13));
  add("misc.later", 400000, id(14));
  add("misc.later", 999999, id(15));
  server.add_group("misc.later", 1, 1000000);
  ASSERT_TRUE(pull("misc.later", 5)) << err;
  EXPECT_EQ(report::g_counters.fetc, 5);
  EXPECT_EQ(report::g_counters.alre, 0);
  const Lines commands = article_commands();
  EXPECT_EQ(std::count(commands.begin(), commands.end(), "STAT 5"), 1);
  EXPECT_EQ(std::count(commands.begin(), commands.end(), "ARTICLE 1"), 1);
  EXPECT_EQ(std::count(commands.begin(), commands.end(), "ARTICLE 3"), 0);
  EXPECT_EQ(std::count(commands.begin(), commands.end(), "ARTICLE 400000"), 2);
  EXPECT_EQ(std::count(commands.begin(), commands.end(), "ARTICLE 999999"), 2);
  EXPECT_LE(std::count(commands.begin(), commands.end(), "NEXT"), 30);
  EXPECT_EQ(walked_to, 1000001);
}

TEST_F(RetrieveTest, WithoutNextASparseRangeIsCutToItsNewestNumbers) {
  base::g_settings.window = 100;
  base::g_settings.nonext = 1;
  add("misc.test", 1);
  add("misc.test", 99999);
  server.add_group("misc.test", 1, 100000);
  connect_to_server();
  ASSERT_TRUE(pull("misc.test")) << err;
  // Two articles: at most 2 + 10000 numbers are asked for.
  EXPECT_TRUE(said("skipping 89998 articles in misc.test: too many numbers to ask for one by one"))
      << err;
  EXPECT_EQ(server.count_commands("STAT"), 10002u);
  EXPECT_EQ(server.count_commands("STAT 89999"), 1u);
  EXPECT_EQ(server.count_commands("STAT 89998"), 0u);
  EXPECT_EQ(server.count_commands("NEXT"), 0u);
  EXPECT_EQ(report::g_counters.fetc, 1);
  EXPECT_EQ(walked_to, 100001);
}

TEST_F(RetrieveTest, NumbersThatAreNoArticleNumbersMakeRepliesMalformed) {
  base::g_settings.window = 0;
  for (long n = 1; n <= 2; ++n) add("misc.stat", n);
  for (long n = 1; n <= 2; ++n) add("misc.huge", n, id(10 + n));
  for (long n = 1; n <= 3; ++n) add("misc.next", n, id(20 + n));
  for (long n = 1; n <= 2; ++n) add("misc.article", n, id(30 + n));
  server.script.faults.push_back(Fault{Fault::kReplyCode, "STAT", 1, "223 -1 <a@b>", 0});
  server.script.faults.push_back(
      Fault{Fault::kReplyCode, "STAT", 2, "223 18446744073709551617 <a@b>", 0});
  server.script.faults.push_back(Fault{Fault::kReplyCode, "NEXT", 1, "223 -2 <a@b>", 0});
  server.script.faults.push_back(Fault{Fault::kReplyCode, "ARTICLE", 4, "220 -3 <c@d>", 0});
  connect_to_server();

  EXPECT_FALSE(pull("misc.stat"));
  EXPECT_TRUE(said("bad STAT reponse: 223 -1 <a@b>")) << err;
  fetch::reset_retrieval();
  EXPECT_FALSE(pull("misc.huge"));
  EXPECT_TRUE(said("bad STAT reponse: 223 18446744073709551617 <a@b>")) << err;

  // A garbled NEXT reply: STAT for that number instead, and no NEXT again.
  fetch::reset_retrieval();
  base::g_settings.missing = 0;
  ASSERT_TRUE(pull("misc.next")) << err;
  EXPECT_TRUE(said("bad NEXT reponse: 223 -2 <a@b>")) << err;
  EXPECT_EQ(server.count_commands("NEXT"), 1u);
  EXPECT_EQ(report::g_counters.fetc, 3);

  // A negative number is not "no number": the reply is out of phase.
  fetch::reset_retrieval();
  EXPECT_FALSE(pull("misc.article"));
  EXPECT_TRUE(said("ARTICLE 1 in misc.article out of phase: 220 -3 <c@d>")) << err;
  EXPECT_FALSE(said("no article number"));
  EXPECT_EQ(report::g_counters.fetc, 3);
}

TEST_F(RetrieveTest, AbandonedRepliesAreReadWithoutActingOnThem) {
  base::g_settings.window = 3;
  add("misc.test", 10);
  add("misc.test", 11, "<fake@somewhere>");
  add("misc.test", 12);
  add("misc.test", 13);
  connect_to_server();
  CaptureFd capture;
  int64_t first = 0;
  int64_t last = 0;
  ASSERT_EQ(fetch::select_group("misc.test", &first, &last), 1);
  for (int64_t n = 10; n <= 13; ++n) ASSERT_TRUE(fetch::fetch_step(n, n == 10, "misc.test"));
  // STAT 11 was settled as fake while ARTICLE 10 still waits for its reply.
  EXPECT_EQ(fetch::latest_article(), 11);
  EXPECT_EQ(fetch::lowest_outstanding_article(), 10);
  fetch::abandon_outstanding_replies();
  ASSERT_EQ(nntp::drain_replies(), 1);
  EXPECT_EQ(report::g_counters.fetc, 0);
  EXPECT_EQ(fetch::latest_article(), 11);
  EXPECT_EQ(fetch::lowest_outstanding_article(), -1);

  // The conversation is still in step: the next reply is the next command's.
  char line[nntp::kStatusLineMax + 1];
  ASSERT_EQ(nntp::put_line("GROUP misc.test"), 1);
  ASSERT_EQ(nntp::get_reply(line, sizeof line), 1);
  EXPECT_STREQ(line, "211 4 10 13 misc.test");
  capture.take();
  // Nothing was asked for 12 and 13 after their STAT replies.
  EXPECT_EQ(article_commands(), (Lines{"GROUP misc.test", "STAT 10", "STAT 11", "STAT 12",
                                       "ARTICLE 10", "STAT 13", "GROUP misc.test"}));
}

}  // namespace
