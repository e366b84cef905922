// Random input for the pattern matchers and the newsfeeds reader: nothing may
// crash, read outside its input or hang. Run under the sanitizers to see
// out-of-bounds reads.
#include <cstring>
#include <random>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "base/settings.h"
#include "groups/newsfeeds.h"
#include "support/capture.h"
#include "support/settings_guard.h"
#include "support/tessu_runner.h"

namespace {

// Random text from an alphabet heavy in the bytes the parsers treat specially.
std::string random_text(std::mt19937& random, const std::string& alphabet, size_t max_length) {
  std::uniform_int_distribution<size_t> length(0, max_length);
  std::uniform_int_distribution<size_t> pick(0, alphabet.size() - 1);
  std::string text(length(random), ' ');
  for (char& c : text) c = alphabet[pick(random)];
  return text;
}

// A copy in a heap block of exactly its size, so a read past the end is seen.
std::vector<char> exact(const std::string& text) {
  return std::vector<char>(text.c_str(), text.c_str() + text.size() + 1);
}

TEST(PatternRobustness, RandomPatternsAndGroups) {
  std::mt19937 random(20240601);
  const std::string pattern_bytes = "ab.*?[]^-\\!\x80\xff";
  const std::string group_bytes = "ab.-]\\\x80\xff";
  for (int round = 0; round < 20000; ++round) {
    const std::vector<char> pattern = exact(random_text(random, pattern_bytes, 12));
    const std::vector<char> group = exact(random_text(random, group_bytes, 12));
    const int wild = groups::match_wildcard(group.data(), pattern.data());
    EXPECT_TRUE(wild == groups::kWildTrue || wild == groups::kWildFalse ||
                wild == groups::kWildAbort);
    EXPECT_GE(groups::component_match(group.data(), pattern.data()), 0);
  }
}

TEST(PatternRobustness, ComponentMatchOfAllPrefixes) {
  std::mt19937 random(7);
  for (int round = 0; round < 2000; ++round) {
    std::string pattern;
    const int parts = static_cast<int>(random() % 5);
    for (int i = 0; i < parts; ++i) pattern += (random() % 2 != 0) ? "all." : "a.";
    pattern += (random() % 2 != 0) ? "all" : "a\\";
    const std::vector<char> own = exact(pattern);
    const std::vector<char> group = exact(random_text(random, "a.", 10));
    EXPECT_GE(groups::component_match(group.data(), own.data()), 0);
  }
}

TEST(NewsfeedsRobustness, RandomFilesAreReadToTheEnd) {
  const testsupport::SettingsGuard settings_guard;
  testsupport::TempSite site;
  base::g_settings.paths.newsfeeds = site.path("etc/newsfeeds");
  base::g_settings.spool_name = "feed";
  base::g_settings.verbosity = 0;
  std::mt19937 random(99);
  // Runs without a delimiter stay far below the token limit.
  const std::string bytes = std::string("feedME:,/!@# \t\n\\\r\0x*", 21);
  for (int round = 0; round < 40; ++round) {
    base::g_settings.inn_mode = round % 2 == 0;
    site.write("etc/newsfeeds", random_text(random, bytes, 4000));
    testsupport::CaptureFd err;
    groups::read_newsfeeds();
    err.take();
    for (const groups::Pattern& p : groups::g_entry_list.patterns) {
      EXPECT_FALSE(p.text.empty());
      EXPECT_LE(p.text.size(), static_cast<size_t>(groups::kTokenMax));
      EXPECT_EQ(p.text.find('\0'), std::string::npos);
    }
    groups::g_entry_list.patterns.clear();
    groups::g_me_list.patterns.clear();
    groups::g_excluded_sites.clear();
  }
}

}  // namespace
