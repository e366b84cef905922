#include "newssys/commands.h"

#include <sys/wait.h>
#include <cctype>
#include <cerrno>
#include <cinttypes>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <string>

#include "base/settings.h"
#include "newssys/paths.h"
#include "report/message.h"
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

// The most of grephistory's answer that is read: one history line.
constexpr size_t kHistoryLineMax = 1024;

// A message-ID that can be handed to grephistory as it is: "<...>" without
// blanks or control characters, so that it is neither an option nor more
// than one word.
bool is_plain_message_id(const char* id) {
  const size_t length = strlen(id);
  if (length < 3 || id[0] != '<' || id[length - 1] != '>') return false;
  for (size_t i = 0; i < length; ++i) {
    const unsigned char c = static_cast<unsigned char>(id[i]);
    if (c <= ' ' || c == 0x7f) return false;
  }
  return true;
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

bool parse_history_arrival(const char* line, time_t* arrived) {
  const char* tab = strchr(line, '\t');
  if (tab == nullptr || !isdigit(static_cast<unsigned char>(tab[1]))) return false;
  char* end = nullptr;
  errno = 0;
  const long long seconds = strtoll(tab + 1, &end, 10);
  if (errno != 0 || (*end != '~' && *end != '\t' && *end != '\n' && *end != '\0')) return false;
  *arrived = static_cast<time_t>(seconds);
  return true;
}

bool stored_arrival(const char* message_id, time_t* arrived) {
  if (!is_plain_message_id(message_id)) {
    report::message(report::kError, "message-ID \"%s\" can't be looked up in the history",
                    message_id);
    return false;
  }
  report::PathBuffer path;
  newsbin_program(path, kGrephistoryName, nullptr);
  sys::ProgramOutput read;
  sys::read_program_output(path, sys::arguments_until_null({path, kGrephistoryLine, message_id}),
                           kHistoryLineMax, &read);
  const bool exited_well = read.end == sys::ProgramEnd::kExited && WIFEXITED(read.status) &&
                           WEXITSTATUS(read.status) == 0;
  const std::string line(read.output.begin(), read.output.end());
  if (!exited_well || !parse_history_arrival(line.c_str(), arrived)) {
    report::message(report::kError, "the history has no arrival time for %s", message_id);
    return false;
  }
  return true;
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
