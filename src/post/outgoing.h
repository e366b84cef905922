// The outgoing spool: the articles the local news system queued for the server.
#pragma once

#include <string>

namespace post {

/// Takes the next entry of the outgoing spool (the first call opens it);
/// false when there is none.
bool next_outgoing_entry(std::string* entry);

/// Posts every entry of the outgoing spool, starting with first.
void post_outgoing(const std::string& first);

}  // namespace post
