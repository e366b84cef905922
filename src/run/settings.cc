#include "run/settings.h"

#include "newssys/paths.h"

namespace run {

Settings g_settings;

void set_start_values() {
  Settings& s = g_settings;
  s.nofetch = 0;
  s.inn_mode = true;
  s.size = 100000;
  s.authinfo_generic = false;
  s.readbeforeauth = 0;
  s.window = 10;
  s.max_path = 1;
  s.file_mask = 002;

  SitePaths& p = s.paths;
  p.line_terminator = "\r\n";
  p.locks = newssys::kDefaultLocks;
  p.newsfeeds = newssys::kDefaultNewsfeeds;
  p.inhosts = newssys::kDefaultInhosts;
  p.incoming = newssys::kDefaultIncoming;
  p.batch = newssys::kDefaultBatch;
  p.active = newssys::kDefaultActive;
  p.history = newssys::kDefaultHistory;
  p.spool = newssys::kDefaultSpool;
  p.newsbin = newssys::kDefaultNewsBin;
  p.pathetc = newssys::kDefaultPathEtc;
  p.newshome = newssys::kDefaultNewsHome;
}

int64_t effective_timeout() {
  return g_settings.timeout > 0 ? g_settings.timeout : 600;
}

}  // namespace run
