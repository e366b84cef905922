// The process-wide state the fetch code reads, set for unit tests of a fetch
// from "upstream" into a private incoming directory, and put back after.
#pragma once

#include <optional>
#include <string>
#include <vector>

#include "support/settings_guard.h"

namespace testsupport {

/// What set_up changes and restore puts back.
struct FetchState {
  std::string incoming;  // the private incoming directory
  std::optional<SettingsGuard> settings_guard;

  /// Saves the settings and the group selection, then sets them for a
  /// fetch from "upstream" (verbosity 5, no filter, added header or news
  /// program, "feed" the one excluded site) into a new directory made from
  /// dir_template ("...XXXXXX"); the counters start from zero. False when
  /// the directory could not be made.
  bool set_up(const char* dir_template);
  /// Removes the incoming directory with the batches in it and puts back what
  /// set_up saved.
  void restore();

  /// The names in the incoming directory, sorted.
  std::vector<std::string> batch_names() const;
  /// Removes every file in the incoming directory.
  void remove_batches() const;
};

}  // namespace testsupport
