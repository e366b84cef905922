// The local active file and the table of groups that may be fetched.
#pragma once

#include <array>
#include <string>
#include <vector>

namespace groups {

/// Number of buckets of the group table.
inline constexpr int kGroupBuckets = 1023;

/// Size of the buffer next_unseen_group copies a name into.
inline constexpr int kGroupNameBuffer = 1024;

/// A group that is active locally and selected for fetching.
struct GroupEntry {
  bool seen = false;  // the pull loop found it in the host active file
  std::string name;
};

/// The groups of the local active file that group selection allows, hashed by
/// name; each bucket's chain holds its newest entry last.
struct GroupTable {
  std::array<std::vector<GroupEntry>, kGroupBuckets> buckets;
  int unseen_cursor = 0;  // the bucket next_unseen_group goes on from
};

/// The group table of this run.
extern GroupTable g_group_table;

/// Reads the local active file (ACTIVE) into the group table, keeping groups
/// with flag 'y' or 'm' that group selection allows; again: empty the table
/// first. Ends the run with status 8 when the file cannot be read.
void read_active(bool again);

/// Empties the group table and resets the unseen cursor.
void group_table_clear();

/// Adds a group (not yet seen) in front of its bucket's chain.
void group_insert(const char* name);

/// The newest entry for name, or null; the pointer is good until the table changes.
GroupEntry* group_lookup(const char* name);

/// True when the group is in the table.
bool group_known(const char* name);

/// Marks the group as seen; true when it is in the table and was not marked before.
bool group_mark_seen(const char* name);

/// Takes the next group never marked out of the table into name (a buffer of
/// kGroupNameBuffer bytes), dropping marked groups on the way; false when none
/// is left, after which the table is empty.
bool next_unseen_group(char* name);

/// Bucket index of text, from 0 to modulus - 1 (0 for the empty text).
int string_hash(const char* text, int modulus);

}  // namespace groups
