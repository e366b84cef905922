// The message IDs fetched in this run, so that a crosspost is fetched once.
#pragma once

#include <cstddef>

namespace fetch {

/// True when the ID is new in this run (it is remembered from now on); false,
/// after a detail message, when it was remembered before. Constant time on
/// average however many IDs the run has seen.
bool remember_message_id(const char* message_id);

}  // namespace fetch
