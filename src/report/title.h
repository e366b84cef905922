// The progress state, shown in the process title (and as a notice at
// verbosity 4 and above).
#pragma once

namespace report {

/// Longest process title; the prefix takes at most 511 bytes of it.
inline constexpr int kTitleMax = 2047;

/// Sets the progress state shown in the process title.
void set_state(const char* text, const char* suffix = nullptr);

/// Sets the text that stands before the state in the process title.
void set_title_prefix(const char* text);

/// Records the argument area the process title is written into (none when argc is 0).
void record_argument_area(int argc, char** argv);

}  // namespace report
