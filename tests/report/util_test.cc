#include "report/util.h"

#include <sys/resource.h>
#include <unistd.h>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

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

TEST(TryReserve, GivesTheRoomAskedForAndKeepsTheText) {
  std::vector<char> buffer = {'a', 'b'};
  ASSERT_TRUE(report::try_reserve(&buffer, 100000));
  EXPECT_EQ(buffer.capacity(), 100000u);
  EXPECT_EQ(buffer, (std::vector<char>{'a', 'b'}));
  // Less than it has already: nothing changes.
  ASSERT_TRUE(report::try_reserve(&buffer, 10));
  EXPECT_EQ(buffer.capacity(), 100000u);
}

#if defined(__SANITIZE_ADDRESS__)
#define TESSU_ADDRESS_SANITIZER 1
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
#define TESSU_ADDRESS_SANITIZER 1
#endif
#endif

// Limits the address space to what the process uses now and a little more.
[[maybe_unused]] void limit_memory() {
  long pages = 0;
  FILE* statm = fopen("/proc/self/statm", "r");
  if (statm == nullptr || fscanf(statm, "%ld", &pages) != 1) _exit(3);
  fclose(statm);
  const rlim_t limit =
      static_cast<rlim_t>(pages) * static_cast<rlim_t>(sysconf(_SC_PAGESIZE)) + (64 << 20);
  const struct rlimit small = {limit, limit};
  if (setrlimit(RLIMIT_AS, &small) != 0) _exit(3);
}

TEST(TryReserveDeathTest, MemoryThatCannotBeHadIsReported) {
#ifdef TESSU_ADDRESS_SANITIZER
  GTEST_SKIP() << "the address sanitizer ends the process on an allocation it cannot make";
#else
  constexpr size_t kTooMuch = size_t{1} << 30;
  EXPECT_EXIT(
      {
        limit_memory();
        std::vector<char> buffer = {'a'};
        const bool reserved = report::try_reserve(&buffer, kTooMuch);
        _exit(!reserved && buffer == std::vector<char>{'a'} ? 0 : 1);
      },
      testing::ExitedWithCode(0), "");
  EXPECT_EXIT(
      {
        limit_memory();
        std::vector<char> buffer;
        report::must_reserve(&buffer, kTooMuch);
      },
      testing::ExitedWithCode(1), "out of memory");
#endif
}

TEST(History, NeverHoldsAnArticle) {
  EXPECT_FALSE(report::history_has("<a@b>"));
}

}  // namespace
