#include "fetch/retrieve.h"

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "base/settings.h"
#include "fetch/article.h"
#include "fetch/filters.h"
#include "fetch/listing.h"
#include "fetch/msgid_cache.h"
#include "nntp/connection.h"
#include "nntp/replies.h"
#include "report/message.h"
#include "report/stats.h"
#include "report/title.h"
#include "report/util.h"

namespace fetch {

namespace {

using report::kDetail;
using report::kError;
using report::kNotice;
using report::kProgress;
using report::message;

// Room for a command line and its terminating NUL.
constexpr int kCommandBuffer = nntp::kCommandLineMax + 1;

// A code of our own, never sent by a server: "fetch this article without
// looking at its message ID".
constexpr int kFetchUnconditionally = 99;

// A walk is sparse when more of its numbers are missing than the group has
// articles, and more than this many: asking for every number would cost more
// than the articles are worth, so NEXT finds them instead. A run of this many
// STAT misses makes a walk sparse as well.
constexpr int64_t kSparseSlack = 10000;

// Without NEXT every number must be asked for; a walk asks for at most this
// many, the newest of its range.
constexpr int64_t kWalkWithoutNextMax = 1000000;

// NEXT replies in a row that report nothing beyond what an earlier one did.
// Pipelined NEXT and ARTICLE commands explain up to a window of them; more
// means the server's NEXT does not move on.
constexpr int kNextStandstillMax = 2 * nntp::kReplyWindowSize;

// State of the group being fetched, reset by its first fetch_step.
struct GroupState {
  int64_t next_position = -1;     // highest article number a NEXT reply reported
  int outstanding_next = 0;       // NEXT commands not answered yet
  int stat_failures = 0;          // STAT misses since the last hit
  bool next_exhausted = false;    // NEXT said there is nothing more
  bool numbered_command = false;  // the last command queued was STAT or ARTICLE
  int64_t numbered_high = -1;     // highest number a STAT or ARTICLE was queued for
  int64_t numbered_last = -1;     // number of the last STAT or ARTICLE queued
  int next_standstill = 0;        // NEXT replies in a row that did not go beyond next_position
  int64_t unsettled = -1;         // lowest article whose handler failed
  bool listing_off = false;       // a listing could not be read: STAT decides the rest
  bool next_lost = false;         // NEXT went off in this walk: STAT resumes where it reached
  bool finishing = false;         // the walk went past its last number before NEXT reached it
};
GroupState g_group;

// The walk over the selected group's numbers, set by select_group and
// begin_article_walk.
struct Walk {
  int64_t count = 0;      // article count of the GROUP reply
  int64_t start = 0;      // first number of the walk
  int64_t last = 0;       // last number of the walk
  bool sparse = false;    // NEXT finds the articles after the first STAT
  int64_t span = 0;       // numbers one listing covers (--overview)
  bool given_up = false;  // ended short of last: the group records its latest settled article
};
Walk g_walk;

// The last article of the walk whose outcome was settled; -1 before the first.
int64_t g_latest_article = -1;

// State for the rest of the run.
bool g_no_stat = false;       // the server does not know STAT
bool g_next_off = false;      // the server does not know NEXT (or garbles it)
bool g_next_bounded = false;  // NEXT was given up by a bound, not found missing
bool g_number_notice_given = false;
bool g_listing_off = false;  // the server offers no listing of message IDs
bool g_use_xhdr = false;     // it knows XHDR only

// The listing of the current block (--overview) and the state of its request:
// one listing is asked for at a time, once every article of the one before
// it has been decided on, so that ARTICLE commands keep the order of the numbers.
Listing g_listing;
struct ListingRequest {
  bool pending = false;   // its reply has not been handled yet
  bool try_xhdr = false;  // HDR was unknown: the block is asked for again with XHDR
  int64_t high = 0;       // the block's last number
};
ListingRequest g_request;

// A GROUP sent through the reply window (--overview), so that the listing of
// the group's first block can follow it before its reply is in.
struct QueuedGroup {
  bool queued = false;    // read_group_selection takes its reply from the window
  bool answered = false;  // its reply was taken: line holds it
  int code = 0;           // the reply's code once answered
  char line[nntp::kStatusLineBuffer] = {};
};
QueuedGroup g_queued_group;

// What became of the listing asked for right behind GROUP.
enum class EarlyOutcome { kNone, kListed, kMalformed, kNotUsed };

// The listing of a group's first block, asked for behind its GROUP from the
// recorded number on, before GROUP's reply tells where the walk starts and
// ends. The walk's first step takes it when it covers the walk's start, cut
// to the walk; otherwise the block is asked for again as usual.
struct EarlyListing {
  bool queued = false;   // the walk's first step takes it, or the walk's end retires it
  bool pending = false;  // its reply has not been taken yet
  EarlyOutcome outcome = EarlyOutcome::kNone;
  int64_t high = 0;      // the block's last number
  std::string bad_line;  // the malformed line (kMalformed)
  Listing listing;
};
EarlyListing g_early;
bool g_early_off = false;  // the server refused a listing behind GROUP: no more of them

int on_stat_reply(const char* line, int64_t n, const char* group);
int on_next_reply(const char* line, int64_t n, const char* group);
int on_article_reply(const char* line, int64_t n, const char* group);
int on_listing_reply(const char* line, int64_t n, const char* group);
int on_anchor_reply(const char* line, int64_t n, const char* group);
int on_early_listing_reply(const char* line, int64_t n, const char* group);
int discard_reply(const char* line, int64_t, const char*);

bool no_next() {
  return base::g_settings.nonext != 0 || g_next_off;
}

// Whether the next step after a first one goes by NEXT (as fetch_step decides).
bool next_route() {
  if (no_next()) return false;
  return g_walk.sparse || g_group.stat_failures >= base::g_settings.missing;
}

// The longest range a group of count articles may have without being sparse.
int64_t largest_dense_range(int64_t count) {
  if (count >= nntp::kArticleNumberMax / 2) return nntp::kArticleNumberMax;
  return count + std::max(count, kSparseSlack);
}

// Without NEXT (or STAT) every number costs a command: a range too large for
// that is cut to its newest numbers. Returns the number to go on from.
int64_t cut_walk_without_next(int64_t next, int64_t last, const char* group) {
  if (!no_next() && !g_no_stat) return next;
  const int64_t limit = std::min(kWalkWithoutNextMax, largest_dense_range(g_walk.count));
  if (last - next + 1 <= limit) return next;
  if (g_next_bounded) {
    // NEXT was lost to a server that misbehaves: the numbers are not given
    // up for good but left to the next run.
    message(kNotice, "%s left at article %ld for the next run: too many numbers without NEXT",
            group, static_cast<long>(next));
    g_walk.given_up = true;
    return last + 1;
  }
  message(kProgress, "skipping %ld articles in %s: too many numbers to ask for one by one",
          static_cast<long>(last + 1 - limit - next), group);
  return last + 1 - limit;
}

void show_article_state(const char* group, int64_t n) {
  char suffix[32];
  snprintf(suffix, sizeof suffix, " %ld", static_cast<long>(n));
  report::set_state(group, suffix);
}

// Skips article n: its outcome is settled without fetching it.
int skip(int64_t n) {
  g_latest_article = n;
  return 1;
}

// Articles whose reply handler is running (handlers nest when one queues a
// command and the window is full): their entries have left the window, but
// an exit in the middle must not record past them.
std::vector<int64_t> g_in_progress;

// Remembers a failed article so that the group's record does not pass it.
int note_result(int result, int64_t n) {
  if (result == 0 && (g_group.unsettled < 0 || n < g_group.unsettled)) g_group.unsettled = n;
  return result;
}

// Queues "verb n" with the handler for its reply.
int queue_numbered(const char* verb, nntp::ReplyHandler handler, int64_t n, const char* group) {
  char command[kCommandBuffer];
  snprintf(command, sizeof command, "%s %ld", verb, static_cast<long>(n));
  g_group.numbered_command = true;
  g_group.numbered_high = std::max(g_group.numbered_high, n);
  g_group.numbered_last = n;
  return nntp::queue_command(command, handler, n, group);
}

int queue_stat(int64_t n, const char* group) {
  return queue_numbered("STAT", on_stat_reply, n, group);
}

int request_article(int64_t n, const char* group) {
  if (g_no_stat) show_article_state(group, n);
  return queue_numbered("ARTICLE", on_article_reply, n, group);
}

int fetch_unconditionally(int64_t n, const char* group) {
  message(kDetail, "unconditionally fetching article %ld", static_cast<long>(n));
  return request_article(n, group);
}

// Reads the article number and message ID that follow the code of a 223
// reply; false when either is missing or the number is not one.
bool scan_article_pointer(const char* rest, int64_t* number, char (&message_id)[kCommandBuffer]) {
  const char* end = nullptr;
  if (!nntp::parse_article_number(rest, number, &end)) return false;
  return sscanf(end, " %512[^ \n\t]", message_id) == 1;
}

int consider_article(const char* message_id, int64_t n, const char* group) {
  const base::Settings& s = base::g_settings;
  if (!s.keep_fake && is_fake_id(message_id)) {
    message(kDetail, "MSGID %s is fake", message_id);
    ++report::g_counters.fake;
    return skip(n);
  }
  const bool history_off = s.paths.history && s.paths.history->empty();
  if (!history_off && report::history_has(message_id)) {
    ++report::g_counters.hist;
    return skip(n);
  }
  if (!remember_message_id(message_id)) {
    ++report::g_counters.alre;
    return skip(n);
  }
  if (mfilter_rejects(message_id)) {
    message(kDetail, "MSGID %s filtered by message ID", message_id);
    ++report::g_counters.filtered;
    return skip(n);
  }
  message(kDetail, "fetching article %ld", static_cast<long>(n));
  return request_article(n, group);
}

int stat_reply(const char* line, int64_t n, const char* group) {
  const char* rest = nullptr;
  switch (nntp::reply_code(line, &rest)) {
    case nntp::kArticleExists: {
      int64_t number = 0;
      char message_id[kCommandBuffer];
      if (!scan_article_pointer(rest, &number, message_id)) {
        message(kError, "bad STAT reponse: %s", line);
        return 0;
      }
      if (number != n) {
        message(kError, "STAT %ld out of phase: %s", static_cast<long>(n), line);
        return 0;
      }
      g_group.stat_failures = 0;
      return consider_article(message_id, n, group);
    }
    case nntp::kNoArticleNumber:
    case nntp::kNoArticleId:
      ++g_group.stat_failures;
      message(kDetail, "article %ld in %s not on server, stat_failures %d", static_cast<long>(n),
              group, g_group.stat_failures);
      // So long a run of misses is a gap that NEXT crosses in one step.
      if (g_group.stat_failures > kSparseSlack) g_walk.sparse = true;
      return 1;
    case nntp::kUnknownCommand:
      message(kNotice, "server lacks STAT command: %s", line);
      g_no_stat = true;
      [[fallthrough]];
    case kFetchUnconditionally:
      return fetch_unconditionally(n, group);
    default:
      message(kError, "NNTP unknown STAT error: got \"%s\"", line);
      return 0;
  }
}

// Runs a handler body with article n marked as in progress.
int handle(int (*body)(const char*, int64_t, const char*), const char* line, int64_t n,
           const char* group) {
  g_in_progress.push_back(n);
  const int result = body(line, n, group);
  g_in_progress.pop_back();
  return note_result(result, n);
}

int on_stat_reply(const char* line, int64_t n, const char* group) {
  return handle(stat_reply, line, n, group);
}

// Gives up NEXT for the run after a reply that makes no sense. NEXT replies
// in flight may lag behind the numbers they were sent for, so the walk goes
// on with STAT from the first number NEXT did not reach (next_article_step).
int next_garbled(const char* line, int64_t, const char*) {
  message(kError, "bad NEXT reponse: %s", line);
  g_next_off = true;
  g_next_bounded = true;
  g_group.next_lost = true;
  return 1;
}

// The article a NEXT reply (sent for n) reports: considered unless an earlier
// command of the group already looked at it (an ARTICLE sent between
// pipelined NEXT commands moves the server back to that article) or it lies
// before the walk.
int next_article(const char* line, int64_t n, int64_t number, const char* message_id,
                 const char* group) {
  if (number <= g_group.next_position) {
    // A NEXT that keeps reporting what an earlier one did does not move on.
    if (++g_group.next_standstill > kNextStandstillMax) return next_garbled(line, n, group);
    return 1;
  }
  g_group.next_standstill = 0;
  g_group.next_position = number;
  if (number <= g_group.numbered_high || number < g_walk.start) return 1;
  return consider_article(message_id, number, group);
}

int next_reply(const char* line, int64_t n, const char* group) {
  const char* rest = nullptr;
  switch (nntp::reply_code(line, &rest)) {
    case nntp::kArticleExists: {
      int64_t number = 0;
      char message_id[kCommandBuffer];
      if (scan_article_pointer(rest, &number, message_id)) {
        return next_article(line, n, number, message_id, group);
      }
      return next_garbled(line, n, group);
    }
    case nntp::kNoNextArticle:
      g_group.next_exhausted = true;
      message(kDetail, "NEXT reports no more articles in %s", group);
      return 1;
    case nntp::kNoArticleNumber:
    case nntp::kNoArticleId:
      g_group.next_exhausted = true;
      message(kError, "NNTP unfamiliar NEXT reponse: got \"%s\"", line);
      return 1;
    case nntp::kUnknownCommand:
      message(kNotice, "server lacks NEXT command: %s", line);
      g_next_off = true;
      g_group.next_lost = true;
      return fetch_unconditionally(n, group);
    default:
      message(kError, "NNTP unknown NEXT error: got \"%s\"", line);
      return 0;
  }
}

int on_next_reply(const char* line, int64_t n, const char* group) {
  --g_group.outstanding_next;
  return handle(next_reply, line, n, group);
}

// The reply to a STAT that puts the server's current article back where
// NEXT had taken it (see make_way_for_next): the article was decided on
// already. Gone since (423, 430), the current article stays where the
// commands before left it, and the NEXT replies that follow repeat numbers
// already passed, which costs commands but loses nothing.
int anchor_reply(const char* line, int64_t n, const char*) {
  const char* rest = nullptr;
  switch (nntp::reply_code(line, &rest)) {
    case nntp::kArticleExists: {
      int64_t number = 0;
      char message_id[kCommandBuffer];
      if (scan_article_pointer(rest, &number, message_id) && number == n) return 1;
      message(kError, "STAT %ld out of phase: %s", static_cast<long>(n), line);
      return 0;
    }
    case nntp::kNoArticleNumber:
    case nntp::kNoArticleId:
      message(kDetail, "article %ld gone before NEXT: %s", static_cast<long>(n), line);
      return 1;
    default:
      message(kError, "NNTP unknown STAT error: got \"%s\"", line);
      return 0;
  }
}

int on_anchor_reply(const char* line, int64_t n, const char* group) {
  return handle(anchor_reply, line, n, group);
}

// Before a NEXT goes out. ARTICLE n and STAT n make n the server's current
// article (RFC 3977 6.2), so one queued behind NEXT commands still in flight
// takes the server back from where they lead, and a NEXT sent after it would
// report numbers passed already. So once a STAT or ARTICLE was queued, every
// NEXT in flight is answered first, and when the last of those commands was
// for an article below the one NEXT reached, STAT of that one puts the server
// back there. Room is made in the window first, so that no reply handler can
// queue a command between these checks and the NEXT. Without next (a STAT
// goes out in place of the NEXT) only the wait is done. False when the
// transfer failed.
bool make_way_for_next(bool next, const char* group) {
  for (;;) {
    int result = 1;
    if (g_group.numbered_command && g_group.outstanding_next > 0) {
      message(kDetail, "wait before issuing NEXT");
      result = nntp::poll_reply();
    } else if (!next) {
      return true;
    } else if (g_group.numbered_command && g_group.numbered_last < g_group.next_position) {
      result = queue_numbered("STAT", on_anchor_reply, g_group.next_position, group);
    } else if (nntp::g_reply_window.count >= nntp::window_limit()) {
      result = nntp::poll_reply();
    } else {
      return true;
    }
    if (result == 0) return false;
    if (result == -1) return true;
  }
}

// The article number after the code of an ARTICLE reply: 0 when there is
// none; false when there is something else than a number where it belongs.
bool article_reply_number(const char* rest, int64_t* number) {
  *number = 0;
  const char* p = rest;
  while (*p == ' ' || *p == '\t') ++p;
  if (!isdigit(static_cast<unsigned char>(*p)) && *p != '-' && *p != '+') return true;
  return nntp::parse_article_number(p, number);
}

int article_reply(const char* line, int64_t n, const char* group) {
  const char* rest = nullptr;
  switch (nntp::reply_code(line, &rest)) {
    case nntp::kArticleFollows: {
      int64_t number = 0;
      const bool numbered = article_reply_number(rest, &number);
      if (!numbered || number != n) {
        if (!numbered || number != 0 || base::g_settings.window > 1) {
          message(kError, "ARTICLE %ld in %s out of phase: %s", static_cast<long>(n), group, line);
          return 0;
        }
        // Without pipelining the reply can only belong to the command just sent.
        if (!g_number_notice_given) {
          message(kNotice, "no article number in ARTICLE response: %s", line);
          g_number_notice_given = true;
        }
      }
      if (!read_article(n, group)) return 0;
      g_latest_article = n;
      if (base::g_settings.verbosity == 2) report::progress_dot();
      return 1;
    }
    case nntp::kNoArticleNumber:
    case nntp::kNoArticleId:
      message(kProgress, "article in %s disappeared: %s", group, line);
      return skip(n);
    default:
      message(kError, "NNTP article read error: got \"%s\"", line);
      return 0;
  }
}

int on_article_reply(const char* line, int64_t n, const char* group) {
  return handle(article_reply, line, n, group);
}

// Whether the message IDs of the current group come from listings.
bool listing_in_use() {
  return base::g_settings.overview != 0 && !g_listing_off && !g_group.listing_off;
}

const char* listing_verb() {
  return g_use_xhdr ? "XHDR" : "HDR";
}

// Empties listing l, which then answers for low..high.
void empty_listing(int64_t low, int64_t high, Listing* l) {
  l->articles.clear();
  l->ids.clear();
  l->low = low;
  l->high = high;
  l->next = 0;
}

void clear_listing(int64_t low, int64_t high) {
  empty_listing(low, high, &g_listing);
}

int listing_reply(const char* line, int64_t n, const char* group) {
  g_request.pending = false;
  const int code = nntp::reply_code(line);
  if (code == (g_use_xhdr ? nntp::kHeadFollows : nntp::kHeadersFollow)) {
    std::string bad_line;
    const int result = read_listing(n, g_request.high, kCommandBuffer - 1, &g_listing, &bad_line);
    if (result == 0) return 0;
    if (result < 0) {
      message(kNotice, "bad %s line in %s: %s; asking with STAT", listing_verb(), group,
              bad_line.c_str());
      g_group.listing_off = true;
    }
    return 1;
  }
  switch (code) {
    case nntp::kNoArticleNumber:
      // No article in the block (RFC 3977 8.5.2).
      clear_listing(n, g_request.high);
      return 1;
    case nntp::kUnknownCommand:
      if (g_use_xhdr) break;
      message(kDetail, "server lacks HDR: %s; trying XHDR", line);
      g_use_xhdr = true;
      g_request.try_xhdr = true;
      return 1;
    default:
      break;
  }
  message(kDetail, "no message ID listing from the server: %s; asking with STAT", line);
  g_listing_off = true;
  return 1;
}

int on_listing_reply(const char* line, int64_t n, const char* group) {
  return handle(listing_reply, line, n, group);
}

// The reply to the listing asked for behind GROUP. A GROUP that failed left
// the server in the group before (or in none), so whatever it lists then is
// thrown away. A refusal ends such listings for the run; the walk then asks
// for its blocks as usual, which decides whether the server lists at all.
int early_listing_reply(const char* line, int64_t n, const char* group) {
  g_early.pending = false;
  g_early.outcome = EarlyOutcome::kNotUsed;
  if (g_queued_group.code != nntp::kGroupSelected) return discard_reply(line, n, group);
  const int code = nntp::reply_code(line);
  if (code == (g_use_xhdr ? nntp::kHeadFollows : nntp::kHeadersFollow)) {
    const int result =
        read_listing(n, g_early.high, kCommandBuffer - 1, &g_early.listing, &g_early.bad_line);
    if (result == 0) return 0;
    g_early.outcome = result < 0 ? EarlyOutcome::kMalformed : EarlyOutcome::kListed;
    return 1;
  }
  if (code == nntp::kNoArticleNumber) {
    empty_listing(n, g_early.high, &g_early.listing);
    g_early.outcome = EarlyOutcome::kListed;
    return 1;
  }
  if (code == nntp::kUnknownCommand && !g_use_xhdr) {
    message(kDetail, "server lacks HDR: %s; trying XHDR", line);
    g_use_xhdr = true;
    return 1;
  }
  message(kDetail, "no listing behind GROUP in %s: %s", group, line);
  g_early_off = true;
  return 1;
}

int on_early_listing_reply(const char* line, int64_t n, const char* group) {
  return handle(early_listing_reply, line, n, group);
}

// Takes the listing asked for behind GROUP for the walk's first step n: used
// when its block holds n, cut to the walk's last number. False when the
// transfer failed.
bool take_early_listing(int64_t n, const char* group) {
  if (!g_early.queued) return true;
  while (g_early.pending) {
    const int result = nntp::poll_reply();
    if (result == 0) return false;
    if (result == -1) break;
  }
  g_early.queued = false;
  Listing& early = g_early.listing;
  if (n < early.low || n > early.high) return true;
  if (g_early.outcome == EarlyOutcome::kMalformed) {
    message(kNotice, "bad %s line in %s: %s; asking with STAT", listing_verb(), group,
            g_early.bad_line.c_str());
    g_group.listing_off = true;
    return true;
  }
  if (g_early.outcome != EarlyOutcome::kListed) return true;
  std::swap(g_listing, early);
  // Entries before the walk (GROUP reported a higher first number) or after
  // it (articles that came in after GROUP) are not the walk's.
  g_listing.high = std::min(g_listing.high, g_walk.last);
  while (g_listing.next < g_listing.articles.size() &&
         g_listing.articles[g_listing.next].number < n) {
    ++g_listing.next;
  }
  return true;
}

// Asks for the listing of the block that starts at n and takes replies until
// it is in; false when the transfer failed.
bool request_listing(int64_t n, const char* group) {
  g_request = ListingRequest{};
  g_request.high = g_walk.last - n < g_walk.span - 1 ? g_walk.last : n + (g_walk.span - 1);
  do {
    g_request.try_xhdr = false;
    g_request.pending = true;
    char command[kCommandBuffer];
    snprintf(command, sizeof command, "%s Message-ID %ld-%ld", listing_verb(), static_cast<long>(n),
             static_cast<long>(g_request.high));
    if (!nntp::queue_command(command, on_listing_reply, n, group)) return false;
    while (g_request.pending) {
      const int result = nntp::poll_reply();
      if (result == 0) return false;
      if (result == -1) {
        message(kError, "no reply to %s in %s", command, group);
        return false;
      }
    }
  } while (g_request.try_xhdr);
  return true;
}

// Decides on a listed article as the STAT handler does on its message ID.
int consider_listed(const char* message_id, int64_t n, const char* group) {
  return consider_article(message_id, n, group);
}

// The group's state afresh, as for its first step, when STAT takes over in
// the middle of a walk; what failed and whether listings are given up stay.
void restart_group_state() {
  const GroupState kept = g_group;
  g_group = GroupState{};
  g_group.unsettled = kept.unsettled;
  g_group.listing_off = kept.listing_off;
}

bool stat_step(int64_t n, bool first_of_group, const char* group);

// A step of a walk with listings: the listing of the block is asked for when
// the walk reaches it; a listed article is decided on, a number not listed
// (an expired article) costs nothing.
bool listing_step(int64_t n, const char* group) {
  if (n > g_listing.high) {
    if (!request_listing(n, group)) return false;
    if (!listing_in_use()) {
      restart_group_state();
      return stat_step(n, true, group);
    }
  }
  Listing& l = g_listing;
  if (l.next >= l.articles.size() || l.articles[l.next].number != n) return true;
  const std::string_view id = l.message_id(l.next++);
  char message_id[kCommandBuffer];
  snprintf(message_id, sizeof message_id, "%.*s", static_cast<int>(id.size()), id.data());
  show_article_state(group, n);
  return handle(consider_listed, message_id, n, group) != 0;
}

// The highest number a walk by NEXT has reached: reported by a NEXT reply,
// or asked for with STAT or ARTICLE.
int64_t reached_by_walk() {
  return std::max({g_group.next_position, g_group.numbered_high, g_walk.start - 1});
}

// Where STAT takes over from NEXT lost in the middle of a walk: the first
// number the walk has not reached.
int64_t resumption_after_next() {
  return reached_by_walk() + 1;
}

// Whether a walk by NEXT has not reached last: NEXT neither reported an
// article at or beyond it nor said that there is no more, and no STAT asked
// for it.
bool next_walk_short_of(int64_t last) {
  if (g_no_stat || !next_route() || g_group.next_exhausted) return false;
  if (!g_walk.sparse && g_group.stat_failures > 0) return false;
  return reached_by_walk() < last;
}

// At the end of a walk that went past its last number before NEXT reached
// it: the NEXT replies in flight are taken until one reaches n or none is left.
bool await_next_replies(int64_t n) {
  while (g_group.outstanding_next > 0 && !g_group.next_exhausted && g_group.next_position < n) {
    if (nntp::poll_reply() == 0) return false;
  }
  return true;
}

bool stat_step(int64_t n, bool first_of_group, const char* group) {
  if (n <= g_group.next_position) return true;
  if (g_no_stat) return on_stat_reply("99", n, group) != 0;
  show_article_state(group, n);
  if (first_of_group || !next_route()) return queue_stat(n, group) != 0;
  if (g_group.next_exhausted) return true;
  // A sparse walk goes by NEXT even after a miss: asking for the numbers one
  // by one would not end in reasonable time.
  const bool by_next = g_group.stat_failures <= 0 || g_walk.sparse;
  if (g_group.finishing) {
    if (by_next && !await_next_replies(n)) return false;
    if (g_group.next_exhausted || n <= reached_by_walk()) return true;
  }
  if (!make_way_for_next(by_next, group)) return false;
  if (by_next) {
    ++g_group.outstanding_next;
    g_group.numbered_command = false;
    return nntp::queue_command("NEXT", on_next_reply, n, group) != 0;
  }
  message(kDetail, "before NEXT: stat_failures %d", g_group.stat_failures);
  return queue_stat(n, group) != 0;
}

// The number after n in a walk with listings: the next listed article, or
// the block after the listing's.
int64_t next_listed_step(int64_t n, int64_t last) {
  const Listing& l = g_listing;
  const int64_t next = l.next < l.articles.size() ? l.articles[l.next].number : l.high + 1;
  return std::min(std::max(next, n + 1), last + 1);
}

// Takes a reply nobody will act upon: a text that follows it is read and
// thrown away, nothing is queued, stored or recorded.
int discard_reply(const char* line, int64_t, const char*) {
  const int code = nntp::reply_code(line);
  if (code == nntp::kArticleFollows || code == nntp::kHeadFollows || code == nntp::kBodyFollows ||
      code == nntp::kHeadersFollow) {
    return skip_article_text() ? 1 : 0;
  }
  return 1;
}

bool is_retrieval_handler(nntp::ReplyHandler handler) {
  return handler == on_stat_reply || handler == on_next_reply || handler == on_article_reply ||
         handler == on_listing_reply || handler == on_anchor_reply;
}

// Keeps the reply to a GROUP queued in the window for read_group_selection.
int on_group_reply(const char* line, int64_t, const char*) {
  g_queued_group.answered = true;
  g_queued_group.code = nntp::reply_code(line);
  snprintf(g_queued_group.line, sizeof g_queued_group.line, "%s", line);
  return 1;
}

// "GROUP group" into command; false when the name does not fit (reported).
bool format_group_command(const char* group, char (&command)[kCommandBuffer]) {
  report::set_state(group);
  const int length = snprintf(command, sizeof command, "GROUP %s", group);
  if (length >= 0 && length < static_cast<int>(sizeof command)) return true;
  message(kError, "group name too long for GROUP: \"%.60s\"", group);
  return false;
}

// Reads the reply to the GROUP sent last (taken from the window when it was
// queued there) and judges it as read_group_selection does.
int judge_group_reply(const char* group, int64_t* first, int64_t* last) {
  char line[nntp::kStatusLineBuffer];
  if (g_queued_group.queued) {
    const int taken = take_replies_through_group();
    g_queued_group.queued = false;
    if (taken != 1) return -1;
    snprintf(line, sizeof line, "%s", g_queued_group.line);
  } else if (nntp::get_reply(line, sizeof line) != 1) {
    return -1;
  }
  g_walk = Walk{};
  const char* rest = nullptr;
  switch (nntp::reply_code(line, &rest)) {
    case nntp::kNoSuchGroup:
      message(kError, "server does not carry group \"%s\"", group);
      return 0;
    case nntp::kAuthRequired:
      message(kError, "authorization required for group \"%s\"", group);
      return 0;
    case nntp::kGroupSelected: {
      int64_t count = 0;
      if (!nntp::parse_group_figures(rest, &count, first, last)) {
        message(kError, "group select bad format: \"%s\"", line);
        return -1;
      }
      ++report::g_counters.grps;
      g_walk.count = count;
      return 1;
    }
    default:
      message(kError, "NNTP group select protocol error: got \"%s\"", line);
      return -1;
  }
}

}  // namespace

int send_group_select(const char* group) {
  char command[kCommandBuffer];
  if (!format_group_command(group, command)) return 0;
  return nntp::put_line(command) ? 1 : -1;
}

int send_group_select_listing(const char* group, int64_t start) {
  if (base::g_settings.overview == 0 || g_listing_off || g_early_off || start <= 0) {
    return send_group_select(group);
  }
  char command[kCommandBuffer];
  if (!format_group_command(group, command)) return 0;
  g_queued_group = QueuedGroup{};
  g_queued_group.queued = true;
  if (!nntp::queue_command(command, on_group_reply, 0, group)) {
    g_queued_group.queued = false;
    return -1;
  }
  g_early = EarlyListing{};
  g_early.queued = true;
  g_early.pending = true;
  g_early.high = start > nntp::kArticleNumberMax - (kListingArticles - 1)
                     ? nntp::kArticleNumberMax
                     : start + (kListingArticles - 1);
  snprintf(command, sizeof command, "%s Message-ID %ld-%ld", listing_verb(),
           static_cast<long>(start), static_cast<long>(g_early.high));
  return nntp::queue_command(command, on_early_listing_reply, start, group) ? 1 : -1;
}

int take_replies_through_group() {
  if (!g_queued_group.queued) return nntp::drain_replies();
  while (!g_queued_group.answered) {
    if (nntp::poll_reply() != 1) return 0;
  }
  return 1;
}

void retire_early_listing() {
  if (!g_early.queued) return;
  g_early.queued = false;
  if (!g_early.pending) return;
  nntp::ReplyWindow& w = nntp::g_reply_window;
  for (int i = 0; i < w.count; ++i) {
    nntp::ReplyEntry& entry = w.entries[(w.oldest + i) % nntp::kReplyWindowSize];
    if (entry.handler == on_early_listing_reply) entry.handler = discard_reply;
  }
}

int select_group(const char* group, int64_t* first, int64_t* last) {
  const int sent = send_group_select(group);
  if (sent != 1) return sent;
  return read_group_selection(group, first, last);
}

int read_group_selection(const char* group, int64_t* first, int64_t* last) {
  const int result = judge_group_reply(group, first, last);
  if (result != 1) retire_early_listing();
  return result;
}

bool fetch_step(int64_t n, bool first_of_group, const char* group) {
  if (first_of_group) {
    g_group = GroupState{};
    clear_listing(0, -1);
    if (!take_early_listing(n, group)) return false;
  }
  if (listing_in_use()) return listing_step(n, group);
  return stat_step(n, first_of_group, group);
}

int64_t begin_article_walk(int64_t start, int64_t last, const char* group) {
  g_latest_article = -1;
  g_walk.start = start;
  g_walk.last = last;
  g_walk.sparse = false;
  g_walk.given_up = false;
  if (start > last) return start;
  // last is at most kArticleNumberMax: the range fits.
  const int64_t range = last - std::max<int64_t>(start, 0) + 1;
  g_walk.sparse = range > largest_dense_range(g_walk.count);
  g_walk.span = listing_span(range, g_walk.count);
  return cut_walk_without_next(start, last, group);
}

int64_t next_article_step(int64_t n, int64_t last, const char* group) {
  if (listing_in_use()) return next_listed_step(n, last);
  int64_t next = n + 1;
  // The numbers up to what NEXT reported need nothing more.
  if (g_group.next_position >= next) next = std::min(g_group.next_position, last) + 1;
  if (g_group.next_lost) {
    g_group.next_lost = false;
    next = std::min(next, resumption_after_next());
  }
  if (next > last) {
    if (!next_walk_short_of(last)) return next;
    // Each NEXT was sent for a number of its own, but one that repeats what an
    // earlier reply reported passes none: the walk goes on with NEXT at last
    // until NEXT reached it.
    g_group.finishing = true;
    return last;
  }
  // Once NEXT has nothing more, no later step would send anything.
  if (!g_no_stat && next_route() && g_group.next_exhausted) return last + 1;
  return cut_walk_without_next(next, last, group);
}

int64_t latest_article() {
  return g_latest_article;
}

bool walk_given_up() {
  return g_walk.given_up;
}

bool only_article_replies_outstanding() {
  const nntp::ReplyWindow& w = nntp::g_reply_window;
  if (w.count == 0) return false;
  for (int i = 0; i < w.count; ++i) {
    const nntp::ReplyHandler handler = w.entries[(w.oldest + i) % nntp::kReplyWindowSize].handler;
    if (handler != on_article_reply && handler != discard_reply) return false;
  }
  return true;
}

int64_t lowest_outstanding_article() {
  int64_t lowest = g_group.unsettled;
  for (const int64_t n : g_in_progress) {
    if (lowest < 0 || n < lowest) lowest = n;
  }
  const nntp::ReplyWindow& w = nntp::g_reply_window;
  for (int i = 0; i < w.count; ++i) {
    const nntp::ReplyEntry& entry = w.entries[(w.oldest + i) % nntp::kReplyWindowSize];
    if (!is_retrieval_handler(entry.handler)) continue;
    if (lowest < 0 || entry.number < lowest) lowest = entry.number;
  }
  return lowest;
}

void abandon_outstanding_replies() {
  nntp::ReplyWindow& w = nntp::g_reply_window;
  for (int i = 0; i < w.count; ++i) {
    w.entries[(w.oldest + i) % nntp::kReplyWindowSize].handler = discard_reply;
  }
}

void reset_retrieval() {
  g_group = GroupState{};
  g_walk = Walk{};
  g_no_stat = false;
  g_next_off = false;
  g_next_bounded = false;
  g_number_notice_given = false;
  g_latest_article = -1;
  g_listing_off = false;
  g_use_xhdr = false;
  g_request = ListingRequest{};
  g_queued_group = QueuedGroup{};
  g_early = EarlyListing{};
  g_early_off = false;
  clear_listing(0, -1);
}

}  // namespace fetch
