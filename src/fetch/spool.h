// The incoming spool: fetched articles appended to rnews batches published in
// INCOMING under their final names, or piped to rnews, inews or another program.
#pragma once

#include <sys/types.h>
#include <cstddef>
#include <cstdint>
#include <cstdio>

namespace fetch {

/// Appends one article (lines ending in "\n", dot-stuffing undone, no end
/// line) to the current batch, opening one when none is open; false after a
/// message when it could not be written. In inews pipe mode the article is
/// published at once.
bool spool_article(const char* text, size_t length, bool has_path);

/// Bytes of article text stored since reset_batch_size (the pull loop
/// compares it with --size, then flushes and resets it).
int64_t batch_size();
void reset_batch_size();

/// Articles stored that have not been published yet: those of the open batch,
/// and those of a batch that could not be published. Only a published batch
/// takes its articles off; in inews pipe mode it is always 0.
int64_t unpublished_articles();

/// Closes and publishes the current batch (renames the file into place after
/// flushing it to disk, or closes the pipe and waits for the program); true
/// when published or when there was none. interrupted only makes its messages
/// progress messages instead of detail messages. Fatal failures end the run.
bool flush_spool(bool interrupted);

/// Removes the temporary batches of this spool name that runs which died
/// left in INCOMING (their articles were never recorded as fetched); a
/// batch still being written is locked and stays.
void remove_stale_batches();

/// Makes the names of the batches published so far durable (one sync of
/// INCOMING); called before the host active file records their articles.
void sync_published_batches();

/// Replaces the trailing "XXXXXX" of a path template with six characters of
/// 0-9A-V that name no existing file; false when none could be found.
bool make_unique_name(char* path_template);

/// Starts the pipe program (--rnews, --rnews-to, --inews, --pipe-to) with its
/// input a pipe from us; returns the write stream (pid set), or null after a
/// message.
FILE* open_news_pipe(pid_t* pid);

/// Closes the pipe and waits for the program; true when its wait status is 0.
bool close_news_pipe(FILE* stream, pid_t pid);

/// After the pull's cleanup the spool is closed for good: spool_article then
/// refuses (an article arriving so late is never fetched "half").
void close_spool_for_good();

}  // namespace fetch
