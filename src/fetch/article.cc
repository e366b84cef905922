#include "fetch/article.h"

#include <strings.h>
#include <algorithm>
#include <cctype>
#include <cstdio>
#include <cstring>
#include <string>
#include <string_view>
#include <vector>

#include "base/settings.h"
#include "fetch/filters.h"
#include "fetch/spool.h"
#include "groups/newsfeeds.h"
#include "nntp/connection.h"
#include "report/message.h"
#include "report/stats.h"
#include "report/util.h"

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

// The article buffer, reused for every article of the run: it holds the text
// of the current article, and its room grows in steps and never shrinks.
std::vector<char> g_article;

// The start of the Path value of the current article, for the message that
// shows it; kept for the whole run so its room is reused.
std::string g_saved_path;

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
  if (g_article.capacity() != 0) return true;
  if (!report::try_reserve(&g_article, kArticleBufferStep)) {
    message(report::kError, "out of memory");
    return false;
  }
  return true;
}

void report_too_long(int64_t n, const char* group) {
  message(report::kError, "ARTICLE %ld in %s longer than %zu bytes", static_cast<long>(n), group,
          kArticleSizeMax);
}

// Makes room for needed bytes of article text, growing the buffer in steps.
bool reserve_article(size_t needed, int64_t n, const char* group) {
  if (needed <= g_article.capacity()) return true;
  if (needed > kArticleSizeMax) {
    report_too_long(n, group);
    return false;
  }
  size_t capacity = g_article.capacity();
  while (capacity < needed) capacity += kArticleBufferStep;
  if (!report::try_reserve(&g_article, capacity)) {
    message(report::kError, "out of memory");
    return false;
  }
  return true;
}

// The line being read: where it starts in the article buffer, how many bytes
// of it came from the server, and the carriage returns that ended its latest
// piece. Those are stored only once the line goes on with other text: a run
// of them that the line feed follows is part of the line end, wherever the
// pieces were cut.
struct LineState {
  size_t start = 0;
  size_t received = 0;
  size_t held_returns = 0;
};

// Appends a piece of a line; a line feed at its end ends the line in the
// buffer, with the carriage returns before it dropped. Sets *line_ended.
bool append_piece(const char* text, size_t length, LineState* line, bool* line_ended, int64_t n,
                  const char* group) {
  // A piece holds at most one line feed: at its end.
  const bool line_feed = length > 0 && text[length - 1] == '\n';
  size_t kept = line_feed ? length - 1 : length;
  size_t returns = 0;
  while (kept > 0 && text[kept - 1] == '\r') {
    --kept;
    ++returns;
  }
  size_t held = line->held_returns;
  if (g_article.size() + held + returns > kArticleSizeMax) {
    report_too_long(n, group);
    return false;
  }
  const size_t stored_held = kept > 0 ? held : 0;
  if (!reserve_article(g_article.size() + stored_held + kept + (line_feed ? 1 : 0), n, group)) {
    return false;
  }
  // The room is there: nothing below moves the buffer.
  if (kept > 0) {
    g_article.insert(g_article.end(), held, '\r');
    held = 0;
    g_article.insert(g_article.end(), text, text + kept);
  }
  held += returns;
  if (line_feed) {
    held = 0;
    g_article.push_back('\n');
  }
  line->held_returns = held;
  *line_ended = line_feed;
  return true;
}

// True when one "!"-separated element of a Path value, which ends at its
// first CR or LF, is an excluded site name. NUL bytes are plain bytes here.
bool site_in_value(std::string_view value) {
  value = value.substr(0, std::min(value.size(), value.find_first_of("\r\n")));
  while (!value.empty()) {
    const size_t bang = std::min(value.size(), value.find('!'));
    const std::string_view element = value.substr(0, bang);
    if (!element.empty()) {
      for (const std::string& site : groups::g_excluded_sites) {
        if (site == element) return true;
      }
    }
    value.remove_prefix(std::min(value.size(), bang + 1));
  }
  return false;
}

// is_fake_id over the bytes from p to end.
bool fake_id_in(const char* p, const char* end) {
  while (p < end && isspace(static_cast<unsigned char>(*p))) ++p;
  return end - p >= 6 && strncasecmp(p, "<fake@", 6) == 0;
}

// What the header lines of one article showed.
struct Verdicts {
  int fake = 0;   // 1 fake Message-ID, -1 Path line too long to extend
  int path = -1;  // -1 no Path header, 0 no excluded site in it, 1 acceptable
};

// Applies the Path rule to the whole Path line just stored, which may be
// replaced in the buffer by the extended line. False when there was no
// memory for the extension.
bool path_rule(const LineState& line, int64_t n, const char* group, Verdicts* verdicts) {
  const base::Settings& s = base::g_settings;
  const size_t value_at = [&] {
    size_t at = line.start + 5;
    while (at < g_article.size() && (g_article[at] == ' ' || g_article[at] == '\t')) ++at;
    return at;
  }();
  const size_t value_length = g_article.size() - value_at;
  // Kept only for the message that shows it, which is cut at that length.
  g_saved_path.assign(g_article.data() + value_at,
                      std::min(value_length, static_cast<size_t>(report::kMessageMax)));

  if (s.no_path) {
    verdicts->path = 1;
  } else {
    verdicts->path =
        site_in_value(std::string_view(g_article.data() + value_at, value_length)) ? 1 : 0;
  }
  const bool extend = s.tag || (!s.no_path && verdicts->path == 0 && groups::g_special_exclude);
  if (!extend) return true;
  // The limit counts the line as it came, line end included.
  if (line.received > static_cast<size_t>(kMaxHeaderSize)) {
    message(report::kError, "No room to extend path in ARTICLE %ld, adjust MAX_HEADER_SIZE",
            static_cast<long>(n));
    verdicts->fake = -1;
    return true;
  }
  // "Path: " + own name + "!" takes the place of the header name and blanks.
  const size_t name_length = strlen(groups::kOwnSiteName);
  const size_t prefix_length = 6 + name_length + 1;
  const size_t new_end = line.start + prefix_length + value_length;
  if (!reserve_article(new_end, n, group)) return false;
  if (new_end > g_article.size()) g_article.resize(new_end);
  memmove(g_article.data() + line.start + prefix_length, g_article.data() + value_at, value_length);
  char* prefix = g_article.data() + line.start;
  memcpy(prefix, "Path: ", 6);
  memcpy(prefix + 6, groups::kOwnSiteName, name_length);
  prefix[6 + name_length] = '!';
  g_article.resize(new_end);
  message(report::kDetail, "inserting %s path", groups::kOwnSiteName);
  if (groups::g_special_exclude) verdicts->path = 1;
  return true;
}

// Looks at a whole header line once it is stored: Message-ID and Path by
// their first character. False when the transfer must stop.
bool header_line(const LineState& line, int64_t n, const char* group, Verdicts* verdicts,
                 bool* in_header) {
  const char* text = g_article.data() + line.start;
  const size_t length = g_article.size() - line.start;
  switch (text[0]) {
    case '\r':
    case '\n':
      *in_header = false;
      break;
    case 'M':
      if (!base::g_settings.keep_fake && length >= 11 &&
          strncasecmp(text, "Message-ID:", 11) == 0 && fake_id_in(text + 11, text + length)) {
        verdicts->fake = 1;
      }
      break;
    case 'P':
      if (length >= 5 && strncasecmp(text, "Path:", 5) == 0) {
        return path_rule(line, n, group, verdicts);
      }
      break;
    default:
      break;
  }
  return true;
}

// The end line was read: decides what becomes of the article.
bool finish_article(int64_t n, const char* group, const Verdicts& verdicts, bool filtering) {
  const base::Settings& s = base::g_settings;
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
    if (!spool_article(g_article.data(), g_article.size(), verdicts.path != -1)) return false;
    report::g_counters.netbytes += static_cast<int64_t>(g_article.size());
    ++report::g_counters.fetc;
    return true;
  }
  if (verdicts.path == 0) {
    message(report::kError, "ARTICLE %ld in %s did not contain '%s' in 'Path:'", number, group,
            groups::first_site_name());
    // The saved value may end in the line end, which the message does not show.
    while (!g_saved_path.empty() && g_saved_path.back() == '\n') g_saved_path.pop_back();
    message(report::kError, "Path line was '%s'", g_saved_path.c_str());
    return false;
  }
  if (strncmp(base::text_or_empty(s.add_header), "Path", 4) != 0) {
    message(report::kError, "ARTICLE %ld in %s did not contain a 'Path:'", number, group);
  }
  return false;
}

}  // namespace

bool is_fake_id(const char* message_id) {
  return fake_id_in(message_id, message_id + strlen(message_id));
}

bool read_article(int64_t n, const char* group) {
  if (!ensure_article_buffer()) return false;
  const bool filtering = base::has_text(base::g_settings.filter);
  g_article.clear();
  g_saved_path.clear();
  Verdicts verdicts;
  LineState line;
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
      line = LineState{g_article.size(), 0, 0};
    }
    line.received += length;
    if (!append_piece(text, length, &line, &at_line_start, n, group)) return false;
    // Header lines are looked at whole, however many pieces they came in.
    if (at_line_start && in_header && !header_line(line, n, group, &verdicts, &in_header)) {
      return false;
    }
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
  return g_article.capacity();
}

}  // namespace fetch
