// The host active file: the per-server record of the next article to fetch in
// each group, with comments, tags and old newsrc-style lines among them. It is
// read line by line while its new contents are written under a temporary
// name, which replaces it when the pull ends (and at checkpoints on the way).
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <string>
#include <string_view>
#include <vector>

#include "report/message.h"
#include "report/util.h"

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

/// A group line of the new file whose number counts articles the incoming
/// spool has not published yet.
struct PendingLine {
  long offset = 0;    // where the line starts in the new file
  size_t length = 0;  // its bytes, newline included
  std::string name;
  int64_t durable = 0;  // the number to record should those articles be lost
};

/// The rewrite of one spool name's host active file. The old file is read
/// line by line while the new one is written under the temporary name; at the
/// end the new file replaces the old one, which becomes the previous
/// generation. A checkpoint replaces the file on the way with what a crash
/// should leave.
struct HostActiveUpdate {
  report::PathBuffer path = {};             // INHOSTS "/" spool name
  report::PathBuffer temp_path = {};        // the new file: path ".tmp"
  report::PathBuffer old_path = {};         // path ".old"; empty: no previous generation is made
  report::PathBuffer checkpoint_path = {};  // path ".ckpt"
  std::string directory;                    // INHOSTS
  HostActiveReader reader;                  // reader.file: the old file until it is closed
  FILE* temp = nullptr;                     // the new file while it is written
  std::vector<PendingLine> pending;
  bool checkpoints = false;  // checkpoints are written (none after one failed)
  int64_t checkpoint_interval_ms = 0;
  int64_t last_checkpoint_ms = 0;  // when the update began or last wrote a checkpoint
  bool checkpointed = false;       // the host active file holds a checkpoint of this update
  bool previous_made = false;      // the first checkpoint made the previous generation
};

/// Starts the update of spool_name's host active file in directory: builds
/// the paths (a name too long ends the run) and, when checkpoints are wanted,
/// removes a checkpoint a killed run left behind.
void start_host_active_update(HostActiveUpdate* update, const char* directory,
                              const char* spool_name, bool checkpoints);

/// Opens the host active file for reading (a missing one is reported, read as
/// empty, and no previous generation is made of it) and creates the new file.
/// False after a system error message when the new file cannot be created.
bool open_host_active_update(HostActiveUpdate* update);

/// Reads the next line of the old file; false at its end, after a read error
/// (reader.read_error), or when there is no old file.
bool next_host_line(HostActiveUpdate* update, HostLine* line);

/// Writes the line just read the way the new file keeps a line that is not
/// pulled: a comment as it was, a tag as ":tag", a malformed line whole behind
/// "#ERR# ", a group in the plain form "name number" with its number.
void keep_host_line(HostActiveUpdate* update, const HostLine& line);

/// Writes the group line "name number". durable is the number to record
/// instead should the articles that number counts never be published (see
/// finish_new_file); it is number itself when the line rests on no such article.
void write_group_line(HostActiveUpdate* update, const char* name, int64_t number, int64_t durable);

/// Flushes the new file's buffer, so that the lines written so far are in it.
void flush_new_file(HostActiveUpdate* update);

/// The articles the pending group lines count are published: their numbers stand.
void settle_pending_lines(HostActiveUpdate* update);

/// Closes the old file, reporting a read error ("can't read host active").
void close_host_active(HostActiveUpdate* update);

/// True when a checkpoint is due: checkpoints are on and the interval has
/// passed since the update began or wrote the last one.
bool checkpoint_due(const HostActiveUpdate& update);

/// Replaces the host active file with what a crash right now should leave: the
/// lines written so far, then the group in progress at number (when group is
/// not null), then the lines of the old file not read yet, as they stand. The
/// first checkpoint makes the previous generation. A failed one is reported
/// and no further one is written.
void write_checkpoint(HostActiveUpdate* update, const char* group, int64_t number);

/// Completes the new file: copies the lines of the old file not read yet,
/// closes the old file, puts the pending group lines back to their durable
/// numbers when their articles were lost, and writes the new file to disk.
/// False after a message when the new file may lack lines of the old one; it
/// is then removed.
bool finish_new_file(HostActiveUpdate* update, bool articles_lost);

/// Removes the new file: the host active file stays as it was.
void discard_new_file(HostActiveUpdate* update);

/// Moves the new file into place: the host active file becomes the previous
/// generation (unless a checkpoint made it already), then the new file the
/// host active file, each reported as "renaming %s to %s" in class cls. False
/// after a system error message when a rename failed.
bool replace_host_active(HostActiveUpdate* update, report::MessageClass cls);

}  // namespace fetch
