#include "groups/newsfeeds.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <string_view>

#include "base/settings.h"
#include "base/status.h"
#include "report/exit.h"
#include "report/message.h"
#include "report/title.h"
#include "report/util.h"

namespace groups {

std::vector<std::string> g_excluded_sites;
bool g_special_exclude = false;

namespace {

using report::kDetail;
using report::kError;
using report::kProgress;
using report::kSysError;

// The file is read a line, or a piece of a long line, at a time into a buffer
// of this size; an open token is carried to the buffer's start.
constexpr int kLineBuffer = 1024;

// Reader states: the position within an entry's one logical line.
enum State : int {
  kEntryStart = 0,
  kSkipLine = 1,
  kAfterSite = 2,
  kInPatterns = 3,
  kAfterExclusion = 4,
  kInExcludedSites = 5,
};

// A token: a delimiter character (its own one-character token) or a name.
struct Token {
  char delimiter = '\0';  // '\0' for a name
  std::string_view name;
};

struct Reader {
  const char* path = "";
  const char* spool_name = "";
  int state = kEntryStart;
  PatternList* current = nullptr;
};

bool is_delimiter(char c) {
  switch (c) {
    case '\n':
    case '!':
    case '#':
    case ',':
    case '/':
    case ':':
    case '@':
      return true;
    default:
      return false;
  }
}

void bad_syntax(Reader& reader, const Token& token) {
  const std::string text =
      token.delimiter != '\0' ? std::string(1, token.delimiter) : std::string(token.name);
  report::message(kError, "bad syntax in sys, '%s' not expected (state %d)", text.c_str(),
                  reader.state);
  reader.state = kSkipLine;
}

void start_entry(Reader& reader, const Token& token) {
  const std::string name(token.name);
  if (name == "ME") {
    report::message(kDetail, "found ME in %s", reader.path);
    reader.current = base::g_settings.inn_mode ? &g_entry_list : &g_me_list;
    reader.state = kAfterSite;
  } else if (name == reader.spool_name) {
    report::message(kProgress, "found entry for %s in %s", name.c_str(), reader.path);
    reader.current = &g_entry_list;
    reader.state = kAfterSite;
  } else {
    report::message(kDetail, "skipping entry for %s in %s", name.c_str(), reader.path);
    reader.state = kSkipLine;
  }
}

// Moves the reader on by one token.
void take_token(Reader& reader, const Token& token) {
  const char d = token.delimiter;
  if (d == '\n') {
    reader.state = kEntryStart;
    return;
  }
  switch (reader.state) {
    case kEntryStart:
      if (d == '#') {
        reader.state = kSkipLine;
      } else if (d != '\0') {
        bad_syntax(reader, token);
      } else {
        start_entry(reader, token);
      }
      break;
    case kSkipLine:
      break;
    case kAfterSite:
      if (d == '#') {
        reader.state = kSkipLine;
      } else if (d == '/') {
        // Only the server's entry (and ME in INN mode) may name excluded sites.
        if (reader.current == &g_entry_list) reader.state = kInExcludedSites;
      } else if (d == ':') {
        if (reader.current == &g_entry_list) add_site_name(reader.spool_name);
        reader.state = kInPatterns;
      } else {
        bad_syntax(reader, token);
      }
      break;
    case kInPatterns:
    case kAfterExclusion:
      if (d == '!' || d == '@') {
        reader.state = kAfterExclusion;
      } else if (d == ',') {
        reader.state = kInPatterns;
      } else if (d != '\0') {
        reader.state = kSkipLine;  // distributions, flags and program follow
      } else {
        const bool exclusion = reader.state == kAfterExclusion;
        const std::string name(token.name);
        report::message(kDetail, "sys group %s%s", exclusion ? "!" : "", name.c_str());
        add_pattern(name.c_str(), *reader.current, exclusion);
        reader.state = kInPatterns;
      }
      break;
    case kInExcludedSites:
      if (d == '#') {
        reader.state = kSkipLine;
      } else if (d == ',') {
        // next name follows
      } else if (d == ':') {
        reader.state = kInPatterns;
      } else if (d != '\0') {
        bad_syntax(reader, token);
      } else {
        add_site_name(std::string(token.name).c_str());
      }
      break;
    default:
      break;
  }
}

void take_name(Reader& reader, const char* start, const char* end) {
  take_token(reader, Token{'\0', std::string_view(start, static_cast<size_t>(end - start))});
}

// Splits the file into tokens and hands them to the reader. A token still
// open when a piece ends (a long line, or a backslash before the newline) is
// moved to the buffer's start and the next piece is appended to it.
void read_tokens(FILE* file, Reader& reader) {
  char buffer[kLineBuffer];
  int carried = 0;  // length of the open token at the buffer's start
  int resume = 0;   // where the scan goes on within the next piece
  for (;;) {
    const int length = report::read_line_piece(file, buffer + carried, kLineBuffer - carried);
    if (length < 0) {
      report::message(kSysError, "can't read \"%s\"", reader.path);
      report::exit_run(base::kStatusConfig);
    }
    if (length == 0) return;  // a token still open at the end is dropped

    int end = carried + length;
    int token = carried > 0 ? 0 : -1;  // start of the open token
    int i = resume;
    int carry_end = -1;  // the open token [token, carry_end) goes on in the next piece
    bool keep_backslash = false;
    while (i < end) {
      const char c = buffer[i];
      if (c == '\\') {
        if (i + 1 == end) {
          // The escaped byte is still unread: keep the backslash with the token.
          if (token < 0) token = i;
          carry_end = end;
          keep_backslash = true;
          break;
        }
        if (buffer[i + 1] == '\n') {
          // A continued line: the token, if any, goes on with the next line.
          if (token >= 0) carry_end = i;
          break;
        }
        memmove(buffer + i, buffer + i + 1, static_cast<size_t>(end - i - 1));
        --end;
        if (token < 0) token = i;
        ++i;
        continue;
      }
      if (c == ' ' || c == '\t' || c == '\0') {
        if (token >= 0) take_name(reader, buffer + token, buffer + i);
        token = -1;
      } else if (is_delimiter(c)) {
        if (token >= 0) take_name(reader, buffer + token, buffer + i);
        token = -1;
        take_token(reader, Token{c, {}});
      } else if (token < 0) {
        token = i;
      }
      ++i;
    }
    if (i == end && token >= 0) carry_end = end;

    carried = 0;
    resume = 0;
    if (carry_end < 0 || token < 0 || carry_end == token) continue;
    const int carried_length = carry_end - token;
    if (carried_length > kTokenMax) {
      errno = EOVERFLOW;
      report::message(kSysError, "token too long in \"%s\"", reader.path);
      report::exit_run(base::kStatusConfig);
    }
    memmove(buffer, buffer + token, static_cast<size_t>(carried_length));
    carried = carried_length;
    resume = keep_backslash ? carried_length - 1 : carried_length;
  }
}

}  // namespace

void read_newsfeeds() {
  const char* path = base::text_or_empty(base::g_settings.paths.newsfeeds);
  report::set_state("read sys");
  FILE* file = fopen(path, "r");
  if (file == nullptr) {
    report::message(kSysError, "can't open \"%s\"", path);
    report::exit_run(base::kStatusConfig);
  }
  report::message(kProgress, "reading %s", path);
  if (!report::check_regular_file(file, path)) {
    fclose(file);
    report::exit_run(base::kStatusConfig);
  }

  Reader reader;
  reader.path = path;
  reader.spool_name = base::text_or_empty(base::g_settings.spool_name);
  read_tokens(file, reader);
  fclose(file);

  if (is_site_name(kOwnSiteName)) {
    g_special_exclude = true;
    report::message(kDetail, "special %s exclude detected", kOwnSiteName);
  }
}

void add_groups_option(const char* patterns) {
  const char* piece = patterns;
  for (;;) {
    const char* comma = strchr(piece, ',');
    std::string text(piece, comma != nullptr ? static_cast<size_t>(comma - piece) : strlen(piece));
    const char* p = report::skip_blanks(text.c_str());
    if (*p == '\\') ++p;
    bool exclusion = false;
    if (*p == '!' || *p == '@') {
      exclusion = true;
      ++p;
    }
    report::message(kDetail, "add --groups %s \"%s\"", exclusion ? "exclude" : "include", p);
    add_pattern(p, g_groups_list, exclusion);
    if (comma == nullptr) break;
    piece = comma + 1;
  }
}

bool group_allowed(const char* group) {
  const bool inn = base::g_settings.inn_mode;
  if (!g_groups_list.patterns.empty() && !ordered_match(group, g_groups_list)) {
    report::message(kDetail, "group %s excluded by --groups", group);
    return false;
  }
  if (!g_me_list.patterns.empty() &&
      !(inn ? ordered_match(group, g_me_list) : best_match(group, g_me_list))) {
    report::message(kDetail, "group %s not accepted by ME", group);
    return false;
  }
  if (!(inn ? ordered_match(group, g_entry_list) : best_match(group, g_entry_list))) {
    report::message(kDetail, "group %s disallowed by %s", group,
                    base::text_or_empty(base::g_settings.paths.newsfeeds));
    return false;
  }
  return true;
}

void add_site_name(const char* name) {
  g_excluded_sites.emplace_back(name);
}

bool is_site_name(const char* name) {
  if (*name == '\0') return false;
  for (const std::string& site : g_excluded_sites) {
    if (site == name) return true;
  }
  return false;
}

bool site_in_path(const char* value) {
  const char* p = report::skip_blanks(value);
  for (;;) {
    const size_t length = strcspn(p, "!\r\n");
    if (length != 0) {
      const std::string_view element(p, length);
      for (const std::string& site : g_excluded_sites) {
        if (site == element) return true;
      }
    }
    if (p[length] != '!') return false;
    p += length + 1;
  }
}

const char* first_site_name() {
  return g_excluded_sites.empty() ? "" : g_excluded_sites.front().c_str();
}

}  // namespace groups
