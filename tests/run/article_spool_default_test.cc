// Where queued articles are read from when --spool is not given.
#include <sys/stat.h>

#include <string>

#include <gtest/gtest.h>

#include "support/tessu_runner.h"

namespace {

using testsupport::contains;
using testsupport::run_tessu;
using testsupport::TempSite;

// An INN site whose configuration names every path, the article spool included.
std::string write_inn_config(const TempSite& site) {
  site.write("bin/ctlinnd", "#!/bin/sh\nexit 0\n");
  chmod(site.path("bin/ctlinnd").c_str(), 0755);
  const std::string r = site.root;
  site.write("innshellvars",
             "INND=" + r + "/bin/innd\nNEWSHOME=" + r + "\nPATHETC=" + r + "/etc\nNEWSBIN=" + r +
                 "/bin\nSPOOL=" + r + "/spool\nBATCH=" + r + "/outgoing\nINCOMING=" + r +
                 "/incoming\nACTIVE=" + r + "/db/active\nHISTORY=" + r + "/db/history\nLOCKS=" + r +
                 "/locks\nNEWSFEEDS=" + r + "/etc/newsfeeds\nINHOSTS=" + r + "/inhosts\n");
  return site.path("innshellvars");
}

TEST(ArticleSpool, DefaultsToTheConfiguredSpool) {
  TempSite site;
  const std::string config = write_inn_config(site);
  site.write("spool/misc/test/1", "From: a@b\nMessage-ID: <1@b>\nSubject: s\n\nbody\n");
  site.write("outgoing/feed", "misc/test/1 <1@b>\n");
  const auto result = run_tessu({"--config-is", config, "--dry-run", "--nofetch", "-d", "feed"});
  EXPECT_EQ(result.status, 0) << result.err;
  EXPECT_TRUE(contains(result.err, "reading " + site.path("spool/misc/test/1") + "\n"))
      << result.err;
  EXPECT_FALSE(contains(result.err, "can't find article")) << result.err;
}

TEST(ArticleSpool, GivenSpoolStillWins) {
  TempSite site;
  const std::string config = write_inn_config(site);
  site.write("articles/misc/test/1", "From: a@b\nMessage-ID: <1@b>\nSubject: s\n\nbody\n");
  site.write("outgoing/feed", "misc/test/1 <1@b>\n");
  const auto result = run_tessu({"--config-is", config, "--spool", site.path("articles"),
                                 "--dry-run", "--nofetch", "-d", "feed"});
  EXPECT_EQ(result.status, 0) << result.err;
  EXPECT_TRUE(contains(result.err, "reading " + site.path("articles/misc/test/1") + "\n"))
      << result.err;
}

}  // namespace
