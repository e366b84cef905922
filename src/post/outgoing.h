// The outgoing spool: the articles the local news system queued for the
// server. INN's batch file or C News's togo file is taken over for the run,
// its entries are handed to the posting one by one, the ones to be tried
// again are kept in a retry file, and at the end the retry file becomes the
// queue of the next run.
#pragma once

#include <cstdio>
#include <string>

namespace post {

/// Takes the next entry of the outgoing spool into *entry (the first call
/// opens the spool, the call that finds it exhausted puts the files in order
/// for the next run). False when there is no further entry; not to be called
/// again after that.
bool next_outgoing_entry(std::string* entry);

/// Posts every entry of the outgoing spool, starting with first, and keeps
/// the ones to be tried again for the next run.
void post_outgoing(const std::string& first);

/// Reads the next entry of a spool file: the article reference that begins
/// the next line whose reference is not empty (the characters up to the first
/// blank or newline; a tab is part of it). A line longer than 1023 characters
/// is read in pieces, each taken as a line of its own. Every read made counts
/// in *lines_read. False at the end of the file.
bool read_spool_entry(FILE* file, std::string* entry, long* lines_read);

/// Appends the whole of source to destination (a readable and writable
/// stream), starting it on a line of its own, flushes destination and leaves
/// it positioned at its start. False after a message.
bool append_file(FILE* destination, const char* destination_name, FILE* source);

}  // namespace post
