#include "nntp/replies.h"

#include <cstdint>
#include <string>

#include <gtest/gtest.h>

namespace {

struct NumberCase {
  const char* text;
  bool valid;
  int64_t value;
  const char* after;  // what follows the number when valid
};

TEST(ArticleNumber, OnlyDigitsUpToOneBelowTheLargestSignedValueAreNumbers) {
  const NumberCase cases[] = {
      {"0", true, 0, ""},
      {"42", true, 42, ""},
      {"  \t17 <id@host>", true, 17, " <id@host>"},
      {"5\r\n", true, 5, "\r\n"},
      {"9223372036854775806", true, INT64_MAX - 1, ""},
      {"0009223372036854775806 misc.test", true, INT64_MAX - 1, " misc.test"},
      {"9223372036854775807", false, 0, nullptr},
      {"9223372036854775808", false, 0, nullptr},
      {"18446744073709551616", false, 0, nullptr},
      {"99999999999999999999999", false, 0, nullptr},
      {"-1", false, 0, nullptr},
      {"-0", false, 0, nullptr},
      {"+5", false, 0, nullptr},
      {"", false, 0, nullptr},
      {"   ", false, 0, nullptr},
      {"abc", false, 0, nullptr},
      {"12abc", false, 0, nullptr},
      {"12.5", false, 0, nullptr},
      {"0x10", false, 0, nullptr},
      {"\v7", false, 0, nullptr},
  };
  for (const NumberCase& c : cases) {
    int64_t value = -7;
    const char* end = nullptr;
    EXPECT_EQ(nntp::parse_article_number(c.text, &value, &end), c.valid) << '"' << c.text << '"';
    if (c.valid) {
      EXPECT_EQ(value, c.value) << c.text;
      ASSERT_NE(end, nullptr) << c.text;
      EXPECT_STREQ(end, c.after) << c.text;
    } else {
      EXPECT_EQ(value, -7) << "a rejected number leaves the value alone: " << c.text;
    }
  }
  EXPECT_EQ(nntp::kArticleNumberMax + 1, INT64_MAX);
}

struct GroupCase {
  const char* text;
  bool valid;
  int64_t count;
  int64_t first;
  int64_t last;
};

TEST(GroupFigures, CountFirstAndLastMustBeArticleNumbersInOrder) {
  const GroupCase cases[] = {
      {" 5 1 5 misc.test", true, 5, 1, 5},
      {" 0 0 0 misc.empty", true, 0, 0, 0},
      {" 0 10 9 misc.empty", true, 0, 10, 9},  // an empty group: last = first - 1
      {" 3 1 1000000000000", true, 3, 1, 1000000000000},
      {" 1 9223372036854775806 9223372036854775806 misc.top", true, 1, INT64_MAX - 1,
       INT64_MAX - 1},
      {" 1 9223372036854775807 9223372036854775807 misc.top", false, 0, 0, 0},
      {" 5 -3 9999999999999999999 misc.test", false, 0, 0, 0},
      {" -1 1 3 misc.test", false, 0, 0, 0},
      {" 3 10 8 misc.test", false, 0, 0, 0},  // last below first - 1
      {" 3 1 3x misc.test", false, 0, 0, 0},
      {" 5 1", false, 0, 0, 0},
      {"", false, 0, 0, 0},
      {" 5 1 5", true, 5, 1, 5},
  };
  for (const GroupCase& c : cases) {
    int64_t count = -7;
    int64_t first = -7;
    int64_t last = -7;
    EXPECT_EQ(nntp::parse_group_figures(c.text, &count, &first, &last), c.valid)
        << '"' << c.text << '"';
    if (!c.valid) continue;
    EXPECT_EQ(count, c.count) << c.text;
    EXPECT_EQ(first, c.first) << c.text;
    EXPECT_EQ(last, c.last) << c.text;
  }
}

TEST(ReplyCode, ThreeDigitsAtTheStartOfTheLine) {
  const char* rest = nullptr;
  EXPECT_EQ(nntp::reply_code("211 5 1 5 misc.test", &rest), nntp::kGroupSelected);
  EXPECT_STREQ(rest, " 5 1 5 misc.test");
  EXPECT_EQ(nntp::reply_code("  223 1 <a@b>", &rest), nntp::kArticleExists);
  EXPECT_STREQ(rest, " 1 <a@b>");
  EXPECT_EQ(nntp::reply_code("99"), 99);
  EXPECT_EQ(nntp::reply_code("200"), nntp::kPostingAllowed);
  EXPECT_EQ(nntp::reply_code("welcome 200"), 0);
  EXPECT_EQ(nntp::reply_code(""), 0);
  EXPECT_EQ(nntp::reply_code("-200 negative"), 0);
  // A longer number is no code, however it would wrap in an int.
  EXPECT_EQ(nntp::reply_code("4294967295 hello"), 0);
  EXPECT_EQ(nntp::reply_code("99999999999999999999999 hello"), 0);
  EXPECT_EQ(nntp::reply_code("1000 hello"), 0);
}

}  // namespace
