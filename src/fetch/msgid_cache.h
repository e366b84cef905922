// The message IDs fetched in this run, so that a crosspost is fetched once.
#pragma once

namespace fetch {

/// Buckets of the message-ID cache.
inline constexpr int kMessageIdBuckets = 999;

/// True when the ID is new in this run (it is remembered from now on); false,
/// after a detail message, when it was remembered before.
bool remember_message_id(const char* message_id);

}  // namespace fetch
