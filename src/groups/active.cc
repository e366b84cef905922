#include "groups/active.h"

#include <array>
#include <cctype>
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <string>

#include "base/settings.h"
#include "base/status.h"
#include "groups/newsfeeds.h"
#include "report/exit.h"
#include "report/message.h"
#include "report/title.h"
#include "report/util.h"

namespace groups {

namespace {

// The group table: each entry under the bucket of its name, first among the
// entries of its bucket when added, so that the table's own order is the
// order in which next_unseen_group hands the groups out.
std::multimap<int, GroupEntry> g_group_table;

// Lines of the active file are read into a buffer of this size; only the
// first piece of a longer line is parsed.
constexpr int kLineBuffer = 1024;

// Fields of an active file line: name, high and low article numbers, flag.
constexpr int kActiveFields = 4;

// The hash's table: T[2^j] = 0x48000000 >> j, and every other entry the XOR
// of the entries of its bits.
constexpr std::array<uint32_t, 128> make_hash_table() {
  std::array<uint32_t, 128> table{};
  for (int i = 0; i < 128; ++i) {
    uint32_t value = 0;
    for (int j = 0; j < 7; ++j) {
      if ((i & (1 << j)) != 0) value ^= 0x48000000u >> j;
    }
    table[static_cast<size_t>(i)] = value;
  }
  return table;
}

constexpr std::array<uint32_t, 128> kHashTable = make_hash_table();
static_assert(kHashTable[3] == 0x6C000000u && kHashTable[127] == 0x70E00000u);

bool is_space(char c) {
  return isspace(static_cast<unsigned char>(c)) != 0;
}

const char* skip_space(const char* p) {
  while (is_space(*p)) ++p;
  return p;
}

// Parses "name high low flag" the way the scan format "%[^ \n\t!:] %ld %ld %c"
// does; returns the number of fields found.
int scan_active_line(const char* line, std::string* name, char* flag) {
  const char* p = line;
  const size_t length = strcspn(p, " \n\t!:");
  if (length == 0) return 0;
  name->assign(p, length);
  p += length;
  for (int number = 0; number < 2; ++number) {
    p = skip_space(p);
    const char* digits = (*p == '+' || *p == '-') ? p + 1 : p;
    if (!isdigit(static_cast<unsigned char>(*digits))) return 1 + number;
    char* after = nullptr;
    errno = 0;
    (void)strtol(p, &after, 10);  // the numbers are not used; only their syntax counts
    p = after;
  }
  p = skip_space(p);
  if (*p == '\0') return 3;
  *flag = *p;
  return 4;
}

void parse_active_line(const char* line, const char* path) {
  const char* p = skip_space(line);
  if (*p == '\0' || *p == '#') return;
  std::string name;
  char flag = '\0';
  const int found = scan_active_line(p, &name, &flag);
  if (report::syntax_check(line, found, kActiveFields, path)) return;
  if ((flag == 'y' || flag == 'm') && !name.empty() && groups::group_allowed(name.c_str())) {
    group_insert(name.c_str());
  }
}

}  // namespace

void read_active(bool again) {
  const char* path = base::text_or_empty(base::g_settings.paths.active);
  report::set_state("read active");
  FILE* file = fopen(path, "r");
  if (file == nullptr) {
    report::message(report::kSysError, "can't open \"%s\"", path);
    report::exit_run(base::kStatusConfig);
  }
  report::message(report::kProgress, "%sreading %s", again ? "re-" : "", path);
  if (again) group_table_clear();

  char line[kLineBuffer];
  bool at_line_start = true;
  for (;;) {
    const int length = report::read_line_piece(file, line, kLineBuffer);
    if (length < 0) {
      report::message(report::kSysError, "can't read \"%s\"", path);
      fclose(file);
      report::exit_run(base::kStatusConfig);
    }
    if (length == 0) break;
    if (at_line_start) parse_active_line(line, path);
    at_line_start = line[length - 1] == '\n';
  }
  fclose(file);
}

void group_table_clear() {
  g_group_table.clear();
}

void group_insert(const char* name) {
  const int bucket = string_hash(name, kGroupBuckets);
  // Inserted just before the hint, the bucket's first entry: the newest comes first.
  g_group_table.emplace_hint(g_group_table.lower_bound(bucket), bucket, GroupEntry{false, name});
}

GroupEntry* group_lookup(const char* name) {
  const auto [first, last] = g_group_table.equal_range(string_hash(name, kGroupBuckets));
  for (auto it = first; it != last; ++it) {
    if (it->second.name == name) return &it->second;
  }
  return nullptr;
}

bool group_known(const char* name) {
  return group_lookup(name) != nullptr;
}

bool group_mark_seen(const char* name) {
  GroupEntry* entry = group_lookup(name);
  if (entry == nullptr || entry->seen) return false;
  entry->seen = true;
  return true;
}

bool next_unseen_group(char* name) {
  while (!g_group_table.empty()) {
    const auto first = g_group_table.begin();
    const bool seen = first->second.seen;
    if (!seen) snprintf(name, kGroupNameBuffer, "%s", first->second.name.c_str());
    g_group_table.erase(first);
    if (!seen) return true;
  }
  return false;
}

int string_hash(const char* text, int modulus) {
  if (*text == '\0' || modulus <= 0) return 0;
  uint32_t h = 0;
  for (const unsigned char* p = reinterpret_cast<const unsigned char*>(text); *p != '\0'; ++p) {
    h = (h >> 7) ^ kHashTable[(*p ^ h) & 0x7F];
  }
  return static_cast<int>((h & 0x7FFFFFFFu) % static_cast<uint32_t>(modulus));
}

}  // namespace groups
