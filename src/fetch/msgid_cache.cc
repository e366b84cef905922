#include "fetch/msgid_cache.h"

#include <algorithm>
#include <cstring>
#include <memory>
#include <string_view>
#include <unordered_set>
#include <vector>

#include "report/message.h"

namespace fetch {

namespace {

// The texts live in large blocks, so that an ID costs its bytes and one
// set node, not an allocation of its own.
constexpr size_t kTextBlockSize = 65536;

struct TextArena {
  std::vector<std::unique_ptr<char[]>> blocks;
  size_t used_in_last = kTextBlockSize;  // forces a block at the first store

  // A copy of text that lives for the whole run.
  std::string_view store(std::string_view text) {
    if (kTextBlockSize - used_in_last < text.size()) {
      blocks.push_back(std::make_unique<char[]>(std::max(kTextBlockSize, text.size())));
      used_in_last = 0;
    }
    char* own = blocks.back().get() + used_in_last;
    memcpy(own, text.data(), text.size());
    // An over-long text fills its block alone.
    used_in_last = std::min(kTextBlockSize, used_in_last + text.size());
    return {own, text.size()};
  }
};

// Nothing is ever removed: the IDs are kept until the process ends.
TextArena g_texts;
std::unordered_set<std::string_view> g_ids;

}  // namespace

bool remember_message_id(const char* message_id) {
  const std::string_view id(message_id);
  if (g_ids.find(id) != g_ids.end()) {
    report::message(report::kDetail, "msgid %s fetched already", message_id);
    return false;
  }
  g_ids.insert(g_texts.store(id));
  return true;
}

}  // namespace fetch
