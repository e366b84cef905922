// Opening a file for appending the way the program's shared files are opened:
// created when missing, never through a symbolic link, never blocking on a
// FIFO, and only when it is a regular file.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#include <cstdio>
#include <string>

#include <gtest/gtest.h>

#include "report/util.h"
#include "support/capture.h"
#include "support/tessu_runner.h"

namespace {

using testsupport::CaptureFd;
using testsupport::contains;
using testsupport::TempSite;

TEST(OpenAppendFile, CreatesAndAppendsToARegularFile) {
  TempSite site;
  const std::string path = site.path("log");
  for (const char* line : {"one\n", "two\n"}) {
    FILE* file = report::open_append_file(path.c_str());
    ASSERT_NE(file, nullptr);
    fputs(line, file);
    EXPECT_EQ(fclose(file), 0);
  }
  EXPECT_EQ(site.read("log"), "one\ntwo\n");
  // The descriptor must block again, or a full disk would show as EAGAIN.
  FILE* file = report::open_append_file(path.c_str());
  ASSERT_NE(file, nullptr);
  EXPECT_EQ(fcntl(fileno(file), F_GETFL) & O_NONBLOCK, 0);
  EXPECT_NE(fcntl(fileno(file), F_GETFD) & FD_CLOEXEC, 0);
  fclose(file);
}

TEST(OpenAppendFile, SymbolicLinkIsNotFollowed) {
  TempSite site;
  site.write("target", "precious\n");
  const std::string link_path = site.path("log");
  ASSERT_EQ(symlink(site.path("target").c_str(), link_path.c_str()), 0);
  CaptureFd err;
  EXPECT_EQ(report::open_append_file(link_path.c_str()), nullptr);
  const std::string said = err.take();
  EXPECT_TRUE(contains(said, "can't append to \"" + link_path + "\"")) << said;
  EXPECT_EQ(site.read("target"), "precious\n");

  // A dangling link must not create its target either.
  const std::string dangling = site.path("dangling");
  ASSERT_EQ(symlink(site.path("nowhere").c_str(), dangling.c_str()), 0);
  EXPECT_EQ(report::open_append_file(dangling.c_str()), nullptr);
  EXPECT_FALSE(site.exists("nowhere"));
}

TEST(OpenAppendFile, FifoWithoutReaderFailsAtOnce) {
  TempSite site;
  const std::string path = site.path("fifo");
  ASSERT_EQ(mkfifo(path.c_str(), 0600), 0);
  CaptureFd err;
  EXPECT_EQ(report::open_append_file(path.c_str()), nullptr);
  EXPECT_TRUE(contains(err.take(), "can't append to \"" + path + "\""));
}

TEST(OpenAppendFile, FifoWithReaderAndDirectoryAreNotRegularFiles) {
  TempSite site;
  const std::string fifo = site.path("fifo");
  ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
  const int reader = open(fifo.c_str(), O_RDONLY | O_NONBLOCK);
  ASSERT_GE(reader, 0);
  CaptureFd err;
  EXPECT_EQ(report::open_append_file(fifo.c_str()), nullptr);
  // A directory cannot be opened for writing at all.
  EXPECT_EQ(report::open_append_file(site.path("locks").c_str()), nullptr);
  const std::string said = err.take();
  close(reader);
  EXPECT_TRUE(contains(said, "\"" + fifo + "\" is not a regular file")) << said;
  EXPECT_TRUE(contains(said, "can't append to \"" + site.path("locks") + "\"")) << said;
}

}  // namespace
