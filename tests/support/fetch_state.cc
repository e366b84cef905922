#include "support/fetch_state.h"

#include <unistd.h>

#include <cstdlib>

#include "groups/newsfeeds.h"
#include "report/stats.h"
#include "support/tessu_runner.h"

namespace testsupport {

bool FetchState::set_up(const char* dir_template) {
  settings_guard.emplace();
  base::Settings& s = base::g_settings;
  s.verbosity = 5;
  s.dry_run = 0;
  s.timeout = 30;  // only so that a broken test cannot hang
  s.no_path = 0;
  s.tag = 0;
  s.keep_fake = 0;
  s.filter.reset();
  s.add_header.reset();
  s.pipe_program.reset();
  s.spool_name = "upstream";
  s.server_host = "upstream";
  std::string dir = dir_template;
  if (mkdtemp(dir.data()) == nullptr) return false;
  incoming = dir;
  s.paths.incoming = incoming;
  groups::g_excluded_sites = {"feed"};
  groups::g_special_exclude = false;
  report::g_counters = report::Counters{};
  return true;
}

void FetchState::restore() {
  remove_batches();
  rmdir(incoming.c_str());
  settings_guard.reset();
}

std::vector<std::string> FetchState::batch_names() const {
  return list_dir(incoming);
}

void FetchState::remove_batches() const {
  for (const std::string& name : batch_names()) unlink((incoming + "/" + name).c_str());
}

}  // namespace testsupport
