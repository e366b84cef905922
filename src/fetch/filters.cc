#include "fetch/filters.h"

#include <fcntl.h>
#include <poll.h>
#include <unistd.h>
#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <string>

#include "base/settings.h"
#include "nntp/connection.h"
#include "report/message.h"
#include "report/title.h"
#include "sys/children.h"
#include "sys/signals.h"
#include "sys/timed_io.h"

namespace fetch {

namespace {

using report::message;

constexpr const char* kDevNull = "/dev/null";

// Verdicts of the full filter (the codes an NNTP server gives IHAVE, RFC 977).
constexpr long kFilterAccepts = 335;
constexpr long kFilterRefuses = 435;

// The full filter: a connection whose read side is the program's standard
// output and whose write side is its standard input.
nntp::Connection g_filter;
bool g_filter_open = false;

const char* filter_command() {
  return base::text_or_empty(base::g_settings.filter);
}

void start_filter() {
  report::set_state("open filter");
  sys::CoprocessEnds ends;
  sys::spawn_coprocess(filter_command(), &ends);
  nntp::adopt_coprocess(&ends, &g_filter);
  // Writes must never block beyond the time-out: a filter that stops reading
  // leaves the pipe full, and the wait for room is what the time-out bounds.
  if (g_filter.write_fd >= 0) {
    fcntl(g_filter.write_fd, F_SETFL, fcntl(g_filter.write_fd, F_GETFL) | O_NONBLOCK);
  }
  g_filter_open = true;
}

// Sends what the filter's write buffer holds, waiting for room in the pipe no
// longer than the time-out. False, with errno set, when the filter has gone
// or does not read. The buffer is emptied either way.
bool send_buffered() {
  nntp::OutputStream& out = g_filter.write_stream;
  const size_t used = out.used;
  out.used = 0;
  if (used == 0) return true;
  sys::check_signals();
  const int64_t deadline = sys::timed_deadline();
  size_t sent = 0;
  while (sent < used) {
    if (!sys::wait_descriptor(g_filter.write_fd, POLLOUT, deadline)) {
      errno = ETIMEDOUT;
      return false;
    }
    const ssize_t wrote =
        sys::write_without_sigpipe(g_filter.write_fd, out.data.data() + sent, used - sent);
    if (wrote > 0) {
      sent += static_cast<size_t>(wrote);
      continue;
    }
    if (wrote < 0 && (errno == EINTR || errno == EAGAIN || errno == EWOULDBLOCK)) continue;
    if (wrote == 0) errno = EPIPE;
    return false;
  }
  return true;
}

// Adds data to the filter's write buffer, sending it whenever the buffer fills.
bool append_to_filter(const char* data, size_t length) {
  nntp::OutputStream& out = g_filter.write_stream;
  while (length > 0) {
    if (out.used == out.data.size() && !send_buffered()) return false;
    const size_t take = std::min(length, out.data.size() - out.used);
    memcpy(out.data.data() + out.used, data, take);
    out.used += take;
    data += take;
    length -= take;
  }
  return true;
}

// The number a verdict line starts with (after blanks); 0 when there is none.
long verdict_code(const char* line) {
  while (*line == ' ' || *line == '\t') ++line;
  if (!isdigit(static_cast<unsigned char>(*line))) return 0;
  return strtol(line, nullptr, 10);
}

}  // namespace

void format_mfilter_command(char* buffer, const char* command, const char* message_id) {
  const int used = snprintf(buffer, kMfilterLineMax, "%*.*s \"", kMfilterCommandWidth,
                            kMfilterCommandWidth, command);
  const size_t id_length = strnlen(message_id, kMfilterIdWidth);
  char* out = buffer + used;
  for (size_t pad = id_length; pad < static_cast<size_t>(kMfilterIdWidth); ++pad) *out++ = ' ';
  for (size_t i = 0; i < id_length; ++i) {
    const char c = message_id[i];
    // Inside double quotes the shell still expands these; a server must not
    // be able to run commands here through a crafted message ID.
    if (c == '"' || c == '\\' || c == '$' || c == '`') *out++ = '\\';
    *out++ = c;
  }
  *out++ = '"';
  *out = '\0';
}

bool mfilter_rejects(const char* message_id) {
  const base::Settings& s = base::g_settings;
  if (!base::has_text(s.mfilter)) return false;
  report::set_state("mfilter");
  const int in_fd = open(kDevNull, O_RDWR | O_CLOEXEC);
  if (in_fd < 0) {
    message(report::kSysError, "can't open \"%s\"", kDevNull);
    return false;
  }
  const int out_fd = fcntl(in_fd, F_DUPFD_CLOEXEC, 0);
  static char command_line[kMfilterLineMax];
  format_mfilter_command(command_line, s.mfilter->c_str(), message_id);
  const int status = sys::run_script(command_line, in_fd, out_fd >= 0 ? out_fd : in_fd);
  close(in_fd);
  if (out_fd >= 0) close(out_fd);
  if (status != 0) {
    message(report::kProgress, "filtering %s", message_id);
    return true;
  }
  message(report::kDetail, "no filter for %s", message_id);
  return false;
}

void filter_feed_line(const char* line, size_t length) {
  // A filter stopped part way through an article is not given the rest of it.
  if (!base::has_text(base::g_settings.filter)) return;
  if (!g_filter_open) start_filter();
  if (append_to_filter(line, length)) return;
  message(report::kSysError, "filter stopped: %s", filter_command());
  if (g_filter_open) filter_stop();
}

bool filter_verdict(const char* article_number) {
  if (!g_filter_open) return false;
  if (!send_buffered()) {
    message(report::kSysError, "pipe to filter \"%s\" died", filter_command());
    filter_stop();
    return false;
  }
  message(report::kDetail, "get filter status");
  char line[kFilterVerdictMax];
  if (!nntp::read_line(line, static_cast<int>(sizeof line), &g_filter)) {
    filter_stop();
    return false;
  }
  size_t length = strlen(line);
  while (length > 0 && (line[length - 1] == '\n' || line[length - 1] == '\r')) line[--length] = 0;
  switch (verdict_code(line)) {
    case kFilterAccepts:
      message(report::kDetail, "accepting %s", article_number);
      return false;
    case kFilterRefuses:
      message(report::kProgress, "filtering %s", article_number);
      return true;
    default:
      message(report::kError, "strange filter response: %s", line);
      filter_stop();
      return false;
  }
}

void filter_stop() {
  report::set_state("stop filter");
  // Text a failed filter was not given is of no use to it any more.
  g_filter.write_stream.used = 0;
  nntp::close_connection(&g_filter);
  g_filter_open = false;
  base::g_settings.filter.reset();
}

}  // namespace fetch
