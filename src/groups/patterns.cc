#include "groups/patterns.h"

#include <cstring>

#include "groups/wildcard.h"
#include "report/util.h"

namespace groups {

PatternList g_groups_list{{}, true};
PatternList g_me_list;
PatternList g_entry_list;

void add_pattern(const char* text, PatternList& list, bool exclusion) {
  text = report::skip_blanks(text);
  if (*text == '\0') return;
  list.patterns.push_back(Pattern{exclusion, text});
}

bool ordered_match(const char* group, const PatternList& list) {
  bool has_positive = false;
  for (auto it = list.patterns.rbegin(); it != list.patterns.rend(); ++it) {
    if (!it->exclusion) has_positive = true;
    if (it->text == "*" || match_wildcard(group, it->text.c_str()) == kWildTrue) {
      return !it->exclusion;
    }
  }
  if (has_positive) return false;
  return list.accept_unmatched_exclusions;
}

bool best_match(const char* group, const PatternList& list) {
  int best = 0;
  bool accept = false;
  for (auto it = list.patterns.rbegin(); it != list.patterns.rend(); ++it) {
    const int score = component_match(group, it->text.c_str());
    if (score == 0) continue;
    if (it->exclusion) {
      if (score >= best) {
        best = score;
        accept = false;
      }
    } else if (score > best) {
      best = score;
      accept = true;
    }
  }
  return accept;
}

int component_match(const char* group, const char* pattern) {
  if (strcmp(pattern, "all") == 0) return 1;
  if (strncmp(pattern, "all.", 4) == 0) {
    const char* dot = strchr(group, '.');
    const int score = component_match(dot != nullptr ? dot + 1 : "", pattern + 4);
    return score != 0 ? score + 99 : 0;
  }
  for (; *group != '\0'; ++group, ++pattern) {
    // A trailing backslash leaves the pattern at its end, which only a '.' accepts.
    if (*pattern == '\\') ++pattern;
    if (*group == '.') {
      if (*pattern == '\0') return 1;  // the pattern names whole leading components
      if (*pattern != '.') return 0;
      const int score = component_match(group + 1, pattern + 1);
      return score != 0 ? score + 100 : 0;
    }
    if (*group != *pattern) return 0;
  }
  return *pattern == '\0' ? 100 : 0;
}

}  // namespace groups
