#include "support/nntp_server.h"

#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <openssl/err.h>
#include <openssl/ssl.h>
#include <openssl/x509.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>
#include <zlib.h>
#include <algorithm>
#include <cctype>
#include <cerrno>
#include <climits>
#include <csignal>
#include <cstdlib>
#include <deque>

namespace testsupport {

namespace {

using Clock = std::chrono::steady_clock;

// Bytes to send once `due` has come; `close_after` ends the conversation
// after them (our side is shut down, the client's lines are then ignored).
// What the connection turns into once an output is sent (STARTTLS, COMPRESS).
enum class Switch { kNone, kTls, kCompress };

struct Output {
  Clock::time_point due;
  std::string bytes;
  bool close_after = false;
  Switch then = Switch::kNone;
  bool raw = false;  // goes on the socket as it is, past TLS and compression
};

enum class Mode { kLogin, kCommands, kArticleText, kStalled, kClosing };

// One client connection; owned by its thread.
struct Session {
  int number = 0;
  int fd = -1;
  std::string input;
  std::deque<Output> output;
  Mode mode = Mode::kCommands;
  std::string group;  // selected group, "" when none
  long current = -1;  // current article number, -1 when none
  std::string article_command;
  std::string article_text;
  size_t login_step = 0;  // the step of the telnet login under way
  bool after_cr = false;  // with CR line ends: the last line ended at a CR
  long sent = 0;          // bytes sent so far
  long close_after = -1;  // close once this many bytes were sent (-1: never)
  SSL* ssl = nullptr;     // set while TLS runs
  bool compressing = false;
  z_stream inflater{};
  z_stream deflater{};
  std::string wire;    // compressed bytes still to send
  long wire_sent = 0;  // bytes sent after compression
  bool stall_counted = false;
};

// A reply as built from the server's state, before any fault is applied.
struct Reply {
  std::string status;
  std::string body;  // stuffed CR LF text without the final ".\r\n"
  bool multi_line = false;
  bool close_after = false;
  Switch then = Switch::kNone;
};

std::string upper(std::string text) {
  for (char& c : text) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
  return text;
}

int leading_code(const std::string& status) {
  return std::atoi(status.c_str());
}

// The words of a command line, split at blanks and tabs.
std::vector<std::string> words_of(const std::string& line) {
  std::vector<std::string> words;
  size_t i = 0;
  while (i < line.size()) {
    while (i < line.size() && (line[i] == ' ' || line[i] == '\t')) ++i;
    size_t start = i;
    while (i < line.size() && line[i] != ' ' && line[i] != '\t') ++i;
    if (i > start) words.push_back(line.substr(start, i - start));
  }
  return words;
}

// Wire form of a piece of article text: CR LF line ends, leading dots doubled.
std::string stuffed(const std::string& text) {
  std::string out;
  size_t pos = 0;
  while (pos < text.size()) {
    size_t end = text.find('\n', pos);
    if (end == std::string::npos) end = text.size();
    if (text[pos] == '.') out += '.';
    out.append(text, pos, end - pos);
    out += "\r\n";
    pos = end + 1;
  }
  return out;
}

// The code that announces a text body (or, for POST and IHAVE, asks for one).
int text_code_of(const std::string& word) {
  if (word == "ARTICLE") return 220;
  if (word == "HEAD") return 221;
  if (word == "BODY") return 222;
  if (word == "LIST") return 215;
  if (word == "HDR") return 225;
  if (word == "XHDR") return 221;
  if (word == "POST") return 340;
  if (word == "IHAVE") return 335;
  if (word == "CAPABILITIES") return 101;
  return -1;
}

std::string status_text(int code) {
  switch (code) {
    case 235:
      return "235 article transferred ok";
    case 240:
      return "240 article posted ok";
    case 335:
      return "335 send article to be transferred";
    case 340:
      return "340 send article to be posted";
    case 435:
      return "435 article not wanted";
    case 436:
      return "436 transfer not possible; try again later";
    case 437:
      return "437 transfer rejected; do not retry";
    case 440:
      return "440 posting not permitted";
    case 441:
      return "441 posting failed";
    default:
      return std::to_string(code) + " scripted reply";
  }
}

const TestArticle* find_by_id(const TestNntpServer& server, const std::string& id) {
  for (const auto& [name, articles] : server.groups_)
    for (const auto& [number, article] : articles)
      if (article.message_id == id) return &article;
  return nullptr;
}

std::vector<std::string> all_groups(const TestNntpServer& server) {
  std::vector<std::string> names;
  for (const auto& entry : server.groups_) names.push_back(entry.first);
  for (const auto& entry : server.group_marks_) names.push_back(entry.first);
  std::sort(names.begin(), names.end());
  names.erase(std::unique(names.begin(), names.end()), names.end());
  return names;
}

// Low and high water marks and article count: declared marks win for the low
// mark, the high mark is at least the highest article held.
void group_figures(const TestNntpServer& server, const std::string& group, long* count, long* low,
                   long* high) {
  *count = 0;
  *low = 1;
  *high = 0;
  auto articles = server.groups_.find(group);
  if (articles != server.groups_.end() && !articles->second.empty()) {
    *count = static_cast<long>(articles->second.size());
    *low = articles->second.begin()->first;
    *high = articles->second.rbegin()->first;
  }
  auto marks = server.group_marks_.find(group);
  if (marks != server.group_marks_.end()) {
    *low = marks->second.first;
    *high = std::max(*high, marks->second.second);
  }
}

const TestArticle* article_in_group(const TestNntpServer& server, const std::string& group,
                                    long number) {
  auto articles = server.groups_.find(group);
  if (articles == server.groups_.end()) return nullptr;
  auto found = articles->second.find(number);
  return found == articles->second.end() ? nullptr : &found->second;
}

Reply simple(const std::string& status) {
  return Reply{status, "", false, false};
}

// ARTICLE, HEAD, BODY and STAT share the selection of the article.
Reply article_reply(const TestNntpServer& server, Session& session, const std::string& word,
                    const std::vector<std::string>& words) {
  const TestArticle* article = nullptr;
  long number = 0;
  if (words.size() > 1 && words[1][0] == '<') {
    article = find_by_id(server, words[1]);
    if (article == nullptr) return simple("430 no such article");
  } else {
    if (session.group.empty()) return simple("412 no newsgroup selected");
    if (words.size() > 1) {
      number = std::strtol(words[1].c_str(), nullptr, 10);
    } else {
      if (session.current < 0) return simple("420 no current article");
      number = session.current;
    }
    article = article_in_group(server, session.group, number);
    if (article == nullptr) return simple("423 no such article number in this group");
    if (word != "STAT" || !server.script.stat_leaves_current) session.current = number;
  }
  std::string rest = " " + std::to_string(number) + " " + article->message_id;
  if (word == "STAT") return simple("223" + rest + " status");
  size_t split = article->text.find("\n\n");
  std::string head =
      split == std::string::npos ? article->text : article->text.substr(0, split + 1);
  std::string body = split == std::string::npos ? "" : article->text.substr(split + 2);
  if (word == "HEAD") return Reply{"221" + rest + " head", stuffed(head), true, false};
  if (word == "BODY") return Reply{"222" + rest + " body", stuffed(body), true, false};
  return Reply{"220" + rest + " article", stuffed(article->text), true, false};
}

// HDR and XHDR of Message-ID over a range "a-b", "a-" or "a" of the selected
// group: "number message-ID" for each article held, or the script's line.
Reply header_listing(const TestNntpServer& server, const Session& session, const std::string& word,
                     const std::vector<std::string>& words) {
  if (words.size() != 3 || upper(words[1]) != "MESSAGE-ID") return simple("501 only Message-ID");
  if (session.group.empty()) return simple("412 no newsgroup selected");
  const std::string& range = words[2];
  const size_t dash = range.find('-');
  const long low = std::strtol(range.c_str(), nullptr, 10);
  long high = low;
  if (dash != std::string::npos) {
    high = dash + 1 == range.size() ? LONG_MAX : std::strtol(range.c_str() + dash + 1, nullptr, 10);
  }
  std::string body;
  auto articles = server.groups_.find(session.group);
  if (articles != server.groups_.end()) {
    for (auto it = articles->second.lower_bound(low);
         it != articles->second.end() && it->first <= high; ++it) {
      auto replaced = server.script.listing_lines.find(it->first);
      body += replaced != server.script.listing_lines.end()
                  ? replaced->second
                  : std::to_string(it->first) + " " + it->second.message_id;
      body += "\r\n";
    }
  }
  if (body.empty() && word == "HDR") return simple("423 no articles in that range");
  const std::string code = word == "HDR" ? "225" : "221";
  return Reply{code + " Message-ID follows", body, true, false};
}

Reply list_reply(const TestNntpServer& server, const std::vector<std::string>& words) {
  std::string what = words.size() > 1 ? upper(words[1]) : "ACTIVE";
  std::string body;
  if (what == "ACTIVE") {
    if (!server.script.list_lines.empty()) {
      for (const std::string& line : server.script.list_lines) body += line + "\n";
    } else {
      for (const std::string& group : all_groups(server)) {
        long count, low, high;
        group_figures(server, group, &count, &low, &high);
        body += group + " " + std::to_string(high) + " " + std::to_string(low) + " y\n";
      }
    }
    return Reply{"215 list of newsgroups follows", stuffed(body), true, false};
  }
  if (what == "NEWSGROUPS") {
    if (!server.script.newsgroups_lines.empty()) {
      for (const std::string& line : server.script.newsgroups_lines) body += line + "\n";
    } else {
      for (const std::string& group : all_groups(server))
        body += group + "\ttest group " + group + "\n";
    }
    return Reply{"215 descriptions follow", stuffed(body), true, false};
  }
  return simple("501 unsupported LIST variant");
}

Reply capabilities_reply(const TestNntpServer& server, const Session& session) {
  if (server.script.capabilities.empty()) return simple("500 command not recognized");
  std::string body = "VERSION 2\n";
  for (const std::string& line : server.script.capabilities) {
    const std::string label = upper(line.substr(0, line.find(' ')));
    if (label == "STARTTLS" && (session.ssl != nullptr || server.script.tls.implicit)) continue;
    if (label == "COMPRESS" && session.compressing) continue;
    body += line + "\n";
  }
  return Reply{"101 capability list follows", stuffed(body), true, false};
}

Reply starttls_reply(const TestNntpServer& server, const Session& session) {
  if (server.tls_context_ == nullptr || session.ssl != nullptr || session.compressing)
    return simple("502 STARTTLS not possible");
  Reply reply = simple("382 continue with TLS negotiation");
  reply.then = Switch::kTls;
  return reply;
}

Reply compress_reply(const TestNntpServer& server, const Session& session,
                     const std::vector<std::string>& words) {
  if (!server.script.compress || session.compressing) return simple("502 compression refused");
  if (words.size() < 2 || upper(words[1]) != "DEFLATE") return simple("501 unknown algorithm");
  Reply reply = simple("206 compression active");
  reply.then = Switch::kCompress;
  return reply;
}

Reply command_reply(TestNntpServer& server, Session& session, const std::string& word,
                    const std::vector<std::string>& words) {
  if (word == "CAPABILITIES") return capabilities_reply(server, session);
  if (word == "STARTTLS") return starttls_reply(server, session);
  if (word == "COMPRESS") return compress_reply(server, session, words);
  if (word == "MODE") return simple("200 reader mode, posting permitted");
  if (word == "AUTHINFO") {
    std::string sub = words.size() > 1 ? upper(words[1]) : "";
    if (sub == "USER") return simple("381 password required");
    if (sub == "PASS") return simple("281 authentication accepted");
    return simple("501 unsupported AUTHINFO variant");
  }
  if (word == "GROUP") {
    if (words.size() < 2) return simple("501 GROUP needs a group name");
    const std::string& name = words[1];
    if (!server.groups_.count(name) && !server.group_marks_.count(name))
      return simple("411 no such newsgroup");
    long count, low, high;
    group_figures(server, name, &count, &low, &high);
    session.group = name;
    auto articles = server.groups_.find(name);
    session.current = (articles == server.groups_.end() || articles->second.empty())
                          ? -1
                          : articles->second.begin()->first;
    return simple("211 " + std::to_string(count) + " " + std::to_string(low) + " " +
                  std::to_string(high) + " " + name);
  }
  if (word == "STAT" || word == "ARTICLE" || word == "HEAD" || word == "BODY")
    return article_reply(server, session, word, words);
  if (word == "NEXT") {
    if (session.group.empty()) return simple("412 no newsgroup selected");
    if (session.current < 0) return simple("420 no current article");
    const auto& articles = server.groups_[session.group];
    auto next = articles.upper_bound(session.current);
    if (next == articles.end()) return simple("421 no next article in this group");
    session.current = next->first;
    return simple("223 " + std::to_string(next->first) + " " + next->second.message_id + " status");
  }
  if (word == "LIST") return list_reply(server, words);
  if (word == "HDR" || word == "XHDR") return header_listing(server, session, word, words);
  if (word == "POST") return simple(status_text(server.script.post_code));
  if (word == "IHAVE") {
    if (words.size() > 1 && find_by_id(server, words[1]) != nullptr)
      return simple(status_text(435));
    return simple(status_text(server.script.ihave_code));
  }
  if (word == "QUIT") return Reply{"205 closing connection", "", false, true};
  return simple("500 command not recognized");
}

const Fault* matching_fault(TestNntpServer& server, const std::string& word) {
  int count = ++server.command_counts_[word];
  for (const Fault& fault : server.script.faults)
    if (upper(fault.command) == word && (fault.nth == 0 || fault.nth == count)) return &fault;
  return nullptr;
}

// Queues bytes; replies due at the same moment go out in one write.
void queue_output(Session& session, Clock::time_point due, const std::string& bytes,
                  bool close_after, Switch then = Switch::kNone) {
  if (!session.output.empty() && session.output.back().due == due &&
      !session.output.back().close_after && session.output.back().then == Switch::kNone) {
    session.output.back().bytes += bytes;
    session.output.back().close_after = close_after;
    session.output.back().then = then;
  } else {
    session.output.push_back(Output{due, bytes, close_after, then});
  }
}

// Schedules the reply to one command, misbehaving as the script says.
void answer_command(TestNntpServer& server, Session& session, const std::string& line,
                    Clock::time_point due) {
  std::vector<std::string> words = words_of(line);
  std::string word = words.empty() ? "" : upper(words[0]);
  Reply reply = command_reply(server, session, word, words);
  const Fault* fault = matching_fault(server, word);
  if (fault != nullptr) {
    switch (fault->kind) {
      case Fault::kReplyCode:
        reply.status = fault->text;
        break;
      case Fault::kWrongNumber: {
        int code = leading_code(reply.status);
        std::vector<std::string> parts = words_of(reply.status);
        if (code >= 220 && code <= 223 && parts.size() >= 2) {
          size_t after = reply.status.find(parts[1], parts[0].size()) + parts[1].size();
          reply.status =
              parts[0] + " " + std::to_string(fault->number) + reply.status.substr(after);
        }
        break;
      }
      case Fault::kStall:
        session.mode = Mode::kStalled;
        return;
      case Fault::kCloseBeforeReply:
        queue_output(session, due, "", true);
        session.mode = Mode::kClosing;
        return;
      case Fault::kCloseMidReply: {
        std::string bytes =
            reply.multi_line ? reply.status + "\r\n" + reply.body.substr(0, reply.body.size() / 2)
                             : reply.status.substr(0, reply.status.size() / 2);
        queue_output(session, due, bytes, true);
        session.mode = Mode::kClosing;
        return;
      }
      case Fault::kCloseMidRecord:
        // An application data record announcing 1000 bytes, of which 10 come.
        session.output.push_back(Output{due, std::string("\x17\x03\x03\x03\xe8", 5) + "0123456789",
                                        true, Switch::kNone, true});
        session.mode = Mode::kClosing;
        return;
      case Fault::kLongReply: {
        size_t length = fault->number > 0 ? static_cast<size_t>(fault->number) : 2000;
        if (reply.status.size() < length) {
          reply.status += ' ';
          reply.status.resize(length, 'x');
        }
        break;
      }
    }
  }
  // The code actually sent decides what follows it, so a replaced code keeps
  // the conversation consistent with what the client was told.
  int code = leading_code(reply.status);
  bool text_follows = code == text_code_of(word);
  std::string bytes = reply.status + "\r\n";
  if (reply.multi_line && text_follows) bytes += reply.body + ".\r\n";
  queue_output(session, due, bytes, reply.close_after, reply.then);
  if (reply.close_after) {
    session.mode = Mode::kClosing;
  } else if (text_follows && (word == "POST" || word == "IHAVE")) {
    session.mode = Mode::kArticleText;
    session.article_command = word == "POST" ? "POST" : line;
    session.article_text.clear();
  }
}

// Handles one received line (server mutex held).
void handle_line(TestNntpServer& server, Session& session, const std::string& line,
                 Clock::time_point arrival) {
  if (session.mode == Mode::kClosing) return;
  server.received_.push_back(ReceivedLine{session.number, line, arrival});
  Clock::time_point due = arrival + std::chrono::milliseconds(server.script.latency_ms);
  switch (session.mode) {
    case Mode::kLogin:
    case Mode::kStalled:
    case Mode::kClosing:
      return;
    case Mode::kArticleText:
      if (line == ".") {
        server.articles_.push_back(ReceivedArticle{session.article_command, session.article_text});
        session.mode = Mode::kCommands;
        int done = session.article_command == "POST" ? server.script.post_done_code
                                                     : server.script.ihave_done_code;
        queue_output(session, due, status_text(done) + "\r\n", false);
      } else {
        session.article_text += (!line.empty() && line[0] == '.' ? line.substr(1) : line) + "\n";
      }
      return;
    case Mode::kCommands:
      if (!server.script.never_greet) answer_command(server, session, line, due);
      return;
  }
}

void queue_greeting(TestNntpServer& server, Session& session) {
  if (server.script.never_greet) return;
  std::string hello;
  for (const std::string& line : server.script.banner) hello += line + "\r\n";
  if (!server.script.greeting.empty()) hello += server.script.greeting + "\r\n";
  queue_output(session, Clock::now(), hello, false);
}

// Runs the telnet login as far as the client's input allows (server mutex held).
void advance_login(TestNntpServer& server, Session& session) {
  const auto& steps = server.script.login;
  while (session.mode == Mode::kLogin) {
    size_t found = session.input.find(steps[session.login_step].await);
    if (found == std::string::npos) return;
    session.input.erase(0, found + steps[session.login_step].await.size());
    if (++session.login_step < steps.size()) {
      queue_output(session, Clock::now(), steps[session.login_step].send, false);
    } else {
      session.mode = Mode::kCommands;
      queue_greeting(server, session);
    }
  }
}

// Takes the next whole line from the session's input; false when there is none yet.
bool next_line(const ServerScript& script, Session& session, std::string* line) {
  if (script.cr_lines) {
    // The byte after a CR may come with the next receive.
    if (session.after_cr && !session.input.empty()) {
      if (session.input[0] == '\n' || session.input[0] == '\0') session.input.erase(0, 1);
      session.after_cr = false;
    }
    size_t end = session.input.find_first_of("\r\n");
    if (end == std::string::npos) return false;
    session.after_cr = session.input[end] == '\r';
    *line = session.input.substr(0, end);
    session.input.erase(0, end + 1);
    return true;
  }
  size_t end = session.input.find('\n');
  if (end == std::string::npos) return false;
  *line = session.input.substr(0, end);
  session.input.erase(0, end + 1);
  if (!line->empty() && line->back() == '\r') line->pop_back();
  return true;
}

// Runs data through inflate or deflate (with a sync flush) onto out.
void run_zlib(z_stream* z, int (*step)(z_streamp, int), const char* data, size_t length,
              std::string* out) {
  z->next_in = reinterpret_cast<Bytef*>(const_cast<char*>(data));
  z->avail_in = static_cast<uInt>(length);
  char buffer[65536];
  int result = Z_OK;
  do {
    z->next_out = reinterpret_cast<Bytef*>(buffer);
    z->avail_out = sizeof buffer;
    result = step(z, Z_SYNC_FLUSH);
    out->append(buffer, sizeof buffer - z->avail_out);
  } while (result == Z_OK && (z->avail_in > 0 || z->avail_out == 0));
}

enum class Got { kData, kNothing, kEnd };

// Receives what the socket has, through TLS and the inflater, onto out.
Got receive_some(TestNntpServer& server, Session& session, std::string* out) {
  char buffer[16384];
  size_t got = 0;
  if (session.ssl != nullptr) {
    ERR_clear_error();
    const int result = SSL_read_ex(session.ssl, buffer, sizeof buffer, &got);
    if (result != 1) {
      const int error = SSL_get_error(session.ssl, result);
      ERR_clear_error();
      return error == SSL_ERROR_WANT_READ || error == SSL_ERROR_WANT_WRITE ? Got::kNothing
                                                                           : Got::kEnd;
    }
  } else {
    const ssize_t received = recv(session.fd, buffer, sizeof buffer, 0);
    if (received < 0)
      return errno == EINTR || errno == EAGAIN || errno == EWOULDBLOCK ? Got::kNothing : Got::kEnd;
    if (received == 0) return Got::kEnd;
    got = static_cast<size_t>(received);
  }
  {
    std::lock_guard<std::mutex> lock(server.mutex_);
    server.wire_bytes_received_ += static_cast<long>(got);
  }
  if (session.compressing) {
    run_zlib(&session.inflater, inflate, buffer, got, out);
  } else {
    out->append(buffer, got);
  }
  return Got::kData;
}

// Reads what is there; false at end of stream or error.
bool read_input(TestNntpServer& server, Session& session) {
  std::string data;
  Got got = Got::kData;
  // TLS may hold decrypted bytes that poll does not see.
  do {
    got = receive_some(server, session, &data);
  } while (got == Got::kData && session.ssl != nullptr && SSL_pending(session.ssl) > 0);
  if (data.empty()) return got != Got::kEnd;
  Clock::time_point arrival = Clock::now();
  session.input += data;
  std::lock_guard<std::mutex> lock(server.mutex_);
  server.raw_received_ += data;
  if (session.mode == Mode::kLogin) advance_login(server, session);
  if (session.mode == Mode::kLogin) return got != Got::kEnd;
  std::string line;
  while (next_line(server.script, session, &line)) {
    if (!server.script.echo_end.empty() && session.mode != Mode::kClosing) {
      queue_output(session, arrival, line + server.script.echo_end, false);
    }
    handle_line(server, session, line, arrival);
  }
  return got != Got::kEnd;
}

// Sends on the socket, or through TLS when it runs; as send() returns.
ssize_t send_wire(Session& session, const char* data, size_t length, bool raw = false) {
  if (session.ssl == nullptr || raw) {
    const ssize_t sent = send(session.fd, data, length, MSG_NOSIGNAL);
    if (sent > 0) session.wire_sent += sent;
    return sent;
  }
  ERR_clear_error();
  size_t sent = 0;
  const int result = SSL_write_ex(session.ssl, data, length, &sent);
  if (result == 1) {
    session.wire_sent += static_cast<long>(sent);
    return static_cast<ssize_t>(sent);
  }
  const int error = SSL_get_error(session.ssl, result);
  ERR_clear_error();
  errno = error == SSL_ERROR_WANT_READ || error == SSL_ERROR_WANT_WRITE ? EAGAIN : EPIPE;
  return -1;
}

// Sends what compression left to send; false when the connection is broken.
bool flush_wire(Session& session) {
  while (!session.wire.empty()) {
    const ssize_t sent = send_wire(session, session.wire.data(), session.wire.size());
    if (sent < 0) return errno == EINTR || errno == EAGAIN || errno == EWOULDBLOCK;
    session.wire.erase(0, static_cast<size_t>(sent));
  }
  return true;
}

// Sends bytes of the conversation, compressed when compression runs (each
// piece ends with a sync flush); as send() returns.
ssize_t send_bytes(Session& session, const char* data, size_t length, bool raw) {
  if (!session.compressing || raw) return send_wire(session, data, length, raw);
  run_zlib(&session.deflater, deflate, data, length, &session.wire);
  if (!flush_wire(session)) return -1;
  return static_cast<ssize_t>(length);
}

// Runs the server side of the TLS handshake; false when it failed (the
// connection is then closed). A stalling script takes the client's bytes
// and never answers.
bool accept_tls(TestNntpServer& server, Session& session) {
  if (server.script.tls.stall_handshake) {
    session.mode = Mode::kClosing;
    return true;
  }
  session.ssl = SSL_new(static_cast<SSL_CTX*>(server.tls_context_));
  SSL_set_fd(session.ssl, session.fd);
  if (server.script.tls.record_size != 0) {
    SSL_set_max_send_fragment(session.ssl, static_cast<long>(server.script.tls.record_size));
  }
  SSL_set_accept_state(session.ssl);
  for (;;) {
    ERR_clear_error();
    const int result = SSL_do_handshake(session.ssl);
    if (result == 1) break;
    const int error = SSL_get_error(session.ssl, result);
    ERR_clear_error();
    if (error != SSL_ERROR_WANT_READ && error != SSL_ERROR_WANT_WRITE) return false;
    const short events = error == SSL_ERROR_WANT_WRITE ? POLLOUT : POLLIN;
    pollfd fds[2] = {{server.wake_pipe_[0], POLLIN, 0}, {session.fd, events, 0}};
    if (poll(fds, 2, 30000) <= 0 || fds[0].revents != 0) return false;
  }
  TestNntpServer::TlsPeer peer{session.number, SSL_get_version(session.ssl), ""};
  X509* certificate = SSL_get1_peer_certificate(session.ssl);
  if (certificate != nullptr) {
    char subject[512];
    X509_NAME_oneline(X509_get_subject_name(certificate), subject, sizeof subject);
    peer.client_subject = subject;
    X509_free(certificate);
  }
  std::lock_guard<std::mutex> lock(server.mutex_);
  server.tls_peers_.push_back(peer);
  return true;
}

void start_compression(Session& session) {
  inflateInit2(&session.inflater, -15);
  deflateInit2(&session.deflater, Z_DEFAULT_COMPRESSION, Z_DEFLATED, -15, 8, Z_DEFAULT_STRATEGY);
  session.compressing = true;
}

// Sends what is due; false when the connection is to be closed or is broken.
bool write_output(TestNntpServer& server, Session& session) {
  if (!flush_wire(session)) return false;
  if (!session.wire.empty()) return true;
  while (!session.output.empty() && session.output.front().due <= Clock::now()) {
    Output& front = session.output.front();
    size_t allowed = front.bytes.size();
    if (session.close_after >= 0) {
      allowed = std::min(allowed, static_cast<size_t>(session.close_after - session.sent));
    }
    if (allowed > 0) {
      ssize_t sent = send_bytes(session, front.bytes.data(), allowed, front.raw);
      if (sent < 0) return errno == EINTR || errno == EAGAIN || errno == EWOULDBLOCK;
      front.bytes.erase(0, static_cast<size_t>(sent));
      session.sent += static_cast<long>(sent);
      if (static_cast<size_t>(sent) < allowed) return true;
    }
    if (!session.wire.empty()) return true;
    const bool cut = session.close_after >= 0 && session.sent >= session.close_after;
    if (cut) session.mode = Mode::kClosing;
    if (!cut && !front.bytes.empty()) return true;
    if (front.close_after || cut) {
      // Half-close so the client reads everything sent before the end of
      // stream; its later lines are then read and dropped until it closes.
      if (session.ssl != nullptr && !front.raw) SSL_shutdown(session.ssl);
      shutdown(session.fd, SHUT_WR);
      session.output.clear();
      return true;
    }
    const Switch then = front.then;
    session.output.pop_front();
    if (then == Switch::kTls && !accept_tls(server, session)) return false;
    if (then == Switch::kCompress) start_compression(session);
  }
  return true;
}

// Counts a stalled session once nothing it owes is left to send.
void note_stall(TestNntpServer& server, Session& session) {
  if (session.mode != Mode::kStalled || session.stall_counted) return;
  if (!session.output.empty() || !session.wire.empty()) return;
  session.stall_counted = true;
  std::lock_guard<std::mutex> lock(server.mutex_);
  ++server.stalled_connections_;
}

void end_session(TestNntpServer& server, Session& session) {
  {
    std::lock_guard<std::mutex> lock(server.mutex_);
    server.wire_bytes_sent_ += session.wire_sent;
  }
  if (session.compressing) {
    inflateEnd(&session.inflater);
    deflateEnd(&session.deflater);
  }
  if (session.ssl != nullptr) SSL_free(session.ssl);
  close(session.fd);
}

void serve_connection(TestNntpServer* server, int fd, int number) {
  // OpenSSL writes with write(): a client that has gone must not end the
  // test process by SIGPIPE. The mask is this thread's own.
  sigset_t pipe_only;
  sigemptyset(&pipe_only);
  sigaddset(&pipe_only, SIGPIPE);
  pthread_sigmask(SIG_BLOCK, &pipe_only, nullptr);
  Session session;
  session.fd = fd;
  session.number = number;
  if (server->script.tls.implicit && server->tls_context_ != nullptr &&
      !accept_tls(*server, session)) {
    end_session(*server, session);
    return;
  }
  {
    std::lock_guard<std::mutex> lock(server->mutex_);
    session.close_after = server->script.close_after_bytes;
    if (session.mode == Mode::kClosing) {
      // A stalled handshake: nothing is ever sent.
    } else if (!server->script.login.empty()) {
      session.mode = Mode::kLogin;
      queue_output(session, Clock::now(), server->script.login[0].send, false);
    } else {
      queue_greeting(*server, session);
    }
  }
  for (;;) {
    if (!write_output(*server, session)) break;
    note_stall(*server, session);
    int timeout = -1;
    short events = POLLIN;
    if (!session.wire.empty()) {
      events |= POLLOUT;
    } else if (!session.output.empty()) {
      auto wait = session.output.front().due - Clock::now();
      if (wait <= Clock::duration::zero()) {
        events |= POLLOUT;
      } else {
        timeout =
            static_cast<int>(std::chrono::duration_cast<std::chrono::milliseconds>(wait).count()) +
            1;
      }
    }
    pollfd fds[2] = {{server->wake_pipe_[0], POLLIN, 0}, {fd, events, 0}};
    int ready = poll(fds, 2, timeout);
    if (ready < 0 && errno != EINTR) break;
    if (ready <= 0) continue;
    if (fds[0].revents != 0) break;
    if ((fds[1].revents & (POLLIN | POLLHUP | POLLERR)) != 0 && !read_input(*server, session))
      break;
  }
  end_session(*server, session);
}

void accept_connections(TestNntpServer* server) {
  for (;;) {
    pollfd fds[2] = {{server->wake_pipe_[0], POLLIN, 0}, {server->listen_fd_, POLLIN, 0}};
    int ready = poll(fds, 2, -1);
    if (ready < 0 && errno != EINTR) return;
    if (ready <= 0) continue;
    if (fds[0].revents != 0) return;
    if (fds[1].revents == 0) continue;
    int fd = accept4(server->listen_fd_, nullptr, nullptr, SOCK_CLOEXEC | SOCK_NONBLOCK);
    if (fd < 0) continue;
    // Replies are small and often pipelined: do not let Nagle hold them back.
    int one = 1;
    setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
    std::lock_guard<std::mutex> lock(server->mutex_);
    if (server->stopping_) {
      close(fd);
      return;
    }
    int number = ++server->connections_;
    server->connection_threads_.emplace_back(serve_connection, server, fd, number);
  }
}

}  // namespace

TestNntpServer::TestNntpServer() = default;

TestNntpServer::~TestNntpServer() {
  stop();
}

long TestNntpServer::add_article(const std::string& group, long number, const std::string& text,
                                 const std::string& message_id) {
  TestArticle article{number, message_id, text};
  if (article.message_id.empty()) {
    // Take the id from the header "Message-ID:" (name compared in any case).
    size_t pos = 0;
    while (pos < text.size() && text[pos] != '\n') {
      size_t end = text.find('\n', pos);
      if (end == std::string::npos) end = text.size();
      std::string line = text.substr(pos, end - pos);
      if (upper(line.substr(0, 11)) == "MESSAGE-ID:") {
        size_t start = line.find_first_not_of(" \t", 11);
        if (start != std::string::npos) article.message_id = line.substr(start);
        while (!article.message_id.empty() &&
               std::isspace(static_cast<unsigned char>(article.message_id.back())))
          article.message_id.pop_back();
        break;
      }
      pos = end + 1;
    }
  }
  std::lock_guard<std::mutex> lock(mutex_);
  groups_[group][number] = article;
  return number;
}

long TestNntpServer::add_simple_article(const std::string& group, long number,
                                        const std::string& message_id, const std::string& path,
                                        const std::string& body) {
  std::string text = "Path: " + path + "\nFrom: poster@example.invalid\nNewsgroups: " + group +
                     "\nSubject: test " + std::to_string(number) + "\nMessage-ID: " + message_id +
                     "\nDate: Tue, 01 Dec 2026 00:00:00 GMT\n\n" + body;
  return add_article(group, number, text, message_id);
}

void TestNntpServer::add_group(const std::string& group, long low, long high) {
  std::lock_guard<std::mutex> lock(mutex_);
  group_marks_[group] = {low, high};
}

int TestNntpServer::start(int port) {
  if (thread_.joinable()) return port_;
  if (pipe2(wake_pipe_, O_CLOEXEC) != 0) return -1;
  listen_fd_ = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (listen_fd_ < 0) return -1;
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  address.sin_port = htons(static_cast<uint16_t>(port));
  socklen_t length = sizeof address;
  if (bind(listen_fd_, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
      listen(listen_fd_, 16) != 0 ||
      getsockname(listen_fd_, reinterpret_cast<sockaddr*>(&address), &length) != 0) {
    stop();
    return -1;
  }
  port_ = ntohs(address.sin_port);
  if (!script.tls.cert_file.empty() && tls_context_ == nullptr) {
    SSL_CTX* context = SSL_CTX_new(TLS_server_method());
    SSL_CTX_set_mode(context, SSL_MODE_ENABLE_PARTIAL_WRITE | SSL_MODE_ACCEPT_MOVING_WRITE_BUFFER);
    if (SSL_CTX_use_certificate_chain_file(context, script.tls.cert_file.c_str()) != 1 ||
        SSL_CTX_use_PrivateKey_file(context, script.tls.key_file.c_str(), SSL_FILETYPE_PEM) != 1) {
      SSL_CTX_free(context);
      stop();
      return -1;
    }
    if (!script.tls.client_ca_file.empty()) {
      SSL_CTX_load_verify_locations(context, script.tls.client_ca_file.c_str(), nullptr);
      SSL_CTX_set_client_CA_list(context,
                                 SSL_load_client_CA_file(script.tls.client_ca_file.c_str()));
      SSL_CTX_set_verify(context, SSL_VERIFY_PEER, nullptr);
    }
    tls_context_ = context;
  }
  stopping_ = false;
  thread_ = std::thread(accept_connections, this);
  return port_;
}

void TestNntpServer::stop() {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    stopping_ = true;
  }
  // The pipe is never read: once written it wakes every poll for good.
  if (wake_pipe_[1] >= 0) {
    ssize_t ignored = write(wake_pipe_[1], "x", 1);
    (void)ignored;
  }
  if (thread_.joinable()) thread_.join();
  for (std::thread& thread : connection_threads_)
    if (thread.joinable()) thread.join();
  connection_threads_.clear();
  for (int* fd : {&listen_fd_, &wake_pipe_[0], &wake_pipe_[1]}) {
    if (*fd >= 0) close(*fd);
    *fd = -1;
  }
  SSL_CTX_free(static_cast<SSL_CTX*>(tls_context_));
  tls_context_ = nullptr;
}

std::vector<ReceivedLine> TestNntpServer::received() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return received_;
}

std::vector<std::string> TestNntpServer::commands() const {
  std::lock_guard<std::mutex> lock(mutex_);
  std::vector<std::string> lines;
  for (const ReceivedLine& line : received_) lines.push_back(line.line);
  return lines;
}

size_t TestNntpServer::count_commands(const std::string& prefix) const {
  std::lock_guard<std::mutex> lock(mutex_);
  size_t count = 0;
  for (const ReceivedLine& line : received_) {
    if (line.line.rfind(prefix, 0) == 0) ++count;
  }
  return count;
}

void TestNntpServer::set_faults(const std::vector<Fault>& faults) {
  std::lock_guard<std::mutex> lock(mutex_);
  script.faults = faults;
}

void TestNntpServer::restart_faults(const std::vector<Fault>& faults) {
  std::lock_guard<std::mutex> lock(mutex_);
  script.faults = faults;
  command_counts_.clear();
}

std::vector<ReceivedArticle> TestNntpServer::articles_received() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return articles_;
}

int TestNntpServer::connections() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return connections_;
}

int TestNntpServer::stalled_connections() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return stalled_connections_;
}

std::string TestNntpServer::raw_received() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return raw_received_;
}

std::vector<TestNntpServer::TlsPeer> TestNntpServer::tls_peers() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return tls_peers_;
}

long TestNntpServer::wire_bytes_received() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return wire_bytes_received_;
}

long TestNntpServer::wire_bytes_sent() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return wire_bytes_sent_;
}

}  // namespace testsupport
