#include "fetch/pull.h"

#include <fcntl.h>
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
#include "fetch/host_active.h"
#include "fetch/retrieve.h"
#include "fetch/spool.h"
#include "groups/active.h"
#include "nntp/connection.h"
#include "report/exit.h"
#include "report/message.h"
#include "report/stats.h"
#include "report/title.h"
#include "report/util.h"

namespace fetch {

namespace {

using report::kDetail;
using report::kProgress;
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

// A group line already in the temporary file whose number counts articles
// that so far sit only in the unpublished incoming batch.
struct PendingLine {
  long offset = 0;    // where the line starts in the temporary file
  size_t length = 0;  // its bytes, newline included
  std::string name;
  int64_t durable = 0;  // the number to record should that batch be lost
};

// The group being pulled, from before its GROUP until its line is written.
// The exit path records it from here.
struct GroupProgress {
  bool active = false;
  bool stepping = false;  // its article loop has begun
  std::string name;
  int64_t number = 0;            // as read
  int64_t durable = 0;           // what survives a loss of the current batch
  int64_t unpublished_mark = 0;  // unpublished articles when it began or last flushed
};

struct PullState {
  bool in_pull = false;
  unsigned groups_with_news = 0;
  unsigned removed = 0;
  report::PathBuffer host_path = {};
  report::PathBuffer temp_path = {};
  report::PathBuffer old_path = {};
  HostActiveReader reader;  // reader.file is the open host active file
  FILE* temp = nullptr;
  bool stop = false;
  bool aborted = false;
  GroupProgress group;
  // Keeping the record in step with the published batches.
  std::vector<PendingLine> pending;
  bool batch_lost = false;        // a batch this pull wrote was not published
  bool flushing = false;          // the pull loop is flushing the incoming spool
  bool cleanup_flushing = false;  // pull_cleanup is flushing the incoming spool
  // Checkpoints of the host active file while fetching.
  report::PathBuffer checkpoint_path = {};
  int64_t checkpoint_interval_ms = 0;
  int64_t last_checkpoint_ms = 0;  // when the pull began or last wrote a checkpoint
  bool checkpoints_off = false;    // one failed: no more in this pull
  bool checkpointed = false;       // the host active file holds a checkpoint of this pull
  bool previous_made = false;      // the previous generation was made by the first one
};

PullState g;

const base::Settings& settings() {
  return base::g_settings;
}

report::MessageClass message_class(bool interrupted) {
  return interrupted ? kProgress : kDetail;
}

const char* plural(unsigned count) {
  return count == 1 ? "" : "s";
}

// Writes a group line, remembering it when its number rests on articles the
// current batch holds but has not published yet.
void write_group_line(const char* name, int64_t number, int64_t durable, bool unpublished) {
  const long offset = ftell(g.temp);
  const int length = fprintf(g.temp, "%s %ld\n", name, static_cast<long>(number));
  if (unpublished && durable != number && offset >= 0 && length > 0) {
    g.pending.push_back(PendingLine{offset, static_cast<size_t>(length), name, durable});
  }
}

void write_plain_line(const char* name, int64_t number) {
  write_group_line(name, number, number, false);
}

// Articles of the group in progress stored since it began or last flushed.
bool group_has_unpublished() {
  return unpublished_articles() > g.group.unpublished_mark;
}

// The number recorded when the group in progress is cut short: the latest
// settled article, which the next run looks at again (offered twice, it is
// refused by the news system as a duplicate), but never above an article
// whose reply is still outstanding or whose handler failed. Without any
// settled article the number stays as read.
int64_t interrupted_number() {
  const GroupProgress& p = g.group;
  if (!p.stepping || latest_article() <= 0) return p.number;
  int64_t number = latest_article();
  const int64_t outstanding = lowest_outstanding_article();
  if (outstanding != -1) number = std::min(number, outstanding);
  return number;
}

void begin_group(const char* name, int64_t number) {
  g.group = GroupProgress{};
  g.group.active = true;
  g.group.name = name;
  g.group.number = number;
  g.group.durable = number;
  g.group.unpublished_mark = unpublished_articles();
}

// Writes the finished group's line and lets go of it.
void end_group(int64_t number) {
  write_group_line(g.group.name.c_str(), number, g.group.durable, group_has_unpublished());
  g.group.active = false;
}

void checkpoint_when_due();

// Publishes the incoming batch when it has grown beyond --size; false when it
// could not be published (the group's pull then stops).
bool flush_when_full() {
  if (batch_size() <= settings().size) return true;
  message(kProgress, "flushing spool...");
  const int64_t durable = interrupted_number();
  g.flushing = true;
  const bool published = flush_spool(false);
  g.flushing = false;
  reset_batch_size();
  if (!published) {
    g.batch_lost = true;
    return false;
  }
  g.pending.clear();
  g.group.durable = durable;
  g.group.unpublished_mark = unpublished_articles();
  checkpoint_when_due();
  return true;
}

// Moves *next up to the newest limit articles of the group ending at last.
// A limit that would take the start beyond the range of article numbers (a
// negative one near the top of the range) is not applied.
void skip_to_newest(int64_t last, int64_t limit, const char* option, int64_t* next) {
  int64_t start = 0;
  if (__builtin_sub_overflow(last + 1, limit, &start) || start <= *next) return;
  message(kProgress, "skipping %ld articles due to %s", static_cast<long>(start - *next), option);
  *next = start;
}

int pull_group(const char* group, int64_t* number, bool new_group) {
  const base::Settings& s = settings();
  const int64_t r = *number;
  int64_t first = 0;
  int64_t last = 0;
  if (s.dry_run) {
    first = r;
    last = r - 1;
    g.groups_with_news = 1;  // so that the rewritten file is always moved into place
  } else {
    const int selected = select_group(group, &first, &last);
    if (selected == 0) {
      ++report::g_counters.ua_g;
      return 1;
    }
    if (selected < 0) return 0;
  }
  message(kDetail, "group selected %s, %ld-%ld", group, static_cast<long>(first),
          static_cast<long>(last));

  int64_t next = r;
  if (s.sync || (s.syncnew && new_group)) {
    message(kProgress, "zap from %d to %ld in %s", static_cast<int>(r), static_cast<long>(last + 1),
            group);
    next = last + 1;
  } else if (s.reset) {
    next = first;
  } else if (r < 0 || r < first) {
    message(kProgress, "bumping from %ld to %ld in %s", static_cast<long>(r),
            static_cast<long>(first), group);
    next = first;
  }
  if (next <= 0 && last <= 0) {
    *number = next;
    return 1;
  }
  if (new_group && s.maxnew != 0) skip_to_newest(last, s.maxnew, "--maxnew", &next);
  if (s.maxart != 0) skip_to_newest(last, s.maxart, "--maxart", &next);

  g.group.stepping = true;
  bool first_step = true;
  bool failed = false;
  int64_t settled_to = r;
  next = begin_article_walk(next, last, group);
  while (next <= last) {
    if (!fetch_step(next, first_step, group)) {
      settled_to = interrupted_number();
      // What is still on its way is read and thrown away, not acted upon.
      abandon_outstanding_replies();
      nntp::drain_replies();
      failed = true;
      break;
    }
    first_step = false;
    // Numbers that NEXT went past, or all of them once it has nothing more, are jumped over.
    next = next_article_step(next, last, group);
    if (!flush_when_full()) {
      settled_to = std::min(interrupted_number(), g.group.durable);
      abandon_outstanding_replies();
      nntp::drain_replies();
      failed = true;
      break;
    }
  }
  if (!failed && !nntp::drain_replies()) {
    settled_to = interrupted_number();
    // Whoever reads the replies still due must not act on them.
    abandon_outstanding_replies();
    failed = true;
  }
  if (!failed) {
    *number = next;
    return 1;
  }
  message(kDetail, "transfer interrupted");
  if (latest_article() > 0) {
    *number = settled_to;
    message(kDetail, "latest article was %ld", static_cast<long>(latest_article()));
  }
  return 0;
}

// Copies a line as the stop flag wants it: groups in the plain form with
// their old numbers, comments and tags as they were, malformed lines marked.
void copy_stopped(const HostLine& line) {
  switch (line.kind) {
    case HostLineKind::kComment:
      fwrite(g.reader.piece, 1, g.reader.piece_length, g.temp);
      copy_line_rest(&g.reader, g.temp);
      break;
    case HostLineKind::kTag:
      fprintf(g.temp, ":%s\n", line.name.c_str());
      break;
    case HostLineKind::kMalformed:
      fputs(kErrorMarker, g.temp);
      fwrite(g.reader.piece, 1, g.reader.piece_length, g.temp);
      copy_line_rest(&g.reader, g.temp);
      break;
    case HostLineKind::kGroup:
      write_plain_line(line.name.c_str(), line.number);
      break;
  }
}

void pull_listed_group(const HostLine& line) {
  const base::Settings& s = settings();
  const char* name = line.name.c_str();
  // An unsubscribed newsrc line is inactive and leaves its group unmarked.
  const bool active = line.form != GroupForm::kUnsubscribed && groups::group_mark_seen(name);
  if (!active) {
    if (s.forget_inactive) {
      report::message(report::kNotice, "inactive group %s removed from host list", name);
      ++g.removed;
    } else {
      message(kDetail, "group %s not active or not read", name);
      write_plain_line(name, line.number);
    }
    return;
  }

  int64_t number = line.number;
  const bool new_group = number <= 0;
  message(kDetail, new_group ? "pull unseen group %s" : "pull group %s", name);
  begin_group(name, number);
  const int result = pull_group(name, &number, new_group);
  if (new_group && result == 1) ++report::g_counters.us_g;
  end_group(number);
  if (number != line.number) {
    fflush(g.temp);
    ++g.groups_with_news;
  }
  if (result == 0) {
    g.aborted = true;
    report::g_counters.fetch_aborted = true;
    g.stop = true;
  }
}

void handle_line(const HostLine& line) {
  if (g.stop) {
    copy_stopped(line);
    return;
  }
  switch (line.kind) {
    case HostLineKind::kComment:
      copy_stopped(line);
      break;
    case HostLineKind::kTag:
      if (settings().end_tag && *settings().end_tag == line.name) {
        message(kProgress, "end at tag \"%s\"", line.name.c_str());
        g.stop = true;
      }
      copy_stopped(line);
      break;
    case HostLineKind::kMalformed:
      report::syntax_check(report::skip_blanks(g.reader.piece), 0, 1, "host active");
      copy_stopped(line);
      break;
    case HostLineKind::kGroup:
      pull_listed_group(line);
      break;
  }
}

void pull_unseen_groups() {
  report::set_state("pull: unseen groups");
  char name[groups::kGroupNameBuffer];
  while (groups::next_unseen_group(name)) {
    int64_t number = 0;
    message(kDetail, "pull unseen group %s", name);
    begin_group(name, number);
    const int result = pull_group(name, &number, true);
    if (result == 1) ++report::g_counters.us_g;
    end_group(number);
    if (number != 0) {
      fflush(g.temp);
      ++g.groups_with_news;
    }
    if (result == 0) {
      g.aborted = true;
      report::g_counters.fetch_aborted = true;
      return;
    }
  }
}

// Copies what the pull has not reached of the old file, as the stop flag does.
void copy_rest_of_old_file() {
  if (g.reader.file == nullptr) return;
  g.stop = true;
  HostLine line;
  while (read_host_line(&g.reader, &line)) copy_stopped(line);
}

void close_old_file() {
  if (g.reader.file == nullptr) return;
  if (g.reader.read_error) {
    message(report::kSysError, "can't read host active \"%s\"", g.host_path);
  }
  fclose(g.reader.file);
  g.reader.file = nullptr;
}

// The lines whose numbers rest on a lost batch go back to what was published.
// The temporary file is copied into a fresh one under the same name.
void take_back_pending_lines() {
  if (g.pending.empty() || g.temp == nullptr) return;
  fflush(g.temp);
  FILE* written = fopen(g.temp_path, "r");
  if (written == nullptr || unlink(g.temp_path) != 0) {
    message(report::kSysError, "can't reread temporary host active \"%s\"", g.temp_path);
    if (written != nullptr) fclose(written);
    unlink(g.temp_path);
    fclose(g.temp);
    g.temp = nullptr;
    return;
  }
  FILE* fresh = create_host_active_temp(g.temp_path);
  if (fresh == nullptr) {
    message(report::kSysError, "can't create temporary host active \"%s\"", g.temp_path);
    fclose(written);
    fclose(g.temp);
    g.temp = nullptr;
    return;
  }
  std::sort(g.pending.begin(), g.pending.end(),
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
  for (const PendingLine& line : g.pending) {
    copy_up_to(line.offset);
    fseek(written, static_cast<long>(line.length), SEEK_CUR);
    at += static_cast<long>(line.length);
    fprintf(fresh, "%s %ld\n", line.name.c_str(), static_cast<long>(line.durable));
  }
  copy_up_to(-1);
  if (ferror(written)) {
    message(report::kSysError, "can't reread temporary host active \"%s\"", g.temp_path);
    fclose(written);
    fclose(g.temp);
    fclose(fresh);
    unlink(g.temp_path);
    g.temp = nullptr;
    return;
  }
  fclose(written);
  fclose(g.temp);
  g.temp = fresh;
  g.pending.clear();
}

// Flushes, syncs and closes the temporary file; false when any of it failed.
bool close_temp_file() {
  if (g.temp == nullptr) return false;
  bool ok = fflush(g.temp) == 0 && !ferror(g.temp);
  if (ok && fsync(fileno(g.temp)) != 0) ok = false;
  if (fclose(g.temp) != 0) ok = false;
  g.temp = nullptr;
  return ok;
}

// Makes the renames in INHOSTS survive a crash.
void sync_inhosts() {
  const int fd = open(base::text_or_empty(settings().paths.inhosts), O_RDONLY | O_DIRECTORY);
  if (fd < 0) return;
  fsync(fd);
  close(fd);
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

// Replaces the host active file with what a crash right now should leave:
// the lines written so far (every batch they count is published), the group
// in progress at the number its published articles allow, and the lines of
// the old file not reached yet, as they stand. Unseen groups not pulled yet
// are left out; the next run pulls them as unseen anyway. The batches are
// made durable before the file that counts them, and the first checkpoint
// of a pull makes the previous generation, as the end of the pull would.
// False after a message.
bool write_checkpoint() {
  if (fflush(g.temp) != 0 || ferror(g.temp)) {
    message(report::kSysError, "can't write temporary host active \"%s\"", g.temp_path);
    return false;
  }
  const off_t written = ftell(g.temp);
  off_t old_rest = 0;
  if (g.reader.file != nullptr) {
    old_rest = ftell(g.reader.file);
    if (g.reader.read_error || old_rest < 0) return false;  // reported when the pull ends
  }
  const int temp_fd = open(g.temp_path, O_RDONLY | O_NOFOLLOW | O_CLOEXEC);
  if (temp_fd < 0 || written < 0) {
    message(report::kSysError, "can't reread temporary host active \"%s\"", g.temp_path);
    if (temp_fd >= 0) close(temp_fd);
    return false;
  }
  sync_published_batches();

  FILE* out = create_host_active_temp(g.checkpoint_path);
  if (out == nullptr) {
    message(report::kSysError, "can't create checkpoint \"%s\"", g.checkpoint_path);
    close(temp_fd);
    return false;
  }
  bool ok = copy_range(temp_fd, 0, written, out);
  close(temp_fd);
  if (g.group.active) {
    fprintf(out, "%s %ld\n", g.group.name.c_str(), static_cast<long>(g.group.durable));
  }
  if (ok && g.reader.file != nullptr) ok = copy_range(fileno(g.reader.file), old_rest, -1, out);
  ok = ok && fflush(out) == 0 && !ferror(out) && fsync(fileno(out)) == 0;
  if (fclose(out) != 0) ok = false;
  if (!ok) {
    message(report::kSysError, "can't write checkpoint \"%s\"", g.checkpoint_path);
    unlink(g.checkpoint_path);
    return false;
  }

  if (!g.previous_made && g.old_path[0] != '\0') {
    // A link, so that the host active file never goes missing.
    unlink(g.old_path);
    if (link(g.host_path, g.old_path) != 0) {
      message(report::kSysError, "can't link \"%s\" to \"%s\"", g.host_path, g.old_path);
      unlink(g.checkpoint_path);
      return false;
    }
    g.previous_made = true;
  }
  if (!report::rename_file(g.checkpoint_path, g.host_path)) {
    unlink(g.checkpoint_path);
    return false;
  }
  sync_inhosts();
  g.checkpointed = true;
  message(kDetail, "checkpoint of host active %s", g.host_path);
  return true;
}

// Called after every published batch of the pull loop.
void checkpoint_when_due() {
  if (g.checkpoints_off || g.temp == nullptr || settings().dry_run) return;
  if (monotonic_ms() - g.last_checkpoint_ms < g.checkpoint_interval_ms) return;
  // A checkpoint that failed once (full disk, a file system without links)
  // is not tried again; the end of the pull writes the file as always.
  if (!write_checkpoint()) g.checkpoints_off = true;
  g.last_checkpoint_ms = monotonic_ms();
}

// Everything pull_cleanup does after the spool has been flushed: the group in
// progress and the lines not reached yet are carried into the new file,
// which then replaces the old one.
void finish_pull(bool interrupted) {
  report::set_state("pull: cleanup");
  const report::MessageClass cls = message_class(interrupted);

  if (g.group.active) {
    int64_t number = interrupted_number();
    if (g.batch_lost) number = std::min(number, g.group.durable);
    if (number != g.group.number) ++g.groups_with_news;
    g.aborted = true;
    report::g_counters.fetch_aborted = true;
    write_plain_line(g.group.name.c_str(), number);
    g.group.active = false;
  }
  if (g.temp != nullptr) copy_rest_of_old_file();
  const bool old_file_complete = g.reader.file == nullptr || !g.reader.read_error;
  close_old_file();
  if (g.batch_lost) take_back_pending_lines();
  g.pending.clear();

  const bool written = close_temp_file();
  if (!written || !old_file_complete) {
    // A new file that may lack lines of the old one must not replace it.
    if (!written)
      message(report::kSysError, "can't write temporary host active \"%s\"", g.temp_path);
    unlink(g.temp_path);
    g.groups_with_news = g.removed = 0;
    report::exit_run(base::kStatusIncoming);
  }

  if (g.groups_with_news != 0) {
    message(cls, "%d group%s contained new articles", static_cast<int>(g.groups_with_news),
            plural(g.groups_with_news));
    if (g.removed != 0) {
      message(cls, "removed %d group%s", static_cast<int>(g.removed), plural(g.removed));
    }
  } else if (g.removed != 0) {
    message(cls, "removed %d group%s", static_cast<int>(g.removed), plural(g.removed));
  } else if (!g.checkpointed) {
    message(kProgress, "no news is good news!");
    unlink(g.temp_path);
    return;
  }
  g.groups_with_news = g.removed = 0;
  fetch::sync_published_batches();

  if (g.old_path[0] != '\0') {
    message(cls, "renaming %s to %s", g.host_path, g.old_path);
    // After a checkpoint the previous generation is there already, and the
    // host active file is a checkpoint, not the state from before the run.
    if (!g.previous_made) {
      unlink(g.old_path);
      // A link keeps the host active file in place until the new one replaces
      // it in one rename, so a crash in between leaves a complete file.
      if (link(g.host_path, g.old_path) != 0 && !report::rename_file(g.host_path, g.old_path)) {
        report::exit_run(base::kStatusIncoming);
      }
    }
    g.old_path[0] = '\0';
  }
  message(cls, "renaming %s to %s", g.temp_path, g.host_path);
  if (!report::rename_file(g.temp_path, g.host_path)) report::exit_run(base::kStatusIncoming);
  sync_inhosts();
}

}  // namespace

bool pull(const char* spool_name) {
  report::set_state("pull: opening host active");
  g = PullState{};
  const char* inhosts = base::text_or_empty(settings().paths.inhosts);
  report::join_path(g.host_path, inhosts, "/", spool_name);
  report::join_path(g.temp_path, g.host_path, kTempSuffix);
  report::join_path(g.old_path, g.host_path, kOldSuffix);
  if (strlen(g.host_path) + strlen(kCheckpointSuffix) <= static_cast<size_t>(report::kPathMax)) {
    report::join_path(g.checkpoint_path, g.host_path, kCheckpointSuffix);
  } else {
    g.checkpoints_off = true;
  }
  g.checkpoint_interval_ms = checkpoint_interval_ms();
  g.last_checkpoint_ms = monotonic_ms();
  if (!settings().dry_run) {
    // What a killed run left behind: a checkpoint it did not finish, batches
    // it did not publish (their articles are not recorded: fetched again).
    if (g.checkpoint_path[0] != '\0') unlink(g.checkpoint_path);
    remove_stale_batches();
  }

  g.reader.file = fopen(g.host_path, "r");
  if (g.reader.file == nullptr) {
    message(report::kSysError, "can't find a host active \"%s\"", g.host_path);
    g.old_path[0] = '\0';
  }
  g.temp = create_host_active_temp(g.temp_path);
  if (g.temp == nullptr) {
    message(report::kSysError, "can't create temporary host active \"%s\"", g.temp_path);
    if (g.reader.file != nullptr) fclose(g.reader.file);
    g.reader.file = nullptr;
    report::exit_run(base::kStatusIncoming);
  }
  g.in_pull = true;

  if (g.reader.file != nullptr) {
    HostLine line;
    while (read_host_line(&g.reader, &line)) handle_line(line);
    if (g.reader.read_error) {
      g.aborted = true;
      report::g_counters.fetch_aborted = true;
    }
  }
  const bool old_file_complete = g.reader.file == nullptr || !g.reader.read_error;
  if (old_file_complete) close_old_file();

  if (!g.stop && !settings().end_tag && old_file_complete) pull_unseen_groups();

  pull_cleanup(g.aborted);
  return !g.aborted;
}

void pull_cleanup(bool interrupted) {
  if (!g.in_pull) {
    // The spool flush of the cleanup itself ended the run: its batch is lost,
    // and the new file records only what was published before it.
    if (g.cleanup_flushing) {
      g.cleanup_flushing = false;
      g.batch_lost = true;
      close_spool_for_good();
      finish_pull(true);
    }
    return;
  }
  g.in_pull = false;
  // The exit path met the pull loop inside a flush: that batch did not make it.
  if (g.flushing) g.batch_lost = true;
  g.cleanup_flushing = true;
  const bool published = flush_spool(interrupted);
  g.cleanup_flushing = false;
  reset_batch_size();
  if (!published) g.batch_lost = true;
  // Nothing may store an article after this: its number would not be recorded.
  close_spool_for_good();
  finish_pull(interrupted);
}

}  // namespace fetch
