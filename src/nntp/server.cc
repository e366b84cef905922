#include "nntp/server.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>
#include <cctype>
#include <cerrno>
#include <cstdlib>
#include <cstring>

#include "base/settings.h"
#include "base/status.h"
#include "nntp/capabilities.h"
#include "nntp/compress.h"
#include "nntp/replies.h"
#include "nntp/tls.h"
#include "report/exit.h"
#include "report/message.h"
#include "report/title.h"
#include "report/util.h"
#include "sys/children.h"
#include "sys/signals.h"
#include "sys/timed_io.h"

namespace nntp {

namespace {

using report::message;

// The address to connect to: IPv4 as the classic resolver gives it, or IPv6
// for a host that has no IPv4 address.
struct ServerAddress {
  sockaddr_storage storage;
  socklen_t length = 0;
};

// Port number in host byte order, or -1 after a message.
int resolve_port(const char* port) {
  char* end = nullptr;
  const long number = strtol(port, &end, 10);
  if (*end == '\0') return static_cast<int>(static_cast<uint16_t>(number));
  const servent* service = getservbyname(port, "tcp");
  if (service == nullptr) {
    message(report::kError, "unknown service %s/tcp", port);
    return -1;
  }
  return ntohs(static_cast<uint16_t>(service->s_port));
}

void set_ipv4(ServerAddress* address, in_addr_t ip, int port) {
  memset(&address->storage, 0, sizeof address->storage);
  auto* v4 = reinterpret_cast<sockaddr_in*>(&address->storage);
  v4->sin_family = AF_INET;
  v4->sin_port = htons(static_cast<uint16_t>(port));
  v4->sin_addr.s_addr = ip;
  address->length = sizeof *v4;
}

// A name without an IPv4 address may still have an IPv6 one ("::1", say).
bool resolve_ipv6(const char* host, int port, ServerAddress* address) {
  addrinfo hints;
  memset(&hints, 0, sizeof hints);
  hints.ai_family = AF_INET6;
  hints.ai_socktype = SOCK_STREAM;
  addrinfo* found = nullptr;
  if (getaddrinfo(host, nullptr, &hints, &found) != 0 || found == nullptr) return false;
  memset(&address->storage, 0, sizeof address->storage);
  memcpy(&address->storage, found->ai_addr, found->ai_addrlen);
  address->length = found->ai_addrlen;
  reinterpret_cast<sockaddr_in6*>(&address->storage)->sin6_port =
      htons(static_cast<uint16_t>(port));
  freeaddrinfo(found);
  return true;
}

// Finds host's address; false after a message.
bool resolve_host(const char* host, int port, ServerAddress* address) {
  in_addr_t ip = inet_addr(host);
  if (ip == INADDR_NONE) {
    const hostent* entry = gethostbyname(host);
    if (entry == nullptr || entry->h_addrtype != AF_INET) {
      if (resolve_ipv6(host, port, address)) return true;
      message(report::kError, "host name error: \"%s\"", host);
      return false;
    }
    memcpy(&ip, entry->h_addr_list[0], sizeof ip);
  }
  set_ipv4(address, ip, port);
  return true;
}

void report_target(const ServerAddress& address, int port) {
  if (address.storage.ss_family == AF_INET) {
    const auto* v4 = reinterpret_cast<const sockaddr_in*>(&address.storage);
    const auto* octet = reinterpret_cast<const unsigned char*>(&v4->sin_addr.s_addr);
    message(report::kDetail, "connecting to %ld.%ld.%ld.%ld port %d", static_cast<long>(octet[0]),
            static_cast<long>(octet[1]), static_cast<long>(octet[2]), static_cast<long>(octet[3]),
            port);
    return;
  }
  char text[INET6_ADDRSTRLEN] = "?";
  const auto* v6 = reinterpret_cast<const sockaddr_in6*>(&address.storage);
  inet_ntop(AF_INET6, &v6->sin6_addr, text, sizeof text);
  message(report::kDetail, "connecting to %s port %d", text, port);
}

enum class Connect { kDone, kFailed, kTimedOut };

// Connects without blocking beyond the deadline; the socket is left in blocking
// mode, since a connect script may inherit it.
Connect connect_within(int fd, const ServerAddress& address, int64_t deadline) {
  const int flags = fcntl(fd, F_GETFL);
  fcntl(fd, F_SETFL, flags | O_NONBLOCK);
  int result = connect(fd, reinterpret_cast<const sockaddr*>(&address.storage), address.length);
  if (result != 0 && (errno == EINPROGRESS || errno == EINTR)) {
    if (!sys::wait_descriptor(fd, POLLOUT, deadline)) return Connect::kTimedOut;
    int error = 0;
    socklen_t length = sizeof error;
    if (getsockopt(fd, SOL_SOCKET, SO_ERROR, &error, &length) != 0) error = errno;
    result = error == 0 ? 0 : -1;
    errno = error;
  }
  const int saved_errno = errno;
  fcntl(fd, F_SETFL, flags);
  errno = saved_errno;
  return result == 0 ? Connect::kDone : Connect::kFailed;
}

}  // namespace

int tcp_connect(const char* host, const char* port) {
  sys::check_signals();
  const int64_t deadline = sys::timed_deadline();
  const int port_number = resolve_port(port);
  if (port_number < 0) return -1;
  ServerAddress address;
  if (!resolve_host(host, port_number, &address)) return -1;
  report_target(address, port_number);

  const int fd = socket(address.storage.ss_family, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd < 0) {
    message(report::kSysError, "can't create TCP socket");
    return -1;
  }
  switch (connect_within(fd, address, deadline)) {
    case Connect::kDone:
      break;
    case Connect::kTimedOut:
      close(fd);
      report_timeout("timeout on server connect");
      return -1;
    case Connect::kFailed:
      message(report::kSysError, "can't connect to server \"%s\"", host);
      close(fd);
      return -1;
  }
  const int on = 1;
  if (setsockopt(fd, SOL_SOCKET, SO_KEEPALIVE, &on, sizeof on) != 0) {
    message(report::kSysError, "can't set KEEPALIVE on socket");
  }
  // Commands are pipelined and flushed one by one (over TLS, those queued
  // together at once); waiting to coalesce them only adds latency.
  setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
  return fd;
}

int connect_server(const char* host, const char* port, Connection* connection) {
  const int fd = tcp_connect(host, port);
  if (fd < 0) return -1;
  const int write_fd = fcntl(fd, F_DUPFD_CLOEXEC, 0);
  if (write_fd < 0) {
    message(report::kSysError, "can't fdopen socket for write");
    close(fd);
    return -1;
  }
  attach_connection(connection, fd, write_fd);
  // Only the service name puts the connection in telnet mode, not port 23.
  connection->telnet = strcmp(port, "telnet") == 0 ? 1 : 0;
  const base::Text& chat = base::g_settings.chat;
  if (base::has_text(chat)) {
    connection->chat_script = fopen(chat->c_str(), "re");
    if (connection->chat_script == nullptr) {
      message(report::kSysError, "can't open chat file: %s", chat->c_str());
      close(fd);
      close(write_fd);
      attach_connection(connection, -1, -1);
      return -1;
    }
    if (!report::check_root_owned(connection->chat_script, "chat script", chat->c_str())) {
      report::exit_run(base::kStatusConfig);
    }
  }
  return 0;
}

int open_server(const char* host, const char* port) {
  const base::Settings& s = base::g_settings;
  if (base::has_text(s.connect)) {
    report::set_state("connecting pgm");
    sys::CoprocessEnds ends;
    sys::spawn_coprocess(s.connect->c_str(), &ends);
    adopt_coprocess(&ends, &g_connection);
  } else {
    report::set_state("connecting");
    if (connect_server(host, port, &g_connection) == -1) return -1;
    message(report::kNotice, "connecting to %s server at %s", port, host);
  }

  if (base::has_text(s.exec)) {
    report::set_state("exec cmd");
    message(report::kDetail, "running \"%s\"", s.exec->c_str());
    flush_connection(&g_connection);
    const int status =
        sys::run_script(s.exec->c_str(), g_connection.read_fd, g_connection.write_fd);
    if (status != 0) {
      message(report::kError, "connect script failed, status is %d", status);
      report::exit_run(base::kStatusConnectScript);
    }
    message(report::kProgress, "connect script finished");
  }
  // Implicit TLS starts once the connection leads to the server: a connect
  // script may still have had to talk to something in between.
  if (s.tls != 0) {
    if (!start_tls(g_connection.read_fd, host)) {
      close_connection(&g_connection);
      return -1;
    }
    g_connection.tls = &g_tls;
  }

  // Terminal servers and login dialogues may talk before the server does:
  // anything that does not start with a digit is not the greeting. The
  // time-out bounds the wait for the greeting, however many lines come first.
  report::set_state("await greeting");
  const int64_t outer_limit = sys::limit_timed_operations(sys::timed_deadline());
  char line[kStatusLineBuffer];
  for (;;) {
    drain_replies();
    if (!get_line(line, sizeof line)) {
      sys::limit_timed_operations(outer_limit);
      report::exit_run(base::kStatusBroken);
    }
    if (isdigit(static_cast<unsigned char>(line[0]))) {
      sys::limit_timed_operations(outer_limit);
      return reply_code(line);
    }
  }
}

int negotiate_starttls(const char* host, bool required) {
  report::set_state("starttls");
  if (!g_capabilities.current) read_capabilities();
  if (!has_capability("STARTTLS", "")) {
    if (required) {
      message(report::kError, "server %s does not offer STARTTLS", host);
      return -1;
    }
    message(report::kError, "warning: server %s does not offer STARTTLS; going on in plain text",
            host);
    return 0;
  }
  if (!put_line("STARTTLS")) report::exit_run(base::kStatusBroken);
  char reply[kStatusLineBuffer];
  if (get_reply(reply, sizeof reply) == 0) report::exit_run(base::kStatusBroken);
  if (reply_code(reply) != kContinueWithTls) {
    message(report::kError, "STARTTLS refused: got \"%s\"", reply);
    return -1;
  }
  // Bytes that came before the handshake would be taken as protected later
  // (RFC 4642 2.2.2): nothing but the handshake may follow the reply.
  char early[1];
  if (take_buffered_input(&g_connection, early, sizeof early) != 0) {
    message(report::kError, "server %s sent data after its STARTTLS reply", host);
    return -1;
  }
  if (!start_tls(g_connection.read_fd, host)) return -1;
  g_connection.tls = &g_tls;
  // What the server offers may change once TLS is up (RFC 4642 2.2.2).
  read_capabilities();
  return 1;
}

void negotiate_compression() {
  report::set_state("compress");
  if (!g_capabilities.current) read_capabilities();
  if (!has_capability("COMPRESS", "DEFLATE")) {
    message(report::kDetail, "server does not offer COMPRESS DEFLATE; not compressing");
    return;
  }
  if (!put_line("COMPRESS DEFLATE")) report::exit_run(base::kStatusBroken);
  char reply[kStatusLineBuffer];
  if (get_reply(reply, sizeof reply) == 0) report::exit_run(base::kStatusBroken);
  if (reply_code(reply) != kCompressionActive) {
    message(report::kError, "warning: COMPRESS DEFLATE refused: got \"%s\"; not compressing",
            reply);
    return;
  }
  // What came after the reply is already compressed.
  char early[kCompressedBufferSize];
  const size_t length = take_buffered_input(&g_connection, early, sizeof early);
  if (!start_compression(&g_compression, early, length)) report::exit_run(base::kStatusBroken);
  g_connection.compress = &g_compression;
  message(report::kDetail, "COMPRESS DEFLATE: both directions compressed");
}

int close_server(int abort) {
  if (abort != 0) {
    report::set_state("aborting server");
    sys::shorten_timeout(1);
  } else {
    report::set_state("closing server");
  }
  if (!put_line("QUIT")) return 0;
  if (drain_replies()) {
    char line[kStatusLineBuffer];
    if (!get_line(line, sizeof line)) return 0;
  }
  close_connection(&g_connection);
  return 1;
}

}  // namespace nntp
