// The host active file reader (fetch::read_host_line, copy_line_rest and
// parse_host_line). Input: the file. Every line is written again as the pull
// copies lines it does not fetch: a group as "%s %ld\n", a tag as ":%s\n",
// a comment whole, a malformed line whole behind "#ERR# ".
//
// Properties: the bytes each read takes are the bytes of the file that
// follow the previous read, and together they are the whole file; a
// comment or malformed line comes back whole (a newline added only where
// the file ended without one); a newsrc line's number is the digit run
// that ends the whole line, however long; a group name is not empty, holds
// no blank, newline, tab, '!', ':' or NUL and fits kHostGroupNameMax; a
// tag holds no blank, tab, newline or NUL; a malformed line holds a NUL or
// starts with '!' or a name too long; the written file read back gives the
// same groups, numbers and tags in the same order, each group line in one
// piece.
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "fetch/host_active.h"
#include "support/fuzz_support.h"

namespace {

using fetch::GroupForm;
using fetch::HostLine;
using fetch::HostLineKind;

constexpr size_t kPiece = fetch::kHostLineBuffer - 1;
constexpr std::string_view kErrorMarker = "#ERR# ";

bool is_line_space(char c) {
  return c == ' ' || c == '\t' || c == '\n' || c == '\v' || c == '\f' || c == '\r';
}

// The digit run that ends a line (before its newline), saturated.
int64_t trailing_number(std::string_view line) {
  if (!line.empty() && line.back() == '\n') line.remove_suffix(1);
  size_t start = line.size();
  while (start > 0 && line[start - 1] >= '0' && line[start - 1] <= '9') --start;
  int64_t value = 0;
  for (size_t i = start; i < line.size(); ++i) {
    const int digit = line[i] - '0';
    value = value > (INT64_MAX - digit) / 10 ? INT64_MAX : value * 10 + digit;
  }
  return value;
}

// What a line of the file is when read back.
struct Seen {
  HostLineKind kind;
  std::string name;
  int64_t number;
  bool operator==(const Seen&) const = default;
};

// Reads text as the pull does, checking every read, and gives what it saw
// and what the pull would write.
std::vector<Seen> read_all(std::string_view text, std::string* written) {
  std::vector<Seen> seen;
  if (text.empty()) return seen;  // fmemopen wants a buffer
  std::vector<char> copy = fuzz::exact_copy(text);
  FILE* file = fmemopen(copy.data(), text.size(), "r");
  FUZZ_CHECK(file != nullptr);
  fetch::HostActiveReader reader;
  reader.file = file;
  HostLine line;
  long at = 0;
  for (;;) {
    if (!fetch::read_host_line(&reader, &line)) break;
    const std::string_view piece(reader.piece, reader.piece_length);
    FUZZ_CHECK(piece.size() > 0 && piece.size() <= kPiece);
    FUZZ_CHECK(reader.piece[piece.size()] == '\0');
    FUZZ_CHECK(text.substr(static_cast<size_t>(at), piece.size()) == piece);
    const bool full_piece = piece.size() == kPiece && piece.back() != '\n';

    std::string rest;
    if (line.kind == HostLineKind::kComment || line.kind == HostLineKind::kMalformed) {
      char* buffer = nullptr;
      size_t length = 0;
      FILE* out = open_memstream(&buffer, &length);
      FUZZ_CHECK(out != nullptr);
      fetch::copy_line_rest(&reader, out);
      fclose(out);
      rest.assign(buffer, length);
      free(buffer);
    } else {
      FUZZ_CHECK(!reader.rest_pending);
    }
    const long after = ftell(file);
    FUZZ_CHECK(after > at);
    const std::string_view taken = text.substr(static_cast<size_t>(at), after - at);
    at = after;

    size_t start = 0;
    while (start < piece.size() && is_line_space(piece[start])) ++start;
    const std::string_view body = piece.substr(start);
    switch (line.kind) {
      case HostLineKind::kComment: {
        FUZZ_CHECK(body.empty() || body[0] == '#' || body[0] == '\0');
        // Whole, with a newline where the file had none.
        const std::string copied = std::string(piece) + rest;
        FUZZ_CHECK(copied.back() == '\n');
        FUZZ_CHECK(copied == std::string(taken) || (after == static_cast<long>(text.size()) &&
                                                    copied == std::string(taken) + '\n'));
        *written += copied;
        break;
      }
      case HostLineKind::kMalformed: {
        const size_t name_length = std::min(body.find_first_of(" \n\t!:"), body.size());
        FUZZ_CHECK(body.find('\0') != std::string_view::npos || body[0] == '!' ||
                   name_length > fetch::kHostGroupNameMax);
        const std::string copied = std::string(piece) + rest;
        FUZZ_CHECK(copied.back() == '\n');
        FUZZ_CHECK(copied == std::string(taken) || (after == static_cast<long>(text.size()) &&
                                                    copied == std::string(taken) + '\n'));
        *written += std::string(kErrorMarker) + copied;
        break;
      }
      case HostLineKind::kTag: {
        FUZZ_CHECK(body[0] == ':');
        FUZZ_CHECK(line.name.find_first_of(std::string_view(" \t\n\0", 4)) == std::string::npos);
        FUZZ_CHECK(taken == piece || (full_piece && taken == std::string(piece) + '\n'));
        *written += ':' + line.name + '\n';
        break;
      }
      case HostLineKind::kGroup: {
        FUZZ_CHECK(!line.name.empty() && line.name.size() <= fetch::kHostGroupNameMax);
        FUZZ_CHECK(line.name.find_first_of(std::string_view(" \n\t!:\0", 6)) == std::string::npos);
        FUZZ_CHECK(body.substr(0, line.name.size()) == line.name);
        if (line.form == GroupForm::kPlain) {
          FUZZ_CHECK(taken == piece || (full_piece && taken == std::string(piece) + '\n'));
          // "%ld" after a blank or tab, stopping at the nearest limit.
          const size_t separator = start + line.name.size();
          int64_t number = 0;
          if (separator < piece.size() && (piece[separator] == ' ' || piece[separator] == '\t')) {
            const std::string after(piece.substr(separator + 1));
            number = strtoll(after.c_str(), nullptr, 10);
          }
          FUZZ_CHECK(line.number == number);
        } else {
          FUZZ_CHECK(body[line.name.size()] == (line.form == GroupForm::kSubscribed ? ':' : '!'));
          // The whole line, to its newline or the end of the file.
          const size_t newline = taken.find('\n');
          FUZZ_CHECK(newline == std::string_view::npos || newline == taken.size() - 1);
          FUZZ_CHECK(line.number == trailing_number(taken));
        }
        char rewritten[fetch::kHostLineBuffer + 64];
        const int length = snprintf(rewritten, sizeof rewritten, "%s %ld\n", line.name.c_str(),
                                    static_cast<long>(line.number));
        FUZZ_CHECK(length > 0 && static_cast<size_t>(length) <= kPiece);
        *written += rewritten;
        break;
      }
      default:
        fuzz::fail(__FILE__, __LINE__, "a line of no known kind");
    }
    if (line.kind == HostLineKind::kMalformed) {
      seen.push_back({HostLineKind::kComment, "", 0});
    } else if (line.kind == HostLineKind::kComment) {
      seen.push_back({line.kind, "", 0});
    } else {
      seen.push_back({line.kind, line.name, line.number});
    }
  }
  FUZZ_CHECK(!reader.read_error);
  FUZZ_CHECK(at == static_cast<long>(text.size()));
  fclose(file);
  return seen;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string_view text = fuzz::as_text(data, size);
  std::string written;
  const std::vector<Seen> seen = read_all(text, &written);

  // Parsing is a function of the piece alone.
  const size_t first = std::min(text.size(), kPiece);
  const HostLine once = fetch::parse_host_line(text.substr(0, first));
  const HostLine again = fetch::parse_host_line(text.substr(0, first));
  FUZZ_CHECK(once.kind == again.kind && once.form == again.form && once.name == again.name &&
             once.number == again.number);

  std::string written_again;
  const std::vector<Seen> seen_again = read_all(written, &written_again);
  FUZZ_CHECK(seen_again == seen);
  FUZZ_CHECK(written_again == written);
  return 0;
}
