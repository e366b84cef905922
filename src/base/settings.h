// The run settings: every value an option, a profile or the site
// configuration can set. Filled at start-up, only read afterwards.
#pragma once

#include <sys/types.h>
#include <cstdint>
#include <optional>
#include <string>

namespace base {

/// A string setting: unset (no value) or an owned copy of the text.
using Text = std::optional<std::string>;

/// Returns the text of a setting, or "" when it is unset.
inline const char* text_or_empty(const Text& t) {
  return t ? t->c_str() : "";
}
/// True when the setting holds a non-empty text.
inline bool has_text(const Text& t) {
  return t && !t->empty();
}

/// How a bounced article is attached to the bounce mail (--attach).
enum AttachMode : int { kAttachMime = 0, kAttachYes = 'y', kAttachNo = 'n' };

/// The site path table: where the local news system keeps its files.
struct SitePaths {
  std::string line_terminator = "\r\n";  // --newline gives "\n"
  Text host_config;                      // --hostconfig; INHOSTS when empty
  Text locks;                            // LOCKS
  Text newsfeeds;                        // NEWSFEEDS (--newsfeeds, --sys)
  Text inhosts;                          // INHOSTS
  Text incoming;                         // INCOMING
  Text batch;                            // BATCH
  Text active;                           // ACTIVE
  Text history;                          // HISTORY
  Text spool;                            // SPOOL (checked by --minfree)
  Text newsbin;                          // NEWSBIN
  Text pathetc;                          // PATHETC
  Text newshome;                         // NEWSHOME
};

struct Settings {
  // Identity of this process.
  std::string program_name = "tessu";
  std::string local_host;
  pid_t pid = 0;

  // Whom we talk to.
  Text spool_name;   // first positional argument, --spoolname, NNTPSERVER
  Text server_host;  // second positional argument, --hostname
  Text server_port;  // third positional argument, --port

  SitePaths paths;
  bool inn_mode = true;  // --inn / --cnews
  int verbosity = 0;     // --verbose, --debug

  // Counters: given when not 0.
  int nofetch = 0;
  int nopost = 0;
  int dry_run = 0;  // --noaction, --dry-run
  int keepold = 0;
  int noforce = 0;
  int nomsgid = 0;
  int sync = 0;
  int syncnew = 0;
  int reset = 0;
  int ihave = 0;

  // Switches.
  int reader = 0;  // 1 for --reader, -1 for --noreader
  int keep_path = 0;
  int readbeforeauth = 0;
  int no_path = 0;
  int no_ps = 0;
  int nohostlock = 0;
  int nonext = 0;
  int overview = 0;                 // --overview: message IDs from HDR listings instead of STAT
  int continue_on_spool_error = 0;  // --continue
  int noqueue = 0;
  int forget_inactive = 0;
  int keep_fake = 0;
  int scanlogs = 0;
  int tag = 0;
  int verify = 0;
  int no_storage_api = 0;  // --no-storage-api: storage tokens are refused, not read through sm

  // Numbers.
  int64_t size = 100000;  // --size: incoming batch size in bytes
  int64_t minfree = 0;    // --minfree: free kilobytes needed in SPOOL
  int32_t window = 10;    // --window
  int32_t missing = 0;    // --missing
  bool missing_given = false;
  int32_t maxnew = 0;    // --maxnew
  int32_t maxart = 0;    // --maxart
  int32_t max_path = 1;  // --max-path

  // Times, in seconds.
  int64_t timeout = 0;  // --timeout; 0 means the built-in 600 s where it applies
  int64_t fail = 0;     // --fail: age limit of refused articles; 0 is none

  // Texts.
  Text end_tag;      // --end
  Text posted;       // --posted folder
  Text log;          // --log
  Text enquire;      // --enquire message-id
  Text article_dir;  // --spool
  Text chat;         // --chat script
  Text exec;         // --exec connect script
  Text connect;      // --connect program
  Text list;         // --list file
  Text newlist;      // --newlist file
  Text desc;         // --desc file
  Text alldesc;      // --alldesc file
  Text bounce;       // --bounce address
  Text stat;         // --stat file
  Text togo;         // --togo name
  Text ctlinnd;      // --ctlinnd program
  Text mfilter;      // --mfilter command
  Text filter;       // --filter command
  Text add_header;   // --add-header line
  Text inews_options;
  int attach = kAttachMime;

  // Where fetched articles go when not into the incoming spool.
  Text pipe_program;  // --rnews, --inews, --pipe-to, --rnews-to
  Text pipe_name;
  bool pipe_batch_mode = false;  // rnews batches (true) or one article per run (false)

  // Authentication (--auth, --authgeneric).
  Text authinfo_user;
  Text authinfo_password;
  Text authinfo_generic_command;
  bool authinfo_generic = false;

  // TLS and compression of the server connection.
  int tls = 0;                  // --tls: TLS from the first byte
  int starttls = 0;             // --starttls: STARTTLS after the greeting, or the run fails
  int starttls_if_offered = 0;  // --starttls-if-offered: STARTTLS when the server lists it
  int tls_insecure = 0;         // --tls-insecure: the certificate is not verified
  int compress = 0;             // --compress: COMPRESS DEFLATE when the server lists it
  Text tls_ca;                  // --tls-ca file or hashed directory; the system's store when unset
  Text tls_cert;                // --tls-cert client certificate (PEM)
  Text tls_key;                 // --tls-key its key (PEM); the certificate's file when unset

  mode_t file_mask = 002;
};

/// The settings of this run.
extern Settings g_settings;

}  // namespace base
