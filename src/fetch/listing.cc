#include "fetch/listing.h"

#include <cctype>
#include <cstring>

#include "nntp/connection.h"
#include "nntp/replies.h"
#include "report/message.h"
#include "report/stats.h"

namespace fetch {

namespace {

// A listing line holds a number and a message ID of at most 512 characters;
// this holds it with room to spare, a longer line is malformed.
constexpr int kListingLineBuffer = 1024;

// Fills the piece buffer before a read, so that the read's own terminating
// NUL tells its length even when the text holds NUL bytes.
constexpr char kUnusedByte = 0x7f;

bool is_blank(char c) {
  return c == ' ' || c == '\t';
}

// The line end of a piece removed; false when the piece had none (it is
// the start of a longer line).
bool strip_line_end(char* piece, size_t* length) {
  if (*length == 0 || piece[*length - 1] != '\n') return false;
  while (*length > 0 && (piece[*length - 1] == '\n' || piece[*length - 1] == '\r')) {
    piece[--*length] = '\0';
  }
  return true;
}

// Reads one piece of the listing text: its length, NUL bytes included, or
// -1 when the read failed.
int64_t read_piece(char (&piece)[kListingLineBuffer]) {
  memset(piece, kUnusedByte, sizeof piece);
  if (!nntp::get_text_line(piece, sizeof piece)) return -1;
  size_t length = sizeof piece - 1;
  while (piece[length] != '\0') --length;
  return static_cast<int64_t>(length);
}

bool is_end_line(const char* piece) {
  return piece[0] == '.' && (piece[1] == '\r' || piece[1] == '\n');
}

// Keeps one entry; false when the listing is full (the entry is dropped).
bool keep_entry(int64_t number, std::string_view message_id, Listing* listing) {
  if (listing->articles.size() >= kListingEntriesMax) return false;
  ListedArticle entry;
  entry.number = number;
  entry.offset = static_cast<uint32_t>(listing->ids.size());
  entry.length = static_cast<uint32_t>(message_id.size());
  listing->ids.append(message_id);
  listing->articles.push_back(entry);
  return true;
}

}  // namespace

int64_t listing_span(int64_t range, int64_t count) {
  if (range <= kListingArticles || count <= 0) return range;
  // Numbers per article, rounded up: the block holds about kListingArticles articles.
  const int64_t per_article = range / count + (range % count != 0 ? 1 : 0);
  if (per_article > range / kListingArticles) return range;
  return per_article * kListingArticles;
}

bool parse_listing_line(const char* line, int64_t after, int64_t high, size_t max_id,
                        int64_t* number, std::string_view* message_id) {
  if (!isdigit(static_cast<unsigned char>(line[0]))) return false;
  const char* end = nullptr;
  if (!nntp::parse_article_number(line, number, &end)) return false;
  if (*number <= after || *number > high || !is_blank(*end)) return false;
  const char* id = end + 1;
  const size_t length = strcspn(id, " \t");
  if (length == 0 || length > max_id) return false;
  *message_id = std::string_view(id, length);
  return true;
}

int read_listing(int64_t low, int64_t high, size_t max_id, Listing* listing,
                 std::string* bad_line) {
  listing->articles.clear();
  listing->ids.clear();
  listing->low = low;
  listing->high = high;
  listing->next = 0;
  bool malformed = false;
  bool full = false;
  bool at_line_start = true;
  int64_t total = 0;
  char piece[kListingLineBuffer];
  for (;;) {
    const int64_t got = read_piece(piece);
    if (got < 0) return 0;
    size_t length = static_cast<size_t>(got);
    report::g_counters.grossbyt += got;
    total += got;
    if (total > kListingBytesMax) {
      report::message(report::kError, "header listing longer than %ld bytes",
                      static_cast<long>(kListingBytesMax));
      return 0;
    }
    if (at_line_start && is_end_line(piece)) break;
    const bool starts_line = at_line_start;
    const bool holds_nul = strlen(piece) != length;
    at_line_start = strip_line_end(piece, &length);
    // Once the listing cannot be trusted, or is full, the rest is only read.
    if (malformed || full) continue;
    int64_t number = 0;
    std::string_view message_id;
    const int64_t after = listing->articles.empty() ? low - 1 : listing->articles.back().number;
    if (!starts_line || !at_line_start || holds_nul ||
        !parse_listing_line(piece, after, high, max_id, &number, &message_id)) {
      malformed = true;
      *bad_line = piece;
      continue;
    }
    if (!keep_entry(number, message_id, listing)) {
      full = true;
      listing->high = listing->articles.back().number;
    }
  }
  return malformed ? -1 : 1;
}

}  // namespace fetch
