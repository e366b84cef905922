#include "report/exit.h"

#include <unistd.h>
#include <array>
#include <cstdlib>

#include "report/title.h"
#include "report/util.h"

namespace report {

volatile sig_atomic_t g_interrupt_count = 0;

namespace {

// Room for the cleanups the program registers; more is a programming error.
constexpr size_t kCleanupsPerStage = 4;

struct Cleanups {
  std::array<void (*)(), kCleanupsPerStage> functions{};
  size_t count = 0;
};

Cleanups g_run_cleanups;
Cleanups g_final_cleanups;

int g_exit_nesting = 0;
bool g_exiting = false;

Cleanups& cleanups_of(ExitStage stage) {
  return stage == ExitStage::kRun ? g_run_cleanups : g_final_cleanups;
}

void run_cleanups(const Cleanups& cleanups) {
  for (size_t i = 0; i < cleanups.count; ++i) cleanups.functions[i]();
}

}  // namespace

void register_exit_cleanup(ExitStage stage, void (*cleanup)()) {
  Cleanups& cleanups = cleanups_of(stage);
  for (size_t i = 0; i < cleanups.count; ++i) {
    if (cleanups.functions[i] == cleanup) return;
  }
  if (cleanups.count == cleanups.functions.size()) abort();
  cleanups.functions[cleanups.count++] = cleanup;
}

void exit_run(int status) {
  terminate_run(g_interrupt_count != 0 ? "exit via interrupt" : "exit", status);
}

void terminate_run(const char* text, int status) {
  // A cleanup that fails ends here again; after a few rounds give up on them.
  if (++g_exit_nesting > 9) _exit(status);
  mark_exiting();
  set_state(text);
  run_cleanups(g_run_cleanups);
  unlock_exit(status);
}

void unlock_exit(int status) {
  set_state("unlock/exit");
  storage_close();
  run_cleanups(g_final_cleanups);
  exit(status);
}

bool exiting() {
  return g_exiting;
}

void mark_exiting() {
  g_exiting = true;
}

}  // namespace report
