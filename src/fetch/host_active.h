// Lines of the host active file: the per-server record of the next article to
// fetch in each group, with comments, tags and old newsrc-style lines among them.
#pragma once

#include <cstdint>
#include <cstdio>
#include <string>

namespace fetch {

/// Lines are read in pieces of at most this many bytes, terminator included.
inline constexpr int kHostLineBuffer = 1024;

/// What a line of the host active file is.
enum class HostLineKind {
  kComment,    // blank, or "#" first: copied unchanged
  kTag,        // ":" first: a mark --end can stop at
  kGroup,      // a group name and the next article number
  kMalformed,  // "!" first: no group name can be read
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

/// Classifies the first piece of a line (the text as read, newline kept when
/// the piece holds it). A newsrc line's number is the digit run that ends the
/// piece; read_host_line carries it on through the rest of a longer line.
HostLine parse_host_line(const char* piece);

/// Reads the host active file line by line, holding only the current piece.
struct HostActiveReader {
  FILE* file = nullptr;
  char piece[kHostLineBuffer] = {};  // the first piece of the current line
  size_t piece_length = 0;           // its bytes (a NUL inside ends the parse, not the copy)
  bool rest_pending = false;         // the current line goes on after piece
  bool read_error = false;           // reading the file failed
};

/// Reads the next line into line; false at the end of the file (or after a
/// read error). What a tag or group line holds beyond its first piece is
/// consumed here; the rest of a long comment or malformed line is left for
/// copy_line_rest.
bool read_host_line(HostActiveReader* reader, HostLine* line);

/// Copies what is left of the current line to out, or skips it when out is
/// null. A line the file ended without a newline gets one, so that nothing
/// written after it joins it. Callers write the first piece, then call this.
void copy_line_rest(HostActiveReader* reader, FILE* out);

}  // namespace fetch
