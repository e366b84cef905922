#include "fetch/filters.h"

#include <string>

#include <gtest/gtest.h>

namespace {

std::string command_line(const std::string& command, const std::string& id) {
  static char buffer[fetch::kMfilterLineMax];
  fetch::format_mfilter_command(buffer, command.c_str(), id.c_str());
  return buffer;
}

TEST(MfilterCommandLine, CommandAndIdAreRightAlignedInFixedFields) {
  const std::string id = "<12345678901234@x.y>";  // 20 characters
  ASSERT_EQ(id.size(), 20u);
  EXPECT_EQ(command_line("/bin/check", id),
            std::string(1024 - 10, ' ') + "/bin/check \"" + std::string(492, ' ') + id + "\"");
}

TEST(MfilterCommandLine, LongCommandAndLongIdAreCut) {
  const std::string command(1500, 'c');
  const std::string id = "<" + std::string(600, 'i') + ">";
  EXPECT_EQ(command_line(command, id),
            std::string(1024, 'c') + " \"<" + std::string(511, 'i') + "\"");
}

TEST(MfilterCommandLine, CharactersTheShellExpandsInQuotesAreEscaped) {
  const std::string id = "<a$b`c\"d\\e'f!g@h>";
  const std::string escaped = "<a\\$b\\`c\\\"d\\\\e'f!g@h>";
  // The padding follows the ID's own length, not the escaped one.
  EXPECT_EQ(command_line("x", id),
            std::string(1023, ' ') + "x \"" + std::string(512 - id.size(), ' ') + escaped + "\"");
}

TEST(MfilterCommandLine, AnIdOfSpecialCharactersOnlyFitsTheBuffer) {
  const std::string id(700, '$');
  const std::string line = command_line(std::string(1100, 'c'), id);
  EXPECT_EQ(line.size(), 1024u + 2 + 2 * 512 + 1);
  EXPECT_LT(line.size(), fetch::kMfilterLineMax);
}

TEST(FullFilter, WithoutAFilterNothingIsFedAndEveryArticleIsAccepted) {
  fetch::filter_feed_line(".\r\n", 3);
  EXPECT_FALSE(fetch::filter_verdict("1"));
}

}  // namespace
