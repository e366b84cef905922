// Fetch runs with --overview against the same scripted groups as runs of the
// standard STAT path: the same batches, the same host active file, the same
// statistics and decisions, also when the server lacks the listing, lists a
// malformed line, or the transfer breaks off, and although the next group's
// GROUP goes out before a group's last ARTICLE replies are read.
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <csignal>
#include <functional>
#include <regex>
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
using testsupport::TempSite;
using testsupport::TestNntpServer;
using Strings = std::vector<std::string>;

constexpr const char* kSpool = "upstream";

// What a run leaves that both modes must agree on.
struct Outcome {
  int status = -1;
  Strings batches;  // the published batches' articles, batch by batch
  std::string host_active;
  std::string numbers;  // the statistics record, the byte count and time left out
  Strings decisions;    // what the run said about articles and groups
  std::string err;
};

// Statistics lines without the gross byte count and the time, which the
// commands sent and the clock decide.
std::string comparable_numbers(const std::string& stats) {
  std::istringstream lines(stats);
  std::string line;
  std::string kept;
  while (std::getline(lines, line)) {
    if (line.rfind("N ", 0) == 0) {
      std::istringstream fields(line.substr(2));
      std::vector<std::string> values;
      std::string value;
      while (fields >> value) values.push_back(value);
      if (values.size() == 14) values[9] = values[11] = "-";
      line = "N";
      for (const std::string& v : values) line += " " + v;
    }
    if (line.rfind("T ", 0) == 0) line = line.substr(0, 4);
    kept += line + "\n";
  }
  return kept;
}

// The messages that tell what was decided, in order; the commands, the
// state and the misses of numbers that STAT asks for and a listing does not
// are left out.
Strings decision_lines(const std::string& err) {
  static const std::regex kDecision(
      "is fake|filtered by message ID|fetching article|disappeared|latest article was|"
      "transfer interrupted|article fetch aborted|omitted|contained new articles|"
      "never seen before|not available|group selected|posted [0-9]+, fetched|skipping");
  Strings lines;
  std::istringstream in(err);
  std::string line;
  while (std::getline(in, line)) {
    if (std::regex_search(line, kDecision)) lines.push_back(line);
  }
  return lines;
}

// One site and its server; the two of a test are given the same groups.
struct Side {
  TempSite site;
  TestNntpServer server;

  std::string host_active() const { return site.read(std::string("inhosts/") + kSpool); }

  Strings args(const Strings& options) const {
    return testsupport::run_args(
        site, concat({"--nopost", "--debug", "5", "--stat", site.path("stats")}, options), kSpool,
        "127.0.0.1", server.port_string());
  }

  Strings batches() const {
    Strings batches;
    for (const std::string& name : site.list("incoming")) {
      EXPECT_NE(name.rfind(".tmp.", 0), 0u) << "batch left under its temporary name: " << name;
      Strings articles;
      EXPECT_TRUE(split_batch(site.read("incoming/" + name), &articles)) << name;
      std::string ids;
      for (const std::string& text : articles) ids += message_id_of(text) + " ";
      batches.push_back(ids);
    }
    return batches;
  }

  Outcome outcome(const RunResult& result) const {
    Outcome o;
    o.status = result.status;
    o.batches = batches();
    o.host_active = host_active();
    o.numbers = comparable_numbers(site.read("stats"));
    o.decisions = decision_lines(result.err);
    o.err = result.err;
    return o;
  }

  Outcome run(const Strings& options) const {
    return outcome(testsupport::run_tessu(args(options)));
  }
};

struct OverviewRun : testing::Test {
  Side stat_side;     // the standard path
  Side listing_side;  // --overview

  void SetUp() override {
    for (Side* side : sides()) {
      ASSERT_GT(side->server.start(), 0);
      side->site.write("etc/newsfeeds", std::string("ME:*::\n") + kSpool + ":*::\n");
    }
  }

  std::vector<Side*> sides() { return {&stat_side, &listing_side}; }

  void add(const std::string& group, long n, const std::string& id = "") {
    const std::string message_id =
        id.empty() ? "<" + std::to_string(n) + "." + group + "@test>" : id;
    for (Side* side : sides()) side->server.add_simple_article(group, n, message_id);
  }
  void add_range(const std::string& group, long first, long last) {
    for (long n = first; n <= last; ++n) add(group, n);
  }
  void add_group(const std::string& group, long low, long high) {
    for (Side* side : sides()) side->server.add_group(group, low, high);
  }
  void set_active(const Strings& groups) {
    std::string text;
    for (const std::string& group : groups) text += group + " 0000000100 0000000001 y\n";
    for (Side* side : sides()) side->site.write("db/active", text);
  }
  void set_host_active(const std::string& text) {
    for (Side* side : sides()) side->site.write(std::string("inhosts/") + kSpool, text);
  }
  // The state before a run of a loop: the host active file, no statistics yet.
  void start_over(const std::string& hosts) {
    set_host_active(hosts);
    for (Side* side : sides()) side->site.write("stats", "");
  }
  void set_faults(const std::vector<Fault>& faults) {
    for (Side* side : sides()) side->server.restart_faults(faults);
  }

  // Runs both modes with options; expects them to agree and returns the
  // listing side's outcome.
  Outcome run_both(const Strings& options) {
    const Outcome by_stat = stat_side.run(options);
    const Outcome by_listing = listing_side.run(concat(options, {"--overview"}));
    expect_same(by_stat, by_listing);
    return by_listing;
  }

  static void expect_same(const Outcome& by_stat, const Outcome& by_listing) {
    expect_same_articles(by_stat, by_listing);
    EXPECT_EQ(by_listing.host_active, by_stat.host_active);
    EXPECT_EQ(by_listing.numbers, by_stat.numbers);
    EXPECT_EQ(by_listing.decisions.size(), by_stat.decisions.size());
    const size_t common = std::min(by_listing.decisions.size(), by_stat.decisions.size());
    for (size_t i = 0; i < common; ++i) {
      if (by_listing.decisions[i] == by_stat.decisions[i]) continue;
      ADD_FAILURE() << "decision " << i << ": --overview \"" << by_listing.decisions[i]
                    << "\", STAT path \"" << by_stat.decisions[i] << "\"";
      break;
    }
  }

  // What an interrupted run must agree on: which articles it published. The
  // number recorded follows from the order of the decisions, which a listing
  // makes before the standard path has its STAT replies.
  static void expect_same_articles(const Outcome& by_stat, const Outcome& by_listing) {
    EXPECT_EQ(by_listing.status, by_stat.status) << by_listing.err;
    EXPECT_EQ(by_listing.batches, by_stat.batches);
  }

  // Runs both modes, which break off as set up.
  Outcome run_both_interrupted(const Strings& options) {
    const Outcome by_stat = stat_side.run(options);
    const Outcome by_listing = listing_side.run(concat(options, {"--overview"}));
    expect_same_articles(by_stat, by_listing);
    return by_listing;
  }

  size_t listing_commands(const std::string& prefix) const {
    return listing_side.server.count_commands(prefix);
  }
};

// Fakes, a crosspost met twice, gaps, a message-ID filter, an unseen group
// with --maxnew: one HDR per group and ARTICLE for the wanted only. HDR goes
// out right behind GROUP, for a block from the recorded number on (comp.b's
// walk starts at its first article, 5, inside the block); with --maxnew the
// unseen group's start is known only from GROUP's reply.
TEST_F(OverviewRun, MakesTheDecisionsOfTheStatPath) {
  set_active({"comp.a", "comp.b", "comp.c", "comp.new"});
  add("comp.a", 1);
  add("comp.a", 2, "<shared@test>");
  add("comp.a", 3, "<fake@3.comp.a>");
  add("comp.a", 7);  // 4 to 6 expired
  add("comp.a", 8, "<8.refuse@test>");
  add_group("comp.a", 1, 10);
  add("comp.b", 5, "<shared@test>");
  add_range("comp.b", 6, 9);
  add("comp.b", 40, "<40.refuse@test>");
  add_group("comp.c", 1, 0);  // empty
  add_range("comp.new", 1, 12);
  set_host_active("comp.a 1\n# comment\ncomp.b 3\ncomp.c 1\n");
  const std::string mfilter = listing_side.site.path("mfilter.sh");
  for (Side* side : sides()) {
    side->site.write("mfilter.sh", "case \"$1\" in *refuse*) exit 1 ;; esac\n");
  }
  const Strings options = {"--mfilter", "sh " + mfilter, "--maxnew", "4"};

  const Outcome outcome = run_both(options);
  EXPECT_EQ(outcome.status, 0) << outcome.err;
  EXPECT_EQ(outcome.host_active, "comp.a 11\n# comment\ncomp.b 41\ncomp.c 1\ncomp.new 13\n");
  EXPECT_EQ(outcome.batches,
            (Strings{"<1.comp.a@test> <shared@test> <7.comp.a@test> <6.comp.b@test> "
                     "<7.comp.b@test> <8.comp.b@test> <9.comp.b@test> <9.comp.new@test> "
                     "<10.comp.new@test> <11.comp.new@test> <12.comp.new@test> "}));
  EXPECT_TRUE(contains(outcome.err, "MSGID <fake@3.comp.a> is fake")) << outcome.err;
  EXPECT_TRUE(
      contains(outcome.err, "omitted 0 articles already in spool, 1 as crosspost, 3 filtered"))
      << outcome.err;
  EXPECT_EQ(listing_commands("HDR Message-ID "), 4u);
  EXPECT_EQ(listing_commands("HDR Message-ID 1-5000"), 2u);  // comp.a and comp.c
  EXPECT_EQ(listing_commands("HDR Message-ID 3-5002"), 1u);
  EXPECT_EQ(listing_commands("HDR Message-ID 9-12"), 1u);
  EXPECT_EQ(listing_commands("STAT"), 0u);
  EXPECT_EQ(listing_commands("ARTICLE"), 11u);
  const Strings wire = listing_side.server.commands();
  EXPECT_EQ(std::count(wire.begin(), wire.end(), "ARTICLE 8"), 1);  // comp.b's, not comp.a's

  // Nothing new: both leave the file alone.
  const Outcome again = run_both(options);
  EXPECT_TRUE(contains(again.err, "no news is good news!")) << again.err;
}

// Without pipelining the standard path walks by NEXT; a listing gives the
// same, and a block of numbers without any article costs no command: after
// the first block, asked for behind GROUP, the rest of the sparse range is
// one block.
TEST_F(OverviewRun, WindowZeroAndLongGaps) {
  set_active({"comp.a", "comp.b"});
  add_range("comp.a", 1, 3);
  add_range("comp.a", 30000, 30002);
  add_group("comp.b", 1, 20);
  add("comp.b", 20);
  set_host_active("comp.a 1\ncomp.b 1\n");

  for (const std::string window : {"0", "1", "1000"}) {
    SCOPED_TRACE(window);
    set_host_active("comp.a 1\ncomp.b 1\n");
    const Outcome outcome = run_both({"--window", window});
    EXPECT_EQ(outcome.status, 0) << outcome.err;
    EXPECT_EQ(outcome.host_active, "comp.a 30003\ncomp.b 21\n");
  }
  EXPECT_EQ(listing_commands("HDR Message-ID 1-5000"), 6u);
  EXPECT_EQ(listing_commands("HDR Message-ID 5001-30002"), 3u);
  EXPECT_EQ(listing_commands("HDR Message-ID 5001-20"), 0u);
}

// More articles than one listing block holds: the second block is asked for
// once the first block's articles are decided. Breaking off in the second
// block, the STAT path records 5000: its ARTICLE 5001 failed while article
// 5000 was the latest settled. A listing has decided on 5004 to 5010 by then
// (fakes, settled), so the failed 5001 lowers the record to 5001: both
// fetch 5001 to 5003 again, the STAT path also offers 5000 a second time.
TEST_F(OverviewRun, BlocksOfAListing) {
  set_active({"comp.a"});
  // All fake but a few around the end of the first block.
  for (long n = 1; n <= 5010; ++n) {
    const bool wanted = n == 1 || (n >= 4998 && n <= 5003);
    add("comp.a", n, wanted ? "" : "<fake@" + std::to_string(n) + ">");
  }
  set_host_active("comp.a 1\n");
  set_faults({Fault{Fault::kCloseMidReply, "ARTICLE", 5, "", 0}});

  const Outcome broken = run_both_interrupted({"--window", "10"});
  EXPECT_EQ(broken.status, 9) << broken.err;
  EXPECT_EQ(stat_side.host_active(), "comp.a 5000\n");
  EXPECT_EQ(broken.host_active, "comp.a 5001\n");
  EXPECT_EQ(listing_commands("HDR Message-ID 1-5000"), 1u);
  EXPECT_EQ(listing_commands("HDR Message-ID 5001-5010"), 1u);

  set_faults({});
  const Outcome completed = listing_side.run({"--window", "10", "--overview"});
  EXPECT_EQ(completed.status, 0) << completed.err;
  EXPECT_EQ(completed.host_active, "comp.a 5011\n");
  EXPECT_EQ(completed.batches.back(), "<5001.comp.a@test> <5002.comp.a@test> <5003.comp.a@test> ");
  EXPECT_EQ(listing_commands("HDR Message-ID 5001-10000"), 1u);
}

// A server whose GROUP reply promises fewer articles than it lists: a
// listing keeps at most 10000 of them, and the numbers after the last one
// kept are asked for again. (--maxart, which cuts nothing here, leaves the
// walk's start to GROUP's reply, so no block of kListingArticles numbers is
// asked for behind GROUP and the whole range is one block.)
TEST_F(OverviewRun, ListingLongerThanPromisedIsCut) {
  set_active({"comp.a"});
  for (long n = 1; n <= 10003; ++n) {
    const bool wanted = n == 2 || n >= 9999;
    add("comp.a", n, wanted ? "" : "<fake@" + std::to_string(n) + ">");
  }
  set_host_active("comp.a 1\n");
  set_faults({Fault{Fault::kReplyCode, "GROUP", 0, "211 1 1 10003 comp.a", 0}});
  // The STAT path walks this range by NEXT, here one command at a time.
  const Outcome outcome = run_both({"--window", "0", "--maxart", "20000"});
  EXPECT_EQ(outcome.status, 0) << outcome.err;
  EXPECT_EQ(outcome.host_active, "comp.a 10004\n");
  EXPECT_EQ(outcome.batches, (Strings{"<2.comp.a@test> <9999.comp.a@test> <10000.comp.a@test> "
                                      "<10001.comp.a@test> <10002.comp.a@test> "
                                      "<10003.comp.a@test> "}));
  EXPECT_EQ(listing_commands("HDR Message-ID 1-10003"), 1u);
  EXPECT_EQ(listing_commands("HDR Message-ID 10001-10003"), 1u);
}

// A server without HDR: XHDR when it knows that, else STAT for the rest of
// the run; either way the same as the standard path. A refusal of the HDR
// behind GROUP is tried once more at the walk's start, where it counts.
TEST_F(OverviewRun, ServerWithoutTheListingFallsBackToStat) {
  set_active({"comp.a", "comp.b"});
  add_range("comp.a", 1, 4);
  add("comp.a", 2, "<fake@2>");
  add_range("comp.b", 1, 3);
  const std::string hosts = "comp.a 1\ncomp.b 1\n";

  struct Case {
    std::vector<Fault> faults;
    size_t hdr, xhdr, stat;
  };
  const std::vector<Case> cases = {
      {{Fault{Fault::kReplyCode, "HDR", 0, "500 what?", 0}}, 1, 2, 0},
      {{Fault{Fault::kReplyCode, "HDR", 0, "500 what?", 0},
        Fault{Fault::kReplyCode, "XHDR", 0, "500 what?", 0}},
       1,
       1,
       7},
      {{Fault{Fault::kReplyCode, "HDR", 0, "503 overview unavailable", 0}}, 2, 0, 7},
      {{Fault{Fault::kReplyCode, "HDR", 0, "501 syntax error", 0}}, 2, 0, 7},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.faults.front().text + " " + std::to_string(c.faults.size()));
    start_over(hosts);
    set_faults(c.faults);
    const size_t hdr = listing_commands("HDR ");
    const size_t xhdr = listing_commands("XHDR ");
    const size_t stat = listing_commands("STAT ");
    const Outcome outcome = run_both({});
    EXPECT_EQ(outcome.status, 0) << outcome.err;
    EXPECT_EQ(outcome.host_active, "comp.a 5\ncomp.b 4\n");
    EXPECT_EQ(listing_commands("HDR ") - hdr, c.hdr);
    EXPECT_EQ(listing_commands("XHDR ") - xhdr, c.xhdr);
    EXPECT_EQ(listing_commands("STAT ") - stat, c.stat);
    if (c.stat != 0) {
      EXPECT_TRUE(contains(outcome.err, "no message ID listing from the server")) << outcome.err;
    }
  }
}

// A listing line that cannot be read: STAT decides the rest of that group;
// the next group is listed again. Article 9 lies inside the block listed
// behind GROUP, so the line after it is the one out of order.
TEST_F(OverviewRun, MalformedListingLineHandsTheGroupToStat) {
  set_active({"comp.a", "comp.b"});
  add_range("comp.a", 1, 4);
  add_range("comp.b", 1, 2);
  const std::vector<std::pair<std::string, std::string>> cases = {
      {"3", "3"},
      {"3  <3.comp.a@test>", "3  <3.comp.a@test>"},
      {"x <3.comp.a@test>", "x <3.comp.a@test>"},
      {"2 <2.comp.a@test>", "2 <2.comp.a@test>"},
      {"9 <9.comp.a@test>", "4 <4.comp.a@test>"},
  };
  for (const auto& [bad, reported] : cases) {
    SCOPED_TRACE(bad);
    start_over("comp.a 1\ncomp.b 1\n");
    listing_side.server.script.listing_lines = {{3, bad}};
    const size_t stat = listing_commands("STAT ");
    const Outcome outcome = run_both({});
    EXPECT_EQ(outcome.status, 0) << outcome.err;
    EXPECT_EQ(outcome.host_active, "comp.a 5\ncomp.b 3\n");
    EXPECT_TRUE(contains(outcome.err, "bad HDR line in comp.a: " + reported)) << outcome.err;
    EXPECT_EQ(listing_commands("STAT ") - stat, 4u);
  }
  EXPECT_EQ(listing_commands("HDR Message-ID 1-5000"), 10u);
}

// The server closing inside an article (ARTICLE 1, 2, 3 and 5 of comp.a, 4
// being fake, then 1 to 3 of comp.b): the latest settled article is
// recorded, never one past the failed article, just as on the STAT path.
// With a window the fake 4 is settled before the reply to ARTICLE 3 is read,
// yet the failed 5 keeps the record at 3; the next run completes.
TEST_F(OverviewRun, ServerClosingInsideAnArticleRecordsWhatTheStatPathRecords) {
  set_active({"comp.a", "comp.b"});
  add_range("comp.a", 1, 5);
  add("comp.a", 4, "<fake@4>");
  add_range("comp.b", 1, 3);
  const std::string hosts = "comp.a 1\ncomp.b 1\n";
  struct Case {
    std::string window;
    int nth;
    std::string recorded;
  };
  const std::vector<Case> cases = {
      {"0", 1, "comp.a 1\ncomp.b 1\n"},  {"0", 3, "comp.a 2\ncomp.b 1\n"},
      {"0", 4, "comp.a 4\ncomp.b 1\n"},  {"0", 6, "comp.a 6\ncomp.b 1\n"},
      {"10", 1, "comp.a 1\ncomp.b 1\n"}, {"10", 3, "comp.a 2\ncomp.b 1\n"},
      {"10", 4, "comp.a 3\ncomp.b 1\n"}, {"10", 6, "comp.a 6\ncomp.b 1\n"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE("window " + c.window + ", ARTICLE " + std::to_string(c.nth));
    set_host_active(hosts);
    set_faults({Fault{Fault::kCloseMidReply, "ARTICLE", c.nth, "", 0}});
    const Outcome broken = run_both({"--window", c.window});
    EXPECT_EQ(broken.status, 9) << broken.err;
    EXPECT_EQ(broken.host_active, c.recorded);
    set_faults({});
    const Outcome completed = run_both({"--window", c.window});
    EXPECT_EQ(completed.status, 0) << completed.err;
    EXPECT_EQ(completed.host_active, "comp.a 6\ncomp.b 4\n");
  }
}

// The server closes instead of answering the first ARTICLE, for article 1,
// while the STAT or listing decisions on the fakes behind it are settled:
// article 1 was never read, so the group's record stays below it and the
// next run fetches every article once.
TEST_F(OverviewRun, ArticleWhoseReplyWasNeverReadIsNotPassed) {
  set_active({"comp.a"});
  add_range("comp.a", 1, 2);
  for (long n = 3; n <= 6; ++n) add("comp.a", n, "<fake@" + std::to_string(n) + ">");
  for (const std::string window : {"0", "1", "10"}) {
    SCOPED_TRACE("window " + window);
    for (Side* side : sides()) {
      for (const std::string& name : side->site.list("incoming"))
        unlink(side->site.path("incoming/" + name).c_str());
      side->site.write("stats", "");
    }
    set_host_active("comp.a 1\n");
    set_faults({Fault{Fault::kCloseBeforeReply, "ARTICLE", 1, "", 0}});
    const Outcome broken = run_both_interrupted({"--window", window});
    EXPECT_EQ(broken.status, 9) << broken.err;
    EXPECT_EQ(broken.host_active, "comp.a 1\n");
    EXPECT_EQ(broken.batches, Strings{});
    set_faults({});
    const Outcome completed = run_both({"--window", window});
    EXPECT_EQ(completed.status, 0) << completed.err;
    EXPECT_EQ(completed.host_active, "comp.a 7\n");
    EXPECT_EQ(completed.batches, Strings{"<1.comp.a@test> <2.comp.a@test> "});
  }
}

// The server closing inside a listing or instead of it: nothing of that
// group is recorded, the groups before it are.
TEST_F(OverviewRun, BrokenListingRecordsNothingOfItsGroup) {
  set_active({"comp.a", "comp.b"});
  add_range("comp.a", 1, 3);
  add_range("comp.b", 1, 3);
  for (const Fault::Kind kind : {Fault::kCloseMidReply, Fault::kCloseBeforeReply}) {
    listing_side.site.write(std::string("inhosts/") + kSpool, "comp.a 1\ncomp.b 1\n");
    listing_side.server.restart_faults({Fault{kind, "HDR", 2, "", 0}});
    const Outcome broken = listing_side.run({"--overview"});
    EXPECT_EQ(broken.status, 9) << broken.err;
    EXPECT_EQ(broken.host_active, "comp.a 4\ncomp.b 1\n");
    listing_side.server.set_faults({});
  }
}

// A batch that could not be published: never recorded past it, also when
// it holds the last articles of a group whose line was written after the
// next group's GROUP.
TEST_F(OverviewRun, FailedBatchIsNotRecorded) {
  set_active({"comp.a", "comp.b"});
  add_range("comp.a", 1, 4);
  add_range("comp.b", 1, 2);
  struct Case {
    std::string window;
    int fail_at;
    std::string recorded;
  };
  for (const Case& c : std::vector<Case>{{"0", 2, "comp.a 1\ncomp.b 1\n"},
                                         {"10", 1, "comp.a 1\ncomp.b 1\n"},
                                         {"10", 2, "comp.a 5\ncomp.b 1\n"}}) {
    SCOPED_TRACE("window " + c.window + ", batch " + std::to_string(c.fail_at));
    start_over("comp.a 1\ncomp.b 1\n");
    for (Side* side : sides()) {
      // The fail_at-th batch fails.
      const std::string count = side->site.path("count");
      side->site.write("count", "0\n");
      side->site.write("rnews-to", "#!/bin/sh\nn=$(cat " + count + "); n=$((n + 1)); echo $n > " +
                                       count + "\nif [ $n = " + std::to_string(c.fail_at) +
                                       " ]; then cat >/dev/null; exit 1; fi\ncat >> " +
                                       side->site.path("out") + "\n");
      chmod(side->site.path("rnews-to").c_str(), 0755);
    }
    // Each site runs its own program.
    const Strings options = {"--window", c.window, "--size", "1", "--rnews-to"};
    const Outcome by_stat = stat_side.run(concat(options, {stat_side.site.path("rnews-to")}));
    const Outcome by_listing =
        listing_side.run(concat(options, {listing_side.site.path("rnews-to"), "--overview"}));
    // A listing has decided on comp.b's first article when the flush fails;
    // the STAT path had only asked for it.
    expect_same_articles(by_stat, by_listing);
    EXPECT_EQ(by_listing.host_active, by_stat.host_active);
    EXPECT_EQ(by_listing.numbers, by_stat.numbers);
    EXPECT_EQ(by_listing.status, 6) << by_listing.err;
    EXPECT_EQ(by_listing.host_active, c.recorded);
  }
}

// Runs --overview with ARTICLE 3 never answered, sends SIGTERM once the
// server has received the command awaited, and returns the run's result.
RunResult terminate_when_received(Side& side, const std::string& awaited) {
  side.server.restart_faults({Fault{Fault::kStall, "ARTICLE", 3, "", 0}});
  const size_t before = side.server.count_commands(awaited);
  const int stalls = side.server.stalled_connections();
  testsupport::Running running =
      testsupport::start_tessu(side.args({"--overview", "--timeout", "120"}));
  EXPECT_TRUE(
      testsupport::wait_until([&] { return side.server.count_commands(awaited) > before; }));
  // Every reply before the stalled one is sent, and tessu has read them all
  // when it waits in poll twice in a row.
  EXPECT_TRUE(testsupport::wait_until([&] { return side.server.stalled_connections() > stalls; }));
  bool was_waiting = false;
  EXPECT_TRUE(testsupport::wait_until([&] {
    const bool waiting = testsupport::sleeps_in_poll(running.pid);
    const bool twice = waiting && was_waiting;
    was_waiting = waiting;
    return twice;
  }));
  kill(running.pid, SIGTERM);
  const RunResult result = testsupport::finish_tessu(running);
  EXPECT_NE(result.status, 0) << result.err;
  EXPECT_TRUE(contains(result.err, "received signal")) << result.err;
  return result;
}

// SIGTERM while an ARTICLE reply is awaited: the article before it is
// recorded. When the stalled reply is a group's last, the next group's
// GROUP has gone out before it (what the test waits for), and that group
// stays as it was.
TEST_F(OverviewRun, TerminatedWhileWaitingForAnArticle) {
  set_active({"comp.a", "comp.b", "comp.c"});
  add_range("comp.a", 1, 5);
  add_range("comp.b", 1, 2);
  add_range("comp.c", 1, 3);
  Side& side = listing_side;
  side.site.write(std::string("inhosts/") + kSpool, "comp.a 1\ncomp.b 1\ncomp.c 1\n");
  terminate_when_received(side, "ARTICLE 3");
  EXPECT_EQ(side.host_active(), "comp.a 2\ncomp.b 1\ncomp.c 1\n");

  // comp.c ends at its third article.
  side.site.write(std::string("inhosts/") + kSpool, "comp.c 1\ncomp.b 1\ncomp.a 1\n");
  terminate_when_received(side, "GROUP comp.b");
  EXPECT_EQ(side.host_active(), "comp.c 2\ncomp.b 1\ncomp.a 1\n");
}

// Lines between two groups are written after the first group's line: its
// replies are read before such a line, also when reading them fails.
TEST_F(OverviewRun, LinesBetweenGroupsKeepTheirPlace) {
  set_active({"comp.a", "comp.b", "comp.c"});
  add_range("comp.a", 1, 3);
  add_range("comp.b", 1, 2);
  add_range("comp.c", 1, 2);
  const std::string hosts = "comp.a 1\n# note\ngone.group 5\ncomp.b 1\n:tag\ncomp.c 1\n";
  set_host_active(hosts);
  const Outcome outcome = run_both({});
  EXPECT_EQ(outcome.status, 0) << outcome.err;
  EXPECT_EQ(outcome.host_active, "comp.a 4\n# note\ngone.group 5\ncomp.b 3\n:tag\ncomp.c 3\n");

  // The last article of comp.a, then of comp.b, breaks off.
  for (int nth : {3, 5}) {
    SCOPED_TRACE(nth);
    start_over(hosts);
    set_faults({Fault{Fault::kCloseMidReply, "ARTICLE", nth, "", 0}});
    const Outcome broken = run_both({});
    EXPECT_EQ(broken.status, 9) << broken.err;
    EXPECT_EQ(broken.host_active,
              nth == 3 ? "comp.a 2\n# note\ngone.group 5\ncomp.b 1\n:tag\ncomp.c 1\n"
                       : "comp.a 4\n# note\ngone.group 5\ncomp.b 1\n:tag\ncomp.c 1\n");
  }
  // Unseen groups follow one another with nothing between them.
  start_over("");
  set_faults({Fault{Fault::kCloseMidReply, "ARTICLE", 3, "", 0}});
  const Outcome unseen = run_both({});
  EXPECT_EQ(unseen.status, 9) << unseen.err;
}

// HDR goes out behind GROUP before GROUP's reply is in. A group the server
// does not carry leaves it in the group before, whose articles that HDR
// then lists: thrown away, with and without the group before held.
TEST_F(OverviewRun, ListingBehindAFailedGroupIsThrownAway) {
  set_active({"comp.a", "comp.gone", "comp.b"});
  add_range("comp.a", 1, 3);
  add_range("comp.b", 1, 2);
  const std::string hosts = "comp.a 1\ncomp.gone 1\ncomp.b 1\n";
  for (const std::string window : {"0", "1", "10"}) {
    SCOPED_TRACE(window);
    start_over(hosts);
    const size_t articles = listing_commands("ARTICLE ");
    const size_t listings = listing_commands("HDR Message-ID 1-5000");
    const Outcome outcome = run_both({"--window", window});
    EXPECT_EQ(outcome.status, 0) << outcome.err;
    EXPECT_EQ(outcome.host_active, "comp.a 4\ncomp.gone 1\ncomp.b 3\n");
    EXPECT_TRUE(contains(outcome.err, "server does not carry group \"comp.gone\"")) << outcome.err;
    EXPECT_EQ(outcome.batches.back(),
              "<1.comp.a@test> <2.comp.a@test> <3.comp.a@test> "
              "<1.comp.b@test> <2.comp.b@test> ");
    EXPECT_EQ(listing_commands("HDR Message-ID 1-5000") - listings, 3u);
    EXPECT_EQ(listing_commands("ARTICLE ") - articles, 5u);
  }
}

// The block listed behind GROUP from the recorded number on is cut to the
// walk GROUP's reply gives: articles listed beyond its last number (come in
// after GROUP) are left to the next run, those before its first are not
// fetched at all.
TEST_F(OverviewRun, ListingBehindGroupIsCutToGroupsRange) {
  set_active({"comp.a", "comp.b"});
  add_range("comp.a", 1, 5);
  add_range("comp.b", 1, 4);
  struct Case {
    std::string group_reply;
    std::string recorded;
    size_t articles;       // fetched by the run with GROUP's reply as given
    size_t rest_articles;  // fetched by the next run
  };
  for (const Case& c : std::vector<Case>{{"211 3 1 3 comp.a", "comp.a 4\ncomp.b 5\n", 7, 2},
                                         {"211 2 4 5 comp.a", "comp.a 6\ncomp.b 5\n", 6, 0}}) {
    for (const std::string window : {"0", "10"}) {
      SCOPED_TRACE(c.group_reply + ", window " + window);
      start_over("comp.a 1\ncomp.b 1\n");
      set_faults({Fault{Fault::kReplyCode, "GROUP", 1, c.group_reply, 0}});
      size_t articles = listing_commands("ARTICLE ");
      const Outcome outcome = run_both({"--window", window});
      EXPECT_EQ(outcome.status, 0) << outcome.err;
      EXPECT_EQ(outcome.host_active, c.recorded);
      EXPECT_EQ(listing_commands("ARTICLE ") - articles, c.articles);

      set_faults({});
      for (Side* side : sides()) side->site.write("stats", "");
      articles = listing_commands("ARTICLE ");
      const Outcome rest = run_both({"--window", window});
      EXPECT_EQ(rest.status, 0) << rest.err;
      EXPECT_EQ(rest.host_active, "comp.a 6\ncomp.b 5\n");
      EXPECT_EQ(listing_commands("ARTICLE ") - articles, c.rest_articles);
    }
  }
}

// A server that refuses the block asked for behind GROUP: no more such
// blocks in the run, the walks ask for theirs after GROUP's reply, and
// listings go on.
TEST_F(OverviewRun, RefusedListingBehindGroupFallsBackToListingAfterGroup) {
  set_active({"comp.a", "comp.b"});
  add_range("comp.a", 1, 4);
  add("comp.a", 2, "<fake@2>");
  add_range("comp.b", 1, 3);
  set_host_active("comp.a 1\ncomp.b 1\n");
  set_faults({Fault{Fault::kReplyCode, "HDR", 1, "501 range not understood", 0}});
  const Outcome outcome = run_both({});
  EXPECT_EQ(outcome.status, 0) << outcome.err;
  EXPECT_EQ(outcome.host_active, "comp.a 5\ncomp.b 4\n");
  EXPECT_EQ(listing_commands("HDR Message-ID 1-5000"), 1u);
  EXPECT_EQ(listing_commands("HDR Message-ID 1-4"), 1u);
  EXPECT_EQ(listing_commands("HDR Message-ID 1-3"), 1u);
  EXPECT_EQ(listing_commands("STAT "), 0u);
  EXPECT_EQ(listing_commands("ARTICLE "), 6u);
}

// GROUP and the HDR behind it go through the reply window: with --window 2
// and the reply to ARTICLE 3, comp.a's last, never coming, comp.b's GROUP
// takes the place of ARTICLE 2's reply, and its HDR waits for ARTICLE 3's
// until the time-out ends the run.
TEST_F(OverviewRun, CommandsQueuedAheadKeepToTheWindow) {
  set_active({"comp.a", "comp.b"});
  add_range("comp.a", 1, 3);
  add_range("comp.b", 1, 2);
  Side& side = listing_side;
  side.site.write(std::string("inhosts/") + kSpool, "comp.a 1\ncomp.b 1\n");
  side.server.restart_faults({Fault{Fault::kStall, "ARTICLE", 3, "", 0}});
  const Outcome outcome = side.run({"--overview", "--window", "2", "--timeout", "2"});
  EXPECT_NE(outcome.status, 0) << outcome.err;
  EXPECT_EQ(side.server.commands(), (Strings{"GROUP comp.a", "HDR Message-ID 1-5000", "ARTICLE 1",
                                             "ARTICLE 2", "ARTICLE 3", "GROUP comp.b", "QUIT"}));
  EXPECT_EQ(outcome.host_active, "comp.a 2\ncomp.b 1\n");
}

}  // namespace
