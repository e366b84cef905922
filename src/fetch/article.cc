#include "fetch/article.h"

#include <strings.h>
#include <cctype>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "fetch/filters.h"
#include "fetch/spool.h"
#include "groups/newsfeeds.h"
#include "nntp/connection.h"
#include "report/message.h"
#include "report/stats.h"
#include "run/settings.h"

namespace fetch {

namespace {

using report::message;

// Filler of the line buffer between reads. Any byte but NUL will do: after a
// read, the last NUL in the buffer is the one that ends what was read, even
// when the text itself holds NUL bytes.
constexpr char kUnusedByte = '\x7f';

// The line buffer and the length of what the last read put there.
char g_line[kArticleLineMax];
bool g_line_primed = false;
size_t g_line_used = 0;

// The article buffer, reused for every article of the run.
char* g_article = nullptr;
size_t g_article_capacity = 0;
size_t g_article_used = 0;

// The Path value of the current article (with its line end), and the room to
// build an extended Path line, both kept for the whole run.
std::string g_saved_path;
char g_extended_line[kArticleLineMax];

// Reads one line, or the next piece of a longer one, into g_line and gives its
// length, NUL bytes in the text included. False when nothing could be read.
bool read_piece(size_t* length) {
  if (!g_line_primed) {
    memset(g_line, kUnusedByte, sizeof g_line);
    g_line_primed = true;
  } else {
    memset(g_line, kUnusedByte, g_line_used + 1);
  }
  g_line_used = sizeof g_line - 1;  // whatever a failed read left is cleared next time
  if (!nntp::get_text_line(g_line, static_cast<int>(sizeof g_line))) return false;
  size_t used = strlen(g_line);
  const bool exact = used == sizeof g_line - 1 || (used > 0 && g_line[used - 1] == '\n');
  if (!exact) {
    // A NUL byte in the text, or the last bytes before the stream ended.
    used = sizeof g_line - 1;
    while (used > 0 && g_line[used] != '\0') --used;
  }
  g_line_used = used;
  *length = used;
  return used > 0;
}

bool ensure_article_buffer() {
  if (g_article != nullptr) return true;
  g_article = static_cast<char*>(malloc(kArticleBufferStep));
  if (g_article == nullptr) {
    message(report::kError, "out of memory");
    return false;
  }
  g_article_capacity = kArticleBufferStep;
  return true;
}

// Appends a piece of a line without its trailing CR and LF run; a line feed in
// that run ends the line in the buffer. Sets *line_ended accordingly.
bool append_piece(const char* text, size_t length, bool* line_ended, int64_t n, const char* group) {
  bool line_feed = false;
  while (length > 0 && (text[length - 1] == '\r' || text[length - 1] == '\n')) {
    if (text[length - 1] == '\n') line_feed = true;
    --length;
  }
  const size_t needed = g_article_used + length + 1;
  if (needed > g_article_capacity) {
    size_t capacity = g_article_capacity;
    while (capacity < needed) capacity += kArticleBufferStep;
    if (capacity > kArticleSizeMax) {
      message(report::kError, "ARTICLE %ld in %s longer than %zu bytes", static_cast<long>(n),
              group, kArticleSizeMax);
      return false;
    }
    char* grown = static_cast<char*>(realloc(g_article, capacity));
    if (grown == nullptr) {
      message(report::kError, "out of memory");
      return false;
    }
    g_article = grown;
    g_article_capacity = capacity;
  }
  memcpy(g_article + g_article_used, text, length);
  g_article_used += length;
  if (line_feed) g_article[g_article_used++] = '\n';
  *line_ended = line_feed;
  return true;
}

// What the header lines of one article showed.
struct Verdicts {
  int fake = 0;   // 1 fake Message-ID, -1 Path line too long to extend
  int path = -1;  // -1 no Path header, 0 no excluded site in it, 1 acceptable
};

// Applies the Path rule to a Path header line; *text and *length may be
// replaced by the extended line.
void path_rule(const char** text, size_t* length, int64_t n, Verdicts* verdicts) {
  const run::Settings& s = run::g_settings;
  const char* value = *text + 5;
  const char* end = *text + *length;
  while (value < end && (*value == ' ' || *value == '\t')) ++value;
  const size_t value_length = static_cast<size_t>(end - value);
  g_saved_path.assign(value, value_length);

  if (s.no_path) {
    verdicts->path = 1;
  } else {
    verdicts->path = groups::site_in_path(value) ? 1 : 0;
  }
  const bool extend = s.tag || (!s.no_path && verdicts->path == 0 && groups::g_special_exclude);
  if (!extend) return;
  if (*length > static_cast<size_t>(kMaxHeaderSize)) {
    message(report::kError, "No room to extend path in ARTICLE %ld, adjust MAX_HEADER_SIZE",
            static_cast<long>(n));
    verdicts->fake = -1;
    return;
  }
  // "Path: " + own name + "!" + value fits: the value is at most
  // kMaxHeaderSize - 5 bytes long.
  const size_t name_length = strlen(groups::kOwnSiteName);
  size_t used = 0;
  memcpy(g_extended_line, "Path: ", 6);
  used += 6;
  memcpy(g_extended_line + used, groups::kOwnSiteName, name_length);
  used += name_length;
  g_extended_line[used++] = '!';
  memcpy(g_extended_line + used, value, value_length);
  used += value_length;
  g_extended_line[used] = '\0';
  message(report::kDetail, "inserting %s path", groups::kOwnSiteName);
  if (groups::g_special_exclude) verdicts->path = 1;
  *text = g_extended_line;
  *length = used;
}

// Looks at a header line: Message-ID and Path by their first character.
void header_line(const char** text, size_t* length, int64_t n, Verdicts* verdicts,
                 bool* in_header) {
  const char* line = *text;
  switch (line[0]) {
    case '\r':
    case '\n':
      *in_header = false;
      break;
    case 'M':
      if (!run::g_settings.keep_fake && *length >= 11 &&
          strncasecmp(line, "Message-ID:", 11) == 0 && is_fake_id(line + 11)) {
        verdicts->fake = 1;
      }
      break;
    case 'P':
      if (*length >= 5 && strncasecmp(line, "Path:", 5) == 0) path_rule(text, length, n, verdicts);
      break;
    default:
      break;
  }
}

// The end line was read: decides what becomes of the article.
bool finish_article(int64_t n, const char* group, const Verdicts& verdicts, bool filtering) {
  const run::Settings& s = run::g_settings;
  const long number = static_cast<long>(n);
  bool filter_refused = false;
  if (filtering) {
    // Exactly one verdict is read for every article the filter was fed.
    char text[32];
    snprintf(text, sizeof text, "%ld", number);
    filter_refused = filter_verdict(text);
  }
  if (verdicts.fake == 1) {
    message(report::kProgress, "ARTICLE %ld rejected as fake", number);
    ++report::g_counters.fake;
    return true;
  }
  if (verdicts.fake == -1) return true;
  if (filter_refused) {
    message(report::kProgress, "ARTICLE %ld rejected by full filter", number);
    ++report::g_counters.filtered;
    return true;
  }
  if (s.no_path || verdicts.path == 1) {
    if (!spool_article(g_article, g_article_used, verdicts.path != -1)) return false;
    g_batch_size += static_cast<int64_t>(g_article_used);
    report::g_counters.netbytes += static_cast<int64_t>(g_article_used);
    ++report::g_counters.fetc;
    return true;
  }
  if (verdicts.path == 0) {
    message(report::kError, "ARTICLE %ld in %s did not contain '%s' in 'Path:'", number, group,
            groups::first_site_name());
    // The saved value keeps its line end for the extension; the message does not show it.
    std::string shown = g_saved_path;
    while (!shown.empty() && (shown.back() == '\r' || shown.back() == '\n')) shown.pop_back();
    message(report::kError, "Path line was '%s'", shown.c_str());
    return false;
  }
  if (strncmp(run::text_or_empty(s.add_header), "Path", 4) != 0) {
    message(report::kError, "ARTICLE %ld in %s did not contain a 'Path:'", number, group);
  }
  return false;
}

}  // namespace

bool is_fake_id(const char* message_id) {
  const char* p = message_id;
  while (isspace(static_cast<unsigned char>(*p))) ++p;
  return strncasecmp(p, "<fake@", 6) == 0;
}

bool read_article(int64_t n, const char* group) {
  if (!ensure_article_buffer()) return false;
  const bool filtering = run::has_text(run::g_settings.filter);
  g_article_used = 0;
  g_saved_path.clear();
  Verdicts verdicts;
  bool at_line_start = true;
  bool in_header = true;
  for (;;) {
    size_t length = 0;
    if (!read_piece(&length)) return false;
    if (filtering) filter_feed_line(g_line, length);
    report::g_counters.grossbyt += static_cast<int64_t>(length);
    const char* text = g_line;
    if (at_line_start) {
      if (text[0] == '.' && length > 1) {
        if (text[1] == '\r' || text[1] == '\n') break;
        if (text[1] == '.') {
          ++text;
          --length;
        }
      }
      if (in_header) header_line(&text, &length, n, &verdicts, &in_header);
    }
    if (!append_piece(text, length, &at_line_start, n, group)) return false;
  }
  return finish_article(n, group, verdicts, filtering);
}

bool skip_article_text() {
  bool at_line_start = true;
  size_t total = 0;
  for (;;) {
    size_t length = 0;
    if (!read_piece(&length)) return false;
    report::g_counters.grossbyt += static_cast<int64_t>(length);
    if (at_line_start && g_line[0] == '.' && length > 1 &&
        (g_line[1] == '\r' || g_line[1] == '\n')) {
      return true;
    }
    total += length;
    if (total > kArticleSizeMax) {
      message(report::kError, "discarded article text longer than %zu bytes", kArticleSizeMax);
      return false;
    }
    at_line_start = g_line[length - 1] == '\n';
  }
}

size_t article_buffer_capacity() {
  return g_article_capacity;
}

}  // namespace fetch
