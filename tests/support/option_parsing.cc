#include "support/option_parsing.h"

#include <unistd.h>

#include <cstdio>
#include <cstdlib>

#include "base/settings.h"
#include "run/options.h"

namespace testsupport {

namespace {

// Death tests run in forked children, which the process id tells apart.
const pid_t g_test_process = getpid();
bool g_in_test_body = false;
const int g_exit_guard = atexit([] {
  if (g_in_test_body && getpid() == g_test_process) {
    fputs("the option parser ended the test process\n", stderr);
    _exit(1);
  }
});

}  // namespace

void reset_settings() {
  base::g_settings = base::Settings{};
  run::set_start_values();
}

void parse(const std::vector<std::string>& words) {
  std::vector<std::string> all = {"tessu"};
  all.insert(all.end(), words.begin(), words.end());
  std::vector<char*> argv;
  for (std::string& word : all) argv.push_back(word.data());
  argv.push_back(nullptr);
  run::parse_options(static_cast<int>(all.size()), argv.data());
}

void OptionParserTest::SetUp() {
  reset_settings();
  g_in_test_body = true;
}

void OptionParserTest::TearDown() {
  g_in_test_body = false;
}

}  // namespace testsupport
