#include "newssys/site_config.h"

#include <sys/stat.h>
#include <unistd.h>
#include <cctype>
#include <cstdlib>
#include <cstring>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "base/settings.h"
#include "base/status.h"
#include "report/exit.h"
#include "report/message.h"
#include "report/title.h"
#include "report/util.h"
#include "sys/children.h"

namespace newssys {

VariableTable g_variables;
int g_extended_dbz = 0;

namespace {

using report::kDetail;
using report::kError;
using report::kProgress;
using report::kSysError;
using report::message;

// Configuration streams open inside each other right now.
int g_read_depth = 0;

bool is_blank(char c) {
  return c == ' ' || c == '\t';
}
bool at_line_end(const char* p) {
  return *p == '\0' || *p == '\n';
}

const char* line_end(const char* p) {
  while (!at_line_end(p)) ++p;
  return p;
}

// An expanded value: what does not fit into a line is dropped.
struct ValueBuffer {
  std::string text;
  void add(char c) {
    if (text.size() < static_cast<size_t>(kConfigLineMax)) text.push_back(c);
  }
  void add(const char* s, size_t n) {
    for (size_t i = 0; i < n; ++i) add(s[i]);
  }
  void add(const char* s) { add(s, strlen(s)); }
};

// Replaces the reference at p (which points at a '$'): ${NAME} by the value of
// NAME, ${NAME-TEXT} by the value or TEXT. A lone dollar is dropped, and so is
// "${" without a closing brace. Returns where reading goes on.
const char* expand_reference(const char* p, ValueBuffer& out) {
  if (p[1] != '{') return p + 1;
  const char* open = p + 2;
  const char* close = open;
  while (!at_line_end(close) && *close != '}') ++close;
  if (*close != '}') return open;
  const std::string inner(open, close);
  const size_t dash = inner.find('-');
  const std::string name = inner.substr(0, dash);
  const char* value = lookup_variable(name.c_str());
  if (value != nullptr) {
    out.add(value);
  } else if (dash != std::string::npos) {
    out.add(inner.c_str() + dash + 1);
  }
  return close + 1;
}

// A word the shell would expand: references are replaced, text in single
// quotes is taken as it stands and double quotes are dropped. Used for the
// names that includes, evals and tests are about. bare_names also expands
// $NAME, as the words of a test need.
std::string expand_word(const char* begin, const char* end, bool bare_names = false) {
  ValueBuffer out;
  const char* p = begin;
  while (p < end) {
    if (*p == '\'') {
      const char* close = static_cast<const char*>(memchr(p + 1, '\'', end - p - 1));
      const char* stop = close != nullptr ? close : end;
      out.add(p + 1, stop - p - 1);
      p = close != nullptr ? close + 1 : end;
    } else if (*p == '"') {
      ++p;
    } else if (*p == '$' && bare_names &&
               (isalpha(static_cast<unsigned char>(p[1])) || p[1] == '_')) {
      const char* name_end = p + 1;
      while (name_end < end &&
             (isalnum(static_cast<unsigned char>(*name_end)) || *name_end == '_')) {
        ++name_end;
      }
      const char* value = lookup_variable(std::string(p + 1, name_end).c_str());
      if (value != nullptr) out.add(value);
      p = name_end;
    } else if (*p == '$') {
      p = expand_reference(p, out);
      if (p > end) p = end;
    } else {
      out.add(*p++);
    }
  }
  return out.text;
}

// A value that starts with a single quote is read as the shell reads such a
// word (innconfval -s writes its values so, as in 'Joe'\''s site'): pieces in
// single quotes taken literally, a backslash escaping the next character, and
// plain characters, up to a blank, ';' or the line end.
const char* single_quoted_word(const char* p, ValueBuffer& out) {
  for (;;) {
    if (*p == '\'') {
      ++p;
      while (!at_line_end(p) && *p != '\'') out.add(*p++);
      if (*p == '\'') ++p;
    } else if (*p == '\\' && !at_line_end(p + 1)) {
      out.add(p[1]);
      p += 2;
    } else if (at_line_end(p) || is_blank(*p) || *p == ';') {
      return p;
    } else {
      out.add(*p++);
    }
  }
}

void define_and_report(const std::string& name, const std::string& value) {
  define_variable(name.c_str(), value.c_str());
  message(kDetail, "conf: %s=\"%s\"", name.c_str(), value.c_str());
}

// What the reader does after a statement.
enum class Next { kLine, kStatement, kFail };

// Reads the value of an assignment starting at p. When a ';' ends it, cursor
// moves behind the ';' and the rest of the line is a further statement.
Next assignment(const std::string& name, const char* p, const char*& cursor) {
  ValueBuffer value;
  if (*p == '\'') {
    p = report::skip_blanks(single_quoted_word(p, value));
    define_and_report(name, value.text);
    if (*p != ';') return Next::kLine;
    cursor = p + 1;
    return Next::kStatement;
  }
  const bool quoted = *p == '"';
  if (quoted) ++p;
  for (;;) {
    if (at_line_end(p) || (quoted && *p == '"')) {
      define_and_report(name, value.text);
      return Next::kLine;
    }
    if (*p == ';') {
      define_and_report(name, value.text);
      cursor = p + 1;
      return Next::kStatement;
    }
    if (*p == '$') {
      p = expand_reference(p, value);
    } else {
      value.add(*p++);
    }
  }
}

// One branch of if ... fi. The reader runs no shell, but it can tell the file
// tests that innshellvars guards its optional includes with; other conditions
// are unknown and their statements are read as if they held.
struct Condition {
  bool parent_active = true;
  bool taken = false;  // a branch whose test is known to hold was passed
  bool active = true;
};

struct StreamState {
  std::vector<Condition> conditions;
  bool active() const { return conditions.empty() || conditions.back().active; }
};

// Splits a test into words: up to a ';' or the line end.
std::vector<std::string> test_words(const char* p) {
  std::vector<std::string> words;
  for (;;) {
    p = report::skip_blanks(p);
    if (at_line_end(p) || *p == ';') return words;
    const char* end = p;
    while (!at_line_end(end) && !is_blank(*end) && *end != ';') ++end;
    words.emplace_back(p, end);
    p = end;
  }
}

// Evaluates "[ -x FILE ]" or "test -x FILE" (also -e, -f, -d, -r, -w, -s) and
// "[ WORD = WORD ]" (or !=), each optionally after '!'. Empty when the
// condition is of another kind.
std::optional<bool> evaluate_test(const char* p) {
  std::vector<std::string> words = test_words(p);
  if (!words.empty() && words.front() == "[") {
    if (words.back() != "]") return std::nullopt;
    words.pop_back();
  } else if (words.empty() || words.front() != "test") {
    return std::nullopt;
  }
  words.erase(words.begin());
  bool negate = false;
  if (!words.empty() && words.front() == "!") {
    negate = true;
    words.erase(words.begin());
  }
  auto expand = [](const std::string& w) {
    return expand_word(w.data(), w.data() + w.size(), true);
  };
  if (words.size() == 3 && (words[1] == "=" || words[1] == "!=")) {
    const bool equal = expand(words[0]) == expand(words[2]);
    return negate != (words[1] == "=" ? equal : !equal);
  }
  if (words.size() != 2) return std::nullopt;
  const std::string& op = words[0];
  const std::string file = expand(words[1]);
  struct stat st;
  const bool exists = stat(file.c_str(), &st) == 0;
  bool result;
  if (op == "-e") {
    result = exists;
  } else if (op == "-f") {
    result = exists && S_ISREG(st.st_mode);
  } else if (op == "-d") {
    result = exists && S_ISDIR(st.st_mode);
  } else if (op == "-s") {
    result = exists && st.st_size > 0;
  } else if (op == "-r") {
    result = access(file.c_str(), R_OK) == 0;
  } else if (op == "-w") {
    result = access(file.c_str(), W_OK) == 0;
  } else if (op == "-x") {
    result = access(file.c_str(), X_OK) == 0;
  } else {
    return std::nullopt;
  }
  return negate ? !result : result;
}

bool is_conditional_word(const std::string& word) {
  return word == "if" || word == "elif" || word == "else" || word == "fi";
}

void follow_conditional(const std::string& word, const char* rest, StreamState& state) {
  if (word == "if") {
    Condition c;
    c.parent_active = state.active();
    const std::optional<bool> test = evaluate_test(rest);
    c.active = c.parent_active && test.value_or(true);
    c.taken = test.value_or(false);
    state.conditions.push_back(c);
    return;
  }
  if (state.conditions.empty()) return;
  Condition& c = state.conditions.back();
  if (word == "fi") {
    state.conditions.pop_back();
  } else if (word == "else") {
    c.active = c.parent_active && !c.taken;
  } else if (c.taken) {  // elif after a branch that held
    c.active = false;
  } else {
    const std::optional<bool> test = evaluate_test(rest);
    c.active = c.parent_active && test.value_or(true);
    c.taken = test.value_or(false);
  }
}

void report_skipped(const char* start) {
  const char* end = line_end(start);
  if (end != start) message(kProgress, "skip: %.*s", static_cast<int>(end - start), start);
}

// Runs command (with the NAME=VALUE words before it in its environment) and
// reads its output as configuration.
bool run_eval(const std::string& command, const std::string& argument,
              const std::vector<std::pair<std::string, std::string>>& environment) {
  message(kProgress, "eval: %s %s", command.c_str(), argument.c_str());

  std::vector<std::pair<std::string, std::optional<std::string>>> saved;
  for (const auto& [name, value] : environment) {
    const char* old = getenv(name.c_str());
    saved.emplace_back(name, old != nullptr ? std::optional<std::string>(old) : std::nullopt);
    setenv(name.c_str(), value.c_str(), 1);
  }
  pid_t pid = -1;
  FILE* stream =
      sys::pipe_from_program(command.c_str(), &pid, argument.empty() ? nullptr : argument.c_str());
  for (auto it = saved.rbegin(); it != saved.rend(); ++it) {
    if (it->second) {
      setenv(it->first.c_str(), it->second->c_str(), 1);
    } else {
      unsetenv(it->first.c_str());
    }
  }
  if (stream == nullptr) return false;

  const bool ok = read_config(stream, command.c_str());
  fclose(stream);
  message(kDetail, "wait pid %d...", static_cast<int>(pid));
  const int status = sys::wait_child(pid);
  message(kDetail, "eval %s status is %d", command.c_str(), status);
  return ok;
}

// True when p starts a NAME=VALUE word.
bool starts_environment_word(const char* p) {
  if (!(isalpha(static_cast<unsigned char>(*p)) || *p == '_')) return false;
  while (isalnum(static_cast<unsigned char>(*p)) || *p == '_') ++p;
  return *p == '=';
}

// "eval" followed by a command in backquotes or in $( ), either optionally in
// double quotes: the command's output is read as configuration. Anything else
// after "eval" names a file to read.
bool eval_statement(const char* rest) {
  const char* p = rest;
  if (*p == '"' && (p[1] == '`' || (p[1] == '$' && p[2] == '('))) ++p;
  char closer = '\0';
  if (*p == '`') {
    closer = '`';
    p += 1;
  } else if (p[0] == '$' && p[1] == '(') {
    closer = ')';
    p += 2;
  }
  if (closer == '\0') {
    const std::string file(rest, line_end(rest));
    return open_config(file.c_str(), true);
  }

  auto word_end = [closer](const char* q) {
    while (!at_line_end(q) && !is_blank(*q) && *q != closer) ++q;
    return q;
  };
  p = report::skip_blanks(p);
  std::vector<std::pair<std::string, std::string>> environment;
  while (starts_environment_word(p)) {
    const char* equals = strchr(p, '=');
    const char* end = word_end(equals + 1);
    environment.emplace_back(std::string(p, equals), expand_word(equals + 1, end));
    p = report::skip_blanks(end);
  }
  const char* command_end = word_end(p);
  const std::string command = expand_word(p, command_end);
  std::string argument;
  if (is_blank(*command_end)) {
    const char* start = report::skip_blanks(command_end);
    const char* end = start;
    while (!at_line_end(end) && *end != closer) ++end;
    while (end > start && is_blank(end[-1])) --end;
    argument = expand_word(start, end);
  }
  return run_eval(command, argument, environment);
}

bool include_statement(const char* rest) {
  const char* end = rest;
  while (!at_line_end(end) && !is_blank(*end)) ++end;
  const std::string name = expand_word(rest, end);
  message(kProgress, "include: %s", name.c_str());
  return open_config(name.c_str(), true);
}

// Reads one statement at cursor. Returns whether the rest of the line (from
// the updated cursor) holds a further statement, or the reading failed.
Next read_statement(const char*& cursor, StreamState& state) {
  const char* start = report::skip_blanks(cursor);
  if (at_line_end(start) || *start == '#') return Next::kLine;

  const char* word_end = start;
  while (!at_line_end(word_end) && !is_blank(*word_end) && *word_end != '=') ++word_end;
  const std::string word(start, word_end);
  if (!word.empty() && *word_end == '=' && !at_line_end(word_end + 1)) {
    if (!state.active()) {
      report_skipped(start);
      return Next::kLine;
    }
    return assignment(word, word_end + 1, cursor);
  }

  const char* rest = report::skip_blanks(word_end);
  if (is_conditional_word(word)) {
    follow_conditional(word, rest, state);
    report_skipped(start);
    return Next::kLine;
  }
  if (!state.active()) {
    report_skipped(start);
    return Next::kLine;
  }
  if (word == "eval") return eval_statement(rest) ? Next::kLine : Next::kFail;
  if (word == ".") return include_statement(rest) ? Next::kLine : Next::kFail;
  if (word == "umask") {
    const std::string mask(rest, line_end(rest));
    message(kDetail, "umask: %s", mask.c_str());
    define_variable("NEWSUMASK", mask.c_str());
    return Next::kLine;
  }
  if (word == "export") return Next::kLine;
  report_skipped(start);
  return Next::kLine;
}

bool read_statements(FILE* stream) {
  StreamState state;
  char line[kConfigLineMax + 1];
  while (fgets(line, sizeof line, stream) != nullptr) {
    const char* cursor = line;
    for (;;) {
      const Next next = read_statement(cursor, state);
      if (next == Next::kFail) return false;
      if (next == Next::kLine) break;
    }
  }
  return true;
}

// The current text of a setting, or null when it is unset.
const char* current(const base::Text& setting) {
  return setting ? setting->c_str() : nullptr;
}

// Compares a setting with its new value from the configuration and takes the
// new value, reporting what happens.
void update_setting(const char* setting_name, base::Text& setting, const char* new_value) {
  const char* was = base::text_or_empty(setting);
  if (new_value == nullptr) {
    message(kError, "missing config for %s, was \"%s\"", setting_name, was);
    return;
  }
  if (new_value[0] == '`') {
    message(kError, "non-supported config for %s: %s", setting_name, new_value);
    return;
  }
  if (strcmp(was, new_value) == 0) return;
  if (base::g_settings.verify) {
    message(kError, "altered config for %s: was \"%s\", is \"%s\"", setting_name, was, new_value);
    return;
  }
  message(kProgress, "new config for %s: was \"%s\", is \"%s\"", setting_name, was, new_value);
  setting = std::string(new_value);
}

// Sets a setting from a path composed of its parts (the new value is absent
// when the first part is).
void update_composed(const char* setting_name, base::Text& setting, const char* first,
                     const char* second) {
  if (first == nullptr) {
    update_setting(setting_name, setting, nullptr);
    return;
  }
  report::PathBuffer path;
  report::join_path(path, first, second);
  update_setting(setting_name, setting, path);
}

void update_extended_dbz() {
  const char* value = lookup_variable("EXTENDEDDBZ");
  if (value == nullptr) return;
  const int flag =
      (strcmp(value, "true") == 0 || strcmp(value, "yes") == 0 || strcmp(value, "on") == 0) ? 1 : 0;
  if (flag == g_extended_dbz) return;
  if (base::g_settings.verify) {
    message(kError, "altered config for %s: was %d, is %d", "EXTENDEDDBZ", g_extended_dbz, flag);
    return;
  }
  message(kProgress, "new config for %s: was %d, is %d", "EXTENDEDDBZ", g_extended_dbz, flag);
  g_extended_dbz = flag;
}

void apply_inn(const char* file_name) {
  base::SitePaths& p = base::g_settings.paths;
  if (lookup_variable("NEWSBIN") == nullptr) {
    message(kError, "%s is probably in wrong format", file_name);
    return;
  }
  update_setting("NEWSHOME", p.newshome, lookup_variable("NEWSHOME"));
  const char* pathetc = lookup_variable("PATHETC");
  if (pathetc != nullptr) {
    update_setting("PATHETC", p.pathetc, pathetc);
  } else {
    const base::Text home = p.newshome;
    update_setting("PATHETC", p.pathetc, current(home));
  }
  update_setting("NEWSBIN", p.newsbin, lookup_variable("NEWSBIN"));
  update_setting("SPOOL", p.spool, lookup_variable("SPOOL"));
  update_setting("BATCH", p.batch, lookup_variable("BATCH"));
  update_setting("INCOMING", p.incoming, lookup_variable("INCOMING"));

  // INN keeps its articles below PATHSPOOL/articles; the host files go beside them.
  report::PathBuffer inhosts;
  const std::string spool = base::text_or_empty(p.spool);
  const size_t articles = spool.find("/articles");
  if (articles != std::string::npos) {
    report::join_path(inhosts, spool.substr(0, articles).c_str(), "/inhosts");
  } else {
    report::join_path(inhosts, spool.c_str(), "/in.hosts");
  }
  update_setting("INHOSTS", p.inhosts, inhosts);

  update_setting("ACTIVE", p.active, lookup_variable("ACTIVE"));
  update_setting("HISTORY", p.history, lookup_variable("HISTORY"));
  update_setting("LOCKS", p.locks, lookup_variable("LOCKS"));
  update_setting("NEWSFEEDS", p.newsfeeds, lookup_variable("NEWSFEEDS"));
  update_extended_dbz();
}

void apply_cnews(const char* file_name) {
  base::SitePaths& p = base::g_settings.paths;
  const char* newsbin = lookup_variable("NEWSBIN");
  if (newsbin == nullptr) {
    message(kError, "%s is in wrong format", file_name);
    return;
  }
  const char* newsctl = lookup_variable("NEWSCTL");
  update_setting("NEWSBIN", p.newsbin, newsbin);
  update_setting("NEWSHOME", p.newshome, newsctl);
  const base::Text home = p.newshome;
  update_setting("PATHETC", p.pathetc, current(home));
  update_setting("SPOOL", p.spool, lookup_variable("NEWSARTS"));

  const std::string spool = base::text_or_empty(p.spool);
  update_composed("BATCH", p.batch, spool.c_str(), "/out.going");
  update_composed("INCOMING", p.incoming, spool.c_str(), "/in.coming");
  update_composed("INHOSTS", p.inhosts, spool.c_str(), "/in.hosts");
  const std::string home_now = base::text_or_empty(p.newshome);
  update_composed("ACTIVE", p.active, home_now.c_str(), "/active");
  update_composed("HISTORY", p.history, home_now.c_str(), "/history");
  update_setting("LOCKS", p.locks, newsctl);
  update_composed("NEWSFEEDS", p.newsfeeds, newsctl, "/sys");
}

}  // namespace

void define_variable(const char* name, const char* value) {
  const size_t length = strlen(name);
  if (length == 0 || length > static_cast<size_t>(kVariableNameMax)) return;
  g_variables[name] = value;
}

const char* lookup_variable(const char* name) {
  const size_t length = strlen(name);
  if (length == 0 || length > static_cast<size_t>(kVariableNameMax)) return nullptr;
  const auto found = g_variables.find(name);
  return found != g_variables.end() ? found->second.c_str() : nullptr;
}

void clear_variables() {
  VariableTable().swap(g_variables);
}

bool read_config(FILE* stream, const char* name) {
  if (g_read_depth >= kConfigDepthMax) {
    message(kError, "too deep recursion for \"%s\"", name);
    return false;
  }
  ++g_read_depth;
  const bool ok = read_statements(stream);
  --g_read_depth;
  return ok;
}

bool open_config(const char* path, bool explicit_name) {
  FILE* stream = fopen(path, "r");
  if (stream == nullptr) {
    message(explicit_name ? kSysError : kProgress, "can't open config in \"%s\"", path);
    return false;
  }
  message(kProgress, "reading %s", path);
  const bool ok = read_config(stream, path);
  fclose(stream);
  return ok;
}

void apply_site_config(const char* file_name) {
  const bool inn = lookup_variable("INND") != nullptr;
  base::g_settings.inn_mode = inn;
  message(kDetail, "conf: INN mode %s", inn ? "on" : "off");
  if (inn) {
    apply_inn(file_name);
  } else {
    apply_cnews(file_name);
  }
}

void read_site_config(const char* files) {
  report::set_state("read config");
  const char* element = files;
  for (const char* colon; (colon = strchr(element, ':')) != nullptr; element = colon + 1) {
    const size_t length = static_cast<size_t>(colon - element);
    if (length == 0 || length > static_cast<size_t>(report::kPathMax)) continue;
    const std::string name(element, length);
    if (open_config(name.c_str(), false)) {
      apply_site_config(name.c_str());
      return;
    }
  }
  if (!open_config(element, true)) report::exit_run(base::kStatusConfig);
  apply_site_config(element);
}

}  // namespace newssys
