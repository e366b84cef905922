// Whole runs over TLS and COMPRESS DEFLATE against the scripted server:
// implicit TLS and STARTTLS with the exact commands on the wire, every way the
// certificate check refuses a server, a server that stalls or breaks off, and
// compressed fetches and posts that hand on the same articles as plain ones.
#include <sys/stat.h>

#include <algorithm>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "support/news_site.h"
#include "support/nntp_server.h"
#include "support/tessu_runner.h"
#include "support/tls_certs.h"

namespace {

using testsupport::CertificatePair;
using testsupport::concat;
using testsupport::contains;
using testsupport::Fault;
using testsupport::RunResult;
using testsupport::TempSite;
using testsupport::TestCertificates;
using testsupport::TestNntpServer;
using Strings = std::vector<std::string>;

constexpr int kNoConnection = 3;
constexpr int kBroken = 9;

const Strings kStarttlsOffered = {"STARTTLS", "COMPRESS DEFLATE", "READER"};

struct TlsRun : testing::Test {
  TempSite site;
  TestCertificates certs{site.root};
  TestNntpServer server;

  void SetUp() override { ASSERT_TRUE(certs.ok); }

  // The server speaks TLS with pair, from the first byte or after STARTTLS.
  void serve(const CertificatePair& pair, bool implicit) {
    server.script.tls.cert_file = pair.cert;
    server.script.tls.key_file = pair.key;
    server.script.tls.implicit = implicit;
    ASSERT_GT(server.start(), 0);
  }

  RunResult run(const Strings& options, const std::string& host = "localhost") const {
    return testsupport::run_tessu(
        concat(concat(site.site_options(), options), {"feed", host, server.port_string()}));
  }

  // A run that connects only: no posting, no fetching.
  RunResult connect(const Strings& options, const std::string& host = "localhost") const {
    return run(concat({"--nopost", "--nofetch"}, options), host);
  }

  Strings trusted() const { return {"--tls-ca", certs.ca_file}; }
};

TEST_F(TlsRun, ImplicitTlsRunsTheSessionAndNamesProtocolAndCipher) {
  serve(certs.server, true);
  const RunResult result = connect(concat({"--tls", "--debug", "5"}, trusted()));
  ASSERT_EQ(result.status, 0) << result.err;
  EXPECT_EQ(server.commands(), Strings{"QUIT"});
  ASSERT_EQ(server.tls_peers().size(), 1u);
  const std::string protocol = server.tls_peers()[0].protocol;
  EXPECT_TRUE(contains(result.err, "TLS: " + protocol + " TLS_")) << result.err;
  // Once as the handshake ends, once in the statistics.
  size_t count = 0;
  for (size_t at = result.err.find("TLS: "); at != std::string::npos;
       at = result.err.find("TLS: ", at + 1)) {
    ++count;
  }
  EXPECT_EQ(count, 2u) << result.err;
  EXPECT_FALSE(contains(result.err, "warning")) << result.err;
}

TEST_F(TlsRun, AHashedCaDirectoryAndTheAddressLiteralAreAccepted) {
  serve(certs.server, true);
  RunResult result = connect({"--tls", "--tls-ca", certs.ca_dir});
  EXPECT_EQ(result.status, 0) << result.err;
  // The certificate names 127.0.0.1 as an address: checked as one, no SNI.
  result = connect(concat({"--tls"}, trusted()), "127.0.0.1");
  EXPECT_EQ(result.status, 0) << result.err;
  EXPECT_EQ(server.connections(), 2);
}

TEST_F(TlsRun, StarttlsAsksCapabilitiesBeforeAndAfterAndAuthenticatesInside) {
  server.script.capabilities = kStarttlsOffered;
  serve(certs.server, false);
  site.write("authinfo", "newsuser secret\n");
  const RunResult result =
      connect(concat({"--starttls", "--auth", site.path("authinfo"), "--debug", "5"}, trusted()));
  ASSERT_EQ(result.status, 0) << result.err;
  EXPECT_EQ(server.commands(), (Strings{"CAPABILITIES", "STARTTLS", "CAPABILITIES",
                                        "AUTHINFO USER newsuser", "AUTHINFO PASS secret", "QUIT"}));
  ASSERT_EQ(server.tls_peers().size(), 1u);
  EXPECT_TRUE(contains(result.err, "TLS: ")) << result.err;
  // The password never passed in clear text, the commands after STARTTLS did not either.
  EXPECT_FALSE(contains(result.err, "secret")) << result.err;
}

TEST_F(TlsRun, StarttlsNotOfferedEndsTheRunOrGoesOnPlainWithoutThePassword) {
  server.script.capabilities = {"READER"};
  serve(certs.server, false);
  RunResult result = connect(concat({"--starttls"}, trusted()));
  EXPECT_EQ(result.status, kNoConnection) << result.err;
  EXPECT_TRUE(contains(result.err, "server localhost does not offer STARTTLS")) << result.err;

  result = connect(concat({"--starttls-if-offered"}, trusted()));
  EXPECT_EQ(result.status, 0) << result.err;
  EXPECT_TRUE(contains(result.err,
                       "warning: server localhost does not offer STARTTLS; going on in plain text"))
      << result.err;

  site.write("authinfo", "newsuser secret\n");
  result = connect(concat({"--starttls-if-offered", "--auth", site.path("authinfo")}, trusted()));
  EXPECT_EQ(result.status, kBroken) << result.err;
  EXPECT_TRUE(contains(result.err,
                       "not sending AUTHINFO in clear text: TLS was asked for but is not in use"))
      << result.err;
  EXPECT_EQ(server.count_commands("AUTHINFO"), 0u);
  EXPECT_EQ(server.count_commands("STARTTLS"), 0u);
}

TEST_F(TlsRun, StarttlsRefusedEndsTheRun) {
  server.script.capabilities = kStarttlsOffered;
  server.script.faults.push_back(Fault{Fault::kReplyCode, "STARTTLS", 1, "580 no TLS today", 0});
  serve(certs.server, false);
  const RunResult result = connect(concat({"--starttls"}, trusted()));
  EXPECT_EQ(result.status, kNoConnection) << result.err;
  EXPECT_TRUE(contains(result.err, "STARTTLS refused: got \"580 no TLS today\"")) << result.err;
}

// Each refusal names OpenSSL's reason and ends the run as no connection.
struct Refusal {
  const char* name;
  const CertificatePair TestCertificates::*pair;
  const char* reason;
};

TEST_F(TlsRun, CertificatesThatDoNotProveTheServerAreRefusedWithTheReason) {
  const Refusal refusals[] = {
      {"wrong name", &TestCertificates::wrong_name, "hostname mismatch"},
      {"untrusted CA", &TestCertificates::untrusted, "unable to get local issuer certificate"},
      {"expired", &TestCertificates::expired, "certificate has expired"},
      {"self-signed", &TestCertificates::self_signed, "self-signed certificate"},
  };
  for (const Refusal& refusal : refusals) {
    SCOPED_TRACE(refusal.name);
    TestNntpServer refusing;
    refusing.script.tls = {(certs.*refusal.pair).cert, (certs.*refusal.pair).key, true, false, ""};
    ASSERT_GT(refusing.start(), 0);
    const RunResult result = testsupport::run_tessu(
        concat(concat(site.site_options(), {"--nopost", "--nofetch", "--tls"}),
               concat(trusted(), {"feed", "localhost", refusing.port_string()})));
    EXPECT_EQ(result.status, kNoConnection) << result.err;
    EXPECT_TRUE(contains(result.err, std::string("TLS handshake with localhost failed: "
                                                 "certificate not accepted: ") +
                                         refusal.reason))
        << result.err;
    EXPECT_EQ(refusing.commands(), Strings{});
  }
}

TEST_F(TlsRun, TheSystemStoreDoesNotKnowTheTestCa) {
  serve(certs.server, true);
  const RunResult result = connect({"--tls"});
  EXPECT_EQ(result.status, kNoConnection) << result.err;
  EXPECT_TRUE(contains(result.err, "unable to get local issuer certificate")) << result.err;
}

TEST_F(TlsRun, InsecureTakesAnyCertificateAndWarnsEveryRun) {
  server.script.tls = {certs.wrong_name.cert, certs.wrong_name.key, true, false, ""};
  ASSERT_GT(server.start(), 0);
  for (int run_number = 1; run_number <= 2; ++run_number) {
    const RunResult result = connect({"--tls", "--tls-insecure"});
    EXPECT_EQ(result.status, 0) << result.err;
    EXPECT_TRUE(contains(result.err, "warning: TLS certificate not verified (--tls-insecure)"))
        << result.err;
  }
  EXPECT_EQ(server.count_commands("QUIT"), 2u);
}

TEST_F(TlsRun, AClientCertificateIsPresentedWhenGiven) {
  server.script.tls.client_ca_file = certs.ca_file;
  serve(certs.server, true);
  RunResult result = connect(
      concat({"--tls", "--tls-cert", certs.client.cert, "--tls-key", certs.client.key}, trusted()));
  ASSERT_EQ(result.status, 0) << result.err;
  result = connect(concat({"--tls"}, trusted()));
  ASSERT_EQ(result.status, 0) << result.err;
  const auto peers = server.tls_peers();
  ASSERT_EQ(peers.size(), 2u);
  EXPECT_TRUE(contains(peers[0].client_subject, "CN=tessu client")) << peers[0].client_subject;
  EXPECT_EQ(peers[1].client_subject, "");

  result = connect(
      concat({"--tls", "--tls-cert", certs.client.cert, "--tls-key", certs.ca_file}, trusted()));
  EXPECT_EQ(result.status, 8) << result.err;
  EXPECT_TRUE(contains(result.err, "can't use TLS key \"" + certs.ca_file + "\"")) << result.err;
}

TEST_F(TlsRun, AStalledHandshakeEndsAtTheTimeout) {
  server.script.tls.stall_handshake = true;
  serve(certs.server, true);
  const RunResult result = connect(concat({"--tls", "--timeout", "1"}, trusted()));
  EXPECT_EQ(result.status, kNoConnection) << result.err;
  EXPECT_TRUE(contains(result.err, "timeout in TLS handshake")) << result.err;
}

TEST_F(TlsRun, AServerThatStallsInsideTheSessionEndsAtTheTimeout) {
  server.script.capabilities = kStarttlsOffered;
  server.script.faults.push_back(Fault{Fault::kStall, "QUIT", 1, "", 0});
  serve(certs.server, false);
  const RunResult result = connect(concat({"--starttls", "--timeout", "1"}, trusted()));
  EXPECT_EQ(result.status, kBroken) << result.err;
  EXPECT_TRUE(contains(result.err, "timeout on server socket")) << result.err;
  EXPECT_EQ(server.tls_peers().size(), 1u);
}

TEST_F(TlsRun, APlainServerOnTheTlsPortIsAHandshakeFailure) {
  ASSERT_GT(server.start(), 0);
  const RunResult result = connect(concat({"--tls", "--timeout", "5"}, trusted()));
  EXPECT_EQ(result.status, kNoConnection) << result.err;
  EXPECT_TRUE(contains(result.err, "TLS handshake with localhost failed: ")) << result.err;
}

TEST_F(TlsRun, AServerThatClosesInsideARecordBreaksTheRun) {
  server.script.faults.push_back(Fault{Fault::kCloseMidRecord, "QUIT", 1, "", 0});
  serve(certs.server, true);
  const RunResult result = connect(concat({"--tls"}, trusted()));
  EXPECT_EQ(result.status, kBroken) << result.err;
  EXPECT_TRUE(contains(result.err, "TLS read failed: unexpected eof while reading")) << result.err;
}

TEST_F(TlsRun, TlsOptionsThatCannotWorkAreUsageErrors) {
  RunResult result = connect({"--tls", "--starttls"});
  EXPECT_EQ(result.status, 2) << result.err;
  EXPECT_TRUE(contains(result.err, "can't combine --tls with --starttls")) << result.err;
  result = connect({"--starttls", "--connect", "cat"});
  EXPECT_EQ(result.status, 2) << result.err;
  EXPECT_TRUE(contains(result.err, "TLS needs a TCP connection")) << result.err;
}

}  // namespace

namespace {

// Fetches and posts through TLS and compression, compared with plain runs.
struct TlsTransfer : TlsRun {
  void SetUp() override {
    TlsRun::SetUp();
    site.write("etc/newsfeeds", "ME:*::\nfeed:*::\n");
    site.write("db/active", "comp.a 0000000100 0000000001 y\ncomp.b 0000000100 0000000001 y\n");
  }

  // Articles of every size around the streams' buffers, one far larger than
  // them and highly compressible (its inflated text overflows any buffer).
  static void add_articles(TestNntpServer* to) {
    std::string text;
    for (long n = 1; n <= 40; ++n) {
      text += "line " + std::to_string(n * 7919 % 1000) + " of varied text\n";
      to->add_simple_article("comp.a", n, "<" + std::to_string(n) + ".a@test>", "feed!not-for-mail",
                             text);
    }
    to->add_simple_article("comp.b", 1, "<1.b@test>", "feed!not-for-mail",
                           std::string(200000, 'x') + "\n.dot\n");
  }

  // The articles of every published batch, sorted (batch names come from the clock).
  static Strings batches(const TempSite& in) {
    Strings articles;
    for (const std::string& name : in.list("incoming")) {
      if (name.rfind(".tmp.", 0) != 0) {
        EXPECT_TRUE(testsupport::split_batch(in.read("incoming/" + name), &articles)) << name;
      }
    }
    std::sort(articles.begin(), articles.end());
    return articles;
  }

  // What the plain server of fetch_plain received, and how many bytes it sent.
  struct PlainFetch {
    Strings commands;
    long wire_bytes_sent = 0;
  };

  // The same fetch from a plain server with the same articles, into a site
  // with the same files.
  static PlainFetch fetch_plain(const TempSite& like, const TempSite& into,
                                const Strings& options) {
    into.write("etc/newsfeeds", like.read("etc/newsfeeds"));
    into.write("db/active", like.read("db/active"));
    TestNntpServer plain;
    add_articles(&plain);
    EXPECT_GT(plain.start(), 0);
    const RunResult result = testsupport::run_tessu(
        concat(concat(into.site_options(), options), {"feed", "localhost", plain.port_string()}));
    EXPECT_EQ(result.status, 0) << result.err;
    // A session's bytes are counted when it ends, which may come after tessu's.
    plain.stop();
    return PlainFetch{plain.commands(), plain.wire_bytes_sent()};
  }

  static bool holds(const Strings& articles, const std::string& text) {
    for (const std::string& article : articles) {
      if (contains(article, text)) return true;
    }
    return false;
  }
};

TEST_F(TlsTransfer, AFetchOverTlsAndCompressionHandsOnWhatAPlainFetchDoes) {
  server.script.capabilities = kStarttlsOffered;
  server.script.compress = true;
  add_articles(&server);
  serve(certs.server, false);
  const RunResult result =
      run(concat({"--nopost", "--starttls", "--compress", "--debug", "5"}, trusted()));
  ASSERT_EQ(result.status, 0) << result.err;
  EXPECT_TRUE(contains(result.err, "COMPRESS DEFLATE: both directions compressed")) << result.err;
  const Strings commands = server.commands();
  ASSERT_GE(commands.size(), 5u);
  EXPECT_EQ(Strings(commands.begin(), commands.begin() + 4),
            (Strings{"CAPABILITIES", "STARTTLS", "CAPABILITIES", "COMPRESS DEFLATE"}));
  EXPECT_EQ(commands.back(), "QUIT");

  TempSite plain_site;
  const PlainFetch plain = fetch_plain(site, plain_site, {"--nopost"});
  // The same commands after the session's start, the same batches.
  EXPECT_EQ(Strings(commands.begin() + 4, commands.end()), plain.commands);
  EXPECT_EQ(batches(site), batches(plain_site));
  EXPECT_EQ(batches(site).size(), 41u);
  EXPECT_TRUE(holds(batches(site), "\n.dot\n"));
  EXPECT_EQ(site.read("inhosts/feed"), plain_site.read("inhosts/feed"));
  // The articles travelled compressed: far fewer bytes than plain text.
  server.stop();
  EXPECT_GT(server.wire_bytes_sent(), 0);
  EXPECT_LT(server.wire_bytes_sent() * 4, plain.wire_bytes_sent);
}

TEST_F(TlsTransfer, SmallRecordsAndQueuedCommandsHandOnWhatAPlainFetchDoes) {
  // Records of 512 bytes: a read of the socket takes many of them and ends
  // inside one, and the last replies wait in what was read, not on the socket.
  server.script.tls.record_size = 512;
  add_articles(&server);
  serve(certs.server, true);
  const Strings options = {"--nopost", "--window", "100", "--timeout", "20"};
  const RunResult result = run(concat(concat(options, {"--tls"}), trusted()));
  ASSERT_EQ(result.status, 0) << result.err;
  TempSite plain_site;
  EXPECT_EQ(server.commands(), fetch_plain(site, plain_site, options).commands);
  EXPECT_EQ(batches(site), batches(plain_site));
  EXPECT_EQ(batches(site).size(), 41u);
  EXPECT_EQ(site.read("inhosts/feed"), plain_site.read("inhosts/feed"));
}

TEST_F(TlsTransfer, ImplicitTlsFetchWithoutCompressionOnOffer) {
  server.script.capabilities = {"READER"};
  server.script.compress = true;
  add_articles(&server);
  serve(certs.server, true);
  const RunResult result =
      run(concat({"--nopost", "--tls", "--compress", "--debug", "5"}, trusted()));
  ASSERT_EQ(result.status, 0) << result.err;
  EXPECT_TRUE(contains(result.err, "server does not offer COMPRESS DEFLATE; not compressing"))
      << result.err;
  const Strings commands = server.commands();
  ASSERT_GE(commands.size(), 2u);
  EXPECT_EQ(commands[0], "CAPABILITIES");
  EXPECT_EQ(server.count_commands("COMPRESS"), 0u);
  EXPECT_EQ(server.wire_bytes_received(), static_cast<long>(server.raw_received().size()));
  EXPECT_TRUE(holds(batches(site), "<40.a@test>"));
}

}  // namespace

namespace {

// An INN site with three queued articles (one larger than the streams' buffers) and a ctlinnd
// that starts a new batch on "flush".
void queue_articles(const TempSite& site) {
  std::string entries;
  for (int n = 1; n <= 3; ++n) {
    const std::string body = n == 2 ? std::string(100000, 'y') + "\n" : "body\n";
    site.write("articles/news/misc/" + std::to_string(n),
               "From: poster@example.invalid\nNewsgroups: misc.test\nSubject: test " +
                   std::to_string(n) + "\nMessage-ID: <" + std::to_string(n) + "@test>\n\n" + body);
    entries += "news/misc/" + std::to_string(n) + " <" + std::to_string(n) + "@test> 123\n";
  }
  site.write("outgoing/feed", entries);
  site.write("etc/newsfeeds", "ME:*::\nfeed:*::\n");
  site.write("bin/ctlinnd", "#!/bin/sh\n: >> " + site.path("outgoing/feed") + "\n");
  chmod(site.path("bin/ctlinnd").c_str(), 0755);
}

Strings post_options(const TempSite& site) {
  return {"--nofetch", "--ctlinnd", site.path("bin/ctlinnd")};
}

TEST_F(TlsRun, APostThroughTlsAndCompressionSendsWhatAPlainPostDoes) {
  server.script.capabilities = {"COMPRESS DEFLATE", "READER"};
  server.script.compress = true;
  serve(certs.server, true);
  queue_articles(site);
  const RunResult result =
      run(concat(concat(post_options(site), {"--tls", "--compress", "--debug", "5"}), trusted()));
  ASSERT_EQ(result.status, 0) << result.err;
  EXPECT_TRUE(contains(result.err, "COMPRESS DEFLATE: both directions compressed")) << result.err;
  EXPECT_EQ(server.count_commands("POST"), 3u);

  TempSite plain_site;
  queue_articles(plain_site);
  TestNntpServer plain;
  ASSERT_GT(plain.start(), 0);
  const RunResult plain_result =
      testsupport::run_tessu(concat(concat(plain_site.site_options(), post_options(plain_site)),
                                    {"feed", "localhost", plain.port_string()}));
  ASSERT_EQ(plain_result.status, 0) << plain_result.err;
  const auto articles = server.articles_received();
  const auto plain_articles = plain.articles_received();
  ASSERT_EQ(articles.size(), 3u);
  ASSERT_EQ(plain_articles.size(), 3u);
  for (size_t i = 0; i < articles.size(); ++i) EXPECT_EQ(articles[i].text, plain_articles[i].text);
  const Strings commands = server.commands();
  EXPECT_EQ(Strings(commands.begin() + 2, commands.end()), plain.commands());
  EXPECT_LT(server.wire_bytes_received() * 4, plain.wire_bytes_received());
  EXPECT_EQ(site.read("outgoing/feed"), "");
}

TEST_F(TlsRun, TheDefaultPortWithTlsIsNntpsAlsoFromTheSpoolProfile) {
  const Strings options = {"--nopost", "--nofetch", "--debug", "5"};
  RunResult result = testsupport::run_tessu(
      concat(site.site_options(), concat(options, {"--tls", "feed", "127.0.0.1"})));
  EXPECT_TRUE(contains(result.err, "connecting to 127.0.0.1 port 563")) << result.err;
  site.write("inhosts/feed.conf", "--tls\n");
  result =
      testsupport::run_tessu(concat(site.site_options(), concat(options, {"feed", "127.0.0.1"})));
  EXPECT_TRUE(contains(result.err, "connecting to 127.0.0.1 port 563")) << result.err;
  // A port given stays.
  result = testsupport::run_tessu(
      concat(site.site_options(), concat(options, {"feed", "127.0.0.1", "nntp"})));
  EXPECT_TRUE(contains(result.err, "connecting to 127.0.0.1 port 119")) << result.err;
}

}  // namespace
