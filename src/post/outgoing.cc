#include "post/outgoing.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#include <cerrno>
#include <cstring>

#include "base/settings.h"
#include "base/status.h"
#include "newssys/commands.h"
#include "newssys/paths.h"
#include "post/transfer.h"
#include "report/exit.h"
#include "report/message.h"
#include "report/title.h"
#include "report/util.h"
#include "sys/children.h"
#include "sys/locks.h"

namespace post {

namespace {

using report::message;

// One read of the queue file takes at most this many characters.
constexpr int kLineBufferSize = 1024;
// append_file copies in blocks of this size.
constexpr size_t kCopyBlock = 1024;

using newssys::kCNewsLockName;
using newssys::kCNewsTogoName;
using newssys::kInnLockPrefix;
using newssys::kInnTogoSuffix;
using newssys::kOldSuffix;
using newssys::kRetrySuffix;

struct OutgoingSpool {
  bool opened = false;       // the first call was made
  FILE* queue = nullptr;     // the togo file being read
  long lines_read = 0;       // reads made from the queue file
  FILE* retry = nullptr;     // open once an entry of this run was held
  report::PathBuffer spool;  // INN: the batch file; C News: the site directory
  report::PathBuffer togo;
  report::PathBuffer retry_name;
  report::PathBuffer old;
};

OutgoingSpool g_outgoing;

const char* spool_name() {
  return base::text_or_empty(base::g_settings.spool_name);
}

[[noreturn]] void fail_outgoing() {
  report::exit_run(base::kStatusOutgoing);
}

// A file that carries entries to the next run is on disk before the copy
// they came from is removed or replaced.
bool sync_file(FILE* file, const char* name) {
  if (fflush(file) != 0 || fsync(fileno(file)) != 0) {
    message(report::kSysError, "can't sync \"%s\"", name);
    return false;
  }
  return true;
}

// Makes the renames made in a file's directory durable before an older copy
// of the entries goes. File systems that cannot sync a directory are left as
// they are.
void sync_directory_of(const char* path) {
  report::PathBuffer directory;
  report::join_path(directory, path);
  char* slash = strrchr(directory, '/');
  if (slash == nullptr) {
    report::join_path(directory, ".");
  } else if (slash == directory) {
    slash[1] = '\0';
  } else {
    *slash = '\0';
  }
  const int fd = open(directory, O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (fd < 0) return;
  fsync(fd);
  close(fd);
}

// Writes a line end when the stream's file ends in the middle of a line (a
// batch cut short by a full disk, say), so that what is appended next is not
// glued to that line. Leaves the stream at its end.
bool end_last_line(FILE* file) {
  if (fseek(file, 0, SEEK_END) != 0) return false;
  const long size = ftell(file);
  if (size <= 0) return true;
  int last = '\n';
  if (fseek(file, -1, SEEK_END) == 0) last = fgetc(file);
  if (fseek(file, 0, SEEK_END) != 0) return false;
  // A stream that cannot be read back is taken to end its lines.
  if (last == EOF || last == '\n') return true;
  return fputc('\n', file) != EOF;
}

// Opens a spool file with the open flags given (O_RDONLY, O_RDWR, or O_RDWR
// with O_APPEND and O_CREAT) as a stream of the matching mode, neither
// following a symbolic link in its last component nor blocking on a FIFO, so
// that a link or FIFO planted in the spool directory can neither turn the run
// to another file nor hang it. Null with errno set when it cannot be opened;
// a file that is not a regular file ends the run.
FILE* open_spool_file(const char* name, int flags) {
  const int fd = open(name, flags | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY | O_CLOEXEC, 0666);
  if (fd < 0) return nullptr;
  struct stat status;
  if (fstat(fd, &status) == 0 && !S_ISREG(status.st_mode)) {
    message(report::kError, "\"%s\" is not a regular file", name);
    close(fd);
    fail_outgoing();
  }
  const char* mode = (flags & O_APPEND) != 0 ? "a+" : (flags & O_ACCMODE) == O_RDWR ? "r+" : "r";
  const int status_flags = fcntl(fd, F_GETFL);
  FILE* file = nullptr;
  if (status_flags >= 0 && fcntl(fd, F_SETFL, status_flags & ~O_NONBLOCK) == 0) {
    file = fdopen(fd, mode);
  }
  if (file == nullptr) {
    const int open_errno = errno;
    close(fd);
    errno = open_errno;
  }
  return file;
}

bool exists(const char* name) {
  struct stat status;
  return lstat(name, &status) == 0;
}

// Says so when the spool given for INN looks like a C News site directory.
void hint_cnews_layout() {
  report::PathBuffer inner;
  report::join_path(inner, g_outgoing.spool, "/", kCNewsTogoName);
  struct stat status;
  if (stat(g_outgoing.spool, &status) == 0 && S_ISDIR(status.st_mode) &&
      stat(inner, &status) == 0 && S_ISREG(status.st_mode)) {
    message(report::kError, "you specified '-i' for a C News spool");
  }
}

// A togo file that an earlier run left behind goes into the retry file, whose
// entries follow this run's new ones.
void take_over_earlier_togo() {
  OutgoingSpool& g = g_outgoing;
  FILE* togo = open_spool_file(g.togo, O_RDONLY);
  if (togo == nullptr) {
    // Whatever is there but cannot be read may hold entries: it is not
    // renamed over.
    if (errno == ENOENT) return;
    message(report::kSysError, "can't open \"%s\"", g.togo);
    fail_outgoing();
  }
  FILE* retry = open_spool_file(g.retry_name, O_RDWR);
  if (retry == nullptr) {
    // Renaming over a retry file that is there but cannot be opened would
    // throw its entries away.
    if (errno != ENOENT) {
      message(report::kSysError, "can't open \"%s\"", g.retry_name);
      fail_outgoing();
    }
    fclose(togo);
    if (!report::rename_file(g.togo, g.retry_name)) fail_outgoing();
    return;
  }
  if (!append_file(retry, g.retry_name, togo) || !sync_file(retry, g.retry_name)) {
    fail_outgoing();
  }
  fclose(togo);
  if (fclose(retry) != 0) {
    message(report::kSysError, "error closing \"%s\"", g.retry_name);
    fail_outgoing();
  }
  unlink(g.togo);  // should it stay, its entries are only offered twice
}

// The entries that earlier runs held follow this run's new ones in the queue.
void merge_retry_file() {
  OutgoingSpool& g = g_outgoing;
  FILE* retry = open_spool_file(g.retry_name, O_RDONLY);
  if (retry == nullptr) {
    if (errno == ENOENT) return;
    message(report::kSysError, "can't open \"%s\"", g.retry_name);
    fail_outgoing();
  }
  if (!append_file(g.queue, g.togo, retry) || !sync_file(g.queue, g.togo)) fail_outgoing();
  fclose(retry);
  unlink(g.retry_name);  // should it stay, its entries are only offered twice
}

// Has INN close the batch it writes and begin a new one. False when the
// spool is not to be read in this run (--continue).
bool flush_inn_batch() {
  report::set_state("ctlinnd flush");
  const int status = newssys::run_ctlinnd(newssys::kCtlinndFlush, spool_name());
  if (status == 0) return true;
  message(report::kError, "ctlinnd %s failed, returned status %d", newssys::kCtlinndFlush, status);
  // The entries stay in the togo or retry file; the next run takes them over.
  if (base::g_settings.continue_on_spool_error) return false;
  fail_outgoing();
}

// INN has queued nothing since its last flush, so there is no batch file, but
// an earlier run left entries in the togo or retry file: they are the queue.
// INN is told to flush first all the same, since a run killed between its
// rename and its flush leaves INN writing to that togo file.
bool open_inn_leftovers() {
  OutgoingSpool& g = g_outgoing;
  message(report::kDetail, "no batch file \"%s\": posting the entries of earlier runs", g.spool);
  take_over_earlier_togo();
  if (!flush_inn_batch()) return false;
  if (!report::rename_file(g.retry_name, g.togo)) fail_outgoing();
  g.queue = open_spool_file(g.togo, O_RDWR);
  if (g.queue == nullptr) {
    message(report::kSysError, "can't open \"%s\"", g.togo);
    fail_outgoing();
  }
  return true;
}

// Opening in INN mode: lock, take the batch file over as the togo file and
// have INN begin a new batch. False when there is nothing to read (--continue).
bool open_inn_spool() {
  OutgoingSpool& g = g_outgoing;
  const base::Settings& s = base::g_settings;
  report::set_state("locking outgoing spool");
  report::resolve_path(g.spool, base::text_or_empty(s.paths.batch), spool_name(), nullptr);
  report::PathBuffer lock_name;
  report::join_path(lock_name, kInnLockPrefix, spool_name());
  sys::lock(nullptr, lock_name, false);

  report::join_path(g.togo, g.spool, kInnTogoSuffix);
  report::join_path(g.retry_name, g.spool, kRetrySuffix);
  report::join_path(g.old, g.spool, kOldSuffix);

  report::set_state("open spool");
  g.queue = open_spool_file(g.spool, O_RDWR);
  if (g.queue == nullptr && errno == ENOENT && (exists(g.togo) || exists(g.retry_name))) {
    return open_inn_leftovers();
  }
  if (g.queue == nullptr) {
    const int open_errno = errno;
    message(report::kSysError, "can't open INN spool \"%s\"", g.spool);
    if (open_errno == EISDIR) hint_cnews_layout();
    if (s.continue_on_spool_error) return false;
    fail_outgoing();
  }
  take_over_earlier_togo();

  report::set_state("rename spool");
  if (!report::rename_file(g.spool, g.togo)) fail_outgoing();

  if (!flush_inn_batch()) {
    fclose(g.queue);
    g.queue = nullptr;
    return false;
  }

  merge_retry_file();
  return true;
}

// Opening in C News mode: lock the site directory and read its togo file as
// it stands.
bool open_cnews_spool() {
  OutgoingSpool& g = g_outgoing;
  const base::Settings& s = base::g_settings;
  report::set_state("locking outgoing spool");
  report::resolve_path(g.spool, base::text_or_empty(s.paths.batch), spool_name(), nullptr);
  sys::lock(g.spool, kCNewsLockName, false);

  report::resolve_path(g.togo, g.spool, kCNewsTogoName, s.togo ? s.togo->c_str() : nullptr);
  report::set_state("open spool");
  message(report::kDetail, "opening outgoing \"%s\"", g.togo);
  report::join_path(g.retry_name, g.togo, kRetrySuffix);
  report::join_path(g.old, g.togo, kOldSuffix);

  g.queue = open_spool_file(g.togo, O_RDONLY);
  if (g.queue == nullptr && errno == ENOENT && exists(g.retry_name)) {
    // The togo file is gone but an earlier run left held entries: they become
    // the togo file. Linked rather than renamed, so that a togo file C News
    // has begun meanwhile is not replaced; the retry file then waits.
    if (link(g.retry_name, g.togo) == 0) {
      unlink(g.retry_name);
    } else if (errno != EEXIST && !report::rename_file(g.retry_name, g.togo)) {
      fail_outgoing();
    }
    g.queue = open_spool_file(g.togo, O_RDONLY);
  }
  if (g.queue == nullptr) {
    message(report::kSysError, "can't open C spool \"%s\"", g.togo);
    if (s.continue_on_spool_error) return false;
    fail_outgoing();
  }
  message(report::kDetail, "opened spool file \"%s\"", g.togo);
  return true;
}

// C News mode: the finished togo file becomes the old file and the held
// entries the new togo file. While entries wait in the retry file the togo
// file must not be missing even for a moment (a run killed then would leave
// them where the next run does not look), so it is linked to the old name and
// then replaced by the retry file in one rename.
void replace_cnews_togo(bool held) {
  OutgoingSpool& g = g_outgoing;
  if (held) {
    unlink(g.old);
    const bool linked = link(g.togo, g.old) == 0;
    if (!linked && !report::rename_file(g.togo, g.old)) fail_outgoing();
    if (!report::rename_file(g.retry_name, g.togo)) fail_outgoing();
    return;
  }
  if (!report::rename_file(g.togo, g.old)) fail_outgoing();
  // Created only where nothing is: a togo file C News has begun meanwhile
  // keeps its entries, and a link planted in between is not followed.
  const int empty =
      open(g.togo, O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC, 0666);
  if (empty >= 0) {
    close(empty);
  } else if (errno != EEXIST) {
    message(report::kSysError, "can't create spool \"%s\"", g.togo);
    fail_outgoing();
  }
}

// The queue is exhausted: the togo file is done with, and the held entries
// become the togo file of the next run.
void finish_queue() {
  OutgoingSpool& g = g_outgoing;
  const base::Settings& s = base::g_settings;
  // A read error is an unread rest of the queue: it must not be renamed away.
  const bool read_error = ferror(g.queue) != 0;
  const int read_errno = errno;
  const bool close_error = fclose(g.queue) != 0;
  g.queue = nullptr;
  if (read_error || close_error) {
    if (!close_error) errno = read_errno;
    message(report::kSysError, "error reading \"%s\"", g.togo);
    fail_outgoing();
  }
  if (s.dry_run || g.lines_read == 0) return;

  report::set_state("closing spool");
  const bool held = g.retry != nullptr;
  if (held) {
    const bool synced = fflush(g.retry) == 0 && fsync(fileno(g.retry)) == 0;
    const bool closed = fclose(g.retry) == 0;
    g.retry = nullptr;
    if (!synced || !closed) {
      message(report::kSysError, "error closing \"%s\"", g.retry_name);
      fail_outgoing();
    }
  }
  if (s.inn_mode) {
    // Should the run end between these renames, the next one merges the
    // retry file into its queue.
    if (!report::rename_file(g.togo, g.old)) fail_outgoing();
    if (held && !report::rename_file(g.retry_name, g.togo)) fail_outgoing();
  } else {
    replace_cnews_togo(held);
  }
  if (!s.keepold) {
    sync_directory_of(g.togo);
    if (unlink(g.old) != 0) {
      message(report::kSysError, "can't unlink batch file \"%s\"", g.old);
      fail_outgoing();
    }
  }
}

// Keeps an entry for the next run. Each entry is written out at once, so that
// a failure shows at the entry that could not be kept.
void hold_for_retry(const std::string& entry) {
  OutgoingSpool& g = g_outgoing;
  if (g.retry == nullptr) {
    g.retry = open_spool_file(g.retry_name, O_RDWR | O_APPEND | O_CREAT);
    if (g.retry == nullptr) {
      message(report::kSysError, "can't create \"%s\"", g.retry_name);
      fail_outgoing();
    }
    if (!end_last_line(g.retry)) {
      message(report::kSysError, "can't write \"%s\"", g.retry_name);
      fail_outgoing();
    }
  }
  if (fprintf(g.retry, "%s\n", entry.c_str()) < 0 || fflush(g.retry) != 0) {
    message(report::kSysError, "can't write \"%s\"", g.retry_name);
    fail_outgoing();
  }
}

}  // namespace

bool read_spool_entry(FILE* file, std::string* entry, long* lines_read) {
  char line[kLineBufferSize];
  while (fgets(line, sizeof line, file) != nullptr) {
    ++*lines_read;
    const size_t length = strcspn(line, " \n");
    if (length == 0) continue;
    entry->assign(line, length);
    return true;
  }
  return false;
}

bool append_file(FILE* destination, const char* destination_name, FILE* source) {
  if (fseek(destination, 0, SEEK_END) != 0) {
    message(report::kSysError, "can't seek to end of \"%s\"", destination_name);
    return false;
  }
  if (!end_last_line(destination)) {
    message(report::kSysError, "can't append to \"%s\"", destination_name);
    return false;
  }
  char block[kCopyBlock];
  for (;;) {
    const size_t got = fread(block, 1, sizeof block, source);
    if (got == 0) break;
    if (fwrite(block, 1, got, destination) != got) {
      message(report::kError, "can't append to \"%s\"", destination_name);
      return false;
    }
  }
  // A source that could not be read to its end must not be taken as copied.
  if (ferror(source)) {
    message(report::kSysError, "can't append to \"%s\"", destination_name);
    return false;
  }
  if (fflush(destination) != 0) {
    message(report::kSysError, "can't flush \"%s\"", destination_name);
    return false;
  }
  if (fseek(destination, 0, SEEK_SET) != 0) {
    message(report::kSysError, "can't seek to start of \"%s\"", destination_name);
    return false;
  }
  return true;
}

bool next_outgoing_entry(std::string* entry) {
  OutgoingSpool& g = g_outgoing;
  if (!g.opened) {
    g.opened = true;
    const bool readable = base::g_settings.inn_mode ? open_inn_spool() : open_cnews_spool();
    if (!readable) return false;
  }
  if (g.queue == nullptr) return false;
  report::set_state("read togo");
  if (read_spool_entry(g.queue, entry, &g.lines_read)) return true;
  finish_queue();
  return false;
}

void post_outgoing(const std::string& first) {
  std::string entry = first;
  do {
    const char* status = post_article(entry.c_str());
    if (status == nullptr && !base::g_settings.dry_run) hold_for_retry(entry);
  } while (next_outgoing_entry(&entry));
}

}  // namespace post
