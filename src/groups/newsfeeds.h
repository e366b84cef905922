// Group selection: the newsfeeds (INN) or sys (C News) entries and the
// --groups patterns decide which groups are fetched; the server's entry also
// names the sites whose presence in a Path shows an article has been here.
#pragma once

#include <string>
#include <vector>

#include "groups/patterns.h"
#include "groups/wildcard.h"

namespace groups {

/// The program's own site name: put into the Path of fetched articles when it
/// is itself an excluded site name.
inline constexpr const char* kOwnSiteName = "tessu";

/// Tokens of the newsfeeds file are at most this long (a carried token of
/// more characters ends the run).
inline constexpr int kTokenMax = 1020;

/// The excluded site names, in the order they were added.
extern std::vector<std::string> g_excluded_sites;

/// True when kOwnSiteName is among the excluded site names.
extern bool g_special_exclude;

/// Reads the ME entry and the spool's entry of the newsfeeds or sys file into
/// the pattern lists and the excluded site names; ends the run with status 8
/// when the file cannot be read or holds an over-long token.
void read_newsfeeds();

/// Adds the comma-separated patterns of one --groups value to g_groups_list.
void add_groups_option(const char* patterns);

/// True when --groups, the ME entry and the server's entry all accept the
/// group; a refusal is reported as a detail message.
bool group_allowed(const char* group);

/// Adds a name to the excluded site names.
void add_site_name(const char* name);

/// True when name is not empty and is one of the excluded site names.
bool is_site_name(const char* name);

/// True when one of the '!'-separated elements of a Path value (ending at the
/// end of the text, LF or CR) is an excluded site name.
bool site_in_path(const char* value);

/// The excluded site name added first, or "" when there is none.
const char* first_site_name();

}  // namespace groups
