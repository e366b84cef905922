// Whole-program fetch runs: the real binary against the scripted server,
// with the host active file, the incoming spool and the pipes checked by content.
#include <sys/stat.h>

#include <algorithm>
#include <map>
#include <regex>
#include <set>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "support/news_site.h"

namespace {

using testsupport::contains;
using testsupport::message_id_of;
using testsupport::RunResult;
using testsupport::split_batch;
using Strings = std::vector<std::string>;

constexpr const char* kSpool = "upstream";

std::string rnews(const std::string& text) {
  return "#! rnews " + std::to_string(text.size()) + "\n" + text;
}

struct FetchRun : testsupport::NewsSiteTest {
  FetchRun() : NewsSiteTest(kSpool, "*,!junk.*") { fixed_options = {"--nopost", "-d"}; }

  std::string old_host_active() const {
    return site.read(std::string("inhosts/") + kSpool + ".old");
  }
  bool has_old() const { return site.exists(std::string("inhosts/") + kSpool + ".old"); }

  // Adds article n of group with an ID made from both; returns the full text.
  std::string add(const std::string& group, long n, const std::string& id = "",
                  const std::string& path = "upstream!poster") {
    const std::string message_id =
        id.empty() ? "<" + std::to_string(n) + "." + group + "@test>" : id;
    server.add_simple_article(group, n, message_id, path);
    return article_text(group, n, message_id, path);
  }

  static std::string article_text(const std::string& group, long n, const std::string& id,
                                  const std::string& path) {
    return "Path: " + path + "\nFrom: poster@example.invalid\nNewsgroups: " + group +
           "\nSubject: test " + std::to_string(n) + "\nMessage-ID: " + id +
           "\nDate: Tue, 01 Dec 2026 00:00:00 GMT\n\nbody\n";
  }

  // Published batch files (temporary ones are not published).
  Strings batch_names() const {
    Strings names;
    for (const std::string& name : site.list("incoming")) {
      if (name.rfind(".tmp.", 0) != 0) names.push_back(name);
    }
    return names;
  }

  // Every article of every published batch; fails the test on a malformed batch.
  Strings batch_articles() const {
    Strings articles;
    for (const std::string& name : batch_names()) {
      const std::string batch = site.read("incoming/" + name);
      EXPECT_TRUE(split_batch(batch, &articles)) << name << ":\n" << batch;
    }
    return articles;
  }

  std::multiset<std::string> fetched_ids() const {
    std::multiset<std::string> ids;
    for (const std::string& text : batch_articles()) ids.insert(message_id_of(text));
    return ids;
  }
};

// Sorted lines of a text, for files whose order of unseen groups is free.
Strings sorted_lines(const std::string& text) {
  Strings lines;
  size_t at = 0;
  while (at < text.size()) {
    const size_t end = text.find('\n', at);
    lines.push_back(text.substr(at, end == std::string::npos ? std::string::npos : end - at));
    if (end == std::string::npos) break;
    at = end + 1;
  }
  std::sort(lines.begin(), lines.end());
  return lines;
}

TEST_F(FetchRun, FirstRunFetchesEverySelectedGroupThenNothingNewLeavesTheFileAlone) {
  set_active({"comp.a", "comp.b", "junk.x", "local.only"});
  std::multiset<std::string> expected_texts;
  for (long n = 1; n <= 3; ++n) expected_texts.insert(add("comp.a", n));
  for (long n = 5; n <= 6; ++n) expected_texts.insert(add("comp.b", n));
  add("junk.x", 1);      // active but refused by the newsfeeds entry
  add("misc.other", 1);  // on the server only

  RunResult result = run({});
  ASSERT_EQ(result.status, 0) << result.err;
  EXPECT_TRUE(contains(result.err, "can't find a host active")) << result.err;
  // Exactly the articles of the selected groups, each as "#! rnews N" and its bytes.
  const Strings articles = batch_articles();
  EXPECT_EQ(std::multiset<std::string>(articles.begin(), articles.end()), expected_texts);
  ASSERT_EQ(batch_names().size(), 1u);
  const std::string batch = site.read("incoming/" + batch_names()[0]);
  size_t expected_size = 0;
  for (const std::string& text : expected_texts) expected_size += rnews(text).size();
  EXPECT_EQ(batch.size(), expected_size);
  // A group the server lacks is listed as never pulled.
  EXPECT_TRUE(contains(result.err, "server does not carry group \"local.only\"")) << result.err;
  EXPECT_TRUE(contains(result.err, "1 group was not available from this server")) << result.err;
  EXPECT_TRUE(contains(result.err, "fetched 3 groups never seen before")) << result.err;
  EXPECT_EQ(sorted_lines(host_active()), (Strings{"comp.a 4", "comp.b 7", "local.only 0"}));
  EXPECT_FALSE(has_old());
  EXPECT_FALSE(site.exists(std::string("inhosts/") + kSpool + ".tmp"));
  EXPECT_EQ(server.count_commands("GROUP junk.x"), 0u);

  // Nothing new: nothing fetched, the file untouched, no previous generation.
  const std::string after_first = host_active();
  result = run({});
  ASSERT_EQ(result.status, 0) << result.err;
  EXPECT_TRUE(contains(result.err, "no news is good news!")) << result.err;
  EXPECT_EQ(host_active(), after_first);
  EXPECT_FALSE(has_old());
  EXPECT_FALSE(site.exists(std::string("inhosts/") + kSpool + ".tmp"));
  EXPECT_EQ(batch_names().size(), 1u);

  // New articles are fetched by the next run, and only they.
  const std::string a4 = add("comp.a", 4);
  const std::string a5 = add("comp.a", 5);
  result = run({});
  ASSERT_EQ(result.status, 0) << result.err;
  EXPECT_EQ(batch_names().size(), 2u);
  EXPECT_EQ(fetched_ids().count("<4.comp.a@test>"), 1u);
  EXPECT_EQ(fetched_ids().size(), 7u);
  EXPECT_EQ(old_host_active(), after_first);
  EXPECT_EQ(sorted_lines(host_active()), (Strings{"comp.a 6", "comp.b 7", "local.only 0"}));
}

TEST_F(FetchRun, EveryLineKindOfTheHostActiveFileSurvivesTheRewrite) {
  set_active({"comp.a", "comp.b", "alt.test", "alt.off"});
  for (long n = 1; n <= 3; ++n) add("comp.a", n);
  for (long n = 10; n <= 12; ++n) add("comp.b", n);
  for (long n = 50; n <= 55; ++n) add("alt.test", n);
  for (long n = 1; n <= 2; ++n) add("alt.off", n);

  // A newsrc line far longer than a line buffer, ending in 52.
  std::string ranges;
  for (int i = 1; ranges.size() < 3000; i += 2) ranges += std::to_string(i) + ",";
  ranges += "52";
  const std::string old_file =
      "# header comment\n"
      "   # indented comment\n"
      "comp.a 2\n"
      ":tag1 trailing words\n"
      "alt.test: " +
      ranges +
      "\n"
      "!broken line\n"
      "alt.off! 1-2\n"
      "gone.group 17\n"
      "comp.a 3\n"
      "comp.b\n";
  set_host_active(old_file);

  const RunResult result = run({"--debug", "5"});
  ASSERT_EQ(result.status, 0) << result.err;
  EXPECT_TRUE(contains(result.err, "bad syntax in host active (item 1 of 1) \"!broken line\""))
      << result.err;
  EXPECT_TRUE(contains(result.err, "group gone.group not active or not read")) << result.err;
  EXPECT_TRUE(contains(result.err, "group comp.a not active or not read")) << result.err;
  EXPECT_TRUE(contains(result.err, "bumping from 0 to 10 in comp.b")) << result.err;
  EXPECT_EQ(host_active(),
            "# header comment\n"
            "   # indented comment\n"
            "comp.a 4\n"
            ":tag1\n"
            "alt.test 56\n"
            "#ERR# !broken line\n"
            "alt.off 2\n"
            "gone.group 17\n"
            "comp.a 3\n"
            "comp.b 13\n"
            "alt.off 3\n");
  EXPECT_EQ(old_host_active(), old_file);
  EXPECT_EQ(fetched_ids(),
            (std::multiset<std::string>{
                "<2.comp.a@test>", "<3.comp.a@test>", "<52.alt.test@test>", "<53.alt.test@test>",
                "<54.alt.test@test>", "<55.alt.test@test>", "<10.comp.b@test>", "<11.comp.b@test>",
                "<12.comp.b@test>", "<1.alt.off@test>", "<2.alt.off@test>"}));
  // The next run copies the marked line as a comment, without a new message.
  const RunResult again = run({});
  EXPECT_EQ(again.status, 0) << again.err;
  EXPECT_FALSE(contains(again.err, "bad syntax")) << again.err;
}

TEST_F(FetchRun, NumbersAboveTheServersAndBelowItsFirst) {
  set_active({"comp.a", "comp.b"});
  for (long n = 100; n <= 103; ++n) add("comp.a", n);
  for (long n = 1; n <= 3; ++n) add("comp.b", n);
  set_host_active("comp.a 90\ncomp.b 200\n");
  const RunResult result = run({});
  ASSERT_EQ(result.status, 0) << result.err;
  EXPECT_TRUE(contains(result.err, "bumping from 90 to 100 in comp.a")) << result.err;
  EXPECT_EQ(host_active(), "comp.a 104\ncomp.b 200\n");
  EXPECT_EQ(fetched_ids().size(), 4u);
  EXPECT_EQ(server.count_commands("STAT 2"), 0u);
}

TEST_F(FetchRun, ForgetInactiveRemovesLinesAndRewritesEvenWithoutNews) {
  set_active({"comp.a"});
  add("comp.a", 1);
  set_host_active("gone.group 17\ncomp.a 2\n");
  RunResult result = run({});
  ASSERT_EQ(result.status, 0) << result.err;
  EXPECT_TRUE(contains(result.err, "no news is good news!")) << result.err;
  EXPECT_EQ(host_active(), "gone.group 17\ncomp.a 2\n");

  result = run({"--forget-inactive"});
  ASSERT_EQ(result.status, 0) << result.err;
  EXPECT_TRUE(contains(result.err, "inactive group gone.group removed from host list"))
      << result.err;
  EXPECT_EQ(host_active(), "comp.a 2\n");
  EXPECT_EQ(old_host_active(), "gone.group 17\ncomp.a 2\n");
}

TEST_F(FetchRun, MaxnewLimitsNewGroupsAndMaxartEveryGroup) {
  set_active({"comp.big", "comp.old"});
  for (long n = 1; n <= 20; ++n) add("comp.big", n);
  for (long n = 1; n <= 10; ++n) add("comp.old", n);
  set_host_active("comp.old 2\n");
  RunResult result = run({"--maxnew", "5"});
  ASSERT_EQ(result.status, 0) << result.err;
  EXPECT_TRUE(contains(result.err, "bumping from 0 to 1 in comp.big")) << result.err;
  EXPECT_TRUE(contains(result.err, "skipping 15 articles due to --maxnew")) << result.err;
  EXPECT_EQ(host_active(), "comp.old 11\ncomp.big 21\n");
  std::multiset<std::string> ids = fetched_ids();
  EXPECT_EQ(ids.size(), 14u);  // comp.old 2-10, comp.big 16-20
  EXPECT_EQ(ids.count("<16.comp.big@test>"), 1u);
  EXPECT_EQ(ids.count("<15.comp.big@test>"), 0u);

  for (long n = 21; n <= 30; ++n) add("comp.big", n);
  result = run({"--maxart", "3", "--maxnew", "5"});
  ASSERT_EQ(result.status, 0) << result.err;
  EXPECT_TRUE(contains(result.err, "skipping 7 articles due to --maxart")) << result.err;
  EXPECT_FALSE(contains(result.err, "due to --maxnew")) << result.err;
  ids = fetched_ids();
  EXPECT_EQ(ids.count("<28.comp.big@test>"), 1u);
  EXPECT_EQ(ids.count("<27.comp.big@test>"), 0u);
  EXPECT_EQ(host_active(), "comp.old 11\ncomp.big 31\n");
}

TEST_F(FetchRun, SyncRecordsTheServersLastWithoutFetching) {
  set_active({"comp.a", "comp.new"});
  for (long n = 1; n <= 5; ++n) add("comp.a", n);
  for (long n = 1; n <= 20; ++n) add("comp.new", n);
  set_host_active("comp.a 2\n");

  RunResult result = run({"--syncnew"});
  ASSERT_EQ(result.status, 0) << result.err;
  EXPECT_TRUE(contains(result.err, "zap from 0 to 21 in comp.new")) << result.err;
  EXPECT_EQ(host_active(), "comp.a 6\ncomp.new 21\n");
  EXPECT_EQ(fetched_ids().size(), 4u);  // comp.a 2-5 only

  for (long n = 6; n <= 8; ++n) add("comp.a", n);
  const size_t stats_before = server.count_commands("STAT") + server.count_commands("ARTICLE");
  result = run({"--sync"});
  ASSERT_EQ(result.status, 0) << result.err;
  EXPECT_TRUE(contains(result.err, "zap from 6 to 9 in comp.a")) << result.err;
  EXPECT_EQ(host_active(), "comp.a 9\ncomp.new 21\n");
  EXPECT_EQ(server.count_commands("STAT") + server.count_commands("ARTICLE"), stats_before);
  EXPECT_EQ(fetched_ids().size(), 4u);
}

TEST_F(FetchRun, ResetFetchesFromTheServersFirstArticle) {
  set_active({"comp.a"});
  for (long n = 1; n <= 6; ++n) add("comp.a", n);
  set_host_active("comp.a 5\n");
  const RunResult result = run({"--reset"});
  ASSERT_EQ(result.status, 0) << result.err;
  EXPECT_EQ(fetched_ids().size(), 6u);
  EXPECT_EQ(host_active(), "comp.a 7\n");
}

TEST_F(FetchRun, EndTagStopsThePullAndSkipsUnseenGroups) {
  set_active({"comp.a", "comp.b", "comp.c"});
  for (const char* group : {"comp.a", "comp.b", "comp.c"}) add(group, 1);
  set_host_active("comp.a 1\n:stop\ncomp.b 1\n# after\n");

  RunResult result = run({"--end", "stop"});
  ASSERT_EQ(result.status, 0) << result.err;
  EXPECT_TRUE(contains(result.err, "end at tag \"stop\"")) << result.err;
  EXPECT_EQ(host_active(), "comp.a 2\n:stop\ncomp.b 1\n# after\n");
  EXPECT_EQ(fetched_ids(), (std::multiset<std::string>{"<1.comp.a@test>"}));

  // A tag that is not in the file: every listed group, still no unseen ones.
  result = run({"--end", "elsewhere"});
  ASSERT_EQ(result.status, 0) << result.err;
  EXPECT_EQ(host_active(), "comp.a 2\n:stop\ncomp.b 2\n# after\n");
  EXPECT_EQ(server.count_commands("GROUP comp.c"), 0u);
}

TEST_F(FetchRun, DryRunRewritesTheFileUnchangedWithoutConnecting) {
  set_active({"comp.a"});
  add("comp.a", 1);
  const std::string old_file = "comp.a 3\n# note\ngone 4\n";
  set_host_active(old_file);
  const RunResult result = run({"--dry-run"});
  ASSERT_EQ(result.status, 0) << result.err;
  EXPECT_EQ(server.connections(), 0);
  EXPECT_EQ(host_active(), old_file);
  EXPECT_EQ(old_host_active(), old_file);
  EXPECT_TRUE(batch_names().empty());
}

TEST_F(FetchRun, CrosspostsAreFetchedOnceAndFakesDropped) {
  set_active({"comp.a", "comp.b"});
  add("comp.a", 1, "<shared@test>");
  add("comp.a", 2);
  add("comp.b", 1);
  add("comp.b", 2, "<shared@test>");
  add("comp.b", 3, "<fake@test>");
  add("comp.b", 4);
  set_host_active("comp.a 1\ncomp.b 1\n");
  const RunResult result = run({});
  ASSERT_EQ(result.status, 0) << result.err;
  EXPECT_EQ(fetched_ids(), (std::multiset<std::string>{"<shared@test>", "<2.comp.a@test>",
                                                       "<1.comp.b@test>", "<4.comp.b@test>"}));
  EXPECT_EQ(server.count_commands("ARTICLE 2"), 1u);  // comp.a 2 only; comp.b 2 is the crosspost
  EXPECT_EQ(server.count_commands("ARTICLE 3"), 0u);
  EXPECT_EQ(host_active(), "comp.a 3\ncomp.b 5\n");
}

TEST_F(FetchRun, ForeignOrMissingPathStopsTheFetch) {
  set_active({"comp.a", "comp.b"});
  add("comp.a", 1);
  add("comp.a", 2, "", "elsewhere!poster");
  add("comp.a", 3);
  add("comp.b", 1);
  set_host_active("comp.a 1\ncomp.b 1\n");
  RunResult result = run({});
  EXPECT_EQ(result.status, 9) << result.err;
  EXPECT_TRUE(contains(result.err, "ARTICLE 2 in comp.a did not contain 'upstream' in 'Path:'"))
      << result.err;
  EXPECT_TRUE(contains(result.err, "Path line was 'elsewhere!poster")) << result.err;
  // The latest settled article is recorded, so it and the stopping article
  // are looked at again; later groups keep their numbers.
  EXPECT_EQ(host_active(), "comp.a 1\ncomp.b 1\n");
  EXPECT_EQ(fetched_ids(), (std::multiset<std::string>{"<1.comp.a@test>"}));

  server.add_article("comp.a", 2, "From: x@example.invalid\nMessage-ID: <nopath@test>\n\nbody\n");
  result = run({});
  EXPECT_EQ(result.status, 9) << result.err;
  EXPECT_TRUE(contains(result.err, "ARTICLE 2 in comp.a did not contain a 'Path:'")) << result.err;
  EXPECT_EQ(host_active(), "comp.a 1\ncomp.b 1\n");
  EXPECT_EQ(fetched_ids(), (std::multiset<std::string>{"<1.comp.a@test>", "<1.comp.a@test>"}));
}

TEST_F(FetchRun, ArticleWithoutPathStopsTheFetchUntilNoPathLetsItIn) {
  set_active({"comp.a", "comp.b"});
  const std::string a1 = add("comp.a", 1);
  const std::string a2 = "From: x@example.invalid\nMessage-ID: <nopath@test>\n\nbody\n";
  server.add_article("comp.a", 2, a2);
  add("comp.a", 3);
  add("comp.b", 1);
  set_host_active("comp.a 1\ncomp.b 1\n");
  const std::string stats = site.path("stats");

  RunResult result = run({"--stat", stats, "--debug", "5"});
  EXPECT_EQ(result.status, 9) << result.err;
  EXPECT_TRUE(contains(result.err, "ARTICLE 2 in comp.a did not contain a 'Path:'")) << result.err;
  EXPECT_TRUE(contains(result.err, "latest article was 1")) << result.err;
  EXPECT_TRUE(contains(result.err, "article fetch aborted")) << result.err;
  EXPECT_EQ(host_active(), "comp.a 1\ncomp.b 1\n");
  EXPECT_EQ(batch_articles(), (Strings{a1}));
  EXPECT_TRUE(contains(site.read("stats"), "\nT Ab ")) << site.read("stats");
  EXPECT_TRUE(contains(site.read("stats"), "\nN    0    1 ")) << site.read("stats");

  // Article 1 is offered again (the news system refuses the duplicate; the
  // run's own duplicate cache knows nothing of the run before), then the
  // article without Path is taken as it is.
  result = run({"--stat", stats, "--no-path"});
  EXPECT_EQ(result.status, 0) << result.err;
  EXPECT_FALSE(contains(result.err, "article fetch aborted")) << result.err;
  EXPECT_EQ(host_active(), "comp.a 4\ncomp.b 2\n");
  const Strings articles = batch_articles();
  EXPECT_EQ(std::count(articles.begin(), articles.end(), a1), 2);
  EXPECT_EQ(std::count(articles.begin(), articles.end(), a2), 1);
  EXPECT_EQ(fetched_ids(),
            (std::multiset<std::string>{"<1.comp.a@test>", "<1.comp.a@test>", "<nopath@test>",
                                        "<3.comp.a@test>", "<1.comp.b@test>"}));
  const std::string records = site.read("stats");
  EXPECT_TRUE(contains(records, "\nT OK ")) << records;
  EXPECT_TRUE(contains(records, "\nN    0    4 ")) << records;
}

TEST_F(FetchRun, SizeLimitPublishesABatchPerArticle) {
  set_active({"comp.a"});
  std::vector<std::string> texts;
  for (long n = 1; n <= 3; ++n) texts.push_back(add("comp.a", n));
  const RunResult result = run({"--size", "10", "--window", "0"});
  ASSERT_EQ(result.status, 0) << result.err;
  EXPECT_TRUE(contains(result.err, "flushing spool...")) << result.err;
  std::multiset<std::string> batches;
  for (const std::string& name : batch_names()) batches.insert(site.read("incoming/" + name));
  EXPECT_EQ(batches,
            (std::multiset<std::string>{rnews(texts[0]), rnews(texts[1]), rnews(texts[2])}));
}

TEST_F(FetchRun, BatchNamesForInnAndCNews) {
  set_active({"comp.a"});
  add("comp.a", 1);
  RunResult result = run({}, "localhost");
  ASSERT_EQ(result.status, 0) << result.err;
  ASSERT_EQ(batch_names().size(), 1u);
  EXPECT_TRUE(std::regex_match(batch_names()[0], std::regex("upstream[0-9A-V]{6}")))
      << batch_names()[0];

  add("comp.a", 2);
  site.write("etc/newsfeeds", std::string("ME:all::\n") + kSpool + ":comp::\n");
  result = run({"--cnews"});
  ASSERT_EQ(result.status, 0) << result.err;
  Strings names = batch_names();
  ASSERT_EQ(names.size(), 2u);
  names.erase(std::remove_if(names.begin(), names.end(),
                             [](const std::string& n) { return n.rfind("upstream", 0) == 0; }),
              names.end());
  ASSERT_EQ(names.size(), 1u);
  EXPECT_TRUE(std::regex_match(names[0], std::regex("[0-9]+\\.[0-9]+\\.1\\.t"))) << names[0];
  EXPECT_EQ(host_active(), "comp.a 3\n");
}

TEST_F(FetchRun, RnewsToAndPipeToPrograms) {
  set_active({"comp.a"});
  std::vector<std::string> texts;
  for (long n = 1; n <= 3; ++n) texts.push_back(add("comp.a", n));
  const std::string out = site.path("out");
  mkdir(out.c_str(), 0755);
  site.write("bin/rnews-to",
             "#!/bin/sh\nf=$(mktemp " + out + "/batch.XXXXXX) || exit 2\ncat > \"$f\"\n");
  site.write("bin/pipe-to",
             "#!/bin/sh\nf=$(mktemp " + out + "/article.XXXXXX) || exit 2\ncat > \"$f\"\n");
  chmod(site.path("bin/rnews-to").c_str(), 0755);
  chmod(site.path("bin/pipe-to").c_str(), 0755);

  RunResult result = run({"--rnews-to", site.path("bin/rnews-to")});
  ASSERT_EQ(result.status, 0) << result.err;
  Strings files = site.list("out");
  ASSERT_EQ(files.size(), 1u);
  EXPECT_EQ(site.read("out/" + files[0]), rnews(texts[0]) + rnews(texts[1]) + rnews(texts[2]));
  EXPECT_TRUE(batch_names().empty());
  EXPECT_EQ(host_active(), "comp.a 4\n");

  set_host_active("comp.a 1\n");
  result = run({"--pipe-to", site.path("bin/pipe-to")});
  ASSERT_EQ(result.status, 0) << result.err;
  std::multiset<std::string> bare;
  for (const std::string& name : site.list("out")) {
    if (name.rfind("article.", 0) == 0) bare.insert(site.read("out/" + name));
  }
  EXPECT_EQ(bare, (std::multiset<std::string>{texts[0], texts[1], texts[2]}));
  EXPECT_EQ(host_active(), "comp.a 4\n");
}

}  // namespace
