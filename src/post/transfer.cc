#include "post/transfer.h"

#include <fcntl.h>
#include <limits.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>
#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <string>
#include <vector>

#include "base/settings.h"
#include "base/status.h"
#include "newssys/commands.h"
#include "newssys/paths.h"
#include "nntp/connection.h"
#include "nntp/replies.h"
#include "post/bounce.h"
#include "post/header_rules.h"
#include "report/exit.h"
#include "report/message.h"
#include "report/stats.h"
#include "report/title.h"
#include "report/util.h"
#include "sys/children.h"
#include "sys/locks.h"

namespace post {

namespace {

using nntp::kNotWanted;
using nntp::kPosted;
using nntp::kPostingFailed;
using nntp::kPostingNotPermitted;
using nntp::kRejected;
using nntp::kSendPost;
using nntp::kSendTransfer;
using nntp::kServiceUnavailable;
using nntp::kTransferred;
using nntp::kTryLater;
using report::message;

// Bytes read from the article file at a time.
constexpr size_t kReadPiece = 5119;

// The largest article file that is posted, in bytes. Servers commonly
// refuse articles far smaller (INN's maxartsize defaults to 1,000,000 bytes),
// so it leaves room for any article a server is likely to take, while the
// transmission form (at most about twice the file) stays small for a cron job
// on a small host and well within the signed 32-bit article length. A larger
// file is not read: its entry is kept in the queue.
constexpr int64_t kMaxArticleSize = 16 * 1024 * 1024;

// What the end of the text may add: the line end of a last line without one,
// and the final "." line.
constexpr size_t kEndLength = 5;

// Appended to the name of the log file and the folder to name their locks.
constexpr const char* kFileLockSuffix = ".LOCKtessu";

// Characters of time_string left out in the log line: the weekday and its blank.
constexpr size_t kWeekdayWidth = 4;

// An article in transmission form: CR LF line ends, leading dots doubled, and
// a final "." line.
struct ArticleText {
  std::vector<char> text;
  time_t entered = 0;   // the file's modification time (a stored article: its arrival)
  bool stored = false;  // read through sm: entered is looked up when needed
};

// The values the header rules collected from the article being posted.
HeaderValues g_values;

// Lines examined by the most recent sending.
int g_line_count = 0;

// The last status line read from the server, without its line end.
char g_reply[nntp::kStatusLineMax + 1];

const base::Settings& settings() {
  return base::g_settings;
}

// What became of an attempt to load an article file.
enum class Loaded {
  kOk,
  kMissing,  // not there, or unreadable: the entry is done
  kKept,     // refused unread: the entry stays in the queue
};

Loaded keep_outside(const char* entry) {
  message(report::kError, "article \"%s\" is outside the article spool \"%s\"; kept in the queue",
          entry, base::text_or_empty(settings().article_dir));
  return Loaded::kKept;
}

Loaded keep_not_regular(const char* entry) {
  message(report::kError, "article \"%s\" is not a regular file; kept in the queue", entry);
  return Loaded::kKept;
}

Loaded keep_too_large(const char* entry) {
  message(report::kError, "article \"%s\" is larger than %lld bytes; kept in the queue", entry,
          static_cast<long long>(kMaxArticleSize));
  return Loaded::kKept;
}

// The part of resolved below the directory top ("" for top itself), or null
// when resolved is not inside it. Both are real paths.
const char* below(const char* resolved, const char* top) {
  if (strcmp(top, "/") == 0) return resolved + 1;
  const size_t length = strlen(top);
  if (strncmp(resolved, top, length) != 0) return nullptr;
  if (resolved[length] == '\0') return resolved + length;
  if (resolved[length] != '/') return nullptr;
  return resolved + length + 1;
}

// Opens, for a run as root, the article file at path only when it lies in the
// article spool: the path is resolved, and the result is opened from the
// spool directory one component at a time without following any symbolic
// link, so that a link changed in between cannot lead out of the spool. A
// link that stays inside the spool (an absolute one too) is thus followed.
Loaded open_inside_spool(const char* path, const char* entry, int* fd) {
  char top[PATH_MAX];
  char resolved[PATH_MAX];
  if (realpath(path, resolved) == nullptr) return Loaded::kMissing;
  if (realpath(base::text_or_empty(settings().article_dir), top) == nullptr) {
    return keep_outside(entry);
  }
  const char* rest = below(resolved, top);
  if (rest == nullptr) return keep_outside(entry);

  int dir = open(top, O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (dir < 0) return Loaded::kMissing;
  std::string name;
  for (;;) {
    const char* slash = strchr(rest, '/');
    if (slash == nullptr) break;
    name.assign(rest, static_cast<size_t>(slash - rest));
    rest = slash + 1;
    const int next = openat(dir, name.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
    const int open_errno = errno;
    close(dir);
    if (next < 0) return open_errno == ENOENT ? Loaded::kMissing : keep_outside(entry);
    dir = next;
  }
  name = *rest == '\0' ? "." : rest;
  // A device is not even opened: opening one may do something.
  struct stat status;
  Loaded result = Loaded::kOk;
  if (fstatat(dir, name.c_str(), &status, AT_SYMLINK_NOFOLLOW) != 0) {
    result = Loaded::kMissing;
  } else if (S_ISLNK(status.st_mode)) {
    result = keep_outside(entry);  // it was no link when the path was resolved
  } else if (!S_ISREG(status.st_mode)) {
    result = keep_not_regular(entry);
  } else {
    *fd = openat(dir, name.c_str(), O_RDONLY | O_NONBLOCK | O_NOFOLLOW | O_NOCTTY | O_CLOEXEC);
    if (*fd < 0) result = errno == ELOOP ? keep_outside(entry) : Loaded::kMissing;
  }
  close(dir);
  return result;
}

// Opens the article file at path for reading: without blocking (a FIFO would
// wait for a writer for ever), only a regular file of at most
// kMaxArticleSize bytes (its size in *size), and, for a run as root, only
// one inside the article spool, so that a batch entry cannot have a file
// like /etc/shadow posted.
Loaded open_article(const char* path, const char* entry, int* fd, int64_t* size) {
  *fd = -1;
  struct stat status;
  if (geteuid() == 0) {
    const Loaded opened = open_inside_spool(path, entry, fd);
    if (opened != Loaded::kOk) return opened;
  } else {
    if (stat(path, &status) != 0) return Loaded::kMissing;
    if (!S_ISREG(status.st_mode)) return keep_not_regular(entry);
    *fd = open(path, O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
    if (*fd < 0) return Loaded::kMissing;
  }
  // The file may have been replaced since it was looked at.
  Loaded result = Loaded::kOk;
  if (fstat(*fd, &status) != 0) {
    result = Loaded::kMissing;
  } else if (!S_ISREG(status.st_mode)) {
    result = keep_not_regular(entry);
  } else if (status.st_size > kMaxArticleSize) {
    result = keep_too_large(entry);
  } else {
    *size = static_cast<int64_t>(status.st_size);
    const int flags = fcntl(*fd, F_GETFL);
    if (flags < 0 || fcntl(*fd, F_SETFL, flags & ~O_NONBLOCK) != 0) result = Loaded::kMissing;
  }
  if (result != Loaded::kOk) {
    close(*fd);
    *fd = -1;
  }
  return result;
}

// Appends length bytes of an article as stored (LF line ends) to text in
// transmission form; *at_line_start carries over from one piece to the next.
void append_transmission_form(std::vector<char>* text, const char* piece, size_t length,
                              bool* at_line_start) {
  const size_t needed = text->size() + 2 * length + kEndLength;
  if (needed > text->capacity()) {
    report::must_reserve(text, std::max(needed, 2 * text->capacity()));
  }
  bool line_start = *at_line_start;
  for (size_t i = 0; i < length; ++i) {
    const char c = piece[i];
    if (line_start && c == '.') text->push_back('.');
    if (c == '\n') {
      text->push_back('\r');
      text->push_back('\n');
      line_start = true;
    } else {
      text->push_back(c);
      line_start = false;
    }
  }
  *at_line_start = line_start;
}

// Ends an article in transmission form: the line end of a last line without
// one, then the final "." line.
void end_transmission_form(std::vector<char>* text, bool at_line_start) {
  if (!at_line_start) {
    text->push_back('\r');
    text->push_back('\n');
  }
  for (const char c : {'.', '\r', '\n'}) text->push_back(c);
}

// Reads the article file at path into transmission form.
Loaded load_article(const char* path, const char* entry, ArticleText* article) {
  int fd = -1;
  int64_t size = 0;
  const Loaded opened = open_article(path, entry, &fd, &size);
  if (opened != Loaded::kOk) return opened;
  FILE* file = fdopen(fd, "r");
  if (file == nullptr) {
    close(fd);
    return Loaded::kMissing;
  }

  // Each byte read becomes at most two (LF gives CR LF, a leading dot is
  // doubled): with room for that the text is never moved while it is built,
  // and stays within about twice the file's size whatever the file holds.
  std::vector<char>& text = article->text;
  text.clear();
  report::must_reserve(&text, 2 * static_cast<size_t>(size) + kEndLength);
  int64_t file_size = 0;
  bool at_line_start = true;
  char piece[kReadPiece];
  for (;;) {
    const size_t got = fread(piece, 1, sizeof piece, file);
    if (got == 0) break;
    // The file may have grown since its size was checked.
    file_size += static_cast<int64_t>(got);
    if (file_size > kMaxArticleSize) {
      fclose(file);
      return keep_too_large(entry);
    }
    append_transmission_form(&text, piece, got, &at_line_start);
  }
  if (ferror(file)) {
    fclose(file);
    return Loaded::kMissing;
  }
  end_transmission_form(&text, at_line_start);

  struct stat status;
  article->entered = fstat(fileno(file), &status) == 0 ? status.st_mtime : time(nullptr);
  fclose(file);
  return Loaded::kOk;
}

// Keeps an entry whose article sm could not give, saying why.
Loaded keep_unread_token(const char* entry, const char* why) {
  message(report::kError, "can't read article \"%s\" through %s: %s; kept in the queue", entry,
          newssys::kSmName, why);
  return Loaded::kKept;
}

// Why an sm that ended by itself gave no article, into why; false when it
// gave none because there is none (it failed, said nothing and wrote nothing).
bool sm_failure(const sys::ProgramOutput& read, std::string* why) {
  const int status = read.status;
  char text[64];
  if (WIFSIGNALED(status)) {
    snprintf(text, sizeof text, "killed by signal %d", WTERMSIG(status));
  } else if (WEXITSTATUS(status) == 0) {
    snprintf(text, sizeof text, "it wrote nothing");
  } else if (read.output.empty() && read.errors.empty()) {
    return false;
  } else {
    snprintf(text, sizeof text, "exit status %d", WEXITSTATUS(status));
  }
  *why = text;
  // What sm said, up to its first line end.
  const size_t said = read.errors.find('\n');
  if (said != 0 && !read.errors.empty()) *why += ", \"" + read.errors.substr(0, said) + "\"";
  return true;
}

// Reads the article of a storage token into transmission form through INN's
// sm, with the same size limit as a file. An article sm does not know is
// missing; an sm that cannot give it for another reason keeps the entry, so
// that a local failure never loses an article.
Loaded load_stored_article(const char* token, ArticleText* article) {
  if (!newssys::is_storage_token(token)) {
    message(report::kError, "\"%s\" is no storage token as INN writes them; kept in the queue",
            token);
    return Loaded::kKept;
  }
  message(report::kProgress, "reading %s through %s", token, newssys::kSmName);
  sys::ProgramOutput read;
  newssys::read_stored_article(token, static_cast<size_t>(kMaxArticleSize), &read);
  switch (read.end) {
    case sys::ProgramEnd::kExited:
      break;
    case sys::ProgramEnd::kTooLarge:
      return keep_too_large(token);
    case sys::ProgramEnd::kTimedOut:
      return keep_unread_token(token, "timed out");
    case sys::ProgramEnd::kNotStarted:
      return keep_unread_token(token, "it could not be run");
    case sys::ProgramEnd::kReadFailed:
      return keep_unread_token(token, "its output could not be read");
  }
  std::string why;
  const bool exited_well = WIFEXITED(read.status) && WEXITSTATUS(read.status) == 0;
  if (!exited_well || read.output.empty()) {
    return sm_failure(read, &why) ? keep_unread_token(token, why.c_str()) : Loaded::kMissing;
  }
  std::vector<char>& text = article->text;
  text.clear();
  bool at_line_start = true;
  append_transmission_form(&text, read.output.data(), read.output.size(), &at_line_start);
  end_transmission_form(&text, at_line_start);
  // sm shows no arrival time; the history is asked should it be needed.
  article->entered = 0;
  article->stored = true;
  return Loaded::kOk;
}

// One past the CR LF that ends the line starting at pos, or 0 when the line's
// first CR is missing, last in the text or not followed by LF.
size_t line_end(const ArticleText& article, size_t pos) {
  const size_t length = article.text.size();
  const char* text = article.text.data();
  const void* cr = memchr(text + pos, '\r', length - pos);
  if (cr == nullptr) return 0;
  const size_t at = static_cast<size_t>(static_cast<const char*>(cr) - text);
  if (at + 1 >= length || article.text[at + 1] != '\n') return 0;
  return at + 2;
}

bool is_end_line(const char* line, size_t length) {
  return length == 1 && line[0] == '.';
}

// The first pass: collects the header values and checks every line end;
// false when a line is not properly ended.
bool scan_article(const ArticleText& article) {
  bool in_header = true;
  bool remove = false;
  size_t pos = 0;
  while (pos < article.text.size()) {
    const size_t end = line_end(article, pos);
    if (end == 0) return false;
    const char* line = article.text.data() + pos;
    const size_t length = end - pos - 2;
    if (is_end_line(line, length)) break;
    if (length == 0) {
      in_header = false;
    } else if (in_header) {
      examine_header_line(line, length, &remove, &g_values);
    }
    pos = end;
  }
  return true;
}

// The copy of one sending in the --posted folder.
struct FolderCopy {
  FILE* file = nullptr;
  int lock_slot = -1;
  bool tried = false;  // the folder was opened (or failed to open) for this article
};

// Opens the folder for the article being sent and writes its separator line.
void open_folder(FolderCopy* copy) {
  copy->tried = true;
  const std::string folder = *settings().posted;
  report::set_state("locking folder");
  const std::string lock_name = folder + kFileLockSuffix;
  copy->lock_slot = sys::lock("", lock_name.c_str(), false);
  // Neither a link nor a FIFO planted at the folder's name is written to;
  // the helper says why, this says what is given up.
  copy->file = report::open_append_file(folder.c_str());
  if (copy->file == nullptr) {
    message(report::kError, "can't open folder: %s", folder.c_str());
    // No further copies are tried in this run.
    base::g_settings.posted.reset();
    return;
  }
  fprintf(copy->file, "%s%s %s\n", "From ", base::text_or_empty(settings().spool_name),
          report::time_string(time(nullptr)));
}

// Copies one sent line (without its CR LF) to the folder, quoting "From ".
void copy_line(FolderCopy* copy, const char* line, size_t length) {
  if (!copy->tried && base::has_text(settings().posted)) open_folder(copy);
  if (copy->file == nullptr) return;
  if (length >= 5 && memcmp(line, "From ", 5) == 0) fputc('>', copy->file);
  fwrite(line, 1, length, copy->file);
  fputc('\n', copy->file);
}

void close_folder(FolderCopy* copy, const std::string& folder) {
  if (copy->file != nullptr) {
    fputc('\n', copy->file);
    fflush(copy->file);
    if (ferror(copy->file)) message(report::kSysError, "error writing folder: %s", folder.c_str());
    fclose(copy->file);
  }
  sys::unlock(copy->lock_slot);
}

// Sends the article's lines unflushed, skipping removed headers, copies them
// to the --posted folder, then sends the final "." flushed.
void send_article_text(const ArticleText& article) {
  g_values = HeaderValues{};
  g_line_count = 0;
  report::set_state("post: transfer article");
  const std::string folder = base::text_or_empty(settings().posted);
  bool in_header = true;
  bool remove = false;
  FolderCopy copy;

  size_t pos = 0;
  while (pos < article.text.size()) {
    ++g_line_count;
    const size_t end = line_end(article, pos);
    if (end == 0) {
      message(report::kError, "internal article inconsistency");
      report::exit_run(base::kStatusInternal);
    }
    const char* line = article.text.data() + pos;
    const size_t length = end - pos - 2;
    pos = end;
    if (is_end_line(line, length)) break;
    if (length == 0) {
      in_header = false;
      remove = false;
    } else if (in_header) {
      examine_header_line(line, length, &remove, &g_values);
      if (remove) continue;
    }
    if (!nntp::put_text(line, length, false)) report::exit_run(base::kStatusBroken);
    copy_line(&copy, line, length);
    report::g_counters.netbytes += static_cast<int64_t>(length + 2);
  }
  close_folder(&copy, folder);

  report::set_state("post: send termination");
  if (!nntp::put_text(".", 1, true)) report::exit_run(base::kStatusBroken);
  message(report::kProgress, "(%d lines)", g_line_count);
}

// Reads the server's answer into g_reply; a failed read ends the run. When
// taking earlier replies failed nothing was read, and the empty line gives no code.
void read_reply() {
  g_reply[0] = '\0';
  if (nntp::get_reply(g_reply, sizeof g_reply) == 0) report::exit_run(base::kStatusBroken);
}

// The verdict on an article refused after it was sent: a duplicate (in the
// server's words or by the usual text), or null for a real refusal.
const char* refusal_verdict(const char* after_code) {
  if (nntp::reply_code(after_code) == kNotWanted) {
    message(report::kProgress, "duplicate");
    return "Duplicate";
  }
  const char* word = strchr(after_code, 'D');
  if (word != nullptr && strncmp(word, "Duplicate", 9) == 0) {
    message(report::kProgress, "assumed duplicate");
    return "Assumed duplicate";
  }
  return nullptr;
}

// Reads the answer to IHAVE or POST, sends the article and reads the final
// status. Returns the status text, or null (with *reason set) when refused.
const char* offer_article(const ArticleText& article, const char** reason) {
  report::Counters& counters = report::g_counters;
  const bool dry_run = settings().dry_run != 0;
  *reason = "?";
  g_reply[0] = '\0';

  const char* after = g_reply;
  int code = kSendPost;
  if (!dry_run) {
    read_reply();
    code = nntp::reply_code(g_reply, &after);
  }
  switch (code) {
    case kSendTransfer:
    case kSendPost:
      send_article_text(article);
      break;
    case kNotWanted:
      message(report::kProgress, "already got it");
      ++counters.dupl;
      return "Already got it";
    case kTryLater:
      message(report::kError, "try again later");
      ++counters.fail;
      *reason = g_reply;
      return nullptr;
    case kRejected:
      message(report::kError, "rejected: got \"%s\"", g_reply);
      ++counters.fail;
      *reason = g_reply;
      return nullptr;
    case kServiceUnavailable:
    case kPostingNotPermitted:
      message(report::kError, "sending prohibited: got \"%s\"", g_reply);
      ++counters.fail;
      *reason = g_reply;
      return nullptr;
    case kPostingFailed:
      message(report::kError, "posting failed: got \"%s\"", g_reply);
      ++counters.fail;
      *reason = g_reply;
      return nullptr;
    default:
      message(report::kError, "NNTP send negotiation error: got \"%s\"", g_reply);
      report::exit_run(base::kStatusRefused);
  }

  report::set_state("post: get status");
  code = kPosted;
  after = g_reply;
  if (!dry_run) {
    read_reply();
    code = nntp::reply_code(g_reply, &after);
  }
  switch (code) {
    case kTransferred:
    case kPosted:
      ++counters.post;
      return dry_run ? "TEST" : "OK";
    case kNotWanted:
      message(report::kProgress, "already got it");
      ++counters.dupl;
      return "Already got it";
    case kTryLater:
    case kRejected:
    case kPostingFailed: {
      const char* verdict = refusal_verdict(after);
      if (verdict != nullptr) {
        ++counters.dupl;
        return verdict;
      }
      message(report::kError, "article rejected: got \"%s\"", g_reply);
      ++counters.fail;
      *reason = g_reply;
      return nullptr;
    }
    case kServiceUnavailable:
    case kPostingNotPermitted:
      // The server may take it another time; this is no failure of the article.
      message(report::kError, "sending not allowed: got \"%s\"", g_reply);
      *reason = g_reply;
      return nullptr;
    default:
      message(report::kError, "NNTP sending protocol error: got \"%s\"", g_reply);
      report::exit_run(base::kStatusRefused);
  }
}

// Drops an article for good and mails it back, as --bounce says.
void kill_article(const char* entry, const ArticleText& article, const char* reason) {
  message(report::kError, "failed article \"%s\" killed", entry);
  const base::Text& bounce = settings().bounce;
  std::string address;
  if (!bounce || bounce->empty() || *bounce == "poster") {
    if (g_values.sender.empty()) {
      message(report::kError, "no From-specification in \"%s\"", entry);
      return;
    }
    address = g_values.sender;
  } else if (*bounce == "none") {
    return;
  } else {
    address = *bounce;
  }
  ++report::g_counters.bnce;
  message(report::kError, "bounce message to %s", address.c_str());
  if (!bounce_mail(address.c_str(), article.text.data(), article.text.size(), article.entered,
                   entry, g_values.message_id.c_str(), reason)) {
    message(report::kError, "bounce failed");
  }
}

// Appends the outcome of one article to the --log file.
void log_posting(const char* entry, const char* status) {
  const base::Settings& s = settings();
  if (!base::has_text(s.log)) return;
  const std::string log_name = *s.log;
  report::set_state("locking log file");
  const std::string lock_name = log_name + kFileLockSuffix;
  const int slot = sys::lock("", lock_name.c_str(), false);
  report::set_state("post: logging");
  FILE* log = report::open_append_file(log_name.c_str());
  if (log == nullptr) {
    message(report::kError, "can't open logfile: %s", log_name.c_str());
  } else {
    const char* message_id = g_values.message_id.empty() ? "<?>" : g_values.message_id.c_str();
    const char* sender = g_values.sender.empty() ? "?" : g_values.sender.c_str();
    fprintf(log, "%s %s tessu[%i]: %s\t%s\t%s\t%s\t%s\t%d lines\n",
            report::time_string(time(nullptr)) + kWeekdayWidth, s.local_host.c_str(),
            static_cast<int>(s.pid), base::text_or_empty(s.spool_name), message_id, entry, sender,
            status, g_line_count);
    if (fclose(log) != 0)
      message(report::kSysError, "can't write to logfile: %s", log_name.c_str());
  }
  sys::unlock(slot);
}

// An entry between two '@' names an article in INN's store, not a file.
bool names_stored_article(const char* entry) {
  const size_t length = strlen(entry);
  return length > 0 && entry[0] == '@' && entry[length - 1] == '@';
}

// Reads the article file an entry names, relative to the article spool.
Loaded load_file(const char* entry, ArticleText* article) {
  report::PathBuffer path;
  report::resolve_path(path, base::text_or_empty(settings().article_dir), entry, nullptr);
  message(report::kProgress, "reading %s", path);
  return load_article(path, entry, article);
}

// Offers a loaded, well-formed article to the server. Returns the status
// text, or null to hold the entry; *logged tells whether the outcome is logged.
const char* transfer_article(const char* entry, ArticleText* loaded, bool* logged) {
  const ArticleText& article = *loaded;
  const base::Settings& s = settings();
  char command[nntp::kCommandLineMax + 1] = "POST";
  if (s.ihave) {
    if (g_values.message_id.empty()) {
      message(report::kError, "article \"%s\" lacks a message ID", entry);
      ++report::g_counters.miss;
      return "Missing-ID";
    }
    report::set_state("post: issuing IHAVE");
    // An over-long message-ID is cut with the command; the server refuses it then.
    snprintf(command, sizeof command, "IHAVE %s", g_values.message_id.c_str());
  } else {
    report::set_state("post: issuing POST");
  }
  if (!nntp::put_line(command)) report::exit_run(base::kStatusBroken);

  const char* reason = "?";
  const char* status = offer_article(article, &reason);
  if (status != nullptr) return status;

  *logged = false;
  if (s.fail != 0) {
    // A stored article's age is that of its arrival, as a file's is; one
    // whose arrival is not known is not killed.
    if (article.stored && article.entered == 0 &&
        !newssys::stored_arrival(g_values.message_id.c_str(), &loaded->entered)) {
      return nullptr;
    }
    const long long age = static_cast<long long>(time(nullptr) - article.entered);
    message(report::kProgress, "article is %llds old, limit is %llds", age,
            static_cast<long long>(s.fail));
    if (age > s.fail) {
      kill_article(entry, article, reason);
      return "Failed";
    }
  }
  return nullptr;
}

}  // namespace

const char* post_article(const char* entry) {
  report::set_state("post: reading article");
  const bool stored = names_stored_article(entry);
  if (stored && settings().no_storage_api) {
    message(report::kError, "no storage-API support for \"%s\"", entry);
    return "No support for storage-API";
  }

  // Values of an earlier article must not show in this one's log line.
  g_values = HeaderValues{};
  g_line_count = 0;

  ArticleText article;
  const char* status = nullptr;
  bool logged = true;
  const Loaded loaded = stored ? load_stored_article(entry, &article) : load_file(entry, &article);
  if (loaded == Loaded::kKept) {
    // Not read, so neither offered nor bounced; held like a refused article.
    ++report::g_counters.fail;
    return nullptr;
  }
  if (loaded == Loaded::kMissing) {
    message(report::kError, "can't find article \"%s\"", entry);
    ++report::g_counters.miss;
    status = "Missing";
  } else {
    report::set_state("find message-ID");
    if (!scan_article(article)) {
      message(report::kError, "inconsistent line termination");
      ++report::g_counters.fail;
      kill_article(entry, article, "inconsistent line termination");
      status = "Malformed";
    } else {
      status = transfer_article(entry, &article, &logged);
    }
  }
  if (logged) log_posting(entry, status);
  return status;
}

}  // namespace post
