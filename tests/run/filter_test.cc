// Whole runs with the message-ID filter (--mfilter) and the full filter
// (--filter): real shell filters against the scripted server, checked by what
// was stored, what went over the wire, what the filters were given, the host
// active file and the statistics file.
#include <sys/stat.h>

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

// A full filter that refuses every article with SPAM in it. Lines come with
// the server's CR LF, so the end line reads ".\r" here. Each start is counted.
constexpr const char* kContentFilter =
    "echo start >> \"$1\"\n"
    "cr=$(printf '\\r')\n"
    "verdict=335\n"
    "while IFS= read -r line; do\n"
    "  case \"$line\" in\n"
    "    \".$cr\") echo \"$verdict refused or not\"; verdict=335 ;;\n"
    "    *SPAM*) verdict=435 ;;\n"
    "  esac\n"
    "done\n";

// A full filter that copies what it is given to "$1" (the read loop puts back
// the line feed it takes off) and answers with "$2" after each end line.
constexpr const char* kCopyingFilter =
    "cr=$(printf '\\r')\n"
    "while IFS= read -r line; do\n"
    "  printf '%s\\n' \"$line\" >> \"$1\"\n"
    "  case \"$line\" in \".$cr\") echo \"$2\" ;; esac\n"
    "done\n";

struct FilterRun : testsupport::NewsSiteTest {
  FilterRun() : NewsSiteTest(kSpool, "*") {
    fixed_options = {"--nopost", "--debug", "5", "--stat", site.path("stats")};
  }

  // Adds article n of group with the ID "<n.group@test>" (or id) and body.
  std::string add(const std::string& group, long n, const std::string& body = "body\n",
                  const std::string& id = "") {
    const std::string message_id =
        id.empty() ? "<" + std::to_string(n) + "." + group + "@test>" : id;
    server.add_simple_article(group, n, message_id, "upstream!poster", body);
    return message_id;
  }

  // Writes a shell script below the site; returns its path.
  std::string script(const std::string& name, const std::string& text) const {
    site.write(name, text);
    return site.path(name);
  }

  // Every article of every published batch.
  Strings stored() const {
    Strings articles;
    for (const std::string& name : site.list("incoming")) {
      if (name.rfind(".tmp.", 0) == 0) continue;
      const std::string batch = site.read("incoming/" + name);
      EXPECT_TRUE(split_batch(batch, &articles)) << name;
    }
    return articles;
  }

  std::multiset<std::string> stored_ids() const {
    std::multiset<std::string> ids;
    for (const std::string& text : stored()) ids.insert(message_id_of(text));
    return ids;
  }

  // The statistics file's F line ("" when there is none).
  std::string filter_line() const {
    const std::string stats = site.read("stats");
    const size_t at = stats.find("\nF ");
    if (at == std::string::npos) return "";
    return stats.substr(at + 1, stats.find('\n', at + 1) - at - 1);
  }

  // The fetc column of the statistics file's N line.
  std::string fetched_column() const {
    const std::string stats = site.read("stats");
    const size_t at = stats.find("\nN ");
    if (at == std::string::npos) return "";
    std::vector<std::string> fields;
    size_t pos = at + 3;
    while (fields.size() < 2) {
      while (stats[pos] == ' ') ++pos;
      const size_t end = stats.find_first_of(" \n", pos);
      fields.push_back(stats.substr(pos, end - pos));
      pos = end;
    }
    return fields[1];
  }

  bool article_command_sent(long n) const {
    return server.count_commands("ARTICLE " + std::to_string(n)) != 0;
  }
};

TEST_F(FilterRun, MessageIdFilterRefusesBeforeArticleAndGetsTheIdAsOnePaddedArgument) {
  set_active({"comp.a"});
  const std::string id1 = add("comp.a", 1);
  const std::string id2 = add("comp.a", 2, "body\n", "<2.reject@test>");
  const std::string id3 = add("comp.a", 3, "body\n", "<3.reject@test>");
  const std::string id4 = add("comp.a", 4);
  const std::string args_log = site.path("mfilter-args");
  const std::string mfilter = script("mfilter.sh", "printf '[%s]\\n' \"$1\" >> '" + args_log +
                                                       "'\n"
                                                       "case \"$1\" in *reject*) exit 1 ;; esac\n");

  const RunResult result = run({"--mfilter", "sh " + mfilter});
  ASSERT_EQ(result.status, 0) << result.err;
  EXPECT_EQ(stored_ids(), (std::multiset<std::string>{id1, id4}));
  EXPECT_FALSE(article_command_sent(2));
  EXPECT_FALSE(article_command_sent(3));
  EXPECT_TRUE(article_command_sent(1));
  EXPECT_TRUE(contains(result.err, "filtering " + id2)) << result.err;
  EXPECT_TRUE(contains(result.err, "MSGID " + id3 + " filtered by message ID")) << result.err;
  EXPECT_TRUE(contains(result.err, "no filter for " + id1)) << result.err;
  // One argument of 512 characters: blanks, then the ID.
  std::string expected_args;
  for (const std::string& id : {id1, id2, id3, id4}) {
    expected_args += "[" + std::string(512 - id.size(), ' ') + id + "]\n";
  }
  EXPECT_EQ(site.read("mfilter-args"), expected_args);
  // The refused articles are settled like any skipped one.
  EXPECT_EQ(host_active(), "comp.a 5\n");
  EXPECT_EQ(filter_line(), "F    2");
  EXPECT_EQ(fetched_column(), "2");
  EXPECT_TRUE(
      contains(result.err, "omitted 0 articles already in spool, 0 as crossposts, 2 filtered"))
      << result.err;
}

TEST_F(FilterRun, MessageIdFilterThatAlwaysFailsRefusesEveryArticleWithoutArticleCommands) {
  set_active({"comp.a", "comp.b"});
  add("comp.a", 1);
  add("comp.a", 2);
  add("comp.b", 7);
  for (const std::string& mfilter : {std::string("exit 1"), std::string("/nonexistent/filter")}) {
    SCOPED_TRACE(mfilter);
    set_host_active("comp.a 1\ncomp.b 1\n");
    site.write("stats", "");
    const size_t stats_before = server.count_commands("STAT");
    const RunResult result = run({"--mfilter", mfilter});
    ASSERT_EQ(result.status, 0) << result.err;
    EXPECT_EQ(server.count_commands("ARTICLE"), 0u);
    EXPECT_EQ(server.count_commands("STAT") - stats_before, 3u);
    EXPECT_TRUE(stored().empty());
    EXPECT_EQ(host_active(), "comp.a 3\ncomp.b 8\n");
    EXPECT_EQ(filter_line(), "F    3");
    EXPECT_EQ(fetched_column(), "0");
  }
}

TEST_F(FilterRun, MessageIdReachesTheFilterLiterallyWithoutShellExpansion) {
  set_active({"comp.a"});
  const std::string marker = site.path("expanded");
  const std::string id = "<$(touch${IFS}" + marker + ")`touch${IFS}" + marker + "`\"\\@x>";
  add("comp.a", 1, "body\n", id);
  const std::string args_log = site.path("mfilter-args");
  const std::string mfilter = script("mfilter.sh", "printf '%s' \"$1\" > '" + args_log + "'\n");

  const RunResult result = run({"--mfilter", "sh " + mfilter});
  ASSERT_EQ(result.status, 0) << result.err;
  EXPECT_FALSE(site.exists("expanded"));
  EXPECT_EQ(site.read("mfilter-args"), std::string(512 - id.size(), ' ') + id);
  EXPECT_EQ(stored().size(), 1u);
}

TEST_F(FilterRun, FullFilterRefusesByContentAndIsAskedOncePerArticleFed) {
  set_active({"comp.a", "comp.b"});
  const std::string a1 = add("comp.a", 1);
  // Dropped as fake by its header: the filter still answers for it.
  server.add_article("comp.a", 2,
                     "Path: upstream!poster\nFrom: x@example.invalid\nNewsgroups: comp.a\n"
                     "Subject: fake\nMessage-ID: <fake@2>\n\nbody\n",
                     "<2.comp.a@test>");
  add("comp.a", 3, "some SPAM here\n");
  const std::string a4 = add("comp.a", 4);
  const std::string b1 = add("comp.b", 1, "no spam\n");
  add("comp.b", 2, "more\nSPAM\n");
  set_host_active("comp.a 1\ncomp.b 1\n");
  const std::string starts = site.path("starts");
  const std::string filter = script("filter.sh", kContentFilter);

  const RunResult result = run({"--filter", "sh " + filter + " " + starts});
  ASSERT_EQ(result.status, 0) << result.err;
  EXPECT_EQ(stored_ids(), (std::multiset<std::string>{a1, a4, b1}));
  EXPECT_TRUE(contains(result.err, "ARTICLE 2 rejected as fake")) << result.err;
  EXPECT_TRUE(contains(result.err, "ARTICLE 3 rejected by full filter")) << result.err;
  EXPECT_TRUE(contains(result.err, "ARTICLE 2 rejected by full filter")) << result.err;
  EXPECT_TRUE(contains(result.err, "filtering 3")) << result.err;
  EXPECT_TRUE(contains(result.err, "accepting 4")) << result.err;
  EXPECT_FALSE(contains(result.err, "strange filter response")) << result.err;
  // Refused articles were fetched, then settled like stored ones.
  EXPECT_TRUE(article_command_sent(3));
  EXPECT_EQ(host_active(), "comp.a 5\ncomp.b 3\n");
  // Started once for the whole run.
  EXPECT_EQ(site.read("starts"), "start\n");
  // F counts the filter's refusals; the summary adds the fake one.
  EXPECT_EQ(filter_line(), "F    2");
  EXPECT_EQ(fetched_column(), "3");
  EXPECT_TRUE(contains(result.err, "0 as crossposts, 3 filtered")) << result.err;
}

TEST_F(FilterRun, FullFilterIsGivenTheTextAsReceivedStuffedWithItsEndLine) {
  set_active({"comp.a"});
  const std::string body = ".hidden\n.\n..two\nplain\n";
  add("comp.a", 1, body);
  add("comp.a", 2);
  const std::string copy = site.path("copy");
  const std::string filter = script("filter.sh", kCopyingFilter);

  const RunResult result = run({"--filter", "sh " + filter + " " + copy + " 335"});
  ASSERT_EQ(result.status, 0) << result.err;
  std::string expected;
  for (long n = 1; n <= 2; ++n) {
    const std::string id = "<" + std::to_string(n) + ".comp.a@test>";
    const std::string wire_body = n == 1 ? "..hidden\r\n..\r\n...two\r\nplain\r\n" : "body\r\n";
    expected +=
        "Path: upstream!poster\r\nFrom: poster@example.invalid\r\nNewsgroups: comp.a\r\n"
        "Subject: test " +
        std::to_string(n) + "\r\nMessage-ID: " + id +
        "\r\nDate: Tue, 01 Dec 2026 00:00:00 GMT\r\n\r\n" + wire_body + ".\r\n";
  }
  EXPECT_EQ(site.read("copy"), expected);
  // What is stored is un-stuffed.
  const Strings articles = stored();
  ASSERT_EQ(articles.size(), 2u);
  EXPECT_TRUE(contains(articles[0], "\n\n" + body)) << articles[0];
  EXPECT_EQ(filter_line(), "F    0");
}

TEST_F(FilterRun, StrangeAnswerStopsTheFilterAndLaterArticlesAreStoredUnfiltered) {
  set_active({"comp.a"});
  std::multiset<std::string> ids;
  for (long n = 1; n <= 3; ++n) ids.insert(add("comp.a", n, "SPAM\n"));
  const std::string copy = site.path("copy");
  const std::string filter = script("filter.sh", kCopyingFilter);

  const RunResult result = run({"--filter", "sh " + filter + " " + copy + " '200 what'"});
  ASSERT_EQ(result.status, 0) << result.err;
  EXPECT_TRUE(contains(result.err, "strange filter response: 200 what\n")) << result.err;
  EXPECT_EQ(stored_ids(), ids);
  // Only the first article went to the filter.
  const std::string given = site.read("copy");
  EXPECT_EQ(given.find("\n.\r\n"), given.rfind("\n.\r\n")) << given;
  EXPECT_TRUE(contains(given, "<1.comp.a@test>")) << given;
  EXPECT_EQ(host_active(), "comp.a 4\n");
  // The stopped filter no longer counts as set, and nothing was filtered.
  EXPECT_EQ(filter_line(), "");
}

TEST_F(FilterRun, FilterThatExitsAfterItsFirstAnswerLeavesTheRunGoingUnfiltered) {
  set_active({"comp.a"});
  std::multiset<std::string> ids;
  for (long n = 1; n <= 4; ++n) ids.insert(add("comp.a", n, "SPAM\n"));
  const std::string filter = script("filter.sh",
                                    "cr=$(printf '\\r')\n"
                                    "while IFS= read -r line; do\n"
                                    "  case \"$line\" in \".$cr\") echo 435; exit 0 ;; esac\n"
                                    "done\n");

  const RunResult result = run({"--filter", "sh " + filter});
  ASSERT_EQ(result.status, 0) << result.err;
  EXPECT_FALSE(result.signaled);
  ids.erase("<1.comp.a@test>");
  EXPECT_EQ(stored_ids(), ids);
  EXPECT_TRUE(contains(result.err, "ARTICLE 1 rejected by full filter")) << result.err;
  // Whether the pipe or the answer fails first depends on when the shell ends.
  EXPECT_TRUE(contains(result.err, "pipe to filter \"sh " + filter + "\" died") ||
              contains(result.err, "read error on socket"))
      << result.err;
  EXPECT_EQ(host_active(), "comp.a 5\n");
  EXPECT_EQ(filter_line(), "F    1");
}

TEST_F(FilterRun, FilterThatExitsAtOnceFailsTheFirstWriteOfALongArticle) {
  set_active({"comp.a"});
  std::string big;
  while (big.size() < 300000) big += "a line of a long article, long enough to fill pipes\n";
  const std::string id1 = add("comp.a", 1, big);
  const std::string id2 = add("comp.a", 2);

  const RunResult result = run({"--filter", "exit 0"});
  ASSERT_EQ(result.status, 0) << result.err;
  EXPECT_TRUE(contains(result.err, "filter stopped: exit 0: ")) << result.err;
  EXPECT_EQ(stored_ids(), (std::multiset<std::string>{id1, id2}));
  EXPECT_EQ(host_active(), "comp.a 3\n");
}

TEST_F(FilterRun, FilterThatNeverAnswersIsGivenUpAfterTheTimeout) {
  set_active({"comp.a"});
  const std::string id1 = add("comp.a", 1);
  const std::string id2 = add("comp.a", 2);

  testsupport::RunOptions options;
  options.timeout_seconds = 120;
  const RunResult result =
      testsupport::run_tessu(args({"--timeout", "2", "--filter", "cat > /dev/null"}), options);
  ASSERT_EQ(result.status, 0) << result.err;
  EXPECT_FALSE(result.signaled);
  EXPECT_TRUE(contains(result.err, "timeout on server socket")) << result.err;
  EXPECT_EQ(stored_ids(), (std::multiset<std::string>{id1, id2}));
  EXPECT_EQ(host_active(), "comp.a 3\n");
}

TEST_F(FilterRun, FilterThatNeverReadsIsGivenUpAfterTheTimeout) {
  set_active({"comp.a"});
  std::string big;
  while (big.size() < 300000) big += "a line of a long article, long enough to fill pipes\n";
  const std::string id1 = add("comp.a", 1, big);
  const std::string id2 = add("comp.a", 2);
  // Never reads its input; ends at its first write once tessu has closed the pipe.
  const std::string filter = "while sleep 0.2; do printf x || exit 0; done";

  testsupport::RunOptions options;
  options.timeout_seconds = 120;
  const RunResult result =
      testsupport::run_tessu(args({"--timeout", "2", "--filter", filter}), options);
  ASSERT_EQ(result.status, 0) << result.err;
  EXPECT_FALSE(result.signaled);
  EXPECT_TRUE(contains(result.err, "filter stopped: " + filter + ": ")) << result.err;
  EXPECT_EQ(stored_ids(), (std::multiset<std::string>{id1, id2}));
  EXPECT_EQ(host_active(), "comp.a 3\n");
}

TEST_F(FilterRun, BothFiltersTogetherAndANullWindow) {
  set_active({"comp.a"});
  add("comp.a", 1, "fine\n", "<1.reject@test>");
  add("comp.a", 2, "SPAM\n");
  const std::string a3 = add("comp.a", 3);
  const std::string starts = site.path("starts");
  const std::string filter = script("filter.sh", kContentFilter);
  const std::string mfilter = script("mfilter.sh", "case \"$1\" in *reject*) exit 1 ;; esac\n");

  const RunResult result = run(
      {"--window", "0", "--mfilter", "sh " + mfilter, "--filter", "sh " + filter + " " + starts});
  ASSERT_EQ(result.status, 0) << result.err;
  EXPECT_EQ(stored_ids(), (std::multiset<std::string>{a3}));
  EXPECT_FALSE(article_command_sent(1));
  EXPECT_EQ(host_active(), "comp.a 4\n");
  EXPECT_EQ(filter_line(), "F    2");
}

}  // namespace
