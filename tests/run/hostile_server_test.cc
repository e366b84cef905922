// Whole runs against a server that lies or babbles: article numbers that
// are no numbers or span a range far beyond its articles, NEXT that never
// moves on, status lines longer than a status line may be, and banner lines
// that never end. Each run is bounded by the harness: one that had to be
// killed failed the test, as a run that hangs would have.
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <csignal>
#include <ostream>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "support/news_site.h"

namespace {

using testsupport::concat;
using testsupport::contains;
using testsupport::Fault;
using testsupport::RunResult;
using testsupport::split_batch;
using Strings = std::vector<std::string>;

constexpr const char* kSpool = "upstream";
constexpr const char* kGroup = "misc.test";

// Far more than any of these runs needs; reaching it means the run hung.
constexpr int kRunBound = 120;

std::string id_of(long long n) {
  return "<" + std::to_string(n) + ".misc.test@test>";
}

struct HostileServer : testsupport::NewsSiteTest {
  HostileServer() : NewsSiteTest(kSpool, "*") { fixed_options = {"--nopost", "-d"}; }

  void SetUp() override {
    NewsSiteTest::SetUp();
    if (HasFatalFailure()) return;
    set_active({kGroup});
  }

  void add(long long n) { server.add_simple_article(kGroup, n, id_of(n)); }

  RunResult bounded_run(const std::vector<std::string>& args) const {
    testsupport::RunOptions options;
    options.timeout_seconds = kRunBound;
    RunResult result = testsupport::run_tessu(args, options);
    EXPECT_FALSE(result.signaled && result.status == 128 + SIGKILL)
        << "the run did not end and had to be killed\n"
        << result.err.substr(result.err.size() > 4000 ? result.err.size() - 4000 : 0);
    return result;
  }
  RunResult bounded(const std::vector<std::string>& extra = {}) const {
    return bounded_run(args(extra));
  }

  // The message IDs of every article published to the incoming spool.
  Strings fetched_ids() const {
    Strings ids;
    for (const std::string& name : site.list("incoming")) {
      if (name.rfind(".tmp.", 0) == 0) continue;
      Strings articles;
      EXPECT_TRUE(split_batch(site.read("incoming/" + name), &articles)) << name;
      for (const std::string& text : articles) ids.push_back(testsupport::message_id_of(text));
    }
    std::sort(ids.begin(), ids.end());
    return ids;
  }
};

// GROUP replies whose numbers no group can have.
struct MalformedGroup {
  const char* name;
  const char* reply;
};

void PrintTo(const MalformedGroup& group, std::ostream* out) {
  *out << '"' << group.reply << '"';
}

struct MalformedGroupReply : HostileServer, testing::WithParamInterface<MalformedGroup> {};

TEST_P(MalformedGroupReply, AbortsTheFetchWithoutAskingForAnyArticle) {
  for (long n = 1; n <= 3; ++n) add(n);
  set_host_active("misc.test 2\n");
  server.script.faults.push_back(Fault{Fault::kReplyCode, "GROUP", 0, GetParam().reply, 0});
  const RunResult result = bounded();
  EXPECT_EQ(result.status, 9) << result.err;
  EXPECT_TRUE(
      contains(result.err, std::string("group select bad format: \"") + GetParam().reply + "\""))
      << result.err;
  EXPECT_TRUE(contains(result.err, "article fetch aborted")) << result.err;
  EXPECT_EQ(host_active(), "misc.test 2\n");
  EXPECT_EQ(server.count_commands("STAT"), 0u);
  EXPECT_EQ(server.count_commands("ARTICLE"), 0u);
  EXPECT_TRUE(fetched_ids().empty());
}

INSTANTIATE_TEST_SUITE_P(
    Numbers, MalformedGroupReply,
    testing::Values(MalformedGroup{"LastAtTheLargestSignedValue",
                                   "211 1 9223372036854775807 9223372036854775807 misc.test"},
                    MalformedGroup{"NumbersBeyondSixtyFourBits",
                                   "211 1 18446744073709551616 18446744073709551617 misc.test"},
                    MalformedGroup{"NegativeFirstAndOverlongLast",
                                   "211 5 -3 9999999999999999999 misc.test"},
                    MalformedGroup{"NegativeCount", "211 -1 1 3 misc.test"},
                    MalformedGroup{"LastFarBelowFirst", "211 3 10 5 misc.test"},
                    MalformedGroup{"JunkAfterANumber", "211 3 1 3x misc.test"}),
    [](const testing::TestParamInfo<MalformedGroup>& info) { return info.param.name; });

TEST_F(HostileServer, NumbersAtTheTopOfTheRangeAreWalkedWithoutOverflow) {
  server.add_group(kGroup, 1, 0);
  set_host_active("misc.test 2\n");
  server.script.faults.push_back(Fault{
      Fault::kReplyCode, "GROUP", 0, "211 1 9223372036854775806 9223372036854775806 misc.test", 0});
  RunResult result = bounded();
  ASSERT_EQ(result.status, 0) << result.err;
  EXPECT_TRUE(contains(result.err, "bumping from 2 to 9223372036854775806 in misc.test"))
      << result.err;
  EXPECT_EQ(server.count_commands("STAT"), 1u);
  EXPECT_EQ(host_active(), "misc.test 9223372036854775807\n");

  // The recorded number is beyond the server's last: nothing more to do.
  result = bounded();
  ASSERT_EQ(result.status, 0) << result.err;
  EXPECT_TRUE(contains(result.err, "no news is good news!")) << result.err;
  EXPECT_EQ(server.count_commands("STAT"), 1u);
  EXPECT_EQ(host_active(), "misc.test 9223372036854775807\n");
}

TEST_F(HostileServer, NegativeArticleLimitsAtTheTopOfTheRangeDoNotOverflow) {
  server.add_group(kGroup, 1, 0);
  server.script.faults.push_back(Fault{
      Fault::kReplyCode, "GROUP", 0, "211 1 9223372036854775806 9223372036854775806 misc.test", 0});
  const RunResult result = bounded({"--maxnew", "-5", "--maxart", "-5"});
  ASSERT_EQ(result.status, 0) << result.err;
  EXPECT_FALSE(contains(result.err, "skipping")) << result.err;
  EXPECT_EQ(host_active(), "misc.test 9223372036854775807\n");
}

TEST_F(HostileServer, RangeFarBeyondTheArticleCountIsCrossedWithNext) {
  add(1);
  add(500000000000);
  add(1000000000000);
  const RunResult result = bounded({"-d", "-d", "-d", "-d"});
  ASSERT_EQ(result.status, 0) << result.err;
  EXPECT_TRUE(contains(result.err, "group selected misc.test, 1-1000000000000")) << result.err;
  EXPECT_EQ(fetched_ids(), (Strings{id_of(1), id_of(1000000000000), id_of(500000000000)}));
  EXPECT_EQ(host_active(), "misc.test 1000000000001\n");
  EXPECT_EQ(server.count_commands("STAT"), 1u);
  // The articles and the last "no more", give or take a window of NEXT in flight.
  EXPECT_LE(server.count_commands("NEXT"), 3u + 10u + 1u);
  EXPECT_FALSE(contains(result.err, "skipping")) << result.err;
}

TEST_F(HostileServer, WithoutNextAFarRangeIsCutToItsNewestNumbers) {
  add(1);
  add(500000000000);
  add(1000000000000);
  const RunResult result = bounded({"--nonext", "--window", "100"});
  ASSERT_EQ(result.status, 0) << result.err;
  // Three articles: three and ten thousand numbers are asked for.
  EXPECT_TRUE(contains(result.err,
                       "skipping 999999989997 articles in misc.test: too many numbers to ask for "
                       "one by one"))
      << result.err;
  EXPECT_EQ(server.count_commands("STAT"), 10003u);
  EXPECT_EQ(server.count_commands("NEXT"), 0u);
  EXPECT_EQ(fetched_ids(), (Strings{id_of(1000000000000)}));
  EXPECT_EQ(host_active(), "misc.test 1000000000001\n");
}

TEST_F(HostileServer, ServerThatLacksNextHasTheRestOfAFarRangeCut) {
  add(1);
  add(500000000000);
  add(1000000000000);
  server.script.faults.push_back(Fault{Fault::kReplyCode, "NEXT", 0, "500 what?", 0});
  const RunResult result = bounded({"--window", "100"});
  ASSERT_EQ(result.status, 0) << result.err;
  EXPECT_TRUE(contains(result.err, "server lacks NEXT command: 500 what?")) << result.err;
  EXPECT_TRUE(contains(result.err, "too many numbers to ask for one by one")) << result.err;
  EXPECT_LE(server.count_commands("STAT"), 10003u + 1u);
  EXPECT_EQ(fetched_ids(), (Strings{id_of(1), id_of(1000000000000)}));
  EXPECT_EQ(host_active(), "misc.test 1000000000001\n");
}

TEST_F(HostileServer, CountThatHidesAGapLetsNextCrossItAfterALongRunOfMisses) {
  add(1);
  add(1000000000000);
  server.script.faults.push_back(
      Fault{Fault::kReplyCode, "GROUP", 0, "211 1000000000000 1 1000000000000 misc.test", 0});
  const RunResult result = bounded({"--window", "100"});
  ASSERT_EQ(result.status, 0) << result.err;
  EXPECT_EQ(fetched_ids(), (Strings{id_of(1), id_of(1000000000000)}));
  EXPECT_EQ(host_active(), "misc.test 1000000000001\n");
  // Ten thousand misses, and what the window had in flight when NEXT took over.
  EXPECT_GE(server.count_commands("STAT"), 10001u);
  EXPECT_LE(server.count_commands("STAT"), 10001u + 2u * 100u);
  EXPECT_LE(server.count_commands("NEXT"), 2u + 100u + 1u);
}

TEST_F(HostileServer, NextThatNeverMovesOnIsGivenUp) {
  add(1);
  add(500000000000);
  add(1000000000000);
  const std::string stuck = "223 1 " + id_of(1) + " again";
  server.script.faults.push_back(Fault{Fault::kReplyCode, "NEXT", 0, stuck, 0});
  const RunResult result = bounded();
  ASSERT_EQ(result.status, 0) << result.err;
  EXPECT_TRUE(contains(result.err, "bad NEXT reponse: " + stuck)) << result.err;
  // The numbers NEXT never reached are too many for STAT: they are not given
  // up, the group records its latest settled article as an interrupted one.
  EXPECT_TRUE(contains(result.err, "misc.test left at article 2 for the next run")) << result.err;
  EXPECT_FALSE(contains(result.err, "too many numbers to ask for one by one")) << result.err;
  EXPECT_LE(server.count_commands("NEXT"), 2000u + 2u * 10u + 2u);
  EXPECT_EQ(fetched_ids(), (Strings{id_of(1)}));
  EXPECT_EQ(host_active(), "misc.test 1\n");

  // Once NEXT works, the next run fetches the rest (article 1 is offered again).
  server.set_faults({});
  const RunResult again = bounded();
  ASSERT_EQ(again.status, 0) << again.err;
  EXPECT_EQ(fetched_ids(),
            (Strings{id_of(1), id_of(1), id_of(1000000000000), id_of(500000000000)}));
  EXPECT_EQ(host_active(), "misc.test 1000000000001\n");
}

TEST_F(HostileServer, SparseGroupOfAnOrdinarySizeStillRecordsItsLast) {
  add(2);
  add(5);
  add(9);
  server.add_group(kGroup, 1, 12);
  const RunResult result = bounded();
  ASSERT_EQ(result.status, 0) << result.err;
  EXPECT_EQ(fetched_ids(), (Strings{id_of(2), id_of(5), id_of(9)}));
  EXPECT_EQ(host_active(), "misc.test 13\n");
  EXPECT_EQ(server.count_commands("NEXT"), 0u);
  EXPECT_EQ(server.count_commands("STAT"), 12u);
}

TEST_F(HostileServer, OverlongStatusLinesAreReadWholeEverywhere) {
  for (long n = 1; n <= 3; ++n) add(n);
  server.script.greeting = "200 " + std::string(600, 'g');
  server.script.faults = {Fault{Fault::kLongReply, "MODE", 0, "", 700},
                          Fault{Fault::kLongReply, "GROUP", 0, "", 900},
                          Fault{Fault::kLongReply, "STAT", 2, "", 3000},
                          Fault{Fault::kLongReply, "ARTICLE", 1, "", 513},
                          Fault{Fault::kLongReply, "ARTICLE", 3, "", 514}};
  const RunResult result = bounded({"--reader"});
  ASSERT_EQ(result.status, 0) << result.err;
  EXPECT_TRUE(contains(result.err, "OK, can post")) << result.err;
  EXPECT_EQ(fetched_ids(), (Strings{id_of(1), id_of(2), id_of(3)}));
  EXPECT_EQ(host_active(), "misc.test 4\n");
}

TEST_F(HostileServer, StatusLineBeyondSixtyFourKilobytesBreaksTheConnection) {
  server.script.greeting = "200 " + std::string(70000, 'g');
  RunResult result = bounded();
  EXPECT_EQ(result.status, 9) << result.err;
  EXPECT_TRUE(contains(result.err, "NNTP status line too long: 200 ggg")) << result.err;

  add(1);
  server.script.greeting = "200 test server ready";
  server.script.faults = {Fault{Fault::kLongReply, "GROUP", 0, "", 70000}};
  result = bounded();
  EXPECT_EQ(result.status, 9) << result.err;
  EXPECT_TRUE(contains(result.err, "NNTP status line too long: 211 1 1 1 misc.test")) << result.err;
  EXPECT_TRUE(fetched_ids().empty());
}

TEST_F(HostileServer, GarbledNumbersInTheGroupListDropOnlyTheirLines) {
  set_active({});
  server.script.list_lines = {
      "alt.good 10 1 y",
      "alt.neg -5 1 y",
      "alt.flag 10 1 m",
      "alt.huge 99999999999999999999 1 y",
      "alt.noflag 10 1",
      "alt.inverted 1 10 y",
      "alt.empty 4 5 y",
      "alt.junk 10x 1 m",
      "alt.top 9223372036854775806 9223372036854775806 n",
      "alt.words x",
      "alt.alone",
  };
  const RunResult result = bounded({"--list", "-"});
  ASSERT_EQ(result.status, 0) << result.err;
  EXPECT_EQ(result.out,
            "alt.good y\nalt.flag m\nalt.noflag y\nalt.empty y\nalt.top n\nalt.words y\n");
  for (const char* line : {"alt.neg -5 1 y", "alt.huge 99999999999999999999 1 y",
                           "alt.inverted 1 10 y", "alt.junk 10x 1 m"}) {
    EXPECT_TRUE(contains(result.err, std::string("NNTP bad newsgroup list line: \"") + line + "\""))
        << line << "\n"
        << result.err;
  }
}

// A terminal server that talks for ever without a greeting: a banner line
// every fifth of a second until the client goes away.
struct EndlessBanner {
  int listen_fd = -1;
  int port = 0;
  std::atomic<bool> stop{false};
  std::thread thread;

  EndlessBanner() {
    listen_fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof address;
    if (listen_fd < 0 || bind(listen_fd, reinterpret_cast<sockaddr*>(&address), length) != 0 ||
        listen(listen_fd, 1) != 0 ||
        getsockname(listen_fd, reinterpret_cast<sockaddr*>(&address), &length) != 0) {
      return;
    }
    port = ntohs(address.sin_port);
    thread = std::thread([this] { serve(); });
  }
  ~EndlessBanner() {
    stop = true;
    if (thread.joinable()) thread.join();
    if (listen_fd >= 0) close(listen_fd);
  }

  void serve() {
    pollfd waiting = {listen_fd, POLLIN, 0};
    while (!stop && poll(&waiting, 1, 200) <= 0) {
    }
    if (stop) return;
    const int fd = accept(listen_fd, nullptr, nullptr);
    if (fd < 0) return;
    const std::string line = "Welcome to the terminal server, please wait\r\n";
    while (!stop) {
      if (send(fd, line.data(), line.size(), MSG_NOSIGNAL) < 0) break;
      // Paced by the wait for the client: it closing ends the banner.
      pollfd client = {fd, POLLIN, 0};
      if (poll(&client, 1, 200) > 0) {
        char buffer[256];
        if (recv(fd, buffer, sizeof buffer, 0) <= 0) break;
      }
    }
    close(fd);
  }
};

TEST_F(HostileServer, BannerWithoutEndIsBoundedByTheTimeOutAsAWhole) {
  EndlessBanner banner;
  ASSERT_GT(banner.port, 0);
  const RunResult result =
      bounded_run(testsupport::run_args(site, concat(fixed_options, {"-d", "-d", "--timeout", "2"}),
                                        kSpool, "127.0.0.1", std::to_string(banner.port)));
  EXPECT_EQ(result.status, 9) << result.err;
  EXPECT_TRUE(contains(result.err, "timeout on server socket")) << result.err;
  EXPECT_TRUE(contains(result.err, "Welcome to the terminal server")) << result.err;
}

}  // namespace
