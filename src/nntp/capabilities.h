// The server's capability list (RFC 3977 5.2): read when an option needs it.
#pragma once

#include <string>
#include <vector>

namespace nntp {

/// Capability lines kept at most; a longer list is read to its end, the rest dropped.
inline constexpr size_t kCapabilityLinesMax = 1000;

/// The list of the server connection, as last read.
struct Capabilities {
  std::vector<std::string> lines;  // without line ends, dots unstuffed
  bool current = false;            // read in the server's present state
};

/// The capabilities of this run's server connection.
extern Capabilities g_capabilities;

/// Sends CAPABILITIES and keeps the list (empty when the server answers
/// anything but 101); a broken connection ends the run (9).
void read_capabilities();

/// True when lines hold a capability whose label is name and, when argument
/// is not empty, one of whose arguments is argument (both in any case).
bool capability_listed(const std::vector<std::string>& lines, const char* name,
                       const char* argument);

/// capability_listed on the list last read.
bool has_capability(const char* name, const char* argument);

}  // namespace nntp
