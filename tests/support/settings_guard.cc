#include "support/settings_guard.h"

#include "groups/newsfeeds.h"
#include "sys/timed_io.h"

namespace testsupport {

SettingsGuard::SettingsGuard()
    : settings(base::g_settings),
      groups_list(groups::g_groups_list),
      me_list(groups::g_me_list),
      entry_list(groups::g_entry_list),
      excluded_sites(groups::g_excluded_sites),
      special_exclude(groups::g_special_exclude) {}

SettingsGuard::~SettingsGuard() {
  base::g_settings = settings;
  groups::g_groups_list = groups_list;
  groups::g_me_list = me_list;
  groups::g_entry_list = entry_list;
  groups::g_excluded_sites = excluded_sites;
  groups::g_special_exclude = special_exclude;
  sys::shorten_timeout(0);
}

}  // namespace testsupport
