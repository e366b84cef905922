// External filter programs: the message-ID filter command and the full-article
// filter coprocess.
#pragma once

#include <cstddef>

namespace fetch {

/// Columns the --mfilter command is right-aligned in (longer commands are cut).
inline constexpr int kMfilterCommandWidth = 1024;

/// Columns the message ID is right-aligned in (longer IDs are cut).
inline constexpr int kMfilterIdWidth = 512;

/// Room for the --mfilter shell command line: the two fields, the blank and
/// quotes between them, a backslash before each character of the ID that the
/// shell would otherwise expand inside double quotes, and the terminator.
inline constexpr size_t kMfilterLineMax = 2048 + kMfilterIdWidth;

/// Room for the full filter's verdict line, line end and terminator included.
inline constexpr int kFilterVerdictMax = 512;

/// Builds the shell command line that runs command on message_id: the command
/// right-aligned in kMfilterCommandWidth columns, a blank, and the ID
/// right-aligned in kMfilterIdWidth columns inside double quotes, so that the
/// program gets it as one argument led by blanks. '"', '\\', '$' and '`' of the
/// ID are escaped so that the argument is the ID's own text. buffer holds at
/// least kMfilterLineMax bytes.
void format_mfilter_command(char* buffer, const char* command, const char* message_id);

/// True when the --mfilter command refuses the message ID (exits non-zero);
/// false when it accepts it or no --mfilter is set.
bool mfilter_rejects(const char* message_id);

/// Passes one line of an article, as received (dot-stuffed, its line end as
/// it came), to the --filter coprocess, which is started at the first line.
/// A failed write stops the filter.
void filter_feed_line(const char* line, size_t length);

/// Asks the --filter coprocess for its verdict on the article it was fed;
/// true when it refuses the article, false when it accepts it, when no filter
/// is running, and on every failure (the filter is then stopped).
bool filter_verdict(const char* article_number);

/// Closes the --filter coprocess and clears the --filter setting: no later
/// article is filtered.
void filter_stop();

}  // namespace fetch
