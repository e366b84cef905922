
#include <cerrno>
#include <string>

#include <gtest/gtest.h>

#include "base/settings.h"
#include "report/message.h"
#include "support/capture.h"
#include "support/settings_guard.h"

namespace {

using report::message;
using testsupport::CaptureFd;

struct MessageTest : testing::Test {
  testsupport::SettingsGuard settings_guard;

  void SetUp() override {
    base::g_settings.program_name = "tessu";
    base::g_settings.verbosity = 1;
    if (report::dot_count() != 0) {
      CaptureFd quiet;
      report::end_dots();
    }
  }
};

TEST_F(MessageTest, ClassesShowAtTheirThresholds) {
  base::g_settings.verbosity = 0;
  CaptureFd err;
  message(report::kProgress, "progress %d", 1);
  message(report::kDetail, "detail");
  message(report::kSent, "%s\n", "QUIT");
  message(report::kError, "bounce failed");
  EXPECT_EQ(err.take(), "tessu: bounce failed\n");

  base::g_settings.verbosity = 3;
  CaptureFd err3;
  message(report::kProgress, "progress %d", 1);
  message(report::kDetail, "detail");
  message(report::kNotice, "a notice");
  message(report::kSent, "%s\n", "QUIT");
  message(report::kReceived, "%s", "205 bye\r\n");
  EXPECT_EQ(err3.take(), "progress 1\na notice\n->QUIT\n<- 205 bye\r\n");
}

TEST_F(MessageTest, SystemErrorKeepsTheErrnoOfEntry) {
  CaptureFd err;
  errno = ENOENT;
  // Writing to the captured stream and to the system log may touch errno; the
  // reported text and the value seen afterwards are still the entry's.
  message(report::kSysError, "can't open logfile: %s (%d)", "/var/log/posted", 7);
  EXPECT_EQ(err.take(), std::string("tessu: can't open logfile: /var/log/posted (7): ") +
                            strerror(ENOENT) + "\n");
  EXPECT_EQ(errno, ENOENT);
}

TEST_F(MessageTest, NoticesAndErrorsAreCutButProgressIsNot) {
  const std::string long_text(2000, 'n');
  CaptureFd err;
  message(report::kNotice, "%s", long_text.c_str());
  message(report::kProgress, "%s", long_text.c_str());
  EXPECT_EQ(err.take(), long_text.substr(0, 1023) + "\n" + long_text + "\n");
}

TEST_F(MessageTest, DotsEndBeforeTheNextLine) {
  base::g_settings.verbosity = 2;
  CaptureFd err;
  report::progress_dot();
  report::progress_dot();
  report::progress_dot();
  message(report::kProgress, "fetched");
  EXPECT_EQ(err.take(), "...\nfetched\n");
  EXPECT_EQ(report::dot_count(), 0);
}

TEST_F(MessageTest, DotsStayWhenNothingIsWritten) {
  base::g_settings.verbosity = 2;
  CaptureFd err;
  report::progress_dot();
  message(report::kDetail, "hidden");
  EXPECT_EQ(report::dot_count(), 1);
  report::end_dots();
  EXPECT_EQ(err.take(), ".\n");
}

TEST(SyntaxCheck, ReportsTheFirstMissingItemWithoutTheNewline) {
  testsupport::CaptureFd err;
  EXPECT_FALSE(report::syntax_check("a 1 2 y\n", 4, 4, "/db/active"));
  EXPECT_TRUE(report::syntax_check("a 1 2\n", 3, 4, "/db/active"));
  EXPECT_TRUE(report::syntax_check("x", 0, 2, "hosts"));
  const std::string text = err.take();
  EXPECT_NE(text.find("bad syntax in /db/active (item 4 of 4) \"a 1 2\"\n"), std::string::npos)
      << text;
  EXPECT_NE(text.find("bad syntax in hosts (item 1 of 2) \"x\"\n"), std::string::npos) << text;
}

}  // namespace
