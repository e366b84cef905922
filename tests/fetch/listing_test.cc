// Reading listing lines and sizing listing blocks.
#include "fetch/listing.h"

#include <string_view>

#include <gtest/gtest.h>

namespace {

using fetch::kListingArticles;
using fetch::listing_span;
using fetch::parse_listing_line;

TEST(ListingLine, NumberThenOneBlankThenTheMessageId) {
  int64_t number = 0;
  std::string_view id;
  ASSERT_TRUE(parse_listing_line("12 <a@b>", 11, 20, 512, &number, &id));
  EXPECT_EQ(number, 12);
  EXPECT_EQ(id, "<a@b>");
  ASSERT_TRUE(parse_listing_line("13\t<c@d> trailing comment", 12, 20, 512, &number, &id));
  EXPECT_EQ(id, "<c@d>");
  ASSERT_TRUE(parse_listing_line("20 <e@f>", 19, 20, 5, &number, &id));
}

TEST(ListingLine, AnythingElseIsMalformed) {
  int64_t number = 0;
  std::string_view id;
  for (const char* line : {"", "12", "12 ", "12  <a@b>", " 12 <a@b>", "x <a@b>", "-12 <a@b>",
                           "12x <a@b>", "99999999999999999999 <a@b>"}) {
    EXPECT_FALSE(parse_listing_line(line, 0, 100, 512, &number, &id)) << line;
  }
  // Numbers must ascend within the block asked for.
  EXPECT_FALSE(parse_listing_line("12 <a@b>", 12, 20, 512, &number, &id));
  EXPECT_FALSE(parse_listing_line("21 <a@b>", 12, 20, 512, &number, &id));
  // A message ID longer than the STAT path would take.
  EXPECT_FALSE(parse_listing_line("13 <a@b>", 12, 20, 4, &number, &id));
}

TEST(ListingSpan, AboutTheSameArticlesPerBlockWhateverTheGaps) {
  EXPECT_EQ(listing_span(10, 10), 10);
  EXPECT_EQ(listing_span(kListingArticles, 1), kListingArticles);
  EXPECT_EQ(listing_span(3 * kListingArticles, 3 * kListingArticles), kListingArticles);
  // Two numbers per article: blocks of twice the numbers.
  EXPECT_EQ(listing_span(20 * kListingArticles, 10 * kListingArticles), 2 * kListingArticles);
  // Every number in one block when the count promises few articles.
  EXPECT_EQ(listing_span(1000000, 6), 1000000);
  EXPECT_EQ(listing_span(1000000, 0), 1000000);
  EXPECT_EQ(listing_span(INT64_MAX - 1, 1), INT64_MAX - 1);
  EXPECT_EQ(listing_span(INT64_MAX - 1, INT64_MAX - 1), kListingArticles);
}

}  // namespace
