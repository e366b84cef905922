// The deflate streams of COMPRESS DEFLATE: what deflate_next gives is whole
// at each flush, and inflate_some copes with input that gives no output and
// with output that does not fit.
#include "nntp/compress.h"

#include <algorithm>
#include <cstring>
#include <string>

#include <gtest/gtest.h>

namespace {

using nntp::Compression;
using nntp::Inflated;

// Deflates text with one sync flush at the end; the compressed bytes.
std::string deflated(Compression* c, const std::string& text) {
  std::string out;
  nntp::deflate_begin(c, text.data(), text.size());
  const unsigned char* chunk = nullptr;
  size_t size = 0;
  while (nntp::deflate_next(c, &chunk, &size))
    out.append(reinterpret_cast<const char*>(chunk), size);
  EXPECT_FALSE(c->failed);
  return out;
}

// Feeds compressed bytes `step` at a time and takes output `room` bytes at a time.
std::string inflated(Compression* c, const std::string& bytes, size_t step, size_t room) {
  std::string out;
  size_t fed = 0;
  std::string buffer(room, '\0');
  for (;;) {
    size_t produced = 0;
    const Inflated result = nntp::inflate_some(c, buffer.data(), room, &produced);
    if (result == Inflated::kData) {
      out.append(buffer, 0, produced);
      continue;
    }
    EXPECT_EQ(result, Inflated::kNeedInput);
    if (fed == bytes.size()) return out;
    size_t space = 0;
    unsigned char* at = nntp::input_space(c, &space);
    const size_t length = std::min({step, space, bytes.size() - fed});
    memcpy(at, bytes.data() + fed, length);
    nntp::input_received(c, length);
    fed += length;
  }
}

struct Deflate : testing::Test {
  Compression sender;
  Compression receiver;
  void SetUp() override {
    ASSERT_TRUE(nntp::start_compression(&sender, nullptr, 0));
    ASSERT_TRUE(nntp::start_compression(&receiver, nullptr, 0));
  }
  void TearDown() override {
    nntp::stop_compression(&sender);
    nntp::stop_compression(&receiver);
  }
};

TEST_F(Deflate, EachFlushIsWholeAndByteWiseInputIsInflated) {
  const std::string first = deflated(&sender, "GROUP comp.a\r\n");
  // Everything flushed so far inflates to all of it, without the later data.
  EXPECT_EQ(inflated(&receiver, first, 1, 3), "GROUP comp.a\r\n");
  const std::string second = deflated(&sender, "ARTICLE 1\r\n");
  EXPECT_EQ(inflated(&receiver, second, 1, 1), "ARTICLE 1\r\n");
}

TEST_F(Deflate, OutputLargerThanTheBufferIsHeldAndGivenOnLaterCalls) {
  std::string text;
  for (int n = 0; n < 5000; ++n) text += "line " + std::to_string(n % 97) + " of an article\r\n";
  text += std::string(300000, 'x');
  const std::string bytes = deflated(&sender, text);
  EXPECT_LT(bytes.size(), text.size() / 10);
  EXPECT_EQ(inflated(&receiver, bytes, nntp::kCompressedBufferSize, 4096), text);
}

TEST_F(Deflate, BytesReceivedWithTheReplyStartTheInput) {
  const std::string bytes = deflated(&sender, "200 reader mode\r\n");
  Compression late;
  ASSERT_TRUE(nntp::start_compression(&late, bytes.data(), bytes.size()));
  EXPECT_EQ(inflated(&late, "", 1, 64), "200 reader mode\r\n");
  nntp::stop_compression(&late);
}

TEST_F(Deflate, CorruptInputIsAnError) {
  const std::string junk = "\xff\xff\xff\xff garbage";
  size_t space = 0;
  memcpy(nntp::input_space(&receiver, &space), junk.data(), junk.size());
  nntp::input_received(&receiver, junk.size());
  char buffer[64];
  size_t produced = 0;
  EXPECT_EQ(nntp::inflate_some(&receiver, buffer, sizeof buffer, &produced), Inflated::kError);
}

}  // namespace
