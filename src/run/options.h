// Command-line options and profiles: the option table, the setters with their
// warnings, and the reader of profile files.
#pragma once

#include <cstdint>
#include <span>
#include <vector>

#include "base/settings.h"

namespace run {

/// Profiles may be open inside each other up to this depth.
inline constexpr int kProfileNestingMax = 19;

/// How an option acts on its setting.
enum class OptionKind : uint8_t {
  kSwitch,    // stores a fixed value in an int setting
  kCounter,   // raises an int setting by one
  kNumber32,  // a decimal number into a 32-bit setting
  kNumber64,  // a decimal number into a 64-bit setting
  kTime,      // a time value ("1h30m") into a 64-bit number of seconds
  kText,      // an owned copy of the argument into a string setting
  kPath,      // as kText, into an entry of the site path table
  kSpecial,   // a function of its own; none at all for an option with no handler
  kProfile,   // reads a profile where the option stands
};

/// One row of the option table: the names of an option, the setting it acts
/// on and how. Only the target that belongs to the kind is set.
struct OptionEntry {
  const char* name = nullptr;   // the long name
  const char* alias = nullptr;  // a second long name for the same option, or none
  char letter = '\0';           // the short form, '\0' when there is none
  bool takes_argument = false;  // required argument, or none
  OptionKind kind = OptionKind::kSpecial;
  int base::Settings::*flag = nullptr;    // kSwitch, kCounter
  int value = 0;                          // kSwitch: the value stored
  int base::Settings::*excluded[2] = {};  // kCounter: counters that must still be 0
  int32_t base::Settings::*number32 = nullptr;
  int64_t base::Settings::*number64 = nullptr;  // kNumber64, kTime
  int64_t unit = 0;                             // kTime: unit of a final number without one
  base::Text base::Settings::*text = nullptr;
  base::Text base::SitePaths::*path = nullptr;
  void (*special)(const char* argument) = nullptr;  // argument is null without one
};

/// Returns the option table: every option the parser knows, one row each.
std::span<const OptionEntry> option_table();

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

/// Sets the start values of the settings and the built-in site path defaults.
void set_start_values();

}  // namespace run
