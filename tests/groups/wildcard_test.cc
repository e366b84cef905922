#include "groups/wildcard.h"

#include <cstring>
#include <string>
#include <vector>

#include <gtest/gtest.h>

namespace {

using groups::kWildAbort;
using groups::kWildFalse;
using groups::kWildTrue;
using groups::match_wildcard;

TEST(MatchWildcard, StarsQuestionMarksAndLiterals) {
  EXPECT_EQ(match_wildcard("comp.lang.c", "comp.*"), kWildTrue);
  EXPECT_EQ(match_wildcard("comp.x", "comp.?"), kWildTrue);
  EXPECT_EQ(match_wildcard("comp.xy", "comp.?"), kWildFalse);
  EXPECT_EQ(match_wildcard("comp.lang.c", "comp.lang.c"), kWildTrue);
  EXPECT_EQ(match_wildcard("comp.lang.c", "comp.lang"), kWildFalse);
  EXPECT_EQ(match_wildcard("comp.lang.c", "*.c"), kWildTrue);
  EXPECT_EQ(match_wildcard("comp.lang.c", "c**.*.c"), kWildTrue);
  EXPECT_EQ(match_wildcard("", ""), kWildTrue);
  EXPECT_EQ(match_wildcard("a", ""), kWildFalse);
  EXPECT_EQ(match_wildcard("", "*"), kWildTrue);
}

TEST(MatchWildcard, TextRunningOutAborts) {
  EXPECT_EQ(match_wildcard("", "*.c"), kWildAbort);
  EXPECT_EQ(match_wildcard("comp", "comp.*"), kWildAbort);
  EXPECT_EQ(match_wildcard("axx", "a*b"), kWildAbort);
  // Only a true result is a match, so an abort inside a star loop ends the search.
  EXPECT_NE(match_wildcard(std::string(60, 'a').c_str(), "*a*a*a*a*a*a*a*a*a*a*b"), kWildTrue);
  EXPECT_EQ(match_wildcard((std::string(60, 'a') + "b").c_str(), "*a*a*a*a*a*a*a*a*a*a*b"),
            kWildTrue);
}

TEST(MatchWildcard, CharacterClasses) {
  EXPECT_EQ(match_wildcard("beta", "[a-c]*"), kWildTrue);
  EXPECT_EQ(match_wildcard("delta", "[a-c]*"), kWildFalse);
  EXPECT_EQ(match_wildcard("delta", "[^a-c]*"), kWildTrue);
  EXPECT_EQ(match_wildcard("beta", "[^a-c]*"), kWildFalse);
  EXPECT_EQ(match_wildcard("]", "[]x]"), kWildTrue);
  EXPECT_EQ(match_wildcard("x", "[]x]"), kWildTrue);
  EXPECT_EQ(match_wildcard("y", "[]x]"), kWildFalse);
  EXPECT_EQ(match_wildcard("y", "[^]x]"), kWildTrue);
  EXPECT_EQ(match_wildcard("-", "[-a]"), kWildTrue);
  EXPECT_EQ(match_wildcard("-", "[a-]"), kWildTrue);
  EXPECT_EQ(match_wildcard("b", "[a-]"), kWildFalse);
  EXPECT_EQ(match_wildcard("alt.x", "[a-c]lt.[xyz]"), kWildTrue);
  // Backslash is not special inside a class.
  EXPECT_EQ(match_wildcard("\\", "[\\]"), kWildTrue);
}

TEST(MatchWildcard, RangesCompareBytesAsSigned) {
  // 0xff is -1: it sorts below 'a', so the range a-\xff is empty (only the
  // ends stand for themselves) and \xff-a is wide.
  EXPECT_EQ(match_wildcard("c", "[b-\xff]"), kWildFalse);
  EXPECT_EQ(match_wildcard("b", "[b-\xff]"), kWildTrue);
  EXPECT_EQ(match_wildcard("\xf0", "[a-\xff]"), kWildFalse);
  EXPECT_EQ(match_wildcard("a", "[\xff-a]"), kWildTrue);
  EXPECT_EQ(match_wildcard("0", "[\xff-a]"), kWildTrue);
  EXPECT_EQ(match_wildcard("\xff", "[\xff-a]"), kWildTrue);
  EXPECT_EQ(match_wildcard("b", "[\xff-a]"), kWildFalse);
  EXPECT_EQ(match_wildcard("\x80", "[\xff-a]"), kWildFalse);
  EXPECT_EQ(match_wildcard("\xc3", "[\x80-\xff]"), kWildTrue);
  EXPECT_EQ(match_wildcard("a", "[\x80-\xff]"), kWildFalse);
  EXPECT_EQ(match_wildcard("\x7f", "[\x80-\x7f]"), kWildTrue);
  EXPECT_EQ(match_wildcard("\xe4rger", "[^a-z]rger"), kWildTrue);
}

TEST(MatchWildcard, UnterminatedClassNeverMatches) {
  // Each pattern sits at the end of its own buffer, so reading past it shows up
  // under the address sanitizer.
  for (const char* pattern : {"[abc", "[", "[^", "[]", "[a-", "a*[b", "*[b-", "[^]"}) {
    const std::vector<char> own(pattern, pattern + strlen(pattern) + 1);
    EXPECT_NE(match_wildcard("a", own.data()), kWildTrue) << pattern;
    EXPECT_NE(match_wildcard("abc", own.data()), kWildTrue) << pattern;
    EXPECT_NE(match_wildcard("-", own.data()), kWildTrue) << pattern;
  }
}

TEST(MatchWildcard, BackslashQuotesTheNextByte) {
  EXPECT_EQ(match_wildcard("a*", "a\\*"), kWildTrue);
  EXPECT_EQ(match_wildcard("ab", "a\\*"), kWildFalse);
  EXPECT_EQ(match_wildcard("a?", "a\\?"), kWildTrue);
  EXPECT_EQ(match_wildcard("ax", "a\\?"), kWildFalse);
  EXPECT_EQ(match_wildcard("[x", "\\[x"), kWildTrue);
  // A backslash at the end of the pattern quotes nothing and matches nothing.
  EXPECT_NE(match_wildcard("a\\", "a\\"), kWildTrue);
  EXPECT_NE(match_wildcard("ab", "a\\"), kWildTrue);
}

}  // namespace
