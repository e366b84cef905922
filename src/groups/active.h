// The local active file and the table of groups that may be fetched.
#pragma once

#include <string>

namespace groups {

/// The unseen groups come out ordered by string_hash(name, kGroupBuckets).
inline constexpr int kGroupBuckets = 1023;

/// Size of the buffer next_unseen_group copies a name into.
inline constexpr int kGroupNameBuffer = 1024;

/// A group that is active locally and selected for fetching.
struct GroupEntry {
  bool seen = false;  // the pull loop found it in the host active file
  std::string name;
};

/// Reads the local active file (ACTIVE) into the group table, keeping groups
/// with flag 'y' or 'm' that group selection allows; again: empty the table
/// first. Ends the run with status 8 when the file cannot be read.
void read_active(bool again);

/// Empties the group table.
void group_table_clear();

/// Adds a group, not yet seen; a name read again gets an entry of its own.
void group_insert(const char* name);

/// The entry for name read last, or null; the pointer is good until that entry
/// leaves the table.
GroupEntry* group_lookup(const char* name);

/// True when the group is in the table.
bool group_known(const char* name);

/// Marks the group as seen; true when it is in the table and was not marked before.
bool group_mark_seen(const char* name);

/// Takes the next group never marked out of the table into name (a buffer of
/// kGroupNameBuffer bytes), dropping marked groups on the way; false when none
/// is left, after which the table is empty. The groups come by the bucket of
/// their name, and within a bucket the entry read last first.
bool next_unseen_group(char* name);

/// Bucket index of text, from 0 to modulus - 1 (0 for the empty text).
int string_hash(const char* text, int modulus);

}  // namespace groups
