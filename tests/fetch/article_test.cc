
#include <sys/socket.h>
#include <unistd.h>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "base/settings.h"
#include "fetch/article.h"
#include "fetch/spool.h"
#include "groups/newsfeeds.h"
#include "nntp/connection.h"
#include "report/stats.h"
#include "support/capture.h"
#include "support/fetch_state.h"
#include "support/socket_connection.h"
#include "support/tessu_runner.h"

namespace {

using testsupport::CaptureFd;

// What became of one article read from the wire.
struct Outcome {
  bool result = false;
  std::vector<std::string> stored;  // articles found in the published batches
  std::string err;                  // messages written meanwhile
};

// The server connection on one end of a socket pair; the test writes the
// server's side into the other end.
struct ArticleTest : testing::Test {
  int peer = -1;
  testsupport::FetchState state;

  void SetUp() override {
    ASSERT_TRUE(state.set_up("/tmp/tessu-article-XXXXXX"));
    base::g_settings.inn_mode = true;
    fetch::reset_batch_size();
    peer = testsupport::attach_socket_pair();
    ASSERT_GE(peer, 0);
  }
  void TearDown() override {
    testsupport::detach_socket_pair(peer);
    state.restore();
  }

  void send_to_client(const std::string& bytes) const { testsupport::write_to(peer, bytes); }

  // Publishes the current batch and splits it into its articles.
  std::vector<std::string> take_stored() const {
    fetch::flush_spool(false);
    std::vector<std::string> articles;
    for (const std::string& name : state.batch_names()) {
      const std::string batch = testsupport::read_file(state.incoming + "/" + name);
      size_t pos = 0;
      while (pos < batch.size()) {
        const size_t eol = batch.find('\n', pos);
        EXPECT_EQ(batch.compare(pos, 9, "#! rnews "), 0) << batch;
        if (eol == std::string::npos) break;
        const size_t length = std::stoul(batch.substr(pos + 9, eol - pos - 9));
        articles.push_back(batch.substr(eol + 1, length));
        pos = eol + 1 + length;
      }
    }
    state.remove_batches();
    return articles;
  }

  Outcome read(const std::string& wire, int64_t n = 7) {
    send_to_client(wire);
    Outcome outcome;
    CaptureFd capture;
    outcome.result = fetch::read_article(n, "misc.test");
    outcome.stored = take_stored();
    outcome.err = capture.take();
    return outcome;
  }
  // The text that follows on the wire after what read_article consumed.
  static std::string next_line() {
    char line[256];
    if (!nntp::get_text_line(line, sizeof line)) return "";
    return line;
  }
};

TEST_F(ArticleTest, DotsAreUnstuffedAndLineEndsBecomeLineFeeds) {
  const std::string wire =
      "Path: feed!origin\r\nMessage-ID: <dots@x>\r\n\r\n"
      "..two dots\r\n.single dot\r\nplain\n..\r\nlast\r\n.\r\nNEXT LINE\r\n";
  const Outcome outcome = read(wire);
  ASSERT_TRUE(outcome.result) << outcome.err;
  const std::string expected =
      "Path: feed!origin\nMessage-ID: <dots@x>\n\n.two dots\n.single dot\nplain\n.\nlast\n";
  ASSERT_EQ(outcome.stored.size(), 1u);
  EXPECT_EQ(outcome.stored[0], expected);
  // Exactly the article was read, up to and including its end line.
  EXPECT_EQ(next_line(), "NEXT LINE\r\n");

  EXPECT_EQ(report::g_counters.fetc, 1);
  EXPECT_EQ(report::g_counters.netbytes, static_cast<int64_t>(expected.size()));
  EXPECT_EQ(fetch::batch_size(), static_cast<int64_t>(expected.size()));
  EXPECT_EQ(report::g_counters.grossbyt,
            static_cast<int64_t>(wire.size() - std::string("NEXT LINE\r\n").size()));
}

TEST_F(ArticleTest, PathRule) {
  // An excluded site in the Path: stored unchanged.
  Outcome outcome = read("Path: a!feed!b\r\n\r\nbody\r\n.\r\n");
  ASSERT_TRUE(outcome.result) << outcome.err;
  ASSERT_EQ(outcome.stored.size(), 1u);
  EXPECT_EQ(outcome.stored[0], "Path: a!feed!b\n\nbody\n");

  // --tag puts our own name in front, keeping the value's own spacing out.
  base::g_settings.tag = 1;
  outcome = read("Path: \t a!feed!b\r\n\r\nbody\r\n.\r\n");
  ASSERT_TRUE(outcome.result) << outcome.err;
  ASSERT_EQ(outcome.stored.size(), 1u);
  EXPECT_EQ(outcome.stored[0], "Path: tessu!a!feed!b\n\nbody\n");
  EXPECT_NE(outcome.err.find("inserting tessu path"), std::string::npos);
  base::g_settings.tag = 0;

  // Our own name excluded: an unknown Path is accepted by putting it in front.
  groups::g_excluded_sites = {"feed", "tessu"};
  groups::g_special_exclude = true;
  outcome = read("PATH: other!x\r\n\r\nbody\r\n.\r\n");
  ASSERT_TRUE(outcome.result) << outcome.err;
  ASSERT_EQ(outcome.stored.size(), 1u);
  EXPECT_EQ(outcome.stored[0], "Path: tessu!other!x\n\nbody\n");
  // A header name starting with a small p is not looked at.
  outcome = read("path: other!x\r\n\r\nbody\r\n.\r\n");
  EXPECT_FALSE(outcome.result);
  EXPECT_NE(outcome.err.find("did not contain a 'Path:'"), std::string::npos) << outcome.err;
  groups::g_excluded_sites = {"tessu", "feed"};
  groups::g_special_exclude = false;

  // Without it the fetch stops, naming the first excluded site and the Path.
  outcome = read("Path: other!x\r\n\r\nbody\r\n.\r\n");
  EXPECT_FALSE(outcome.result);
  EXPECT_TRUE(outcome.stored.empty());
  EXPECT_NE(outcome.err.find("ARTICLE 7 in misc.test did not contain 'tessu' in 'Path:'\n"),
            std::string::npos)
      << outcome.err;
  EXPECT_NE(outcome.err.find("Path line was 'other!x'\n"), std::string::npos) << outcome.err;
}

TEST_F(ArticleTest, ArticleWithoutPath) {
  Outcome outcome = read("Subject: none\r\n\r\nbody\r\n.\r\n");
  EXPECT_FALSE(outcome.result);
  EXPECT_NE(outcome.err.find("ARTICLE 7 in misc.test did not contain a 'Path:'"),
            std::string::npos);

  // When --add-header supplies a Path, the refusal goes without a message.
  base::g_settings.add_header = "Path";
  outcome = read("Subject: none\r\n\r\nbody\r\n.\r\n");
  EXPECT_FALSE(outcome.result);
  EXPECT_EQ(outcome.err.find("did not contain"), std::string::npos) << outcome.err;

  // --no-path stores it, and the spool learns there was no Path (so the
  // --add-header Path line is put in front).
  base::g_settings.no_path = 1;
  outcome = read("Subject: none\r\n\r\nbody\r\n.\r\n");
  ASSERT_TRUE(outcome.result) << outcome.err;
  ASSERT_EQ(outcome.stored.size(), 1u);
  EXPECT_EQ(outcome.stored[0], "Path: feed!not-for-mail\nSubject: none\n\nbody\n");

  // An article with a foreign Path under --no-path keeps it; none is added.
  outcome = read("Path: other!x\r\n\r\nbody\r\n.\r\n");
  ASSERT_TRUE(outcome.result) << outcome.err;
  ASSERT_EQ(outcome.stored.size(), 1u);
  EXPECT_EQ(outcome.stored[0], "Path: other!x\n\nbody\n");
}

TEST_F(ArticleTest, OverlongPathWithTagIsDroppedAndTheTransferGoesOn) {
  base::g_settings.tag = 1;
  // The Path line as received, CR LF included, is 5113 bytes: one too many.
  std::string value = "feed!" + std::string(5113 - 6 - 5 - 2, 'p');
  std::string line = "Path: " + value + "\r\n";
  ASSERT_EQ(line.size(), 5113u);
  Outcome outcome = read(line + "\r\nbody\r\n.\r\nPath: feed!y\r\n\r\nnext\r\n.\r\n");
  EXPECT_TRUE(outcome.result);
  EXPECT_TRUE(outcome.stored.empty());
  EXPECT_NE(outcome.err.find("No room to extend path in ARTICLE 7, adjust MAX_HEADER_SIZE"),
            std::string::npos);
  EXPECT_EQ(report::g_counters.fetc, 0);
  EXPECT_EQ(report::g_counters.fake, 0);

  // The next article on the wire is read as usual.
  outcome = read("", 8);
  ASSERT_TRUE(outcome.result) << outcome.err;
  ASSERT_EQ(outcome.stored.size(), 1u);
  EXPECT_EQ(outcome.stored[0], "Path: tessu!feed!y\n\nnext\n");

  // One byte shorter still fits.
  value.pop_back();
  line = "Path: " + value + "\r\n";
  outcome = read(line + "\r\nbody\r\n.\r\n");
  ASSERT_TRUE(outcome.result) << outcome.err;
  ASSERT_EQ(outcome.stored.size(), 1u);
  EXPECT_EQ(outcome.stored[0], "Path: tessu!" + value + "\n\nbody\n");
}

TEST_F(ArticleTest, FakeMessageIds) {
  EXPECT_TRUE(fetch::is_fake_id("<fake@x>"));
  EXPECT_TRUE(fetch::is_fake_id(" \t<FaKe@x>"));
  EXPECT_FALSE(fetch::is_fake_id("<fake.x@y>"));
  EXPECT_FALSE(fetch::is_fake_id("<real@fake>"));

  Outcome outcome = read("Path: feed!x\r\nMESSAGE-ID: <FAKE@x>\r\n\r\nbody\r\n.\r\n");
  EXPECT_TRUE(outcome.result);
  EXPECT_TRUE(outcome.stored.empty());
  EXPECT_NE(outcome.err.find("ARTICLE 7 rejected as fake"), std::string::npos);
  EXPECT_EQ(report::g_counters.fake, 1);

  // A header name starting with a small m is not looked at.
  outcome = read("Path: feed!x\r\nmessage-id: <fake@x>\r\n\r\nbody\r\n.\r\n");
  EXPECT_TRUE(outcome.result);
  EXPECT_EQ(outcome.stored.size(), 1u);

  // Nor is anything after the header.
  outcome = read("Path: feed!x\r\n\r\nMessage-ID: <fake@x>\r\n.\r\n");
  EXPECT_TRUE(outcome.result);
  EXPECT_EQ(outcome.stored.size(), 1u);

  base::g_settings.keep_fake = 1;
  outcome = read("Path: feed!x\r\nMessage-ID: <fake@x>\r\n\r\nbody\r\n.\r\n");
  EXPECT_TRUE(outcome.result);
  EXPECT_EQ(outcome.stored.size(), 1u);
  EXPECT_EQ(report::g_counters.fake, 1);
}

TEST_F(ArticleTest, LongLinesAreStoredWholeAndOnlyLineStartsAreExamined) {
  // 5119 bytes fill one read; the rest of the line, which starts with a dot,
  // is neither an end line nor unstuffed.
  const std::string first_piece(5119, 'x');
  const std::string body_line = first_piece + ".\r\n";
  // A header line of 12000 bytes whose second piece begins with "Path:".
  const std::string header_line =
      "X-Long: " + std::string(5119 - 8, 'h') + "Path: other!x" + std::string(6000, 'h') + "\r\n";
  const Outcome outcome =
      read("Path: feed!x\r\n" + header_line + "\r\n" + body_line + "..\r\n.\r\n");
  ASSERT_TRUE(outcome.result) << outcome.err;
  ASSERT_EQ(outcome.stored.size(), 1u);
  const std::string stored_header = header_line.substr(0, header_line.size() - 2) + "\n";
  EXPECT_EQ(outcome.stored[0], "Path: feed!x\n" + stored_header + "\n" + first_piece + ".\n.\n");
}

// One read takes at most this many bytes of a line.
constexpr size_t kPiece = fetch::kArticleLineMax - 1;

// What is stored of one line as received: the CRs before its LF go.
std::string stored_line(std::string wire_line) {
  wire_line.pop_back();
  while (!wire_line.empty() && wire_line.back() == '\r') wire_line.pop_back();
  return wire_line + "\n";
}

TEST_F(ArticleTest, LongPathIsCheckedWhole) {
  // The excluded site comes only in the third piece of the line; a NUL byte
  // in an earlier element does not hide it.
  std::string value = "a!b";
  while (value.size() < 2 * kPiece + 100) value += "!relay" + std::to_string(value.size());
  const std::string path_line = "Path: " + value + "!feed!poster\r\n";
  std::string nul_line = path_line;
  nul_line[7] = '\0';
  const std::string rest = "Subject: long path\r\n\r\nbody\r\n";
  Outcome outcome = read(nul_line + rest + ".\r\n");
  ASSERT_TRUE(outcome.result) << outcome.err;
  ASSERT_EQ(outcome.stored.size(), 1u);
  EXPECT_EQ(outcome.stored[0], stored_line(nul_line) + "Subject: long path\n\nbody\n");

  // Too long to extend: with --tag it is dropped and the transfer goes on.
  base::g_settings.tag = 1;
  outcome = read(path_line + rest + ".\r\n");
  EXPECT_TRUE(outcome.result);
  EXPECT_TRUE(outcome.stored.empty());
  EXPECT_NE(outcome.err.find("No room to extend path in ARTICLE 7, adjust MAX_HEADER_SIZE"),
            std::string::npos)
      << outcome.err;
  base::g_settings.tag = 0;

  // Nor with our own name excluded when no other excluded site is in it.
  groups::g_excluded_sites = {"feed", "tessu"};
  groups::g_special_exclude = true;
  const std::string foreign = "Path: " + value + "!poster\r\n";
  outcome = read(foreign + rest + ".\r\n");
  EXPECT_TRUE(outcome.result);
  EXPECT_TRUE(outcome.stored.empty());
  EXPECT_NE(outcome.err.find("No room to extend path"), std::string::npos) << outcome.err;
  groups::g_excluded_sites = {"feed"};
  groups::g_special_exclude = false;

  // Without the excluded site anywhere the fetch stops and shows the Path.
  outcome = read(foreign + rest + ".\r\n");
  EXPECT_FALSE(outcome.result);
  EXPECT_TRUE(outcome.stored.empty());
  EXPECT_NE(outcome.err.find("ARTICLE 7 in misc.test did not contain 'feed' in 'Path:'"),
            std::string::npos)
      << outcome.err;
  EXPECT_NE(outcome.err.find("Path line was 'a!b!relay3!relay10!"), std::string::npos)
      << outcome.err;

  // A site name split by the piece boundary is found only on the whole line.
  std::string split_value(kPiece - 8, 'q');
  split_value += "!feed!x";
  ASSERT_EQ(split_value.find("feed") + 6, kPiece - 1);  // the first piece ends in "f"
  outcome = read("Path: " + split_value + "\r\n" + rest + ".\r\n");
  ASSERT_TRUE(outcome.result) << outcome.err;
  EXPECT_EQ(outcome.stored.size(), 1u);
}

TEST_F(ArticleTest, PathExtensionReplacesTheHeaderNameAndItsBlanks) {
  base::g_settings.tag = 1;
  const std::string value = "feed!" + std::string(3000, 'p');
  Outcome outcome = read("Path:" + std::string(40, ' ') + value + "\r\nX: y\r\n\r\nbody\r\n.\r\n");
  ASSERT_TRUE(outcome.result) << outcome.err;
  ASSERT_EQ(outcome.stored.size(), 1u);
  EXPECT_EQ(outcome.stored[0], "Path: tessu!" + value + "\nX: y\n\nbody\n");

  outcome = read("X: y\r\nPATH:" + value + "\r\n\r\nbody\r\n.\r\n");
  ASSERT_TRUE(outcome.result) << outcome.err;
  ASSERT_EQ(outcome.stored.size(), 1u);
  EXPECT_EQ(outcome.stored[0], "X: y\nPath: tessu!" + value + "\n\nbody\n");
}

TEST_F(ArticleTest, LongMessageIdIsCheckedWhole) {
  // The fake prefix after blanks that fill the first piece.
  Outcome outcome = read("Path: feed!x\r\nMessage-ID:" + std::string(kPiece + 300, ' ') +
                         "<FAKE@x>\r\n\r\nbody\r\n.\r\n");
  EXPECT_TRUE(outcome.result);
  EXPECT_TRUE(outcome.stored.empty());
  EXPECT_NE(outcome.err.find("ARTICLE 7 rejected as fake"), std::string::npos) << outcome.err;
  EXPECT_EQ(report::g_counters.fake, 1);

  // The prefix cut in two by the piece boundary.
  const std::string cut = "Message-ID:" + std::string(kPiece - 11 - 3, '\t') + "<fake@x>";
  ASSERT_EQ(cut.substr(kPiece - 3, 3), "<fa");
  outcome = read("Path: feed!x\r\n" + cut + "\r\n\r\nbody\r\n.\r\n");
  EXPECT_TRUE(outcome.stored.empty());
  EXPECT_EQ(report::g_counters.fake, 2);

  // "<fake@" further on in a long header that starts otherwise is no fake.
  const std::string real =
      "Message-ID: <real@x>" + std::string(kPiece, ' ') + "<fake@x>\r\n" + "X-Id: <fake@y>\r\n";
  outcome = read("Path: feed!x\r\n" + real + "\r\nbody\r\n.\r\n");
  ASSERT_TRUE(outcome.result) << outcome.err;
  ASSERT_EQ(outcome.stored.size(), 1u);
  EXPECT_EQ(report::g_counters.fake, 2);
}

TEST_F(ArticleTest, CarriageReturnsSurviveEveryPieceBoundary) {
  const std::string head = "Path: feed!x\r\n\r\n";
  // Runs of bare CRs at every offset around the first two piece boundaries
  // of a long body line, and the same runs just before the line end, so that
  // the line feed comes in the next piece.
  for (size_t boundary : {kPiece, 2 * kPiece}) {
    for (size_t at = boundary - 4; at <= boundary + 4; ++at) {
      for (size_t run : {1u, 2u, 3u}) {
        std::string inner(2 * kPiece + 600, 'x');
        inner.replace(at, run, std::string(run, '\r'));
        std::string at_end(at, 'y');
        at_end += std::string(run, '\r');
        for (const std::string& line : {inner + "\r\n", at_end + "\r\n", at_end + "\n"}) {
          const Outcome outcome = read(head + line + "last\r\n.\r\n");
          ASSERT_TRUE(outcome.result) << outcome.err;
          ASSERT_EQ(outcome.stored.size(), 1u);
          ASSERT_EQ(outcome.stored[0], "Path: feed!x\n\n" + stored_line(line) + "last\n")
              << "CRs at " << at << ", " << run << " of them, line of " << line.size();
        }
      }
    }
  }

  // Pieces made of CRs alone: kept when text follows, dropped before the LF.
  const std::string returns(2 * kPiece + 7, '\r');
  Outcome outcome = read(head + returns + "z\r\n" + returns + "\r\n.\r\n");
  ASSERT_TRUE(outcome.result) << outcome.err;
  ASSERT_EQ(outcome.stored.size(), 1u);
  EXPECT_EQ(outcome.stored[0], "Path: feed!x\n\n" + returns + "z\n\n");
}

TEST_F(ArticleTest, DotsAreUnstuffedOnlyAtLineStarts) {
  // A piece that begins with dots in the middle of a line is text; the line
  // after it starts a line again.
  const std::string fill(kPiece, 'x');
  const std::string wire = "Path: feed!x\r\n\r\n" + fill + "..y\r\n" + fill + ".\r\n" + fill +
                           "\r\n..z\r\n" + fill + "\r\r\n.\r\nNEXT\r\n";
  const Outcome outcome = read(wire);
  ASSERT_TRUE(outcome.result) << outcome.err;
  ASSERT_EQ(outcome.stored.size(), 1u);
  EXPECT_EQ(outcome.stored[0],
            "Path: feed!x\n\n" + fill + "..y\n" + fill + ".\n" + fill + "\n.z\n" + fill + "\n");
  EXPECT_EQ(next_line(), "NEXT\r\n");
}

TEST_F(ArticleTest, OddInputIsHandledByLength) {
  // NUL bytes are kept: the text is handled by its length.
  std::string wire = std::string("Path: feed!x\r\n\r\nnul\0here\r\n\0\r\n", 29) + ".\r\n";
  Outcome outcome = read(wire);
  ASSERT_TRUE(outcome.result) << outcome.err;
  ASSERT_EQ(outcome.stored.size(), 1u);
  EXPECT_EQ(outcome.stored[0], std::string("Path: feed!x\n\nnul\0here\n\0\n", 25));

  // No empty line between header and body: every line is header.
  outcome = read("Path: feed!x\r\nSubject: s\r\nno separator\r\n.\r\n");
  ASSERT_TRUE(outcome.result) << outcome.err;
  ASSERT_EQ(outcome.stored.size(), 1u);
  EXPECT_EQ(outcome.stored[0], "Path: feed!x\nSubject: s\nno separator\n");

  // A lone CR inside a line stays; a run of CRs at the end goes.
  outcome = read("Path: feed!x\r\n\r\na\rb\r\r\n.\r\n");
  ASSERT_TRUE(outcome.result) << outcome.err;
  ASSERT_EQ(outcome.stored.size(), 1u);
  EXPECT_EQ(outcome.stored[0], "Path: feed!x\n\na\rb\n");
}

TEST_F(ArticleTest, TextEndingBeforeItsEndLineFails) {
  send_to_client("Path: feed!x\r\n\r\nbody\r\n.");
  shutdown(peer, SHUT_WR);
  CaptureFd capture;
  EXPECT_FALSE(fetch::read_article(7, "misc.test"));
  const std::string err = capture.take();
  EXPECT_NE(err.find("read error on socket"), std::string::npos) << err;
  EXPECT_TRUE(take_stored().empty());
}

TEST_F(ArticleTest, TheArticleBufferGrowsInStepsAndNeverShrinks) {
  read("Path: feed!x\r\n\r\nsmall\r\n.\r\n");
  const size_t start = fetch::article_buffer_capacity();
  ASSERT_GE(start, fetch::kArticleBufferStep);
  EXPECT_EQ(start % fetch::kArticleBufferStep, 0u);

  // An article 150000 bytes larger than the buffer, sent by a writer thread
  // since it does not fit the socket's buffer.
  std::string big = "Path: feed!x\r\n\r\n";
  const std::string line = std::string(98, 'b') + "\r\n";
  while (big.size() < start + 150000) big += line;
  big += ".\r\n";
  std::thread writer([&] {
    size_t sent = 0;
    while (sent < big.size()) {
      const ssize_t n = write(peer, big.data() + sent, big.size() - sent);
      if (n <= 0) break;
      sent += static_cast<size_t>(n);
    }
  });
  CaptureFd capture;
  const bool result = fetch::read_article(7, "misc.test");
  writer.join();
  capture.take();
  ASSERT_TRUE(result);
  const std::vector<std::string> stored = take_stored();
  ASSERT_EQ(stored.size(), 1u);
  const size_t stored_size = stored[0].size();
  size_t expected = start;
  while (expected < stored_size) expected += fetch::kArticleBufferStep;
  EXPECT_EQ(fetch::article_buffer_capacity(), expected);

  read("Path: feed!x\r\n\r\nsmall again\r\n.\r\n");
  EXPECT_EQ(fetch::article_buffer_capacity(), expected);
}

TEST_F(ArticleTest, SkippedTextIsReadUpToItsEndLine) {
  send_to_client("Path: feed!x\r\n\r\n..\r\n" + std::string(6000, 'z') + "\r\n.\r\nAFTER\r\n");
  EXPECT_TRUE(fetch::skip_article_text());
  EXPECT_EQ(next_line(), "AFTER\r\n");
  EXPECT_TRUE(take_stored().empty());
}

}  // namespace
