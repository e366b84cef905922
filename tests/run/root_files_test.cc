// Files whose content tessu obeys (profiles, chat scripts, authorization
// files) are refused when tessu runs as root and someone else could have
// written them; under any other user nothing changes. The refusals can only be
// seen as root, so most of these tests are skipped otherwise.
#include <grp.h>
#include <sys/stat.h>
#include <unistd.h>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "base/settings.h"
#include "run/options.h"
#include "support/nntp_server.h"
#include "support/option_parsing.h"
#include "support/tessu_runner.h"

namespace {

using testsupport::concat;
using testsupport::contains;
using testsupport::run_tessu;
using testsupport::RunResult;
using testsupport::TempSite;
using testsupport::TestNntpServer;

// The user and group a news system's files would belong to; any id but root's will do.
constexpr uid_t kNewsUid = 65534;
constexpr gid_t kNewsGid = 65534;

#define SKIP_UNLESS_ROOT() \
  if (geteuid() != 0) GTEST_SKIP() << "only root is refused files"

// How a file is left for tessu to read.
enum class Owner {
  kRoot,               // root's, mode 0644: obeyed
  kNews,               // another user's, mode 0644
  kRootGroupWritable,  // root's, mode 0664
  kRootOtherWritable,  // root's, mode 0646
};

void own(const std::string& path, Owner owner) {
  const bool news = owner == Owner::kNews;
  ASSERT_EQ(chown(path.c_str(), news ? kNewsUid : 0, news ? kNewsGid : 0), 0) << path;
  const mode_t mode = owner == Owner::kRootGroupWritable   ? 0664
                      : owner == Owner::kRootOtherWritable ? 0646
                                                           : 0644;
  ASSERT_EQ(chmod(path.c_str(), mode), 0) << path;
}

std::string refusal(const std::string& kind, const std::string& path) {
  return kind + " \"" + path +
         "\" is writable by a user other than root: run tessu as the news user or make the file "
         "root's";
}

// A profile that, when obeyed, ends the run with the enquiry's status 12.
const char kEnquiryProfile[] = "--enquire <a@b>\n";

// Runs tessu with the site's options and words, ending with the spool name.
RunResult run_with(const TempSite& site, const std::vector<std::string>& words) {
  return run_tessu(concat(concat(site.site_options(), words), {"feed"}));
}

void expect_refused(const RunResult& result, const std::string& kind, const std::string& path) {
  EXPECT_EQ(result.status, 8) << result.err;
  EXPECT_TRUE(contains(result.err, refusal(kind, path))) << result.err;
  EXPECT_EQ(result.out, "");  // the enquiry was never answered
}

void expect_obeyed(const RunResult& result) {
  EXPECT_EQ(result.status, 12) << result.err;
  EXPECT_EQ(result.out, "no\n");
  EXPECT_FALSE(contains(result.err, "writable by a user other than root")) << result.err;
}

TEST(RootFiles, ProfileOthersCanWriteIsRefused) {
  SKIP_UNLESS_ROOT();
  for (Owner owner : {Owner::kNews, Owner::kRootGroupWritable, Owner::kRootOtherWritable}) {
    TempSite site;
    site.write("etc/profile", kEnquiryProfile);
    own(site.path("etc/profile"), owner);
    expect_refused(run_with(site, {"--profile", site.path("etc/profile")}), "profile",
                   site.path("etc/profile"));
  }
}

TEST(RootFiles, RootsOwnProfileIsObeyed) {
  SKIP_UNLESS_ROOT();
  TempSite site;
  site.write("etc/profile", kEnquiryProfile);
  own(site.path("etc/profile"), Owner::kRoot);
  expect_obeyed(run_with(site, {"--profile", site.path("etc/profile")}));
}

// The issue as it was found: a per-spool profile in the news-owned INHOSTS.
TEST(RootFiles, PerSpoolProfileOfTheNewsUserIsRefused) {
  SKIP_UNLESS_ROOT();
  TempSite site;
  site.write("inhosts/feed.conf", "--connect id\n" + std::string(kEnquiryProfile));
  own(site.path("inhosts/feed.conf"), Owner::kNews);
  expect_refused(run_with(site, {}), "profile", site.path("inhosts/feed.conf"));

  own(site.path("inhosts/feed.conf"), Owner::kRoot);
  expect_obeyed(run_with(site, {}));
}

TEST(RootFiles, NestedProfileIsCheckedOnItsOwn) {
  SKIP_UNLESS_ROOT();
  TempSite site;
  site.write("etc/outer", "--profile " + site.path("etc/inner") + "\n");
  site.write("etc/inner", kEnquiryProfile);
  own(site.path("etc/outer"), Owner::kRoot);
  own(site.path("etc/inner"), Owner::kNews);
  expect_refused(run_with(site, {"--profile", site.path("etc/outer")}), "profile",
                 site.path("etc/inner"));

  own(site.path("etc/inner"), Owner::kRoot);
  expect_obeyed(run_with(site, {"--profile", site.path("etc/outer")}));
}

// The program-wide profile goes through the same reader as an implicit profile.
using RootFilesDeathTest = testsupport::OptionParserTest;

TEST_F(RootFilesDeathTest, ImplicitProfileOthersCanWriteEndsTheRun) {
  SKIP_UNLESS_ROOT();
  TempSite site;
  site.write("etc/tessu.conf", "--window 3\n");
  const std::string path = site.path("etc/tessu.conf");
  own(path, Owner::kNews);
  EXPECT_EXIT(run::read_profile(path.c_str(), false), testing::ExitedWithCode(8),
              refusal("profile", path));
  own(path, Owner::kRoot);
  run::read_profile(path.c_str(), false);
  EXPECT_EQ(base::g_settings.window, 3);
}

std::vector<std::string> server_args(const TempSite& site, const TestNntpServer& server,
                                     const std::vector<std::string>& extra) {
  return concat(concat(site.site_options(), concat({"--nopost", "--nofetch"}, extra)),
                {"feed", "127.0.0.1", server.port_string()});
}

TEST(RootFiles, ChatScriptOthersCanWriteIsRefused) {
  SKIP_UNLESS_ROOT();
  TempSite site;
  TestNntpServer server;
  ASSERT_GT(server.start(), 0);
  site.write("etc/chat", "# no login needed\n");
  const std::string chat = site.path("etc/chat");
  for (Owner owner : {Owner::kNews, Owner::kRootGroupWritable}) {
    own(chat, owner);
    const RunResult result = run_tessu(server_args(site, server, {"--chat", chat}));
    EXPECT_EQ(result.status, 8) << result.err;
    EXPECT_TRUE(contains(result.err, refusal("chat script", chat))) << result.err;
    // The run ended through the exit path: no lock is left behind.
    EXPECT_TRUE(site.list("locks").empty());
  }
  own(chat, Owner::kRoot);
  const RunResult result = run_tessu(server_args(site, server, {"--chat", chat}));
  EXPECT_EQ(result.status, 0) << result.err;
  EXPECT_FALSE(contains(result.err, "writable by a user other than root")) << result.err;
}

TEST(RootFiles, AuthorizationFileOthersCanWriteIsRefused) {
  SKIP_UNLESS_ROOT();
  TempSite site;
  TestNntpServer server;
  ASSERT_GT(server.start(), 0);
  site.write("etc/authinfo", "newsuser secret\n");
  const std::string auth = site.path("etc/authinfo");
  for (Owner owner : {Owner::kNews, Owner::kRootOtherWritable}) {
    own(auth, owner);
    const RunResult result = run_tessu(server_args(site, server, {"--auth", auth}));
    EXPECT_EQ(result.status, 8) << result.err;
    EXPECT_TRUE(contains(result.err, refusal("authorization file", auth))) << result.err;
  }
  EXPECT_TRUE(server.commands().empty());

  own(auth, Owner::kRoot);
  const RunResult result = run_tessu(server_args(site, server, {"--auth", auth}));
  EXPECT_EQ(result.status, 0) << result.err;
  EXPECT_EQ(server.commands(),
            (std::vector<std::string>{"AUTHINFO USER newsuser", "AUTHINFO PASS secret", "QUIT"}));
}

// Runs tessu as the news user, the way a site should run it; status 126: it
// could not become that user.
RunResult run_as_news(const std::vector<std::string>& args) {
  testsupport::RunOptions options;
  options.in_child = [] {
    return setgroups(0, nullptr) != 0 || setgid(kNewsGid) != 0 || setuid(kNewsUid) != 0 ? 126 : 0;
  };
  return run_tessu(args, options);
}

TEST(RootFiles, AnyOtherUserIsNotChecked) {
  SKIP_UNLESS_ROOT();  // to become another user
  TempSite site;
  site.write("inhosts/feed.conf", "--profile " + site.path("etc/profile") + "\n");
  site.write("etc/profile", kEnquiryProfile);
  own(site.path("inhosts/feed.conf"), Owner::kNews);
  own(site.path("etc/profile"), Owner::kRootGroupWritable);
  const RunResult result = run_as_news(concat(site.site_options(), {"--locks", "none", "feed"}));
  EXPECT_EQ(result.status, 12) << result.err;
  EXPECT_EQ(result.out, "no\n");
  EXPECT_FALSE(contains(result.err, "writable by a user other than root")) << result.err;
}

}  // namespace
