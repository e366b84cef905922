// A scriptable NNTP server for tests: listens on 127.0.0.1 on an ephemeral
// port in a thread of the test process, holds groups of numbered articles,
// answers pipelined commands in order, records every line it received, and
// can be told to misbehave.
#pragma once

#include <chrono>
#include <map>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace testsupport {

/// One article of a group: its number and its text (header, blank line, body;
/// lines end in "\n"; the server sends them with CR LF and dot-stuffing).
struct TestArticle {
  long number = 0;
  std::string message_id;  // "<...>"; used by STAT/NEXT replies and IHAVE checks
  std::string text;
};

/// A line the server received, in arrival order.
struct ReceivedLine {
  int connection = 0;  // 1 for the first connection, 2 for the second, ...
  std::string line;    // without the line end
  std::chrono::steady_clock::time_point when;
};

/// An article the server received through POST or IHAVE.
struct ReceivedArticle {
  std::string command;  // "POST" or "IHAVE <id>"
  std::string text;     // un-stuffed, lines ending in "\n"
};

/// Ways to misbehave. A fault applies to the n-th command (counted from 1 over
/// all connections) whose first word (upper-cased) is `command`, or to every
/// such command when nth is 0.
struct Fault {
  enum Kind {
    kReplyCode,         // answer with `text` as the whole status line instead; what
                        // follows it (article text, list, POST/IHAVE upload) goes by
                        // the code sent: 220/221/222/215 send the text, 340/335 take it
    kWrongNumber,       // STAT/NEXT/ARTICLE reply naming article number `number`
    kStall,             // never answer this or any later command (connection stays open)
    kCloseMidReply,     // send the first half of the reply (or of the article), then close
    kCloseBeforeReply,  // close the connection instead of answering
    kLongReply,         // answer with a status line of `number` bytes (default 2000)
    kCloseMidRecord,    // send the start of a TLS record (header and a few bytes), then close
  };
  Kind kind = kReplyCode;
  std::string command;
  int nth = 0;
  std::string text;
  long number = 0;
};

/// TLS of the scripted server (tests/support/tls_certs.h makes the files).
struct ServerTls {
  std::string cert_file;         // PEM certificate chain; empty: the server speaks no TLS
  std::string key_file;          // PEM key
  bool implicit = false;         // TLS from the first byte; otherwise STARTTLS is accepted
  bool stall_handshake = false;  // take the client's first handshake bytes, then say nothing
  std::string client_ca_file;    // ask for a client certificate and verify it with this CA
  size_t record_size = 0;        // largest record sent (at least 512; 0: OpenSSL's 16384)
};

struct ServerScript {
  std::string greeting = "200 test server ready - posting ok";
  std::vector<std::string> banner;  // lines sent before the greeting
  bool never_greet = false;         // accept, then say nothing
  int post_code = 340;              // first reply to POST (240 after the text)
  int post_done_code = 240;
  int ihave_code = 335;  // first reply to IHAVE (235 after the text)
  int ihave_done_code = 235;
  int latency_ms = 0;  // each reply leaves no earlier than this after its command
  std::vector<Fault> faults;
  /// Extra reply texts for LIST / LIST NEWSGROUPS (empty: built from the groups).
  std::vector<std::string> list_lines;
  std::vector<std::string> newsgroups_lines;
  /// HDR / XHDR listing lines sent in place of the one for an article number.
  std::map<long, std::string> listing_lines;

  /// A telnet login before the banner and greeting: each step sends its bytes
  /// as they are, then waits until the client has sent its `await` text.
  struct LoginStep {
    std::string send;
    std::string await;
  };
  std::vector<LoginStep> login;
  /// Lines end with CR, as a telnet client sends them (an LF or NUL after the CR is dropped).
  bool cr_lines = false;
  /// Each line received is echoed back, followed by this, before it is answered ("": no echo).
  std::string echo_end;
  /// CAPABILITIES lists these after "VERSION 2" (empty: CAPABILITIES is an unknown command).
  /// STARTTLS is left out once TLS is up, COMPRESS once compression is.
  std::vector<std::string> capabilities;
  ServerTls tls;
  /// COMPRESS DEFLATE is accepted (RFC 8054): both directions compressed after the 206.
  bool compress = false;
  /// STAT by number leaves the current article where it was (RFC 3977 6.2.4 says it
  /// moves there, as ARTICLE n does).
  bool stat_leaves_current = false;
  /// Each connection is closed once this many bytes (greeting included) were sent on it,
  /// whatever they cut through (-1: never).
  long close_after_bytes = -1;
};

/// The server. Start with start(); it serves every connection in a thread of
/// its own (so two clients may be connected at once) until stop() or
/// destruction. Each connection has its own selected group and current article.
struct TestNntpServer {
  TestNntpServer();
  ~TestNntpServer();
  TestNntpServer(const TestNntpServer&) = delete;
  TestNntpServer& operator=(const TestNntpServer&) = delete;

  /// Script and groups may be changed between connections (under the lock).
  ServerScript script;

  /// Adds an article to a group (numbers need not be contiguous). Returns its number.
  long add_article(const std::string& group, long number, const std::string& text,
                   const std::string& message_id = "");
  /// Builds a simple article with the given id, newsgroups and Path, and adds it.
  long add_simple_article(const std::string& group, long number, const std::string& message_id,
                          const std::string& path = "upstream!not-for-mail",
                          const std::string& body = "body\n");
  /// Declares a group (possibly empty) with its low and high water marks.
  void add_group(const std::string& group, long low = 1, long high = 0);

  /// Starts listening on 127.0.0.1 at port (0: any free port); returns the
  /// port, or -1. The socket belongs to the calling thread's network namespace.
  int start(int port = 0);
  void stop();
  int port() const { return port_; }
  std::string port_string() const { return std::to_string(port_); }

  /// Every line received so far (thread-safe copies).
  std::vector<ReceivedLine> received() const;
  /// The received lines' texts only, in order.
  std::vector<std::string> commands() const;
  /// How many received lines start with prefix (a command word, or a whole command).
  size_t count_commands(const std::string& prefix) const;
  /// Replaces the script's faults (under the lock, so also while a client is connected).
  void set_faults(const std::vector<Fault>& faults);
  /// As set_faults, and the counting of commands for faults starts again.
  void restart_faults(const std::vector<Fault>& faults);
  /// Articles received by POST and IHAVE.
  std::vector<ReceivedArticle> articles_received() const;
  /// Number of connections accepted so far.
  int connections() const;
  /// Connections that stopped answering at a kStall fault, counted once every
  /// reply before it was written to the socket.
  int stalled_connections() const;
  /// Every byte received so far, over all connections, as it arrived (after TLS
  /// and compression are taken off).
  std::string raw_received() const;
  /// Per connection that ran TLS: its protocol, and the subject of the client's
  /// certificate ("" when it sent none).
  struct TlsPeer {
    int connection = 0;
    std::string protocol;
    std::string client_subject;
  };
  std::vector<TlsPeer> tls_peers() const;
  /// Bytes received over all connections as compressed (before inflating, after TLS).
  long wire_bytes_received() const;
  /// Bytes sent over all connections as compressed (after deflating, before TLS).
  long wire_bytes_sent() const;

  // Implementation detail; tests do not touch these.
  mutable std::mutex mutex_;
  std::map<std::string, std::map<long, TestArticle>> groups_;
  std::map<std::string, std::pair<long, long>> group_marks_;
  std::vector<ReceivedLine> received_;
  std::vector<ReceivedArticle> articles_;
  std::string raw_received_;
  std::vector<TlsPeer> tls_peers_;
  long wire_bytes_received_ = 0;
  long wire_bytes_sent_ = 0;
  void* tls_context_ = nullptr;  // the OpenSSL server context, made by start()
  std::map<std::string, int> command_counts_;
  int connections_ = 0;
  int stalled_connections_ = 0;
  int listen_fd_ = -1;
  int port_ = 0;
  int wake_pipe_[2] = {-1, -1};
  bool stopping_ = false;
  std::thread thread_;                           // accepts connections
  std::vector<std::thread> connection_threads_;  // one per connection, joined by stop()
};

}  // namespace testsupport
