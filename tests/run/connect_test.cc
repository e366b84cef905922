// Whole runs of tessu that connect to the scripted server (or to a connect
// program), read the greeting and close the session.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>
#include <csignal>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "support/news_site.h"
#include "support/nntp_server.h"
#include "support/tessu_runner.h"
#include "support/wait.h"

namespace {

using testsupport::concat;
using testsupport::contains;
using testsupport::read_file;
using testsupport::RunResult;
using testsupport::TempSite;
using testsupport::TestNntpServer;
using testsupport::wait_until;

// Arguments for a run that only connects: nothing to post, nothing to fetch.
std::vector<std::string> connect_only(const TempSite& site, const std::vector<std::string>& extra,
                                      const std::string& host, const std::string& port) {
  return testsupport::run_args(site, concat({"--nopost", "--nofetch"}, extra), "feed", host, port);
}

int closed_port() {
  const int fd = socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t length = sizeof address;
  bind(fd, reinterpret_cast<sockaddr*>(&address), length);
  getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length);
  close(fd);
  return ntohs(address.sin_port);
}

TEST(Connect, GreetingIsReadAndTheSessionEndsWithQuit) {
  TempSite site;
  TestNntpServer server;
  server.start();
  const RunResult run =
      testsupport::run_tessu(connect_only(site, {"--verbose"}, "127.0.0.1", server.port_string()));
  EXPECT_EQ(run.status, 0) << run.err;
  EXPECT_TRUE(contains(run.err, "OK, can post")) << run.err;
  EXPECT_EQ(server.commands(), std::vector<std::string>{"QUIT"});
  EXPECT_TRUE(site.list("locks").empty());

  server.script.greeting = "201 test server ready - no posting";
  const RunResult no_posting =
      testsupport::run_tessu(connect_only(site, {"--verbose"}, "127.0.0.1", server.port_string()));
  EXPECT_EQ(no_posting.status, 0) << no_posting.err;
  EXPECT_TRUE(contains(no_posting.err, "OK, but can't post")) << no_posting.err;
}

TEST(Connect, LinesBeforeTheGreetingAreSkipped) {
  TempSite site;
  TestNntpServer server;
  server.script.banner = {"Welcome to the news gateway", "", "  please wait"};
  server.start();
  const RunResult run =
      testsupport::run_tessu(connect_only(site, {"--verbose"}, "127.0.0.1", server.port_string()));
  EXPECT_EQ(run.status, 0) << run.err;
  EXPECT_TRUE(contains(run.err, "OK, can post")) << run.err;
  EXPECT_EQ(server.commands(), std::vector<std::string>{"QUIT"});
}

TEST(Connect, RefusingGreetingEndsWithStatus4) {
  TempSite site;
  TestNntpServer server;
  server.script.greeting = "502 you are not welcome";
  server.start();
  const RunResult run =
      testsupport::run_tessu(connect_only(site, {}, "127.0.0.1", server.port_string()));
  EXPECT_EQ(run.status, 4) << run.err;
  EXPECT_TRUE(contains(run.err, "can't talk to \"127.0.0.1\": got response code 502")) << run.err;
  EXPECT_TRUE(site.list("locks").empty());
}

TEST(Connect, NoConnectionEndsWithStatus3) {
  TempSite site;
  const RunResult refused =
      testsupport::run_tessu(connect_only(site, {}, "127.0.0.1", std::to_string(closed_port())));
  EXPECT_EQ(refused.status, 3) << refused.err;
  EXPECT_TRUE(contains(refused.err, "can't connect to server \"127.0.0.1\"")) << refused.err;

  const RunResult unknown_service =
      testsupport::run_tessu(connect_only(site, {}, "127.0.0.1", "no-such-service-here"));
  EXPECT_EQ(unknown_service.status, 3) << unknown_service.err;
  EXPECT_TRUE(contains(unknown_service.err, "unknown service no-such-service-here/tcp"))
      << unknown_service.err;

  const RunResult unknown_host =
      testsupport::run_tessu(connect_only(site, {}, "no-such-host.invalid", "119"));
  EXPECT_EQ(unknown_host.status, 3) << unknown_host.err;
  EXPECT_TRUE(contains(unknown_host.err, "host name error: \"no-such-host.invalid\""))
      << unknown_host.err;
  EXPECT_TRUE(site.list("locks").empty());
}

TEST(Connect, DetailMessageNamesTheAddressAndPort) {
  TempSite site;
  TestNntpServer server;
  server.start();
  const RunResult run = testsupport::run_tessu(
      connect_only(site, {"--debug", "5"}, "127.0.0.1", server.port_string()));
  EXPECT_EQ(run.status, 0) << run.err;
  EXPECT_TRUE(contains(run.err, "connecting to 127.0.0.1 port " + server.port_string())) << run.err;
  EXPECT_TRUE(contains(run.err, "connecting to " + server.port_string() + " server at 127.0.0.1"))
      << run.err;
}

TEST(Connect, ConnectProgramReplacesTheTcpConnection) {
  TempSite site;
  const std::string heard = site.path("heard");
  const std::string program = "printf '200 hi\\r\\n'; read command; echo \"$command\" > " + heard +
                              "; printf '205 bye\\r\\n'";
  // Host and port are not used: nothing listens on this port.
  const RunResult run = testsupport::run_tessu(connect_only(
      site, {"--verbose", "--connect", program}, "127.0.0.1", std::to_string(closed_port())));
  EXPECT_EQ(run.status, 0) << run.err;
  EXPECT_TRUE(contains(run.err, "OK, can post")) << run.err;
  ASSERT_TRUE(testsupport::wait_for_file(heard, 10));
  EXPECT_TRUE(wait_until([&] { return read_file(heard) == "QUIT\r\n"; })) << read_file(heard);
}

TEST(Connect, ConnectScriptTalksBeforeTheGreeting) {
  TempSite site;
  TestNntpServer server;
  server.script.banner = {"login: please"};
  server.start();
  const std::string seen = site.path("seen");
  // The script reads the banner from the socket; tessu then reads the greeting.
  const RunResult run = testsupport::run_tessu(
      connect_only(site, {"--verbose", "--exec", "read prompt; echo \"$prompt\" > " + seen},
                   "127.0.0.1", server.port_string()));
  EXPECT_EQ(run.status, 0) << run.err;
  EXPECT_TRUE(contains(run.err, "connect script finished")) << run.err;
  EXPECT_EQ(read_file(seen), "login: please\r\n");
  EXPECT_EQ(server.commands(), std::vector<std::string>{"QUIT"});
}

TEST(Connect, FailingConnectScriptEndsWithStatus11) {
  TempSite site;
  TestNntpServer server;
  server.start();
  const RunResult run = testsupport::run_tessu(
      connect_only(site, {"--exec", "exit 1"}, "127.0.0.1", server.port_string()));
  EXPECT_EQ(run.status, 11) << run.err;
  EXPECT_TRUE(contains(run.err, "connect script failed, status is 256")) << run.err;
  EXPECT_TRUE(site.list("locks").empty());
}

TEST(Connect, ConnectProgramAndScriptTogether) {
  TempSite site;
  const std::string heard = site.path("heard");
  // The program asks for a name, which the script gives, then greets.
  const std::string program = "printf 'login:\\r\\n'; read who; echo \"$who\" > " + heard +
                              "; printf '200 hi\\r\\n'; read command; printf '205 bye\\r\\n'";
  const RunResult run = testsupport::run_tessu(connect_only(
      site, {"--verbose", "--connect", program, "--exec", "read prompt; echo newsuser"},
      "127.0.0.1", std::to_string(closed_port())));
  EXPECT_EQ(run.status, 0) << run.err;
  EXPECT_TRUE(contains(run.err, "connect script finished")) << run.err;
  EXPECT_TRUE(contains(run.err, "OK, can post")) << run.err;
  EXPECT_EQ(read_file(heard), "newsuser\n");
}

TEST(Connect, SilentServerTimesOutWithStatus9) {
  TempSite site;
  TestNntpServer server;
  server.script.never_greet = true;
  server.start();
  const RunResult run = testsupport::run_tessu(
      connect_only(site, {"--timeout", "2"}, "127.0.0.1", server.port_string()));
  EXPECT_EQ(run.status, 9) << run.err;
  EXPECT_TRUE(contains(run.err, "timeout on server socket")) << run.err;
  EXPECT_TRUE(site.list("locks").empty());
}

TEST(Connect, TerminatingSignalWhileWaitingFailsTheReadAndEndsWithStatus9) {
  TempSite site;
  TestNntpServer server;
  server.script.never_greet = true;
  server.start();
  testsupport::Running running = testsupport::start_tessu(
      connect_only(site, {"--debug", "5"}, "127.0.0.1", server.port_string()));
  // After this state the next wait in poll is the one for the greeting.
  ASSERT_TRUE(testsupport::wait_for_err(running, "state: await greeting\n"));
  ASSERT_TRUE(wait_until([&] { return testsupport::sleeps_in_poll(running.pid); }));
  kill(running.pid, SIGTERM);
  const RunResult run = testsupport::finish_tessu(running);
  EXPECT_EQ(run.status, 9) << run.err;
  EXPECT_TRUE(contains(run.err, "received signal while alarm active: Terminated")) << run.err;
  EXPECT_TRUE(contains(run.err, "timeout on server socket")) << run.err;
  EXPECT_TRUE(contains(run.err, "state: exit via interrupt")) << run.err;
  EXPECT_TRUE(site.list("locks").empty());
}

TEST(Connect, UserSignalWhileWaitingIsOnlyReported) {
  TempSite site;
  TestNntpServer server;
  server.script.latency_ms = 3000;  // QUIT's reply comes late, so tessu waits for it
  server.start();
  testsupport::Running running = testsupport::start_tessu(
      connect_only(site, {"--debug", "5"}, "127.0.0.1", server.port_string()));
  // Once QUIT has been sent, the next wait in poll is the one for its reply.
  ASSERT_TRUE(wait_until([&] { return !server.commands().empty(); }));
  ASSERT_TRUE(wait_until([&] { return testsupport::sleeps_in_poll(running.pid); }));
  kill(running.pid, SIGUSR1);
  const RunResult run = testsupport::finish_tessu(running);
  EXPECT_EQ(run.status, 0) << run.err;
  EXPECT_TRUE(contains(run.err, "received signal: User defined signal 1")) << run.err;
  EXPECT_EQ(server.commands(), std::vector<std::string>{"QUIT"});
}

}  // namespace
