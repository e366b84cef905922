// Small helpers every subsystem uses: file names with a hard length limit,
// the time format of logs and reports, room in buffers whose lack can be
// reported, and file helpers that report their own errors.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <ctime>
#include <vector>

namespace report {

/// Longest file name the program builds; buffers hold one more byte.
inline constexpr int kPathMax = 1023;
using PathBuffer = char[kPathMax + 1];

/// Concatenates the parts (up to the first null) into dest; a name longer than
/// kPathMax ends the run with status 1.
void join_path(char* dest, const char* first, const char* second = nullptr,
               const char* third = nullptr, const char* fourth = nullptr);

/// Chooses override (when given and not empty) or name; a choice starting with
/// '.' or '/' stands as it is, anything else is placed inside directory.
void resolve_path(char* dest, const char* directory, const char* name, const char* override_name);

/// The asctime text of t without its newline, in a static buffer each call overwrites.
const char* time_string(time_t t);

/// Pointer to the first character that is neither a blank nor a tab.
const char* skip_blanks(const char* text);
char* skip_blanks(char* text);

/// Makes room for capacity bytes in buffer, exactly that many when it has
/// less; false, with the buffer as it was, when the memory cannot be had.
bool try_reserve(std::vector<char>* buffer, size_t capacity);

/// try_reserve that never fails: exhaustion ends the run with status 1.
void must_reserve(std::vector<char>* buffer, size_t capacity);

/// Reads one line, or the part of it that fits, into buffer (at most
/// capacity - 1 bytes, newline kept, terminated); returns its length, 0 at the
/// end of the file, -1 on a read error.
int read_line_piece(FILE* file, char* buffer, int capacity);

/// Renames from to to; false after a system error message.
bool rename_file(const char* from, const char* to);

/// True when the open file is a regular file, storing its size when asked;
/// false after a message.
bool check_regular_file(FILE* file, const char* name, int64_t* size = nullptr);

/// When the program runs as root: true only when no user but root can change
/// the open file (owned by root, not writable by group or others), false after
/// an error message naming it by kind ("profile", "chat script", ...) and name.
/// Whatever such a file says is obeyed with root's rights. Always true for any
/// other user.
bool check_root_owned(FILE* file, const char* kind, const char* name);

/// Opens path for appending, created if missing, without following a symbolic
/// link and without blocking on a FIFO; refuses anything but a regular file.
/// Returns the stream, or nullptr after a message: the system error message
/// "can't append to \"%s\"" or the error message "\"%s\" is not a regular file".
FILE* open_append_file(const char* path);

/// Whether the local news system holds the article: this system has no access
/// to the history database, so the answer is always no.
bool history_has(const char* message_id);
/// Closes the history lookup; nothing to do.
void history_close();

/// The news server's token-based article storage is never opened; closing it does nothing.
void storage_close();

}  // namespace report
