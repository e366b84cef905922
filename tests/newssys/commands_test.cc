#include "newssys/commands.h"

#include <cstdint>
#include <limits>
#include <string>
#include <vector>

#include <gtest/gtest.h>

namespace {

std::vector<std::string> as_list(const sys::ArgVector& args) {
  std::vector<std::string> list;
  for (int i = 0; i < args.count; ++i) list.push_back(args.argv[i]);
  return list;
}

TEST(CommandsTest, CtlinndTimeoutArgumentHoldsAnySeconds) {
  newssys::CtlinndTimeoutBuffer buffer;
  newssys::format_ctlinnd_timeout(buffer, 600);
  EXPECT_STREQ(buffer, "-t600");
  newssys::format_ctlinnd_timeout(buffer, 30);
  EXPECT_STREQ(buffer, "-t30");
  newssys::format_ctlinnd_timeout(buffer, std::numeric_limits<int64_t>::max());
  EXPECT_STREQ(buffer, "-t9223372036854775807");
}

TEST(CommandsTest, CtlinndLineIsQuietTimedCommandAndArgument) {
  const sys::ArgVector args =
      newssys::ctlinnd_arguments("/news/bin/ctlinnd", "-t600", "flush", "upstream");
  EXPECT_EQ(as_list(args),
            (std::vector<std::string>{"/news/bin/ctlinnd", "-s", "-t600", "flush", "upstream"}));
  EXPECT_EQ(args.argv[args.count], nullptr);

  const sys::ArgVector no_argument =
      newssys::ctlinnd_arguments("ctlinnd", "-t30", "flush", nullptr);
  EXPECT_EQ(as_list(no_argument), (std::vector<std::string>{"ctlinnd", "-s", "-t30", "flush"}));
  EXPECT_EQ(no_argument.argv[no_argument.count], nullptr);
}

TEST(CommandsTest, ShellLineRunsTheWholeCommandAsOneArgument) {
  const sys::ArgVector args = sys::shell_arguments("echo a b | cat >&2");
  EXPECT_EQ(as_list(args), (std::vector<std::string>{"sh", "-c", "echo a b | cat >&2"}));
  EXPECT_EQ(args.argv[3], nullptr);
}

TEST(CommandsTest, ProgramLineEndsAtTheFirstMissingArgument) {
  EXPECT_EQ(as_list(sys::program_arguments("/bin/rnews", nullptr, nullptr)),
            (std::vector<std::string>{"/bin/rnews"}));
  EXPECT_EQ(as_list(sys::program_arguments("/bin/inews", "-hOS", nullptr)),
            (std::vector<std::string>{"/bin/inews", "-hOS"}));
  EXPECT_EQ(as_list(sys::program_arguments("/bin/sh", "-c", "cat")),
            (std::vector<std::string>{"/bin/sh", "-c", "cat"}));
  // A second argument without a first one is not passed.
  const sys::ArgVector gap = sys::program_arguments("/bin/x", nullptr, "late");
  EXPECT_EQ(as_list(gap), (std::vector<std::string>{"/bin/x"}));
  EXPECT_EQ(gap.argv[1], nullptr);
}

}  // namespace

TEST(CommandsTest, StorageTokenIsTheFormInnWrites) {
  EXPECT_TRUE(newssys::is_storage_token("@0502000005A4000000010000000000000000@"));
  EXPECT_TRUE(newssys::is_storage_token("@0b02000005a4000000010000000000000000@"));
  // One digit short, one too many, a character that is no hexadecimal digit,
  // and what would reach sm as an option or as more than one word.
  EXPECT_FALSE(newssys::is_storage_token("@0502000005A400000001000000000000000@"));
  EXPECT_FALSE(newssys::is_storage_token("@0502000005A40000000100000000000000000@"));
  EXPECT_FALSE(newssys::is_storage_token("@0502000005A4000000010000000000000G00@"));
  EXPECT_FALSE(newssys::is_storage_token("@-c02000005A4000000010000000000000000@"));
  EXPECT_FALSE(newssys::is_storage_token("@0502000005A40000000 0000000000000000@"));
  EXPECT_FALSE(newssys::is_storage_token("0502000005A4000000010000000000000000@@"));
  EXPECT_FALSE(newssys::is_storage_token(""));
}

TEST(CommandsTest, SmLineHasTheTokenAsOneArgument) {
  const sys::ArgVector args =
      newssys::sm_arguments("/news/bin/sm", "@0502000005A4000000010000000000000000@");
  EXPECT_EQ(as_list(args), (std::vector<std::string>{"/news/bin/sm", "-q",
                                                     "@0502000005A4000000010000000000000000@"}));
  EXPECT_EQ(args.argv[args.count], nullptr);
}

TEST(CommandsTest, HistoryLineGivesTheArrivalTime) {
  time_t arrived = 0;
  EXPECT_TRUE(newssys::parse_history_arrival(
      "[3A1B]\t1765360000~-~1765359990\t@0A01000000000000000000000000000000001@\n", &arrived));
  EXPECT_EQ(arrived, 1765360000);
  EXPECT_TRUE(newssys::parse_history_arrival("[3A1B]\t1765360001\n", &arrived));
  EXPECT_EQ(arrived, 1765360001);
  arrived = 7;
  // No tab, no digits after it, a sign, junk after the number.
  for (const char* line : {"1765360000~-~1", "[3A1B]\t~-~1\t@0A@", "[3A1B]\t-5~-~1",
                           "[3A1B]\t17x~-~1", "/dev/null\n", ""}) {
    EXPECT_FALSE(newssys::parse_history_arrival(line, &arrived)) << line;
  }
  EXPECT_EQ(arrived, 7);
}
