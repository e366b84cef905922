#include "run/driver.h"

#include <sys/stat.h>
#include <sys/statvfs.h>
#include <unistd.h>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "fetch/active.h"
#include "fetch/pull.h"
#include "groups/newsfeeds.h"
#include "newssys/paths.h"
#include "nntp/auth.h"
#include "nntp/children.h"
#include "nntp/group_list.h"
#include "nntp/replies.h"
#include "nntp/server.h"
#include "post/outgoing.h"
#include "report/message.h"
#include "report/stats.h"
#include "report/util.h"
#include "run/locks.h"
#include "run/options.h"
#include "run/settings.h"
#include "run/signals.h"
#include "run/site_config.h"

namespace run {

time_t g_connect_time = 0;

namespace {

using report::message;

constexpr int kTitlePrefixMax = 511;
constexpr int kTitleMax = 2047;
constexpr int kScanlogsWaitLimit = 1800;
constexpr int kScanlogsWaitStep = 5;

int g_exit_nesting = 0;

// The argument area the process title is written into.
char* g_argument_start = nullptr;
char* g_argument_end = nullptr;

char g_title[kTitleMax + 1];
size_t g_title_prefix_length = 0;
bool g_title_prefix_set = false;

bool fetching() {
  return g_settings.nofetch == 0;
}

const char* last_component(const char* path) {
  const char* slash = strrchr(path, '/');
  return slash != nullptr ? slash + 1 : path;
}

// Waits while the news system's log scanner holds its lock (at most 1800 s).
void await_scanlogs() {
  set_state("check scanlogs running");
  report::PathBuffer path;
  report::join_path(path, newssys::kScanlogsLockDir, "/", newssys::kScanlogsLockName);
  int waited = 0;
  bool first = true;
  while (lock_held(path)) {
    if (first) {
      set_state("await scanlogs lock");
      first = false;
    }
    if (waited + kScanlogsWaitStep > kScanlogsWaitLimit) {
      message(report::kError, "scanlog lock \"%s\" timed out", path);
      exit_run(kStatusLockTimeout);
    }
    sleep_checked(kScanlogsWaitStep);
    waited += kScanlogsWaitStep;
  }
}

// Returns false when the fetch is to be skipped for lack of space.
bool enough_free_space() {
  message(report::kProgress, "check spool free space");
  const char* spool = text_or_empty(g_settings.paths.spool);
  int64_t kilobytes = 0;
  int64_t nodes = 0;
  if (!free_space(spool, &kilobytes, &nodes)) {
    message(errno != 0 ? report::kSysError : report::kError, "can't determine free %s space",
            spool);
    return true;
  }
  if (kilobytes < g_settings.minfree) {
    message(report::kError, "spool free space is %ldk too low",
            static_cast<long>(g_settings.minfree - kilobytes));
    return false;
  }
  if (g_settings.minfree / 2 > nodes) {
    message(report::kError, "spool free inodes is %ldk too low",
            static_cast<long>(g_settings.minfree / 2 - nodes));
  }
  return true;
}

bool authinfo_set() {
  return has_text(g_settings.authinfo_user) || g_settings.authinfo_generic;
}

void authenticate_now() {
  nntp::authenticate(text_or_empty(g_settings.authinfo_user),
                     text_or_empty(g_settings.authinfo_password));
}

void reader_mode_then_late_auth() {
  nntp::mode_reader();
  if (g_settings.readbeforeauth && authinfo_set()) authenticate_now();
}

// Step 8: the connection and the greeting; returns a status to end with, or -1 to go on.
int connect_and_greet() {
  const int code = nntp::open_server(text_or_empty(g_settings.server_host),
                                     text_or_empty(g_settings.server_port));
  switch (code) {
    case nntp::kPostingAllowed:
      message(report::kProgress, "OK, can post");
      return -1;
    case nntp::kPostingProhibited:
      message(report::kProgress, "OK, but can't post");
      return -1;
    case -1:
      return kStatusNoConnection;
    default:
      message(report::kError, "can't talk to \"%s\": got response code %d",
              text_or_empty(g_settings.server_host), code);
      return kStatusRefused;
  }
}

void lists_and_descriptions() {
  if (g_settings.list || g_settings.newlist) {
    nntp::get_group_list();
    if (fetching() || g_settings.desc) fetch::read_active(true);
  }
  if (g_settings.desc || g_settings.alldesc) nntp::get_descriptions();
}

void take_host_lock() {
  set_state("locking host access");
  const std::string name = std::string("LOCK.tessu.") + text_or_empty(g_settings.server_host);
  lock(nullptr, name.c_str(), g_settings.noqueue != 0);
}

// Steps 15 to 17: fetch, close, statistics.
int fetch_close_and_report() {
  if (fetching()) {
    const bool room = g_settings.minfree == 0 || enough_free_space();
    if (room) {
      message(report::kProgress, "fetching news");
      if (!fetch::pull(text_or_empty(g_settings.spool_name))) {
        // An aborted fetch still reports its figures before ending.
        report::g_counters.fetch_aborted = true;
        if (!g_settings.dry_run) nntp::close_server(1);
        report::write_statistics(g_connect_time, time(nullptr));
        return kStatusBroken;
      }
    }
  }
  if (!g_settings.dry_run && !nntp::close_server(0)) return kStatusBroken;
  report::write_statistics(g_connect_time, time(nullptr));
  return kStatusOk;
}

void write_title(const char* text, const char* suffix) {
  char title[kTitleMax + 1];
  snprintf(title, sizeof title, "%.*s%s%s", static_cast<int>(g_title_prefix_length), g_title, text,
           suffix != nullptr ? suffix : "");
  const size_t room = static_cast<size_t>(g_argument_end - g_argument_start);
  size_t length = strlen(title);
  if (room < 2) return;
  if (room - 1 <= length) {
    length = room - 2;
    title[length] = '\0';
  }
  memcpy(g_argument_start, title, length + 1);
  memset(g_argument_start + length, 0, room - length);
}

// Start-up steps 7 to 16: the command line, the defaults it leaves, the
// spool name's checks and the per-spool profile.
void settle_positional_defaults() {
  Settings& s = g_settings;
  if (!has_text(s.server_host)) s.server_host = s.spool_name;
  if (!has_text(s.server_port)) s.server_port = "nntp";
  if (!s.spool_name) {
    if (const char* env = getenv("NNTPSERVER")) s.spool_name = env;
  }
  // The host defaults to the spool name; with only NNTPSERVER, that is the host too.
  if (!has_text(s.server_host)) s.server_host = s.spool_name;
  // The articles the outgoing spool names live in the news system's article
  // spool; when the site configuration says where that is, it is the default.
  if (!s.article_dir)
    s.article_dir = has_text(s.paths.spool) ? *s.paths.spool : newssys::kDefaultArticleDir;
  if (!s.missing_given) s.missing = s.window != 0 ? 2 : 0;
}

void check_spool_name() {
  const Settings& s = g_settings;
  if (s.spool_name && s.spool_name->find('/') != std::string::npos) {
    fprintf(stderr, "spool name cannot contain a '/': %s\n", s.spool_name->c_str());
    unlock_exit(kStatusUsage);
  }
  if (!has_text(s.spool_name) && !s.enquire) {
    fprintf(stderr, "spool name missing\n");
    usage();
    unlock_exit(kStatusUsage);
  }
}

void read_spool_profile() {
  const Settings& s = g_settings;
  char prefix[kTitleMax + 1];
  snprintf(prefix, sizeof prefix, "%s(%s)", s.program_name.c_str(), s.spool_name->c_str());
  set_title_prefix(prefix);
  const Text& dir = has_text(s.paths.host_config) ? s.paths.host_config : s.paths.inhosts;
  report::PathBuffer path;
  report::join_path(path, text_or_empty(dir), "/", s.spool_name->c_str(),
                    newssys::kSpoolProfileSuffix);
  read_profile(path, false);
}

}  // namespace

void set_title_prefix(const char* text) {
  const size_t length = strlen(text);
  const size_t used = length > static_cast<size_t>(kTitlePrefixMax) ? kTitlePrefixMax - 1 : length;
  memcpy(g_title, text, used);
  g_title[used] = ' ';
  g_title[used + 1] = '\0';
  g_title_prefix_length = used + 1;
  g_title_prefix_set = true;
}

void record_argument_area(int argc, char** argv) {
  g_argument_start = g_argument_end = nullptr;
  if (argc < 1 || argv == nullptr || argv[0] == nullptr) return;
  g_argument_start = argv[0];
  g_argument_end = argv[argc - 1] + strlen(argv[argc - 1]);
}

void set_state(const char* text, const char* suffix) {
  if (g_argument_start == nullptr || !g_title_prefix_set || g_settings.no_ps) return;
  write_title(text, suffix);
  if (g_settings.verbosity > 3) {
    message(report::kNotice, "state: %s%s", text, suffix != nullptr ? suffix : "");
  }
}

bool free_space(const char* path, int64_t* kilobytes, int64_t* nodes) {
  errno = 0;
  struct statvfs info;
  if (statvfs(path, &info) != 0 || info.f_frsize == 0) return false;
  *nodes = static_cast<int64_t>(info.f_favail);
  const uint64_t block = info.f_frsize;
  const uint64_t available = info.f_bavail;
  *kilobytes =
      static_cast<int64_t>(block >= 1024 ? (block / 1024) * available : available / (1024 / block));
  return true;
}

void exit_run(int status) {
  terminate_run(g_interrupt_count != 0 ? "exit via interrupt" : "exit", status);
}

void terminate_run(const char* text, int status) {
  if (++g_exit_nesting > 9) _exit(status);
  mark_exiting();
  set_state(text);
  fetch::pull_cleanup(true);
  nntp::remove_unfinished_outputs();
  unlock_exit(status);
}

void unlock_exit(int status) {
  set_state("unlock/exit");
  report::storage_close();
  for (int slot = 0; slot < kLockSlots; ++slot) unlock(slot);
  exit(status);
}

int run() {
  Settings& s = g_settings;
  set_state("begin");
  install_signal_handlers();

  if (s.enquire) {
    const bool held = report::history_has(s.enquire->c_str());
    printf("%s\n", held ? "yes" : "no");
    return held ? kStatusOk : kStatusEnquiryNegative;
  }
  if (s.inn_mode && s.scanlogs) await_scanlogs();
  if (!s.nohostlock) take_host_lock();
  check_signals();

  message(report::kProgress, "%s %s %s", "tessu", kVersion, report::time_string(time(nullptr)));
  message(report::kProgress, "server: %s, spool: %s", text_or_empty(s.server_host),
          text_or_empty(s.spool_name));

  if (fetching() || s.newlist || s.desc) {
    groups::read_newsfeeds();
    fetch::read_active(false);
  }

  std::string first_entry;
  bool have_entry = false;
  if (!s.nopost) {
    have_entry = post::next_outgoing_entry(&first_entry);
    if (!have_entry) {
      message(report::kProgress, "outgoing spool is empty");
      if (s.nofetch) return kStatusOk;
    }
  }
  check_signals();

  if (!s.dry_run) {
    const int status = connect_and_greet();
    if (status >= 0) return status;
  }
  g_connect_time = time(nullptr);

  if (!s.readbeforeauth && authinfo_set()) authenticate_now();
  if (!s.ihave && s.reader > 0) reader_mode_then_late_auth();
  lists_and_descriptions();
  if (have_entry && !s.sync) post::post_outgoing(first_entry);
  if (s.ihave && s.reader >= 0) reader_mode_then_late_auth();
  check_signals();

  return fetch_close_and_report();
}

int main_entry(int argc, char** argv) {
  Settings& s = g_settings;
  s.program_name = last_component(argc > 0 && argv[0] != nullptr ? argv[0] : "tessu");
  record_argument_area(argc, argv);
  s.pid = getpid();
  char host[256] = {};
  gethostname(host, 255);
  s.local_host = host;
  report::open_log();

  set_start_values();
  umask(s.file_mask);
  if (!has_text(s.paths.newshome)) read_site_config(newssys::kInnShellVars);
  if (has_text(s.paths.pathetc)) {
    report::PathBuffer profile;
    report::join_path(profile, s.paths.pathetc->c_str(), "/", newssys::kProfileName);
    read_profile(profile, false);
  }
  parse_options(argc, argv);
  settle_positional_defaults();
  check_spool_name();
  if (has_text(s.spool_name)) read_spool_profile();

  const int status = run();
  unlock_all();
  return status;
}

}  // namespace run
