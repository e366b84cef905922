// Every fixed place where tessu touches the local news system: paths, program
// names and the command lines built from them. Nothing else in the program
// spells these out.
#pragma once

#ifndef TESSU_NEWSHOME
#define TESSU_NEWSHOME "/usr/local/news"
#endif
#ifndef TESSU_LOCKS
#define TESSU_LOCKS "/usr/local/news/run"
#endif
#ifndef TESSU_NEWSFEEDS
#define TESSU_NEWSFEEDS "/usr/local/news/etc/newsfeeds"
#endif
#ifndef TESSU_INHOSTS
#define TESSU_INHOSTS "/usr/local/news/spool/inhosts"
#endif
#ifndef TESSU_INCOMING
#define TESSU_INCOMING "/usr/local/news/spool/incoming"
#endif
#ifndef TESSU_BATCH
#define TESSU_BATCH "/usr/local/news/spool/outgoing"
#endif
#ifndef TESSU_ACTIVE
#define TESSU_ACTIVE "/usr/local/news/db/active"
#endif
#ifndef TESSU_HISTORY
#define TESSU_HISTORY "/usr/local/news/db/history"
#endif
#ifndef TESSU_SPOOL
#define TESSU_SPOOL "/usr/local/news/spool/articles"
#endif
#ifndef TESSU_NEWSBIN
#define TESSU_NEWSBIN "/usr/local/news/bin"
#endif
#ifndef TESSU_PATHETC
#define TESSU_PATHETC "/usr/local/news/etc"
#endif
#ifndef TESSU_INNSHELLVARS
#define TESSU_INNSHELLVARS "/usr/local/news/lib/innshellvars"
#endif
#ifndef TESSU_RNEWS
#define TESSU_RNEWS "/usr/local/news/bin/rnews"
#endif
#ifndef TESSU_INEWS
#define TESSU_INEWS "/usr/local/news/bin/inews"
#endif

namespace newssys {

// Built-in defaults of the site path table (a packager may change them at
// build time through the TESSU_* definitions above).
inline constexpr const char* kDefaultNewsHome = TESSU_NEWSHOME;
inline constexpr const char* kDefaultLocks = TESSU_LOCKS;
inline constexpr const char* kDefaultNewsfeeds = TESSU_NEWSFEEDS;
inline constexpr const char* kDefaultInhosts = TESSU_INHOSTS;
inline constexpr const char* kDefaultIncoming = TESSU_INCOMING;
inline constexpr const char* kDefaultBatch = TESSU_BATCH;
inline constexpr const char* kDefaultActive = TESSU_ACTIVE;
inline constexpr const char* kDefaultHistory = TESSU_HISTORY;
inline constexpr const char* kDefaultSpool = TESSU_SPOOL;
inline constexpr const char* kDefaultNewsBin = TESSU_NEWSBIN;
inline constexpr const char* kDefaultPathEtc = TESSU_PATHETC;

/// The article directory that outgoing spool entries are relative to (--spool).
inline constexpr const char* kDefaultArticleDir = TESSU_SPOOL;

/// INN's shell-variable configuration, read by --config and when NEWSHOME is empty.
inline constexpr const char* kInnShellVars = TESSU_INNSHELLVARS;

/// The programs that --rnews and --inews pipe fetched articles to.
inline constexpr const char* kRnewsProgram = TESSU_RNEWS;
inline constexpr const char* kInewsProgram = TESSU_INEWS;
inline constexpr const char* kRnewsName = "rnews";
inline constexpr const char* kInewsName = "inews";
/// Options given to inews under --inews unless --inews-options says otherwise.
inline constexpr const char* kDefaultInewsOptions = "-hOS";

/// ctlinnd, looked for in NEWSBIN unless --ctlinnd names it otherwise.
inline constexpr const char* kCtlinndName = "ctlinnd";

/// sm, INN's storage manager program, looked for in NEWSBIN: it writes the
/// article a storage token names.
inline constexpr const char* kSmName = "sm";
/// grephistory, looked for in NEWSBIN: it shows an article's history line.
inline constexpr const char* kGrephistoryName = "grephistory";

/// The program-wide profile, read from PATHETC.
inline constexpr const char* kProfileName = "tessu.conf";
/// The per-spool profile is the spool name followed by this.
inline constexpr const char* kSpoolProfileSuffix = ".conf";

/// The log scanner's lock; INN's scanlogs holds it in this fixed directory.
inline constexpr const char* kScanlogsLockDir = "/usr/local/news/run";
inline constexpr const char* kScanlogsLockName = "LOCK.scanlogs";

/// The mail transfer program bounce mail is handed to.
inline constexpr const char* kSendmail = "/usr/sbin/sendmail";

/// The outgoing spool, INN layout: the batch file's name with these
/// suffixes, and the spool lock "LOCK." followed by the spool name in LOCKS.
inline constexpr const char* kInnTogoSuffix = ".togo";
inline constexpr const char* kInnLockPrefix = "LOCK.";
/// The outgoing spool, C News layout: inside the site's outgoing directory.
inline constexpr const char* kCNewsLockName = "LOCKb";
inline constexpr const char* kCNewsTogoName = "togo";
/// Both layouts: entries held for the next run, and the finished queue.
inline constexpr const char* kRetrySuffix = ".retry";
inline constexpr const char* kOldSuffix = ".old";

}  // namespace newssys
