#include <cstring>
#include <string>

#include <gtest/gtest.h>

#include "base/settings.h"
#include "report/title.h"
#include "run/driver.h"
#include "support/capture.h"
#include "support/settings_guard.h"

namespace {

// An argument area laid out as the kernel lays out argv: strings end to end.
struct ArgumentArea {
  char bytes[64];
  char* argv[3];
  explicit ArgumentArea(const char* first, const char* second) {
    memset(bytes, 'X', sizeof bytes);
    const size_t first_length = strlen(first) + 1;
    memcpy(bytes, first, first_length);
    memcpy(bytes + first_length, second, strlen(second) + 1);
    argv[0] = bytes;
    argv[1] = bytes + first_length;
    argv[2] = nullptr;
  }
  size_t room() const { return strlen(argv[0]) + 1 + strlen(argv[1]); }
};

struct TitleTest : testing::Test {
  testsupport::SettingsGuard settings_guard;

  void SetUp() override {
    base::g_settings.no_ps = 0;
    base::g_settings.verbosity = 0;
  }
  // The areas live on this test's stack: forget them before they go.
  void TearDown() override { report::record_argument_area(0, nullptr); }
};

TEST_F(TitleTest, LongTitleIsCutLeavingANul) {
  ArgumentArea area("tessu", "feed");
  const size_t room = area.room();
  report::record_argument_area(2, area.argv);
  report::set_title_prefix("tessu(feed)");
  report::set_state("locking host access");
  EXPECT_EQ(std::string(area.bytes),
            std::string("tessu(feed) locking host access").substr(0, room - 2));
  for (size_t i = room - 2; i <= room; ++i) EXPECT_EQ(area.bytes[i], '\0') << i;
  EXPECT_EQ(area.bytes[room + 1], 'X');  // nothing beyond the area is touched
}

TEST_F(TitleTest, ShortTitleFillsTheRestWithNul) {
  ArgumentArea area("/usr/local/bin/tessu", "--verbose-and-more");
  report::record_argument_area(2, area.argv);
  report::set_title_prefix("t(f)");
  report::set_state("exit", "!");
  EXPECT_STREQ(area.bytes, "t(f) exit!");
  for (size_t i = strlen("t(f) exit!"); i <= area.room(); ++i) EXPECT_EQ(area.bytes[i], '\0');
}

TEST_F(TitleTest, NoPsLeavesTheTitleAndGivesNoNotice) {
  ArgumentArea area("tessu", "feed");
  report::record_argument_area(2, area.argv);
  report::set_title_prefix("t(f)");
  base::g_settings.no_ps = 1;
  base::g_settings.verbosity = 4;
  testsupport::CaptureFd err;
  report::set_state("begin");
  EXPECT_EQ(err.take(), "");
  EXPECT_STREQ(area.bytes, "tessu");
}

TEST_F(TitleTest, StateNoticeOnlyAboveVerbosityThree) {
  ArgumentArea area("tessu", "a-rather-long-argument-for-room");
  report::record_argument_area(2, area.argv);
  report::set_title_prefix("t(f)");
  base::g_settings.verbosity = 3;
  testsupport::CaptureFd quiet;
  report::set_state("begin");
  EXPECT_EQ(quiet.take(), "");
  base::g_settings.verbosity = 4;
  testsupport::CaptureFd err;
  report::set_state("fetching ", "comp.lang.c");
  EXPECT_EQ(err.take(), "state: fetching comp.lang.c\n");
}

}  // namespace
