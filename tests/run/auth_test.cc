// Authentication and reader mode against the scripted server.
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "support/nntp_server.h"
#include "support/tessu_runner.h"

namespace {

using testsupport::concat;
using testsupport::contains;
using testsupport::Fault;
using testsupport::run_tessu;
using testsupport::TempSite;
using testsupport::TestNntpServer;

std::vector<std::string> run_args(const TempSite& site, const TestNntpServer& server,
                                  const std::vector<std::string>& extra) {
  return concat(concat(site.site_options(), concat({"--nopost", "--nofetch"}, extra)),
                {"feed", "127.0.0.1", server.port_string()});
}

TEST(Auth, FileCredentialsAreSentAndThePasswordNeverTraced) {
  TempSite site;
  site.write("authinfo", "# credentials\n\n   \t\nnewsuser\tsecret third-word\nother pass\n");
  TestNntpServer server;
  server.start();
  const auto result =
      run_tessu(run_args(site, server, {"--auth", site.path("authinfo"), "--debug", "3"}));
  ASSERT_EQ(result.status, 0) << result.err;
  EXPECT_EQ(server.commands(),
            (std::vector<std::string>{"AUTHINFO USER newsuser", "AUTHINFO PASS secret", "QUIT"}));
  EXPECT_TRUE(contains(result.err, "->AUTHINFO USER newsuser\n"));
  EXPECT_TRUE(contains(result.err, "->AUTHINFO PASS *\n"));
  EXPECT_FALSE(contains(result.err, "secret"));
}

TEST(Auth, CommentsOnlyMeansNoAuthentication) {
  TempSite site;
  site.write("authinfo", "# nothing here\n");
  TestNntpServer server;
  server.start();
  const auto result = run_tessu(run_args(site, server, {"--auth", site.path("authinfo")}));
  ASSERT_EQ(result.status, 0) << result.err;
  EXPECT_EQ(server.commands(), (std::vector<std::string>{"QUIT"}));
}

TEST(Auth, UserWithoutPasswordIsASetupError) {
  TempSite site;
  site.write("authinfo", "lonely\n");
  const auto result =
      run_tessu(concat(site.site_options(), {"--auth", site.path("authinfo"), "x"}));
  EXPECT_EQ(result.status, 10);
  EXPECT_TRUE(contains(result.err, "bad syntax in authinfo (item 2 of 2) \"lonely\""))
      << result.err;
}

TEST(Auth, UnexpectedAnswersEndTheRun) {
  TempSite site;
  site.write("authinfo", "u p\n");
  TestNntpServer user_refused;
  user_refused.script.faults.push_back(
      Fault{Fault::kReplyCode, "AUTHINFO", 1, "281 no password needed", 0});
  user_refused.start();
  auto result = run_tessu(run_args(site, user_refused, {"--auth", site.path("authinfo")}));
  EXPECT_EQ(result.status, 4);
  EXPECT_TRUE(contains(result.err, "NNTP authinfo protocol error: got \"281 no password needed\""));

  TestNntpServer pass_refused;
  pass_refused.script.faults.push_back(Fault{Fault::kReplyCode, "AUTHINFO", 2, "481 wrong", 0});
  pass_refused.start();
  result = run_tessu(run_args(site, pass_refused, {"--auth", site.path("authinfo")}));
  EXPECT_EQ(result.status, 9);
  EXPECT_TRUE(contains(result.err, "NNTP authorization failed: got \"481 wrong\""));
}

TEST(ModeReader, SentWithReaderAndAfterPostingWithIhave) {
  TempSite site;
  TestNntpServer server;
  server.start();
  auto result = run_tessu(run_args(site, server, {"--reader"}));
  ASSERT_EQ(result.status, 0) << result.err;
  result = run_tessu(run_args(site, server, {"--ihave"}));
  ASSERT_EQ(result.status, 0) << result.err;
  result = run_tessu(run_args(site, server, {"--ihave", "--noreader"}));
  ASSERT_EQ(result.status, 0) << result.err;
  result = run_tessu(run_args(site, server, {"--readbeforeauth"}));
  ASSERT_EQ(result.status, 0) << result.err;
  EXPECT_EQ(server.commands(), (std::vector<std::string>{"MODE READER", "QUIT", "MODE READER",
                                                         "QUIT", "QUIT", "QUIT"}));
}

TEST(ModeReader, ReadBeforeAuthAuthenticatesAfterIt) {
  TempSite site;
  site.write("authinfo", "u p\n");
  TestNntpServer server;
  server.start();
  const auto result = run_tessu(
      run_args(site, server, {"--reader", "--readbeforeauth", "--auth", site.path("authinfo")}));
  ASSERT_EQ(result.status, 0) << result.err;
  EXPECT_EQ(server.commands(), (std::vector<std::string>{"MODE READER", "AUTHINFO USER u",
                                                         "AUTHINFO PASS p", "QUIT"}));
}

TEST(ModeReader, AnswerDecidesWhetherTheRunGoesOn) {
  TempSite site;
  TestNntpServer accepts;
  accepts.script.faults.push_back(Fault{Fault::kReplyCode, "MODE", 0, "201 no posting", 0});
  accepts.start();
  EXPECT_EQ(run_tessu(run_args(site, accepts, {"--reader"})).status, 0);

  TestNntpServer refuses;
  refuses.script.faults.push_back(Fault{Fault::kReplyCode, "MODE", 0, "502 go away", 0});
  refuses.start();
  const auto result = run_tessu(run_args(site, refuses, {"--reader"}));
  EXPECT_EQ(result.status, 4);
  EXPECT_TRUE(contains(result.err, "NNTP mode reader protocol error: got \"502 go away\""));
}

TEST(AuthGeneric, AuthenticatorGetsTheConnectionAndItsStatusCounts) {
  TempSite site;
  // The authenticator answers for the server's reply itself: it reads the
  // reply to AUTHINFO GENERIC from the descriptors it is handed.
  site.write("auth.sh",
             "#!/bin/sh\nset -e\nIFS=. read r w t <<EOF\n$NNTP_AUTH_FDS\nEOF\n"
             "echo \"$r $w $t\" > " +
                 site.path("fds") + "\nexit ${AUTH_STATUS:-0}\n");
  TestNntpServer server;
  server.start();
  testsupport::RunOptions ok;
  ok.env = {{"NNTPAUTH", "sh " + site.path("auth.sh")}};
  auto result = run_tessu(run_args(site, server, {"--authgeneric"}), ok);
  ASSERT_EQ(result.status, 0) << result.err;
  EXPECT_TRUE(site.exists("fds"));
  EXPECT_EQ(server.commands().front(), "AUTHINFO GENERIC sh " + site.path("auth.sh"));

  testsupport::RunOptions failing;
  failing.env = {{"NNTPAUTH", "sh " + site.path("auth.sh")}, {"AUTH_STATUS", "3"}};
  result = run_tessu(run_args(site, server, {"--authgeneric"}), failing);
  EXPECT_EQ(result.status, 4);
  EXPECT_TRUE(contains(result.err, "authentication failed"));
}

}  // namespace
