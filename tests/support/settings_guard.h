// Puts back, at the end of a test, the run settings and the group selection
// derived from them (the --groups patterns, the newsfeeds entry and the
// excluded site names), whatever the test set meanwhile.
#pragma once

#include <string>
#include <vector>

#include "base/settings.h"
#include "groups/patterns.h"

namespace testsupport {

/// Copies base::g_settings and the group selection when made and restores
/// them when destroyed. A fixture holds one as a member (made before SetUp,
/// destroyed after TearDown); a single test makes one at its start.
struct SettingsGuard {
  SettingsGuard();
  ~SettingsGuard();
  SettingsGuard(const SettingsGuard&) = delete;
  SettingsGuard& operator=(const SettingsGuard&) = delete;

  base::Settings settings;
  groups::PatternList groups_list;
  groups::PatternList me_list;
  groups::PatternList entry_list;
  std::vector<std::string> excluded_sites;
  bool special_exclude = false;
};

}  // namespace testsupport
