// The replies to LIST and LIST NEWSGROUPS (nntp::get_group_list and
// get_descriptions, taken through the reply window), written to a file in a
// scratch directory that holds an older list. Input: a first byte whose bit
// 0 picks LIST NEWSGROUPS, then what the server sends (status line and
// body).
//
// Properties: the handler succeeds exactly when the status line has the code
// 215 and the body is read to its end line; then the file holds what a
// second reader written from the documented rules makes of the body (lines
// read in pieces of 511 bytes that are joined again, each piece a C string;
// CRs and LFs at the end dropped; lines without a group name before a blank
// or tab skipped; LIST: "group flag", the flag 'y' when the line gives none,
// a line whose numbers are not article numbers with high >= low - 1 left out;
// LIST NEWSGROUPS: the line itself), else the older list is untouched; no
// temporary file is left; the gross bytes count the status line and every
// body piece read; the run never exits.
#include <dirent.h>
#include <fcntl.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <optional>
#include <string>
#include <vector>

#include "base/settings.h"
#include "nntp/connection.h"
#include "nntp/group_list.h"
#include "nntp/replies.h"
#include "report/stats.h"
#include "support/fuzz_support.h"

namespace {

constexpr size_t kPiece = 511;
constexpr size_t kStatusKept = nntp::kStatusLineMax;
constexpr const char* kOlderList = "older.list y\n";

std::string g_directory;
std::string g_list_path;

void remove_directory() {
  if (g_directory.empty()) return;
  if (DIR* dir = opendir(g_directory.c_str())) {
    while (const dirent* entry = readdir(dir)) {
      if (strcmp(entry->d_name, ".") != 0 && strcmp(entry->d_name, "..") != 0) {
        unlink((g_directory + "/" + entry->d_name).c_str());
      }
    }
    closedir(dir);
  }
  rmdir(g_directory.c_str());
}

void set_up_once() {
  if (!g_directory.empty()) return;
  const char* tmp = getenv("TMPDIR");
  std::string base = access("/dev/shm", W_OK) == 0    ? "/dev/shm"
                     : tmp != nullptr && *tmp != '\0' ? tmp
                                                      : "/tmp";
  std::string name = base + "/tessu-fuzz-list-XXXXXX";
  FUZZ_CHECK(mkdtemp(name.data()) != nullptr);
  g_directory = name;
  g_list_path = name + "/list";
  atexit(remove_directory);
}

void write_file(const std::string& path, std::string_view text) {
  const int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
  FUZZ_CHECK(fd >= 0);
  FUZZ_CHECK(write(fd, text.data(), text.size()) == static_cast<ssize_t>(text.size()));
  close(fd);
}

std::string read_file(const std::string& path) {
  std::string text;
  const int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
  FUZZ_CHECK(fd >= 0);
  char block[65536];
  ssize_t got;
  while ((got = read(fd, block, sizeof block)) > 0) text.append(block, static_cast<size_t>(got));
  close(fd);
  return text;
}

size_t file_count() {
  size_t count = 0;
  DIR* dir = opendir(g_directory.c_str());
  FUZZ_CHECK(dir != nullptr);
  while (const dirent* entry = readdir(dir)) {
    if (strcmp(entry->d_name, ".") != 0 && strcmp(entry->d_name, "..") != 0) ++count;
  }
  closedir(dir);
  return count;
}

bool is_digit(char c) {
  return c >= '0' && c <= '9';
}

bool is_blank(char c) {
  return c == ' ' || c == '\t';
}

// An article number at text[*at] (digits that end the field), *at moved behind it.
std::optional<int64_t> article_number(const std::string& text, size_t* at) {
  if (*at == text.size() || !is_digit(text[*at])) return std::nullopt;
  int64_t value = 0;
  for (; *at < text.size() && is_digit(text[*at]); ++*at) {
    const int digit = text[*at] - '0';
    if (value > (nntp::kArticleNumberMax - digit) / 10) return std::nullopt;
    value = value * 10 + digit;
  }
  if (*at < text.size() && !is_blank(text[*at]) && text[*at] != '\r' && text[*at] != '\n') {
    return std::nullopt;
  }
  return value;
}

// The flag of a LIST line's text after the group name; nullopt when its
// numbers are not article numbers or high is below low - 1.
std::optional<char> list_flag(const std::string& text) {
  size_t at = 0;
  while (at < text.size() && is_blank(text[at])) ++at;
  auto starts_number = [&] {
    return at < text.size() && (is_digit(text[at]) || text[at] == '-' || text[at] == '+');
  };
  if (!starts_number()) return 'y';
  const std::optional<int64_t> high = article_number(text, &at);
  if (!high) return std::nullopt;
  while (at < text.size() && is_blank(text[at])) ++at;
  if (!starts_number()) return 'y';
  const std::optional<int64_t> low = article_number(text, &at);
  if (!low || *high < *low - 1) return std::nullopt;
  while (at < text.size() && is_blank(text[at])) ++at;
  return at < text.size() ? text[at] : 'y';
}

struct Expected {
  bool copied = false;
  std::string list;
  int64_t counted = 0;  // gross bytes
};

Expected expected_reply(std::string_view text, bool descriptions) {
  Expected expected;
  // The status line, as get_line reads it.
  const size_t newline = text.find('\n');
  const size_t length = newline == std::string_view::npos ? text.size() : newline + 1;
  // A status line the stream ends in leaves no body to read.
  if (newline == std::string_view::npos || length > static_cast<size_t>(nntp::kStatusLineReadMax)) {
    return expected;
  }
  std::string status(text.substr(0, std::min(length, kStatusKept)));
  status.resize(strlen(status.c_str()));
  while (!status.empty() && (status.back() == '\r' || status.back() == '\n')) status.pop_back();
  expected.counted = static_cast<int64_t>(length);
  if (nntp::reply_code(status.c_str()) != nntp::kListFollows) return expected;
  text.remove_prefix(length);

  for (;;) {
    std::string line;
    for (;;) {
      if (text.empty()) return expected;  // the body never ends
      size_t piece_length = std::min(text.size(), kPiece);
      const size_t end = text.substr(0, piece_length).find('\n');
      if (end != std::string_view::npos) piece_length = end + 1;
      std::string piece(text.substr(0, piece_length));
      text.remove_prefix(piece_length);
      piece.resize(strlen(piece.c_str()));
      expected.counted += static_cast<int64_t>(piece.size());
      line += piece;
      if (piece.size() != kPiece || piece.back() == '\n') break;
    }
    if (line.size() >= 2 && line[0] == '.' && (line[1] == '\r' || line[1] == '\n')) break;
    while (!line.empty() && (line.back() == '\r' || line.back() == '\n')) line.pop_back();
    const size_t separator = line.find_first_of(" \t");
    if (separator == std::string::npos || separator == 0) continue;
    if (descriptions) {
      expected.list += line + '\n';
      continue;
    }
    const std::optional<char> flag = list_flag(line.substr(separator + 1));
    if (flag) expected.list += line.substr(0, separator) + ' ' + *flag + '\n';
  }
  expected.copied = true;
  return expected;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size == 0) return 0;
  set_up_once();
  const bool descriptions = (data[0] & 1) != 0;
  const std::string_view text = fuzz::as_text(data + 1, size - 1);

  fuzz::reset_settings();
  base::Settings& s = base::g_settings;
  s.timeout = 30;
  s.window = 10;  // the reply is taken below, as the next command would
  if (descriptions) {
    s.alldesc = g_list_path;
  } else {
    s.list = g_list_path;
  }
  nntp::g_reply_window = nntp::ReplyWindow{};
  report::g_counters = report::Counters{};
  write_file(g_list_path, kOlderList);
  fuzz::serve_connection(text);

  if (descriptions) {
    nntp::get_descriptions();
  } else {
    nntp::get_group_list();
  }
  const int64_t sent = report::g_counters.grossbyt;
  const int handled = nntp::take_reply();
  // A reply whose status line never came keeps its command outstanding.
  FUZZ_CHECK(nntp::g_reply_window.count <= 1);
  FUZZ_CHECK(nntp::g_reply_window.count == 0 || handled == 0);

  const Expected expected = expected_reply(text, descriptions);
  FUZZ_CHECK(handled == (expected.copied ? 1 : 0));
  FUZZ_CHECK(read_file(g_list_path) == (expected.copied ? expected.list : kOlderList));
  FUZZ_CHECK(file_count() == 1);
  if (expected.copied) FUZZ_CHECK(report::g_counters.grossbyt - sent == expected.counted);
  return 0;
}
