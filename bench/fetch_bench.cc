// Fetch benchmark: runs the real tessu binary against the scripted NNTP
// server of the tests, which holds G groups of A articles of about S bytes
// and delays every reply by L ms after its command arrived (without holding
// back later commands), and measures each run.
//
// For every pair of --window W and latency L it prints: the articles fetched,
// the wall time and articles per second, the commands the server received,
// the round trips the window allows (commands / W), the round trips paid,
// the times the server's input went idle waiting for the client, tessu's peak
// resident memory and its CPU time per article, and, for L > 0, the time the window
// should allow with the measured ratio. A second table shows peak memory
// for two article counts at the same window.
//
// Runs whose latency alone would take longer than --budget seconds get fewer
// articles per group (marked in the table); see bench/README.md.
#include <dirent.h>
#include <fcntl.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/types.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "support/nntp_server.h"

#ifndef TESSU_BINARY
#define TESSU_BINARY "tessu"
#endif

namespace {

using Clock = std::chrono::steady_clock;

constexpr const char* kSpool = "upstream";
// The name the spool's newsfeeds entry lists after '/', and the first element
// of every article's Path, so that the Path rule accepts the articles.
constexpr const char* kRelay = "relay.example";
constexpr int kRunTimeoutSeconds = 900;

struct Config {
  std::string tessu = TESSU_BINARY;
  int groups = 20;
  int articles = 1000;  // per group
  int size = 2000;      // bytes per article, about
  std::vector<int> windows = {0, 1, 10, 100};
  std::vector<int> latencies = {0, 10};
  double budget = 45;       // seconds of pure latency a run may cost
  int memory_window = 100;  // window of the memory comparison
  int memory_small = 250;   // articles per group of its small run
  int repeat = 1;           // runs per configuration; the fastest is shown
  bool memory_check = true;
  std::string site_base = "/tmp";  // where the temporary sites are made
  std::string trace;               // file to append every received command to
  std::vector<std::string> extra;  // more tessu options
};

struct Result {
  bool ok = false;
  std::string failure;
  int window = 0;
  int latency = 0;
  int groups = 0;
  int per_group = 0;
  bool reduced = false;
  long articles = 0;       // articles found in the published batches
  long long bytes = 0;     // their bytes
  size_t commands = 0;     // lines the server received
  size_t idle = 0;         // commands that found the server idle
  size_t round_trips = 0;  // the chain of round trips the run paid (L > 0)
  double wall = 0;         // seconds from fork to exit
  double fetch = 0;        // seconds from the first to the last command
  long max_rss_kb = 0;
  double user = 0;        // user seconds of tessu
  double sys = 0;         // system seconds of tessu
  double server_cpu = 0;  // CPU seconds of the benchmark process (the server) meanwhile
};

void usage() {
  std::fprintf(
      stderr,
      "usage: fetch_bench [--tessu PATH] [--groups G] [--articles A] [--size BYTES]\n"
      "                   [--windows 0,1,10,100] [--latencies 0,10] [--budget SECONDS]\n"
      "                   [--memory-window W] [--memory-small A] [--no-memory] [--repeat R]\n"
      "                   [--site-dir DIR]\n"
      "                   [-- tessu options...]\n");
}

bool parse_int(const char* text, int* value) {
  char* end = nullptr;
  long parsed = std::strtol(text, &end, 10);
  if (end == text || *end != '\0' || parsed < 0 || parsed > 100000000) return false;
  *value = static_cast<int>(parsed);
  return true;
}

bool parse_list(const char* text, std::vector<int>* values) {
  values->clear();
  std::stringstream parts(text);
  std::string piece;
  while (std::getline(parts, piece, ',')) {
    int value = 0;
    if (!parse_int(piece.c_str(), &value)) return false;
    values->push_back(value);
  }
  return !values->empty();
}

bool parse_args(int argc, char** argv, Config* config) {
  for (int i = 1; i < argc; ++i) {
    std::string arg = argv[i];
    if (arg == "--") {
      for (++i; i < argc; ++i) config->extra.push_back(argv[i]);
      break;
    }
    if (arg == "--no-memory") {
      config->memory_check = false;
      continue;
    }
    if (i + 1 >= argc) return false;
    const char* value = argv[++i];
    bool good = true;
    if (arg == "--tessu") {
      config->tessu = value;
    } else if (arg == "--trace") {
      config->trace = value;
    } else if (arg == "--site-dir") {
      config->site_base = value;
    } else if (arg == "--groups") {
      good = parse_int(value, &config->groups) && config->groups > 0;
    } else if (arg == "--articles") {
      good = parse_int(value, &config->articles) && config->articles > 0;
    } else if (arg == "--size") {
      good = parse_int(value, &config->size);
    } else if (arg == "--windows") {
      good = parse_list(value, &config->windows);
    } else if (arg == "--latencies") {
      good = parse_list(value, &config->latencies);
    } else if (arg == "--budget") {
      char* end = nullptr;
      config->budget = std::strtod(value, &end);
      good = end != value && *end == '\0' && config->budget > 0;
    } else if (arg == "--memory-window") {
      good = parse_int(value, &config->memory_window);
    } else if (arg == "--memory-small") {
      good = parse_int(value, &config->memory_small) && config->memory_small > 0;
    } else if (arg == "--repeat") {
      good = parse_int(value, &config->repeat) && config->repeat > 0;
    } else {
      good = false;
    }
    if (!good) return false;
  }
  return true;
}

std::string group_name(int index) {
  char name[32];
  std::snprintf(name, sizeof name, "bench.g%02d", index);
  return name;
}

// An article of about `size` bytes: a plain header and body lines of 72
// characters, one of them starting with a dot so that stuffing is exercised.
std::string article_text(const std::string& group, long number, int size) {
  std::string id = "<" + std::to_string(number) + "." + group + "@bench.example>";
  std::string text = std::string("Path: ") + kRelay + "!poster.example!not-for-mail\n" +
                     "From: Bench Poster <poster@example.invalid>\n" + "Newsgroups: " + group +
                     "\n" + "Subject: benchmark article " + std::to_string(number) + " in " +
                     group + "\n" + "Message-ID: " + id + "\n" +
                     "Date: Tue, 01 Dec 2026 00:00:00 GMT\n\n";
  static const std::string kLine =
      "The quick brown fox jumps over the lazy dog while the news flows in. 0123\n";
  bool dotted = false;
  while (static_cast<int>(text.size() + kLine.size()) <= size || !dotted) {
    if (!dotted) {
      text += "." + kLine.substr(1);
      dotted = true;
    } else {
      text += kLine;
    }
  }
  return text;
}

std::string read_file(const std::string& path) {
  std::ifstream file(path, std::ios::binary);
  std::stringstream content;
  content << file.rdbuf();
  return content.str();
}

// A private news site in a fresh directory below the base (the tests' site
// is always below /tmp; the benchmark may want a tmpfs instead), removed at
// the end unless TESSU_KEEP_TEST_SITE is set.
struct BenchSite {
  explicit BenchSite(const std::string& base) {
    std::string pattern = base + "/tessu-bench-XXXXXX";
    if (mkdtemp(pattern.data()) != nullptr) root = pattern;
    for (const char* dir : {"locks", "inhosts", "incoming", "outgoing", "db", "etc", "articles"})
      mkdir(path(dir).c_str(), 0755);
  }
  ~BenchSite() {
    if (!root.empty() && getenv("TESSU_KEEP_TEST_SITE") == nullptr) remove_tree(root);
  }
  BenchSite(const BenchSite&) = delete;
  BenchSite& operator=(const BenchSite&) = delete;

  std::string path(const std::string& relative) const { return root + "/" + relative; }

  void write(const std::string& relative, const std::string& content) const {
    std::ofstream file(path(relative), std::ios::binary | std::ios::trunc);
    file << content;
  }

  std::vector<std::string> list(const std::string& relative) const {
    std::vector<std::string> names;
    DIR* dir = opendir(path(relative).c_str());
    if (dir == nullptr) return names;
    while (dirent* entry = readdir(dir)) {
      const std::string name = entry->d_name;
      if (name != "." && name != "..") names.push_back(name);
    }
    closedir(dir);
    std::sort(names.begin(), names.end());
    return names;
  }

  // Options pointing every site path of tessu into this site.
  std::vector<std::string> site_options() const {
    return {"--locks",    path("locks"),     "--inhosts",   path("inhosts"),
            "--incoming", path("incoming"),  "--batch",     path("outgoing"),
            "--active",   path("db/active"), "--newsfeeds", path("etc/newsfeeds"),
            "--spool",    path("articles"),  "--history",   ""};
  }

  static void remove_tree(const std::string& path) {
    DIR* dir = opendir(path.c_str());
    if (dir == nullptr) {
      unlink(path.c_str());
      return;
    }
    while (dirent* entry = readdir(dir)) {
      const std::string name = entry->d_name;
      if (name != "." && name != "..") remove_tree(path + "/" + name);
    }
    closedir(dir);
    rmdir(path.c_str());
  }

  std::string root;
};

// Counts the articles of the published rnews batches; false on a malformed one.
bool count_batches(const BenchSite& site, long* articles, long long* bytes, std::string* failure) {
  *articles = 0;
  *bytes = 0;
  for (const std::string& name : site.list("incoming")) {
    if (name.rfind(".tmp.", 0) == 0) {
      *failure = "temporary batch left behind: " + name;
      return false;
    }
    const std::string batch = read_file(site.path("incoming/" + name));
    size_t at = 0;
    while (at < batch.size()) {
      static const std::string kHead = "#! rnews ";
      size_t end = batch.find('\n', at);
      if (batch.compare(at, kHead.size(), kHead) != 0 || end == std::string::npos) {
        *failure = "malformed batch " + name;
        return false;
      }
      long long length = std::strtoll(batch.c_str() + at + kHead.size(), nullptr, 10);
      at = end + 1 + static_cast<size_t>(length);
      if (length <= 0 || at > batch.size()) {
        *failure = "truncated batch " + name;
        return false;
      }
      ++*articles;
      *bytes += length;
    }
  }
  return true;
}

// tessu is started by a launcher process forked before the benchmark holds
// any articles: a child's peak resident size (ru_maxrss) includes what it
// inherited before exec, so forking from the big benchmark process would
// report the benchmark's size instead of tessu's.
struct Launcher {
  pid_t pid = -1;
  int request_fd = -1;  // benchmark -> launcher: a request
  int answer_fd = -1;   // launcher -> benchmark: a Launched
  long floor_kb = 0;    // the launcher's own peak, the least any child can show
};

// What the launcher reports of one run.
struct Launched {
  int status = -1;  // exit status, 128 + signal when killed, -1 when not started
  double seconds = 0;
  rusage usage{};
};

volatile sig_atomic_t g_running_child = 0;

void kill_running_child(int) {
  if (g_running_child > 0) kill(static_cast<pid_t>(g_running_child), SIGKILL);
}

bool write_all(int fd, const void* data, size_t size) {
  const char* bytes = static_cast<const char*>(data);
  while (size > 0) {
    ssize_t done = write(fd, bytes, size);
    if (done < 0 && errno == EINTR) continue;
    if (done <= 0) return false;
    bytes += done;
    size -= static_cast<size_t>(done);
  }
  return true;
}

bool read_all(int fd, void* data, size_t size) {
  char* bytes = static_cast<char*>(data);
  while (size > 0) {
    ssize_t done = read(fd, bytes, size);
    if (done < 0 && errno == EINTR) continue;
    if (done <= 0) return false;
    bytes += done;
    size -= static_cast<size_t>(done);
  }
  return true;
}

// Starts one tessu (argv[0] is its path, then its arguments; the last two
// entries name its standard output and error files) and waits for it.
Launched launch(const std::vector<std::string>& request) {
  Launched launched;
  if (request.size() < 3) return launched;
  const std::string& out = request[request.size() - 2];
  const std::string& err = request[request.size() - 1];
  const Clock::time_point start = Clock::now();
  const pid_t pid = fork();
  if (pid < 0) return launched;
  if (pid == 0) {
    int in = open("/dev/null", O_RDONLY);
    int out_fd = open(out.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    int err_fd = open(err.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    if (in < 0 || out_fd < 0 || err_fd < 0) _exit(126);
    dup2(in, 0);
    dup2(out_fd, 1);
    dup2(err_fd, 2);
    std::vector<char*> argv;
    argv.push_back(const_cast<char*>("tessu"));
    for (size_t i = 1; i + 2 < request.size(); ++i)
      argv.push_back(const_cast<char*>(request[i].c_str()));
    argv.push_back(nullptr);
    execv(request[0].c_str(), argv.data());
    _exit(127);
  }
  // A run that hangs is killed; only the child started here.
  g_running_child = pid;
  alarm(kRunTimeoutSeconds);
  int status = 0;
  while (wait4(pid, &status, 0, &launched.usage) < 0) {
    if (errno != EINTR) break;
  }
  alarm(0);
  g_running_child = 0;
  launched.seconds = std::chrono::duration<double>(Clock::now() - start).count();
  if (WIFEXITED(status)) {
    launched.status = WEXITSTATUS(status);
  } else if (WIFSIGNALED(status)) {
    launched.status = 128 + WTERMSIG(status);
  }
  return launched;
}

// The launcher's loop: a request is its byte count and NUL-terminated words.
[[noreturn]] void serve_launches(int request_fd, int answer_fd) {
  struct sigaction action {};
  action.sa_handler = kill_running_child;
  sigaction(SIGALRM, &action, nullptr);
  for (;;) {
    uint32_t size = 0;
    if (!read_all(request_fd, &size, sizeof size)) _exit(0);
    std::string words(size, '\0');
    if (!read_all(request_fd, words.data(), size)) _exit(0);
    std::vector<std::string> request;
    size_t at = 0;
    while (at < words.size()) {
      size_t end = words.find('\0', at);
      request.push_back(words.substr(at, end - at));
      at = end + 1;
    }
    Launched launched = launch(request);
    if (!write_all(answer_fd, &launched, sizeof launched)) _exit(0);
  }
}

bool start_launcher(Launcher* launcher) {
  int requests[2];
  int answers[2];
  if (pipe2(requests, O_CLOEXEC) != 0 || pipe2(answers, O_CLOEXEC) != 0) return false;
  rusage self{};
  getrusage(RUSAGE_SELF, &self);
  launcher->floor_kb = self.ru_maxrss;
  launcher->pid = fork();
  if (launcher->pid < 0) return false;
  if (launcher->pid == 0) {
    close(requests[1]);
    close(answers[0]);
    serve_launches(requests[0], answers[1]);
  }
  close(requests[0]);
  close(answers[1]);
  launcher->request_fd = requests[1];
  launcher->answer_fd = answers[0];
  return true;
}

void stop_launcher(Launcher* launcher) {
  close(launcher->request_fd);
  close(launcher->answer_fd);
  int status = 0;
  while (waitpid(launcher->pid, &status, 0) < 0 && errno == EINTR) {
  }
}

// Runs tessu through the launcher with its output in files below the site.
Launched run_tessu(const Launcher& launcher, const std::string& binary,
                   const std::vector<std::string>& args, const BenchSite& site) {
  std::string words = binary + '\0';
  for (const std::string& arg : args) words += arg + '\0';
  words += site.path("tessu.out") + '\0' + site.path("tessu.err") + '\0';
  const uint32_t size = static_cast<uint32_t>(words.size());
  Launched launched;
  if (!write_all(launcher.request_fd, &size, sizeof size) ||
      !write_all(launcher.request_fd, words.data(), words.size()) ||
      !read_all(launcher.answer_fd, &launched, sizeof launched))
    launched.status = -1;
  return launched;
}

double seconds_of(const timeval& time) {
  return static_cast<double>(time.tv_sec) + static_cast<double>(time.tv_usec) / 1e6;
}

Result run_once(const Launcher& launcher, const Config& config, int window, int latency,
                int per_group, bool reduced) {
  Result result;
  result.window = window;
  result.latency = latency;
  result.groups = config.groups;
  result.per_group = per_group;
  result.reduced = reduced;

  testsupport::TestNntpServer server;
  server.script.latency_ms = latency;
  BenchSite site(config.site_base);
  if (site.root.empty()) {
    result.failure = "cannot make a site below " + config.site_base;
    return result;
  }
  std::string active;
  std::string host_active;
  for (int g = 0; g < config.groups; ++g) {
    const std::string group = group_name(g);
    for (long n = 1; n <= per_group; ++n)
      server.add_article(group, n, article_text(group, n, config.size));
    active += group + " " + std::to_string(per_group) + " 1 y\n";
    host_active += group + " 1\n";
  }
  site.write("etc/newsfeeds", std::string("ME:*::\n") + kSpool + "/" + kRelay + ":*::\n");
  site.write("db/active", active);
  site.write(std::string("inhosts/") + kSpool, host_active);
  if (server.start() <= 0) {
    result.failure = "the test server did not start";
    return result;
  }

  std::vector<std::string> args = site.site_options();
  args.insert(args.end(), {"--nopost", "--window", std::to_string(window)});
  args.insert(args.end(), config.extra.begin(), config.extra.end());
  args.insert(args.end(), {kSpool, "127.0.0.1", server.port_string()});

  rusage before{};
  getrusage(RUSAGE_SELF, &before);
  const Launched launched = run_tessu(launcher, config.tessu, args, site);
  rusage after{};
  getrusage(RUSAGE_SELF, &after);
  result.server_cpu = seconds_of(after.ru_utime) + seconds_of(after.ru_stime) -
                      seconds_of(before.ru_utime) - seconds_of(before.ru_stime);
  const int status = launched.status;
  server.stop();
  result.wall = launched.seconds;
  result.max_rss_kb = launched.usage.ru_maxrss;
  result.user = seconds_of(launched.usage.ru_utime);
  result.sys = seconds_of(launched.usage.ru_stime);

  const std::vector<testsupport::ReceivedLine> lines = server.received();
  result.commands = lines.size();
  // The server went idle waiting for the client when a command arrived
  // after every earlier reply had become due (arrival + L): a round trip
  // the window did not hide. With L = 0 this counts the reads that found
  // new commands, an upper bound.
  const auto threshold = std::chrono::milliseconds(latency);
  for (size_t i = 0; i < lines.size(); ++i) {
    if (i == 0 || lines[i].when - lines[i - 1].when > threshold) ++result.idle;
  }
  // Round trips paid: the longest chain of commands in which each arrived
  // after the reply to the one before it was due. A command's place in the
  // chain is one more than that of the last command whose reply was due
  // when it arrived. Meaningful for L > 0 only.
  if (latency > 0) {
    std::vector<size_t> chain(lines.size());
    size_t due = 0;  // commands whose replies were due so far
    for (size_t i = 0; i < lines.size(); ++i) {
      while (due < i && lines[due].when + threshold <= lines[i].when) ++due;
      chain[i] = due == 0 ? 1 : chain[due - 1] + 1;
    }
    result.round_trips = lines.empty() ? 0 : chain.back();
  }
  if (!config.trace.empty()) {
    std::ofstream trace(config.trace, std::ios::app);
    trace << "# window " << window << " L " << latency << ": arrival ms, gap ms, command\n";
    for (size_t i = 0; i < lines.size(); ++i) {
      const auto since = [&](Clock::time_point when) {
        return std::chrono::duration<double, std::milli>(when - lines.front().when).count();
      };
      trace << since(lines[i].when) << " "
            << (i == 0 ? 0.0 : since(lines[i].when) - since(lines[i - 1].when)) << " "
            << lines[i].line << "\n";
    }
  }
  if (!lines.empty())
    result.fetch = std::chrono::duration<double>(lines.back().when - lines.front().when).count();

  if (status != 0) {
    std::string err = read_file(site.path("tessu.err"));
    if (err.size() > 2000) err = err.substr(err.size() - 2000);
    result.failure = "tessu exited with status " + std::to_string(status) + ":\n" + err;
    return result;
  }
  std::string failure;
  if (!count_batches(site, &result.articles, &result.bytes, &failure)) {
    result.failure = failure;
    return result;
  }
  const long expected = static_cast<long>(config.groups) * per_group;
  if (result.articles != expected) {
    result.failure = "fetched " + std::to_string(result.articles) + " articles, expected " +
                     std::to_string(expected);
    return result;
  }
  result.ok = true;
  return result;
}

// The fastest of --repeat runs of one configuration; a failure ends the series.
Result run_best(const Launcher& launcher, const Config& config, int window, int latency,
                int per_group, bool reduced) {
  Result best = run_once(launcher, config, window, latency, per_group, reduced);
  for (int i = 1; i < config.repeat && best.ok; ++i) {
    Result next = run_once(launcher, config, window, latency, per_group, reduced);
    if (!next.ok || next.wall < best.wall) best = next;
  }
  return best;
}

double per_article_us(double seconds, long articles) {
  return articles > 0 ? seconds * 1e6 / static_cast<double>(articles) : 0;
}

void print_header() {
  std::printf("%6s %4s %9s %7s %8s %8s %7s %7s %7s %8s %7s %7s %7s %8s %6s\n", "window", "L",
              "articles", "wall s", "art/s", "commands", "cmds/W", "rtts", "idle", "peak KB",
              "usr us", "sys us", "srv us", "expect s", "ratio");
}

// Time the window allows at latency L: every command pays one round trip per
// window, GROUP and the drain one each per group, plus what the same amount
// of work took without latency (transfer and processing).
double expected_seconds(const Result& slow, const Result* fast) {
  const double rtt = slow.latency / 1000.0;
  const double window = std::max(slow.window, 1);
  double transfer = 0;
  if (fast != nullptr && fast->articles > 0)
    transfer =
        fast->wall * static_cast<double>(slow.articles) / static_cast<double>(fast->articles);
  return static_cast<double>(slow.commands) * rtt / window + 2.0 * slow.groups * rtt + transfer;
}

void print_result(const Result& result, const Result* fast) {
  if (!result.ok) {
    std::printf("%6d %4d  FAILED: %s\n", result.window, result.latency, result.failure.c_str());
    return;
  }
  char articles[32];
  std::snprintf(articles, sizeof articles, "%ld%s", result.articles, result.reduced ? "*" : "");
  const double window = std::max(result.window, 1);
  char round_trips[32] = "-";
  if (result.latency > 0) std::snprintf(round_trips, sizeof round_trips, "%zu", result.round_trips);
  std::printf("%6d %4d %9s %7.2f %8.0f %8zu %7.0f %7s %7zu %8ld %7.1f %7.1f %7.1f", result.window,
              result.latency, articles, result.wall,
              static_cast<double>(result.articles) / result.wall, result.commands,
              static_cast<double>(result.commands) / window, round_trips, result.idle,
              result.max_rss_kb, per_article_us(result.user, result.articles),
              per_article_us(result.sys, result.articles),
              per_article_us(result.server_cpu, result.articles));
  if (result.latency > 0) {
    const double expected = expected_seconds(result, fast);
    std::printf(" %8.2f %6.2f", expected, result.wall / expected);
  }
  std::printf("\n");
  std::fflush(stdout);
}

}  // namespace

int main(int argc, char** argv) {
  Config config;
  if (!parse_args(argc, argv, &config)) {
    usage();
    return 2;
  }
  if (access(config.tessu.c_str(), X_OK) != 0) {
    std::fprintf(stderr, "fetch_bench: no tessu binary at \"%s\"\n", config.tessu.c_str());
    return 2;
  }
  Launcher launcher;
  if (!start_launcher(&launcher)) {
    std::fprintf(stderr, "fetch_bench: cannot start the launcher: %s\n", std::strerror(errno));
    return 2;
  }
  std::printf("tessu: %s\n", config.tessu.c_str());
  std::printf("%d groups x %d articles of about %d bytes; latency L delays each reply by L ms\n",
              config.groups, config.articles, config.size);
  print_header();

  bool all_ok = true;
  std::vector<Result> fast;  // L = 0, per window
  for (int latency : config.latencies) {
    for (int window : config.windows) {
      // Keep the pure latency of a run within the budget: about two
      // commands per article, each paying L per window.
      int per_group = config.articles;
      const double latency_cost =
          2.0 * config.groups * per_group * latency / 1000.0 / std::max(window, 1);
      bool reduced = false;
      if (latency > 0 && latency_cost > config.budget) {
        per_group = static_cast<int>(config.budget * 1000.0 * std::max(window, 1) /
                                     (2.0 * config.groups * latency));
        per_group = std::max(per_group - per_group % 10, 10);
        reduced = true;
      }
      Result result = run_best(launcher, config, window, latency, per_group, reduced);
      const Result* base = nullptr;
      for (const Result& f : fast)
        if (f.window == window && f.ok) base = &f;
      print_result(result, base);
      all_ok = all_ok && result.ok;
      if (latency == 0) fast.push_back(result);
    }
  }
  std::printf(
      "* fewer articles per group, so that the latency alone stays within %.0f s\n"
      "cmds/W: the round trips the window allows (commands / window, window 0 as 1)\n"
      "rtts: round trips paid, the longest chain of commands each of which arrived after\n"
      "      the reply to the one before it was due (L > 0 only)\n"
      "idle: commands that arrived after every earlier reply was due (the server's input\n"
      "      went idle waiting for tessu); with L = 0: the server's reads that found commands\n"
      "expect: commands x L / window + 2 x groups x L + the L = 0 time of the same window\n"
      "        scaled to the articles; ratio = wall / expect (the window holds when <= 2)\n"
      "peak KB: tessu's peak resident size (at least %ld KB, the launcher's own size)\n"
      "usr us, sys us: tessu's user and system CPU time per article\n"
      "srv us: CPU time per article of the benchmark process (the test server) meanwhile\n",
      config.budget, launcher.floor_kb);

  if (config.memory_check) {
    std::printf("\npeak memory against the number of articles (window %d, L = 0)\n",
                config.memory_window);
    std::printf("%9s %8s %7s %7s\n", "articles", "peak KB", "usr us", "sys us");
    long previous_rss = -1;
    long previous_articles = 0;
    for (int per_group : {config.memory_small, config.articles}) {
      Result result = run_best(launcher, config, config.memory_window, 0, per_group, false);
      if (!result.ok) {
        std::printf("%9ld FAILED: %s\n", static_cast<long>(config.groups) * per_group,
                    result.failure.c_str());
        all_ok = false;
        continue;
      }
      std::printf("%9ld %8ld %7.1f %7.1f", result.articles, result.max_rss_kb,
                  per_article_us(result.user, result.articles),
                  per_article_us(result.sys, result.articles));
      if (previous_rss >= 0 && result.articles > previous_articles) {
        const double growth = static_cast<double>(result.max_rss_kb - previous_rss) * 1024.0 /
                              static_cast<double>(result.articles - previous_articles);
        std::printf("   growth %.0f bytes per added article", growth);
      }
      std::printf("\n");
      previous_rss = result.max_rss_kb;
      previous_articles = result.articles;
    }
  }
  stop_launcher(&launcher);
  return all_ok ? 0 : 1;
}
