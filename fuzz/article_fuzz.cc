// Reading fetched articles (fetch::read_article) with the Path and header
// checks, storing into rnews batches in a scratch INCOMING directory. Input:
// a first byte of settings (bit 0 --tag, bit 1 --no-path, bit 2
// --keep-fake, bit 3 the program's own name among the excluded sites, bit 4
// "relay" among them too; "upstream" always is), then what the server sends
// after its 220 replies. Articles are read until one read fails, at most
// kArticlesMax.
//
// Properties: each article's result, the bytes it takes from the server and
// what is stored are those of a second reader written from the documented
// rules: dot-stuffing undone on a line's first piece (5119 bytes), a line
// "." followed by CR or LF ends the article, the CRs before a line's LF
// dropped, header lines looked at whole until the first line starting with
// CR or LF; a Message-ID ("M" exactly, the rest in any case) starting with
// "<fake@" drops the article; a Path with an excluded site (or --no-path)
// accepts it, --tag or the special exclude put "tessu!" in front unless the
// line came longer than 5112 bytes (then the article is dropped), no Path or
// a Path without a site stops the transfer. A stored article is one batch
// entry "#! rnews N\n" with N its exact length and nothing else is left in
// INCOMING; the counters of fetched, fake and gross bytes move as they
// should; the article buffer stays within its limit; the run never exits.
#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "base/settings.h"
#include "fetch/article.h"
#include "fetch/spool.h"
#include "groups/newsfeeds.h"
#include "nntp/connection.h"
#include "report/stats.h"
#include "support/fuzz_support.h"

namespace {

constexpr int kArticlesMax = 8;
constexpr size_t kPiece = fetch::kArticleLineMax - 1;
constexpr const char* kSpoolName = "fuzz";

// The scratch INCOMING directory.
std::string g_incoming;

void remove_incoming() {
  if (g_incoming.empty()) return;
  if (DIR* dir = opendir(g_incoming.c_str())) {
    while (const dirent* entry = readdir(dir)) {
      if (entry->d_name[0] != '.' || strncmp(entry->d_name, ".tmp.", 5) == 0) {
        unlink((g_incoming + "/" + entry->d_name).c_str());
      }
    }
    closedir(dir);
  }
  rmdir(g_incoming.c_str());
}

void set_up_once() {
  if (!g_incoming.empty()) return;
  // In memory where possible: every stored article is a batch made and published.
  const char* tmp = getenv("TMPDIR");
  std::string base = access("/dev/shm", W_OK) == 0    ? "/dev/shm"
                     : tmp != nullptr && *tmp != '\0' ? tmp
                                                      : "/tmp";
  std::string name = base + "/tessu-fuzz-incoming-XXXXXX";
  FUZZ_CHECK(mkdtemp(name.data()) != nullptr);
  g_incoming = name;
  atexit(remove_incoming);
}

// The files in INCOMING now.
std::vector<std::string> incoming_files() {
  std::vector<std::string> names;
  DIR* dir = opendir(g_incoming.c_str());
  FUZZ_CHECK(dir != nullptr);
  while (const dirent* entry = readdir(dir)) {
    if (strcmp(entry->d_name, ".") != 0 && strcmp(entry->d_name, "..") != 0) {
      names.emplace_back(entry->d_name);
    }
  }
  closedir(dir);
  return names;
}

std::string take_file(const std::string& name) {
  const std::string path = g_incoming + "/" + name;
  std::string text;
  const int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
  FUZZ_CHECK(fd >= 0);
  char block[65536];
  ssize_t got;
  while ((got = read(fd, block, sizeof block)) > 0) text.append(block, static_cast<size_t>(got));
  close(fd);
  unlink(path.c_str());
  return text;
}

struct Flags {
  bool tag;
  bool no_path;
  bool keep_fake;
  bool special;
  std::vector<std::string> sites;
};

enum class Outcome { kStored, kDropped, kPathFailure, kReadFailure };

struct Article {
  Outcome outcome = Outcome::kReadFailure;
  size_t taken = 0;  // bytes read from the server
  bool fake = false;
  std::string stored;
};

char lower(char c) {
  return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c;
}

// text starts with the lower-case word, in any case.
bool starts_with_any_case(std::string_view text, std::string_view word) {
  if (text.size() < word.size()) return false;
  for (size_t i = 0; i < word.size(); ++i) {
    if (lower(text[i]) != word[i]) return false;
  }
  return true;
}

bool is_c_space(char c) {
  return c == ' ' || c == '\t' || c == '\n' || c == '\v' || c == '\f' || c == '\r';
}

bool has_site(std::string_view value, const Flags& flags) {
  value = value.substr(0, std::min(value.size(), value.find_first_of("\r\n")));
  for (std::string_view element : fuzz::split(value, '!')) {
    if (element.empty()) continue;
    for (const std::string& site : flags.sites) {
      if (element == site) return true;
    }
  }
  return false;
}

// The documented reader over what the server sends from text on.
Article expected_article(std::string_view text, const Flags& flags) {
  Article article;
  int fake = 0;
  int path = -1;
  bool in_header = true;
  size_t at = 0;
  for (;;) {
    if (at == text.size()) {
      article.taken = at;
      article.stored.clear();
      return article;  // the stream ended inside the article
    }
    const size_t newline = text.find('\n', at);
    std::string_view line =
        text.substr(at, newline == std::string_view::npos ? newline : newline + 1 - at);
    if (line.size() > 1 && line[0] == '.') {
      if (line[1] == '\r' || line[1] == '\n') {
        // The end line: only its first piece is read.
        article.taken = at + std::min(line.size(), kPiece);
        break;
      }
      if (line[1] == '.') line.remove_prefix(1);
    }
    if (newline == std::string_view::npos) {
      article.taken = text.size();
      article.stored.clear();
      return article;  // its last line is never ended
    }
    at = newline + 1;
    const size_t received = line.size();
    std::string stored(line.substr(0, line.size() - 1));
    while (!stored.empty() && stored.back() == '\r') stored.pop_back();
    stored += '\n';

    if (in_header) {
      if (stored[0] == '\r' || stored[0] == '\n') {
        in_header = false;
      } else if (stored[0] == 'M' && !flags.keep_fake &&
                 starts_with_any_case(stored, "message-id:")) {
        size_t p = 11;
        while (p < stored.size() && is_c_space(stored[p])) ++p;
        if (starts_with_any_case(std::string_view(stored).substr(p), "<fake@")) fake = 1;
      } else if (stored[0] == 'P' && starts_with_any_case(stored, "path:")) {
        size_t value_at = 5;
        while (value_at < stored.size() && (stored[value_at] == ' ' || stored[value_at] == '\t')) {
          ++value_at;
        }
        const std::string value = stored.substr(value_at);
        path = flags.no_path || has_site(value, flags) ? 1 : 0;
        if (flags.tag || (!flags.no_path && path == 0 && flags.special)) {
          if (received > static_cast<size_t>(fetch::kMaxHeaderSize)) {
            fake = -1;
          } else {
            stored = std::string("Path: ") + groups::kOwnSiteName + "!" + value;
            if (flags.special) path = 1;
          }
        }
      }
    }
    article.stored += stored;
  }

  if (fake == 1) {
    article.outcome = Outcome::kDropped;
    article.fake = true;
  } else if (fake == -1) {
    article.outcome = Outcome::kDropped;
  } else if (flags.no_path || path == 1) {
    article.outcome = Outcome::kStored;
  } else {
    article.outcome = Outcome::kPathFailure;
  }
  if (article.outcome != Outcome::kStored) article.stored.clear();
  return article;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size == 0) return 0;
  set_up_once();
  const uint8_t bits = data[0];
  const std::string_view text = fuzz::as_text(data + 1, size - 1);

  Flags flags;
  flags.tag = (bits & 1) != 0;
  flags.no_path = (bits & 2) != 0;
  flags.keep_fake = (bits & 4) != 0;
  flags.special = (bits & 8) != 0;
  flags.sites = {"upstream"};
  if ((bits & 16) != 0) flags.sites.push_back("relay");
  if (flags.special) flags.sites.push_back(groups::kOwnSiteName);

  fuzz::reset_settings();
  base::Settings& s = base::g_settings;
  s.paths.incoming = g_incoming;
  s.spool_name = kSpoolName;
  s.server_host = "news.example";
  s.inn_mode = true;
  s.timeout = 30;
  s.tag = flags.tag;
  s.no_path = flags.no_path;
  s.keep_fake = flags.keep_fake;
  // Newest first, as the newsfeeds reader adds them.
  groups::g_excluded_sites.assign(flags.sites.rbegin(), flags.sites.rend());
  groups::g_special_exclude = flags.special;
  report::g_counters = report::Counters{};

  fuzz::serve_connection(text);

  size_t at = 0;
  for (int n = 1; n <= kArticlesMax; ++n) {
    const Article expected = expected_article(text.substr(at), flags);
    const report::Counters before = report::g_counters;
    const bool result = fetch::read_article(n, "fuzz.test");

    const bool expected_result =
        expected.outcome == Outcome::kStored || expected.outcome == Outcome::kDropped;
    FUZZ_CHECK(result == expected_result);
    const report::Counters& after = report::g_counters;
    FUZZ_CHECK(after.grossbyt - before.grossbyt == static_cast<int64_t>(expected.taken));
    FUZZ_CHECK(after.fetc - before.fetc == (expected.outcome == Outcome::kStored ? 1 : 0));
    FUZZ_CHECK(after.fake - before.fake == (expected.fake ? 1 : 0));
    const size_t capacity = fetch::article_buffer_capacity();
    FUZZ_CHECK(capacity % fetch::kArticleBufferStep == 0 && capacity <= fetch::kArticleSizeMax);
    FUZZ_CHECK(capacity >= expected.stored.size());

    FUZZ_CHECK(fetch::flush_spool(false));
    const std::vector<std::string> files = incoming_files();
    if (expected.stored.empty()) {
      FUZZ_CHECK(files.empty());
    } else {
      FUZZ_CHECK(files.size() == 1);
      FUZZ_CHECK(files[0].size() == strlen(kSpoolName) + 6 &&
                 files[0].compare(0, strlen(kSpoolName), kSpoolName) == 0);
      const std::string batch = take_file(files[0]);
      FUZZ_CHECK(batch ==
                 "#! rnews " + std::to_string(expected.stored.size()) + "\n" + expected.stored);
    }
    at += expected.taken;
    if (expected.outcome == Outcome::kReadFailure) break;
  }
  return 0;
}
