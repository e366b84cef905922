// Header listings from the server (fetch::read_listing, the text after an
// HDR or XHDR reply). Input: a first byte for the block's first number (1 to
// 256), a second for its length (4 numbers per unit), a third for the longest
// message ID taken (0: 512), then what the server sends.
//
// Properties: the result, the entries kept, the block's last number and the
// bytes taken are those of a second reader written from the documented
// rules: pieces of at most 1023 bytes or up to a line end; a piece "."
// followed by CR or LF at a line's start ends the listing; a line is
// malformed unless it is one piece ending in LF, holds no NUL, and reads as
// digits (at most kArticleNumberMax) above the previous number and within
// the block, one blank or tab, and a message ID up to the next blank or tab
// that is neither empty nor too long; once a line is malformed or
// kListingEntriesMax were kept the rest is only read (the last number kept
// then ends the block); a stream that ends first fails the read.
#include <cstring>
#include <optional>
#include <string>
#include <vector>

#include "base/settings.h"
#include "fetch/listing.h"
#include "nntp/connection.h"
#include "nntp/replies.h"
#include "report/stats.h"
#include "support/fuzz_support.h"

namespace {

constexpr size_t kPiece = 1023;

struct Entry {
  int64_t number;
  std::string id;
  bool operator==(const Entry&) const = default;
};

struct Expected {
  int result = 1;
  std::vector<Entry> entries;
  int64_t high = 0;
  size_t taken = 0;
};

bool is_digit(char c) {
  return c >= '0' && c <= '9';
}

std::optional<Entry> expected_entry(std::string_view line, int64_t after, int64_t high,
                                    size_t max_id) {
  size_t at = 0;
  uint64_t value = 0;
  while (at < line.size() && is_digit(line[at])) {
    const uint64_t digit = static_cast<uint64_t>(line[at] - '0');
    if (value > (static_cast<uint64_t>(nntp::kArticleNumberMax) - digit) / 10) return std::nullopt;
    value = value * 10 + digit;
    ++at;
  }
  if (at == 0 || at == line.size() || (line[at] != ' ' && line[at] != '\t')) return std::nullopt;
  const int64_t number = static_cast<int64_t>(value);
  if (number <= after || number > high) return std::nullopt;
  const std::string_view rest = line.substr(at + 1);
  const size_t length = std::min(rest.find_first_of(" \t"), rest.size());
  if (length == 0 || length > max_id) return std::nullopt;
  return Entry{number, std::string(rest.substr(0, length))};
}

Expected expected_listing(std::string_view text, int64_t low, int64_t high, size_t max_id) {
  Expected e;
  e.high = high;
  bool at_line_start = true;
  bool skipping = false;
  for (;;) {
    if (e.taken == text.size()) {
      e.result = 0;
      return e;
    }
    const std::string_view rest = text.substr(e.taken);
    const size_t newline = rest.substr(0, kPiece).find('\n');
    const std::string_view piece =
        rest.substr(0, newline == std::string_view::npos ? kPiece : newline + 1);
    e.taken += piece.size();
    if (at_line_start && piece.size() > 1 && piece[0] == '.' &&
        (piece[1] == '\r' || piece[1] == '\n')) {
      return e;
    }
    const bool starts_line = at_line_start;
    at_line_start = piece.back() == '\n';
    if (skipping) continue;
    std::string_view line = piece;
    while (at_line_start && !line.empty() && (line.back() == '\n' || line.back() == '\r')) {
      line.remove_suffix(1);
    }
    const int64_t after = e.entries.empty() ? low - 1 : e.entries.back().number;
    std::optional<Entry> entry;
    if (starts_line && at_line_start && line.find('\0') == std::string_view::npos) {
      entry = expected_entry(line, after, high, max_id);
    }
    if (!entry) {
      e.result = -1;
      skipping = true;
    } else if (e.entries.size() == fetch::kListingEntriesMax) {
      e.high = e.entries.back().number;
      skipping = true;
    } else {
      e.entries.push_back(*entry);
    }
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 3) return 0;
  const int64_t low = 1 + data[0];
  const int64_t high = low - 1 + 4 * static_cast<int64_t>(data[1]);
  const size_t max_id = data[2] == 0 ? 512 : data[2];
  const std::string_view text = fuzz::as_text(data + 3, size - 3);
  fuzz::reset_settings();
  base::g_settings.timeout = 30;
  report::g_counters = report::Counters{};
  fuzz::serve_connection(text);

  const Expected expected = expected_listing(text, low, high, max_id);
  fetch::Listing listing;
  std::string bad_line;
  const int result = fetch::read_listing(low, high, max_id, &listing, &bad_line);
  FUZZ_CHECK(result == -1 || result == 0 || result == 1);
  if (expected.result == 0) {
    FUZZ_CHECK(result == 0);
    return 0;
  }
  FUZZ_CHECK(result == expected.result);
  FUZZ_CHECK(report::g_counters.grossbyt == static_cast<int64_t>(expected.taken));
  if (result == -1) return 0;
  FUZZ_CHECK(listing.low == low && listing.high == expected.high && listing.next == 0);
  FUZZ_CHECK(listing.articles.size() == expected.entries.size());
  for (size_t i = 0; i < listing.articles.size(); ++i) {
    FUZZ_CHECK(listing.articles[i].number == expected.entries[i].number);
    FUZZ_CHECK(listing.message_id(i) == expected.entries[i].id);
  }
  return 0;
}
