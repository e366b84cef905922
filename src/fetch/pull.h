// The pull loop: walks the host active file group by group and records where
// each group's fetch stopped.
#pragma once

namespace fetch {

/// Fetches the new articles of every selected group; false when the fetch failed.
bool pull(const char* spool_name);

/// Finishes a fetch under way: flushes the incoming spool and settles the host
/// active file. Does nothing when no fetch is under way.
void pull_cleanup(bool interrupted);

}  // namespace fetch
