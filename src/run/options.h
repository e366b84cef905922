// Command-line options and profiles: the option table, the setters with their
// warnings, and the reader of profile files.
#pragma once

#include <vector>

namespace run {

/// Profiles may be open inside each other up to this depth.
inline constexpr int kProfileNestingMax = 19;

/// Parses an argument vector from its second element on: options, then up to
/// three positional arguments (spool name, server host, server port). Usage
/// errors, --version and --help end the process through unlock_exit.
void parse_options(int argc, char** argv);

/// Reads a profile and parses its words. An explicit profile (--profile) that
/// cannot be opened is an error, an implicit one is skipped with a note; either
/// way parsing goes on. A profile that is not a regular file ends the run (8).
void read_profile(const char* path, bool is_explicit);

/// Splits a profile's text into its words in place and appends a pointer to
/// each to words: blanks, tabs and newlines separate words, '#' outside a word
/// starts a comment to the end of the line, a backslash takes the next
/// character literally (a backslash before a newline joins the lines).
void split_words(char* text, std::vector<char*>& words);

/// Writes the usage text to standard output.
void usage();

}  // namespace run
