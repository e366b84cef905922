// Run statistics: the summary notices and the records of the --stat file.

#include <sys/stat.h>
#include <unistd.h>
#include <cstdlib>
#include <ctime>
#include <string>

#include <gtest/gtest.h>

#include "base/settings.h"
#include "report/stats.h"
#include "run/statistics.h"
#include "support/capture.h"
#include "support/nntp_server.h"
#include "support/settings_guard.h"
#include "support/tessu_runner.h"
#include "sys/locks.h"

namespace {

using report::g_counters;
using testsupport::CaptureFd;
using testsupport::contains;
using testsupport::TempSite;

constexpr const char* kHeader =
    "# post fetc dupl alre hist miss grps ua-g us-g grossbyt netbytes totaltim fail bnce\n";

struct StatsTest : testing::Test {
  testsupport::SettingsGuard settings_guard;
  TempSite site;
  std::string saved_tz;
  bool had_tz = false;

  void SetUp() override {
    if (const char* tz = getenv("TZ")) {
      had_tz = true;
      saved_tz = tz;
    }
    setenv("TZ", "UTC0", 1);
    tzset();
    g_counters = {};
    base::Settings& s = base::g_settings;
    s.program_name = "tessu";
    s.verbosity = 1;  // notices on standard error
    s.paths.locks = site.path("locks");
    s.stat.reset();
    s.filter.reset();
    s.mfilter.reset();
  }

  void TearDown() override {
    sys::unlock_all();
    g_counters = {};
    if (had_tz) {
      setenv("TZ", saved_tz.c_str(), 1);
    } else {
      unsetenv("TZ");
    }
    tzset();
  }

  // Writes the statistics and returns the notices.
  std::string write(time_t start, time_t end) {
    CaptureFd err;
    run::write_statistics(start, end);
    return err.take();
  }

  void use_stat_file() { base::g_settings.stat = site.path("stats"); }
};

TEST_F(StatsTest, HeaderOnlyInAnEmptyFileThenTimeAndNumberLines) {
  use_stat_file();
  g_counters.post = 1;
  g_counters.grossbyt = 6000;
  g_counters.netbytes = 5000;
  const time_t start = 0;  // Thu Jan  1 00:00:00 1970 in UTC
  write(start, start + 10);
  const std::string first_record =
      "T OK Jan  1 00:00:00 1970\n"
      "N    1    0    0    0    0    0    0    0    0     6000     5000       10    0    0\n";
  EXPECT_EQ(std::string(kHeader).size(), 84u);
  EXPECT_EQ(site.read("stats"), kHeader + first_record);

  // A second run appends its record without a header; fields grow past their width.
  g_counters = {};
  g_counters.fetc = 123456;
  g_counters.dupl = 2;
  g_counters.alre = 3;
  g_counters.miss = 4;
  g_counters.grps = 5;
  g_counters.ua_g = 6;
  g_counters.us_g = 7;
  g_counters.grossbyt = 1234567890;
  g_counters.netbytes = 987654321;
  g_counters.fail = 8;
  g_counters.bnce = 9;
  g_counters.fetch_aborted = true;
  const time_t second = 86400 * 365 + 3661;  // Fri Jan  1 01:01:01 1971
  write(second, second + 100000000);
  EXPECT_EQ(site.read("stats"),
            kHeader + first_record +
                "T Ab Jan  1 01:01:01 1971\n"
                "N    0 123456    2    3    0    4    5    6    7 1234567890 987654321 100000000"
                "    8    9\n");
  EXPECT_FALSE(site.exists("stats.LOCKtessu"));
}

TEST_F(StatsTest, FilterLineWhenAFilterIsSetOrSomethingWasFiltered) {
  use_stat_file();
  // Fake articles alone give no filter line.
  g_counters.fake = 2;
  write(0, 0);
  EXPECT_FALSE(contains(site.read("stats"), "\nF "));

  g_counters = {};
  base::g_settings.filter = "/bin/cat";
  write(0, 0);
  EXPECT_TRUE(contains(site.read("stats"), "    0\nF    0\n")) << site.read("stats");

  unlink(site.path("stats").c_str());
  base::g_settings.filter.reset();
  g_counters.filtered = 12345;
  write(0, 0);
  const std::string text = site.read("stats");
  EXPECT_EQ(text.substr(text.size() - 8), "F 12345\n");
}

TEST_F(StatsTest, NoticesAndTheirPlurals) {
  g_counters.fail = 1;
  g_counters.bnce = 1;
  g_counters.ua_g = 1;
  g_counters.us_g = 1;
  g_counters.alre = 1;
  g_counters.hist = 1;
  g_counters.post = 1;
  g_counters.fetc = 1;
  g_counters.grps = 1;
  g_counters.grossbyt = 1;
  g_counters.netbytes = 7;
  EXPECT_EQ(write(0, 0),
            "posting errors: 0 duplicate, 0 missing, 1 failed article\n"
            "bounced 1 article\n"
            "1 group was not available from this server\n"
            "fetched 1 group never seen before\n"
            "omitted 1 article already in spool, 1 as crosspost\n"
            "posted 1, fetched 1 article in 1 group at 7 net cps\n");

  g_counters = {};
  g_counters.dupl = 2;
  g_counters.bnce = 2;
  g_counters.ua_g = 3;
  g_counters.us_g = 2;
  g_counters.alre = 2;
  g_counters.fetch_aborted = true;
  g_counters.grossbyt = 6000;
  g_counters.netbytes = 5000;
  g_counters.post = 1;
  EXPECT_EQ(write(0, 10),
            "posting errors: 2 duplicate, 0 missing, 0 failed articles\n"
            "bounced 2 articles\n"
            "3 groups were not available from this server\n"
            "fetched 2 groups never seen before\n"
            "omitted 0 articles already in spool, 2 as crossposts\n"
            "article fetch aborted\n"
            "posted 1, fetched 0 articles in 0 groups at 500 net cps\n");
}

TEST_F(StatsTest, OmittedNoticeCountsFakeAndFilteredAndNeedsSomethingOmitted) {
  g_counters.fake = 2;
  EXPECT_EQ(write(0, 0), "omitted 0 articles already in spool, 0 as crossposts, 2 filtered\n");

  // A filter alone, with nothing omitted, says nothing.
  g_counters = {};
  base::g_settings.mfilter = "true";
  EXPECT_EQ(write(0, 0), "");
  g_counters.alre = 1;
  g_counters.filtered = 3;
  g_counters.fake = 1;
  EXPECT_EQ(write(0, 0), "omitted 0 articles already in spool, 1 as crosspost, 4 filtered\n");
}

TEST_F(StatsTest, NoRateWithoutTrafficAndNoFileWithoutStat) {
  g_counters.netbytes = 100;
  EXPECT_EQ(write(0, 5), "");
  EXPECT_FALSE(site.exists("stats"));
}

TEST_F(StatsTest, AStatFileThatCannotBeOpenedIsReportedAndTheLockReleased) {
  base::g_settings.stat = site.path("stats-dir");
  mkdir(site.path("stats-dir").c_str(), 0755);
  const std::string notices = write(0, 0);
  EXPECT_TRUE(contains(notices, "tessu: can't append to \"" + site.path("stats-dir") + "\": "))
      << notices;
  EXPECT_FALSE(site.exists("stats-dir.LOCKtessu"));
}

// The driver writes the statistics of a run whose fetch broke off, marked as
// aborted, before it ends with status 9.
TEST(StatsRun, AbortedFetchStillWritesItsRecord) {
  TempSite site;
  testsupport::TestNntpServer server;
  ASSERT_GT(server.start(), 0);
  site.write("etc/newsfeeds", "ME:*::\nfeed:*::\n");
  site.write("db/active", "comp.a 0000000100 0000000001 y\n");
  site.write("inhosts/feed", "comp.a 1\n");
  for (long n = 1; n <= 3; ++n) {
    server.add_simple_article("comp.a", n, "<" + std::to_string(n) + "@test>", "feed!poster");
  }
  server.set_faults(
      {testsupport::Fault{testsupport::Fault::kReplyCode, "ARTICLE", 2, "503 failure", 0}});
  const auto result = testsupport::run_tessu(testsupport::concat(
      site.site_options(),
      {"--nopost", "-d", "--stat", site.path("stats"), "feed", "127.0.0.1", server.port_string()}));
  EXPECT_EQ(result.status, 9) << result.err;
  EXPECT_TRUE(contains(result.err, "article fetch aborted\n")) << result.err;
  const std::string stats = site.read("stats");
  EXPECT_EQ(stats.rfind(kHeader, 0), 0u) << stats;
  EXPECT_TRUE(contains(stats, "\nT Ab ")) << stats;
  // One article was fetched before the fault.
  EXPECT_TRUE(contains(stats, "\nN    0    1 ")) << stats << result.err;
  EXPECT_FALSE(site.exists("stats.LOCKtessu"));
}

}  // namespace
