// Group selection: the newsfeeds (INN) or sys (C News) entries and the
// --groups patterns.
#pragma once

namespace groups {

/// Reads the ME entry and the spool's entry of the newsfeeds or sys file.
void read_newsfeeds();

/// Adds the patterns of a --groups option.
void add_groups_option(const char* patterns);

}  // namespace groups
