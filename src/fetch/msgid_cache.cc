#include "fetch/msgid_cache.h"

#include <array>
#include <cstring>

#include "fetch/active.h"
#include "report/message.h"
#include "report/util.h"

namespace fetch {

namespace {

// One remembered ID; its terminated text follows the entry in the same allocation.
struct Entry {
  Entry* next;
};

char* entry_text(Entry* entry) {
  return reinterpret_cast<char*>(entry + 1);
}

// The chains live for the whole run; nothing is ever removed or freed.
std::array<Entry*, kMessageIdBuckets> g_buckets{};

}  // namespace

bool remember_message_id(const char* message_id) {
  const int bucket = string_hash(message_id, kMessageIdBuckets);
  for (Entry* entry = g_buckets[bucket]; entry != nullptr; entry = entry->next) {
    if (strcmp(entry_text(entry), message_id) == 0) {
      report::message(report::kDetail, "msgid %s fetched already", message_id);
      return false;
    }
  }
  const size_t length = strlen(message_id);
  Entry* entry =
      static_cast<Entry*>(report::must_alloc(static_cast<uint32_t>(sizeof(Entry) + length + 1)));
  memcpy(entry_text(entry), message_id, length + 1);
  entry->next = g_buckets[bucket];
  g_buckets[bucket] = entry;
  return true;
}

}  // namespace fetch
