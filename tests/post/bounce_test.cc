
#include <fcntl.h>
#include <sched.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>
#include <cstdio>
#include <functional>
#include <string>

#include <gtest/gtest.h>

#include "base/settings.h"
#include "newssys/paths.h"
#include "post/bounce.h"
#include "post/transfer.h"
#include "report/stats.h"
#include "report/util.h"
#include "support/sendmail_recorder.h"
#include "support/settings_guard.h"
#include "support/tessu_runner.h"

namespace {

using testsupport::contains;
using testsupport::TempSite;

using testsupport::kNoNamespace;
using testsupport::run_with_recorder;
using Recorder = testsupport::SendmailRecorder;

#define SKIP_WITHOUT_NAMESPACE(status)                                                         \
  if ((status) == kNoNamespace)                                                                \
  GTEST_SKIP() << "no private mount namespace (needs root and unshare(CLONE_NEWNS)) to put a " \
                  "recorder in place of "                                                      \
               << newssys::kSendmail

struct BounceTest : testing::Test {
  testsupport::SettingsGuard settings_guard;
  Recorder recorder;

  void SetUp() override {
    if (geteuid() != 0) {
      GTEST_SKIP() << "needs root for a private mount namespace over " << newssys::kSendmail;
    }
    base::g_settings.server_host = "news.example";
    base::g_settings.server_port = "nntp";
    base::g_settings.attach = base::kAttachMime;
    base::g_settings.verbosity = 0;
    base::g_settings.dry_run = 0;
  }

  int bounce(const char* address, const std::string& text, time_t entered, const char* entry,
             const char* message_id, const char* reason) {
    return run_with_recorder(recorder, [&] {
      return post::bounce_mail(address, text.data(), text.size(), entered, entry, message_id,
                               reason);
    });
  }
};

const std::string kText = "From: joe@x\r\nMessage-ID: <m@x>\r\n\r\n..dot\r\nbody\r\n.\r\n";
constexpr time_t kEntered = 1000000000;

TEST_F(BounceTest, MimeMailHasTheReportAndTheArticleAsTwoParts) {
  const int status = bounce("joe@example.org", kText, kEntered, "misc/12", "<m@x>", "437 Bad Date");
  SKIP_WITHOUT_NAMESPACE(status);
  EXPECT_EQ(status, 0) << recorder.err();
  const std::string b = "XXXXXXXXXXXXXXXXXXXXXXXXXXXXXXX";
  const std::string expected =
      "To: joe@example.org\n"
      "Subject: News posting failed\n"
      "Auto-Submitted: auto-generated (failure)\n"
      "MIME-Version: 1.0\n"
      "Content-Type: MULTIPART/MIXED; BOUNDARY=\"" +
      b +
      "\"\n"
      "\n"
      "--" +
      b +
      "\n"
      "Content-Type: TEXT/PLAIN; charset=US-ASCII\n"
      "\n"
      "   ----- The following news message could not be posted -----\n"
      "Message-ID: <m@x>\n"
      "Spool file: misc/12\n"
      "Entered: " +
      std::string(report::time_string(kEntered)) +
      "\n"
      "Host: news.example \n"
      "\n"
      "   ----- Reason for failure -----\n"
      "437 Bad Date\n"
      "\n"
      "   ----- Complete message follows -----\n"
      "--" +
      b +
      "\n"
      "Content-Type: TEXT/PLAIN; charset=US-ASCII\n"
      "Content-ID: <m@x>\n"
      "Content-Description: Failed posting to news.example\n"
      "\n" +
      kText + "--" + b + "--\n";
  EXPECT_EQ(recorder.mail(), expected);
  // The address is sendmail's only argument.
  EXPECT_EQ(recorder.args(), "joe@example.org\n");
}

TEST_F(BounceTest, PlainMailWithArticleHasNoMimeParts) {
  base::g_settings.attach = base::kAttachYes;
  base::g_settings.server_port = "119";
  const int status = bounce("joe@example.org", kText, kEntered, "misc/12", "<m@x>", "441 no");
  SKIP_WITHOUT_NAMESPACE(status);
  EXPECT_EQ(status, 0) << recorder.err();
  const std::string expected =
      "To: joe@example.org\n"
      "Subject: News posting failed\n"
      "Auto-Submitted: auto-generated (failure)\n"
      "\n"
      "   ----- The following news message could not be posted -----\n"
      "Message-ID: <m@x>\n"
      "Spool file: misc/12\n"
      "Entered: " +
      std::string(report::time_string(kEntered)) +
      "\n"
      "Host: news.example 119\n"
      "\n"
      "   ----- Reason for failure -----\n"
      "441 no\n"
      "\n"
      "   ----- Complete message follows -----\n" +
      kText;
  EXPECT_EQ(recorder.mail(), expected);
}

TEST_F(BounceTest, PlainMailWithoutArticleEndsAfterTheReason) {
  base::g_settings.attach = base::kAttachNo;
  const int status = bounce("joe@example.org", kText, 0, "misc/12", "", "436 later");
  SKIP_WITHOUT_NAMESPACE(status);
  EXPECT_EQ(status, 0) << recorder.err();
  // No Entered line for an unknown time, and an empty message-ID stays empty.
  const std::string expected =
      "To: joe@example.org\n"
      "Subject: News posting failed\n"
      "Auto-Submitted: auto-generated (failure)\n"
      "\n"
      "   ----- The following news message could not be posted -----\n"
      "Message-ID: \n"
      "Spool file: misc/12\n"
      "Host: news.example \n"
      "\n"
      "   ----- Reason for failure -----\n"
      "436 later\n"
      "\n";
  EXPECT_EQ(recorder.mail(), expected);
}

TEST_F(BounceTest, SendmailFailureOrNoAddressIsReportedAsFailure) {
  recorder.dir.write("status", "1\n");
  int status = bounce("joe@example.org", kText, kEntered, "misc/12", "<m@x>", "437 no");
  SKIP_WITHOUT_NAMESPACE(status);
  EXPECT_EQ(status, 1);
  EXPECT_TRUE(recorder.ran());

  Recorder unused;
  status = run_with_recorder(unused, [] {
    return post::bounce_mail("", kText.data(), kText.size(), kEntered, "misc/12", "<m@x>", "x");
  });
  EXPECT_EQ(status, 1);
  EXPECT_FALSE(unused.ran());
}

// A malformed article killed under POST: the bounce goes to its poster and
// names no message-ID, the article attached as it was held.
TEST_F(BounceTest, MalformedArticleWithoutMessageIdIsBouncedToItsPoster) {
  TempSite site;
  const std::string article = "From: Joe <joe@example.org>\nSubject: s\n\nbare\rcr\n";
  site.write("articles/misc/3", article);
  const int status = run_with_recorder(recorder, [&] {
    base::Settings& s = base::g_settings;
    s.article_dir = site.path("articles");
    s.paths.locks = site.path("locks");
    s.bounce.reset();
    s.ihave = 0;
    s.log.reset();
    s.posted.reset();
    report::g_counters = report::Counters{};
    const char* result = post::post_article("misc/3");
    return result != nullptr && std::string(result) == "Malformed" &&
           report::g_counters.bnce == 1 && report::g_counters.fail == 1;
  });
  SKIP_WITHOUT_NAMESPACE(status);
  EXPECT_EQ(status, 0) << recorder.err();
  EXPECT_EQ(recorder.args(), "Joe <joe@example.org>\n");
  const std::string mail = recorder.mail();
  EXPECT_TRUE(contains(mail, "\nMessage-ID: \nSpool file: misc/3\n")) << mail;
  EXPECT_TRUE(
      contains(mail, "\n   ----- Reason for failure -----\ninconsistent line termination\n\n"))
      << mail;
  EXPECT_TRUE(contains(mail, "\nContent-ID: \n")) << mail;
  EXPECT_TRUE(contains(mail,
                       "\n\nFrom: Joe <joe@example.org>\r\nSubject: s\r\n\r\nbare\rcr\r\n.\r\n"
                       "--XXXXXXXXXXXXXXXXXXXXXXXXXXXXXXX--\n"))
      << mail;
  EXPECT_TRUE(contains(recorder.err(), "bounce message to Joe <joe@example.org>"));
}

TEST_F(BounceTest, FailedBounceIsReportedAndTheArticleStaysKilled) {
  TempSite site;
  site.write("articles/misc/4", "From: joe@example.org\r\n\r\nbody\r\n");
  recorder.dir.write("status", "75\n");
  const int status = run_with_recorder(recorder, [&] {
    base::Settings& s = base::g_settings;
    s.article_dir = site.path("articles");
    s.paths.locks = site.path("locks");
    s.bounce = "usenet@site.example";
    s.log.reset();
    s.posted.reset();
    report::g_counters = report::Counters{};
    const char* result = post::post_article("misc/4");
    return result != nullptr && std::string(result) == "Malformed" && report::g_counters.bnce == 1;
  });
  SKIP_WITHOUT_NAMESPACE(status);
  EXPECT_EQ(status, 0) << recorder.err();
  EXPECT_EQ(recorder.args(), "usenet@site.example\n");
  EXPECT_TRUE(contains(recorder.err(), "bounce failed")) << recorder.err();
}

}  // namespace
