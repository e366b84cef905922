// Lines of the host active file: the per-server record of the next article to
// fetch in each group, with comments, tags and old newsrc-style lines among them.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <string>
#include <string_view>

namespace fetch {

/// Lines are read in pieces of at most this many bytes, terminator included.
inline constexpr int kHostLineBuffer = 1024;

/// Longest group name of a group line: its rewritten line ("%s %ld\n" with
/// any number: a blank, at most 20 characters, a newline) then still fits one
/// piece, so the next run reads it back as it was written. A longer name
/// cannot be a group's; such a line is malformed.
inline constexpr size_t kHostGroupNameMax = kHostLineBuffer - 1 - 22;

/// What a line of the host active file is.
enum class HostLineKind {
  kComment,    // blank, or "#" first: copied unchanged
  kTag,        // ":" first: a mark --end can stop at
  kGroup,      // a group name and the next article number
  kMalformed,  // "!" first, a NUL byte, or a name too long: no group name can be read
};

/// How a group line was written.
enum class GroupForm {
  kPlain,         // "group number"
  kSubscribed,    // newsrc "group: ranges"
  kUnsubscribed,  // newsrc "group! ranges"
};

/// One classified line.
struct HostLine {
  HostLineKind kind = HostLineKind::kComment;
  GroupForm form = GroupForm::kPlain;
  std::string name;    // the group, or the tag of a tag line
  int64_t number = 0;  // the group's next article number; 0 when the line gives none
};

/// Classifies a piece of a line (the bytes as read, newline kept when the
/// piece holds it). A NUL byte cannot stand in a tag, a group name or a
/// number: a piece that is not a comment and holds one is malformed, and so
/// is a group line whose name is longer than kHostGroupNameMax. A newsrc
/// line's number is the digit run that ends the piece; read_host_line carries
/// it on through the rest of a longer line.
HostLine parse_host_line(std::string_view piece);

/// Reads the host active file line by line, holding only the current piece.
struct HostActiveReader {
  FILE* file = nullptr;
  char piece[kHostLineBuffer] = {};  // the first piece of the current line
  size_t piece_length = 0;           // its bytes (a NUL inside ends the parse, not the copy)
  bool rest_pending = false;         // the current line goes on after piece
  bool read_error = false;           // reading the file failed
};

/// Reads the next line into line; false at the end of the file (or after a
/// read error). A line longer than the buffer is read in pieces: the rest of
/// a newsrc line is consumed here for its number; the rest of a comment or
/// malformed line is left for copy_line_rest, so that it is copied whole; each
/// further piece of any other line is read by the next call as a line of its
/// own. A newline right after a full piece ends that piece's line.
bool read_host_line(HostActiveReader* reader, HostLine* line);

/// Copies what is left of the current line to out, or skips it when out is
/// null. A line the file ended without a newline gets one, so that nothing
/// written after it joins it. Callers write the first piece, then call this.
void copy_line_rest(HostActiveReader* reader, FILE* out);

/// Creates the temporary host active file at path for writing: a leftover of
/// any kind is removed first, then the file is made afresh (never through a
/// symbolic link), mode 0666 less the umask. Null with errno set on failure.
FILE* create_host_active_temp(const char* path);

}  // namespace fetch
