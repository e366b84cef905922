// Runs the real tessu binary in a private temporary site and captures its
// exit status, standard output and standard error.
#pragma once

#include <sys/types.h>
#include <functional>
#include <string>
#include <utility>
#include <vector>

namespace testsupport {

/// A private news site in a fresh temporary directory, removed at the end.
struct TempSite {
  TempSite();
  ~TempSite();
  TempSite(const TempSite&) = delete;
  TempSite& operator=(const TempSite&) = delete;

  /// The site's directory; below it: locks, inhosts, incoming, outgoing, db, etc, articles.
  std::string root;

  /// A path below the site's directory.
  std::string path(const std::string& relative) const;
  /// Writes a file below the site's directory (parents are created).
  void write(const std::string& relative, const std::string& content) const;
  /// Reads a file below the site's directory ("" when missing).
  std::string read(const std::string& relative) const;
  bool exists(const std::string& relative) const;
  /// The names in a directory below the site, sorted.
  std::vector<std::string> list(const std::string& relative) const;

  /// Options pointing every site path of tessu into this site.
  std::vector<std::string> site_options() const;
};

struct RunResult {
  int status = -1;  // exit status, or 128 + signal when killed
  bool signaled = false;
  std::string out;
  std::string err;
  long max_rss_kib = 0;  // the most memory the run held
};

struct RunOptions {
  std::string cwd;                                       // "" keeps the test's cwd
  std::vector<std::pair<std::string, std::string>> env;  // set (value "\x01" unsets)
  std::string input;                                     // standard input
  int timeout_seconds = 60;                              // killed with SIGKILL after this
  /// Called in the child, its descriptors, directory and environment in
  /// place, just before tessu is started (to enter a namespace, become
  /// another user, set a limit); a result other than 0 ends the child with
  /// that status instead.
  std::function<int()> in_child = nullptr;
};

/// A started tessu and what it has written so far.
struct Running {
  pid_t pid = -1;
  int out_fd = -1;
  int err_fd = -1;
  int timeout_seconds = 60;
  std::string out;
  std::string err;
};

/// Starts tessu with args (argv[0] is added); returns the running process.
Running start_tessu(const std::vector<std::string>& args, const RunOptions& options = {});

/// Reads what a started tessu writes until its standard error holds text, it
/// closes its output, or seconds pass; true when text came. What was read is
/// kept in running and is part of finish_tessu's result.
bool wait_for_err(Running& running, const std::string& text, int seconds = 30);

/// Waits for a started tessu and collects what it wrote.
RunResult finish_tessu(Running& running);

/// Runs tessu to its end.
RunResult run_tessu(const std::vector<std::string>& args, const RunOptions& options = {});

/// Concatenates option lists.
std::vector<std::string> concat(std::vector<std::string> a, const std::vector<std::string>& b);

/// True when text contains needle.
bool contains(const std::string& text, const std::string& needle);

/// The whole content of a file ("" when it cannot be read).
std::string read_file(const std::string& path);

/// The names in a directory, "." and ".." left out, sorted (none when it cannot be read).
std::vector<std::string> list_dir(const std::string& path);

/// Waits up to seconds for a file to exist; true when it does.
bool wait_for_file(const std::string& path, int seconds);

}  // namespace testsupport
