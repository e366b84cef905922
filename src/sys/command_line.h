// Command lines for the programs tessu starts: argument vectors ready for
// execv, and the shell that runs command strings.
#pragma once

#include <initializer_list>

namespace sys {

/// The shell that runs command strings, its own name (its argv[0]) and its
/// option that runs a command string.
inline constexpr const char* kShell = "/bin/sh";
inline constexpr const char* kShellName = "sh";
inline constexpr const char* kShellCommandOption = "-c";

/// Standard error of connect scripts, connect programs and filters.
inline constexpr const char* kConnectErrors = "/tmp/connect.errors";

/// An argument vector ready for execv: the arguments, then a null. It points
/// at the caller's strings.
struct ArgVector {
  static constexpr int kMax = 5;
  const char* argv[kMax + 1] = {};
  int count = 0;
};

/// The arguments up to the first null one (later ones are dropped with it),
/// at most ArgVector::kMax of them.
ArgVector arguments_until_null(std::initializer_list<const char*> arguments);

/// The shell's command line for a command string: "sh", "-c", command.
ArgVector shell_arguments(const char* command);

/// A program's command line: program, arg1, arg2, ending at the first null
/// argument (so a null arg1 means no arguments at all).
ArgVector program_arguments(const char* program, const char* arg1, const char* arg2);

}  // namespace sys
