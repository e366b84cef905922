// Header listings: the message IDs of a block of article numbers as an HDR
// or XHDR reply lists them, read whole before any decision is made on them.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace fetch {

/// Articles a block of a listing is meant to hold: a block spans this many
/// numbers of a dense group, more of a sparse one.
inline constexpr int64_t kListingArticles = 5000;

/// Entries a listing keeps at most (a server may list more than the group's
/// count promised); the numbers after the last one kept are asked for again.
inline constexpr size_t kListingEntriesMax = 2 * kListingArticles;

/// Bytes of listing text read at most for one block; a server sending more
/// stops the transfer rather than keep it busy forever.
inline constexpr int64_t kListingBytesMax = 64 * 1024 * 1024;

/// One listed article: its number and where its message ID lies in Listing::ids.
struct ListedArticle {
  int64_t number = 0;
  uint32_t offset = 0;
  uint32_t length = 0;
};

/// The message IDs of the block low..high, in ascending order of number.
struct Listing {
  std::vector<ListedArticle> articles;
  std::string ids;  // the message IDs, back to back
  int64_t low = 0;
  int64_t high = -1;  // the last number the listing answers for
  size_t next = 0;    // the first article not looked at yet

  /// The message ID of articles[i].
  std::string_view message_id(size_t i) const {
    return std::string_view(ids).substr(articles[i].offset, articles[i].length);
  }
};

/// The numbers one block of a walk over range numbers of a group of count
/// articles spans: kListingArticles as many numbers as the range has per
/// article, at least kListingArticles, at most the range.
int64_t listing_span(int64_t range, int64_t count);

/// Reads a listing line without its line end: an article number above after
/// and not above high, one blank or tab, a message ID of at most max_id
/// characters ending at a blank, a tab or the end. False when the line is
/// anything else.
bool parse_listing_line(const char* line, int64_t after, int64_t high, size_t max_id,
                        int64_t* number, std::string_view* message_id);

/// Clears listing and reads the listing text for low..high that follows its
/// status line, up to and including the end line: 1 when every line was
/// read, -1 when one was malformed (*bad_line holds it; the text is still read
/// to its end), 0 when reading failed (reported). Lines beyond
/// kListingEntriesMax are read and dropped, high then becomes the number of
/// the last entry kept.
int read_listing(int64_t low, int64_t high, size_t max_id, Listing* listing, std::string* bad_line);

}  // namespace fetch
