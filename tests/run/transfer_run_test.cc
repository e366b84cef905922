// Whole runs of tessu that post queued articles from an INN batch file to the
// scripted server, and the logs, folders, retries and bounces they leave.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>
#include <utime.h>
#include <csignal>
#include <ctime>
#include <mutex>
#include <regex>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "newssys/paths.h"
#include "support/news_site.h"
#include "support/nntp_server.h"
#include "support/sendmail_recorder.h"
#include "support/tessu_runner.h"

namespace {

using testsupport::concat;
using testsupport::contains;
using testsupport::Fault;
using testsupport::RunResult;
using testsupport::TempSite;
using testsupport::TestNntpServer;

// A news site with an INN batch file for the spool "feed" and a ctlinnd that
// always succeeds.
struct PostingSite {
  TempSite site;
  std::string batch;

  PostingSite() {
    site.write("bin/ctlinnd", "#!/bin/sh\nexit 0\n");
    chmod(site.path("bin/ctlinnd").c_str(), 0755);
  }

  // Writes the article file and lists it in the batch file as INN does.
  void queue(const std::string& entry, const std::string& text) {
    site.write("articles/" + entry, text);
    list(entry);
  }
  void list(const std::string& entry) {
    batch += entry + " <id-of-" + entry + ">\n";
    site.write("outgoing/feed", batch);
  }
  void age(const std::string& entry, time_t seconds) const {
    const time_t then = time(nullptr) - seconds;
    struct utimbuf times = {then, then};
    utime(site.path("articles/" + entry).c_str(), &times);
  }

  std::vector<std::string> args(const std::vector<std::string>& extra, int port) const {
    const std::vector<std::string> options = {
        "--nofetch",           "--ctlinnd", site.path("bin/ctlinnd"), "--log",
        site.path("post.log"), "--posted",  site.path("posted")};
    return testsupport::run_args(site, concat(options, extra), "feed", "127.0.0.1",
                                 std::to_string(port));
  }

  // The entries held for the next run.
  std::string held() const { return site.read("outgoing/feed.togo"); }
  std::string log() const { return site.read("post.log"); }
};

// The lines the server received from "POST" or "IHAVE" to the next ".".
std::vector<std::string> upload_lines(const std::vector<std::string>& received, size_t nth) {
  std::vector<std::string> lines;
  size_t seen = 0;
  bool inside = false;
  for (const std::string& line : received) {
    if (!inside && (line == "POST" || line.rfind("IHAVE ", 0) == 0)) {
      inside = seen++ == nth;
      if (inside) lines.push_back(line);
      continue;
    }
    if (inside) {
      lines.push_back(line);
      if (line == ".") break;
    }
  }
  return lines;
}

std::vector<std::string> log_statuses(const std::string& log) {
  std::vector<std::string> statuses;
  static const std::regex field("\t([^\t]*)\t[0-9]+ lines\n");
  for (auto it = std::sregex_iterator(log.begin(), log.end(), field); it != std::sregex_iterator();
       ++it) {
    statuses.push_back((*it)[1]);
  }
  return statuses;
}

const char kArticleOne[] =
    "Path: here!there!not-for-mail\n"
    "From: Joe <joe@example.org>\n"
    "Newsgroups: misc.test\n"
    "Subject: first\n"
    "Message-ID: <one@example.org>\n"
    "Xref: here misc.test:1\n"
    "NNTP-Posting-Host: dialup.example.org\n"
    "X-Trace: something\n"
    "\tfolded trace\n"
    "\n"
    ".dotted\n"
    "From here on\n";

TEST(TransferRun, PostSendsTheArticleWithoutRemovedHeadersAndLogsAndCopiesIt) {
  PostingSite p;
  TestNntpServer server;
  const int port = server.start();
  p.queue("misc/test/1", kArticleOne);
  p.queue("misc/test/2", "From: ann@example.org\nSubject: second\n\nbody\n");

  const RunResult r = testsupport::run_tessu(p.args({}, port));
  ASSERT_EQ(r.status, 0) << r.err;
  EXPECT_TRUE(contains(r.err, "article path is 2 steps long, max is 1")) << r.err;

  const std::vector<std::string> expected = {
      "POST",
      "From: Joe <joe@example.org>",
      "Newsgroups: misc.test",
      "Subject: first",
      "Message-ID: <one@example.org>",
      "",
      "..dotted",
      "From here on",
      ".",
  };
  EXPECT_EQ(upload_lines(server.commands(), 0), expected);
  ASSERT_EQ(server.articles_received().size(), 2u);
  EXPECT_EQ(server.articles_received()[1].text, "From: ann@example.org\nSubject: second\n\nbody\n");

  const std::regex log_line(
      "[A-Z][a-z]{2} [ 0-9][0-9] [0-9:]{8} [0-9]{4} [^ ]+ tessu\\[[0-9]+\\]: "
      "feed\t<one@example.org>\tmisc/test/1\tJoe <joe@example.org>\tOK\t13 lines\n"
      "[A-Z][a-z]{2} [ 0-9][0-9] [0-9:]{8} [0-9]{4} [^ ]+ tessu\\[[0-9]+\\]: "
      "feed\t<\\?>\tmisc/test/2\tann@example.org\tOK\t5 lines\n");
  EXPECT_TRUE(std::regex_match(p.log(), log_line)) << p.log();

  const std::regex folder(
      "From feed [A-Z][a-z]{2} [A-Z][a-z]{2} [ 0-9][0-9] [0-9:]{8} [0-9]{4}\n"
      "From: Joe <joe@example.org>\nNewsgroups: misc.test\nSubject: first\n"
      "Message-ID: <one@example.org>\n\n\\.\\.dotted\n>From here on\n\n"
      "From feed [A-Z][a-z]{2} [A-Z][a-z]{2} [ 0-9][0-9] [0-9:]{8} [0-9]{4}\n"
      "From: ann@example.org\nSubject: second\n\nbody\n\n");
  EXPECT_TRUE(std::regex_match(p.site.read("posted"), folder)) << p.site.read("posted");
  EXPECT_EQ(p.held(), "");
}

TEST(TransferRun, IhaveSendsPathAndServerHeadersButNotXref) {
  PostingSite p;
  TestNntpServer server;
  const int port = server.start();
  p.queue("misc/test/1", kArticleOne);
  const RunResult r = testsupport::run_tessu(p.args({"--ihave"}, port));
  ASSERT_EQ(r.status, 0) << r.err;
  const std::vector<std::string> expected = {
      "IHAVE <one@example.org>",
      "Path: here!there!not-for-mail",
      "From: Joe <joe@example.org>",
      "Newsgroups: misc.test",
      "Subject: first",
      "Message-ID: <one@example.org>",
      "NNTP-Posting-Host: dialup.example.org",
      "X-Trace: something",
      "\tfolded trace",
      "",
      "..dotted",
      "From here on",
      ".",
  };
  EXPECT_EQ(upload_lines(server.commands(), 0), expected);
}

TEST(TransferRun, IhaveFirstAnswersDecideEachArticle) {
  PostingSite p;
  TestNntpServer server;
  const std::vector<std::string> answers = {"435 got it",  "436 later",    "437 refused",
                                            "400 leaving", "440 no relay", "441 failed"};
  for (size_t i = 0; i < answers.size(); ++i) {
    server.script.faults.push_back(
        Fault{Fault::kReplyCode, "IHAVE", static_cast<int>(i + 1), answers[i], 0});
  }
  const int port = server.start();
  for (int i = 1; i <= 7; ++i) {
    p.queue("misc/" + std::to_string(i),
            "From: joe@x\nMessage-ID: <" + std::to_string(i) + "@x>\n\nbody\n");
  }
  p.queue("misc/noid", "From: joe@x\n\nbody\n");

  const RunResult r = testsupport::run_tessu(p.args({"--ihave"}, port));
  ASSERT_EQ(r.status, 0) << r.err;
  EXPECT_TRUE(contains(r.err, "try again later")) << r.err;
  EXPECT_TRUE(contains(r.err, "rejected: got \"437 refused\"")) << r.err;
  EXPECT_TRUE(contains(r.err, "sending prohibited: got \"400 leaving\"")) << r.err;
  EXPECT_TRUE(contains(r.err, "sending prohibited: got \"440 no relay\"")) << r.err;
  EXPECT_TRUE(contains(r.err, "posting failed: got \"441 failed\"")) << r.err;
  EXPECT_TRUE(contains(r.err, "article \"misc/noid\" lacks a message ID")) << r.err;

  // Only the last one with a message-ID was sent.
  ASSERT_EQ(server.articles_received().size(), 1u);
  EXPECT_EQ(server.articles_received()[0].command, "IHAVE <7@x>");
  EXPECT_EQ(log_statuses(p.log()),
            (std::vector<std::string>{"Already got it", "OK", "Missing-ID"}));
  EXPECT_EQ(p.held(), "misc/2\nmisc/3\nmisc/4\nmisc/5\nmisc/6\n");
}

TEST(TransferRun, IhaveFinalAnswersDecideEachArticle) {
  struct Case {
    int code;
    const char* status;   // "" when held for retry
    const char* message;  // "" for none
  };
  const Case cases[] = {
      {235, "OK", ""},
      {435, "Already got it", ""},
      {436, "", "article rejected: got \"436 transfer not possible; try again later\""},
      {437, "", "article rejected: got \"437 transfer rejected; do not retry\""},
      {441, "", "article rejected: got \"441 posting failed\""},
      {400, "", "sending not allowed: got \"400 scripted reply\""},
      {440, "", "sending not allowed: got \"440 posting not permitted\""},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.code);
    PostingSite p;
    TestNntpServer server;
    server.script.ihave_done_code = c.code;
    const int port = server.start();
    p.queue("misc/1", "From: joe@x\nMessage-ID: <1@x>\n\nbody\n");
    const RunResult r = testsupport::run_tessu(p.args({"--ihave"}, port));
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(server.articles_received().size(), 1u);
    if (*c.status != '\0') {
      EXPECT_EQ(log_statuses(p.log()), std::vector<std::string>{c.status});
      EXPECT_EQ(p.held(), "");
    } else {
      EXPECT_EQ(p.log(), "");
      EXPECT_EQ(p.held(), "misc/1\n");
    }
    if (*c.message != '\0') {
      EXPECT_TRUE(contains(r.err, c.message)) << r.err;
    }
  }
}

TEST(TransferRun, UnexpectedAnswerEndsTheRunAsRefused) {
  PostingSite p;
  TestNntpServer server;
  server.script.faults.push_back(Fault{Fault::kReplyCode, "POST", 1, "500 what is POST", 0});
  const int port = server.start();
  p.queue("misc/1", "From: joe@x\n\nbody\n");
  const RunResult r = testsupport::run_tessu(p.args({}, port));
  EXPECT_EQ(r.status, 4) << r.err;
  EXPECT_TRUE(contains(r.err, "NNTP send negotiation error: got \"500 what is POST\"")) << r.err;
}

// A server that takes every POST and answers each article's text with the
// next of the given status lines; enough to show refusals whose text the
// scripted server does not choose.
struct FinalLineServer {
  std::vector<std::string> finals;
  int listen_fd = -1;
  int port = 0;
  std::thread thread;
  std::mutex mutex;
  std::vector<std::string> received;

  explicit FinalLineServer(std::vector<std::string> lines) : finals(std::move(lines)) {
    listen_fd = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof address;
    bind(listen_fd, reinterpret_cast<sockaddr*>(&address), length);
    listen(listen_fd, 1);
    getsockname(listen_fd, reinterpret_cast<sockaddr*>(&address), &length);
    port = ntohs(address.sin_port);
    thread = std::thread([this] { serve(); });
  }
  ~FinalLineServer() {
    shutdown(listen_fd, SHUT_RDWR);
    thread.join();
    close(listen_fd);
  }

  void serve() {
    struct pollfd wait = {listen_fd, POLLIN, 0};
    if (poll(&wait, 1, 60000) <= 0) return;
    const int fd = accept(listen_fd, nullptr, nullptr);
    if (fd < 0) return;
    auto say = [fd](const std::string& line) {
      const std::string bytes = line + "\r\n";
      return send(fd, bytes.data(), bytes.size(), MSG_NOSIGNAL) ==
             static_cast<ssize_t>(bytes.size());
    };
    say("200 ready");
    std::string input;
    bool in_text = false;
    size_t next_final = 0;
    for (;;) {
      struct pollfd readable = {fd, POLLIN, 0};
      if (poll(&readable, 1, 60000) <= 0) break;
      char buffer[4096];
      const ssize_t got = recv(fd, buffer, sizeof buffer, 0);
      if (got <= 0) break;
      input.append(buffer, static_cast<size_t>(got));
      size_t end;
      while ((end = input.find("\r\n")) != std::string::npos) {
        const std::string line = input.substr(0, end);
        input.erase(0, end + 2);
        {
          std::lock_guard<std::mutex> lock(mutex);
          received.push_back(line);
        }
        if (in_text) {
          if (line == ".") {
            in_text = false;
            say(next_final < finals.size() ? finals[next_final++] : "240 ok");
          }
        } else if (line == "POST") {
          in_text = true;
          say("340 send it");
        } else if (line == "QUIT") {
          say("205 bye");
        } else {
          say("500 unknown");
        }
      }
    }
    close(fd);
  }
};

TEST(TransferRun, RefusalsThatNameADuplicateAreDone) {
  FinalLineServer server(
      {"441 435 Duplicate", "437 Duplicate article", "437 Bad Date header", "240 fine"});
  PostingSite p;
  for (int i = 1; i <= 4; ++i) {
    p.queue("misc/" + std::to_string(i), "From: joe@x\nSubject: " + std::to_string(i) + "\n\nb\n");
  }
  const RunResult r = testsupport::run_tessu(p.args({"--verbose"}, server.port));
  ASSERT_EQ(r.status, 0) << r.err;
  EXPECT_TRUE(contains(r.err, "\nduplicate\n")) << r.err;
  EXPECT_TRUE(contains(r.err, "\nassumed duplicate\n")) << r.err;
  EXPECT_TRUE(contains(r.err, "article rejected: got \"437 Bad Date header\"")) << r.err;
  EXPECT_EQ(log_statuses(p.log()),
            (std::vector<std::string>{"Duplicate", "Assumed duplicate", "OK"}));
  EXPECT_EQ(p.held(), "misc/3\n");
}

TEST(TransferRun, DryRunEndsEveryReadableArticleAsTestWithoutConnecting) {
  PostingSite p;
  TestNntpServer server;
  const int port = server.start();
  p.queue("misc/1", "From: joe@x\nMessage-ID: <1@x>\n\nbody\n");
  p.queue("misc/2", "From: ann@x\n\nbody\n");
  p.list("misc/gone");
  const RunResult r = testsupport::run_tessu(p.args({"--dry-run"}, port));
  ASSERT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(server.connections(), 0);
  EXPECT_EQ(log_statuses(p.log()), (std::vector<std::string>{"TEST", "TEST", "Missing"}));
  EXPECT_TRUE(contains(p.site.read("posted"), "From: ann@x\n\nbody\n\n"));
}

// ---------------------------------------------------------------------------
// Killed articles and their bounces. sendmail has a fixed place; these runs
// see a recorder there, in a mount namespace of their own.

using testsupport::kNoNamespace;
using Recorder = testsupport::SendmailRecorder;

// Runs tessu in a mount namespace where sendmail is the recorder. status
// kNoNamespace: none could be had.
RunResult run_tessu_recording(const std::vector<std::string>& args, const Recorder& recorder) {
  testsupport::RunOptions options;
  options.in_child = [&recorder] {
    return testsupport::enter_recording_namespace(recorder) ? 0 : kNoNamespace;
  };
  return testsupport::run_tessu(args, options);
}

TEST(TransferRun, FailLimitKillsAnOldRefusedArticleAndBouncesIt) {
  if (geteuid() != 0) {
    GTEST_SKIP() << "needs root for a private mount namespace over " << newssys::kSendmail;
  }
  PostingSite p;
  TestNntpServer server;
  server.script.post_done_code = 437;
  const int port = server.start();
  p.queue("misc/old", "From: Joe <joe@example.org>\nMessage-ID: <old@x>\nSubject: s\n\nbody\n");
  p.queue("misc/new", "From: ann@example.org\nSubject: s\n\nbody\n");
  p.age("misc/old", 2 * 24 * 3600);

  Recorder recorder;
  const RunResult r =
      run_tessu_recording(p.args({"--fail", "1d", "--attach", "no", "--verbose"}, port), recorder);
  if (r.status == kNoNamespace) GTEST_SKIP() << "no private mount namespace could be had";
  ASSERT_EQ(r.status, 0) << r.err;
  EXPECT_TRUE(contains(r.err, "failed article \"misc/old\" killed")) << r.err;
  EXPECT_TRUE(contains(r.err, "bounce message to Joe <joe@example.org>")) << r.err;
  EXPECT_FALSE(contains(r.err, "failed article \"misc/new\" killed")) << r.err;
  // Killed: not held, and not logged.
  EXPECT_EQ(p.held(), "misc/new\n");
  EXPECT_EQ(p.log(), "");

  EXPECT_EQ(recorder.dir.read("args"), "Joe <joe@example.org>\n");
  const std::string mail = recorder.dir.read("mail");
  EXPECT_EQ(mail.rfind("To: Joe <joe@example.org>\nSubject: News posting failed\n", 0), 0u) << mail;
  EXPECT_TRUE(contains(mail, "Message-ID: <old@x>\nSpool file: misc/old\nEntered: ")) << mail;
  EXPECT_TRUE(contains(mail, "\nHost: 127.0.0.1 " + server.port_string() + "\n\n")) << mail;
  EXPECT_TRUE(contains(mail,
                       "   ----- Reason for failure -----\n"
                       "437 transfer rejected; do not retry\n\n"))
      << mail;
}

TEST(TransferRun, FailLimitWithBounceNoneKillsWithoutMail) {
  if (geteuid() != 0) {
    GTEST_SKIP() << "needs root for a private mount namespace over " << newssys::kSendmail;
  }
  PostingSite p;
  TestNntpServer server;
  server.script.post_code = 441;
  const int port = server.start();
  p.queue("misc/old", "From: joe@example.org\nSubject: s\n\nbody\n");
  p.age("misc/old", 3 * 24 * 3600);

  Recorder recorder;
  const RunResult r =
      run_tessu_recording(p.args({"--fail", "1d", "--bounce", "none"}, port), recorder);
  if (r.status == kNoNamespace) GTEST_SKIP() << "no private mount namespace could be had";
  ASSERT_EQ(r.status, 0) << r.err;
  EXPECT_TRUE(contains(r.err, "failed article \"misc/old\" killed")) << r.err;
  EXPECT_FALSE(contains(r.err, "bounce message")) << r.err;
  EXPECT_FALSE(recorder.dir.exists("args"));
  EXPECT_EQ(p.held(), "");
}

}  // namespace
