#include "support/fuzz_support.h"

#include <fcntl.h>
#include <sys/mman.h>
#include <unistd.h>

#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "base/settings.h"
#include "nntp/connection.h"
#include "run/options.h"

namespace fuzz {

namespace {

// A duplicate of the standard error the process started with.
int g_report_fd = 2;

std::string g_scratch_path;
int g_scratch_fd = -1;
bool g_remove_at_exit = false;

void remove_scratch() {
  if (g_remove_at_exit) unlink(g_scratch_path.c_str());
}

}  // namespace

void fail(const char* file, int line, const char* what) {
  dprintf(g_report_fd, "fuzz check failed at %s:%d: %s\n", file, line, what);
  abort();
}

void reset_settings() {
  base::g_settings = base::Settings{};
  run::set_start_values();
  base::g_settings.verbosity = 0;
}

const char* scratch_path() {
  if (g_scratch_fd >= 0) return g_scratch_path.c_str();
  // A file in memory, opened again through /proc by the readers: writing a
  // disk file at every input would make the file system, not the parser, the
  // limit.
  const int memory = memfd_create("tessu-fuzz", MFD_CLOEXEC);
  if (memory >= 0) {
    const std::string name = "/proc/self/fd/" + std::to_string(memory);
    if (access(name.c_str(), R_OK) == 0) {
      g_scratch_fd = memory;
      g_scratch_path = name;
      return g_scratch_path.c_str();
    }
    close(memory);
  }
  const char* dir = getenv("TMPDIR");
  std::string name =
      std::string(dir != nullptr && *dir != '\0' ? dir : "/tmp") + "/tessu-fuzz-XXXXXX";
  g_scratch_fd = mkstemp(name.data());
  if (g_scratch_fd < 0) {
    dprintf(g_report_fd, "can't make a scratch file in %s: %s\n", name.c_str(), strerror(errno));
    abort();
  }
  g_scratch_path = name;
  g_remove_at_exit = true;
  atexit(remove_scratch);
  return g_scratch_path.c_str();
}

void write_scratch(std::string_view bytes) {
  scratch_path();
  // Written over and then cut to size: ext4 flushes a file that is cut to
  // nothing and written again.
  if (pwrite(g_scratch_fd, bytes.data(), bytes.size(), 0) != static_cast<ssize_t>(bytes.size()) ||
      ftruncate(g_scratch_fd, static_cast<off_t>(bytes.size())) != 0) {
    dprintf(g_report_fd, "can't write %s: %s\n", g_scratch_path.c_str(), strerror(errno));
    abort();
  }
}

void serve_connection(std::string_view bytes) {
  static int server = -1;
  static int discard = -1;
  if (server < 0) {
    server = memfd_create("tessu-fuzz-server", MFD_CLOEXEC);
    discard = open("/dev/null", O_WRONLY | O_CLOEXEC);
    if (server < 0 || discard < 0) {
      dprintf(g_report_fd, "can't make the server's stream: %s\n", strerror(errno));
      abort();
    }
  }
  if (ftruncate(server, 0) != 0 ||
      pwrite(server, bytes.data(), bytes.size(), 0) != static_cast<ssize_t>(bytes.size()) ||
      lseek(server, 0, SEEK_SET) != 0) {
    dprintf(g_report_fd, "can't write the server's stream: %s\n", strerror(errno));
    abort();
  }
  nntp::attach_connection(&nntp::g_connection, server, discard);
}

std::vector<char> exact_copy(std::string_view text) {
  std::vector<char> copy(text.size() + 1);
  memcpy(copy.data(), text.data(), text.size());
  copy[text.size()] = '\0';
  return copy;
}

std::vector<std::string_view> split(std::string_view text, char separator) {
  std::vector<std::string_view> pieces;
  for (;;) {
    const size_t at = text.find(separator);
    pieces.push_back(text.substr(0, at));
    if (at == std::string_view::npos) return pieces;
    text.remove_prefix(at + 1);
  }
}

}  // namespace fuzz

// libFuzzer calls this before it reads its flags, so the standard error kept
// here is still the real one when -close_fd_mask=2 silences the code under test.
extern "C" int LLVMFuzzerInitialize(int*, char***) {
  const int fd = fcntl(2, F_DUPFD_CLOEXEC, 3);
  if (fd >= 0) fuzz::g_report_fd = fd;
  fuzz::reset_settings();
  return 0;
}

// The error messages of the code under test also go to the system log: a long
// fuzzing run must not flood it.
extern "C" {
void openlog(const char*, int, int) {}
void syslog(int, const char*, ...) {}
void vsyslog(int, const char*, va_list) {}
void __syslog_chk(int, int, const char*, ...) {}
}
