#include "fetch/host_active.h"

#include <sys/stat.h>
#include <unistd.h>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "support/tessu_runner.h"

namespace {

using fetch::GroupForm;
using fetch::HostLine;
using fetch::HostLineKind;
using fetch::parse_host_line;
using testsupport::read_file;

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
  const ReadBack back = read_all(comment + bad);
  ASSERT_EQ(back.lines.size(), 2u);
  EXPECT_EQ(back.lines[0].kind, HostLineKind::kComment);
  EXPECT_EQ(back.lines[1].kind, HostLineKind::kMalformed);
  EXPECT_EQ(back.copied, comment + "#ERR# " + bad);
}

// A piece is what one read takes: kHostLineBuffer - 1 bytes at most.
constexpr size_t kPiece = fetch::kHostLineBuffer - 1;

TEST(HostActiveReader, EveryFurtherPieceOfALongGroupOrTagLineIsALineOfItsOwn) {
  const std::string group_head = "comp.lang.c 12 ";
  const std::string group = group_head + std::string(2000, 'x') + "\n";
  const std::string tag = ":tag " + std::string(1500, 't') + "\n";
  const ReadBack back = read_all(group + tag);
  ASSERT_EQ(back.lines.size(), 4u);
  EXPECT_EQ(back.lines[0].name, "comp.lang.c");
  EXPECT_EQ(back.lines[0].number, 12);
  // The second piece of each is a group name without a number.
  const std::string x_rest(2000 - (kPiece - group_head.size()), 'x');
  const std::string t_rest(1500 - (kPiece - 5), 't');
  EXPECT_EQ(back.lines[1].name, x_rest);
  EXPECT_EQ(back.lines[2].kind, HostLineKind::kTag);
  EXPECT_EQ(back.lines[2].name, "tag");
  EXPECT_EQ(back.lines[3].name, t_rest);
  EXPECT_EQ(back.copied, "comp.lang.c 12\n" + x_rest + " 0\n:tag\n" + t_rest + " 0\n");
}

TEST(HostActiveReader, NewlineRightAfterAFullPieceEndsItsLine) {
  // 1023 bytes and the newline: one tag line, written back as it was.
  const std::string tag = ":" + std::string(kPiece - 1, 't') + "\n";
  const std::string group = std::string(kPiece, ' ') + "\nalt.x 1\n";
  ReadBack back = read_all(tag + group);
  ASSERT_EQ(back.lines.size(), 3u);
  EXPECT_EQ(back.lines[0].name.size(), kPiece - 1);
  EXPECT_EQ(back.copied, tag + group);
}

TEST(HostActiveLine, NulBytesMakeAnyButACommentMalformed) {
  using namespace std::string_literals;
  for (const std::string& text :
       {"alt\0test 5\n"s, "alt.test 5\0\n"s, "alt.test: 1-5\0,7\n"s, ":ta\0g\n"s, " !\0\n"s}) {
    EXPECT_EQ(parse_host_line(text).kind, HostLineKind::kMalformed) << text;
  }
  for (const std::string& text : {"# a\0comment\n"s, "\0alt.test 5\n"s, " \t\0\n"s}) {
    EXPECT_EQ(parse_host_line(text).kind, HostLineKind::kComment) << text;
  }
}

TEST(HostActiveReader, LinesWithNulBytesComeBackWithEveryByte) {
  using namespace std::string_literals;
  const std::string text = "alt\0test 5\n# c\0mment\n\0\0\n:t\0\nalt.test 6\n"s;
  EXPECT_EQ(read_all(text).copied,
            "#ERR# alt\0test 5\n# c\0mment\n\0\0\n#ERR# :t\0\nalt.test 6\n"s);
}

TEST(HostActiveLine, GroupNameLongerThanItsRewrittenLineCanHoldIsMalformed) {
  const std::string longest(fetch::kHostGroupNameMax, 'n');
  HostLine line = parse_host_line(longest + " -9223372036854775807\n");
  EXPECT_EQ(line.kind, HostLineKind::kGroup);
  EXPECT_EQ(line.name, longest);
  EXPECT_EQ(parse_host_line(longest + "n 5\n").kind, HostLineKind::kMalformed);
  EXPECT_EQ(parse_host_line(longest + "n: 1-5\n").kind, HostLineKind::kMalformed);
}

TEST(HostActiveReader, MegabyteGroupNameComesBackWholeBehindTheMarker) {
  const std::string huge = "alt." + std::string(1 << 20, 'a') + " 7\n";
  const ReadBack back = read_all(huge + "alt.next 3\n");
  ASSERT_EQ(back.lines.size(), 2u);
  EXPECT_EQ(back.lines[0].kind, HostLineKind::kMalformed);
  EXPECT_TRUE(back.copied == "#ERR# " + huge + "alt.next 3\n");
}

// Lines of random bytes and lengths, newlines among them, with many near
// the length of a piece: runs of name characters after a tag mark, a blank or
// nothing, and a number or none.
std::string random_host_file(unsigned seed) {
  std::string text;
  unsigned state = seed;
  auto next = [&state](unsigned bound) {
    state = state * 1103515245u + 12345u;
    return (state >> 8) % bound;
  };
  const std::string alphabet = std::string("  \t\t!!::##\0\r\v\f-+0123456789") + "alt.test";
  for (int line = 0; line < 400; ++line) {
    if (next(3) == 0) {
      const char* starts[] = {"", ":", " ", "\t:"};
      text += starts[next(4)];
      text += std::string(kPiece - 40 + next(50), 'a');
      if (next(2) == 0) text += " " + std::to_string(next(100000));
    } else {
      const unsigned length = next(8) == 0 ? 900 + next(2500) : next(40);
      for (unsigned i = 0; i < length; ++i) {
        text += next(4) == 0 ? static_cast<char>(next(256)) : alphabet[next(alphabet.size())];
      }
    }
    if (next(20) != 0) text += '\n';
  }
  return text;
}

TEST(HostActiveReader, WhatIsWrittenBackReadsBackTheSame) {
  for (unsigned seed = 1; seed <= 20; ++seed) {
    const std::string once = read_all(random_host_file(seed)).copied;
    const std::string twice = read_all(once).copied;
    EXPECT_TRUE(once == twice) << "seed " << seed;
  }
}

TEST(HostActiveTemp, LeftoverOrPlantedLinkIsReplacedNotFollowed) {
  char dir_template[] = "/tmp/tessu-temp-XXXXXX";
  ASSERT_NE(mkdtemp(dir_template), nullptr);
  const std::string dir = dir_template;
  const std::string outside = dir + "/outside";
  const std::string temp = dir + "/upstream.tmp";
  FILE* victim = fopen(outside.c_str(), "w");
  ASSERT_NE(victim, nullptr);
  fputs("precious\n", victim);
  fclose(victim);
  ASSERT_EQ(symlink(outside.c_str(), temp.c_str()), 0);

  FILE* file = fetch::create_host_active_temp(temp.c_str());
  ASSERT_NE(file, nullptr);
  fputs("alt.test 5\n", file);
  fclose(file);
  struct stat st;
  ASSERT_EQ(lstat(temp.c_str(), &st), 0);
  EXPECT_TRUE(S_ISREG(st.st_mode));
  EXPECT_EQ(read_file(outside), "precious\n");
  EXPECT_EQ(read_file(temp), "alt.test 5\n");

  // What cannot be removed is reported as a failure to create.
  unlink(temp.c_str());
  ASSERT_EQ(mkdir(temp.c_str(), 0755), 0);
  errno = 0;
  EXPECT_EQ(fetch::create_host_active_temp(temp.c_str()), nullptr);
  EXPECT_EQ(errno, EEXIST);

  rmdir(temp.c_str());
  unlink(outside.c_str());
  rmdir(dir.c_str());
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
