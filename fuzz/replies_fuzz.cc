// Status lines from the server: the reader (nntp::get_line, buffer of
// kStatusLineBuffer) and what is read from a line (nntp::reply_code,
// parse_article_number, parse_group_figures). Input: what the server sends;
// lines are read until a read fails, at most kLinesMax.
//
// Properties: each line read is the first 512 bytes of the line as sent, as
// a C string, without the CRs and LFs that end it; a line is read to its end
// however long (the next read starts after it) and counted whole in the
// gross bytes, and one longer than kStatusLineReadMax fails the read; a
// reply code is within 0..999 (0: no code), with the text after it where the
// digits end; an article number is digits only, within 0..kArticleNumberMax,
// ending the field; group figures are three such numbers with last at least
// first - 1; each agrees with a second parser written from these rules,
// reads the same twice, and a number written in decimal reads back as
// itself.
#include <cstring>
#include <optional>
#include <string>

#include "base/settings.h"
#include "nntp/connection.h"
#include "nntp/replies.h"
#include "report/stats.h"
#include "support/fuzz_support.h"

namespace {

constexpr int kLinesMax = 16;
constexpr size_t kKept = nntp::kStatusLineMax;

bool is_digit(char c) {
  return c >= '0' && c <= '9';
}

size_t skip_blanks(std::string_view text, size_t at) {
  while (at < text.size() && (text[at] == ' ' || text[at] == '\t')) ++at;
  return at;
}

// A run of digits from at: its value (nullopt when above limit) and its end.
std::optional<uint64_t> digit_run(std::string_view text, size_t* at, uint64_t limit) {
  std::optional<uint64_t> value = 0;
  for (; *at < text.size() && is_digit(text[*at]); ++*at) {
    const uint64_t digit = static_cast<uint64_t>(text[*at] - '0');
    if (value && *value <= (limit - digit) / 10) {
      value = *value * 10 + digit;
    } else {
      value.reset();
    }
  }
  return value;
}

struct Code {
  int code;
  size_t rest;
};

Code expected_code(std::string_view line) {
  size_t at = skip_blanks(line, 0);
  if (at == line.size() || !is_digit(line[at])) return {0, at};
  const std::optional<uint64_t> value = digit_run(line, &at, 999);
  return {value ? static_cast<int>(*value) : 0, at};
}

struct Number {
  int64_t value;
  size_t end;
};

std::optional<Number> expected_number(std::string_view text, size_t at) {
  at = skip_blanks(text, at);
  if (at == text.size() || !is_digit(text[at])) return std::nullopt;
  const std::optional<uint64_t> value = digit_run(text, &at, nntp::kArticleNumberMax);
  if (!value) return std::nullopt;
  if (at < text.size() && text[at] != ' ' && text[at] != '\t' && text[at] != '\r' &&
      text[at] != '\n') {
    return std::nullopt;
  }
  return Number{static_cast<int64_t>(*value), at};
}

// What get_line gives for the line at the start of text, or nullopt when the
// read fails; sets *taken. *unsure when the reader may do either (a line the
// stream ends inside after whole pieces).
std::optional<std::string> expected_line(std::string_view text, size_t* taken, bool* unsure) {
  *unsure = false;
  if (text.empty()) return std::nullopt;
  const size_t newline = text.find('\n');
  const size_t length = newline == std::string_view::npos ? text.size() : newline + 1;
  *taken = length;
  if (length > static_cast<size_t>(nntp::kStatusLineReadMax)) return std::nullopt;
  if (newline == std::string_view::npos && length >= kKept && (length - kKept) % kKept == 0) {
    *unsure = true;
  }
  std::string kept(text.substr(0, std::min(length, kKept)));
  kept.resize(strlen(kept.c_str()));
  while (!kept.empty() && (kept.back() == '\r' || kept.back() == '\n')) kept.pop_back();
  return kept;
}

void check_line(const char* line) {
  const std::string_view text(line);
  const char* rest = nullptr;
  const int code = nntp::reply_code(line, &rest);
  FUZZ_CHECK(code >= 0 && code <= 999);
  const Code expected = expected_code(text);
  FUZZ_CHECK(code == expected.code);
  FUZZ_CHECK(rest == line + expected.rest);
  const char* rest_again = nullptr;
  FUZZ_CHECK(nntp::reply_code(line, &rest_again) == code && rest_again == rest);
  FUZZ_CHECK(nntp::reply_code(line) == code);

  for (const size_t from : {static_cast<size_t>(0), expected.rest}) {
    int64_t value = -1;
    const char* end = nullptr;
    const bool parsed = nntp::parse_article_number(line + from, &value, &end);
    const std::optional<Number> number = expected_number(text, from);
    FUZZ_CHECK(parsed == number.has_value());
    if (!parsed) continue;
    FUZZ_CHECK(value == number->value && end == line + number->end);
    FUZZ_CHECK(value >= 0 && value <= nntp::kArticleNumberMax);
    const std::string written = std::to_string(value);
    int64_t again = -1;
    const char* written_end = nullptr;
    FUZZ_CHECK(nntp::parse_article_number(written.c_str(), &again, &written_end));
    FUZZ_CHECK(again == value && written_end == written.c_str() + written.size());
  }

  int64_t count = -1;
  int64_t first = -1;
  int64_t last = -1;
  const bool figures = nntp::parse_group_figures(line + expected.rest, &count, &first, &last);
  std::optional<Number> numbers[3];
  size_t at = expected.rest;
  bool expected_figures = true;
  for (std::optional<Number>& number : numbers) {
    number = expected_number(text, at);
    if (!number) {
      expected_figures = false;
      break;
    }
    at = number->end;
  }
  if (expected_figures) expected_figures = numbers[2]->value >= numbers[1]->value - 1;
  FUZZ_CHECK(figures == expected_figures);
  if (!figures) return;
  FUZZ_CHECK(count == numbers[0]->value && first == numbers[1]->value && last == numbers[2]->value);
  const std::string written =
      std::to_string(count) + " " + std::to_string(first) + "\t" + std::to_string(last);
  int64_t figures_again[3];
  FUZZ_CHECK(nntp::parse_group_figures(written.c_str(), &figures_again[0], &figures_again[1],
                                       &figures_again[2]));
  FUZZ_CHECK(figures_again[0] == count && figures_again[1] == first && figures_again[2] == last);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string_view text = fuzz::as_text(data, size);
  fuzz::reset_settings();
  base::g_settings.timeout = 30;
  report::g_counters = report::Counters{};
  fuzz::serve_connection(text);

  size_t at = 0;
  for (int n = 0; n < kLinesMax; ++n) {
    size_t taken = 0;
    bool unsure = false;
    const std::optional<std::string> expected = expected_line(text.substr(at), &taken, &unsure);
    char buffer[nntp::kStatusLineBuffer];
    memset(buffer, 0x7f, sizeof buffer);
    const int64_t counted = report::g_counters.grossbyt;
    const int got = nntp::get_line(buffer, sizeof buffer);
    if (unsure && got == 0) break;
    FUZZ_CHECK(got == (expected ? 1 : 0));
    if (!expected) break;
    FUZZ_CHECK(buffer == *expected);
    FUZZ_CHECK(report::g_counters.grossbyt - counted == static_cast<int64_t>(taken));
    check_line(buffer);
    at += taken;
  }
  return 0;
}
