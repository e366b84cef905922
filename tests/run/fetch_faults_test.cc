// Fetch runs that end badly: the server closes mid-article, stalls, refuses a
// command, the news program fails, a signal arrives. Whatever happens, the
// published batches hold only whole articles, the host active file keeps
// every line and records the latest article whose outcome was settled, and
// the next run fetches what is missing, offering that one article again (the
// news system refuses the duplicate).
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <csignal>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "support/news_site.h"
#include "support/wait.h"

namespace {

using testsupport::concat;
using testsupport::contains;
using testsupport::Fault;
using testsupport::message_id_of;
using testsupport::RunResult;
using testsupport::split_batch;
using Strings = std::vector<std::string>;
using Ids = std::multiset<std::string>;

constexpr const char* kSpool = "upstream";

struct FetchFault : testsupport::NewsSiteTest {
  Ids all_ids;

  FetchFault() : NewsSiteTest(kSpool, "*") { fixed_options = {"--nopost", "-d"}; }

  void SetUp() override {
    NewsSiteTest::SetUp();
    if (HasFatalFailure()) return;
    mkdir(site.path("out").c_str(), 0755);
  }

  // Adds articles first..last of group; their IDs join all_ids.
  void add_range(const std::string& group, long first, long last) {
    for (long n = first; n <= last; ++n)
      add(group, n, "<" + std::to_string(n) + "." + group + "@test>");
  }
  void add(const std::string& group, long n, const std::string& id) {
    server.add_simple_article(group, n, id, "upstream!poster");
    all_ids.insert(id);
  }

  // Every article published so far, in the incoming spool (rnews batches)
  // and in the out directory (batches or bare articles written by scripts).
  Ids published_ids() const {
    Ids ids;
    for (const std::string& name : site.list("incoming")) {
      EXPECT_NE(name.rfind(".tmp.", 0), 0u) << "batch left under its temporary name: " << name;
      Strings articles;
      EXPECT_TRUE(split_batch(site.read("incoming/" + name), &articles)) << name;
      for (const std::string& text : articles) ids.insert(message_id_of(text));
    }
    for (const std::string& name : site.list("out")) {
      const std::string content = site.read("out/" + name);
      if (name.rfind("article.", 0) == 0) {
        ids.insert(message_id_of(content));
        continue;
      }
      Strings articles;
      EXPECT_TRUE(split_batch(content, &articles)) << name;
      for (const std::string& text : articles) ids.insert(message_id_of(text));
    }
    return ids;
  }

  // A news program that stores what it is given under out/, except on its
  // fail_at-th run (counted over all runs), when it takes the input and fails.
  std::string news_program(const std::string& name, const std::string& prefix, int fail_at) {
    const std::string out = site.path("out");
    const std::string count = site.path(name + ".count");
    site.write("bin/" + name,
               "#!/bin/sh\n"
               "n=$(cat " +
                   count +
                   " 2>/dev/null || echo 0)\n"
                   "n=$((n + 1))\n"
                   "echo $n > " +
                   count +
                   "\n"
                   "if [ \"$n\" = \"" +
                   std::to_string(fail_at) +
                   "\" ]; then cat >/dev/null; exit 1; fi\n"
                   "f=$(mktemp " +
                   out + "/" + prefix +
                   ".XXXXXX) || exit 2\n"
                   "cat > \"$f\"\n");
    chmod(site.path("bin/" + name).c_str(), 0755);
    return site.path("bin/" + name);
  }

  // The run after a fault: succeeds and completes the fetch; of what the
  // faulty run published, only the articles offered_again come twice.
  void expect_next_run_completes(const Ids& offered_again, const Strings& extra = {}) {
    server.set_faults({});
    const RunResult result = run(extra);
    EXPECT_EQ(result.status, 0) << result.err;
    Ids expected = all_ids;
    expected.insert(offered_again.begin(), offered_again.end());
    EXPECT_EQ(published_ids(), expected);
  }
};

// The records of a statistics file: for each run its time line's state ("OK"
// or "Ab") and the number line's fetc column.
struct StatRecord {
  std::string state;
  long fetched = -1;
  bool operator==(const StatRecord&) const = default;
};

void PrintTo(const StatRecord& record, std::ostream* out) {
  *out << record.state << " fetc " << record.fetched;
}

std::vector<StatRecord> stat_records(const std::string& text) {
  std::vector<StatRecord> records;
  std::istringstream lines(text);
  std::string line;
  while (std::getline(lines, line)) {
    if (line.rfind("T ", 0) == 0) {
      records.push_back(StatRecord{line.substr(2, 2), -1});
    } else if (line.rfind("N ", 0) == 0 && !records.empty()) {
      std::istringstream fields(line.substr(2));
      long post = -1;
      fields >> post >> records.back().fetched;
    }
  }
  return records;
}

// The server closes inside article 3 of 1 to 5: 2 is the latest article
// settled, so 2 is recorded and looked at again by the next run.
TEST_F(FetchFault, ServerClosingInsideAnArticleRecordsTheLatestSettled) {
  set_active({"comp.a", "comp.b"});
  add_range("comp.a", 1, 5);
  add_range("comp.b", 1, 3);
  set_host_active("comp.a 1\ncomp.b 1\n# tail\n");
  server.set_faults({Fault{Fault::kCloseMidReply, "ARTICLE", 3, "", 0}});
  const Strings options = {"--stat", site.path("stats")};

  const RunResult result = run(concat(options, {"--debug", "5"}));
  EXPECT_EQ(result.status, 9) << result.err;
  EXPECT_TRUE(contains(result.err, "transfer interrupted")) << result.err;
  EXPECT_TRUE(contains(result.err, "latest article was 2")) << result.err;
  EXPECT_TRUE(contains(result.err, "article fetch aborted")) << result.err;
  EXPECT_EQ(host_active(), "comp.a 2\ncomp.b 1\n# tail\n");
  EXPECT_EQ(published_ids(), (Ids{"<1.comp.a@test>", "<2.comp.a@test>"}));
  EXPECT_EQ(stat_records(site.read("stats")), (std::vector<StatRecord>{{"Ab", 2}}));

  expect_next_run_completes({"<2.comp.a@test>"}, options);
  EXPECT_EQ(host_active(), "comp.a 6\ncomp.b 4\n# tail\n");
  // comp.a 2 to 5 and comp.b 1 to 3.
  EXPECT_EQ(stat_records(site.read("stats")), (std::vector<StatRecord>{{"Ab", 2}, {"OK", 7}}));
  // Article 1 of comp.a is not asked for again, only comp.b's.
  EXPECT_EQ(server.count_commands("STAT 1"), 2u);
}

TEST_F(FetchFault, StalledServerTimesOut) {
  set_active({"comp.a"});
  add_range("comp.a", 1, 4);
  set_host_active("comp.a 1\n");
  server.set_faults({Fault{Fault::kStall, "ARTICLE", 2, "", 0}});

  const RunResult result = run({"--timeout", "2"});
  EXPECT_EQ(result.status, 9) << result.err;
  EXPECT_EQ(host_active(), "comp.a 1\n");
  EXPECT_EQ(published_ids(), (Ids{"<1.comp.a@test>"}));
  expect_next_run_completes({"<1.comp.a@test>"});
  EXPECT_EQ(host_active(), "comp.a 5\n");
}

TEST_F(FetchFault, GroupNotCarriedIsSkippedAndFetchedLater) {
  set_active({"comp.a", "comp.b"});
  add_range("comp.a", 1, 2);
  add_range("comp.b", 1, 2);
  set_host_active("comp.a 1\ncomp.b 1\n");
  server.set_faults({Fault{Fault::kReplyCode, "GROUP", 1, "411 no such news group", 0}});

  const RunResult result = run({});
  EXPECT_EQ(result.status, 0) << result.err;
  EXPECT_TRUE(contains(result.err, "server does not carry group \"comp.a\"")) << result.err;
  EXPECT_EQ(host_active(), "comp.a 1\ncomp.b 3\n");
  expect_next_run_completes({});
}

TEST_F(FetchFault, RefusedGroupStopsThePullAndKeepsTheRest) {
  set_active({"comp.a", "comp.b", "comp.c"});
  add_range("comp.a", 1, 2);
  add_range("comp.b", 1, 2);
  add_range("comp.c", 1, 2);
  set_host_active("comp.a 1\ncomp.b 1\n:tag\ncomp.c 1\n");
  server.set_faults({Fault{Fault::kReplyCode, "GROUP", 2, "503 program fault", 0}});

  const RunResult result = run({});
  EXPECT_EQ(result.status, 9) << result.err;
  EXPECT_TRUE(contains(result.err, "NNTP group select protocol error")) << result.err;
  EXPECT_EQ(host_active(), "comp.a 3\ncomp.b 1\n:tag\ncomp.c 1\n");
  expect_next_run_completes({});
}

TEST_F(FetchFault, RefusedArticleStopsThePull) {
  set_active({"comp.a", "comp.b"});
  add_range("comp.a", 1, 5);
  add_range("comp.b", 1, 2);
  set_host_active("comp.a 1\ncomp.b 1\n");
  server.set_faults({Fault{Fault::kReplyCode, "ARTICLE", 3, "503 temporary failure", 0}});

  const RunResult result = run({});
  EXPECT_EQ(result.status, 9) << result.err;
  EXPECT_TRUE(contains(result.err, "NNTP article read error")) << result.err;
  EXPECT_EQ(host_active(), "comp.a 2\ncomp.b 1\n");
  EXPECT_EQ(published_ids(), (Ids{"<1.comp.a@test>", "<2.comp.a@test>"}));
  expect_next_run_completes({"<2.comp.a@test>"});
}

TEST_F(FetchFault, FailingRnewsProgramAfterAnEarlierBatch) {
  set_active({"comp.a", "comp.b"});
  add_range("comp.a", 1, 4);
  add_range("comp.b", 1, 2);
  set_host_active("comp.a 1\ncomp.b 1\n");
  // One article per batch; the program fails on the second batch.
  const std::string program = news_program("rnews-to", "batch", 2);
  const Strings options = {"--rnews-to", program, "--window", "0", "--size", "1"};

  const RunResult result = run(options);
  EXPECT_EQ(result.status, 6) << result.err;
  EXPECT_TRUE(contains(result.err, "error closing")) << result.err;
  EXPECT_EQ(published_ids(), (Ids{"<1.comp.a@test>"}));
  // Article 2 went down with the failed batch: the record stays at the
  // latest article published, 1, which is offered again.
  EXPECT_EQ(host_active(), "comp.a 1\ncomp.b 1\n");
  expect_next_run_completes({"<1.comp.a@test>"}, options);
}

TEST_F(FetchFault, FailingRnewsProgramAtTheFinalFlush) {
  set_active({"comp.a", "comp.b"});
  add_range("comp.a", 1, 3);
  add_range("comp.b", 1, 2);
  set_host_active("comp.a 1\ncomp.b 1\n");
  const Strings options = {"--rnews-to", news_program("rnews-to", "batch", 1)};

  const RunResult result = run(options);
  EXPECT_EQ(result.status, 6) << result.err;
  EXPECT_TRUE(published_ids().empty());
  EXPECT_EQ(host_active(), "comp.a 1\ncomp.b 1\n");
  expect_next_run_completes({}, options);
}

TEST_F(FetchFault, FatalErrorMidGroupCarriesTheRestOfTheFileOver) {
  set_active({"comp.a", "comp.b"});
  add_range("comp.a", 1, 5);
  add_range("comp.b", 1, 2);
  const std::string old_file =
      "# keep me\ncomp.a 1\n:tag\n!bad line\ncomp.b 1\ngone.group 5\n# last\n";
  set_host_active(old_file);
  // One article per program run; the third fails and ends the run.
  const Strings options = {"--pipe-to", news_program("pipe-to", "article", 3)};

  const RunResult result = run(options);
  EXPECT_EQ(result.status, 6) << result.err;
  EXPECT_EQ(published_ids(), (Ids{"<1.comp.a@test>", "<2.comp.a@test>"}));
  EXPECT_EQ(host_active(),
            "# keep me\ncomp.a 2\n:tag\n#ERR# !bad line\ncomp.b 1\ngone.group 5\n# last\n");
  EXPECT_EQ(site.read(std::string("inhosts/") + kSpool + ".old"), old_file);
  expect_next_run_completes({"<2.comp.a@test>"}, options);
}

TEST_F(FetchFault, TerminatedWhileWaitingForAnArticle) {
  set_active({"comp.a", "comp.b"});
  add_range("comp.a", 1, 5);
  add_range("comp.b", 1, 2);
  set_host_active("comp.a 1\ncomp.b 1\n");
  server.set_faults({Fault{Fault::kStall, "ARTICLE", 3, "", 0}});

  testsupport::Running running = testsupport::start_tessu(args({"--timeout", "120"}));
  ASSERT_TRUE(testsupport::wait_until([&] {
    const std::vector<std::string> commands = server.commands();
    return std::find(commands.begin(), commands.end(), "ARTICLE 3") != commands.end();
  }));
  kill(running.pid, SIGTERM);
  const RunResult result = testsupport::finish_tessu(running);
  EXPECT_FALSE(result.signaled) << result.err;
  EXPECT_NE(result.status, 0) << result.err;
  EXPECT_TRUE(contains(result.err, "received signal")) << result.err;
  EXPECT_EQ(published_ids(), (Ids{"<1.comp.a@test>", "<2.comp.a@test>"}));
  EXPECT_EQ(host_active(), "comp.a 2\ncomp.b 1\n");
  expect_next_run_completes({"<2.comp.a@test>"});
}

TEST_F(FetchFault, PendingArticleBehindACrosspostIsNotPassedOver) {
  set_active({"comp.a", "comp.b"});
  add("comp.a", 1, "<shared@test>");
  add("comp.b", 1, "<b1@test>");
  add("comp.b", 2, "<shared@test>");
  add("comp.b", 3, "<b3@test>");
  set_host_active("comp.a 1\ncomp.b 1\n");
  // comp.b's first ARTICLE breaks off after the crosspost was already
  // settled and while ARTICLE 3 is pending.
  server.set_faults({Fault{Fault::kCloseMidReply, "ARTICLE", 2, "", 0}});

  const RunResult result = run({"--window", "10"});
  EXPECT_EQ(result.status, 9) << result.err;
  EXPECT_EQ(host_active(), "comp.a 2\ncomp.b 1\n");
  EXPECT_EQ(published_ids(), (Ids{"<shared@test>"}));

  server.set_faults({});
  const RunResult next = run({});
  EXPECT_EQ(next.status, 0) << next.err;
  const Ids ids = published_ids();
  EXPECT_EQ(ids.count("<b1@test>"), 1u);
  EXPECT_EQ(ids.count("<b3@test>"), 1u);
  // The duplicate cache lasts one run: the next run meets the crosspost in
  // comp.b only, and hands it over again for the news system to refuse.
  EXPECT_EQ(ids.count("<shared@test>"), 2u);
  EXPECT_EQ(host_active(), "comp.a 2\ncomp.b 4\n");
}

}  // namespace
