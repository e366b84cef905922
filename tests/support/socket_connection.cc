#include "support/socket_connection.h"

#include <sys/socket.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include "base/settings.h"
#include "nntp/connection.h"

namespace testsupport {

void prepare_line_io() {
  base::Settings& s = base::g_settings;
  s.verbosity = 0;
  s.dry_run = 0;
  s.timeout = 30;
  s.paths.line_terminator = "\r\n";
  nntp::g_reply_window = nntp::ReplyWindow{};
}

int attach_socket_pair() {
  int fds[2];
  if (socketpair(AF_UNIX, SOCK_STREAM, 0, fds) != 0) return -1;
  nntp::attach_connection(&nntp::g_connection, fds[0], dup(fds[0]));
  return fds[1];
}

void detach_socket_pair(int peer) {
  nntp::close_connection(&nntp::g_connection);
  if (peer >= 0) close(peer);
}

void write_to(int fd, const std::string& bytes) {
  ASSERT_EQ(write(fd, bytes.data(), bytes.size()), static_cast<ssize_t>(bytes.size()));
}

std::string read_waiting(int fd) {
  std::string all;
  char buffer[65536];
  ssize_t got;
  while ((got = recv(fd, buffer, sizeof buffer, MSG_DONTWAIT)) > 0) all.append(buffer, got);
  return all;
}

std::string read_at_least(int fd, size_t count) {
  std::string all;
  char buffer[65536];
  ssize_t got;
  while (all.size() < count && (got = read(fd, buffer, sizeof buffer)) > 0) {
    all.append(buffer, got);
  }
  return all;
}

}  // namespace testsupport
