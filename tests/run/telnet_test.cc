// Whole runs in telnet mode: tessu given the port "telnet" logs in through a
// chat script and fetches from the scripted server on port 23. Port 23 is
// taken in a private network namespace of the test, so nothing else on the
// machine is touched.
#include <net/if.h>
#include <netdb.h>
#include <sched.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>
#include <cerrno>
#include <cstring>
#include <functional>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "support/news_site.h"

namespace {

using testsupport::contains;
using testsupport::RunResult;

constexpr int kTelnetPort = 23;

bool loopback_up(std::string* reason) {
  const int fd = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
  if (fd < 0) {
    *reason = std::string("socket: ") + strerror(errno);
    return false;
  }
  ifreq request{};
  strncpy(request.ifr_name, "lo", IFNAMSIZ - 1);
  bool up = ioctl(fd, SIOCGIFFLAGS, &request) == 0;
  if (up) {
    request.ifr_flags = static_cast<short>(request.ifr_flags | IFF_UP);
    up = ioctl(fd, SIOCSIFFLAGS, &request) == 0;
  }
  if (!up) *reason = std::string("can't bring lo up: ") + strerror(errno);
  close(fd);
  return up;
}

// Runs body on a thread of its own in a fresh network namespace whose
// loopback is up: sockets it creates and processes it starts live there.
// Returns why that could not be had ("" when body ran).
std::string in_private_network(const std::function<void()>& body) {
  std::string reason;
  std::thread worker([&] {
    if (unshare(CLONE_NEWNET) != 0) {
      reason = std::string("unshare(CLONE_NEWNET): ") + strerror(errno);
      return;
    }
    if (loopback_up(&reason)) body();
  });
  worker.join();
  return reason;
}

// Negotiation the terminal server opens with: DO ECHO, DO SUPPRESS GO AHEAD, WILL ECHO.
const char kOptionRequests[] = "\xff\xfd\x01\xff\xfd\x03\xff\xfb\x01";
// What tessu answers: WONT ECHO, WILL SUPPRESS GO AHEAD, nothing to WILL.
const char kOptionAnswers[] = "\xff\xfc\x01\xff\xfb\x03";

struct TelnetRun : testsupport::NewsSiteTest {
  TelnetRun() : NewsSiteTest("upstream", "*") {}

  // The server is started on port 23 by the test, in the namespace it runs in.
  void SetUp() override {
    site.write("etc/newsfeeds", "ME:*::\n" + spool_ + ":" + patterns_ + "::\n");
    const servent* telnet = getservbyname("telnet", "tcp");
    if (telnet == nullptr || ntohs(static_cast<uint16_t>(telnet->s_port)) != kTelnetPort) {
      GTEST_SKIP() << "the service \"telnet\" is not port 23 here";
    }
    set_active({"misc.test"});
    server.add_simple_article("misc.test", 1, "<1@telnet.test>");
    server.add_simple_article("misc.test", 2, "<2@telnet.test>");
    // A terminal server: options, a banner and the login prompt without a line
    // end; the line end of each prompt only follows the answer.
    server.script.login = {
        {std::string(kOptionRequests, sizeof kOptionRequests - 1) +
             "Welcome to the terminal server\r\nlogin: ",
         "news\r"},
        {"\r\nPassword: ", "not so secret\r"},
    };
    server.script.banner = {"", "connected to news"};
    server.script.cr_lines = true;
    chat_path = site.path("etc/upstream.chat");
  }

  std::string chat_path;

  // Runs tessu against port "telnet" of 127.0.0.1 in a private network, or
  // skips the test when neither that nor port 23 here can be had.
  RunResult run_telnet(const std::vector<std::string>& extra, std::string* skip) {
    RunResult result;
    const std::vector<std::string> run_args = testsupport::run_args(
        site,
        testsupport::concat({"--nopost", "--chat", chat_path, "--timeout", "30", "--debug", "5"},
                            extra),
        spool_, "127.0.0.1", "telnet");
    auto serve_and_run = [&] {
      if (server.start(kTelnetPort) != kTelnetPort) {
        *skip = "port 23 is not free";
        return;
      }
      result = testsupport::run_tessu(run_args);
    };
    const std::string reason = in_private_network(serve_and_run);
    if (!reason.empty()) {
      // As root, port 23 of this machine will do when it is free.
      if (geteuid() == 0) {
        serve_and_run();
      } else {
        *skip = reason;
      }
    }
    server.stop();
    return result;
  }

  std::vector<std::string> fetched_ids() const {
    std::vector<std::string> ids;
    for (const std::string& name : site.list("incoming")) {
      std::vector<std::string> articles;
      if (!testsupport::split_batch(site.read("incoming/" + name), &articles)) continue;
      for (const std::string& text : articles) ids.push_back(testsupport::message_id_of(text));
    }
    return ids;
  }
};

TEST_F(TelnetRun, LoginByChatThenFetchWithCrLineEnds) {
  site.write("etc/upstream.chat",
             "# terminal server login\n"
             "login: news\n"
             "'Password: ' 'not so secret'\n");
  std::string skip;
  const RunResult result = run_telnet({}, &skip);
  if (!skip.empty()) GTEST_SKIP() << skip;
  ASSERT_EQ(result.status, 0) << result.err;
  EXPECT_EQ(fetched_ids(), (std::vector<std::string>{"<1@telnet.test>", "<2@telnet.test>"}));

  // The option answers come first, then each answer as soon as its prompt is
  // complete (the server sends no line end before it), then the commands,
  // each ending in a single CR.
  const std::string raw = server.raw_received();
  const std::string login = std::string(kOptionAnswers, sizeof kOptionAnswers - 1) +
                            "news\r"
                            "not so secret\r";
  ASSERT_EQ(raw.substr(0, login.size()), login);
  const std::string commands = raw.substr(login.size());
  EXPECT_EQ(commands.find('\n'), std::string::npos) << commands;
  EXPECT_TRUE(contains(commands, "GROUP misc.test\r")) << commands;
  ASSERT_GE(commands.size(), 5u);
  EXPECT_EQ(commands.substr(commands.size() - 5), "QUIT\r");
  EXPECT_EQ(server.count_commands("ARTICLE"), 2u);

  EXPECT_TRUE(contains(result.err, "telnet wont: IAC DO ECHO")) << result.err;
  EXPECT_TRUE(contains(result.err, "telnet will: IAC DO SUPPRESS GO AHEAD")) << result.err;
  EXPECT_TRUE(contains(result.err, "telnet ignore: IAC WILL ECHO")) << result.err;
  EXPECT_TRUE(contains(result.err, "chat found \"login:\"")) << result.err;
  EXPECT_TRUE(contains(result.err, "chat found \"Password: \"")) << result.err;
  // The greeting is the first line that starts with a digit.
  EXPECT_TRUE(contains(result.err, "<- connected to news\r\n<- 200 test server ready"))
      << result.err;
}

TEST_F(TelnetRun, EchoedCommandsAreCheckedAndTheRunGoesOn) {
  site.write("etc/upstream.chat",
             "ECHO\n"
             "login: news\n"
             "\"Password: \" \"not so secret\"\n");
  // A terminal line echoes each command, its CR as CR NUL, before the reply.
  server.script.echo_end = std::string("\r\0", 2);
  std::string skip;
  // Each command's echo is awaited before the next is sent; a reply already
  // queued behind it would be taken for a wrong echo, so replies are taken one by one.
  const RunResult result = run_telnet({"--window", "1"}, &skip);
  if (!skip.empty()) GTEST_SKIP() << skip;
  ASSERT_EQ(result.status, 0) << result.err;
  EXPECT_EQ(fetched_ids(), (std::vector<std::string>{"<1@telnet.test>", "<2@telnet.test>"}));
  EXPECT_FALSE(contains(result.err, "wrong echo")) << result.err;
  EXPECT_EQ(server.count_commands("ARTICLE"), 2u);
}

}  // namespace
