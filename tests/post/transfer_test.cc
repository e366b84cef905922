
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>
#include <utime.h>
#include <cctype>
#include <cstring>
#include <ctime>
#include <ostream>
#include <regex>
#include <string>
#include <thread>

#include <gtest/gtest.h>

#include "base/settings.h"
#include "nntp/connection.h"
#include "post/header_rules.h"
#include "post/transfer.h"
#include "report/stats.h"
#include "support/capture.h"
#include "support/settings_guard.h"
#include "support/socket_connection.h"
#include "support/tessu_runner.h"

namespace {

using testsupport::CaptureFd;
using testsupport::contains;
using testsupport::TempSite;

int count_of(const std::string& text, const std::string& needle) {
  int count = 0;
  for (size_t at = text.find(needle); at != std::string::npos; at = text.find(needle, at + 1)) {
    ++count;
  }
  return count;
}

// ---------------------------------------------------------------------------
// The header rules on single lines.

struct HeaderRulesTest : testing::Test {
  testsupport::SettingsGuard settings_guard;
  post::HeaderValues values;
  bool remove = false;

  void SetUp() override {
    base::g_settings.ihave = 0;
    base::g_settings.nomsgid = 0;
    base::g_settings.keep_path = 0;
    base::g_settings.max_path = 1;
  }

  // Whether the line would be removed, starting from the given flag.
  bool removed(const std::string& line, bool before = false) {
    remove = before;
    post::examine_header_line(line.data(), line.size(), &remove, &values);
    return remove;
  }
};

TEST_F(HeaderRulesTest, PrefixesMatchWithoutRegardToCaseAndWithinTheLength) {
  EXPECT_TRUE(post::has_prefix("message-id: <a@b>", 17, "Message-ID: "));
  EXPECT_TRUE(post::has_prefix("XREF:", 5, "Xref:"));
  EXPECT_FALSE(post::has_prefix("Message-ID:<a@b>", 16, "Message-ID: "));
  // The text beyond the given length does not count.
  EXPECT_FALSE(post::has_prefix("From: x", 4, "From: "));
}

TEST_F(HeaderRulesTest, PostingRemovesServerHeadersPathAndXref) {
  EXPECT_TRUE(removed("Xref: news misc.test:12"));
  EXPECT_TRUE(removed("NNTP-Posting-Host: h"));
  EXPECT_TRUE(removed("nntp-posting-date: today"));
  EXPECT_TRUE(removed("X-Server-Date: today"));
  EXPECT_TRUE(removed("X-Trace: t"));
  EXPECT_TRUE(removed("X-Complaints-To: abuse"));
  EXPECT_TRUE(removed("Injection-Info: news.example; posting-host=\"h\""));
  EXPECT_TRUE(removed("Path: a!b"));
  EXPECT_FALSE(removed("Subject: s", true));
  EXPECT_FALSE(removed("Message-ID: <m@x>", true));
  EXPECT_FALSE(removed("From: a@b", true));
}

TEST_F(HeaderRulesTest, IhaveKeepsEverythingButXref) {
  base::g_settings.ihave = 1;
  EXPECT_TRUE(removed("Xref: news misc.test:12"));
  EXPECT_FALSE(removed("NNTP-Posting-Host: h", true));
  EXPECT_FALSE(removed("NNTP-Posting-Date: d", true));
  EXPECT_FALSE(removed("X-Server-Date: d", true));
  EXPECT_FALSE(removed("X-Trace: t", true));
  EXPECT_FALSE(removed("X-Complaints-To: c", true));
  EXPECT_FALSE(removed("Injection-Info: h", true));
  EXPECT_FALSE(removed("Path: a!b", true));
}

TEST_F(HeaderRulesTest, KeepPathAndNomsgidDecideTheirHeaders) {
  base::g_settings.keep_path = 1;
  EXPECT_FALSE(removed("Path: a!b", true));
  base::g_settings.nomsgid = 1;
  EXPECT_TRUE(removed("Message-ID: <m@x>"));
  // Collected all the same: the log and a bounce still name it.
  EXPECT_EQ(values.message_id, "<m@x>");
}

TEST_F(HeaderRulesTest, ContinuationLinesFollowTheirHeaderOthersClearTheFlag) {
  EXPECT_TRUE(removed(" folded part", true));
  EXPECT_TRUE(removed("\tfolded part", true));
  EXPECT_FALSE(removed(" folded part", false));
  EXPECT_FALSE(removed("", true));
  EXPECT_FALSE(removed("\xc3\xa4rger: x", true));
}

TEST_F(HeaderRulesTest, SenderIsTheLastReplyToOrSenderElseTheFirstFrom) {
  removed("From: first@x");
  removed("From: second@x");
  EXPECT_EQ(values.sender, "first@x");
  removed("Reply-to: reply@x");
  removed("From: third@x");
  EXPECT_EQ(values.sender, "reply@x");
  removed("Sender: sender@x");
  EXPECT_EQ(values.sender, "sender@x");

  post::HeaderValues reply_first;
  bool flag = false;
  for (const char* line : {"REPLY-TO: r@x", "From: f@x"}) {
    post::examine_header_line(line, strlen(line), &flag, &reply_first);
  }
  EXPECT_EQ(reply_first.sender, "r@x");
}

TEST_F(HeaderRulesTest, CollectedValuesAreCutAt511Characters) {
  const std::string id = "<" + std::string(600, 'a') + ">";
  removed("Message-ID: " + id);
  EXPECT_EQ(values.message_id, id.substr(0, 511));
}

TEST_F(HeaderRulesTest, LongPathIsReportedButNotRefused) {
  CaptureFd err;
  removed("path: a!b!c");
  removed("Path: a!b");
  base::g_settings.max_path = 3;
  removed("Path: a!b!c!d");
  const std::string text = err.take();
  EXPECT_EQ(count_of(text, "article path is 2 steps long, max is 1"), 1) << text;
  EXPECT_EQ(count_of(text, "article path is"), 1) << text;
}

// ---------------------------------------------------------------------------
// Whole articles through post_article, the test playing the server on the
// other end of a socket pair. Replies are written before the call: the
// dialogue is strictly command, reply, text, reply.

struct TransferTest : testing::Test {
  testsupport::SettingsGuard settings_guard;
  TempSite site;
  int peer = -1;

  void SetUp() override {
    testsupport::prepare_line_io();
    base::Settings& s = base::g_settings;
    s.paths.locks = site.path("locks");
    s.article_dir = site.path("articles");
    s.spool_name = "feed";
    s.server_host = "news.example";
    s.server_port = "nntp";
    s.local_host = "testhost";
    s.pid = 4242;
    s.ihave = 0;
    s.nomsgid = 0;
    s.keep_path = 0;
    s.max_path = 1;
    s.fail = 0;
    s.bounce = "none";  // nothing in these tests may reach the real sendmail
    s.log.reset();
    s.posted.reset();
    report::g_counters = report::Counters{};
    peer = testsupport::attach_socket_pair();
    ASSERT_GE(peer, 0);
  }
  void TearDown() override { testsupport::detach_socket_pair(peer); }

  void replies(const std::string& bytes) const { testsupport::write_to(peer, bytes); }
  std::string sent() const { return testsupport::read_waiting(peer); }
  // Runs post_article; the status text, or "(retry)" for null.
  std::string post(const std::string& entry) const {
    const char* status = post::post_article(entry.c_str());
    return status != nullptr ? status : "(retry)";
  }
};

const char kArticle[] =
    "path: a!b!c\n"
    "From: Joe <joe@example.org>\n"
    "Newsgroups: misc.test\n"
    "Xref: news misc.test:12\n"
    "Message-ID: <one@example.org>\n"
    "NNTP-Posting-Host: dialup.example.org\n"
    " continued-host\n"
    "Subject: dots\n"
    "\n"
    ".leading dot\n"
    "From the start\n"
    "..two\n"
    "no line end";

TEST_F(TransferTest, PostSendsTheTransmissionFormWithoutRemovedHeaders) {
  site.write("articles/misc/1", kArticle);
  replies("340 send it\r\n240 thanks\r\n");
  CaptureFd err;
  EXPECT_EQ(post("misc/1"), "OK");
  const std::string messages = err.take();

  const std::string expected_lines[] = {
      "From: Joe <joe@example.org>",
      "Newsgroups: misc.test",
      "Message-ID: <one@example.org>",
      "Subject: dots",
      "",
      "..leading dot",
      "From the start",
      "...two",
      "no line end",
  };
  std::string expected = "POST\r\n";
  int64_t net = 0;
  for (const std::string& line : expected_lines) {
    expected += line + "\r\n";
    net += static_cast<int64_t>(line.size()) + 2;
  }
  expected += ".\r\n";
  EXPECT_EQ(sent(), expected);
  EXPECT_EQ(report::g_counters.post, 1);
  EXPECT_EQ(report::g_counters.netbytes, net);
  // Once when the header is scanned, once when it is sent.
  EXPECT_EQ(count_of(messages, "article path is 2 steps long, max is 1"), 2) << messages;
}

TEST_F(TransferTest, IhaveOffersTheMessageIdAndKeepsPathAndServerHeaders) {
  base::g_settings.ihave = 1;
  site.write("articles/misc/1", kArticle);
  replies("335 send it\r\n235 thanks\r\n");
  EXPECT_EQ(post("misc/1"), "OK");
  const std::string wire = sent();
  EXPECT_EQ(wire.rfind("IHAVE <one@example.org>\r\npath: a!b!c\r\n", 0), 0u) << wire;
  EXPECT_TRUE(contains(wire, "NNTP-Posting-Host: dialup.example.org\r\n continued-host\r\n"));
  EXPECT_FALSE(contains(wire, "Xref"));
}

TEST_F(TransferTest, RemovedHeaderTakesItsContinuationLinesAlong) {
  base::g_settings.nomsgid = 1;
  site.write("articles/a", "Message-ID: <m@x>\n\t<folded@x>\nSubject: s\n\nbody\n");
  replies("340 go\r\n240 ok\r\n");
  EXPECT_EQ(post("a"), "OK");
  EXPECT_EQ(sent(), "POST\r\nSubject: s\r\n\r\nbody\r\n.\r\n");
}

TEST_F(TransferTest, MessageIdIsOnlyTheFirstLineOfAFoldedHeader) {
  base::g_settings.ihave = 1;
  site.write("articles/a", "Message-ID: <m@x>\n\t<folded@x>\n\nbody\n");
  replies("335 go\r\n235 ok\r\n");
  EXPECT_EQ(post("a"), "OK");
  EXPECT_EQ(sent(), "IHAVE <m@x>\r\nMessage-ID: <m@x>\r\n\t<folded@x>\r\n\r\nbody\r\n.\r\n");
}

TEST_F(TransferTest, EmptyArticleIsJustTheTerminatingLine) {
  site.write("articles/empty", "");
  replies("340 go\r\n240 ok\r\n");
  EXPECT_EQ(post("empty"), "OK");
  EXPECT_EQ(sent(), "POST\r\n.\r\n");
}

TEST_F(TransferTest, NulBytesAndLongLinesGoOutByLength) {
  // A dot at the start of the second read piece is no line start.
  std::string longline(5119, 'x');
  longline += ".y";
  std::string text = "Subject: nul\n\na";
  text += '\0';
  text += "b\n" + longline + "\n";
  site.write("articles/odd", text);
  replies("340 go\r\n240 ok\r\n");
  EXPECT_EQ(post("odd"), "OK");
  std::string expected = "POST\r\nSubject: nul\r\n\r\na";
  expected += '\0';
  expected += "b\r\n" + longline + "\r\n.\r\n";
  EXPECT_EQ(sent(), expected);
}

TEST_F(TransferTest, ManyShortLinesGrowTheBufferAsNeeded) {
  // Every byte doubles in transmission form: the buffer must grow beyond its steps.
  std::string text = "Subject: dots\n\n";
  for (int i = 0; i < 20000; ++i) text += ".\n";
  site.write("articles/dots", text);
  std::string expected = "POST\r\nSubject: dots\r\n\r\n";
  for (int i = 0; i < 20000; ++i) expected += "..\r\n";
  expected += ".\r\n";
  replies("340 go\r\n240 ok\r\n");
  // The peer must read while the client writes: the text exceeds the socket buffer.
  std::string wire;
  std::thread reader([&] { wire = testsupport::read_at_least(peer, expected.size()); });
  EXPECT_EQ(post("dots"), "OK");
  reader.join();
  EXPECT_EQ(wire, expected);
}

// A test name made of a server reply: its words joined by "_", anything but
// letters and digits dropped ("441 Dated too early, Duplicate" gives
// "441_Dated_too_early_Duplicate").
std::string name_of_reply(const char* reply) {
  std::string name;
  bool gap = false;
  for (const char* p = reply; *p != '\0'; ++p) {
    if (isalnum(static_cast<unsigned char>(*p))) {
      if (gap && !name.empty()) name += '_';
      name += *p;
      gap = false;
    } else {
      gap = true;
    }
  }
  return name;
}

struct FirstAnswer {
  const char* reply;
  const char* status;  // null: held for retry
  const char* message;
  int dupl;
  int fail;
};

void PrintTo(const FirstAnswer& answer, std::ostream* out) {
  *out << '"' << answer.reply << "\" -> " << (answer.status ? answer.status : "held for retry");
}

class FirstAnswerTest : public TransferTest, public testing::WithParamInterface<FirstAnswer> {};

TEST_P(FirstAnswerTest, AnswerToTheCommandDecidesWithoutSending) {
  const FirstAnswer& answer = GetParam();
  site.write("articles/a", "Message-ID: <m@x>\n\nbody\n");
  replies(std::string(answer.reply) + "\r\n");
  CaptureFd err;
  const char* status = post::post_article("a");
  const std::string messages = err.take();
  if (answer.status == nullptr) {
    EXPECT_EQ(status, nullptr);
  } else {
    ASSERT_NE(status, nullptr);
    EXPECT_STREQ(status, answer.status);
  }
  EXPECT_TRUE(contains(messages, answer.message)) << messages;
  EXPECT_EQ(sent(), "POST\r\n");
  EXPECT_EQ(report::g_counters.dupl, answer.dupl);
  EXPECT_EQ(report::g_counters.fail, answer.fail);
  EXPECT_EQ(report::g_counters.post, 0);
}

INSTANTIATE_TEST_SUITE_P(
    Codes, FirstAnswerTest,
    testing::Values(FirstAnswer{"435 not wanted", "Already got it", "", 1, 0},
                    FirstAnswer{"436 later", nullptr, "try again later", 0, 1},
                    FirstAnswer{"437 no", nullptr, "rejected: got \"437 no\"", 0, 1},
                    FirstAnswer{"400 bye", nullptr, "sending prohibited: got \"400 bye\"", 0, 1},
                    FirstAnswer{"440 no posting", nullptr,
                                "sending prohibited: got \"440 no posting\"", 0, 1},
                    FirstAnswer{"441 failed", nullptr, "posting failed: got \"441 failed\"", 0, 1}),
    [](const testing::TestParamInfo<FirstAnswer>& info) {
      return name_of_reply(info.param.reply);
    });

struct FinalAnswer {
  const char* reply;
  const char* status;  // null: held for retry
  const char* message;
  int post;
  int dupl;
  int fail;
};

void PrintTo(const FinalAnswer& answer, std::ostream* out) {
  *out << '"' << answer.reply << "\" -> " << (answer.status ? answer.status : "held for retry");
}

class FinalAnswerTest : public TransferTest, public testing::WithParamInterface<FinalAnswer> {};

TEST_P(FinalAnswerTest, AnswerAfterSendingDecides) {
  const FinalAnswer& answer = GetParam();
  base::g_settings.log = site.path("post.log");
  site.write("articles/a", "Message-ID: <m@x>\n\nbody\n");
  replies("340 go\r\n" + std::string(answer.reply) + "\r\n");
  CaptureFd err;
  const char* status = post::post_article("a");
  const std::string messages = err.take();
  if (answer.status == nullptr) {
    EXPECT_EQ(status, nullptr);
    EXPECT_EQ(site.read("post.log"), "");
  } else {
    ASSERT_NE(status, nullptr);
    EXPECT_STREQ(status, answer.status);
    EXPECT_TRUE(contains(site.read("post.log"), std::string("\t") + answer.status + "\t"));
  }
  EXPECT_TRUE(contains(messages, answer.message)) << messages;
  EXPECT_EQ(sent(), "POST\r\nMessage-ID: <m@x>\r\n\r\nbody\r\n.\r\n");
  EXPECT_EQ(report::g_counters.post, answer.post);
  EXPECT_EQ(report::g_counters.dupl, answer.dupl);
  EXPECT_EQ(report::g_counters.fail, answer.fail);
}

INSTANTIATE_TEST_SUITE_P(
    Codes, FinalAnswerTest,
    testing::Values(
        FinalAnswer{"240 ok", "OK", "", 1, 0, 0}, FinalAnswer{"235 ok", "OK", "", 1, 0, 0},
        FinalAnswer{"435 have it", "Already got it", "", 0, 1, 0},
        FinalAnswer{"437 435 duplicate", "Duplicate", "", 0, 1, 0},
        FinalAnswer{"436 435", "Duplicate", "", 0, 1, 0},
        FinalAnswer{"437 Duplicate article", "Assumed duplicate", "", 0, 1, 0},
        FinalAnswer{"441 Dated too early, Duplicate", nullptr,
                    "article rejected: got \"441 Dated too early, Duplicate\"", 0, 0, 1},
        FinalAnswer{"437 Bad Date", nullptr, "article rejected: got \"437 Bad Date\"", 0, 0, 1},
        FinalAnswer{"440 not now", nullptr, "sending not allowed: got \"440 not now\"", 0, 0, 0},
        FinalAnswer{"400 going down", nullptr, "sending not allowed: got \"400 going down\"", 0, 0,
                    0}),
    [](const testing::TestParamInfo<FinalAnswer>& info) {
      return name_of_reply(info.param.reply);
    });

TEST_F(TransferTest, UnexpectedFirstAnswerEndsTheRunAsRefused) {
  site.write("articles/a", "Subject: s\n\nbody\n");
  replies("500 what\r\n");
  EXPECT_EXIT(post("a"), testing::ExitedWithCode(4),
              "NNTP send negotiation error: got \"500 what\"");
}

TEST_F(TransferTest, UnexpectedFinalAnswerEndsTheRunAsRefused) {
  site.write("articles/a", "Subject: s\n\nbody\n");
  replies("340 go\r\n211 odd\r\n");
  EXPECT_EXIT(post("a"), testing::ExitedWithCode(4),
              "NNTP sending protocol error: got \"211 odd\"");
}

TEST_F(TransferTest, LostConnectionEndsTheRunAsBroken) {
  site.write("articles/a", "Subject: s\n\nbody\n");
  replies("340 go\r\n");
  shutdown(peer, SHUT_WR);
  EXPECT_EXIT(post("a"), testing::ExitedWithCode(9), "read error on socket");
}

TEST_F(TransferTest, NoStorageApiRefusesATokenWithoutCountingOrLogging) {
  base::g_settings.log = site.path("post.log");
  base::g_settings.no_storage_api = 1;
  CaptureFd err;
  EXPECT_EQ(post("@0301000000000000000000000000@"), "No support for storage-API");
  EXPECT_TRUE(
      contains(err.take(), "no storage-API support for \"@0301000000000000000000000000@\""));
  EXPECT_EQ(sent(), "");
  EXPECT_FALSE(site.exists("post.log"));
  EXPECT_EQ(report::g_counters.miss, 0);
}

TEST_F(TransferTest, MissingArticleIsDoneCountedAndLogged) {
  base::g_settings.log = site.path("post.log");
  CaptureFd err;
  EXPECT_EQ(post("misc/404"), "Missing");
  EXPECT_TRUE(contains(err.take(), "can't find article \"misc/404\""));
  EXPECT_EQ(sent(), "");
  EXPECT_EQ(report::g_counters.miss, 1);
  EXPECT_TRUE(contains(site.read("post.log"), "feed\t<?>\tmisc/404\t?\tMissing\t0 lines\n"));
  // The lock around the log write is gone again.
  EXPECT_FALSE(site.exists("post.log.LOCKtessu"));
}

TEST_F(TransferTest, BadLineTerminationKillsTheArticle) {
  base::g_settings.log = site.path("post.log");
  site.write("articles/crlf", "From: joe@x\r\nSubject: s\r\n\r\nbody\r\n");
  CaptureFd err;
  EXPECT_EQ(post("crlf"), "Malformed");
  const std::string messages = err.take();
  EXPECT_TRUE(contains(messages, "inconsistent line termination")) << messages;
  EXPECT_TRUE(contains(messages, "failed article \"crlf\" killed")) << messages;
  EXPECT_EQ(sent(), "");
  EXPECT_EQ(report::g_counters.fail, 1);
  EXPECT_EQ(report::g_counters.bnce, 0);  // --bounce none
  EXPECT_TRUE(contains(site.read("post.log"), "\tMalformed\t"));
}

TEST_F(TransferTest, KilledArticleWithoutSenderIsNotBounced) {
  base::g_settings.bounce = "poster";
  site.write("articles/cr", "Subject: s\n\nbare\rcr\n");
  CaptureFd err;
  EXPECT_EQ(post("cr"), "Malformed");
  EXPECT_TRUE(contains(err.take(), "no From-specification in \"cr\""));
  EXPECT_EQ(report::g_counters.bnce, 0);
}

TEST_F(TransferTest, IhaveWithoutMessageIdSendsNothing) {
  base::g_settings.ihave = 1;
  base::g_settings.log = site.path("post.log");
  site.write("articles/noid", "From: joe@x\nSubject: s\n\nbody\n");
  CaptureFd err;
  EXPECT_EQ(post("noid"), "Missing-ID");
  EXPECT_TRUE(contains(err.take(), "article \"noid\" lacks a message ID"));
  EXPECT_EQ(sent(), "");
  EXPECT_EQ(report::g_counters.miss, 1);
  EXPECT_TRUE(contains(site.read("post.log"), "feed\t<?>\tnoid\tjoe@x\tMissing-ID\t"));
}

TEST_F(TransferTest, FailLimitKillsOnlyRefusedArticlesOlderThanIt) {
  base::g_settings.fail = 24 * 3600;
  base::g_settings.verbosity = 1;
  base::g_settings.log = site.path("post.log");
  site.write("articles/old", "From: joe@x\n\nbody\n");
  site.write("articles/new", "From: joe@x\n\nbody\n");
  const time_t two_days_ago = time(nullptr) - 2 * 24 * 3600;
  struct utimbuf times = {two_days_ago, two_days_ago};
  ASSERT_EQ(utime(site.path("articles/old").c_str(), &times), 0);

  replies("436 later\r\n436 later\r\n");
  CaptureFd err;
  EXPECT_EQ(post("new"), "(retry)");
  EXPECT_EQ(post("old"), "Failed");
  const std::string messages = err.take();
  EXPECT_TRUE(contains(messages, "failed article \"old\" killed")) << messages;
  EXPECT_FALSE(contains(messages, "failed article \"new\" killed")) << messages;
  EXPECT_TRUE(contains(messages, "limit is 86400s")) << messages;
  EXPECT_EQ(report::g_counters.fail, 2);
  EXPECT_EQ(report::g_counters.bnce, 0);
  EXPECT_FALSE(site.exists("post.log"));
}

TEST_F(TransferTest, LogLineFormat) {
  base::g_settings.log = site.path("post.log");
  site.write("articles/misc/7",
             "From: Joe <joe@x>\nMessage-ID: <seven@x>\nSubject: s\n\none\ntwo\n");
  replies("340 go\r\n240 ok\r\n");
  EXPECT_EQ(post("misc/7"), "OK");
  const std::string log = site.read("post.log");
  const std::regex line(
      "[A-Z][a-z]{2} [ 0-9][0-9] [0-9]{2}:[0-9]{2}:[0-9]{2} [0-9]{4} testhost tessu\\[4242\\]: "
      "feed\t<seven@x>\tmisc/7\tJoe <joe@x>\tOK\t7 lines\n");
  EXPECT_TRUE(std::regex_match(log, line)) << log;
}

TEST_F(TransferTest, FolderHoldsACopyOfWhatWasSentPerArticle) {
  base::g_settings.posted = site.path("posted");
  site.write("articles/a", "From: joe@x\nXref: h g:1\n\nFrom me\n.dot\n");
  site.write("articles/b", "Subject: two\n\nbody\n");
  replies("340 go\r\n240 ok\r\n340 go\r\n240 ok\r\n");
  EXPECT_EQ(post("a"), "OK");
  EXPECT_EQ(post("b"), "OK");
  const std::string folder = site.read("posted");
  const std::regex copy(
      "From feed [A-Z][a-z]{2} [A-Z][a-z]{2} [ 0-9][0-9] [0-9:]{8} [0-9]{4}\n"
      "From: joe@x\n\n>From me\n\\.\\.dot\n\n"
      "From feed [A-Z][a-z]{2} [A-Z][a-z]{2} [ 0-9][0-9] [0-9:]{8} [0-9]{4}\n"
      "Subject: two\n\nbody\n\n");
  EXPECT_TRUE(std::regex_match(folder, copy)) << folder;
  // The server got "From " unquoted.
  EXPECT_TRUE(contains(sent(), "\r\nFrom me\r\n"));
  EXPECT_FALSE(site.exists("posted.LOCKtessu"));
}

TEST_F(TransferTest, FolderThatCannotBeOpenedIsGivenUpForTheRun) {
  // A directory where the folder should be: its lock can be had, the folder not.
  site.write("posted/inside", "");
  base::g_settings.posted = site.path("posted");
  site.write("articles/a", "Subject: one\n\nbody\n");
  replies("340 go\r\n240 ok\r\n");
  CaptureFd err;
  EXPECT_EQ(post("a"), "OK");
  EXPECT_TRUE(contains(err.take(), "can't open folder: " + site.path("posted")));
  EXPECT_FALSE(base::g_settings.posted.has_value());
  EXPECT_EQ(sent(), "POST\r\nSubject: one\r\n\r\nbody\r\n.\r\n");
}

TEST_F(TransferTest, DryRunPostsNothingButLogsAndCopies) {
  base::g_settings.dry_run = 1;
  base::g_settings.log = site.path("post.log");
  base::g_settings.posted = site.path("posted");
  site.write("articles/a", "Message-ID: <m@x>\n\nbody\n");
  EXPECT_EQ(post("a"), "TEST");
  EXPECT_EQ(sent(), "");
  EXPECT_EQ(report::g_counters.post, 1);
  EXPECT_TRUE(contains(site.read("post.log"), "\t<m@x>\ta\t?\tTEST\t4 lines\n"));
  EXPECT_TRUE(contains(site.read("posted"), "Message-ID: <m@x>\n\nbody\n\n"));
}

}  // namespace
