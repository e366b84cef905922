// Whole-program runs of the start-up checks and the run sequence.
#include <string>

#include <gtest/gtest.h>

#include "support/tessu_runner.h"

namespace {

using testsupport::concat;
using testsupport::contains;
using testsupport::run_tessu;
using testsupport::RunOptions;
using testsupport::TempSite;

RunOptions without_nntpserver() {
  return RunOptions{"", {{"NNTPSERVER", "\x01"}}, "", 60};
}

TEST(StartUp, MissingSpoolNameIsAUsageError) {
  TempSite site;
  const auto result = run_tessu(site.site_options(), without_nntpserver());
  EXPECT_EQ(result.status, 2);
  EXPECT_EQ(result.err, "spool name missing\n");
  EXPECT_TRUE(contains(result.out, "Usage:\n\ttessu [options] spoolname [[hostname] port]\n"));
  EXPECT_TRUE(site.list("locks").empty());
}

TEST(StartUp, EmptyFirstArgumentLeavesTheSpoolNameUnset) {
  TempSite site;
  const auto result =
      run_tessu(concat(site.site_options(), {"", "news.example"}), without_nntpserver());
  EXPECT_EQ(result.status, 2);
  EXPECT_EQ(result.err, "spool name missing\n");
}

TEST(StartUp, SpoolNameWithASlashIsRefused) {
  TempSite site;
  const auto result = run_tessu(concat(site.site_options(), {"up/stream"}));
  EXPECT_EQ(result.status, 2);
  EXPECT_EQ(result.err, "spool name cannot contain a '/': up/stream\n");
  EXPECT_EQ(result.out, "");
}

TEST(StartUp, FourPositionalArgumentsAreTooMany) {
  TempSite site;
  const auto result = run_tessu(concat(site.site_options(), {"feed", "host", "119", "extra"}));
  EXPECT_EQ(result.status, 2);
  EXPECT_EQ(result.err, "excess arguments\n");
  EXPECT_TRUE(contains(result.out, "Usage:\n"));
}

TEST(Enquire, AnswersNoWithoutLockingOrConnecting) {
  TempSite site;
  const auto result = run_tessu(
      concat(site.site_options(), {"--enquire", "<x@y>", "-d", "feed", "127.0.0.1", "1"}));
  EXPECT_EQ(result.status, 12);
  EXPECT_EQ(result.out, "no\n");
  EXPECT_FALSE(contains(result.err, "server:"));
  EXPECT_TRUE(site.list("locks").empty());
}

TEST(Enquire, NeedsNoSpoolName) {
  TempSite site;
  const auto result =
      run_tessu(concat(site.site_options(), {"--enquire", "<x@y>"}), without_nntpserver());
  EXPECT_EQ(result.status, 12);
  EXPECT_EQ(result.out, "no\n");
}

TEST(Run, DryRunWalksTheWholeSequenceWithoutConnecting) {
  TempSite site;
  const auto result = run_tessu(
      concat(site.site_options(), {"--dry-run", "--nopost", "-d", "feed", "127.0.0.1", "1"}));
  EXPECT_EQ(result.status, 0) << result.err;
  EXPECT_TRUE(contains(result.err, "tessu 1.6 ")) << result.err;
  EXPECT_TRUE(contains(result.err, "server: 127.0.0.1, spool: feed\n"));
  EXPECT_TRUE(contains(result.err, "fetching news\n"));
  EXPECT_FALSE(contains(result.err, "OK, can post"));
  EXPECT_TRUE(site.list("locks").empty());
}

TEST(Run, NntpserverNamesTheSpoolAndTheHost) {
  TempSite site;
  RunOptions options;
  options.env = {{"NNTPSERVER", "newshub"}};
  const auto result =
      run_tessu(concat(site.site_options(), {"--dry-run", "--nopost", "-d"}), options);
  EXPECT_EQ(result.status, 0) << result.err;
  EXPECT_TRUE(contains(result.err, "server: newshub, spool: newshub\n")) << result.err;
}

TEST(Run, UnknownFreeSpaceIsReportedAndTheFetchGoesOn) {
  TempSite site;
  const auto result = run_tessu(
      concat(site.site_options(), {"--dry-run", "--nopost", "-d", "--minfree", "10", "feed"}));
  EXPECT_EQ(result.status, 0) << result.err;
  EXPECT_TRUE(contains(result.err, "check spool free space\n"));
  EXPECT_TRUE(
      contains(result.err, "tessu: can't determine free /usr/local/news/spool/articles space"))
      << result.err;
  EXPECT_TRUE(contains(result.err, "fetching news\n"));
}

}  // namespace
