#include "fetch/msgid_cache.h"

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <memory>
#include <memory_resource>
#include <string_view>
#include <unordered_set>
#include <vector>

#include "report/message.h"

namespace fetch {

namespace {

// The texts live in large blocks, each ending in a NUL, so that an ID costs
// its bytes and one small set node, not an allocation of its own.
constexpr size_t kTextBlockSize = 65536;

// Where a stored ID starts: its block and its offset in it.
struct TextRef {
  uint32_t block;
  uint32_t offset;
};

struct TextArena {
  std::vector<std::unique_ptr<char[]>> blocks;
  size_t used_in_last = kTextBlockSize;  // forces a block at the first store

  std::string_view at(TextRef ref) const { return blocks[ref.block].get() + ref.offset; }

  // A copy of text (with its NUL) that lives for the whole run.
  TextRef store(std::string_view text) {
    const size_t size = text.size() + 1;
    if (kTextBlockSize - used_in_last < size) {
      blocks.push_back(std::make_unique<char[]>(std::max(kTextBlockSize, size)));
      used_in_last = 0;
    }
    const TextRef ref{static_cast<uint32_t>(blocks.size() - 1),
                      static_cast<uint32_t>(used_in_last)};
    char* own = blocks.back().get() + used_in_last;
    memcpy(own, text.data(), text.size());
    own[text.size()] = '\0';
    // An over-long text fills its block alone.
    used_in_last = std::min(kTextBlockSize, used_in_last + size);
    return ref;
  }
};

// Nothing is ever removed: the IDs are kept until the process ends.
TextArena g_texts;

// Hashing and comparing a stored ID by its text; both also take a text
// itself, so that a lookup needs no copy. The hash is cheap enough not to be
// kept in the node (16 bytes each).
struct IdHash {
  using is_transparent = void;
  size_t operator()(std::string_view text) const noexcept {
    return std::hash<std::string_view>{}(text);
  }
  size_t operator()(TextRef ref) const noexcept { return (*this)(g_texts.at(ref)); }
};

struct IdEqual {
  using is_transparent = void;
  static std::string_view text(std::string_view text) { return text; }
  static std::string_view text(TextRef ref) { return g_texts.at(ref); }
  template <typename A, typename B>
  bool operator()(const A& a, const B& b) const noexcept {
    return text(a) == text(b);
  }
};

constexpr float kIdsPerBucket = 2.0f;

// Nodes come from a pool, without a heap header each; the bucket arrays,
// larger than any pool block, go to the heap and are freed when they grow.
std::pmr::unsynchronized_pool_resource g_node_pool;
std::pmr::unordered_set<TextRef, IdHash, IdEqual> g_ids(&g_node_pool);

}  // namespace

bool remember_message_id(const char* message_id) {
  // Two IDs a bucket on average: a bucket costs as much as a node.
  if (g_ids.empty()) g_ids.max_load_factor(kIdsPerBucket);
  const std::string_view id(message_id);
  if (g_ids.find(id) != g_ids.end()) {
    report::message(report::kDetail, "msgid %s fetched already", message_id);
    return false;
  }
  g_ids.insert(g_texts.store(id));
  return true;
}

}  // namespace fetch
