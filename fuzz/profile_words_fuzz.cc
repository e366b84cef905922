// The word splitter of profile files (run::split_words). A profile is any
// file an administrator or a --profile option names; its words become options.
//
// Properties: every word lies inside the text, in order, not empty and without
// a newline; escaping every byte of every word and joining the words with
// blanks gives text that splits into the same words; text without
// backslashes splits like lines cut at blanks and tabs with '#' comments.
#include <cstring>
#include <string>
#include <vector>

#include "run/options.h"
#include "support/fuzz_support.h"

namespace {

std::vector<std::string> split_profile(std::string_view text) {
  std::vector<char> copy = fuzz::exact_copy(text);
  std::vector<char*> words;
  run::split_words(copy.data(), words);

  const char* begin = copy.data();
  const char* end = copy.data() + copy.size();
  const char* previous_end = begin;
  std::vector<std::string> result;
  for (const char* word : words) {
    FUZZ_CHECK(word >= previous_end && word < end);
    const size_t length = strnlen(word, static_cast<size_t>(end - word));
    FUZZ_CHECK(word + length < end);  // terminated inside the text
    FUZZ_CHECK(length > 0);
    FUZZ_CHECK(memchr(word, '\n', length) == nullptr);
    previous_end = word + length + 1;
    result.emplace_back(word, length);
  }
  return result;
}

// The words of text without backslashes: each line cut at blanks and tabs, a
// piece that starts with '#' ending the line.
std::vector<std::string> plain_words(std::string_view text) {
  std::vector<std::string> words;
  for (std::string_view line : fuzz::split(text, '\n')) {
    size_t i = 0;
    while (i < line.size()) {
      if (line[i] == ' ' || line[i] == '\t') {
        ++i;
        continue;
      }
      const size_t stop = line.find_first_of(" \t", i);
      const std::string_view piece = line.substr(i, stop - i);
      if (piece[0] == '#') break;
      words.emplace_back(piece);
      if (stop == std::string_view::npos) break;
      i = stop;
    }
  }
  return words;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  std::string_view text = fuzz::as_text(data, size);
  text = text.substr(0, text.find('\0'));  // the profile reader stops there too

  const std::vector<std::string> words = split_profile(text);

  std::string escaped;
  for (const std::string& word : words) {
    for (char c : word) {
      escaped += '\\';
      escaped += c;
    }
    escaped += ' ';
  }
  FUZZ_CHECK(split_profile(escaped) == words);

  if (text.find('\\') == std::string_view::npos) FUZZ_CHECK(plain_words(text) == words);
  return 0;
}
