#include "fetch/host_active.h"

#include <sys/stat.h>
#include <unistd.h>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "report/message.h"
#include "support/capture.h"
#include "support/tessu_runner.h"

namespace {

using fetch::GroupForm;
using fetch::HostLine;
using fetch::HostLineKind;
using fetch::parse_host_line;
using testsupport::CaptureFd;
using testsupport::contains;
using testsupport::read_file;
using testsupport::TempSite;

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

TEST(HostActiveLine, GroupNameLongerThanItsRewrittenLineCanHoldIsMalformed) {
  const std::string longest(fetch::kHostGroupNameMax, 'n');
  HostLine line = parse_host_line(longest + " -9223372036854775807\n");
  EXPECT_EQ(line.kind, HostLineKind::kGroup);
  EXPECT_EQ(line.name, longest);
  EXPECT_EQ(parse_host_line(longest + "n 5\n").kind, HostLineKind::kMalformed);
  EXPECT_EQ(parse_host_line(longest + "n: 1-5\n").kind, HostLineKind::kMalformed);
}

// A host active file in a site of its own, rewritten through the program's
// own update: read line by line, written to the new file, moved into place.
struct HostActiveUpdateTest : testing::Test {
  TempSite site;
  fetch::HostActiveUpdate update;

  static constexpr const char* kFile = "inhosts/upstream";

  void start(bool checkpoints = false) {
    fetch::start_host_active_update(&update, site.path("inhosts").c_str(), "upstream", checkpoints);
    ASSERT_TRUE(fetch::open_host_active_update(&update));
  }
  // Ends the update and moves the new file into place.
  void replace() {
    ASSERT_TRUE(fetch::finish_new_file(&update, false));
    ASSERT_TRUE(fetch::replace_host_active(&update, report::kDetail));
  }

  // The lines of text, each written back the way the pull writes a line it
  // does not pull; what is written is the file the update leaves.
  struct ReadBack {
    std::vector<HostLine> lines;
    std::string copied;
  };
  ReadBack rewrite(const std::string& text) {
    site.write(kFile, text);
    ReadBack back;
    start();
    HostLine line;
    while (fetch::next_host_line(&update, &line)) {
      back.lines.push_back(line);
      fetch::keep_host_line(&update, line);
    }
    EXPECT_FALSE(update.reader.read_error);
    replace();
    back.copied = site.read(kFile);
    EXPECT_TRUE(site.read(std::string(kFile) + ".old") == text);
    EXPECT_FALSE(site.exists(std::string(kFile) + ".tmp"));
    return back;
  }
};

// Each kind of line in its written form; lines are read back as they were
// written, groups with their numbers.
TEST_F(HostActiveUpdateTest, LinesNotPulledAreWrittenInTheirKeptForms) {
  const ReadBack back = rewrite(
      "# upstream, fetched nightly\n"
      "  :nightly  more words\n"
      "\tcomp.lang.c\t120 trailing\n"
      "alt.test: 1-50,52\n"
      "alt.off! 1-7\n"
      "   !bad line\n"
      "\n"
      "misc.last");
  EXPECT_EQ(back.copied,
            "# upstream, fetched nightly\n"
            ":nightly\n"
            "comp.lang.c 120\n"
            "alt.test 52\n"
            "alt.off 7\n"
            "#ERR#    !bad line\n"
            "\n"
            "misc.last 0\n");

  const ReadBack again = rewrite(back.copied);
  EXPECT_EQ(again.copied, back.copied);
  ASSERT_EQ(again.lines.size(), back.lines.size());
  for (size_t i = 0; i < back.lines.size(); ++i) {
    const HostLine& before = back.lines[i];
    const HostLine& after = again.lines[i];
    if (before.kind == HostLineKind::kMalformed) {
      EXPECT_EQ(after.kind, HostLineKind::kComment);  // behind its marker
      continue;
    }
    EXPECT_EQ(after.kind, before.kind) << i;
    EXPECT_EQ(after.name, before.name) << i;
    EXPECT_EQ(after.number, before.number) << i;
    EXPECT_EQ(after.form, GroupForm::kPlain) << i;
  }
}

TEST_F(HostActiveUpdateTest, NewsrcLineLongerThanTheBufferKeepsItsLastNumber) {
  std::string ranges;
  for (int i = 1; ranges.size() < 5000; i += 3) {
    ranges += std::to_string(i) + "-" + std::to_string(i + 1) + ",";
  }
  ranges += "12345";
  const ReadBack back = rewrite("alt.long: " + ranges + "\ncomp.next 7\n");
  ASSERT_EQ(back.lines.size(), 2u);
  EXPECT_EQ(back.lines[0].name, "alt.long");
  EXPECT_EQ(back.lines[0].number, 12345);
  EXPECT_EQ(back.lines[1].name, "comp.next");
  EXPECT_EQ(back.lines[1].number, 7);
  EXPECT_EQ(back.copied, "alt.long 12345\ncomp.next 7\n");
}

TEST_F(HostActiveUpdateTest, DigitRunSplitByTheBufferIsJoined) {
  // The first piece holds 1023 bytes and ends inside the final number.
  std::string line = "alt.split: ";
  while (line.size() < 1021) line += ",";
  line += "98";  // bytes 1022 and 1023; "76" comes in the next piece
  ASSERT_EQ(line.size(), 1023u);
  const ReadBack back = rewrite(line + "76\n");
  ASSERT_EQ(back.lines.size(), 1u);
  EXPECT_EQ(back.lines[0].number, 9876);
}

TEST_F(HostActiveUpdateTest, LongCommentsAndMalformedLinesStayWhole) {
  const std::string comment = "# " + std::string(3000, 'c') + " alt.fake 5\n";
  const std::string bad = "!" + std::string(2000, 'b') + "\n";
  const ReadBack back = rewrite(comment + bad);
  ASSERT_EQ(back.lines.size(), 2u);
  EXPECT_EQ(back.lines[0].kind, HostLineKind::kComment);
  EXPECT_EQ(back.lines[1].kind, HostLineKind::kMalformed);
  EXPECT_EQ(back.copied, comment + "#ERR# " + bad);
}

// A piece is what one read takes: kHostLineBuffer - 1 bytes at most.
constexpr size_t kPiece = fetch::kHostLineBuffer - 1;

TEST_F(HostActiveUpdateTest, EveryFurtherPieceOfALongGroupOrTagLineIsALineOfItsOwn) {
  const std::string group_head = "comp.lang.c 12 ";
  const std::string group = group_head + std::string(2000, 'x') + "\n";
  const std::string tag = ":tag " + std::string(1500, 't') + "\n";
  const ReadBack back = rewrite(group + tag);
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

TEST_F(HostActiveUpdateTest, NewlineRightAfterAFullPieceEndsItsLine) {
  // 1023 bytes and the newline: one tag line, written back as it was.
  const std::string tag = ":" + std::string(kPiece - 1, 't') + "\n";
  const std::string group = std::string(kPiece, ' ') + "\nalt.x 1\n";
  ReadBack back = rewrite(tag + group);
  ASSERT_EQ(back.lines.size(), 3u);
  EXPECT_EQ(back.lines[0].name.size(), kPiece - 1);
  EXPECT_EQ(back.copied, tag + group);
}

TEST_F(HostActiveUpdateTest, LinesWithNulBytesComeBackWithEveryByte) {
  using namespace std::string_literals;
  const std::string text = "alt\0test 5\n# c\0mment\n\0\0\n:t\0\nalt.test 6\n"s;
  EXPECT_EQ(rewrite(text).copied, "#ERR# alt\0test 5\n# c\0mment\n\0\0\n#ERR# :t\0\nalt.test 6\n"s);
}

TEST_F(HostActiveUpdateTest, MegabyteGroupNameComesBackWholeBehindTheMarker) {
  const std::string huge = "alt." + std::string(1 << 20, 'a') + " 7\n";
  const ReadBack back = rewrite(huge + "alt.next 3\n");
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

TEST_F(HostActiveUpdateTest, WhatIsWrittenBackReadsBackTheSame) {
  for (unsigned seed = 1; seed <= 20; ++seed) {
    const std::string once = rewrite(random_host_file(seed)).copied;
    const std::string twice = rewrite(once).copied;
    EXPECT_TRUE(once == twice) << "seed " << seed;
  }
}

TEST_F(HostActiveUpdateTest, LastLineWithoutNewlineGetsOne) {
  EXPECT_EQ(rewrite("# end").copied, "# end\n");
  EXPECT_EQ(rewrite("!x").copied, "#ERR# !x\n");
  EXPECT_EQ(rewrite("alt.test 5").copied, "alt.test 5\n");
  // A comment line of exactly the buffer's length, then its newline alone.
  const std::string exact = "#" + std::string(1022, 'e');
  EXPECT_EQ(rewrite(exact + "\nalt.x 1\n").copied, exact + "\nalt.x 1\n");
  EXPECT_EQ(rewrite(exact).copied, exact + "\n");
}

// The groups of the file written with the numbers the pull reached; a
// number that rests on articles of the open batch has its durable one apart.
struct Scenario {
  bool settle_after_b;  // the batch holding alt.b's articles was published
  bool lost;            // the articles not published were lost
  const char* expected;
};

TEST_F(HostActiveUpdateTest, GroupLinesOnLostArticlesGoBackToTheirDurableNumbers) {
  const std::string text = "# head\nalt.a 10\nalt.b 95\nalt.c 30\nalt.d 40\n";
  const Scenario scenarios[] = {
      {false, false, "# head\nalt.a 15\nalt.b 105\nalt.c 30\nalt.d 45\n"},
      {false, true, "# head\nalt.a 15\nalt.b 95\nalt.c 30\nalt.d 40\n"},
      {true, true, "# head\nalt.a 15\nalt.b 105\nalt.c 30\nalt.d 40\n"},
  };
  for (const Scenario& scenario : scenarios) {
    site.write(kFile, text);
    start();
    HostLine line;
    while (fetch::next_host_line(&update, &line)) {
      if (line.name == "alt.a") {
        fetch::write_group_line(&update, "alt.a", 15, 15);
      } else if (line.name == "alt.b") {
        fetch::write_group_line(&update, "alt.b", 105, 95);
        if (scenario.settle_after_b) fetch::settle_pending_lines(&update);
      } else if (line.name == "alt.d") {
        fetch::write_group_line(&update, "alt.d", 45, 40);
      } else {
        fetch::keep_host_line(&update, line);
      }
    }
    ASSERT_TRUE(fetch::finish_new_file(&update, scenario.lost));
    ASSERT_TRUE(fetch::replace_host_active(&update, report::kDetail));
    EXPECT_EQ(site.read(kFile), scenario.expected)
        << scenario.settle_after_b << " " << scenario.lost;
  }
}

TEST_F(HostActiveUpdateTest, CheckpointHoldsWhatACrashShouldLeave) {
  const std::string text = "# head\nalt.a 10\nalt.b 20\nalt.c 30\n";
  const std::string checkpoint = std::string(kFile) + ".ckpt";
  const std::string old = std::string(kFile) + ".old";
  site.write(kFile, text);
  site.write(checkpoint, "left by a killed run\n");
  start(true);
  EXPECT_FALSE(site.exists(checkpoint));

  HostLine line;
  ASSERT_TRUE(fetch::next_host_line(&update, &line));
  fetch::keep_host_line(&update, line);
  ASSERT_TRUE(fetch::next_host_line(&update, &line));
  fetch::write_group_line(&update, "alt.a", 15, 15);
  ASSERT_TRUE(fetch::next_host_line(&update, &line));
  ASSERT_EQ(line.name, "alt.b");
  // alt.b is being pulled: its published articles reach 22.
  fetch::write_checkpoint(&update, "alt.b", 22);
  EXPECT_EQ(site.read(kFile), "# head\nalt.a 15\nalt.b 22\nalt.c 30\n");
  EXPECT_EQ(site.read(old), text);
  EXPECT_FALSE(site.exists(checkpoint));

  fetch::write_group_line(&update, "alt.b", 25, 25);
  replace();
  EXPECT_EQ(site.read(kFile), "# head\nalt.a 15\nalt.b 25\nalt.c 30\n");
  // The previous generation is the file from before the update, not a checkpoint.
  EXPECT_EQ(site.read(old), text);
}

TEST_F(HostActiveUpdateTest, CheckpointsAreDueOnlyWhenWanted) {
  site.write(kFile, "alt.a 10\n");
  site.write(std::string(kFile) + ".ckpt", "left by a killed run\n");
  setenv("TESSU_CHECKPOINT_SECONDS", "0", 1);
  start(false);
  EXPECT_FALSE(fetch::checkpoint_due(update));
  // Without checkpoints (a dry run) a leftover is not touched either.
  EXPECT_TRUE(site.exists(std::string(kFile) + ".ckpt"));
  replace();
  start(true);
  EXPECT_TRUE(fetch::checkpoint_due(update));
  unsetenv("TESSU_CHECKPOINT_SECONDS");
  replace();
}

TEST_F(HostActiveUpdateTest, MissingFileReadsAsEmptyAndMakesNoPreviousGeneration) {
  CaptureFd err;
  start();
  EXPECT_TRUE(
      contains(err.take(), "can't find a host active \"" + site.path(kFile) + "\": No such file"));
  HostLine line;
  EXPECT_FALSE(fetch::next_host_line(&update, &line));
  fetch::write_group_line(&update, "alt.new", 7, 7);
  replace();
  EXPECT_EQ(site.read(kFile), "alt.new 7\n");
  EXPECT_FALSE(site.exists(std::string(kFile) + ".old"));
}

TEST_F(HostActiveUpdateTest, DiscardedNewFileLeavesTheOldOneAsItWas) {
  site.write(kFile, "alt.a 10\n");
  start();
  HostLine line;
  while (fetch::next_host_line(&update, &line)) fetch::write_group_line(&update, "alt.a", 11, 11);
  ASSERT_TRUE(fetch::finish_new_file(&update, false));
  fetch::discard_new_file(&update);
  EXPECT_EQ(site.read(kFile), "alt.a 10\n");
  EXPECT_FALSE(site.exists(std::string(kFile) + ".tmp"));
  EXPECT_FALSE(site.exists(std::string(kFile) + ".old"));
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

}  // namespace
