#include "newssys/commands.h"

#include <cinttypes>
#include <cstdio>
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

}  // namespace

void format_ctlinnd_timeout(CtlinndTimeoutBuffer& dest, int64_t seconds) {
  snprintf(dest, sizeof dest, "-t%" PRId64, seconds);
}

sys::ArgVector ctlinnd_arguments(const char* path, const char* timeout_arg, const char* command,
                                 const char* argument) {
  return sys::arguments_until_null({path, kCtlinndSilent, timeout_arg, command, argument});
}

int run_ctlinnd(const char* command, const char* argument) {
  CtlinndTimeoutBuffer timeout_arg;
  format_ctlinnd_timeout(timeout_arg, sys::effective_timeout());

  const base::Settings& s = base::g_settings;
  const char* newsbin = s.paths.newsbin ? s.paths.newsbin->c_str() : kDefaultNewsBin;
  const char* override_name = s.ctlinnd ? s.ctlinnd->c_str() : nullptr;
  report::PathBuffer path;
  report::resolve_path(path, newsbin, kCtlinndName, override_name);
  return sys::run_program_waited(path, ctlinnd_arguments(path, timeout_arg, command, argument));
}

}  // namespace newssys
