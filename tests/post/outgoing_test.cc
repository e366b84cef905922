// The pure pieces of the outgoing spool: reading entries and appending files.

#include <unistd.h>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "base/settings.h"
#include "post/outgoing.h"
#include "support/capture.h"
#include "support/settings_guard.h"

namespace {

// A stream holding text, readable and writable, positioned at its start.
FILE* stream_with(const std::string& text) {
  FILE* file = tmpfile();
  fwrite(text.data(), 1, text.size(), file);
  rewind(file);
  return file;
}

std::string content_of(FILE* file) {
  rewind(file);
  std::string text;
  char block[256];
  size_t got;
  while ((got = fread(block, 1, sizeof block, file)) > 0) text.append(block, got);
  return text;
}

struct Entries {
  std::vector<std::string> entries;
  long lines_read = 0;
};

Entries read_all(const std::string& text) {
  FILE* file = stream_with(text);
  Entries result;
  std::string entry;
  while (post::read_spool_entry(file, &entry, &result.lines_read)) result.entries.push_back(entry);
  fclose(file);
  return result;
}

TEST(SpoolEntry, IsTheFirstFieldUpToABlank) {
  const Entries got = read_all("news/misc/123 <a@b> 1234\n/abs/path <c@d>\n./rel\n");
  EXPECT_EQ(got.entries, (std::vector<std::string>{"news/misc/123", "/abs/path", "./rel"}));
  EXPECT_EQ(got.lines_read, 3);
}

TEST(SpoolEntry, ATabIsNotASeparator) {
  const Entries got = read_all("news/misc/7\t<id@x>\n");
  EXPECT_EQ(got.entries, (std::vector<std::string>{"news/misc/7\t<id@x>"}));
}

TEST(SpoolEntry, LinesWithAnEmptyFirstFieldAreSkippedButCounted) {
  const Entries got = read_all("\n news/misc/1 <a@b>\n\nnews/misc/2\n");
  EXPECT_EQ(got.entries, (std::vector<std::string>{"news/misc/2"}));
  EXPECT_EQ(got.lines_read, 4);
}

TEST(SpoolEntry, ALastLineWithoutLineEndIsTakenWhole) {
  const Entries got = read_all("news/misc/1\nnews/misc/2");
  EXPECT_EQ(got.entries, (std::vector<std::string>{"news/misc/1", "news/misc/2"}));
}

TEST(SpoolEntry, AnOverLongLineIsReadInPiecesOf1023) {
  const std::string first(1023, 'a');
  const std::string second(1023, 'b');
  // The third piece begins with a blank, so it yields nothing.
  const Entries got = read_all(first + second + " rest\nnews/misc/9\n");
  EXPECT_EQ(got.entries, (std::vector<std::string>{first, second, "news/misc/9"}));
  EXPECT_EQ(got.lines_read, 4);
}

TEST(SpoolEntry, AnEmptyFileYieldsNothingAndReadsNothing) {
  const Entries got = read_all("");
  EXPECT_TRUE(got.entries.empty());
  EXPECT_EQ(got.lines_read, 0);
}

TEST(AppendFile, AppendsTheWholeSourceAndRewindsTheDestination) {
  std::string big;
  for (int i = 0; i < 500; ++i)
    big += "news/misc/" + std::to_string(i) + " <" + std::to_string(i) + "@x>\n";
  FILE* destination = stream_with("new/1\n");
  FILE* source = stream_with(big);
  ASSERT_TRUE(post::append_file(destination, "dest", source));
  EXPECT_EQ(ftell(destination), 0);
  EXPECT_EQ(content_of(destination), "new/1\n" + big);
  fclose(destination);
  fclose(source);
}

TEST(AppendFile, StartsTheSourceOnALineOfItsOwn) {
  // A destination cut short in the middle of a line must not swallow the
  // first appended entry.
  FILE* destination = stream_with("new/1\nnew/2 <trunc");
  FILE* source = stream_with("old/1\n");
  ASSERT_TRUE(post::append_file(destination, "dest", source));
  EXPECT_EQ(content_of(destination), "new/1\nnew/2 <trunc\nold/1\n");
  fclose(destination);
  fclose(source);

  FILE* empty = stream_with("");
  FILE* source2 = stream_with("old/1\n");
  ASSERT_TRUE(post::append_file(empty, "dest", source2));
  EXPECT_EQ(content_of(empty), "old/1\n");
  fclose(empty);
  fclose(source2);
}

TEST(AppendFile, ADestinationThatCannotBeWrittenFails) {
  const testsupport::SettingsGuard settings_guard;
  base::g_settings.program_name = "tessu";
  char name[] = "/tmp/tessu-append-XXXXXX";
  const int fd = mkstemp(name);
  ASSERT_GE(fd, 0);
  close(fd);
  FILE* read_only = fopen(name, "r");
  FILE* source = stream_with("old/1\n");
  testsupport::CaptureFd err;
  EXPECT_FALSE(post::append_file(read_only, name, source));
  EXPECT_EQ(err.take(), std::string("tessu: can't append to \"") + name + "\"\n");
  fclose(read_only);
  fclose(source);
  unlink(name);
}

}  // namespace
