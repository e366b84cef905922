#include "newssys/commands.h"

#include <cctype>
#include <cinttypes>
#include <cstdio>
#include <cstring>
#include <limits>

#include "base/settings.h"
#include "newssys/paths.h"
#include "report/util.h"
#include "sys/children.h"
#include "sys/timed_io.h"

namespace newssys {

namespace {

// "-t", an optional sign and the digits of the widest value, and the final null.
static_assert(2 + 1 + std::numeric_limits<int64_t>::digits10 + 1 + 1 <=
                  static_cast<int>(sizeof(CtlinndTimeoutBuffer)),
              "ctlinnd time-out argument buffer too small");

// The path of a program in NEWSBIN, or of override_name when it is given.
void newsbin_program(report::PathBuffer& path, const char* name, const char* override_name) {
  const base::Settings& s = base::g_settings;
  const char* newsbin = s.paths.newsbin ? s.paths.newsbin->c_str() : kDefaultNewsBin;
  report::resolve_path(path, newsbin, name, override_name);
}

}  // namespace

void format_ctlinnd_timeout(CtlinndTimeoutBuffer& dest, int64_t seconds) {
  snprintf(dest, sizeof dest, "-t%" PRId64, seconds);
}

sys::ArgVector ctlinnd_arguments(const char* path, const char* timeout_arg, const char* command,
                                 const char* argument) {
  return sys::arguments_until_null({path, kCtlinndSilent, timeout_arg, command, argument});
}

bool is_storage_token(const char* entry) {
  if (strlen(entry) != kStorageTokenDigits + 2) return false;
  if (entry[0] != '@' || entry[kStorageTokenDigits + 1] != '@') return false;
  for (size_t i = 1; i <= kStorageTokenDigits; ++i) {
    if (!isxdigit(static_cast<unsigned char>(entry[i]))) return false;
  }
  return true;
}

sys::ArgVector sm_arguments(const char* path, const char* token) {
  return sys::arguments_until_null({path, kSmQuiet, token});
}

void read_stored_article(const char* token, size_t limit, sys::ProgramOutput* result) {
  report::PathBuffer path;
  newsbin_program(path, kSmName, nullptr);
  sys::read_program_output(path, sm_arguments(path, token), limit, result);
}

int run_ctlinnd(const char* command, const char* argument) {
  CtlinndTimeoutBuffer timeout_arg;
  format_ctlinnd_timeout(timeout_arg, sys::effective_timeout());

  const base::Text& override_name = base::g_settings.ctlinnd;
  report::PathBuffer path;
  newsbin_program(path, kCtlinndName, override_name ? override_name->c_str() : nullptr);
  return sys::run_program_waited(path, ctlinnd_arguments(path, timeout_arg, command, argument));
}

}  // namespace newssys
