// The site configuration reader, newssys::read_config and newssys::apply_site_config:
// the news system's shell-variable file, read without a shell. Input: the
// file.
//
// Properties: every variable has a name of 1 to 30 characters and a value of
// at most 1023 characters without a newline; reading the file again gives the
// same variables; each variable written back in innconfval's single-quoted
// form ('Joe'\''s site') reads back to the same value; the site paths and INN
// mode are filled from the variables as the configuration table says.
//
// "eval" runs commands and "." reads any file the input names, so inputs with
// either are passed over (the unit tests cover both). A composed path longer
// than 1023 characters ends the run (status 1, as join_path does); values that
// could make one are not applied.
#include <cstdio>
#include <cstring>
#include <map>
#include <optional>
#include <string>
#include <string_view>

#include "base/settings.h"
#include "newssys/paths.h"
#include "newssys/site_config.h"
#include "support/fuzz_support.h"

namespace {

using base::Text;

std::map<std::string, std::string> read_variables(std::string_view text, bool* ok) {
  newssys::clear_variables();
  *ok = true;
  if (text.empty()) return {};
  std::vector<char> copy = fuzz::exact_copy(text);
  FILE* stream = fmemopen(copy.data(), text.size(), "r");
  FUZZ_CHECK(stream != nullptr);
  *ok = newssys::read_config(stream, "fuzz");
  fclose(stream);

  std::map<std::string, std::string> variables;  // the newest value of each name
  for (const auto& [name, value] : newssys::g_variables) {
    FUZZ_CHECK(!name.empty() && name.size() <= static_cast<size_t>(newssys::kVariableNameMax));
    FUZZ_CHECK(value.size() <= static_cast<size_t>(newssys::kConfigLineMax));
    FUZZ_CHECK(value.find('\n') == std::string::npos);
    const char* newest = newssys::lookup_variable(name.c_str());
    FUZZ_CHECK(newest != nullptr && newest == value);
    variables[name] = newest;
  }
  return variables;
}

// The value the configuration gives a setting: a value that is absent or a
// backquoted command leaves it as it was.
Text take(const Text& was, const char* value) {
  if (value == nullptr || value[0] == '`') return was;
  return std::string(value);
}
Text take(const Text& was, const Text& value) {
  return take(was, value ? value->c_str() : nullptr);
}

Text joined(const Text& first, const char* second) {
  return std::string(base::text_or_empty(first)) + second;
}

void check_applied(const base::SitePaths& was, int dbz_was) {
  using newssys::lookup_variable;
  const base::SitePaths& now = base::g_settings.paths;
  const bool inn = lookup_variable("INND") != nullptr;
  FUZZ_CHECK(base::g_settings.inn_mode == inn);
  base::SitePaths want = was;
  int dbz = dbz_was;
  if (lookup_variable("NEWSBIN") != nullptr && inn) {
    want.newshome = take(was.newshome, lookup_variable("NEWSHOME"));
    const char* pathetc = lookup_variable("PATHETC");
    want.pathetc =
        pathetc != nullptr ? take(was.pathetc, pathetc) : take(was.pathetc, want.newshome);
    want.newsbin = take(was.newsbin, lookup_variable("NEWSBIN"));
    want.spool = take(was.spool, lookup_variable("SPOOL"));
    want.batch = take(was.batch, lookup_variable("BATCH"));
    want.incoming = take(was.incoming, lookup_variable("INCOMING"));
    std::string spool = base::text_or_empty(want.spool);
    const size_t articles = spool.find("/articles");
    spool = articles != std::string::npos ? spool.substr(0, articles) + "/inhosts"
                                          : spool + "/in.hosts";
    want.inhosts = take(was.inhosts, spool.c_str());
    want.active = take(was.active, lookup_variable("ACTIVE"));
    want.history = take(was.history, lookup_variable("HISTORY"));
    want.locks = take(was.locks, lookup_variable("LOCKS"));
    want.newsfeeds = take(was.newsfeeds, lookup_variable("NEWSFEEDS"));
    if (const char* flag = lookup_variable("EXTENDEDDBZ")) {
      dbz = strcmp(flag, "true") == 0 || strcmp(flag, "yes") == 0 || strcmp(flag, "on") == 0;
    }
  } else if (lookup_variable("NEWSBIN") != nullptr) {
    const char* newsctl = lookup_variable("NEWSCTL");
    want.newsbin = take(was.newsbin, lookup_variable("NEWSBIN"));
    want.newshome = take(was.newshome, newsctl);
    want.pathetc = take(was.pathetc, want.newshome);
    want.spool = take(was.spool, lookup_variable("NEWSARTS"));
    want.batch = take(was.batch, joined(want.spool, "/out.going"));
    want.incoming = take(was.incoming, joined(want.spool, "/in.coming"));
    want.inhosts = take(was.inhosts, joined(want.spool, "/in.hosts"));
    want.active = take(was.active, joined(want.newshome, "/active"));
    want.history = take(was.history, joined(want.newshome, "/history"));
    want.locks = take(was.locks, newsctl);
    if (newsctl != nullptr)
      want.newsfeeds = take(was.newsfeeds, (std::string(newsctl) + "/sys").c_str());
  }
  FUZZ_CHECK(now.newshome == want.newshome);
  FUZZ_CHECK(now.pathetc == want.pathetc);
  FUZZ_CHECK(now.newsbin == want.newsbin);
  FUZZ_CHECK(now.spool == want.spool);
  FUZZ_CHECK(now.batch == want.batch);
  FUZZ_CHECK(now.incoming == want.incoming);
  FUZZ_CHECK(now.inhosts == want.inhosts);
  FUZZ_CHECK(now.active == want.active);
  FUZZ_CHECK(now.history == want.history);
  FUZZ_CHECK(now.locks == want.locks);
  FUZZ_CHECK(now.newsfeeds == want.newsfeeds);
  FUZZ_CHECK(newssys::g_extended_dbz == dbz);
}

// True when text may name a file to read or a command to run.
bool may_run_or_include(std::string_view text) {
  if (text.find("eval") != std::string_view::npos) return true;
  for (size_t at = text.find('.'); at != std::string_view::npos; at = text.find('.', at + 1)) {
    if (at + 1 < text.size() && (text[at + 1] == ' ' || text[at + 1] == '\t')) return true;
  }
  return false;
}

// True when text may hold a "." statement (which then names no file).
bool may_include(std::string_view text) {
  for (size_t at = text.find('.'); at != std::string_view::npos; at = text.find('.', at + 1)) {
    if (at + 1 == text.size()) return true;
    const char next = text[at + 1];
    if (next == '\n' || next == '=' || next == '\0') return true;
  }
  return false;
}

bool too_long(const char* name) {
  const char* value = newssys::lookup_variable(name);
  return value != nullptr && strlen(value) > static_cast<size_t>(newssys::kConfigLineMax) - 10;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string_view text = fuzz::as_text(data, size);
  if (text.empty() || may_run_or_include(text)) return -1;
  fuzz::reset_settings();

  bool ok = false;
  const std::map<std::string, std::string> variables = read_variables(text, &ok);
  FUZZ_CHECK(ok || may_include(text));
  bool ok_again = false;
  FUZZ_CHECK(read_variables(text, &ok_again) == variables && ok_again == ok);

  std::string written;
  std::map<std::string, std::string> expected;
  for (const auto& [name, value] : variables) {
    std::string line = name + "='";
    for (char c : value) {
      if (c == '\'') {
        line += "'\\''";
      } else {
        line += c;
      }
    }
    line += "'\n";
    // fgets hands a longer line over in pieces.
    if (line.size() > static_cast<size_t>(newssys::kConfigLineMax)) continue;
    written += line;
    expected[name] = value;
  }
  bool ok_written = false;
  FUZZ_CHECK(read_variables(written, &ok_written) == expected && ok_written);

  read_variables(text, &ok);
  if (too_long("SPOOL") || too_long("NEWSARTS") || too_long("NEWSCTL")) return 0;
  const base::SitePaths was = base::g_settings.paths;
  newssys::g_extended_dbz = 0;
  newssys::apply_site_config("fuzz");
  check_applied(was, 0);
  return 0;
}
