#include "support/tessu_runner.h"

#include <dirent.h>
#include <fcntl.h>
#include <poll.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>
#include <algorithm>
#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sstream>

#include "support/wait.h"

#ifndef TESSU_BINARY
#define TESSU_BINARY "tessu"
#endif

namespace testsupport {

namespace {

void make_dirs(const std::string& path) {
  std::string partial;
  std::stringstream parts(path);
  std::string piece;
  while (std::getline(parts, piece, '/')) {
    partial += piece + "/";
    mkdir(partial.c_str(), 0775);
  }
}

void remove_tree(const std::string& path) {
  DIR* dir = opendir(path.c_str());
  if (dir != nullptr) {
    while (dirent* entry = readdir(dir)) {
      const std::string name = entry->d_name;
      if (name == "." || name == "..") continue;
      remove_tree(path + "/" + name);
    }
    closedir(dir);
    rmdir(path.c_str());
  } else {
    unlink(path.c_str());
  }
}

long long now_ms() {
  struct timespec t;
  clock_gettime(CLOCK_MONOTONIC, &t);
  return t.tv_sec * 1000LL + t.tv_nsec / 1000000;
}

// Waits up to wait_ms for output of the running tessu and reads what came;
// a descriptor at its end is closed and set to -1.
void read_output(Running& running, long long wait_ms) {
  std::string* sinks[] = {&running.out, &running.err};
  int* fds[] = {&running.out_fd, &running.err_fd};
  struct pollfd polls[2] = {{*fds[0], POLLIN, 0}, {*fds[1], POLLIN, 0}};
  const int ready = poll(polls, 2, static_cast<int>(std::min(wait_ms, 60000LL)));
  if (ready <= 0) return;
  for (int i = 0; i < 2; ++i) {
    if (*fds[i] < 0 || polls[i].revents == 0) continue;
    char buffer[4096];
    const ssize_t got = read(*fds[i], buffer, sizeof buffer);
    if (got > 0) {
      sinks[i]->append(buffer, static_cast<size_t>(got));
    } else if (got == 0 || errno != EINTR) {
      close(*fds[i]);
      *fds[i] = -1;
    }
  }
}

}  // namespace

TempSite::TempSite() {
  char templ[] = "/tmp/tessu-test-XXXXXX";
  root = mkdtemp(templ);
  chmod(root.c_str(), 0755);
  for (const char* dir : {"locks", "inhosts", "incoming", "outgoing", "db", "etc", "articles"}) {
    make_dirs(root + "/" + dir);
  }
  // A site with no groups: tests that fetch write their own.
  write("etc/newsfeeds", "ME:*::\n");
  write("db/active", "");
}

TempSite::~TempSite() {
  if (getenv("TESSU_KEEP_TEST_SITE") == nullptr) remove_tree(root);
}

std::string TempSite::path(const std::string& relative) const {
  return root + "/" + relative;
}

void TempSite::write(const std::string& relative, const std::string& content) const {
  const std::string full = path(relative);
  make_dirs(full.substr(0, full.rfind('/')));
  std::ofstream file(full, std::ios::binary | std::ios::trunc);
  file << content;
}

std::string TempSite::read(const std::string& relative) const {
  return read_file(path(relative));
}

bool TempSite::exists(const std::string& relative) const {
  struct stat status;
  return stat(path(relative).c_str(), &status) == 0;
}

std::vector<std::string> TempSite::list(const std::string& relative) const {
  return list_dir(path(relative));
}

std::vector<std::string> TempSite::site_options() const {
  return {"--locks",    path("locks"),     "--inhosts",   path("inhosts"),
          "--incoming", path("incoming"),  "--batch",     path("outgoing"),
          "--active",   path("db/active"), "--newsfeeds", path("etc/newsfeeds"),
          "--spool",    path("articles"),  "--history",   ""};
}

Running start_tessu(const std::vector<std::string>& args, const RunOptions& options) {
  int out_pipe[2];
  int err_pipe[2];
  int in_pipe[2];
  // Close-on-exec, so that no other child of the test holds these pipes open.
  if (pipe2(out_pipe, O_CLOEXEC) != 0 || pipe2(err_pipe, O_CLOEXEC) != 0 ||
      pipe2(in_pipe, O_CLOEXEC) != 0) {
    abort();
  }
  const pid_t pid = fork();
  if (pid == 0) {
    dup2(in_pipe[0], 0);
    dup2(out_pipe[1], 1);
    dup2(err_pipe[1], 2);
    if (!options.cwd.empty() && chdir(options.cwd.c_str()) != 0) _exit(126);
    for (const auto& [name, value] : options.env) {
      if (value == "\x01") {
        unsetenv(name.c_str());
      } else {
        setenv(name.c_str(), value.c_str(), 1);
      }
    }
    if (options.in_child) {
      const int status = options.in_child();
      if (status != 0) _exit(status);
    }
    std::vector<char*> argv;
    argv.push_back(const_cast<char*>("tessu"));
    for (const std::string& arg : args) argv.push_back(const_cast<char*>(arg.c_str()));
    argv.push_back(nullptr);
    execv(TESSU_BINARY, argv.data());
    _exit(127);
  }
  close(in_pipe[0]);
  close(out_pipe[1]);
  close(err_pipe[1]);
  if (!options.input.empty()) {
    [[maybe_unused]] ssize_t ignored =
        write(in_pipe[1], options.input.data(), options.input.size());
  }
  close(in_pipe[1]);
  Running running;
  running.pid = pid;
  running.out_fd = out_pipe[0];
  running.err_fd = err_pipe[0];
  running.timeout_seconds = options.timeout_seconds;
  return running;
}

bool wait_for_err(Running& running, const std::string& text, int seconds) {
  const long long deadline = now_ms() + seconds * 1000LL;
  while (!contains(running.err, text)) {
    const long long left = deadline - now_ms();
    if (left <= 0 || (running.out_fd < 0 && running.err_fd < 0)) return false;
    read_output(running, left);
  }
  return true;
}

RunResult finish_tessu(Running& running) {
  long long deadline = now_ms() + running.timeout_seconds * 1000LL;
  bool killed = false;
  while (running.out_fd >= 0 || running.err_fd >= 0) {
    const long long left = deadline - now_ms();
    if (left <= 0) {
      // A child that tessu left behind may hold the pipes open after the kill.
      if (killed) break;
      kill(running.pid, SIGKILL);
      killed = true;
      deadline = now_ms() + 5000;
      continue;
    }
    read_output(running, left);
  }
  for (int* fd : {&running.out_fd, &running.err_fd}) {
    if (*fd >= 0) close(*fd);
    *fd = -1;
  }
  RunResult result;
  result.out = std::move(running.out);
  result.err = std::move(running.err);
  int status = 0;
  struct rusage usage = {};
  while (wait4(running.pid, &status, 0, &usage) < 0 && errno == EINTR) {
  }
  if (WIFEXITED(status)) {
    result.status = WEXITSTATUS(status);
  } else if (WIFSIGNALED(status)) {
    result.signaled = true;
    result.status = 128 + WTERMSIG(status);
  }
  result.max_rss_kib = usage.ru_maxrss;
  running.pid = -1;
  return result;
}

RunResult run_tessu(const std::vector<std::string>& args, const RunOptions& options) {
  Running running = start_tessu(args, options);
  return finish_tessu(running);
}

std::vector<std::string> concat(std::vector<std::string> a, const std::vector<std::string>& b) {
  a.insert(a.end(), b.begin(), b.end());
  return a;
}

bool contains(const std::string& text, const std::string& needle) {
  return text.find(needle) != std::string::npos;
}

std::string read_file(const std::string& path) {
  std::ifstream file(path, std::ios::binary);
  std::stringstream content;
  content << file.rdbuf();
  return content.str();
}

std::vector<std::string> list_dir(const std::string& path) {
  std::vector<std::string> names;
  DIR* dir = opendir(path.c_str());
  if (dir == nullptr) return names;
  while (dirent* entry = readdir(dir)) {
    const std::string name = entry->d_name;
    if (name != "." && name != "..") names.push_back(name);
  }
  closedir(dir);
  std::sort(names.begin(), names.end());
  return names;
}

bool wait_for_file(const std::string& path, int seconds) {
  return wait_until(
      [&path] {
        struct stat status;
        return stat(path.c_str(), &status) == 0;
      },
      std::chrono::seconds(seconds));
}

}  // namespace testsupport
