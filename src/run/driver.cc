#include "run/driver.h"

#include <sys/stat.h>
#include <sys/statvfs.h>
#include <unistd.h>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "base/settings.h"
#include "base/status.h"
#include "fetch/pull.h"
#include "groups/active.h"
#include "groups/newsfeeds.h"
#include "newssys/paths.h"
#include "newssys/site_config.h"
#include "nntp/auth.h"
#include "nntp/connection.h"
#include "nntp/group_list.h"
#include "nntp/replies.h"
#include "nntp/server.h"
#include "nntp/tls.h"
#include "post/outgoing.h"
#include "report/exit.h"
#include "report/message.h"
#include "report/stats.h"
#include "report/title.h"
#include "report/util.h"
#include "run/options.h"
#include "run/statistics.h"
#include "sys/children.h"
#include "sys/locks.h"
#include "sys/signals.h"

namespace run {

using base::g_settings;
using base::has_text;
using base::Settings;
using base::Text;
using base::text_or_empty;
using report::exit_run;
using report::record_argument_area;
using report::set_state;
using report::set_title_prefix;
using report::unlock_exit;

namespace {

// The time of day the connection was made (after the greeting).
time_t g_connect_time = 0;

using report::message;

constexpr int kScanlogsWaitLimit = 1800;
constexpr int kScanlogsWaitStep = 5;

bool fetching() {
  return g_settings.nofetch == 0;
}

const char* last_component(const char* path) {
  const char* slash = strrchr(path, '/');
  return slash != nullptr ? slash + 1 : path;
}

// Waits while the news system's log scanner holds its lock (at most 1800 s).
void await_scanlogs() {
  report::set_state("check scanlogs running");
  report::PathBuffer path;
  report::join_path(path, newssys::kScanlogsLockDir, "/", newssys::kScanlogsLockName);
  int waited = 0;
  bool first = true;
  while (sys::lock_held(path)) {
    if (first) {
      report::set_state("await scanlogs lock");
      first = false;
    }
    if (waited + kScanlogsWaitStep > kScanlogsWaitLimit) {
      message(report::kError, "scanlog lock \"%s\" timed out", path);
      report::exit_run(base::kStatusLockTimeout);
    }
    sys::sleep_checked(kScanlogsWaitStep);
    waited += kScanlogsWaitStep;
  }
}

// Free kilobytes and file nodes of the file system holding path; false when unknown.
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

// A password that would travel in clear text although TLS was asked for is
// not sent at all; nor does a generic authenticator, which would talk on the
// socket itself, get a TLS connection.
void check_authentication_channel() {
  if (g_settings.dry_run || !nntp::tls_requested()) return;
  if (nntp::g_connection.tls == nullptr) {
    message(report::kError,
            "not sending AUTHINFO in clear text: TLS was asked for but is not in use");
    report::exit_run(base::kStatusBroken);
  }
  if (g_settings.authinfo_generic) {
    message(report::kError, "--authgeneric can't be used over TLS");
    report::exit_run(base::kStatusAuthSetup);
  }
}

void authenticate_now() {
  check_authentication_channel();
  nntp::authenticate(text_or_empty(g_settings.authinfo_user),
                     text_or_empty(g_settings.authinfo_password));
}

void reader_mode_then_late_auth() {
  nntp::mode_reader();
  if (g_settings.readbeforeauth && authinfo_set()) authenticate_now();
}

// Connects to the server and reads its greeting; returns a status to end with, or -1 to go on.
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
      return base::kStatusNoConnection;
    default:
      message(report::kError, "can't talk to \"%s\": got response code %d",
              text_or_empty(g_settings.server_host), code);
      return base::kStatusRefused;
  }
}

// STARTTLS right after the greeting; a status to end with, or -1 to go on.
int starttls_if_asked() {
  if (g_settings.dry_run || (g_settings.starttls == 0 && g_settings.starttls_if_offered == 0)) {
    return -1;
  }
  const int result =
      nntp::negotiate_starttls(text_or_empty(g_settings.server_host), g_settings.starttls != 0);
  return result < 0 ? base::kStatusNoConnection : -1;
}

void compress_if_asked() {
  if (!g_settings.dry_run && g_settings.compress != 0) nntp::negotiate_compression();
}

void lists_and_descriptions() {
  if (g_settings.list || g_settings.newlist) {
    nntp::get_group_list();
    if (fetching() || g_settings.desc) groups::read_active(true);
  }
  if (g_settings.desc || g_settings.alldesc) nntp::get_descriptions();
}

void take_host_lock() {
  report::set_state("locking host access");
  const std::string name = std::string("LOCK.tessu.") + text_or_empty(g_settings.server_host);
  sys::lock(nullptr, name.c_str(), g_settings.noqueue != 0);
}

// The end of a run that is connected: the fetch, the QUIT, the statistics.
int fetch_close_and_report() {
  if (fetching()) {
    const bool room = g_settings.minfree == 0 || enough_free_space();
    if (room) {
      message(report::kProgress, "fetching news");
      if (!fetch::pull(text_or_empty(g_settings.spool_name))) {
        // An aborted fetch still reports its figures before ending.
        report::g_counters.fetch_aborted = true;
        if (!g_settings.dry_run) nntp::close_server(1);
        write_statistics(g_connect_time, time(nullptr));
        return base::kStatusBroken;
      }
    }
  }
  if (!g_settings.dry_run && !nntp::close_server(0)) return base::kStatusBroken;
  write_statistics(g_connect_time, time(nullptr));
  return base::kStatusOk;
}

// The defaults the command line leaves to settle: the server host and port
// from the spool name, the article spool from the site configuration, and
// --missing from the window.
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

// What the exit path undoes when a run ends early: the fetch in progress is
// finished: its batch published, the host active file written. (Locks and
// files being written register their own cleanups when they are made.)
void finish_interrupted_fetch() {
  fetch::pull_cleanup(true);
}

void register_exit_cleanups() {
  report::register_exit_cleanup(report::ExitStage::kRun, finish_interrupted_fetch);
}

void check_spool_name() {
  const Settings& s = g_settings;
  if (s.spool_name && s.spool_name->find('/') != std::string::npos) {
    fprintf(stderr, "spool name cannot contain a '/': %s\n", s.spool_name->c_str());
    report::unlock_exit(base::kStatusUsage);
  }
  if (!has_text(s.spool_name) && !s.enquire) {
    fprintf(stderr, "spool name missing\n");
    usage();
    report::unlock_exit(base::kStatusUsage);
  }
}

// Once every profile is read: the port of implicit TLS when no port was
// given, and TLS needs a TCP connection of its own (no telnet mode, no
// --connect program).
void settle_tls_options(bool port_given) {
  Settings& s = g_settings;
  if (s.tls != 0 && !port_given && s.server_port == std::string("nntp")) s.server_port = "nntps";
  if (s.tls != 0 && (s.starttls != 0 || s.starttls_if_offered != 0)) {
    fprintf(stderr, "%s: can't combine --tls with --starttls or --starttls-if-offered\n",
            s.program_name.c_str());
    report::unlock_exit(base::kStatusUsage);
  }
  if (nntp::tls_requested() &&
      (has_text(s.connect) || text_or_empty(s.server_port) == std::string("telnet"))) {
    fprintf(stderr, "%s: TLS needs a TCP connection: not with --connect or the telnet port\n",
            s.program_name.c_str());
    report::unlock_exit(base::kStatusUsage);
  }
}

void read_spool_profile() {
  const Settings& s = g_settings;
  char prefix[report::kTitleMax + 1];
  snprintf(prefix, sizeof prefix, "%s(%s)", s.program_name.c_str(), s.spool_name->c_str());
  report::set_title_prefix(prefix);
  const Text& dir = has_text(s.paths.host_config) ? s.paths.host_config : s.paths.inhosts;
  report::PathBuffer path;
  report::join_path(path, text_or_empty(dir), "/", s.spool_name->c_str(),
                    newssys::kSpoolProfileSuffix);
  read_profile(path, false);
}

}  // namespace

int run() {
  Settings& s = g_settings;
  report::set_state("begin");
  sys::install_signal_handlers();

  if (s.enquire) {
    const bool held = report::history_has(s.enquire->c_str());
    printf("%s\n", held ? "yes" : "no");
    return held ? base::kStatusOk : base::kStatusEnquiryNegative;
  }
  if (s.inn_mode && s.scanlogs) await_scanlogs();
  if (!s.nohostlock) take_host_lock();
  sys::check_signals();

  message(report::kProgress, "%s %s %s", "tessu", base::kVersion,
          report::time_string(time(nullptr)));
  message(report::kProgress, "server: %s, spool: %s", text_or_empty(s.server_host),
          text_or_empty(s.spool_name));

  if (fetching() || s.newlist || s.desc) {
    groups::read_newsfeeds();
    groups::read_active(false);
  }

  std::string first_entry;
  bool have_entry = false;
  if (!s.nopost) {
    have_entry = post::next_outgoing_entry(&first_entry);
    if (!have_entry) {
      message(report::kProgress, "outgoing spool is empty");
      if (s.nofetch) return base::kStatusOk;
    }
  }
  sys::check_signals();

  if (!s.dry_run) {
    const int status = connect_and_greet();
    if (status >= 0) return status;
  }
  g_connect_time = time(nullptr);
  const int tls_status = starttls_if_asked();
  if (tls_status >= 0) return tls_status;

  if (!s.readbeforeauth && authinfo_set()) authenticate_now();
  if (!s.ihave && s.reader > 0) reader_mode_then_late_auth();
  // Compression starts once the server knows who we are and in which mode
  // we talk to it; a MODE READER still to come may hand the connection to
  // another program, so compression then waits for it.
  const bool reader_mode_later = s.ihave && s.reader >= 0;
  if (!reader_mode_later) compress_if_asked();
  lists_and_descriptions();
  if (have_entry && !s.sync) post::post_outgoing(first_entry);
  if (reader_mode_later) {
    reader_mode_then_late_auth();
    compress_if_asked();
  }
  sys::check_signals();

  return fetch_close_and_report();
}

int main_entry(int argc, char** argv) {
  register_exit_cleanups();
  Settings& s = g_settings;
  s.program_name = last_component(argc > 0 && argv[0] != nullptr ? argv[0] : "tessu");
  report::record_argument_area(argc, argv);
  s.pid = getpid();
  char host[256] = {};
  gethostname(host, 255);
  s.local_host = host;
  report::open_log();

  set_start_values();
  umask(s.file_mask);
  if (!has_text(s.paths.newshome)) newssys::read_site_config(newssys::kInnShellVars);
  if (has_text(s.paths.pathetc)) {
    report::PathBuffer profile;
    report::join_path(profile, s.paths.pathetc->c_str(), "/", newssys::kProfileName);
    read_profile(profile, false);
  }
  parse_options(argc, argv);
  const bool port_given = has_text(s.server_port);
  settle_positional_defaults();
  check_spool_name();
  if (has_text(s.spool_name)) read_spool_profile();
  settle_tls_options(port_given);

  const int status = run();
  sys::unlock_all();
  return status;
}

}  // namespace run
