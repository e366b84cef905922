// delay_proxy: a TCP relay on 127.0.0.1 that holds every chunk of data for a
// fixed time before passing it on, in both directions, so that a client and a
// server on one machine see the round trip of a distant link (for kernels
// without netem). Each direction is a queue of chunks stamped with the time
// they were read; a chunk leaves when its time plus the delay has come,
// whatever is queued behind it, so the delay adds latency and takes no
// bandwidth.
//
//   delay_proxy [--listen PORT] [--delay MS] [--quick-acks] HOST PORT
//
// Listens on 127.0.0.1:PORT (0, the default, lets the kernel choose), prints
// "port N" on standard output once it accepts connections, and relays every
// connection it accepts to HOST:PORT until SIGTERM or SIGINT. Both of its
// sockets have TCP_NODELAY: the relay passes on each chunk when it is due and
// holds nothing back of its own. When a connection ends it prints
// "closed up N down M": the bytes the client sent and the bytes the server
// sent, as they went over the wire (with --delay 0 the relay just counts).
//
// A relay at the transport layer cannot pass on the far end's ACKs: a server
// that holds the rest of a reply until its first part is acknowledged (Nagle)
// waits for this relay's kernel, which acknowledges as a receiver does, after
// its delayed-ACK timer (about 40 ms on Linux) unless data goes back at once.
// On a real link of 40 ms round trip that wait is about one round trip
// anyway. --quick-acks re-arms TCP_QUICKACK after every read, so the sender
// gets its ACK at once and only the delay of the data itself remains.
#include <arpa/inet.h>
#include <fcntl.h>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <string>
#include <vector>

namespace {

using Clock = std::chrono::steady_clock;

// Bytes read per read(2); a chunk is what one read returned.
constexpr size_t kReadSize = 64 * 1024;
// A direction stops reading while this much waits in its queue.
constexpr size_t kMaxQueued = 16 * 1024 * 1024;

volatile sig_atomic_t g_stop = 0;

void on_signal(int) {
  g_stop = 1;
}

struct Settings {
  int listen_port = 0;
  int delay_ms = 20;
  bool quick_ack = false;
  std::string host;
  std::string port;
};

struct Chunk {
  Clock::time_point due;
  std::string data;  // empty: the end of the stream
};

struct Direction {
  int from = -1;
  int to = -1;
  std::deque<Chunk> queue;
  size_t written = 0;  // of the front chunk
  size_t queued = 0;
  size_t passed = 0;        // every byte read from the source
  bool read_done = false;   // end of stream read, or a failure
  bool write_done = false;  // end of stream passed on
  bool blocked = false;     // the last write found the receiver full
};

struct Pair {
  int client = -1;
  int server = -1;
  Direction up;    // client to server
  Direction down;  // server to client
  bool failed = false;
};

void set_nonblocking(int fd) {
  fcntl(fd, F_SETFL, fcntl(fd, F_GETFL) | O_NONBLOCK);
}

void tune(int fd, const Settings& settings) {
  int one = 1;
  setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
  if (settings.quick_ack) setsockopt(fd, IPPROTO_TCP, TCP_QUICKACK, &one, sizeof one);
  set_nonblocking(fd);
}

int connect_server(const Settings& settings) {
  addrinfo hints{};
  hints.ai_family = AF_UNSPEC;
  hints.ai_socktype = SOCK_STREAM;
  addrinfo* found = nullptr;
  if (getaddrinfo(settings.host.c_str(), settings.port.c_str(), &hints, &found) != 0) return -1;
  int fd = -1;
  for (addrinfo* a = found; a != nullptr && fd < 0; a = a->ai_next) {
    fd = socket(a->ai_family, a->ai_socktype, a->ai_protocol);
    if (fd >= 0 && connect(fd, a->ai_addr, a->ai_addrlen) != 0) {
      close(fd);
      fd = -1;
    }
  }
  freeaddrinfo(found);
  return fd;
}

// Reads what the direction's source has, stamping it with its due time.
void read_into(Direction* d, const Settings& settings, Pair* pair) {
  char buffer[kReadSize];
  const ssize_t n = read(d->from, buffer, sizeof buffer);
  if (n < 0) {
    if (errno == EAGAIN || errno == EINTR) return;
    pair->failed = true;
    return;
  }
  if (settings.quick_ack) {
    int one = 1;
    setsockopt(d->from, IPPROTO_TCP, TCP_QUICKACK, &one, sizeof one);
  }
  const Clock::time_point due = Clock::now() + std::chrono::milliseconds(settings.delay_ms);
  d->queue.push_back(Chunk{due, std::string(buffer, static_cast<size_t>(n))});
  d->queued += static_cast<size_t>(n);
  d->passed += static_cast<size_t>(n);
  if (n == 0) d->read_done = true;
}

// Passes on every chunk whose time has come, as far as the receiver takes it.
void flush_due(Direction* d, Clock::time_point now, Pair* pair) {
  d->blocked = false;
  while (!d->queue.empty() && d->queue.front().due <= now) {
    Chunk& front = d->queue.front();
    if (front.data.empty()) {
      shutdown(d->to, SHUT_WR);
      d->write_done = true;
      d->queue.clear();
      return;
    }
    const ssize_t n = write(d->to, front.data.data() + d->written, front.data.size() - d->written);
    if (n < 0) {
      if (errno == EAGAIN || errno == EINTR) {
        d->blocked = true;
        return;
      }
      pair->failed = true;
      return;
    }
    d->written += static_cast<size_t>(n);
    if (d->written == front.data.size()) {
      d->queued -= front.data.size();
      d->written = 0;
      d->queue.pop_front();
    }
  }
}

bool parse(int argc, char** argv, Settings* settings) {
  std::vector<std::string> positional;
  for (int i = 1; i < argc; ++i) {
    const std::string arg = argv[i];
    if (arg == "--listen" && i + 1 < argc) {
      settings->listen_port = std::atoi(argv[++i]);
    } else if (arg == "--delay" && i + 1 < argc) {
      settings->delay_ms = std::atoi(argv[++i]);
    } else if (arg == "--quick-acks") {
      settings->quick_ack = true;
    } else if (!arg.empty() && arg[0] == '-') {
      return false;
    } else {
      positional.push_back(arg);
    }
  }
  if (positional.size() != 2 || settings->delay_ms < 0) return false;
  settings->host = positional[0];
  settings->port = positional[1];
  return true;
}

int open_listener(int port) {
  const int fd = socket(AF_INET, SOCK_STREAM, 0);
  if (fd < 0) return -1;
  int one = 1;
  setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  address.sin_port = htons(static_cast<uint16_t>(port));
  if (bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 || listen(fd, 16) != 0) {
    close(fd);
    return -1;
  }
  return fd;
}

int bound_port(int fd) {
  sockaddr_in address{};
  socklen_t length = sizeof address;
  getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length);
  return ntohs(address.sin_port);
}

void accept_one(int listener, const Settings& settings, std::deque<Pair>* pairs) {
  const int client = accept(listener, nullptr, nullptr);
  if (client < 0) return;
  const int server = connect_server(settings);
  if (server < 0) {
    std::fprintf(stderr, "delay_proxy: cannot connect to %s port %s: %s\n", settings.host.c_str(),
                 settings.port.c_str(), std::strerror(errno));
    close(client);
    return;
  }
  tune(client, settings);
  tune(server, settings);
  Pair& pair = pairs->emplace_back();
  pair.client = client;
  pair.server = server;
  pair.up.from = client;
  pair.up.to = server;
  pair.down.from = server;
  pair.down.to = client;
}

// The time until the next queued chunk is due, or null when none waits.
timespec* next_timeout(const std::deque<Pair>& pairs, Clock::time_point now, timespec* out) {
  bool any = false;
  Clock::duration wait = Clock::duration::max();
  for (const Pair& pair : pairs) {
    for (const Direction* d : {&pair.up, &pair.down}) {
      if (d->queue.empty() || d->blocked) continue;
      const Clock::duration left = d->queue.front().due - now;
      if (left < wait) wait = left;
      any = true;
    }
  }
  if (!any) return nullptr;
  if (wait < Clock::duration::zero()) wait = Clock::duration::zero();
  const auto ns = std::chrono::duration_cast<std::chrono::nanoseconds>(wait).count();
  out->tv_sec = static_cast<time_t>(ns / 1000000000);
  out->tv_nsec = static_cast<long>(ns % 1000000000);
  return out;
}

}  // namespace

int main(int argc, char** argv) {
  Settings settings;
  if (!parse(argc, argv, &settings)) {
    std::fprintf(stderr,
                 "usage: delay_proxy [--listen PORT] [--delay MS] [--quick-acks] HOST PORT\n");
    return 2;
  }
  struct sigaction action {};
  action.sa_handler = on_signal;
  sigaction(SIGTERM, &action, nullptr);
  sigaction(SIGINT, &action, nullptr);
  signal(SIGPIPE, SIG_IGN);

  const int listener = open_listener(settings.listen_port);
  if (listener < 0) {
    std::fprintf(stderr, "delay_proxy: cannot listen on 127.0.0.1 port %d: %s\n",
                 settings.listen_port, std::strerror(errno));
    return 1;
  }
  std::printf("port %d\n", bound_port(listener));
  std::fflush(stdout);

  std::deque<Pair> pairs;
  std::vector<pollfd> fds;
  while (g_stop == 0) {
    const Clock::time_point now = Clock::now();
    for (Pair& pair : pairs) {
      flush_due(&pair.up, now, &pair);
      flush_due(&pair.down, now, &pair);
    }
    for (auto it = pairs.begin(); it != pairs.end();) {
      const bool done = it->up.write_done && it->down.write_done;
      if (it->failed || done) {
        std::printf("closed up %zu down %zu\n", it->up.passed, it->down.passed);
        std::fflush(stdout);
        close(it->client);
        close(it->server);
        it = pairs.erase(it);
      } else {
        ++it;
      }
    }

    fds.clear();
    fds.push_back(pollfd{listener, POLLIN, 0});
    for (const Pair& pair : pairs) {
      for (const Direction* d : {&pair.up, &pair.down}) {
        // A descriptor with nothing to wait for is left out (negative), or
        // poll would report its hang-up again and again.
        const bool reading = !d->read_done && d->queued < kMaxQueued;
        fds.push_back(pollfd{reading ? d->from : -1, POLLIN, 0});
        // The receiver is watched only while a due chunk waits for room.
        fds.push_back(pollfd{d->blocked ? d->to : -1, POLLOUT, 0});
      }
    }
    timespec timeout{};
    if (ppoll(fds.data(), fds.size(), next_timeout(pairs, now, &timeout), nullptr) < 0) {
      if (errno == EINTR) continue;
      std::perror("delay_proxy: ppoll");
      return 1;
    }
    size_t slot = 1;
    for (Pair& pair : pairs) {
      for (Direction* d : {&pair.up, &pair.down}) {
        const pollfd& source = fds[slot];
        if (source.fd >= 0 && (source.revents & (POLLIN | POLLHUP | POLLERR)))
          read_into(d, settings, &pair);
        slot += 2;
      }
    }
    if (fds[0].revents & POLLIN) accept_one(listener, settings, &pairs);
  }
  for (const Pair& pair : pairs) {
    close(pair.client);
    close(pair.server);
  }
  close(listener);
  return 0;
}
