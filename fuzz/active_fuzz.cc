// The local active file reader, groups::read_active, and the group table it
// fills. Every group is selected (the entry list is "*"). Input: the file.
//
// Properties: the table holds exactly the groups that the scan format
// "%[^ \n\t!:] %ld %ld %c" finds with the flag 'y' or 'm' on the first piece
// (1023 bytes) of each line, as many times as they are listed; a marked
// group is not handed out as unseen, every other entry is, once; afterwards
// the table is empty; hashes stay inside the table.
#include <algorithm>
#include <cctype>
#include <cstdio>
#include <map>
#include <string>
#include <string_view>
#include <vector>

#include "base/settings.h"
#include "groups/active.h"
#include "groups/newsfeeds.h"
#include "support/fuzz_support.h"

namespace {

// Lines are read into a buffer of this size (so pieces of 1023 bytes).
constexpr size_t kLineBuffer = 1024;

// The groups a correct reader admits, in file order.
std::vector<std::string> expected_groups(std::string_view text) {
  std::vector<std::string> names;
  bool at_line_start = true;
  while (!text.empty()) {
    size_t length = std::min(text.size(), kLineBuffer - 1);
    const size_t newline = text.substr(0, length).find('\n');
    if (newline != std::string_view::npos) length = newline + 1;
    const std::string piece(text.substr(0, length));  // C string: ends at a NUL
    text.remove_prefix(length);
    const bool parse = at_line_start;
    at_line_start = piece.back() == '\n';
    if (!parse) continue;

    const char* p = piece.c_str();
    while (isspace(static_cast<unsigned char>(*p))) ++p;
    if (*p == '\0' || *p == '#') continue;
    char name[kLineBuffer];
    long high = 0;
    long low = 0;
    char flag = '\0';
    if (sscanf(p, "%1023[^ \n\t!:] %ld %ld %c", name, &high, &low, &flag) == 4 &&
        (flag == 'y' || flag == 'm')) {
      names.emplace_back(name);
    }
  }
  return names;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string_view text = fuzz::as_text(data, size);
  fuzz::reset_settings();
  base::g_settings.paths.active = fuzz::scratch_path();
  groups::g_groups_list.patterns.clear();
  groups::g_me_list.patterns.clear();
  groups::g_entry_list.patterns.clear();
  groups::add_pattern("*", groups::g_entry_list, false);
  groups::group_table_clear();

  fuzz::write_scratch(text);
  groups::read_active(false);

  const std::vector<std::string> expected = expected_groups(text);
  std::map<std::string, int> unseen;
  for (const std::string& name : expected) ++unseen[name];
  for (auto& [name, count] : unseen) {
    FUZZ_CHECK(groups::group_known(name.c_str()));
    const int bucket = groups::string_hash(name.c_str(), groups::kGroupBuckets);
    FUZZ_CHECK(bucket >= 0 && bucket < groups::kGroupBuckets);
    // Mark every other group: its newest entry is then not handed out, and
    // marking again finds that entry marked.
    if (groups::string_hash(name.c_str(), 2) == 0) {
      FUZZ_CHECK(groups::group_mark_seen(name.c_str()));
      FUZZ_CHECK(!groups::group_mark_seen(name.c_str()));
      --count;
    }
  }

  char name[groups::kGroupNameBuffer];
  while (groups::next_unseen_group(name)) {
    auto it = unseen.find(name);
    FUZZ_CHECK(it != unseen.end() && it->second > 0);
    --it->second;
  }
  for (const auto& [group, count] : unseen) {
    FUZZ_CHECK(count == 0);
    FUZZ_CHECK(!groups::group_known(group.c_str()));
  }
  return 0;
}
