#include "fetch/retrieve.h"

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "fetch/article.h"
#include "fetch/filters.h"
#include "fetch/msgid_cache.h"
#include "nntp/connection.h"
#include "report/message.h"
#include "report/stats.h"
#include "report/util.h"
#include "run/driver.h"
#include "run/settings.h"

namespace fetch {

int64_t g_latest_article = -1;

namespace {

using report::kDetail;
using report::kError;
using report::kNotice;
using report::kProgress;
using report::message;

// A command line is at most 512 characters (RFC 3977 3.1).
constexpr int kCommandBuffer = 513;

// A code of our own, never sent by a server: "fetch this article without
// looking at its message ID".
constexpr unsigned long kFetchUnconditionally = 99;

// A status line's tail beyond the status line buffer is read and thrown away,
// but not without end.
constexpr size_t kStatusTailMax = 65536;

// State of the group being fetched, reset by its first fetch_step.
struct GroupState {
  int64_t next_position = -1;     // highest article number a NEXT reply reported
  int outstanding_next = 0;       // NEXT commands not answered yet
  int stat_failures = 0;          // STAT misses since the last hit
  bool next_exhausted = false;    // NEXT said there is nothing more
  bool numbered_command = false;  // the last command queued was STAT or ARTICLE
  int64_t unsettled = -1;         // lowest article whose handler failed
};
GroupState g_group;

// State for the rest of the run.
bool g_no_stat = false;   // the server does not know STAT
bool g_next_off = false;  // the server does not know NEXT (or garbles it)
bool g_number_notice_given = false;

int on_stat_reply(const char* line, int64_t n, const char* group);
int on_next_reply(const char* line, int64_t n, const char* group);
int on_article_reply(const char* line, int64_t n, const char* group);

bool no_next() {
  return run::g_settings.nonext != 0 || g_next_off;
}

// The reply code at the start of a status line (0 when it does not start with
// digits after blanks); *rest points behind the digits.
unsigned long reply_code(const char* line, const char** rest) {
  const char* p = line;
  while (*p == ' ' || *p == '\t') ++p;
  if (!isdigit(static_cast<unsigned char>(*p))) {
    *rest = p;
    return 0;
  }
  char* end = nullptr;
  const unsigned long code = strtoul(p, &end, 10);
  *rest = end;
  return code;
}

// A status line that filled the whole buffer has more on the wire: read it
// up to its line end so that it is not taken for the next reply.
bool settle_long_status(const char* line) {
  if (strlen(line) < static_cast<size_t>(nntp::kStatusLineMax)) return true;
  char piece[kArticleLineMax];
  size_t total = 0;
  for (;;) {
    if (!nntp::get_text_line(piece, static_cast<int>(sizeof piece))) return false;
    const size_t length = strlen(piece);
    if (length == 0) return false;
    if (piece[length - 1] == '\n') return true;
    total += length;
    if (total > kStatusTailMax) {
      message(kError, "NNTP status line too long: %.60s", line);
      return false;
    }
  }
}

void show_article_state(const char* group, int64_t n) {
  char suffix[32];
  snprintf(suffix, sizeof suffix, " %ld", static_cast<long>(n));
  run::set_state(group, suffix);
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
// reply; false when either is missing.
bool scan_article_pointer(const char* rest, long* number, char (&message_id)[kCommandBuffer]) {
  return sscanf(rest, "%ld %512[^ \n\t]", number, message_id) == 2;
}

int consider_article(const char* message_id, int64_t n, const char* group) {
  const run::Settings& s = run::g_settings;
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
  const unsigned long code = reply_code(line, &rest);
  switch (code) {
    case 223: {
      long number = 0;
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
    case 423:
    case 430:
      ++g_group.stat_failures;
      message(kDetail, "article %ld in %s not on server, stat_failures %d", static_cast<long>(n),
              group, g_group.stat_failures);
      return 1;
    case 500:
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
  if (!settle_long_status(line)) return note_result(0, n);
  g_in_progress.push_back(n);
  const int result = body(line, n, group);
  g_in_progress.pop_back();
  return note_result(result, n);
}

int on_stat_reply(const char* line, int64_t n, const char* group) {
  return handle(stat_reply, line, n, group);
}

int next_reply(const char* line, int64_t n, const char* group) {
  const char* rest = nullptr;
  const unsigned long code = reply_code(line, &rest);
  switch (code) {
    case 223: {
      long number = 0;
      char message_id[kCommandBuffer];
      if (scan_article_pointer(rest, &number, message_id)) {
        g_group.next_position = number;
        return consider_article(message_id, number, group);
      }
      message(kError, "bad NEXT reponse: %s", line);
      g_next_off = true;
      return queue_stat(n, group);
    }
    case 421:
      g_group.next_exhausted = true;
      message(kDetail, "NEXT reports no more articles in %s", group);
      return 1;
    case 423:
    case 430:
      g_group.next_exhausted = true;
      message(kError, "NNTP unfamiliar NEXT reponse: got \"%s\"", line);
      return 1;
    case 500:
      message(kNotice, "server lacks NEXT command: %s", line);
      g_next_off = true;
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

int article_reply(const char* line, int64_t n, const char* group) {
  const char* rest = nullptr;
  const unsigned long code = reply_code(line, &rest);
  switch (code) {
    case 220: {
      const long number = strtol(rest, nullptr, 10);
      if (number != n) {
        if (number != 0 || run::g_settings.window > 1) {
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
      if (run::g_settings.verbosity == 2) report::progress_dot();
      return 1;
    }
    case 423:
    case 430:
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

// Takes a reply nobody will act upon: a text that follows it is read and
// thrown away, nothing is queued, stored or recorded.
int discard_reply(const char* line, int64_t, const char*) {
  if (!settle_long_status(line)) return 0;
  const char* rest = nullptr;
  const unsigned long code = reply_code(line, &rest);
  if (code == 220 || code == 221 || code == 222) return skip_article_text() ? 1 : 0;
  return 1;
}

bool is_retrieval_handler(nntp::ReplyHandler handler) {
  return handler == on_stat_reply || handler == on_next_reply || handler == on_article_reply;
}

}  // namespace

int select_group(const char* group, int64_t* first, int64_t* last) {
  run::set_state(group);
  char command[kCommandBuffer];
  const int length = snprintf(command, sizeof command, "GROUP %s", group);
  if (length < 0 || length >= static_cast<int>(sizeof command)) {
    message(kError, "group name too long for GROUP: \"%.60s\"", group);
    return 0;
  }
  if (!nntp::put_line(command)) return -1;
  char line[nntp::kStatusLineMax + 1];
  if (nntp::get_reply(line, sizeof line) != 1) return -1;
  if (!settle_long_status(line)) return -1;
  const char* rest = nullptr;
  switch (reply_code(line, &rest)) {
    case 411:
      message(kError, "server does not carry group \"%s\"", group);
      return 0;
    case 480:
      message(kError, "authorization required for group \"%s\"", group);
      return 0;
    case 211: {
      long count = 0;
      long low = 0;
      long high = 0;
      if (sscanf(rest, "%ld %ld %ld", &count, &low, &high) < 3) {
        message(kError, "group select bad format: \"%s\"", line);
        return -1;
      }
      ++report::g_counters.grps;
      *first = low;
      *last = high;
      return 1;
    }
    default:
      message(kError, "NNTP group select protocol error: got \"%s\"", line);
      return -1;
  }
}

bool fetch_step(int64_t n, bool first_of_group, const char* group) {
  if (first_of_group) g_group = GroupState{};
  if (n <= g_group.next_position) return true;
  if (g_no_stat) return on_stat_reply("99", n, group) != 0;
  show_article_state(group, n);
  if (first_of_group || no_next() || g_group.stat_failures < run::g_settings.missing) {
    return queue_stat(n, group) != 0;
  }
  if (g_group.next_exhausted) return true;
  while (g_group.numbered_command && g_group.outstanding_next > 0) {
    message(kDetail, "wait before issuing NEXT");
    const int result = nntp::poll_reply();
    if (result == 0) return false;
    if (result == -1) break;
  }
  if (g_group.stat_failures <= 0) {
    ++g_group.outstanding_next;
    g_group.numbered_command = false;
    return nntp::queue_command("NEXT", on_next_reply, n, group) != 0;
  }
  message(kDetail, "before NEXT: stat_failures %d", g_group.stat_failures);
  return queue_stat(n, group) != 0;
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
  g_no_stat = false;
  g_next_off = false;
  g_number_notice_given = false;
  g_latest_article = -1;
}

}  // namespace fetch
