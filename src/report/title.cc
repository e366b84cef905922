#include "report/title.h"

#include <cstdio>
#include <cstring>

#include "base/settings.h"
#include "report/message.h"

namespace report {

namespace {

constexpr int kTitlePrefixMax = 511;

// The argument area the process title is written into.
char* g_argument_start = nullptr;
char* g_argument_end = nullptr;

char g_title[kTitleMax + 1];
size_t g_title_prefix_length = 0;
bool g_title_prefix_set = false;

void write_title(const char* text, const char* suffix) {
  char title[kTitleMax + 1];
  snprintf(title, sizeof title, "%.*s%s%s", static_cast<int>(g_title_prefix_length), g_title, text,
           suffix != nullptr ? suffix : "");
  const size_t room = static_cast<size_t>(g_argument_end - g_argument_start);
  size_t length = strlen(title);
  if (room < 2) return;
  if (room - 1 <= length) {
    length = room - 2;
    title[length] = '\0';
  }
  memcpy(g_argument_start, title, length + 1);
  memset(g_argument_start + length, 0, room - length);
}

}  // namespace

void set_title_prefix(const char* text) {
  const size_t length = strlen(text);
  const size_t used = length > static_cast<size_t>(kTitlePrefixMax) ? kTitlePrefixMax - 1 : length;
  memcpy(g_title, text, used);
  g_title[used] = ' ';
  g_title[used + 1] = '\0';
  g_title_prefix_length = used + 1;
  g_title_prefix_set = true;
}

void record_argument_area(int argc, char** argv) {
  g_argument_start = g_argument_end = nullptr;
  if (argc < 1 || argv == nullptr || argv[0] == nullptr) return;
  g_argument_start = argv[0];
  g_argument_end = argv[argc - 1] + strlen(argv[argc - 1]);
}

void set_state(const char* text, const char* suffix) {
  if (g_argument_start == nullptr || !g_title_prefix_set || base::g_settings.no_ps) return;
  write_title(text, suffix);
  if (base::g_settings.verbosity > 3) {
    message(kNotice, "state: %s%s", text, suffix != nullptr ? suffix : "");
  }
}

}  // namespace report
