#include "fetch/host_active.h"

#include <cerrno>
#include <cstdlib>
#include <cstring>

namespace fetch {

namespace {

// White space that may stand before a line's first character.
bool is_line_space(char c) {
  return c == ' ' || c == '\t' || c == '\n' || c == '\v' || c == '\f' || c == '\r';
}

// Characters that end a group name.
constexpr const char* kNameEnd = " \n\t!:";

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
DigitRun trailing_digits(const char* text) {
  DigitRun run;
  for (const char* p = text; *p != '\0' && *p != '\n'; ++p) run.take(*p);
  return run;
}

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
// the end of the file.
bool line_goes_on(HostActiveReader* reader, const char* buffer, size_t length) {
  if (ends_line(buffer, length) || length < static_cast<size_t>(kHostLineBuffer - 1)) return false;
  const int c = getc(reader->file);
  if (c == EOF) return false;
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

HostLine parse_host_line(const char* piece) {
  HostLine line;
  const char* p = piece;
  while (is_line_space(*p)) ++p;
  if (*p == '\0' || *p == '#') return line;  // a comment

  if (*p == ':') {
    line.kind = HostLineKind::kTag;
    const char* tag = p + 1;
    while (*tag == ' ' || *tag == '\t') ++tag;
    // The tag ends at the first newline, then tab, then blank.
    line.name.assign(tag, strcspn(tag, "\n"));
    line.name.resize(strcspn(line.name.c_str(), "\t"));
    line.name.resize(strcspn(line.name.c_str(), " "));
    return line;
  }

  const size_t name_length = strcspn(p, kNameEnd);
  if (name_length == 0) {
    line.kind = HostLineKind::kMalformed;
    return line;
  }
  line.kind = HostLineKind::kGroup;
  line.name.assign(p, name_length);
  const char separator = p[name_length];
  if (separator == ':' || separator == '!') {
    line.form = separator == ':' ? GroupForm::kSubscribed : GroupForm::kUnsubscribed;
    const DigitRun run = trailing_digits(p + name_length + 1);
    line.number = run.any ? run.value : 0;
    return line;
  }
  if (separator == ' ' || separator == '\t') {
    // Like "%ld" after white space: an optional sign and digits; none gives 0.
    errno = 0;
    const long long number = strtoll(p + name_length + 1, nullptr, 10);
    line.number = static_cast<int64_t>(number);
  }
  return line;
}

bool read_host_line(HostActiveReader* reader, HostLine* line) {
  reader->rest_pending = false;
  reader->piece_length = read_piece(reader, reader->piece);
  if (reader->piece_length == 0) return false;
  reader->rest_pending = line_goes_on(reader, reader->piece, reader->piece_length);
  *line = parse_host_line(reader->piece);
  if (!reader->rest_pending) return true;

  switch (line->kind) {
    case HostLineKind::kGroup:
      if (line->form != GroupForm::kPlain) {
        line->number = newsrc_number_through_rest(reader, trailing_digits(reader->piece));
      } else {
        copy_line_rest(reader, nullptr);  // only the name and number count
      }
      break;
    case HostLineKind::kTag:
      copy_line_rest(reader, nullptr);
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

}  // namespace fetch
