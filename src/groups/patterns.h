// The pattern lists that select groups: the --groups patterns, the ME entry's
// patterns (C News) and the patterns of the server's entry, with the two
// matching rules (last wildcard wins, or most specific C News pattern wins).
#pragma once

#include <string>
#include <vector>

namespace groups {

/// One group pattern; an exclusion was written with a leading '!' or '@'.
struct Pattern {
  bool exclusion = false;
  std::string text;
};

/// A list of patterns, walked from the most recently added to the oldest.
struct PatternList {
  std::vector<Pattern> patterns;  // oldest first
  /// A list made only of exclusions accepts a group none of them matches
  /// (true for the --groups list only).
  bool accept_unmatched_exclusions = false;
};

/// The patterns of every --groups option.
extern PatternList g_groups_list;
/// The ME entry's patterns in C News mode (empty in INN mode).
extern PatternList g_me_list;
/// The patterns of the server's entry, and in INN mode also those of ME.
extern PatternList g_entry_list;

/// Adds text, without its leading blanks, as the newest pattern of list;
/// does nothing when nothing is left.
void add_pattern(const char* text, PatternList& list, bool exclusion);

/// INN rule: the most recent wildcard pattern that matches decides; true to accept.
bool ordered_match(const char* group, const PatternList& list);

/// C News rule: the highest component_match score decides, an exclusion wins a
/// tie, an empty list rejects; true to accept.
bool best_match(const char* group, const PatternList& list);

/// Score of a C News newsgroup pattern ("all" components) for group; 0 is no match.
int component_match(const char* group, const char* pattern);

}  // namespace groups
