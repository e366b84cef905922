// The one message function: progress, details, notices, errors and the trace
// of the conversation with the server, each class with its own threshold and
// destination.
#pragma once

namespace report {

/// Message classes, named by the character callers pass.
inline constexpr char kProgress = '=';
inline constexpr char kDetail = '5';
inline constexpr char kNotice = '&';
inline constexpr char kError = '?';
inline constexpr char kSysError = '!';
inline constexpr char kSent = '>';
inline constexpr char kReceived = '<';

/// Longest text of the notice and error classes; longer ones are cut.
inline constexpr int kMessageMax = 1023;

/// Issues one message of the given class; the class decides whether and where it shows.
void message(char cls, const char* format, ...) __attribute__((format(printf, 2, 3)));

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

}  // namespace report
