// Whole fetch runs with lines longer than one read of the client: long Path
// and Message-ID headers are judged whole, and bare CRs, NUL bytes and dots
// in long lines reach INCOMING exactly as sent, whatever the read pieces;
// after such an article the fetch goes on with the next group.
#include <unistd.h>

#include <map>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "support/news_site.h"

namespace {

using testsupport::contains;
using testsupport::message_id_of;
using testsupport::RunResult;
using testsupport::split_batch;
using Strings = std::vector<std::string>;

constexpr const char* kSpool = "upstream";

// The client reads a line in pieces of at most this many bytes.
constexpr size_t kPiece = 5119;

// The text of an article with the given Path, Message-ID and body.
std::string article(const std::string& path, const std::string& id, const std::string& body,
                    const std::string& id_blanks = " ") {
  return "Path: " + path + "\nFrom: poster@example.invalid\nNewsgroups: comp.a\nSubject: bytes" +
         "\nMessage-ID:" + id_blanks + id + "\n\n" + body;
}

// A Path of about length bytes made of relay names, ending in last.
std::string long_path(size_t length, const std::string& last) {
  std::string path = "relay0";
  while (path.size() + last.size() + 1 < length) path += "!relay" + std::to_string(path.size());
  return path + "!" + last;
}

// How the server sends a text: CR LF line ends, leading dots doubled, end line.
std::string wire_form(const std::string& text) {
  std::string out;
  size_t pos = 0;
  while (pos < text.size()) {
    const size_t end = text.find('\n', pos);
    if (text[pos] == '.') out += '.';
    out.append(text, pos, end - pos);
    out += "\r\n";
    pos = end + 1;
  }
  return out + ".\r\n";
}

struct ArticleBytes : testsupport::NewsSiteTest {
  ArticleBytes() : NewsSiteTest(kSpool, "*") { fixed_options = {"--nopost", "-d"}; }

  // Every published article by its Message-ID; batches are emptied.
  std::map<std::string, std::string> take_stored() const {
    std::map<std::string, std::string> by_id;
    for (const std::string& name : site.list("incoming")) {
      EXPECT_NE(name.rfind(".tmp.", 0), 0u) << "batch left under its temporary name: " << name;
      Strings articles;
      EXPECT_TRUE(split_batch(site.read("incoming/" + name), &articles)) << name;
      for (const std::string& text : articles) {
        EXPECT_EQ(by_id.count(message_id_of(text)), 0u) << message_id_of(text);
        by_id[message_id_of(text)] = text;
      }
      unlink(site.path("incoming/" + name).c_str());
    }
    return by_id;
  }

  // A plain article in comp.b, fetched after whatever comp.a holds.
  std::string add_next_group_article() {
    const std::string text = article("upstream!poster", "<next@test>", "body\n");
    server.add_article("comp.b", 1, text, "<next@test>");
    return text;
  }
};

TEST_F(ArticleBytes, LongPathWithTheExcludedSiteAtItsEndIsAccepted) {
  set_active({"comp.a", "comp.b"});
  // One Path within a read, one over three reads.
  const std::string short_path = long_path(3000, "upstream");
  const std::string long_one = long_path(3 * kPiece - 200, "upstream");
  ASSERT_GT(long_one.size(), 2 * kPiece);
  const std::string a1 = article(short_path, "<a1@test>", "body 1\n");
  const std::string a2 = article(long_one, "<a2@test>", "body 2\n");
  server.add_article("comp.a", 1, a1);
  server.add_article("comp.a", 2, a2);
  const std::string b1 = add_next_group_article();
  set_host_active("comp.a 1\ncomp.b 1\n");

  RunResult result = run({});
  ASSERT_EQ(result.status, 0) << result.err;
  EXPECT_EQ(take_stored(), (std::map<std::string, std::string>{
                               {"<a1@test>", a1}, {"<a2@test>", a2}, {"<next@test>", b1}}));
  EXPECT_EQ(host_active(), "comp.a 3\ncomp.b 2\n");

  // With --tag the short Path gets our name; the long one has no room and is
  // dropped, and the fetch goes on.
  set_host_active("comp.a 1\ncomp.b 1\n");
  result = run({"--tag"});
  ASSERT_EQ(result.status, 0) << result.err;
  EXPECT_TRUE(contains(result.err, "No room to extend path in ARTICLE 2, adjust MAX_HEADER_SIZE"))
      << result.err;
  EXPECT_EQ(take_stored(),
            (std::map<std::string, std::string>{
                {"<a1@test>", article("tessu!" + short_path, "<a1@test>", "body 1\n")},
                {"<next@test>", "Path: tessu!" + b1.substr(6)}}));
  EXPECT_EQ(host_active(), "comp.a 3\ncomp.b 2\n");
}

TEST_F(ArticleBytes, LongPathWithoutAnExcludedSiteStopsTheFetch) {
  set_active({"comp.a", "comp.b"});
  const std::string path = long_path(2 * kPiece + 300, "poster");
  // "upstreamer" and "xupstream" are not "upstream".
  const std::string foreign = "upstreamer!" + path + "!xupstream";
  server.add_article("comp.a", 1, article(foreign, "<a1@test>", "body\n"));
  add_next_group_article();
  set_host_active("comp.a 1\ncomp.b 1\n");

  const RunResult result = run({});
  EXPECT_EQ(result.status, 9) << result.err;
  EXPECT_TRUE(contains(result.err, "ARTICLE 1 in comp.a did not contain 'upstream' in 'Path:'"))
      << result.err;
  EXPECT_TRUE(contains(result.err, "Path line was 'upstreamer!relay0!relay6!")) << result.err;
  EXPECT_TRUE(take_stored().empty());
  EXPECT_EQ(host_active(), "comp.a 1\ncomp.b 1\n");
}

TEST_F(ArticleBytes, OwnNameExcludedExtendsALongPathWithinTheLimit) {
  site.write("etc/newsfeeds", "ME:*::\nupstream/upstream,tessu:*::\n");
  set_active({"comp.a", "comp.b"});
  const std::string fits = long_path(3000, "poster");
  const std::string too_long = long_path(2 * kPiece, "poster");
  server.add_article("comp.a", 1, article(fits, "<a1@test>", "body 1\n"));
  server.add_article("comp.a", 2, article(too_long, "<a2@test>", "body 2\n"));
  const std::string b1 = add_next_group_article();
  set_host_active("comp.a 1\ncomp.b 1\n");

  const RunResult result = run({});
  ASSERT_EQ(result.status, 0) << result.err;
  EXPECT_TRUE(contains(result.err, "No room to extend path in ARTICLE 2")) << result.err;
  EXPECT_EQ(take_stored(), (std::map<std::string, std::string>{
                               {"<a1@test>", article("tessu!" + fits, "<a1@test>", "body 1\n")},
                               {"<next@test>", b1}}));
  EXPECT_EQ(host_active(), "comp.a 3\ncomp.b 2\n");
}

TEST_F(ArticleBytes, LongMessageIdHeaderIsStillCheckedForFakes) {
  set_active({"comp.a", "comp.b"});
  // The server's STAT reply names a real ID; only the header shows the fake.
  const std::string blanks = std::string(kPiece, ' ') + "\t";
  server.add_article("comp.a", 1, article("upstream!x", "<FAKE@test>", "body\n", blanks),
                     "<real1@test>");
  const std::string a2 = article("upstream!x", "<a2@test>", "body\n", blanks);
  server.add_article("comp.a", 2, a2, "<a2@test>");
  const std::string b1 = add_next_group_article();
  set_host_active("comp.a 1\ncomp.b 1\n");

  const RunResult result = run({});
  ASSERT_EQ(result.status, 0) << result.err;
  EXPECT_TRUE(contains(result.err, "ARTICLE 1 rejected as fake")) << result.err;
  std::map<std::string, std::string> stored = take_stored();
  ASSERT_EQ(stored.size(), 2u);
  EXPECT_EQ(stored["<next@test>"], b1);
  stored.erase("<next@test>");
  EXPECT_EQ(stored.begin()->second, a2);
  EXPECT_EQ(host_active(), "comp.a 3\ncomp.b 2\n");
}

// Body lines that put bare CRs, NUL bytes and dots at every offset around the
// piece boundaries of the client's reads, one article per offset and byte.
struct OddLine {
  std::string what;
  std::string line;  // without its line end
};

std::vector<OddLine> odd_lines() {
  std::vector<OddLine> lines;
  for (size_t boundary : {kPiece, 2 * kPiece}) {
    for (size_t at = boundary - 3; at <= boundary + 3; ++at) {
      for (const std::string& odd :
           {std::string("\r"), std::string("\r\r"), std::string(1, '\0'), std::string("\r\0", 2)}) {
        std::string line(2 * kPiece + 700, 'x');
        line.replace(at, odd.size(), odd);
        lines.push_back({"byte " + std::to_string(static_cast<int>(odd[0])) + " run of " +
                             std::to_string(odd.size()) + " at " + std::to_string(at),
                         line});
      }
    }
  }
  // The CR LF of a line split over two reads; the dots after a read of a
  // full piece are text, not the end line or stuffing.
  for (size_t length : {kPiece - 2, kPiece - 1, kPiece, kPiece + 1}) {
    lines.push_back({"line of " + std::to_string(length), std::string(length, 'y')});
  }
  lines.push_back({"dot after a piece", std::string(kPiece, 'z') + "."});
  lines.push_back({"two dots after a piece", std::string(kPiece, 'z') + "..w"});
  lines.push_back({"CR, dot and CR after a piece", std::string(kPiece, 'z') + "\r.\r."});
  return lines;
}

TEST_F(ArticleBytes, LongBodyLinesAreStoredAsSentWhateverTheReadPieces) {
  set_active({"comp.a", "comp.b"});
  const std::vector<OddLine> lines = odd_lines();
  std::map<std::string, std::string> sent;
  long n = 0;
  for (const OddLine& odd : lines) {
    ++n;
    const std::string id = "<" + std::to_string(n) + "@test>";
    // A dot-stuffed line follows to show the next line starts afresh.
    sent[id] = article("upstream!x", id, "before\n" + odd.line + "\n.after\n");
    server.add_article("comp.a", n, sent[id], id);
  }
  sent["<next@test>"] = add_next_group_article();
  set_host_active("comp.a 1\ncomp.b 1\n");

  const RunResult result = run({});
  ASSERT_EQ(result.status, 0) << result.err;
  const std::map<std::string, std::string> stored = take_stored();
  n = 0;
  for (const OddLine& odd : lines) {
    const std::string id = "<" + std::to_string(++n) + "@test>";
    const auto found = stored.find(id);
    ASSERT_NE(found, stored.end()) << odd.what;
    EXPECT_TRUE(found->second == sent[id]) << odd.what;
  }
  EXPECT_EQ(stored.at("<next@test>"), sent["<next@test>"]);
  EXPECT_EQ(stored.size(), sent.size());
  EXPECT_EQ(host_active(), "comp.a " + std::to_string(n + 1) + "\ncomp.b 2\n");
}

TEST_F(ArticleBytes, FullFilterIsGivenLongLinesAsReceived) {
  set_active({"comp.a"});
  std::string wire;
  long n = 0;
  for (const OddLine& odd : odd_lines()) {
    // The shell filter below cannot carry NUL bytes.
    if (odd.line.find('\0') != std::string::npos) continue;
    const std::string id = "<" + std::to_string(++n) + "@test>";
    const std::string text = article(long_path(kPiece + 50, "upstream"), id, odd.line + "\n");
    server.add_article("comp.a", n, text, id);
    wire += wire_form(text);
  }
  set_host_active("comp.a 1\n");
  // Copies what it is given (read takes the line feed off, printf puts it
  // back) and accepts each article at its end line.
  site.write("filter.sh",
             "cr=$(printf '\\r')\n"
             "while IFS= read -r line; do\n"
             "  printf '%s\\n' \"$line\" >> \"$1\"\n"
             "  case \"$line\" in \".$cr\") echo 335 ;; esac\n"
             "done\n");

  const RunResult result =
      run({"--filter", "sh " + site.path("filter.sh") + " " + site.path("copy")});
  ASSERT_EQ(result.status, 0) << result.err;
  EXPECT_TRUE(site.read("copy") == wire) << "the filter was given other bytes";
  EXPECT_EQ(take_stored().size(), static_cast<size_t>(n));
}

}  // namespace
