// The --stat file of a whole run is appended to only when it is a regular
// file: a symbolic link planted at its name is not followed, and a FIFO there
// neither blocks the run nor gets the record.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "support/nntp_server.h"
#include "support/tessu_runner.h"

namespace {

using testsupport::concat;
using testsupport::contains;
using testsupport::run_tessu;
using testsupport::RunResult;
using testsupport::TempSite;
using testsupport::TestNntpServer;

// A run that reaches the server, posts and fetches nothing and writes its statistics.
RunResult stat_run(const TempSite& site, const TestNntpServer& server, const std::string& stat) {
  return run_tessu(concat(site.site_options(), {"--nopost", "--nofetch", "-d", "--stat", stat,
                                                "feed", "127.0.0.1", server.port_string()}));
}

TEST(StatFileRun, RecordIsAppendedToARegularFile) {
  TempSite site;
  TestNntpServer server;
  ASSERT_GT(server.start(), 0);
  const RunResult result = stat_run(site, server, site.path("stats"));
  EXPECT_EQ(result.status, 0) << result.err;
  EXPECT_TRUE(contains(site.read("stats"), "\nN ")) << site.read("stats");
}

TEST(StatFileRun, SymbolicLinkIsNotFollowed) {
  TempSite site;
  TestNntpServer server;
  ASSERT_GT(server.start(), 0);
  site.write("etc/precious", "root:x:0:0\n");
  ASSERT_EQ(symlink(site.path("etc/precious").c_str(), site.path("stats").c_str()), 0);
  const RunResult result = stat_run(site, server, site.path("stats"));
  // The statistics are not worth failing the run for.
  EXPECT_EQ(result.status, 0) << result.err;
  EXPECT_TRUE(contains(result.err, "can't append to \"" + site.path("stats") + "\"")) << result.err;
  EXPECT_EQ(site.read("etc/precious"), "root:x:0:0\n");
  EXPECT_FALSE(site.exists("stats.LOCKtessu"));
}

TEST(StatFileRun, FifoNeitherBlocksNorGetsTheRecord) {
  TempSite site;
  TestNntpServer server;
  ASSERT_GT(server.start(), 0);
  const std::string fifo = site.path("stats");
  ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);

  // Nobody reads it: opening for writing would wait forever.
  const RunResult alone = stat_run(site, server, fifo);
  EXPECT_FALSE(alone.signaled);
  EXPECT_EQ(alone.status, 0) << alone.err;
  EXPECT_TRUE(contains(alone.err, "can't append to \"" + fifo + "\"")) << alone.err;

  // Someone reads it: it can be opened, but it is no statistics file.
  const int reader = open(fifo.c_str(), O_RDONLY | O_NONBLOCK);
  ASSERT_GE(reader, 0);
  const RunResult read = stat_run(site, server, fifo);
  EXPECT_EQ(read.status, 0) << read.err;
  EXPECT_TRUE(contains(read.err, "\"" + fifo + "\" is not a regular file")) << read.err;
  char byte;
  EXPECT_EQ(::read(reader, &byte, 1), 0);  // nothing was written, and no writer is left
  close(reader);
}

}  // namespace
