#include "fetch/spool.h"

#include <dirent.h>
#include <fcntl.h>
#include <poll.h>
#include <strings.h>
#include <sys/stat.h>
#include <sys/time.h>
#include <sys/wait.h>
#include <unistd.h>
#include <cctype>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <string>

#include "base/settings.h"
#include "base/status.h"
#include "groups/newsfeeds.h"
#include "nntp/connection.h"
#include "report/exit.h"
#include "report/message.h"
#include "report/title.h"
#include "report/util.h"
#include "sys/children.h"
#include "sys/signals.h"
#include "sys/timed_io.h"

namespace fetch {

namespace {

// Length of the unique part of a name template ("XXXXXX").
constexpr int kUniqueChars = 6;
// What a temporary batch name in INCOMING starts with, before the spool name.
constexpr const char* kTempPrefix = ".tmp.";
// Fresh temporary batch names tried when one is taken away before it is locked.
constexpr int kCreateAttempts = 3;
// Names tried by make_unique_name before it gives up.
constexpr int kUniqueAttempts = 32768;
// Longest line --add-header puts in front of an article, newline not counted.
constexpr size_t kAddedLineMax = 1024;
// The one value of --add-header that asks only for a Path line where one is missing.
constexpr const char* kPathHeaderName = "Path";

enum class Mode { kFile, kRnewsPipe, kInewsPipe };

// The one incoming batch. In file mode fd is the batch file; in the pipe
// modes it is the descriptor of stream, written directly so that no article
// ever sits half in a stdio buffer.
struct Batch {
  bool open = false;
  int fd = -1;
  FILE* stream = nullptr;
  pid_t pid = -1;
  report::PathBuffer temp_path = {};
  off_t complete_length = 0;  // bytes of whole articles (and their header lines)
  bool incomplete = false;    // an article's write began and did not end
};

Batch g_batch;
int g_sequence = 0;
bool g_closed_for_good = false;
bool g_random_seeded = false;
bool g_add_header_refused = false;
// What the pull loop learns of the spool: bytes stored since it last reset
// the count, and articles stored that no published batch has taken yet.
int64_t g_stored_bytes = 0;
int64_t g_unpublished = 0;

Mode spool_mode() {
  const base::Settings& s = base::g_settings;
  if (!base::has_text(s.pipe_program)) return Mode::kFile;
  return s.pipe_batch_mode ? Mode::kRnewsPipe : Mode::kInewsPipe;
}

const char* pipe_name() {
  return base::text_or_empty(base::g_settings.pipe_name);
}
const char* incoming_dir() {
  return base::text_or_empty(base::g_settings.paths.incoming);
}
const char* spool_name() {
  return base::text_or_empty(base::g_settings.spool_name);
}

char unique_char(unsigned d) {
  return static_cast<char>(d <= 9 ? '0' + d : 'A' + (d - 10));
}

// Writes all of data to the batch; false (errno set) when that failed. The
// pipe is non-blocking: a program that does not read is waited for with poll,
// acting on signals meanwhile.
bool write_all(const char* data, size_t length) {
  const bool to_pipe = g_batch.stream != nullptr;
  while (length > 0) {
    const ssize_t written = to_pipe ? sys::write_without_sigpipe(g_batch.fd, data, length)
                                    : write(g_batch.fd, data, length);
    if (written > 0) {
      data += written;
      length -= static_cast<size_t>(written);
      continue;
    }
    if (written == 0) {
      errno = EIO;
      return false;
    }
    if (errno == EINTR) {
      sys::check_signals();
      continue;
    }
    if (!to_pipe || (errno != EAGAIN && errno != EWOULDBLOCK)) return false;
    struct pollfd fds[2] = {{g_batch.fd, POLLOUT, 0}, {sys::signal_fd(), POLLIN, 0}};
    if (poll(fds, 2, -1) < 0 && errno != EINTR) return false;
    if (fds[1].revents != 0) sys::check_signals();
  }
  return true;
}

// The line --add-header puts in front of this article ("" for none), with
// its newline. The user's text is written only when it is a header line (a
// name, a colon); a user line that is itself a Path header stands in for the
// formed one and, like it, only for an article without Path. The setting
// "Path" itself (or any other text) asks for the formed Path line alone.
std::string added_lines(bool has_path) {
  const base::Settings& s = base::g_settings;
  if (!base::has_text(s.add_header)) return "";
  const std::string& text = *s.add_header;
  std::string user_line;
  bool user_path = false;
  const size_t colon = text.find(':');
  bool valid = colon != std::string::npos && colon > 0 && text.size() <= kAddedLineMax;
  for (size_t i = 0; valid && i < text.size(); ++i) {
    const unsigned char c = static_cast<unsigned char>(text[i]);
    if (c == '\n' || c == '\r' || c == '\0') valid = false;
    if (i < colon && (c <= ' ' || c == 0x7F)) valid = false;
  }
  if (valid) {
    user_line = text + "\n";
    user_path = strncasecmp(text.c_str(), "Path:", 5) == 0;
  } else if (text != kPathHeaderName && !g_add_header_refused) {
    g_add_header_refused = true;
    report::message(report::kError, "--add-header \"%s\" is not a header line, not added",
                    text.c_str());
  }

  std::string lines;
  if (!has_path) {
    if (user_path) {
      lines = user_line;
    } else {
      const char* site = groups::first_site_name();
      if (*site == '\0') site = base::text_or_empty(s.server_host);
      char formed[kAddedLineMax + 2];
      const int n = snprintf(formed, sizeof formed, "%s: %s!not-for-mail", kPathHeaderName, site);
      if (n > 0 && static_cast<size_t>(n) <= kAddedLineMax) {
        lines = std::string(formed, static_cast<size_t>(n)) + "\n";
      } else {
        report::message(report::kError, "Path line for --add-header too long, not added");
      }
    }
  }
  if (!user_path) lines += user_line;
  return lines;
}

// A batch file under its temporary name is write-locked (fcntl) for as long
// as its writer has it open, so a lock that can be had marks the leftover of
// a run that died. Locking a regular file never blocks here.
bool lock_batch(int fd, short type) {
  struct flock lock = {};
  lock.l_type = type;
  lock.l_whence = SEEK_SET;
  return fcntl(fd, F_SETLK, &lock) == 0;
}

// True when path still names the file open at fd.
bool names_file(const char* path, int fd) {
  struct stat by_name;
  struct stat by_fd;
  return lstat(path, &by_name) == 0 && fstat(fd, &by_fd) == 0 && by_name.st_dev == by_fd.st_dev &&
         by_name.st_ino == by_fd.st_ino;
}

// Creates the temporary batch file, locked; -1 after a message.
int create_batch_file() {
  // Another run of the same spool name (for another server host) may take a
  // new file for a leftover in the moment before it is locked and remove it:
  // then a new name is taken.
  for (int attempt = 0; attempt < kCreateAttempts; ++attempt) {
    report::join_path(g_batch.temp_path, incoming_dir(), "/.tmp.", spool_name(), "XXXXXX");
    if (!make_unique_name(g_batch.temp_path)) {
      report::message(report::kSysError, "can't make temporary name \"%s\"", g_batch.temp_path);
      return -1;
    }
    const int fd = open(g_batch.temp_path, O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
    if (fd < 0) break;
    if (lock_batch(fd, F_WRLCK) && names_file(g_batch.temp_path, fd)) return fd;
    close(fd);
  }
  report::message(report::kSysError, "can't open incoming spool \"%s\"", g_batch.temp_path);
  return -1;
}

// True when name is that of a temporary batch of this spool name.
bool is_batch_temp_name(const char* name) {
  const size_t prefix = strlen(kTempPrefix);
  const size_t spool = strlen(spool_name());
  if (strncmp(name, kTempPrefix, prefix) != 0 || strncmp(name + prefix, spool_name(), spool) != 0)
    return false;
  const char* unique = name + prefix + spool;
  if (strlen(unique) != static_cast<size_t>(kUniqueChars)) return false;
  for (const char* c = unique; *c != '\0'; ++c) {
    if (!isdigit(static_cast<unsigned char>(*c)) && (*c < 'A' || *c > 'V')) return false;
  }
  return true;
}

bool open_batch_file() {
  const int fd = create_batch_file();
  if (fd < 0) return false;
  report::message(report::kDetail, "opened incoming spool: %s", g_batch.temp_path);
  g_batch.fd = fd;
  g_batch.stream = nullptr;
  g_batch.pid = -1;
  return true;
}

bool open_batch_pipe() {
  pid_t pid = -1;
  FILE* stream = open_news_pipe(&pid);
  if (stream == nullptr) return false;
  const int fd = fileno(stream);
  fcntl(fd, F_SETFL, fcntl(fd, F_GETFL) | O_NONBLOCK);
  fcntl(fd, F_SETFD, FD_CLOEXEC);  // later children must not hold the program's input open
  g_batch.fd = fd;
  g_batch.stream = stream;
  g_batch.pid = pid;
  g_batch.temp_path[0] = '\0';
  return true;
}

// Takes a failed article back out of the batch file; false when the file
// could not be cut back (it then holds a partial article).
bool cut_back_batch_file() {
  const int saved_errno = errno;
  const bool cut = ftruncate(g_batch.fd, g_batch.complete_length) == 0 &&
                   lseek(g_batch.fd, g_batch.complete_length, SEEK_SET) == g_batch.complete_length;
  if (cut) g_batch.incomplete = false;
  errno = saved_errno;
  return cut;
}

// Batches published since INCOMING was last synced to disk.
bool g_incoming_unsynced = false;

// Makes the directory entries of renamed batches durable too.
void sync_directory(const char* directory) {
  const int fd = open(directory, O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (fd < 0) return;
  fsync(fd);  // some file systems refuse this for directories; the data is synced already
  close(fd);
}

bool flush_pipe(report::MessageClass cls) {
  report::set_state("pull: close rnews pipe");
  report::message(cls, "close %s pipe to pid %d", pipe_name(), static_cast<int>(g_batch.pid));
  FILE* stream = g_batch.stream;
  const pid_t pid = g_batch.pid;
  const bool incomplete = g_batch.incomplete;
  g_batch = Batch();
  if (incomplete && spool_mode() == Mode::kInewsPipe) {
    // inews would take the end of input for the end of the article and post
    // the fragment: stop it before it sees the pipe close.
    report::message(report::kError, "partial article not passed to %s", pipe_name());
    kill(pid, SIGTERM);
    fclose(stream);
    const int status = sys::wait_child(pid);
    report::message(report::kProgress, "%s status is %d", pipe_name(), status);
    return true;
  }
  if (close_news_pipe(stream, pid)) return true;
  report::message(report::kSysError, "error closing %s pipe", pipe_name());
  report::exit_run(base::kStatusIncoming);
}

bool flush_file(report::MessageClass cls) {
  report::set_state("pull: flush spool");
  report::message(cls, "flush spool");
  report::PathBuffer temp_path;
  strcpy(temp_path, g_batch.temp_path);
  const int fd = g_batch.fd;
  // An article cut short by the exit path is taken out before publishing.
  bool ok = !g_batch.incomplete || cut_back_batch_file();
  g_batch = Batch();
  // The batch must be on disk before a published name can point at it. It
  // stays open (and so locked) until it has that name: a closed file under
  // the temporary name is a leftover for the next run to remove.
  if (ok && fsync(fd) != 0) ok = false;
  if (!ok) {
    const int saved_errno = errno;
    close(fd);
    errno = saved_errno;
    report::message(report::kSysError, "error writing \"%s\"", temp_path);
    report::exit_run(base::kStatusIncoming);
  }

  report::PathBuffer final_path;
  const char* host = base::text_or_empty(base::g_settings.server_host);
  if (base::g_settings.inn_mode && isalpha(static_cast<unsigned char>(host[0]))) {
    report::join_path(final_path, incoming_dir(), "/", spool_name(), "XXXXXX");
    if (!make_unique_name(final_path)) {
      report::message(report::kSysError, "can't make temporary name \"%s\"", final_path);
      close(fd);
      return false;
    }
  } else {
    ++g_sequence;
    char name[64];
    snprintf(name, sizeof name, "%ld.%d.%d.t", static_cast<long>(time(nullptr)),
             static_cast<int>(getpid()), g_sequence);
    report::join_path(final_path, incoming_dir(), "/", name);
  }

  report::message(cls, "rename spool from %s to %s", temp_path, final_path);
  if (!report::rename_file(temp_path, final_path)) {
    close(fd);
    unlink(temp_path);
    report::exit_run(base::kStatusIncoming);
  }
  if (close(fd) != 0) {
    report::message(report::kSysError, "error writing \"%s\"", final_path);
    report::exit_run(base::kStatusIncoming);
  }
  // The directory is synced once before the host active file records the
  // batches (sync_published_batches), not after every rename.
  g_incoming_unsynced = true;
  return true;
}

}  // namespace

bool spool_article(const char* text, size_t length, bool has_path) {
  if (length == 0) return true;
  if (g_closed_for_good) {
    report::message(report::kError, "incoming spool already closed, article not stored");
    return false;
  }
  const Mode mode = spool_mode();
  if (g_batch.open && g_batch.incomplete) {
    // A pipe cannot take back the part of an article it has already got.
    report::message(report::kSysError, "problems with incoming spool");
    return false;
  }
  if (!g_batch.open) {
    const bool opened = mode == Mode::kFile ? open_batch_file() : open_batch_pipe();
    if (!opened) return false;
    g_batch.open = true;
    g_batch.complete_length = 0;
    g_batch.incomplete = false;
  }

  const std::string added = added_lines(has_path);
  std::string header;
  if (mode != Mode::kInewsPipe) {
    char line[64];
    snprintf(line, sizeof line, "#! rnews %ld\n", static_cast<long>(length + added.size()));
    header = line;
  }

  g_batch.incomplete = true;
  const bool written = write_all(header.data(), header.size()) &&
                       write_all(added.data(), added.size()) && write_all(text, length);
  if (!written) {
    report::message(report::kSysError, "error writing to incoming spool");
    if (mode == Mode::kFile && !cut_back_batch_file()) {
      report::message(report::kSysError, "problems with incoming spool");
    }
    return false;
  }
  g_batch.incomplete = false;
  g_batch.complete_length += static_cast<off_t>(header.size() + added.size() + length);
  g_stored_bytes += static_cast<int64_t>(length);
  ++g_unpublished;

  if (mode == Mode::kInewsPipe) flush_spool(false);
  return true;
}

bool flush_spool(bool interrupted) {
  const report::MessageClass cls = interrupted ? report::kProgress : report::kDetail;
  if (!g_batch.open) {
    report::message(cls, "no spool to flush");
    return true;
  }
  const bool published = g_batch.stream != nullptr ? flush_pipe(cls) : flush_file(cls);
  if (published) g_unpublished = 0;
  return published;
}

int64_t batch_size() {
  return g_stored_bytes;
}

void reset_batch_size() {
  g_stored_bytes = 0;
}

int64_t unpublished_articles() {
  return g_unpublished;
}

bool make_unique_name(char* path_template) {
  const size_t length = strlen(path_template);
  if (length < kUniqueChars || strcmp(path_template + length - kUniqueChars, "XXXXXX") != 0) {
    errno = EINVAL;
    return false;
  }
  char* unique = path_template + length - kUniqueChars;

  struct timeval now;
  gettimeofday(&now, nullptr);
  unsigned long v =
      (static_cast<unsigned long>(now.tv_sec) ^ (static_cast<unsigned long>(now.tv_usec) << 10)) +
      static_cast<unsigned long>(getpid());
  for (int attempt = 0; attempt < kUniqueAttempts; ++attempt) {
    unsigned long b = v + static_cast<unsigned long>(attempt);
    for (int i = 0; i < kUniqueChars; ++i) {
      unique[i] = unique_char(static_cast<unsigned>(b & 0x1F));
      b >>= 5;
    }
    struct stat status;
    if (lstat(path_template, &status) != 0) return errno == ENOENT;
    if (!g_random_seeded) {
      srand(static_cast<unsigned>(getpid()));
      g_random_seeded = true;
    }
    v += static_cast<unsigned long>(rand());
  }
  errno = EEXIST;
  return false;
}

FILE* open_news_pipe(pid_t* pid) {
  const base::Settings& s = base::g_settings;
  report::set_state("pipe to rnews");
  report::message(report::kDetail, "forking...");
  const char* program = base::text_or_empty(s.pipe_program);
  const char* argument = base::has_text(s.inews_options) ? s.inews_options->c_str() : nullptr;
  FILE* stream = sys::pipe_to_program(program, pid, argument, nullptr);
  if (stream == nullptr) {
    report::message(report::kError, "can't run %s: %s", pipe_name(), program);
    return nullptr;
  }
  report::message(report::kDetail, "opened %s pipe, pid %d", pipe_name(), static_cast<int>(*pid));
  return stream;
}

bool close_news_pipe(FILE* stream, pid_t pid) {
  fclose(stream);
  report::message(report::kDetail, "wait pid %d...", static_cast<int>(pid));
  const int status = sys::wait_child(pid);
  report::message(report::kProgress, "%s status is %d", pipe_name(), status);
  return status == 0;
}

void close_spool_for_good() {
  g_closed_for_good = true;
}

void remove_stale_batches() {
  DIR* dir = opendir(incoming_dir());
  if (dir == nullptr) return;
  while (const dirent* entry = readdir(dir)) {
    if (!is_batch_temp_name(entry->d_name)) continue;
    report::PathBuffer path;
    report::join_path(path, incoming_dir(), "/", entry->d_name);
    const int fd = open(path, O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) continue;
    struct stat status;
    // A batch being written holds its write lock: only an unlocked regular
    // file that still has this name is a leftover.
    if (fstat(fd, &status) == 0 && S_ISREG(status.st_mode) && lock_batch(fd, F_RDLCK) &&
        names_file(path, fd)) {
      if (unlink(path) == 0) {
        report::message(report::kDetail, "removed stale \"%s\"", path);
      } else {
        report::message(report::kSysError, "can't remove file \"%s\"", path);
      }
    }
    close(fd);
  }
  closedir(dir);
}

void sync_published_batches() {
  if (!g_incoming_unsynced) return;
  sync_directory(incoming_dir());
  g_incoming_unsynced = false;
}

}  // namespace fetch
