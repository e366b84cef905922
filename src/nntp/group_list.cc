#include "nntp/group_list.h"

#include <sys/types.h>
#include <cctype>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <string>

#include "base/settings.h"
#include "base/status.h"
#include "groups/active.h"
#include "nntp/connection.h"
#include "nntp/replies.h"
#include "report/exit.h"
#include "report/message.h"
#include "report/stats.h"
#include "report/title.h"
#include "sys/children.h"
#include "sys/signals.h"

namespace nntp {

namespace {

using report::message;

// Body lines are read in pieces of this size, terminator included (RFC 3977
// 3.1.1 keeps lines within 512 octets); the pieces of a longer line are put
// back together rather than taken for lines of their own.
constexpr int kListPieceMax = 512;

// The flag of a LIST line that gives none.
constexpr char kDefaultFlag = 'y';

enum class ListMode { kGroups, kDescriptions };

// One destination of a list: its name as given (null when not asked for),
// and while the body is copied its stream and the command behind it.
struct ListOutput {
  const char* destination = nullptr;
  FILE* stream = nullptr;
  pid_t pid = -1;
};

const char* destination_of(const base::Text& setting) {
  return setting ? setting->c_str() : nullptr;
}

// Opens the destination, if one was asked for; ends the run when it cannot be.
void open_or_end(ListOutput* output) {
  if (output->destination == nullptr) return;
  output->stream = sys::open_output(output->destination, &output->pid);
  if (output->stream == nullptr) report::exit_run(base::kStatusConfig);
}

// Closes the destination (waiting for its command); ends the run when a file
// cannot be finished. A command's exit status is its own business.
void close_or_end(ListOutput* output) {
  if (output->destination == nullptr) return;
  const int result = sys::close_output(output->stream, output->pid);
  output->stream = nullptr;
  output->pid = -1;
  if (result < 0) report::exit_run(base::kStatusConfig);
}

// Gives up a destination whose list is incomplete: a file keeps its last
// complete contents.
void abandon(ListOutput* output) {
  if (output->destination == nullptr) return;
  sys::abandon_output(output->stream, output->pid);
  output->stream = nullptr;
  output->pid = -1;
}

[[noreturn]] void write_failed(ListOutput* output) {
  // An interrupt that cut the write short ends the run as interrupts do.
  if (errno == EINTR) sys::check_signals();
  message(report::kSysError, "error writing to \"%s\"", output->destination);
  sys::abandon_output(output->stream, -1);
  output->stream = nullptr;
  report::exit_run(base::kStatusConfig);
}

void write_or_end(ListOutput* output, const std::string& text) {
  if (fwrite(text.data(), 1, text.size(), output->stream) != text.size()) write_failed(output);
}

// Whether a LIST line's text after the group name starts with a number
// (possibly a garbled one).
bool starts_number(const char* p) {
  return isdigit(static_cast<unsigned char>(*p)) || *p == '-' || *p == '+';
}

const char* skip_list_blanks(const char* p) {
  while (*p == ' ' || *p == '\t') ++p;
  return p;
}

// Reads the highest and lowest article number and the flag that follow the
// group name of a LIST line into flag (left as it is when the numbers or the
// flag are missing); false when the numbers are garbled (negative, too large,
// followed by junk, or the highest below the lowest - 1).
bool read_list_figures(const char* text, char* flag) {
  int64_t high = 0;
  int64_t low = 0;
  const char* p = skip_list_blanks(text);
  if (!starts_number(p)) return true;
  if (!parse_article_number(p, &high, &p)) return false;
  p = skip_list_blanks(p);
  if (!starts_number(p)) return true;
  if (!parse_article_number(p, &low, &p)) return false;
  if (high < low - 1) return false;
  p = skip_list_blanks(p);
  if (*p != '\0') *flag = *p;
  return true;
}

// Reads the next body line into line, the line end kept; false when it could
// not be read.
bool read_body_line(std::string* line) {
  line->clear();
  char piece[kListPieceMax];
  for (;;) {
    if (!get_text_line(piece, sizeof piece)) return false;
    const size_t length = strlen(piece);
    report::g_counters.grossbyt += static_cast<int64_t>(length);
    line->append(piece, length);
    const bool cut = length == sizeof piece - 1 && piece[length - 1] != '\n';
    if (!cut) return true;
  }
}

// Copies one reply body to the selective and the full destination (either may
// be absent); 1 when the body was read to its end, 0 when a line could not be read.
int copy_list(ListOutput* full, ListOutput* selective, ListMode mode) {
  std::string line;
  std::string text;
  for (;;) {
    if (!read_body_line(&line)) return 0;
    if (line.size() >= 2 && line[0] == '.' && (line[1] == '\r' || line[1] == '\n')) return 1;
    while (!line.empty() && (line.back() == '\r' || line.back() == '\n')) line.pop_back();
    const size_t separator = line.find_first_of(" \t");
    // A line without a group name before a blank or tab is nothing we can use.
    if (separator == std::string::npos || separator == 0) continue;
    const std::string group = line.substr(0, separator);

    bool selected = false;
    if (mode == ListMode::kGroups) {
      char flag = kDefaultFlag;
      if (!read_list_figures(line.c_str() + separator + 1, &flag)) {
        message(report::kError, "NNTP bad newsgroup list line: \"%s\"", line.c_str());
        continue;
      }
      text = group + ' ' + flag + '\n';
      selected = selective->stream != nullptr && !groups::group_known(group.c_str());
    } else {
      text = line + '\n';
      selected = selective->stream != nullptr && groups::group_known(group.c_str());
    }
    if (selected) write_or_end(selective, text);
    if (full->stream != nullptr) write_or_end(full, text);
  }
}

// SIGPIPE held back while a list is copied: a command that stops reading
// makes the write fail, and the run end through its exit path, instead of
// killing the program.
struct HeldPipeSignal {
  sigset_t previous;
  bool was_pending = false;
};

HeldPipeSignal hold_pipe_signal() {
  HeldPipeSignal held;
  sigset_t pipe_only;
  sigemptyset(&pipe_only);
  sigaddset(&pipe_only, SIGPIPE);
  sigset_t pending;
  sigpending(&pending);
  held.was_pending = sigismember(&pending, SIGPIPE) == 1;
  sigprocmask(SIG_BLOCK, &pipe_only, &held.previous);
  return held;
}

void release_pipe_signal(const HeldPipeSignal& held) {
  sigset_t pipe_only;
  sigemptyset(&pipe_only);
  sigaddset(&pipe_only, SIGPIPE);
  if (!held.was_pending) {
    struct timespec no_wait = {0, 0};
    sigtimedwait(&pipe_only, nullptr, &no_wait);
  }
  sigprocmask(SIG_SETMASK, &held.previous, nullptr);
}

// The reply to LIST or LIST NEWSGROUPS: the destinations are opened only when
// the body follows, and files take their new contents only when all of it came.
int copy_reply(const char* line, ListMode mode) {
  const base::Settings& s = base::g_settings;
  const bool groups = mode == ListMode::kGroups;
  if (reply_code(line) != kListFollows) {
    if (groups) {
      message(report::kError, "NNTP can't get newsgroup list, got \"%s\"", line);
    } else {
      message(report::kError, "NNTP can't get newsgroup descriptions, got \"%s\"", line);
    }
    return 0;
  }
  ListOutput full;
  ListOutput selective;
  full.destination = destination_of(groups ? s.list : s.alldesc);
  selective.destination = destination_of(groups ? s.newlist : s.desc);
  open_or_end(&full);
  open_or_end(&selective);

  const HeldPipeSignal held = hold_pipe_signal();
  const int copied = copy_list(&full, &selective, mode);
  if (copied) {
    close_or_end(&full);
    close_or_end(&selective);
  } else {
    abandon(&full);
    abandon(&selective);
  }
  release_pipe_signal(held);
  return copied;
}

int list_handler(const char* line, int64_t, const char*) {
  return copy_reply(line, ListMode::kGroups);
}

int description_handler(const char* line, int64_t, const char*) {
  return copy_reply(line, ListMode::kDescriptions);
}

// Sends the command with its reply left to the reply window.
void request(const char* command, ReplyHandler handler) {
  if (base::g_settings.dry_run) {
    // Without a connection no list comes back; the command is only traced.
    put_line(command);
    return;
  }
  if (!queue_command(command, handler, 0, "")) report::exit_run(base::kStatusBroken);
}

}  // namespace

void get_group_list() {
  const base::Settings& s = base::g_settings;
  if (!s.list && !s.newlist) return;
  report::set_state("get list");
  if (s.list) message(report::kProgress, "get full list to %s", s.list->c_str());
  if (s.newlist) message(report::kProgress, "get new list to %s", s.newlist->c_str());
  request("LIST", list_handler);
}

void get_descriptions() {
  const base::Settings& s = base::g_settings;
  if (!s.desc && !s.alldesc) return;
  report::set_state("get desc");
  if (s.desc) message(report::kProgress, "get descriptions to %s", s.desc->c_str());
  if (s.alldesc) message(report::kProgress, "get all descriptions to %s", s.alldesc->c_str());
  request("LIST NEWSGROUPS", description_handler);
}

}  // namespace nntp
