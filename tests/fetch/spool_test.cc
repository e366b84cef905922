
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "base/settings.h"
#include "fetch/spool.h"
#include "groups/newsfeeds.h"
#include "support/capture.h"
#include "support/settings_guard.h"
#include "support/tessu_runner.h"

namespace {

using testing::ExitedWithCode;
using testsupport::contains;
using testsupport::list_dir;
using testsupport::read_file;

bool is_unique_char(char c) {
  return (c >= '0' && c <= '9') || (c >= 'A' && c <= 'V');
}

// True when name is prefix followed by exactly six characters of 0-9A-V.
bool has_unique_suffix(const std::string& name, const std::string& prefix) {
  if (name.size() != prefix.size() + 6 || name.compare(0, prefix.size(), prefix) != 0) {
    return false;
  }
  for (size_t i = prefix.size(); i < name.size(); ++i) {
    if (!is_unique_char(name[i])) return false;
  }
  return true;
}

std::string article(const std::string& subject, size_t body_bytes, bool with_path = true) {
  std::string text;
  if (with_path) text += "Path: news.example!not-for-mail\n";
  text += "Message-ID: <" + subject + "@example>\nSubject: " + subject + "\n\n";
  while (text.size() < body_bytes) text += "some body text\n";
  return text;
}

std::string rnews(const std::string& text) {
  return "#! rnews " + std::to_string(text.size()) + "\n" + text;
}

bool spool(const std::string& text, bool has_path = true) {
  return fetch::spool_article(text.data(), text.size(), has_path);
}

class SpoolTest : public testing::Test {
 protected:
  void SetUp() override {
    base::Settings& s = base::g_settings;
    s.paths.incoming = site_.path("incoming");
    s.spool_name = "alpha";
    s.server_host = "alpha";
    s.inn_mode = true;
    s.pipe_program.reset();
    s.pipe_name.reset();
    s.pipe_batch_mode = false;
    s.inews_options.reset();
    s.add_header.reset();
    s.verbosity = 0;
  }

  void TearDown() override {
    fetch::flush_spool(false);  // leave no batch open for the next test
  }

  std::vector<std::string> incoming() const { return site_.list("incoming"); }

  // The content of the only published batch.
  std::string only_batch() const {
    const std::vector<std::string> names = incoming();
    EXPECT_EQ(names.size(), 1u);
    return names.empty() ? "" : site_.read("incoming/" + names[0]);
  }

  // A program that records each run's arguments and input under runs/N.args
  // and runs/N.in, then exits with status.
  void write_recorder(int status = 0) {
    const std::string runs = site_.path("runs");
    site_.write("runs/.keep", "");
    site_.write("bin/record",
                "#!/bin/sh\n"
                "n=$(( $(cat " +
                    runs +
                    "/count 2>/dev/null || echo 0) + 1 ))\n"
                    "echo $n > " +
                    runs +
                    "/count\n"
                    "echo $# > " +
                    runs +
                    "/$n.args\n"
                    "for a in \"$@\"; do printf '[%s]\\n' \"$a\" >> " +
                    runs +
                    "/$n.args; done\n"
                    "cat > " +
                    runs +
                    "/$n.in\n"
                    "exit " +
                    std::to_string(status) + "\n");
    chmod(site_.path("bin/record").c_str(), 0755);
  }

  void use_pipe(const std::string& program, const char* name, bool batch_mode) {
    base::g_settings.pipe_program = program;
    base::g_settings.pipe_name = name;
    base::g_settings.pipe_batch_mode = batch_mode;
  }

  int runs() const {
    const std::string count = site_.read("runs/count");
    return count.empty() ? 0 : atoi(count.c_str());
  }

  testsupport::TempSite site_;
  testsupport::SettingsGuard settings_guard_;
};

TEST_F(SpoolTest, InnBatchIsWrittenUnderTmpNameAndPublishedUnderSpoolName) {
  const std::string text = article("one", 200);
  ASSERT_TRUE(spool(text));

  std::vector<std::string> names = incoming();
  ASSERT_EQ(names.size(), 1u);
  EXPECT_TRUE(has_unique_suffix(names[0], ".tmp.alpha")) << names[0];

  EXPECT_TRUE(fetch::flush_spool(false));
  names = incoming();
  ASSERT_EQ(names.size(), 1u);
  EXPECT_TRUE(has_unique_suffix(names[0], "alpha")) << names[0];
  EXPECT_EQ(site_.read("incoming/" + names[0]), rnews(text));
}

TEST_F(SpoolTest, EachArticleIsPrecededByItsExactLength) {
  std::string first = "Path: x\nSubject: exact\n\n";
  first += std::string(1234 - first.size() - 1, 'b') + "\n";
  ASSERT_EQ(first.size(), 1234u);
  const std::string second = article("second", 10);
  ASSERT_TRUE(spool(first));
  ASSERT_TRUE(spool(second));
  ASSERT_TRUE(spool(""));  // nothing at all is written for an empty article
  ASSERT_TRUE(fetch::flush_spool(false));

  const std::string batch = only_batch();
  const std::string header = "#! rnews 1234\n";
  ASSERT_EQ(batch.compare(0, header.size(), header), 0);
  // The next header line starts exactly the announced number of bytes later.
  EXPECT_EQ(batch.compare(header.size() + first.size(), 9, "#! rnews "), 0);
  EXPECT_EQ(batch, rnews(first) + rnews(second));
}

TEST_F(SpoolTest, EveryFlushStartsANewBatch) {
  ASSERT_TRUE(spool(article("a", 50)));
  ASSERT_TRUE(fetch::flush_spool(false));
  ASSERT_TRUE(spool(article("b", 50)));
  ASSERT_TRUE(fetch::flush_spool(false));
  const std::vector<std::string> names = incoming();
  ASSERT_EQ(names.size(), 2u);
  EXPECT_NE(site_.read("incoming/" + names[0]), site_.read("incoming/" + names[1]));
}

// C News naming: time, process id, sequence. A fresh process is needed to see
// the sequence start at 1, so the checks run in a re-executed child.
void publish_two_batches_and_check_names() {
  const time_t before = time(nullptr);
  for (int i = 0; i < 2; ++i) {
    const std::string text = "Path: x\n\nbatch " + std::to_string(i) + "\n";
    if (!fetch::spool_article(text.data(), text.size(), true) || !fetch::flush_spool(false)) {
      fprintf(stderr, "spooling failed\n");
      exit(1);
    }
  }
  const time_t after = time(nullptr);
  const std::string incoming = base::text_or_empty(base::g_settings.paths.incoming);
  const std::vector<std::string> found = list_dir(incoming);
  if (found.size() != 2) {
    fprintf(stderr, "expected two batches, got %zu\n", found.size());
    exit(1);
  }
  int seen = 0;
  for (const std::string& name : found) {
    long seconds = 0;
    int pid = 0;
    int sequence = 0;
    char tail[8] = "";
    if (sscanf(name.c_str(), "%ld.%d.%d.%7s", &seconds, &pid, &sequence, tail) != 4 ||
        strcmp(tail, "t") != 0 || seconds < before || seconds > after || pid != getpid() ||
        sequence < 1 || sequence > 2) {
      fprintf(stderr, "bad batch name: %s\n", name.c_str());
      exit(1);
    }
    const std::string expected = rnews("Path: x\n\nbatch " + std::to_string(sequence - 1) + "\n");
    if (read_file(incoming + "/" + name) != expected) {
      fprintf(stderr, "batch %s holds the wrong article\n", name.c_str());
      exit(1);
    }
    seen |= 1 << sequence;
  }
  exit(seen == 6 ? 0 : 1);
}

TEST_F(SpoolTest, CNewsBatchNamesCarryTimePidAndSequence) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  base::g_settings.inn_mode = false;
  EXPECT_EXIT(publish_two_batches_and_check_names(), ExitedWithCode(0), "");
}

TEST_F(SpoolTest, NumericServerHostUsesCNewsNamingInInnMode) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  base::g_settings.server_host = "192.0.2.7";
  EXPECT_EXIT(publish_two_batches_and_check_names(), ExitedWithCode(0), "");
}

TEST_F(SpoolTest, FlushWithoutBatchSaysSoInTheChosenClass) {
  base::g_settings.verbosity = 5;
  testsupport::CaptureFd err;
  EXPECT_TRUE(fetch::flush_spool(false));
  base::g_settings.verbosity = 1;  // progress messages only
  EXPECT_TRUE(fetch::flush_spool(false));
  EXPECT_TRUE(fetch::flush_spool(true));
  const std::string text = err.take();
  size_t count = 0;
  for (size_t at = text.find("no spool to flush"); at != std::string::npos;
       at = text.find("no spool to flush", at + 1)) {
    ++count;
  }
  EXPECT_EQ(count, 2u) << text;
  EXPECT_TRUE(incoming().empty());
}

TEST_F(SpoolTest, InewsRunsOncePerArticleWithOneArgumentAndNoHeaderLine) {
  write_recorder();
  use_pipe(site_.path("bin/record"), "inews", false);
  base::g_settings.inews_options = "-hOS";
  const std::string first = article("first", 300);
  const std::string second = article("second", 100);
  ASSERT_TRUE(spool(first));
  EXPECT_EQ(runs(), 1);  // waited for before spool_article returned
  ASSERT_TRUE(spool(second));
  EXPECT_EQ(runs(), 2);

  EXPECT_EQ(site_.read("runs/1.args"), "1\n[-hOS]\n");
  EXPECT_EQ(site_.read("runs/2.args"), "1\n[-hOS]\n");
  EXPECT_EQ(site_.read("runs/1.in"), first);
  EXPECT_EQ(site_.read("runs/2.in"), second);
  EXPECT_TRUE(incoming().empty());
}

TEST_F(SpoolTest, InewsOptionsWithBlanksStayOneArgument) {
  write_recorder();
  use_pipe(site_.path("bin/record"), "poster", false);
  base::g_settings.inews_options = "-h -O  -S";
  ASSERT_TRUE(spool(article("x", 50)));
  EXPECT_EQ(site_.read("runs/1.args"), "1\n[-h -O  -S]\n");
}

TEST_F(SpoolTest, RnewsPipeGetsWholeBatchesWithoutArguments) {
  write_recorder();
  use_pipe(site_.path("bin/record"), "rnews", true);
  const std::string first = article("first", 70000);  // more than a pipe holds
  const std::string second = article("second", 100);
  ASSERT_TRUE(spool(first));
  ASSERT_TRUE(spool(second));
  ASSERT_TRUE(fetch::flush_spool(false));
  ASSERT_TRUE(spool(article("third", 10)));
  ASSERT_TRUE(fetch::flush_spool(false));

  EXPECT_EQ(runs(), 2);
  EXPECT_EQ(site_.read("runs/1.args"), "0\n");
  EXPECT_EQ(site_.read("runs/1.in"), rnews(first) + rnews(second));
  EXPECT_EQ(site_.read("runs/2.in"), rnews(article("third", 10)));
  EXPECT_TRUE(incoming().empty());
}

// What the pull loop decides from: the article bytes stored since it reset
// the count, and the articles no published batch holds yet.
TEST_F(SpoolTest, CountsStoredBytesAndArticlesNotYetPublished) {
  const std::string one = article("one", 300);
  const std::string two = article("two", 500);
  const int64_t both = static_cast<int64_t>(one.size() + two.size());
  fetch::reset_batch_size();
  EXPECT_EQ(fetch::unpublished_articles(), 0);
  ASSERT_TRUE(spool(one));
  ASSERT_TRUE(spool(two));
  EXPECT_EQ(fetch::unpublished_articles(), 2);
  EXPECT_EQ(fetch::batch_size(), both);  // the text alone, without its "#! rnews" line

  ASSERT_TRUE(fetch::flush_spool(false));
  EXPECT_EQ(fetch::unpublished_articles(), 0);
  EXPECT_EQ(fetch::batch_size(), both);  // until the loop resets it
  fetch::reset_batch_size();
  EXPECT_EQ(fetch::batch_size(), 0);

  // inews publishes every article as it is stored.
  write_recorder();
  use_pipe(site_.path("bin/record"), "inews", false);
  ASSERT_TRUE(spool(one));
  EXPECT_EQ(fetch::unpublished_articles(), 0);
  EXPECT_EQ(fetch::batch_size(), static_cast<int64_t>(one.size()));
}

TEST_F(SpoolTest, ProgramFailureEndsTheRunWithStatus6) {
  write_recorder(3);
  use_pipe(site_.path("bin/record"), "inews", false);
  base::g_settings.inews_options = "-hOS";
  base::g_settings.verbosity = 1;
  EXPECT_EXIT(spool(article("x", 50)), ExitedWithCode(6),
              "inews status is 768(.|\n)*error closing inews pipe");

  use_pipe(site_.path("bin/record"), "rnews", true);
  EXPECT_EXIT(
      {
        spool(article("x", 50));
        fetch::flush_spool(false);
      },
      ExitedWithCode(6), "rnews status is 768(.|\n)*error closing rnews pipe");
}

void spool_into_program_that_stops_reading() {
  const std::string big(200000, 'x');
  const std::string text = "Path: x\n\n" + big + "\n";
  testsupport::CaptureFd err;
  const bool first = fetch::spool_article(text.data(), text.size(), true);
  const bool second = fetch::spool_article("Path: y\n\nz\n", 11, true);
  const std::string messages = err.take();
  fputs(messages.c_str(), stderr);
  if (first || second) exit(1);
  if (!contains(messages, "error writing to incoming spool") ||
      !contains(messages, "problems with incoming spool")) {
    exit(2);
  }
  exit(fetch::flush_spool(false) ? 0 : 3);
}

TEST_F(SpoolTest, ProgramThatStopsReadingFailsTheWriteWithoutKillingUs) {
  site_.write("bin/quitter", "#!/bin/sh\nexec head -c 5 >/dev/null\n");
  chmod(site_.path("bin/quitter").c_str(), 0755);
  use_pipe(site_.path("bin/quitter"), "rnews", true);
  EXPECT_EXIT(spool_into_program_that_stops_reading(), ExitedWithCode(0),
              "error writing to incoming spool");
}

// A write that fails half-way (here: the file size limit) must not leave the
// partial article in the batch that gets published.
void fail_second_article_half_way(const std::string& incoming) {
  signal(SIGXFSZ, SIG_IGN);
  const std::string first = "Path: x\n\nfirst\n";
  const std::string second = "Path: x\n\n" + std::string(500, 's') + "\n";
  const std::string third = "Path: x\n\nthird\n";
  if (!fetch::spool_article(first.data(), first.size(), true)) exit(1);

  struct rlimit saved;
  getrlimit(RLIMIT_FSIZE, &saved);
  struct rlimit small = saved;
  small.rlim_cur = 100;
  setrlimit(RLIMIT_FSIZE, &small);
  const bool second_ok = fetch::spool_article(second.data(), second.size(), true);
  setrlimit(RLIMIT_FSIZE, &saved);
  if (second_ok) exit(2);

  // The batch goes on with the next article, and only whole ones are published.
  if (!fetch::spool_article(third.data(), third.size(), true)) exit(3);
  if (!fetch::flush_spool(false)) exit(4);
  const std::vector<std::string> names = list_dir(incoming);
  if (names.size() != 1) exit(5);
  const std::string content = read_file(incoming + "/" + names[0]);
  const std::string expected = rnews(first) + rnews(third);
  if (content != expected) {
    fprintf(stderr, "published:\n%s\n", content.c_str());
    exit(6);
  }
  exit(0);
}

TEST_F(SpoolTest, FailedWriteIsCutBackOutOfTheBatch) {
  EXPECT_EXIT(fail_second_article_half_way(site_.path("incoming")), ExitedWithCode(0),
              "error writing to incoming spool");
}

TEST_F(SpoolTest, FailedRenameDeletesTheBatchAndEndsWithStatus6) {
  // Take the directory away from under the batch so that the rename cannot succeed.
  EXPECT_EXIT(
      {
        spool(article("x", 50));
        rename(site_.path("incoming").c_str(), site_.path("moved").c_str());
        mkdir(site_.path("incoming").c_str(), 0755);
        fetch::flush_spool(false);
      },
      ExitedWithCode(6), "can't rename \".*\\.tmp\\.alpha");
}

void spool_after_closing_for_good(const std::string& incoming) {
  testsupport::CaptureFd err;
  const std::string text = "Path: x\n\nlate\n";
  fetch::close_spool_for_good();
  const bool stored = fetch::spool_article(text.data(), text.size(), true);
  base::g_settings.verbosity = 5;
  fetch::flush_spool(false);
  const std::string messages = err.take();
  fputs(messages.c_str(), stderr);
  if (stored) exit(1);
  exit(list_dir(incoming).empty() ? 0 : 2);
}

TEST_F(SpoolTest, ClosedForGoodRefusesArticlesAndOpensNoBatch) {
  EXPECT_EXIT(spool_after_closing_for_good(site_.path("incoming")), ExitedWithCode(0),
              "no spool to flush");
}

// --add-header: the "#! rnews" length always covers what was added.
TEST_F(SpoolTest, AddHeaderPathAddsFormedPathOnlyWhereMissing) {
  base::g_settings.add_header = "Path";
  const char* first_site = groups::first_site_name();
  const std::string site = *first_site != '\0' ? first_site : "alpha";
  const std::string with_path = article("with", 40);
  const std::string without = article("without", 40, false);
  ASSERT_TRUE(spool(with_path, true));
  ASSERT_TRUE(spool(without, false));
  ASSERT_TRUE(fetch::flush_spool(false));
  EXPECT_EQ(only_batch(), rnews(with_path) + rnews("Path: " + site + "!not-for-mail\n" + without));
}

TEST_F(SpoolTest, AddHeaderLineIsAddedToEveryArticle) {
  base::g_settings.add_header = "X-Gateway: tessu at alpha";
  const char* first_site = groups::first_site_name();
  const std::string site = *first_site != '\0' ? first_site : "alpha";
  const std::string with_path = article("with", 40);
  const std::string without = article("without", 40, false);
  ASSERT_TRUE(spool(with_path, true));
  ASSERT_TRUE(spool(without, false));
  ASSERT_TRUE(fetch::flush_spool(false));
  EXPECT_EQ(only_batch(),
            rnews("X-Gateway: tessu at alpha\n" + with_path) +
                rnews("Path: " + site + "!not-for-mail\nX-Gateway: tessu at alpha\n" + without));
}

TEST_F(SpoolTest, AddHeaderPathLineReplacesTheFormedOneAndNeverDoublesPath) {
  base::g_settings.add_header = "Path: gate!not-for-mail";
  const std::string with_path = article("with", 40);
  const std::string without = article("without", 40, false);
  ASSERT_TRUE(spool(with_path, true));
  ASSERT_TRUE(spool(without, false));
  ASSERT_TRUE(fetch::flush_spool(false));
  EXPECT_EQ(only_batch(), rnews(with_path) + rnews("Path: gate!not-for-mail\n" + without));
}

TEST_F(SpoolTest, AddHeaderTextWithoutHeaderNameNeverBecomesALine) {
  for (const char* bad : {"NoColonHere", ": no name", "Bad Name: x", "X-A: b\nX-C: d"}) {
    SCOPED_TRACE(bad);
    base::g_settings.add_header = bad;
    const std::string with_path = article("with", 40);
    ASSERT_TRUE(spool(with_path, true));
    ASSERT_TRUE(fetch::flush_spool(false));
    EXPECT_EQ(only_batch(), rnews(with_path));
    for (const std::string& name : incoming()) unlink(site_.path("incoming/" + name).c_str());
  }
}

TEST(MakeUniqueName, TemplatesWithoutSixTrailingXFailAtOnce) {
  char five[] = "XXXXX";
  EXPECT_FALSE(fetch::make_unique_name(five));
  EXPECT_STREQ(five, "XXXXX");
  char short_tail[] = "/tmp/spoolXXXXX";
  EXPECT_FALSE(fetch::make_unique_name(short_tail));
  EXPECT_STREQ(short_tail, "/tmp/spoolXXXXX");
  char inner[] = "/tmp/XXXXXXspool";
  EXPECT_FALSE(fetch::make_unique_name(inner));
  EXPECT_STREQ(inner, "/tmp/XXXXXXspool");
}

TEST(MakeUniqueName, FreeNameOnFirstAttemptLeavesRandomGeneratorAlone) {
  testsupport::TempSite site;
  srand(4711);
  const int expected = rand();
  srand(4711);
  std::string path = site.path("incoming/alphaXXXXXX");
  std::vector<char> buffer(path.begin(), path.end());
  buffer.push_back('\0');
  ASSERT_TRUE(fetch::make_unique_name(buffer.data()));
  EXPECT_EQ(rand(), expected);

  const std::string result(buffer.data());
  const std::string prefix = site.path("incoming/alpha");
  EXPECT_TRUE(has_unique_suffix(result, prefix)) << result;
  EXPECT_FALSE(site.exists("incoming/" + result.substr(result.rfind('/') + 1)));
}

TEST(MakeUniqueName, LookupErrorOtherThanMissingFails) {
  testsupport::TempSite site;
  site.write("plainfile", "x");
  std::string path = site.path("plainfile/alphaXXXXXX");  // ENOTDIR, not ENOENT
  std::vector<char> buffer(path.begin(), path.end());
  buffer.push_back('\0');
  EXPECT_FALSE(fetch::make_unique_name(buffer.data()));
}

}  // namespace
