#include "fetch/host_active.h"

#include <fcntl.h>
#include <unistd.h>
#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <ctime>

#include "report/message.h"
#include "report/util.h"

namespace fetch {

namespace {

using report::kDetail;
using report::kSysError;
using report::message;

constexpr const char* kTempSuffix = ".tmp";
constexpr const char* kOldSuffix = ".old";
constexpr const char* kCheckpointSuffix = ".ckpt";
constexpr const char* kErrorMarker = "#ERR# ";
// While fetching, the host active file is checkpointed after a published
// batch at most this often, so that a crash (SIGKILL, power loss) fetches
// again only what was published since. The test suite shortens it through
// the environment variable (not meant for sites).
constexpr int64_t kCheckpointSeconds = 5;
constexpr const char* kCheckpointSecondsVariable = "TESSU_CHECKPOINT_SECONDS";

// White space that may stand before a line's first character.
bool is_line_space(char c) {
  return c == ' ' || c == '\t' || c == '\n' || c == '\v' || c == '\f' || c == '\r';
}

// Characters that end a group name.
constexpr std::string_view kNameEnd = " \n\t!:";

bool is_digit(char c) {
  return c >= '0' && c <= '9';
}

// A run of decimal digits read one at a time, saturating instead of overflowing.
struct DigitRun {
  int64_t value = 0;
  bool any = false;

  void take(char c) {
    if (!is_digit(c)) {
      value = 0;
      any = false;
      return;
    }
    const int digit = c - '0';
    value = value > (INT64_MAX - digit) / 10 ? INT64_MAX : value * 10 + digit;
    any = true;
  }
};

// The digit run that ends text (before its newline, when it has one).
DigitRun trailing_digits(std::string_view text) {
  DigitRun run;
  for (const char c : text) {
    if (c == '\n') break;
    run.take(c);
  }
  return run;
}

// Like "%ld" after white space: optional white space and sign, then digits;
// none gives 0, and a number out of range stops at the nearest limit.
int64_t leading_number(std::string_view text) {
  size_t at = 0;
  while (at < text.size() && is_line_space(text[at])) ++at;
  bool negative = false;
  if (at < text.size() && (text[at] == '-' || text[at] == '+')) negative = text[at++] == '-';
  DigitRun run;
  while (at < text.size() && is_digit(text[at])) run.take(text[at++]);
  if (!negative) return run.value;
  return run.value == INT64_MAX ? INT64_MIN : -run.value;
}

}  // namespace

HostLine parse_host_line(std::string_view piece) {
  HostLine line;
  size_t start = 0;
  while (start < piece.size() && is_line_space(piece[start])) ++start;
  // Nothing left (a NUL ends the text as far as the line's kind goes): a comment.
  if (start == piece.size() || piece[start] == '\0' || piece[start] == '#') return line;
  const std::string_view text = piece.substr(start);
  if (text.find('\0') != std::string_view::npos) {
    line.kind = HostLineKind::kMalformed;
    return line;
  }

  if (text[0] == ':') {
    line.kind = HostLineKind::kTag;
    std::string_view tag = text.substr(1);
    while (!tag.empty() && (tag[0] == ' ' || tag[0] == '\t')) tag.remove_prefix(1);
    // The tag ends at the first newline, then tab, then blank.
    for (const char end : {'\n', '\t', ' '}) tag = tag.substr(0, tag.find(end));
    line.name.assign(tag);
    return line;
  }

  const size_t name_length = std::min(text.find_first_of(kNameEnd), text.size());
  if (name_length == 0 || name_length > kHostGroupNameMax) {
    line.kind = HostLineKind::kMalformed;
    return line;
  }
  line.kind = HostLineKind::kGroup;
  line.name.assign(text.substr(0, name_length));
  if (name_length == text.size()) return line;  // the name alone: number 0
  const char separator = text[name_length];
  const std::string_view after = text.substr(name_length + 1);
  if (separator == ':' || separator == '!') {
    line.form = separator == ':' ? GroupForm::kSubscribed : GroupForm::kUnsubscribed;
    const DigitRun run = trailing_digits(after);
    line.number = run.any ? run.value : 0;
    return line;
  }
  if (separator == ' ' || separator == '\t') line.number = leading_number(after);
  return line;
}

namespace {

// Reads one piece of a line: at most kHostLineBuffer - 1 bytes, up to and
// including a newline. Returns its length, 0 at the end of the file.
size_t read_piece(HostActiveReader* reader, char* buffer) {
  size_t length = 0;
  while (length < static_cast<size_t>(kHostLineBuffer - 1)) {
    const int c = getc(reader->file);
    if (c == EOF) {
      if (ferror(reader->file)) reader->read_error = true;
      break;
    }
    buffer[length++] = static_cast<char>(c);
    if (c == '\n') break;
  }
  buffer[length] = '\0';
  return length;
}

bool ends_line(const char* buffer, size_t length) {
  return length > 0 && buffer[length - 1] == '\n';
}

// True when the piece just read was cut by the buffer, not by a newline or
// the end of the file. A newline that comes right after a full piece is
// taken with it: it ends that line rather than making an empty one.
bool line_goes_on(HostActiveReader* reader, const char* buffer, size_t length) {
  if (ends_line(buffer, length) || length < static_cast<size_t>(kHostLineBuffer - 1)) return false;
  const int c = getc(reader->file);
  if (c == EOF || c == '\n') return false;
  ungetc(c, reader->file);
  return true;
}

// Reads on to the end of a newsrc line, carrying its final digit run through
// every piece; only the run so far is held.
int64_t newsrc_number_through_rest(HostActiveReader* reader, DigitRun run) {
  char buffer[kHostLineBuffer];
  for (;;) {
    const size_t length = read_piece(reader, buffer);
    if (length == 0) break;
    for (size_t i = 0; i < length && buffer[i] != '\n'; ++i) run.take(buffer[i]);
    if (!line_goes_on(reader, buffer, length)) break;
  }
  reader->rest_pending = false;
  return run.any ? run.value : 0;
}

}  // namespace

bool read_host_line(HostActiveReader* reader, HostLine* line) {
  reader->rest_pending = false;
  reader->piece_length = read_piece(reader, reader->piece);
  if (reader->piece_length == 0) return false;
  reader->rest_pending = line_goes_on(reader, reader->piece, reader->piece_length);
  const std::string_view piece(reader->piece, reader->piece_length);
  *line = parse_host_line(piece);
  if (!reader->rest_pending) return true;

  switch (line->kind) {
    case HostLineKind::kGroup:
      if (line->form != GroupForm::kPlain) {
        line->number = newsrc_number_through_rest(reader, trailing_digits(piece));
      } else {
        reader->rest_pending = false;  // the next piece is a line of its own
      }
      break;
    case HostLineKind::kTag:
      reader->rest_pending = false;
      break;
    case HostLineKind::kComment:
    case HostLineKind::kMalformed:
      break;  // the caller copies the rest
  }
  return true;
}

void copy_line_rest(HostActiveReader* reader, FILE* out) {
  bool ended = ends_line(reader->piece, reader->piece_length);
  if (reader->rest_pending) {
    char buffer[kHostLineBuffer];
    for (;;) {
      const size_t length = read_piece(reader, buffer);
      if (length == 0) break;
      if (out != nullptr) fwrite(buffer, 1, length, out);
      ended = ends_line(buffer, length);
      if (!line_goes_on(reader, buffer, length)) break;
    }
    reader->rest_pending = false;
  }
  if (!ended && out != nullptr) putc('\n', out);
}

FILE* create_host_active_temp(const char* path) {
  // Whatever is there (a leftover of a run that died, or something planted)
  // goes; a name that cannot be freed makes the creation below fail.
  unlink(path);
  const int fd = open(path, O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0666);
  if (fd < 0) return nullptr;
  FILE* file = fdopen(fd, "w");
  if (file == nullptr) {
    const int saved_errno = errno;
    close(fd);
    unlink(path);
    errno = saved_errno;
  }
  return file;
}

namespace {

// Writes the group line "name number"; returns its length, negative on failure.
int print_group_line(FILE* out, const char* name, int64_t number) {
  return fprintf(out, "%s %ld\n", name, static_cast<long>(number));
}

int64_t monotonic_ms() {
  struct timespec now;
  clock_gettime(CLOCK_MONOTONIC, &now);
  return static_cast<int64_t>(now.tv_sec) * 1000 + now.tv_nsec / 1000000;
}

int64_t checkpoint_interval_ms() {
  int64_t seconds = kCheckpointSeconds;
  const char* text = getenv(kCheckpointSecondsVariable);
  if (text != nullptr && *text != '\0') {
    char* end = nullptr;
    const long value = strtol(text, &end, 10);
    if (*end == '\0' && value >= 0 && value <= kCheckpointSeconds) seconds = value;
  }
  return seconds * 1000;
}

// Makes the renames in the host active file's directory survive a crash.
void sync_directory(const HostActiveUpdate& update) {
  const int fd = open(update.directory.c_str(), O_RDONLY | O_DIRECTORY);
  if (fd < 0) return;
  fsync(fd);
  close(fd);
}

// Copies the bytes of fd from offset from up to offset to (to < 0: to its
// end) to out, without moving fd's own offset; false on a read or write error.
bool copy_range(int fd, off_t from, off_t to, FILE* out) {
  char buffer[8192];
  while (to < 0 || from < to) {
    size_t want = sizeof buffer;
    if (to >= 0) want = std::min(want, static_cast<size_t>(to - from));
    const ssize_t got = pread(fd, buffer, want, from);
    if (got < 0 && errno == EINTR) continue;
    if (got < 0) return false;
    if (got == 0) return to < 0;
    if (fwrite(buffer, 1, static_cast<size_t>(got), out) != static_cast<size_t>(got)) return false;
    from += got;
  }
  return true;
}

// Writes the checkpoint file and moves it into place; false after a message.
bool replace_with_checkpoint(HostActiveUpdate* u, const char* group, int64_t number) {
  if (fflush(u->temp) != 0 || ferror(u->temp)) {
    message(kSysError, "can't write temporary host active \"%s\"", u->temp_path);
    return false;
  }
  const off_t written = ftell(u->temp);
  off_t old_rest = 0;
  if (u->reader.file != nullptr) {
    old_rest = ftell(u->reader.file);
    if (u->reader.read_error || old_rest < 0) return false;  // reported when the pull ends
  }
  const int temp_fd = open(u->temp_path, O_RDONLY | O_NOFOLLOW | O_CLOEXEC);
  if (temp_fd < 0 || written < 0) {
    message(kSysError, "can't reread temporary host active \"%s\"", u->temp_path);
    if (temp_fd >= 0) close(temp_fd);
    return false;
  }

  FILE* out = create_host_active_temp(u->checkpoint_path);
  if (out == nullptr) {
    message(kSysError, "can't create checkpoint \"%s\"", u->checkpoint_path);
    close(temp_fd);
    return false;
  }
  bool ok = copy_range(temp_fd, 0, written, out);
  close(temp_fd);
  if (group != nullptr) print_group_line(out, group, number);
  if (ok && u->reader.file != nullptr) ok = copy_range(fileno(u->reader.file), old_rest, -1, out);
  ok = ok && fflush(out) == 0 && !ferror(out) && fsync(fileno(out)) == 0;
  if (fclose(out) != 0) ok = false;
  if (!ok) {
    message(kSysError, "can't write checkpoint \"%s\"", u->checkpoint_path);
    unlink(u->checkpoint_path);
    return false;
  }

  if (!u->previous_made && u->old_path[0] != '\0') {
    // A link, so that the host active file never goes missing.
    unlink(u->old_path);
    if (link(u->path, u->old_path) != 0) {
      message(kSysError, "can't link \"%s\" to \"%s\"", u->path, u->old_path);
      unlink(u->checkpoint_path);
      return false;
    }
    u->previous_made = true;
  }
  if (!report::rename_file(u->checkpoint_path, u->path)) {
    unlink(u->checkpoint_path);
    return false;
  }
  sync_directory(*u);
  u->checkpointed = true;
  message(kDetail, "checkpoint of host active %s", u->path);
  return true;
}

// The lines whose numbers rest on lost articles go back to their durable
// numbers. The new file is copied into a fresh one under the same name; on
// failure (reported) it is closed and temp is null.
void take_back_pending_lines(HostActiveUpdate* u) {
  if (u->pending.empty() || u->temp == nullptr) return;
  fflush(u->temp);
  FILE* written = fopen(u->temp_path, "r");
  if (written == nullptr || unlink(u->temp_path) != 0) {
    message(kSysError, "can't reread temporary host active \"%s\"", u->temp_path);
    if (written != nullptr) fclose(written);
    unlink(u->temp_path);
    fclose(u->temp);
    u->temp = nullptr;
    return;
  }
  FILE* fresh = create_host_active_temp(u->temp_path);
  if (fresh == nullptr) {
    message(kSysError, "can't create temporary host active \"%s\"", u->temp_path);
    fclose(written);
    fclose(u->temp);
    u->temp = nullptr;
    return;
  }
  std::sort(u->pending.begin(), u->pending.end(),
            [](const PendingLine& a, const PendingLine& b) { return a.offset < b.offset; });
  long at = 0;
  char buffer[8192];
  auto copy_up_to = [&](long end) {
    while (at < end || end < 0) {
      const size_t want =
          end < 0 ? sizeof buffer : std::min(sizeof buffer, static_cast<size_t>(end - at));
      const size_t got = fread(buffer, 1, want, written);
      if (got == 0) return;
      fwrite(buffer, 1, got, fresh);
      at += static_cast<long>(got);
    }
  };
  for (const PendingLine& line : u->pending) {
    copy_up_to(line.offset);
    fseek(written, static_cast<long>(line.length), SEEK_CUR);
    at += static_cast<long>(line.length);
    print_group_line(fresh, line.name.c_str(), line.durable);
  }
  copy_up_to(-1);
  if (ferror(written)) {
    message(kSysError, "can't reread temporary host active \"%s\"", u->temp_path);
    fclose(written);
    fclose(u->temp);
    fclose(fresh);
    unlink(u->temp_path);
    u->temp = nullptr;
    return;
  }
  fclose(written);
  fclose(u->temp);
  u->temp = fresh;
  u->pending.clear();
}

// Flushes, syncs and closes the new file; false when any of it failed.
bool close_new_file(HostActiveUpdate* u) {
  if (u->temp == nullptr) return false;
  bool ok = fflush(u->temp) == 0 && !ferror(u->temp);
  if (ok && fsync(fileno(u->temp)) != 0) ok = false;
  if (fclose(u->temp) != 0) ok = false;
  u->temp = nullptr;
  return ok;
}

}  // namespace

void start_host_active_update(HostActiveUpdate* update, const char* directory,
                              const char* spool_name, bool checkpoints) {
  HostActiveUpdate& u = *update;
  u = HostActiveUpdate{};
  report::join_path(u.path, directory, "/", spool_name);
  report::join_path(u.temp_path, u.path, kTempSuffix);
  report::join_path(u.old_path, u.path, kOldSuffix);
  u.directory = directory;
  // No checkpoints when their name would be too long.
  u.checkpoints = checkpoints && strlen(u.path) + strlen(kCheckpointSuffix) <=
                                     static_cast<size_t>(report::kPathMax);
  if (u.checkpoints) {
    report::join_path(u.checkpoint_path, u.path, kCheckpointSuffix);
    // What a killed run left: a checkpoint it did not finish.
    unlink(u.checkpoint_path);
  }
  u.checkpoint_interval_ms = checkpoint_interval_ms();
  u.last_checkpoint_ms = monotonic_ms();
}

bool open_host_active_update(HostActiveUpdate* update) {
  HostActiveUpdate& u = *update;
  u.reader.file = fopen(u.path, "r");
  if (u.reader.file == nullptr) {
    message(kSysError, "can't find a host active \"%s\"", u.path);
    u.old_path[0] = '\0';
  }
  u.temp = create_host_active_temp(u.temp_path);
  if (u.temp != nullptr) return true;
  message(kSysError, "can't create temporary host active \"%s\"", u.temp_path);
  if (u.reader.file != nullptr) fclose(u.reader.file);
  u.reader.file = nullptr;
  return false;
}

bool next_host_line(HostActiveUpdate* update, HostLine* line) {
  return update->reader.file != nullptr && read_host_line(&update->reader, line);
}

void keep_host_line(HostActiveUpdate* update, const HostLine& line) {
  HostActiveReader& reader = update->reader;
  FILE* out = update->temp;
  switch (line.kind) {
    case HostLineKind::kComment:
      fwrite(reader.piece, 1, reader.piece_length, out);
      copy_line_rest(&reader, out);
      break;
    case HostLineKind::kTag:
      fprintf(out, ":%s\n", line.name.c_str());
      break;
    case HostLineKind::kMalformed:
      fputs(kErrorMarker, out);
      fwrite(reader.piece, 1, reader.piece_length, out);
      copy_line_rest(&reader, out);
      break;
    case HostLineKind::kGroup:
      write_group_line(update, line.name.c_str(), line.number, line.number);
      break;
  }
}

void write_group_line(HostActiveUpdate* update, const char* name, int64_t number, int64_t durable) {
  const long offset = ftell(update->temp);
  const int length = print_group_line(update->temp, name, number);
  if (durable != number && offset >= 0 && length > 0) {
    update->pending.push_back(PendingLine{offset, static_cast<size_t>(length), name, durable});
  }
}

void flush_new_file(HostActiveUpdate* update) {
  fflush(update->temp);
}

void settle_pending_lines(HostActiveUpdate* update) {
  update->pending.clear();
}

void close_host_active(HostActiveUpdate* update) {
  HostActiveReader& reader = update->reader;
  if (reader.file == nullptr) return;
  if (reader.read_error) message(kSysError, "can't read host active \"%s\"", update->path);
  fclose(reader.file);
  reader.file = nullptr;
}

bool checkpoint_due(const HostActiveUpdate& update) {
  return update.checkpoints && update.temp != nullptr &&
         monotonic_ms() - update.last_checkpoint_ms >= update.checkpoint_interval_ms;
}

void write_checkpoint(HostActiveUpdate* update, const char* group, int64_t number) {
  // A checkpoint that failed once (full disk, a file system without links)
  // is not tried again; the end of the pull writes the file as always.
  if (!replace_with_checkpoint(update, group, number)) update->checkpoints = false;
  update->last_checkpoint_ms = monotonic_ms();
}

bool finish_new_file(HostActiveUpdate* update, bool articles_lost) {
  HostActiveUpdate& u = *update;
  if (u.temp != nullptr) {
    HostLine line;
    while (next_host_line(&u, &line)) keep_host_line(&u, line);
  }
  const bool old_file_complete = !u.reader.read_error;
  close_host_active(&u);
  if (articles_lost) take_back_pending_lines(&u);
  u.pending.clear();
  const bool written = close_new_file(&u);
  if (written && old_file_complete) return true;
  // A new file that may lack lines of the old one must not replace it.
  if (!written) message(kSysError, "can't write temporary host active \"%s\"", u.temp_path);
  unlink(u.temp_path);
  return false;
}

void discard_new_file(HostActiveUpdate* update) {
  unlink(update->temp_path);
}

bool replace_host_active(HostActiveUpdate* update, report::MessageClass cls) {
  HostActiveUpdate& u = *update;
  if (u.old_path[0] != '\0') {
    message(cls, "renaming %s to %s", u.path, u.old_path);
    // After a checkpoint the previous generation is there already, and the
    // host active file is a checkpoint, not the state from before the run.
    if (!u.previous_made) {
      unlink(u.old_path);
      // A link keeps the host active file in place until the new one replaces
      // it in one rename, so a crash in between leaves a complete file.
      if (link(u.path, u.old_path) != 0 && !report::rename_file(u.path, u.old_path)) return false;
    }
    u.old_path[0] = '\0';
  }
  message(cls, "renaming %s to %s", u.temp_path, u.path);
  if (!report::rename_file(u.temp_path, u.path)) return false;
  sync_directory(u);
  return true;
}

}  // namespace fetch
