// Whole runs over sparse groups, whose range is far larger than their article
// count, so that NEXT finds the articles after the first STAT. ARTICLE n and
// STAT n make n the server's current article: queued behind NEXT commands
// still in flight they take the server back, and the walk must still reach
// every article up to the group's last, fetch each wanted one once, and
// record exactly one more than the last. Each case runs at several windows,
// window 0 (no pipelining) being the plain request-reply conversation.
#include <algorithm>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "support/news_site.h"

namespace {

using testsupport::RunResult;
using testsupport::split_batch;
using Strings = std::vector<std::string>;

constexpr const char* kSpool = "upstream";

std::string tail(const std::string& text) {
  return text.substr(text.size() > 4000 ? text.size() - 4000 : 0);
}

struct SparseWalk : testsupport::NewsSiteTest, testing::WithParamInterface<int> {
  SparseWalk() : NewsSiteTest(kSpool, "*") { fixed_options = {"--nopost", "-d"}; }

  Strings wanted;
  size_t articles = 0;

  void add_wanted(const std::string& group, long first, long last) {
    for (long n = first; n <= last; ++n) {
      const std::string id = "<" + std::to_string(n) + "." + group + "@test>";
      server.add_simple_article(group, n, id);
      wanted.push_back(id);
      ++articles;
    }
  }
  // Articles whose message IDs the fetch refuses as fake without fetching them.
  void add_fakes(const std::string& group, long first, long last) {
    for (long n = first; n <= last; ++n) {
      server.add_simple_article(group, n, "<fake@" + std::to_string(n) + "." + group + ">");
      ++articles;
    }
  }

  // The only group comp.a, to be fetched from 1: wanted articles 1 and 2,
  // fakes from 20001 to fakes_last, and five wanted articles behind them.
  void add_tail_behind_fakes(long fakes_last) {
    set_active({"comp.a"});
    add_wanted("comp.a", 1, 2);
    add_fakes("comp.a", 20001, fakes_last);
    add_wanted("comp.a", fakes_last + 1, fakes_last + 5);
    set_host_active("comp.a 1\n");
  }

  Strings fetched_ids() const {
    Strings ids;
    for (const std::string& name : site.list("incoming")) {
      if (name.rfind(".tmp.", 0) == 0) continue;
      Strings batch;
      EXPECT_TRUE(split_batch(site.read("incoming/" + name), &batch)) << name;
      for (const std::string& text : batch) ids.push_back(testsupport::message_id_of(text));
    }
    std::sort(ids.begin(), ids.end());
    return ids;
  }

  // Runs at the window of the case and checks that every wanted article was
  // fetched exactly once and that the host active file is expected.
  RunResult run_and_check(const std::string& expected_host_active) {
    const RunResult result = run({"--window", std::to_string(GetParam())});
    EXPECT_EQ(result.status, 0) << tail(result.err);
    Strings expected = wanted;
    std::sort(expected.begin(), expected.end());
    EXPECT_EQ(fetched_ids(), expected) << tail(result.err);
    EXPECT_EQ(host_active(), expected_host_active);
    return result;
  }

  // NEXT commands a walk in step with the server sends: one per article after
  // the first, and what the window had in flight at the end and at each
  // wanted article, plus the last "no more".
  size_t next_bound(size_t groups = 1) const {
    const size_t window = std::max(GetParam(), 1);
    return articles + groups * (window + 1) + wanted.size() * window;
  }
};

// One group: two wanted articles, ten thousand fakes far beyond them, and a
// wanted tail right behind the fakes.
TEST_P(SparseWalk, ReachesTheWantedTailBehindTheFakes) {
  add_tail_behind_fakes(29998);
  run_and_check("comp.a 30004\n");
  EXPECT_LE(server.count_commands("NEXT"), next_bound());
  EXPECT_EQ(server.count_commands("ARTICLE"), 7u);
}

// Wanted articles alone and in runs between the fakes, and a tail.
TEST_P(SparseWalk, FetchesWantedArticlesScatteredInTheFakes) {
  set_active({"comp.a"});
  add_wanted("comp.a", 1, 1);
  for (long low = 20001; low < 29000; low += 1000) {
    add_fakes("comp.a", low, low + 899);
    add_wanted("comp.a", low + 900, low + 900);
    add_fakes("comp.a", low + 901, low + 949);
    add_wanted("comp.a", low + 950, low + 999);
  }
  add_fakes("comp.a", 29001, 29990);
  add_wanted("comp.a", 29991, 30000);
  set_host_active("comp.a 1\n");
  run_and_check("comp.a 30001\n");
  EXPECT_EQ(server.count_commands("ARTICLE"), wanted.size());
}

// A gap of a million numbers, then a run of wanted articles up to the last.
TEST_P(SparseWalk, CrossesABigGapToAWantedTail) {
  set_active({"comp.a"});
  add_wanted("comp.a", 1, 3);
  add_wanted("comp.a", 1000001, 1000040);
  set_host_active("comp.a 1\n");
  run_and_check("comp.a 1000041\n");
  EXPECT_LE(server.count_commands("NEXT"), next_bound());
}

// Several sparse groups in a row, each ending in a wanted tail.
TEST_P(SparseWalk, WalksSeveralSparseGroupsInARow) {
  const Strings groups = {"comp.a", "comp.b", "comp.c"};
  set_active(groups);
  std::string before;
  std::string after;
  for (const std::string& group : groups) {
    add_wanted(group, 1, 2);
    add_fakes(group, 20001, 22000);
    add_wanted(group, 22001, 22001);
    add_fakes(group, 22002, 24000);
    add_wanted(group, 24001, 24006);
    before += group + " 1\n";
    after += group + " 24007\n";
  }
  set_host_active(before);
  run_and_check(after);
  EXPECT_LE(server.count_commands("NEXT"), next_bound(groups.size()));
}

// A server whose STAT does not move its current article cannot be put back
// in step: after each ARTICLE its NEXT replies repeat what earlier ones
// reported, and the walk goes on until NEXT reached the group's last all
// the same.
TEST_P(SparseWalk, ReachesTheEndWhenTheServerCannotBePutBackInStep) {
  set_active({"comp.a"});
  add_wanted("comp.a", 1, 2);
  for (long low = 20001; low < 21000; low += 200) {
    add_fakes("comp.a", low, low + 198);
    add_wanted("comp.a", low + 199, low + 199);
  }
  add_fakes("comp.a", 21001, 29998);
  add_wanted("comp.a", 29999, 30003);
  set_host_active("comp.a 1\n");
  server.script.stat_leaves_current = true;
  run_and_check("comp.a 30004\n");
}

// A NEXT reply that makes no sense once the walk has crossed the gap: NEXT
// is given up, and STAT takes over at the first number NEXT did not reach,
// not at the number the walk's steps had run ahead to.
TEST_P(SparseWalk, GarbledNextHandsTheRestToStatWhereNextStopped) {
  add_tail_behind_fakes(20040);
  server.script.faults.push_back(
      testsupport::Fault{testsupport::Fault::kReplyCode, "NEXT", 5, "223 garbled", 0});
  const RunResult result = run_and_check("comp.a 20046\n");
  EXPECT_NE(result.err.find("bad NEXT reponse: 223 garbled"), std::string::npos)
      << tail(result.err);
  EXPECT_EQ(server.count_commands("ARTICLE"), wanted.size());
}

// A walk by NEXT (--missing 0) whose first STAT already asked for the last
// number has reached it: no NEXT follows.
TEST_P(SparseWalk, SendsNoNextAfterAStatOfTheLastNumber) {
  set_active({"comp.a"});
  add_fakes("comp.a", 1, 4);
  add_wanted("comp.a", 5, 5);
  set_host_active("comp.a 5\n");
  const RunResult result = run({"--window", std::to_string(GetParam()), "--missing", "0"});
  EXPECT_EQ(result.status, 0) << tail(result.err);
  EXPECT_EQ(fetched_ids(), wanted);
  EXPECT_EQ(host_active(), "comp.a 6\n");
  EXPECT_EQ(server.count_commands("NEXT"), 0u);
}

INSTANTIATE_TEST_SUITE_P(Windows, SparseWalk, testing::Values(0, 1, 10, 100, 1000));

}  // namespace
