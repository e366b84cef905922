// The newsfeeds (INN) or sys (C News) reader, groups::read_newsfeeds, in both
// modes, with the spool name "feed". Input: the file.
//
// The reader takes the file a line, or a piece of a long line, at a time and
// carries an open token from one piece to the next. Properties: the pieces do
// not show: the same tokens written out again, one escaped name after the
// other on short lines, give the same pattern lists and excluded site names;
// every pattern is a non-empty token without blanks in front; the special
// exclude is set exactly when "tessu" is an excluded site; each excluded site
// is found in a Path that contains it.
//
// A token that stays open over more than 1020 characters ends the run (status
// 8, "token too long"), as it should; such inputs are passed over here.
#include <string>
#include <string_view>
#include <vector>

#include "base/settings.h"
#include "groups/newsfeeds.h"
#include "support/fuzz_support.h"

namespace {

// The longest token whose reading never ends the run, however it is cut into
// pieces: the carried text is the token so far plus at most a backslash.
constexpr size_t kSafeToken = groups::kTokenMax - 1;

bool is_delimiter(char c) {
  return c == '\n' || c == '!' || c == '#' || c == ',' || c == '/' || c == ':' || c == '@';
}

struct Token {
  char delimiter = '\0';  // '\0' for a name
  std::string name;
};

// The tokens of the whole file at once, as the documented rules give them: a
// token still open at the end of the file is returned in *open.
std::vector<Token> tokens_of(std::string_view text, std::string* open, bool* in_token) {
  std::vector<Token> tokens;
  *in_token = false;
  open->clear();
  auto end_token = [&] {
    if (*in_token) tokens.push_back(Token{'\0', *open});
    *in_token = false;
    open->clear();
  };
  for (size_t i = 0; i < text.size(); ++i) {
    const char c = text[i];
    if (c == '\\') {
      if (i + 1 == text.size()) {
        if (*in_token) *open += '\\';
        break;
      }
      const char next = text[++i];
      if (next == '\n') continue;  // the line goes on, and so does an open token
      *open += next;
      *in_token = true;
    } else if (c == ' ' || c == '\t' || c == '\0') {
      end_token();
    } else if (is_delimiter(c)) {
      end_token();
      tokens.push_back(Token{c, {}});
    } else {
      *open += c;
      *in_token = true;
    }
  }
  return tokens;
}

// The tokens written out again: names escaped and followed by a blank,
// delimiters as they are.
std::string canonical(const std::vector<Token>& tokens) {
  std::string text;
  for (const Token& token : tokens) {
    if (token.delimiter != '\0') {
      text += token.delimiter;
      continue;
    }
    for (char c : token.name) {
      if (c == ' ' || c == '\t' || c == '\0' || c == '\\' || is_delimiter(c)) text += '\\';
      text += c;
    }
    text += ' ';
  }
  return text;
}

struct Selection {
  std::vector<groups::Pattern> entry;
  std::vector<groups::Pattern> me;
  std::vector<std::string> sites;
  bool special = false;
};

bool same(const std::vector<groups::Pattern>& a, const std::vector<groups::Pattern>& b) {
  if (a.size() != b.size()) return false;
  for (size_t i = 0; i < a.size(); ++i) {
    if (a[i].exclusion != b[i].exclusion || a[i].text != b[i].text) return false;
  }
  return true;
}

Selection read_file(std::string_view text, bool inn_mode) {
  fuzz::reset_settings();
  base::g_settings.inn_mode = inn_mode;
  base::g_settings.spool_name = "feed";
  base::g_settings.paths.newsfeeds = fuzz::scratch_path();
  groups::g_entry_list.patterns.clear();
  groups::g_me_list.patterns.clear();
  groups::g_excluded_sites.clear();
  groups::g_special_exclude = false;

  fuzz::write_scratch(text);
  groups::read_newsfeeds();
  return Selection{groups::g_entry_list.patterns, groups::g_me_list.patterns,
                   groups::g_excluded_sites, groups::g_special_exclude};
}

void check_selection(const Selection& s, bool inn_mode) {
  if (inn_mode) FUZZ_CHECK(s.me.empty());
  for (const auto* list : {&s.entry, &s.me}) {
    for (const groups::Pattern& p : *list) {
      FUZZ_CHECK(!p.text.empty() && p.text.size() <= kSafeToken);
      FUZZ_CHECK(p.text[0] != ' ' && p.text[0] != '\t');
      FUZZ_CHECK(p.text.find_first_of(std::string_view("\0\n", 2)) == std::string::npos);
    }
  }
  FUZZ_CHECK(s.special == groups::is_site_name(groups::kOwnSiteName));
  FUZZ_CHECK(std::string(groups::first_site_name()) == (s.sites.empty() ? "" : s.sites[0]));
  for (const std::string& site : s.sites) {
    if (site.empty() || site.find_first_of("!\r\n") != std::string::npos) continue;
    FUZZ_CHECK(groups::is_site_name(site.c_str()));
    FUZZ_CHECK(groups::site_in_path(("here!" + site + "!there").c_str()));
    // A Path's leading blanks are not part of its first element.
    if (site[0] != ' ' && site[0] != '\t') FUZZ_CHECK(groups::site_in_path(site.c_str()));
  }
  for (const groups::Pattern& p : s.entry) (void)groups::group_allowed(p.text.c_str());
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string_view text = fuzz::as_text(data, size);
  std::string open;
  bool in_token = false;
  const std::vector<Token> tokens = tokens_of(text, &open, &in_token);
  if (open.size() > kSafeToken) return -1;
  for (const Token& token : tokens) {
    if (token.name.size() > kSafeToken) return -1;
  }
  const std::string rewritten = canonical(tokens);

  for (bool inn_mode : {true, false}) {
    const Selection original = read_file(text, inn_mode);
    check_selection(original, inn_mode);
    const Selection again = read_file(rewritten, inn_mode);
    FUZZ_CHECK(same(original.entry, again.entry));
    FUZZ_CHECK(same(original.me, again.me));
    FUZZ_CHECK(original.sites == again.sites);
    FUZZ_CHECK(original.special == again.special);
  }
  return 0;
}
