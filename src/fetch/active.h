// The local active file and the table of groups that may be fetched.
#pragma once

namespace fetch {

/// Reads the local active file into the group table (again: empty it first).
void read_active(bool again);

}  // namespace fetch
