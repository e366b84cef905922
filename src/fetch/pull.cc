#include "fetch/pull.h"

#include <algorithm>
#include <array>
#include <cstdint>
#include <string>

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

// The group being pulled, from before its GROUP until its line is written.
// The exit path records it from here.
struct GroupProgress {
  bool active = false;
  bool stepping = false;  // its article loop has begun
  bool listed = false;    // its line is in the old file
  std::string name;
  int64_t number = 0;            // as read
  int64_t durable = 0;           // what survives a loss of the current batch
  int64_t unpublished_mark = 0;  // unpublished articles when it began or last flushed
};

// A group whose walk has ended while its last ARTICLE replies are still on
// their way (--overview): its line is written once they are read, which the
// next group's GROUP, sent before them, lets happen a round trip sooner.
struct HeldGroup {
  GroupProgress progress;  // active while held
  int64_t reached = 0;     // the number recorded once its replies are read
  bool new_group = false;
};

struct PullState {
  bool in_pull = false;
  unsigned groups_with_news = 0;
  unsigned removed = 0;
  HostActiveUpdate file;
  bool stop = false;
  bool aborted = false;
  GroupProgress group;
  HeldGroup held;
  bool hold_walk = false;  // pull_group left the group's last replies outstanding
  bool untried = false;    // the group was not pulled: the held group before it failed
  // The names the reply handlers of a walk are given: a held group's stays
  // as it is while the next group is pulled under the other.
  std::array<std::string, 2> walk_names;
  int walk_slot = 0;
  bool batch_lost = false;        // a batch this pull wrote was not published
  bool flushing = false;          // the pull loop is flushing the incoming spool
  bool cleanup_flushing = false;  // pull_cleanup is flushing the incoming spool
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

void abort_fetch() {
  g.aborted = true;
  report::g_counters.fetch_aborted = true;
}

// Articles of group p stored since it began or last flushed.
bool group_has_unpublished(const GroupProgress& p) {
  return unpublished_articles() > p.unpublished_mark;
}

// The number recorded when the group in progress is cut short: the latest
// settled article, which the next run looks at again (offered twice, it is
// refused by the news system as a duplicate), but never above an article
// whose reply is still outstanding or whose handler failed. Without any
// settled article the number stays as read.
int64_t interrupted_number(const GroupProgress& p) {
  if (!p.stepping || latest_article() <= 0) return p.number;
  int64_t number = latest_article();
  const int64_t outstanding = lowest_outstanding_article();
  if (outstanding != -1) number = std::min(number, outstanding);
  return number;
}

// The same, and after a batch was lost never above what was published.
int64_t settled_number(const GroupProgress& p) {
  const int64_t number = interrupted_number(p);
  return g.batch_lost ? std::min(number, p.durable) : number;
}

void checkpoint_when_due() {
  if (!checkpoint_due(g.file)) return;
  // The batches are made durable before the file that counts them.
  sync_published_batches();
  write_checkpoint(&g.file, g.group.active ? g.group.name.c_str() : nullptr, g.group.durable);
}

// Publishes the incoming batch when it has grown beyond --size; false when it
// could not be published (the group's pull then stops).
bool flush_when_full() {
  if (batch_size() <= settings().size) return true;
  message(kProgress, "flushing spool...");
  const int64_t durable = interrupted_number(g.group);
  g.flushing = true;
  const bool published = flush_spool(false);
  g.flushing = false;
  reset_batch_size();
  if (!published) {
    g.batch_lost = true;
    return false;
  }
  settle_pending_lines(&g.file);
  g.group.durable = durable;
  g.group.unpublished_mark = unpublished_articles();
  checkpoint_when_due();
  return true;
}

// Gives up the walk of group p after its transfer failed. What is still on
// its way is thrown away, not acted upon: read now when the replies can
// still be read, else by whoever reads them. *number becomes the latest
// settled article. Returns 0, pull_group's failure.
int give_up_walk(const GroupProgress& p, bool read_replies, int64_t* number) {
  const int64_t settled = settled_number(p);
  abandon_outstanding_replies();
  if (read_replies) nntp::drain_replies();
  message(kDetail, "transfer interrupted");
  if (latest_article() > 0) {
    *number = settled;
    message(kDetail, "latest article was %ld", static_cast<long>(latest_article()));
  }
  return 0;
}

int give_up_group(bool read_replies, int64_t* number) {
  return give_up_walk(g.group, read_replies, number);
}

// Writes the line of a group whose pull ended: number reached, or, should the
// articles that number counts not be published, the number it keeps.
void record_group(const GroupProgress& p, int64_t reached) {
  write_group_line(&g.file, p.name.c_str(), reached,
                   group_has_unpublished(p) ? p.durable : reached);
  if (reached != p.number) {
    flush_new_file(&g.file);
    ++g.groups_with_news;
  }
}

// Reads the held group's last replies and writes its line; false when that
// failed (or replies_readable says the connection already failed while they
// were being read): the group then records its latest settled article and
// the fetch is aborted.
bool settle_held_group(bool replies_readable = true) {
  HeldGroup& h = g.held;
  if (!h.progress.active) return true;
  int64_t reached = h.reached;
  const bool read = replies_readable && take_replies_through_group() != 0;
  if (!read) {
    reached = h.progress.number;
    give_up_walk(h.progress, false, &reached);
  }
  if (read && h.new_group) ++report::g_counters.us_g;
  record_group(h.progress, reached);
  h.progress.active = false;
  if (!read) {
    abort_fetch();
    g.stop = true;
  }
  return read;
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

// The number the listing asked for behind GROUP starts at (--overview): the
// recorded number r, where the walk starts unless GROUP's reply moves it
// up; 0 (none) when options move the start to where only that reply tells.
int64_t early_listing_start(int64_t r, bool new_group) {
  const base::Settings& s = settings();
  if (s.overview == 0 || s.dry_run || s.reset || s.sync || s.maxart != 0) return 0;
  if (new_group && (s.syncnew || s.maxnew != 0)) return 0;
  return std::max<int64_t>(r, 1);
}

// select_group, with the held group's last replies read between sending
// GROUP (and the listing behind it, from early_start) and reading its reply;
// -1 when they could not be read.
int select_after_held_group(const char* group, int64_t early_start, int64_t* first, int64_t* last) {
  const int sent = send_group_select_listing(group, early_start);
  if (!g.held.progress.active) {
    if (sent != 1) return sent;
    return read_group_selection(group, first, last);
  }
  // Nothing may be sent after GROUP before its reply, so the held group is
  // settled whatever happened to it. Sending through the window may have
  // taken some of its replies, and failed doing so.
  if (!settle_held_group(sent != -1)) {
    g.untried = true;
    return -1;
  }
  if (sent != 1) return sent;
  // What the held group stored is not this group's.
  g.group.unpublished_mark = unpublished_articles();
  return read_group_selection(group, first, last);
}

// Pulls the group from *number on and sets *number to the next article to
// fetch. 1 when the group was handled (also when the server does not offer
// it), 0 when the transfer failed.
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
    const int selected =
        select_after_held_group(group, early_listing_start(r, new_group), &first, &last);
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
    retire_early_listing();
    *number = next;
    return 1;
  }
  if (new_group && s.maxnew != 0) skip_to_newest(last, s.maxnew, "--maxnew", &next);
  if (s.maxart != 0) skip_to_newest(last, s.maxart, "--maxart", &next);

  g.group.stepping = true;
  next = begin_article_walk(next, last, group);
  for (bool first_step = true; next <= last; first_step = false) {
    if (!fetch_step(next, first_step, group)) return give_up_group(true, number);
    // Numbers that NEXT went past, or all of them once it has nothing more, are jumped over.
    next = next_article_step(next, last, group);
    if (!flush_when_full()) return give_up_group(true, number);
  }
  retire_early_listing();
  // With listings only ARTICLE replies are left: the group is held, and its
  // replies are read after the next group's GROUP went out.
  if (s.overview != 0 && only_article_replies_outstanding()) {
    g.hold_walk = true;
    *number = next;
    return 1;
  }
  // Every outstanding request of the group is settled here.
  if (!nntp::drain_replies()) return give_up_group(false, number);
  *number = walk_given_up() ? interrupted_number(g.group) : next;
  return 1;
}

// Pulls an active group from its recorded number (0 or less: never pulled)
// and writes its line with the number reached, listed telling whether the
// old file has one; false when its transfer failed, which aborts the fetch.
// A group held at its end (see HeldGroup) gets its line later.
bool pull_and_record(const char* name, int64_t number, bool listed) {
  const bool new_group = number <= 0;
  message(kDetail, new_group ? "pull unseen group %s" : "pull group %s", name);
  g.group = GroupProgress{};
  g.group.active = true;
  g.group.name = name;
  g.group.number = number;
  g.group.durable = number;
  g.group.unpublished_mark = unpublished_articles();
  g.group.listed = listed;
  // The reply handlers get a name that stays while the group is held.
  g.walk_slot = 1 - g.walk_slot;
  g.walk_names[g.walk_slot] = name;

  int64_t reached = number;
  g.hold_walk = false;
  g.untried = false;
  const int result = pull_group(g.walk_names[g.walk_slot].c_str(), &reached, new_group);
  if (result == 1 && g.hold_walk) {
    g.held = HeldGroup{g.group, reached, new_group};
    g.group.active = false;
    return true;
  }
  if (new_group && result == 1) ++report::g_counters.us_g;
  // An unseen group that was never tried gets no line, as when the fetch
  // stops before it.
  if (!g.untried || listed) record_group(g.group, reached);
  g.group.active = false;
  if (result == 0) abort_fetch();
  return result != 0;
}

void pull_listed_group(const HostLine& line) {
  const char* name = line.name.c_str();
  // An unsubscribed newsrc line is inactive and leaves its group unmarked.
  const bool active = line.form != GroupForm::kUnsubscribed && groups::group_mark_seen(name);
  if (active) {
    if (!pull_and_record(name, line.number, true)) g.stop = true;
  } else if (!settle_held_group()) {
    keep_host_line(&g.file, line);
  } else if (settings().forget_inactive) {
    report::message(report::kNotice, "inactive group %s removed from host list", name);
    ++g.removed;
  } else {
    message(kDetail, "group %s not active or not read", name);
    keep_host_line(&g.file, line);
  }
}

void handle_line(const HostLine& line) {
  // Only a group's line may follow a held group's before it is written.
  if (g.stop || (line.kind != HostLineKind::kGroup && !settle_held_group())) {
    keep_host_line(&g.file, line);
    return;
  }
  switch (line.kind) {
    case HostLineKind::kComment:
      break;
    case HostLineKind::kTag:
      if (settings().end_tag && *settings().end_tag == line.name) {
        message(kProgress, "end at tag \"%s\"", line.name.c_str());
        g.stop = true;
      }
      break;
    case HostLineKind::kMalformed:
      report::syntax_check(report::skip_blanks(g.file.reader.piece), 0, 1, "host active");
      break;
    case HostLineKind::kGroup:
      pull_listed_group(line);
      return;
  }
  keep_host_line(&g.file, line);
}

void pull_unseen_groups() {
  report::set_state("pull: unseen groups");
  char name[groups::kGroupNameBuffer];
  while (groups::next_unseen_group(name)) {
    if (!pull_and_record(name, 0, false)) return;
  }
}

// Everything pull_cleanup does after the spool has been flushed: the group in
// progress and the lines not reached yet are carried into the new file,
// which then replaces the old one.
void finish_pull(bool interrupted) {
  report::set_state("pull: cleanup");
  const report::MessageClass cls = message_class(interrupted);

  // A held group's line comes before the line of the group after it; an
  // unseen group selected behind a held one was not pulled yet.
  const bool held = g.held.progress.active;
  for (GroupProgress* p : {&g.held.progress, &g.group}) {
    if (!p->active) continue;
    if (p == &g.group && held && !p->listed) {
      p->active = false;
      continue;
    }
    const int64_t number = settled_number(*p);
    if (number != p->number) ++g.groups_with_news;
    abort_fetch();
    write_group_line(&g.file, p->name.c_str(), number, number);
    p->active = false;
  }
  if (!finish_new_file(&g.file, g.batch_lost)) {
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
  } else if (!g.file.checkpointed) {
    message(kProgress, "no news is good news!");
    discard_new_file(&g.file);
    return;
  }
  g.groups_with_news = g.removed = 0;
  sync_published_batches();
  if (!replace_host_active(&g.file, cls)) report::exit_run(base::kStatusIncoming);
}

}  // namespace

bool pull(const char* spool_name) {
  report::set_state("pull: opening host active");
  g = PullState{};
  const bool dry_run = settings().dry_run;
  start_host_active_update(&g.file, base::text_or_empty(settings().paths.inhosts), spool_name,
                           !dry_run);
  // Batches a killed run did not publish: their articles are not recorded
  // and are fetched again.
  if (!dry_run) remove_stale_batches();
  if (!open_host_active_update(&g.file)) report::exit_run(base::kStatusIncoming);
  g.in_pull = true;

  HostLine line;
  while (next_host_line(&g.file, &line)) handle_line(line);
  const bool old_file_complete = !g.file.reader.read_error;
  if (old_file_complete) {
    close_host_active(&g.file);
    if (!g.stop && !settings().end_tag) pull_unseen_groups();
  } else {
    abort_fetch();
  }

  settle_held_group();
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
