#include "fetch/host_active.h"

#include <fcntl.h>
#include <unistd.h>
#include <algorithm>
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

}  // namespace fetch
