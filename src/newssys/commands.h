// The command lines tessu hands to the local news system's programs, and
// ctlinnd and sm run with them.
#pragma once

#include <cstddef>
#include <cstdint>
#include <ctime>

#include "sys/children.h"
#include "sys/command_line.h"

namespace newssys {

/// ctlinnd's option that keeps it quiet on success.
inline constexpr const char* kCtlinndSilent = "-s";
/// ctlinnd's command that makes INN close a renamed batch file and begin a new one.
inline constexpr const char* kCtlinndFlush = "flush";
/// Longest ctlinnd time-out argument: "-t" and the seconds.
inline constexpr int kCtlinndTimeoutMax = 29;
/// A buffer that holds a ctlinnd time-out argument.
using CtlinndTimeoutBuffer = char[kCtlinndTimeoutMax + 1];

/// Writes ctlinnd's time-out argument ("-t" and seconds) into dest; every
/// 64-bit value fits.
void format_ctlinnd_timeout(CtlinndTimeoutBuffer& dest, int64_t seconds);

/// ctlinnd's command line: path, "-s", the time-out argument, the command word
/// and its argument (the list ends at the first null).
sys::ArgVector ctlinnd_arguments(const char* path, const char* timeout_arg, const char* command,
                                 const char* argument);

/// Runs ctlinnd -s -tTIMEOUT command argument and waits; returns the wait status.
int run_ctlinnd(const char* command, const char* argument);

/// sm's option that keeps it quiet about a token it cannot retrieve.
inline constexpr const char* kSmQuiet = "-q";
/// Hexadecimal digits of a storage token as INN writes it: its 18 bytes (the
/// storage type, the storage class and 16 bytes of the method's own).
inline constexpr size_t kStorageTokenDigits = 36;

/// True when entry has the form of a storage token: '@', kStorageTokenDigits
/// hexadecimal digits, '@'.
bool is_storage_token(const char* entry);

/// sm's command line that writes the article of a token: path, "-q", token.
sys::ArgVector sm_arguments(const char* path, const char* token);

/// Runs NEWSBIN's sm -q token, reading the article it writes (at most limit
/// bytes) into *result.
void read_stored_article(const char* token, size_t limit, sys::ProgramOutput* result);

/// grephistory's option that prints an article's whole history line.
inline constexpr const char* kGrephistoryLine = "-l";

/// The arrival time in a line of INN's history ("[hash]", a tab,
/// "arrived~expires~posted", a tab, the token) into *arrived; false when the
/// line has none.
bool parse_history_arrival(const char* line, time_t* arrived);

/// The time INN's history records for the arrival of the article with
/// message_id, asked of NEWSBIN's grephistory -l, into *arrived; false after
/// a message when it is not known.
bool stored_arrival(const char* message_id, time_t* arrived);

}  // namespace newssys
