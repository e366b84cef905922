#include "nntp/replies.h"

#include <cctype>
#include <cerrno>
#include <cstdlib>

namespace nntp {

namespace {

// Reply codes have three digits (RFC 3977 3.2).
constexpr unsigned long kHighestCode = 999;

const char* skip_blanks(const char* p) {
  while (*p == ' ' || *p == '\t') ++p;
  return p;
}

bool ends_field(char c) {
  return c == '\0' || c == ' ' || c == '\t' || c == '\r' || c == '\n';
}

}  // namespace

int reply_code(const char* line, const char** rest) {
  const char* p = skip_blanks(line);
  if (rest != nullptr) *rest = p;
  if (!isdigit(static_cast<unsigned char>(*p))) return 0;
  char* end = nullptr;
  errno = 0;
  const unsigned long code = strtoul(p, &end, 10);
  if (rest != nullptr) *rest = end;
  if (errno == ERANGE || code > kHighestCode) return 0;
  return static_cast<int>(code);
}

bool parse_article_number(const char* text, int64_t* value, const char** end) {
  const char* p = skip_blanks(text);
  // strtoll would take a sign and blanks of other kinds; a number here is digits only.
  if (!isdigit(static_cast<unsigned char>(*p))) return false;
  char* after = nullptr;
  errno = 0;
  const long long number = strtoll(p, &after, 10);
  if (errno == ERANGE || number > kArticleNumberMax || !ends_field(*after)) return false;
  *value = number;
  if (end != nullptr) *end = after;
  return true;
}

bool parse_group_figures(const char* text, int64_t* count, int64_t* first, int64_t* last) {
  int64_t figures[3];
  const char* p = text;
  for (int64_t& figure : figures) {
    if (!parse_article_number(p, &figure, &p)) return false;
  }
  // first - 1 cannot underflow: first is not negative.
  if (figures[2] < figures[1] - 1) return false;
  *count = figures[0];
  *first = figures[1];
  *last = figures[2];
  return true;
}

}  // namespace nntp
