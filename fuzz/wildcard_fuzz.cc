// Wildcard matching of group names (groups::match_wildcard), as the newsfeeds
// patterns and --groups use it. Input: the group name, a NUL byte, the pattern
// (without a NUL byte the input is both).
//
// Properties: the result is true, false or abort; it agrees with a plain
// table-driven matcher written from the documented rules; every text matches
// itself with each byte escaped, and matches "*" and "*" followed by any of
// its own escaped suffixes.
#include <string>
#include <string_view>
#include <vector>

#include "groups/wildcard.h"
#include "support/fuzz_support.h"

namespace {

using groups::kWildAbort;
using groups::kWildFalse;
using groups::kWildTrue;
using groups::match_wildcard;

// Inputs longer than this are not compared with the reference (its table
// grows with the product of the lengths).
constexpr size_t kReferenceMax = 256;

struct Item {
  enum Kind { kLiteral, kAny, kStar, kClass } kind = kLiteral;
  char byte = '\0';
  bool negated = false;
  std::vector<std::pair<int, int>> ranges;  // signed byte values, inclusive
};

int as_signed(char c) {
  return static_cast<signed char>(c);
}

// Cuts a pattern into items; false when the pattern can match nothing (a
// class that never ends, a trailing backslash).
bool parse_pattern(std::string_view p, std::vector<Item>* items) {
  for (size_t k = 0; k < p.size(); ++k) {
    Item item;
    if (p[k] == '?') {
      item.kind = Item::kAny;
    } else if (p[k] == '*') {
      item.kind = Item::kStar;
    } else if (p[k] == '\\') {
      if (k + 1 == p.size()) return false;
      item.byte = p[++k];
    } else if (p[k] == '[') {
      item.kind = Item::kClass;
      ++k;
      if (k < p.size() && p[k] == '^') {
        item.negated = true;
        ++k;
      }
      if (k < p.size() && (p[k] == ']' || p[k] == '-')) {
        item.ranges.emplace_back(as_signed(p[k]), as_signed(p[k]));
        ++k;
      }
      for (; k < p.size() && p[k] != ']'; ++k) {
        if (p[k] == '-' && k + 1 < p.size() && p[k + 1] != ']') {
          item.ranges.emplace_back(as_signed(p[k - 1]), as_signed(p[k + 1]));
          ++k;
        } else if (p[k] == '-' && k + 1 == p.size()) {
          return false;
        } else {
          item.ranges.emplace_back(as_signed(p[k]), as_signed(p[k]));
        }
      }
      if (k == p.size()) return false;
    } else {
      item.byte = p[k];
    }
    items->push_back(std::move(item));
  }
  return true;
}

bool accepts(const Item& item, char c) {
  switch (item.kind) {
    case Item::kAny:
      return true;
    case Item::kLiteral:
      return item.byte == c;
    case Item::kClass: {
      bool in = false;
      for (const auto& [low, high] : item.ranges) {
        if (as_signed(c) >= low && as_signed(c) <= high) in = true;
      }
      return in != item.negated;
    }
    case Item::kStar:
      break;
  }
  return false;
}

bool reference_match(std::string_view text, std::string_view pattern) {
  std::vector<Item> items;
  if (!parse_pattern(pattern, &items)) return false;
  const size_t n = text.size();
  const size_t m = items.size();
  // matched[i * (m + 1) + j]: text from i matches items from j.
  std::vector<char> matched((n + 1) * (m + 1), 0);
  auto at = [&](size_t i, size_t j) -> char& { return matched[i * (m + 1) + j]; };
  at(n, m) = 1;
  for (size_t j = m; j-- > 0;) {
    for (size_t i = n + 1; i-- > 0;) {
      if (items[j].kind == Item::kStar) {
        at(i, j) = at(i, j + 1) || (i < n && at(i + 1, j));
      } else {
        at(i, j) = i < n && accepts(items[j], text[i]) && at(i + 1, j + 1);
      }
    }
  }
  return at(0, 0) != 0;
}

std::string escaped(std::string_view text) {
  std::string pattern;
  for (char c : text) {
    pattern += '\\';
    pattern += c;
  }
  return pattern;
}

int match(std::string_view text, std::string_view pattern) {
  const std::vector<char> t = fuzz::exact_copy(text);
  const std::vector<char> p = fuzz::exact_copy(pattern);
  const int result = match_wildcard(t.data(), p.data());
  FUZZ_CHECK(result == kWildTrue || result == kWildFalse || result == kWildAbort);
  return result;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::vector<std::string_view> parts = fuzz::split(fuzz::as_text(data, size), '\0');
  const std::string_view text = parts[0];
  const std::string_view pattern = parts.size() > 1 ? parts[1] : parts[0];

  const int result = match(text, pattern);
  if (text.size() <= kReferenceMax && pattern.size() <= kReferenceMax) {
    FUZZ_CHECK((result == kWildTrue) == reference_match(text, pattern));
  }
  FUZZ_CHECK(match(text, pattern) == result);

  FUZZ_CHECK(match(text, escaped(text)) == kWildTrue);
  FUZZ_CHECK(match(text, "*") == kWildTrue);
  const std::string_view suffix = text.substr(text.size() / 2);
  FUZZ_CHECK(match(text, "*" + escaped(suffix)) == kWildTrue);
  return 0;
}
