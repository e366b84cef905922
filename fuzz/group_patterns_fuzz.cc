// The group pattern lists (src/groups/patterns.cc) and --groups values.
// Input: a group name, then one pattern per line; a pattern line starting with
// '!' is an exclusion. The pattern lines joined with commas are also given to
// add_groups_option as a --groups value.
//
// Properties: component_match scores lie between 0 and 100 per component of
// the group and per "all." of the pattern, and a group scores exactly that against itself;
// ordered_match and best_match decide as the last matching wildcard and the most specific C News
// pattern do; a group's own escaped name admits it and excludes it; a --groups
// value adds exactly its non-empty pieces, without their blanks, backslash and
// exclusion mark.
#include <algorithm>
#include <string>
#include <string_view>
#include <vector>

#include "groups/newsfeeds.h"
#include "groups/patterns.h"
#include "groups/wildcard.h"
#include "report/util.h"
#include "support/fuzz_support.h"

namespace {

using groups::Pattern;
using groups::PatternList;

bool wildcard_accepts(const Pattern& pattern, const char* group) {
  return pattern.text == "*" || groups::match_wildcard(group, pattern.text.c_str()) == 1;
}

bool expected_ordered(const char* group, const PatternList& list) {
  bool positive = false;
  for (const Pattern& p : list.patterns) positive = positive || !p.exclusion;
  for (auto it = list.patterns.rbegin(); it != list.patterns.rend(); ++it) {
    if (wildcard_accepts(*it, group)) return !it->exclusion;
  }
  return !positive && list.accept_unmatched_exclusions;
}

bool expected_best(const char* group, const PatternList& list) {
  // The highest score decides; an exclusion wins a tie.
  int best = 0;
  bool accept = false;
  for (const Pattern& p : list.patterns) {
    const int score = groups::component_match(group, p.text.c_str());
    if (score > best || (score == best && score > 0 && p.exclusion)) {
      best = score;
      accept = !p.exclusion;
    }
  }
  return accept;
}

std::string escaped(std::string_view text) {
  std::string pattern;
  for (char c : text) {
    pattern += '\\';
    pattern += c;
  }
  return pattern;
}

bool has_all_component(std::string_view group) {
  for (std::string_view component : fuzz::split(group, '.')) {
    if (component == "all") return true;
  }
  return false;
}

// The patterns a --groups value should add, oldest first.
std::vector<Pattern> expected_groups_option(std::string_view value) {
  std::vector<Pattern> patterns;
  for (std::string_view piece : fuzz::split(value, ',')) {
    piece = piece.substr(0, piece.find('\0'));
    auto skip = [&piece] {
      while (!piece.empty() && (piece[0] == ' ' || piece[0] == '\t')) piece.remove_prefix(1);
    };
    skip();
    if (!piece.empty() && piece[0] == '\\') piece.remove_prefix(1);
    bool exclusion = false;
    if (!piece.empty() && (piece[0] == '!' || piece[0] == '@')) {
      exclusion = true;
      piece.remove_prefix(1);
    }
    skip();
    if (!piece.empty()) patterns.push_back(Pattern{exclusion, std::string(piece)});
  }
  return patterns;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  std::string_view input = fuzz::as_text(data, size);
  input = input.substr(0, input.find('\0'));
  const std::vector<std::string_view> lines = fuzz::split(input, '\n');
  const std::vector<char> group_copy = fuzz::exact_copy(lines[0]);
  const char* group = group_copy.data();
  const int components = static_cast<int>(std::count(lines[0].begin(), lines[0].end(), '.')) + 1;

  PatternList list;
  std::string joined;
  for (size_t i = 1; i < lines.size(); ++i) {
    std::string_view line = lines[i];
    const bool exclusion = !line.empty() && line[0] == '!';
    if (exclusion) line.remove_prefix(1);
    groups::add_pattern(std::string(line).c_str(), list, exclusion);
    if (i > 1) joined += ',';
    joined += lines[i];
  }
  for (const Pattern& p : list.patterns) {
    FUZZ_CHECK(!p.text.empty() && p.text[0] != ' ' && p.text[0] != '\t');
    const std::vector<char> pattern = fuzz::exact_copy(p.text);
    const int score = groups::component_match(group, pattern.data());
    // Each component of the group, and each "all." of the pattern (which may
    // stand for a component the group lacks), adds at most 100.
    int all_components = 0;
    for (size_t at = p.text.find("all."); at != std::string::npos;
         at = p.text.find("all.", at + 1)) {
      ++all_components;
    }
    FUZZ_CHECK(score >= 0 && score <= 100 * (components + all_components));
  }

  FUZZ_CHECK(groups::ordered_match(group, list) == expected_ordered(group, list));
  list.accept_unmatched_exclusions = true;
  FUZZ_CHECK(groups::ordered_match(group, list) == expected_ordered(group, list));
  FUZZ_CHECK(groups::best_match(group, list) == expected_best(group, list));

  if (lines[0].find('\\') == std::string_view::npos && !has_all_component(lines[0])) {
    FUZZ_CHECK(groups::component_match(group, group) == 100 * components);
  }
  PatternList own;
  groups::add_pattern(escaped(lines[0]).c_str(), own, false);
  if (!own.patterns.empty()) {  // a name of blanks only is no pattern
    FUZZ_CHECK(groups::ordered_match(group, own));
    own.patterns.push_back(Pattern{true, own.patterns.back().text});
    FUZZ_CHECK(!groups::ordered_match(group, own));
  }

  groups::g_groups_list.patterns.clear();
  groups::add_groups_option(joined.c_str());
  const std::vector<Pattern> expected = expected_groups_option(joined);
  FUZZ_CHECK(groups::g_groups_list.patterns.size() == expected.size());
  for (size_t i = 0; i < expected.size(); ++i) {
    FUZZ_CHECK(groups::g_groups_list.patterns[i].exclusion == expected[i].exclusion);
    FUZZ_CHECK(groups::g_groups_list.patterns[i].text == expected[i].text);
  }
  groups::g_groups_list.patterns.clear();
  return 0;
}
