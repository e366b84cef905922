#include "fetch/host_active.h"

#include <cstdio>
#include <string>
#include <vector>

#include <gtest/gtest.h>

namespace {

using fetch::GroupForm;
using fetch::HostLine;
using fetch::HostLineKind;
using fetch::parse_host_line;

TEST(HostActiveLine, CommentsAndBlankLines) {
  for (const char* text : {"# a comment\n", "   # indented\n", "\n", " \t\r\n", ""}) {
    EXPECT_EQ(parse_host_line(text).kind, HostLineKind::kComment) << '"' << text << '"';
  }
}

TEST(HostActiveLine, TagIsCutAtNewlineTabThenBlank) {
  HostLine line = parse_host_line(":  nightly\textra words\n");
  EXPECT_EQ(line.kind, HostLineKind::kTag);
  EXPECT_EQ(line.name, "nightly");
  EXPECT_EQ(parse_host_line(" :late more\n").name, "late");
  EXPECT_EQ(parse_host_line(":\n").name, "");
}

TEST(HostActiveLine, PlainGroupLines) {
  HostLine line = parse_host_line("comp.lang.c 120\n");
  EXPECT_EQ(line.kind, HostLineKind::kGroup);
  EXPECT_EQ(line.form, GroupForm::kPlain);
  EXPECT_EQ(line.name, "comp.lang.c");
  EXPECT_EQ(line.number, 120);

  EXPECT_EQ(parse_host_line("  alt.test\t  -5 trailing\n").number, -5);
  EXPECT_EQ(parse_host_line("alt.test\t  -5\n").name, "alt.test");
  // No number, or none readable: 0, an unseen group.
  EXPECT_EQ(parse_host_line("alt.test\n").number, 0);
  EXPECT_EQ(parse_host_line("alt.test").number, 0);
  EXPECT_EQ(parse_host_line("alt.test junk\n").number, 0);
  EXPECT_EQ(parse_host_line("alt.test 99999999999999999999999\n").number, INT64_MAX);
}

TEST(HostActiveLine, NewsrcLinesTakeTheDigitsThatEndTheLine) {
  HostLine line = parse_host_line("alt.test: 1-50,52\n");
  EXPECT_EQ(line.kind, HostLineKind::kGroup);
  EXPECT_EQ(line.form, GroupForm::kSubscribed);
  EXPECT_EQ(line.name, "alt.test");
  EXPECT_EQ(line.number, 52);

  line = parse_host_line("alt.test! 1-50,52\n");
  EXPECT_EQ(line.form, GroupForm::kUnsubscribed);
  EXPECT_EQ(line.number, 52);

  EXPECT_EQ(parse_host_line("alt.test: 1-50,\n").number, 0);
  EXPECT_EQ(parse_host_line("alt.test:\n").number, 0);
  EXPECT_EQ(parse_host_line("alt.test: 1-7 \n").number, 0);  // a blank ends it, not a digit
}

TEST(HostActiveLine, BangFirstIsMalformed) {
  EXPECT_EQ(parse_host_line("!alt.test 5\n").kind, HostLineKind::kMalformed);
  EXPECT_EQ(parse_host_line("   !\n").kind, HostLineKind::kMalformed);
}

// Feeds text through the reader and writes every line back the way a
// stopped pull does: comments and malformed lines as they were, tags and
// groups in their written forms.
struct ReadBack {
  std::vector<HostLine> lines;
  std::string copied;
};

ReadBack read_all(const std::string& text) {
  ReadBack result;
  FILE* in = tmpfile();
  FILE* out = tmpfile();
  fwrite(text.data(), 1, text.size(), in);
  rewind(in);
  fetch::HostActiveReader reader;
  reader.file = in;
  HostLine line;
  while (fetch::read_host_line(&reader, &line)) {
    result.lines.push_back(line);
    switch (line.kind) {
      case HostLineKind::kComment:
        fwrite(reader.piece, 1, reader.piece_length, out);
        fetch::copy_line_rest(&reader, out);
        break;
      case HostLineKind::kMalformed:
        fputs("#ERR# ", out);
        fwrite(reader.piece, 1, reader.piece_length, out);
        fetch::copy_line_rest(&reader, out);
        break;
      case HostLineKind::kTag:
        fprintf(out, ":%s\n", line.name.c_str());
        break;
      case HostLineKind::kGroup:
        fprintf(out, "%s %ld\n", line.name.c_str(), static_cast<long>(line.number));
        break;
    }
  }
  EXPECT_FALSE(reader.read_error);
  rewind(out);
  char buffer[4096];
  size_t got;
  while ((got = fread(buffer, 1, sizeof buffer, out)) > 0) result.copied.append(buffer, got);
  fclose(in);
  fclose(out);
  return result;
}

TEST(HostActiveReader, NewsrcLineLongerThanTheBufferKeepsItsLastNumber) {
  std::string ranges;
  for (int i = 1; ranges.size() < 5000; i += 3) {
    ranges += std::to_string(i) + "-" + std::to_string(i + 1) + ",";
  }
  ranges += "12345";
  const ReadBack back = read_all("alt.long: " + ranges + "\ncomp.next 7\n");
  ASSERT_EQ(back.lines.size(), 2u);
  EXPECT_EQ(back.lines[0].name, "alt.long");
  EXPECT_EQ(back.lines[0].number, 12345);
  EXPECT_EQ(back.lines[1].name, "comp.next");
  EXPECT_EQ(back.lines[1].number, 7);
  EXPECT_EQ(back.copied, "alt.long 12345\ncomp.next 7\n");
}

TEST(HostActiveReader, DigitRunSplitByTheBufferIsJoined) {
  // The first piece holds 1023 bytes and ends inside the final number.
  std::string line = "alt.split: ";
  while (line.size() < 1021) line += ",";
  line += "98";  // bytes 1022 and 1023; "76" comes in the next piece
  ASSERT_EQ(line.size(), 1023u);
  const ReadBack back = read_all(line + "76\n");
  ASSERT_EQ(back.lines.size(), 1u);
  EXPECT_EQ(back.lines[0].number, 9876);
}

TEST(HostActiveReader, LongCommentsAndMalformedLinesStayWhole) {
  const std::string comment = "# " + std::string(3000, 'c') + " alt.fake 5\n";
  const std::string bad = "!" + std::string(2000, 'b') + "\n";
  const std::string group = "comp.lang.c 12 " + std::string(2000, 'x') + "\n";
  const ReadBack back = read_all(comment + bad + group + ":tag " + std::string(1500, 't') + "\n");
  ASSERT_EQ(back.lines.size(), 4u);
  EXPECT_EQ(back.lines[0].kind, HostLineKind::kComment);
  EXPECT_EQ(back.lines[1].kind, HostLineKind::kMalformed);
  EXPECT_EQ(back.lines[2].kind, HostLineKind::kGroup);
  EXPECT_EQ(back.lines[2].number, 12);
  EXPECT_EQ(back.lines[3].kind, HostLineKind::kTag);
  EXPECT_EQ(back.copied, comment + "#ERR# " + bad + "comp.lang.c 12\n:tag\n");
}

TEST(HostActiveReader, LastLineWithoutNewlineGetsOne) {
  EXPECT_EQ(read_all("# end").copied, "# end\n");
  EXPECT_EQ(read_all("!x").copied, "#ERR# !x\n");
  EXPECT_EQ(read_all("alt.test 5").copied, "alt.test 5\n");
  // A comment line of exactly the buffer's length, then its newline alone.
  const std::string exact = "#" + std::string(1022, 'e');
  EXPECT_EQ(read_all(exact + "\nalt.x 1\n").copied, exact + "\nalt.x 1\n");
  EXPECT_EQ(read_all(exact).copied, exact + "\n");
}

}  // namespace
