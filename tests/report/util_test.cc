#include "report/util.h"

#include <cstdio>
#include <cstring>
#include <string>

#include <gtest/gtest.h>

#include "support/capture.h"

namespace {

TEST(JoinPath, AcceptsExactlyTheLimit) {
  report::PathBuffer out;
  const std::string first(1000, 'a');
  const std::string second(23, 'b');
  report::join_path(out, first.c_str(), second.c_str());
  EXPECT_EQ(strlen(out), 1023u);
}

TEST(JoinPathDeathTest, EndsTheRunBeyondTheLimit) {
  const std::string first(1000, 'a');
  const std::string second(24, 'b');
  EXPECT_EXIT(
      {
        report::PathBuffer out;
        report::join_path(out, first.c_str(), second.c_str());
      },
      testing::ExitedWithCode(1), "file name longer than 1023 chars");
}

TEST(JoinPath, StopsAtTheFirstAbsentPart) {
  report::PathBuffer out;
  report::join_path(out, "/a", "/b", nullptr, "/never");
  EXPECT_STREQ(out, "/a/b");
}

TEST(ResolvePath, OverrideOrNameInsideDirectory) {
  report::PathBuffer out;
  report::resolve_path(out, "/var/spool/out", "site", nullptr);
  EXPECT_STREQ(out, "/var/spool/out/site");
  report::resolve_path(out, "/var/spool/out", "site", "");
  EXPECT_STREQ(out, "/var/spool/out/site");
  report::resolve_path(out, "/var/spool/out", "site", "./mine");
  EXPECT_STREQ(out, "./mine");
  report::resolve_path(out, "/var/spool/out", "site", "mine");
  EXPECT_STREQ(out, "/var/spool/out/mine");
  report::resolve_path(out, "/var/spool/out", "/abs", nullptr);
  EXPECT_STREQ(out, "/abs");
}

TEST(TimeString, AsctimeWithoutNewlineInOneBuffer) {
  const char* first = report::time_string(0);
  const std::string copy = first;
  EXPECT_EQ(copy.size(), 24u);
  EXPECT_EQ(copy.find('\n'), std::string::npos);
  const char* second = report::time_string(86400 * 365);
  EXPECT_EQ(first, second);
  EXPECT_NE(copy, std::string(second));
}

TEST(CheckRegularFile, RefusesADirectory) {
  FILE* dir = fopen("/tmp", "r");
  ASSERT_NE(dir, nullptr);
  testsupport::CaptureFd err;
  EXPECT_FALSE(report::check_regular_file(dir, "/tmp"));
  EXPECT_NE(err.take().find("\"/tmp\" is not a regular file"), std::string::npos);
  fclose(dir);
}

TEST(CheckRegularFile, GivesTheSize) {
  FILE* file = tmpfile();
  fputs("12345", file);
  fflush(file);
  int64_t size = 0;
  EXPECT_TRUE(report::check_regular_file(file, "tmp", &size));
  EXPECT_EQ(size, 5);
  fclose(file);
}

TEST(History, NeverHoldsAnArticle) {
  EXPECT_FALSE(report::history_has("<a@b>"));
}

}  // namespace
