// Entries of the outgoing spool (post::read_spool_entry) and the merge of a
// retry file into a queue (post::append_file). Input: a first byte that says
// where the rest is cut in two, then the spool file; the part before the cut
// plays the queue and the part after it the retry file appended to it.
//
// Properties: the entries are those of a second reader written from the
// documented rules (reads of at most 1023 bytes up to a newline, each read
// counted; an entry is what comes before the first blank, newline or NUL of
// a read; reads with none are skipped), each not empty and without blank,
// newline or NUL; entries written to a retry file one a line read back the
// same; the merged file is the queue, a newline when it ended inside a line,
// then the retry file, and it holds the queue's entries then the retry
// file's.
#include <sys/mman.h>
#include <unistd.h>

#include <cstdio>
#include <string>
#include <vector>

#include "base/settings.h"
#include "post/outgoing.h"
#include "support/fuzz_support.h"

namespace {

constexpr size_t kRead = 1023;

struct Entries {
  std::vector<std::string> entries;
  long reads = 0;
  bool operator==(const Entries&) const = default;
};

// The documented reader.
Entries expected_entries(std::string_view text) {
  Entries result;
  while (!text.empty()) {
    size_t length = std::min(text.size(), kRead);
    const size_t newline = text.substr(0, length).find('\n');
    if (newline != std::string_view::npos) length = newline + 1;
    const std::string_view piece = text.substr(0, length);
    text.remove_prefix(length);
    ++result.reads;
    const std::string_view entry =
        piece.substr(0, std::min(piece.size(), piece.find_first_of(std::string_view(" \n\0", 3))));
    if (!entry.empty()) result.entries.emplace_back(entry);
  }
  return result;
}

// A stream in memory, readable and writable, holding text, at its start.
FILE* stream_with(std::string_view text) {
  const int fd = memfd_create("tessu-fuzz-spool", MFD_CLOEXEC);
  FUZZ_CHECK(fd >= 0);
  FILE* file = fdopen(fd, "w+");
  FUZZ_CHECK(file != nullptr);
  FUZZ_CHECK(fwrite(text.data(), 1, text.size(), file) == text.size());
  FUZZ_CHECK(fflush(file) == 0);
  rewind(file);
  return file;
}

std::string content_of(FILE* file) {
  rewind(file);
  std::string text;
  char block[4096];
  size_t got;
  while ((got = fread(block, 1, sizeof block, file)) > 0) text.append(block, got);
  return text;
}

Entries read_entries(FILE* file) {
  Entries result;
  std::string entry;
  while (post::read_spool_entry(file, &entry, &result.reads)) {
    FUZZ_CHECK(!entry.empty());
    FUZZ_CHECK(entry.size() <= kRead);
    FUZZ_CHECK(entry.find_first_of(std::string_view(" \n\0", 3)) == std::string::npos);
    result.entries.push_back(entry);
  }
  return result;
}

Entries read_entries(std::string_view text) {
  FILE* file = stream_with(text);
  Entries result = read_entries(file);
  fclose(file);
  return result;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size == 0) return 0;
  fuzz::reset_settings();
  const std::string_view text = fuzz::as_text(data + 1, size - 1);
  const size_t cut = text.size() * data[0] / 255;

  const Entries entries = read_entries(text);
  FUZZ_CHECK(entries == expected_entries(text));

  // What post_outgoing keeps for the next run: each entry on a line.
  std::string retry;
  for (const std::string& entry : entries.entries) retry += entry + '\n';
  const Entries kept = read_entries(retry);
  FUZZ_CHECK(kept.entries == entries.entries);
  // An entry of a whole read's length leaves its newline to a read of its own.
  long reads = 0;
  for (const std::string& entry : entries.entries) reads += entry.size() == kRead ? 2 : 1;
  FUZZ_CHECK(kept.reads == reads);

  const std::string_view queue = text.substr(0, cut);
  const std::string_view held = text.substr(cut);
  FILE* destination = stream_with(queue);
  FILE* source = stream_with(held);
  FUZZ_CHECK(post::append_file(destination, "queue", source));
  FUZZ_CHECK(ftell(destination) == 0);
  const Entries merged_entries = read_entries(destination);
  const std::string merged = content_of(destination);
  fclose(destination);
  fclose(source);

  std::string expected(queue);
  if (!queue.empty() && queue.back() != '\n') expected += '\n';
  expected += held;
  FUZZ_CHECK(merged == expected);
  std::vector<std::string> both = read_entries(queue).entries;
  for (const std::string& entry : read_entries(held).entries) both.push_back(entry);
  FUZZ_CHECK(merged_entries.entries == both);
  return 0;
}
