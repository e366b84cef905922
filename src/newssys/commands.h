// The command lines tessu hands to the local news system's programs and to the
// shell. The child process helpers execute them; nothing else spells them out.
#pragma once

#include <cstdint>

namespace newssys {

/// ctlinnd's option that keeps it quiet on success.
inline constexpr const char* kCtlinndSilent = "-s";
/// ctlinnd's command that makes INN close a renamed batch file and begin a new one.
inline constexpr const char* kCtlinndFlush = "flush";
/// Longest ctlinnd time-out argument: "-t" and the seconds.
inline constexpr int kCtlinndTimeoutMax = 29;
/// A buffer that holds a ctlinnd time-out argument.
using CtlinndTimeoutBuffer = char[kCtlinndTimeoutMax + 1];

/// The shell's own name (its argv[0]) and its option that runs a command string.
inline constexpr const char* kShellName = "sh";
inline constexpr const char* kShellCommandOption = "-c";

/// An argument vector ready for execv: the arguments, then a null. It points
/// at the caller's strings.
struct ArgVector {
  static constexpr int kMax = 5;
  const char* argv[kMax + 1] = {};
  int count = 0;
};

/// Writes ctlinnd's time-out argument ("-t" and seconds) into dest; every
/// 64-bit value fits.
void format_ctlinnd_timeout(CtlinndTimeoutBuffer& dest, int64_t seconds);

/// ctlinnd's command line: path, "-s", the time-out argument, the command word
/// and its argument (the list ends at the first null).
ArgVector ctlinnd_arguments(const char* path, const char* timeout_arg, const char* command,
                            const char* argument);

/// The shell's command line for a command string: "sh", "-c", command.
ArgVector shell_arguments(const char* command);

/// A program's command line: program, arg1, arg2, ending at the first null
/// argument (so a null arg1 means no arguments at all).
ArgVector program_arguments(const char* program, const char* arg1, const char* arg2);

}  // namespace newssys
