// Posting one article of the outgoing spool: loading it in transmission form,
// editing its header, offering it with POST or IHAVE, and deciding its fate.
#pragma once

namespace post {

/// Posts the article named by a spool entry. Returns the final status text
/// ("OK", "Already got it", "Missing", ...) when the entry is done, or null
/// when it is to be held for the next run.
const char* post_article(const char* entry);

}  // namespace post
