#include "report/message.h"

#include <syslog.h>
#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstring>

#include "base/settings.h"

namespace report {

namespace {

int g_dot_count = 0;

void end_dots_if_any() {
  if (g_dot_count != 0) end_dots();
}

// Progress and detail lines, and the trace, are written straight through the format.
void write_plain(const char* prefix, bool newline, const char* format, va_list args) {
  end_dots_if_any();
  fputs(prefix, stderr);
  vfprintf(stderr, format, args);
  if (newline) fputc('\n', stderr);
  fflush(stderr);
}

void write_notice(const char* format, va_list args) {
  char text[kMessageMax + 1];
  vsnprintf(text, sizeof text, format, args);
  if (base::g_settings.verbosity != 0) {
    end_dots_if_any();
    fprintf(stderr, "%s\n", text);
    fflush(stderr);
  } else {
    syslog(LOG_INFO, "%s\n", text);
  }
}

void write_error(bool with_errno, int saved_errno, const char* format, va_list args) {
  char text[kMessageMax + 1];
  vsnprintf(text, sizeof text, format, args);
  const char* separator = with_errno ? ": " : "";
  const char* reason = with_errno ? strerror(saved_errno) : "";
  syslog(LOG_ERR, "%s%s%s\n", text, separator, reason);
  end_dots_if_any();
  fprintf(stderr, "%s: %s%s%s\n", base::g_settings.program_name.c_str(), text, separator, reason);
  fflush(stderr);
}

}  // namespace

void message(MessageClass cls, const char* format, ...) {
  const int saved_errno = errno;  // formatting must not change what is reported
  const int verbosity = base::g_settings.verbosity;
  va_list args;
  va_start(args, format);
  switch (cls) {
    case kProgress:
      if (verbosity >= 1) write_plain("", true, format, args);
      break;
    case kDetail:
      if (verbosity >= 5) write_plain("", true, format, args);
      break;
    case kNotice:
      write_notice(format, args);
      break;
    case kSent:
      if (verbosity >= 3) write_plain("->", false, format, args);
      break;
    case kReceived:
      if (verbosity >= 3) write_plain("<- ", false, format, args);
      break;
    case kError:
    case kSysError:
      write_error(cls == kSysError, saved_errno, format, args);
      break;
  }
  va_end(args);
  errno = saved_errno;
}

void open_log() {
  // syslog keeps the pointer, so the identity must outlive any later setting change.
  static char ident[256];
  snprintf(ident, sizeof ident, "%s", base::g_settings.program_name.c_str());
  openlog(ident, LOG_PID, LOG_NEWS);
}

void progress_dot() {
  fputc('.', stderr);
  fflush(stderr);
  ++g_dot_count;
}

void end_dots() {
  fputc('\n', stderr);
  fflush(stderr);
  g_dot_count = 0;
}

int dot_count() {
  return g_dot_count;
}

const char* error_text(int errnum) {
  return strerror(errnum);
}

bool syntax_check(const char* line, int found, int expected, const char* file) {
  if (found == expected) return false;
  size_t length = strlen(line);
  if (length > 0 && line[length - 1] == '\n') --length;
  message(kError, "bad syntax in %s (item %d of %d) \"%.*s\"", file, found + 1, expected,
          static_cast<int>(length), line);
  return true;
}

}  // namespace report
