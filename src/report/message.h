// The one message function: progress, details, notices, errors and the trace
// of the conversation with the server, each class with its own threshold and
// destination.
#pragma once

namespace report {

/// Message classes: each has its own threshold and destination.
enum class MessageClass {
  kProgress,  // progress lines, from verbosity 1
  kDetail,    // details, from verbosity 5
  kNotice,    // notices: standard error when verbose, else the system log
  kError,     // errors: standard error and the system log
  kSysError,  // an error with the system's reason (errno) appended
  kSent,      // the trace of commands sent, from verbosity 3
  kReceived,  // the trace of replies received, from verbosity 3
};
inline constexpr MessageClass kProgress = MessageClass::kProgress;
inline constexpr MessageClass kDetail = MessageClass::kDetail;
inline constexpr MessageClass kNotice = MessageClass::kNotice;
inline constexpr MessageClass kError = MessageClass::kError;
inline constexpr MessageClass kSysError = MessageClass::kSysError;
inline constexpr MessageClass kSent = MessageClass::kSent;
inline constexpr MessageClass kReceived = MessageClass::kReceived;

/// Longest text of the notice and error classes; longer ones are cut.
inline constexpr int kMessageMax = 1023;

/// Issues one message of the given class; the class decides whether and where it shows.
void message(MessageClass cls, const char* format, ...) __attribute__((format(printf, 2, 3)));

/// Opens the system log with the program name, LOG_PID and LOG_NEWS.
void open_log();

/// Writes one progress dot to standard error.
void progress_dot();

/// Ends a line of progress dots.
void end_dots();

/// The number of dots written since the last newline.
int dot_count();

/// The system's text for an error number.
const char* error_text(int errnum);

/// Reports a line of file that has found fields instead of expected ("bad
/// syntax in ..."); returns true when it did (the line is to be skipped).
bool syntax_check(const char* line, int found, int expected, const char* file);

}  // namespace report
