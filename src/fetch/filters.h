// External filter programs: the message-ID filter command and the full-article
// filter coprocess.
#pragma once

#include <cstddef>

namespace fetch {

/// True when the --mfilter command refuses the message ID.
bool mfilter_rejects(const char* message_id);

/// Passes one line of an article, as received, to the --filter coprocess.
void filter_feed_line(const char* line, size_t length);

/// Asks the --filter coprocess for its verdict on the article it was fed;
/// true when it refuses the article.
bool filter_verdict(const char* article_number);

}  // namespace fetch
