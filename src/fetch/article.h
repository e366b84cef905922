// Reading one fetched article: dot-stuffing undone, line ends normalised,
// fake message IDs and the Path rule applied, then handed to the incoming spool.
#pragma once

#include <cstddef>
#include <cstdint>

namespace fetch {

/// Longest text line read at once; longer lines come in pieces.
inline constexpr int kArticleLineMax = 5120;
/// A Path line can be extended only up to this length as received, line end
/// included (the extended line still fits one read).
inline constexpr int kMaxHeaderSize = 5112;
/// The article buffer starts with this many bytes and grows by as many.
inline constexpr size_t kArticleBufferStep = 100000;
/// Longest article text accepted; a server sending more stops the transfer
/// rather than exhaust memory.
inline constexpr size_t kArticleSizeMax = 1000 * kArticleBufferStep;

/// Reads the text of article n of group that follows a 220 reply, up to and
/// including its end line, and stores or drops it; false when the transfer
/// must stop (read, storage or Path failure). The stored text is the text as
/// received with dot-stuffing undone and each line's CRs before its LF
/// dropped, however the lines came in pieces; header lines are looked at whole.
bool read_article(int64_t n, const char* group);

/// True when the text, after leading white space, begins with "<fake@" in any case.
bool is_fake_id(const char* message_id);

/// Reads the text that follows a 220, 221 or 222 reply up to and including its
/// end line and throws it away; false when reading failed or the text grew
/// beyond what an article may hold.
bool skip_article_text();

/// Bytes the article buffer reused for every article holds now (it never shrinks).
size_t article_buffer_capacity();

}  // namespace fetch
