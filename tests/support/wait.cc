#include "support/wait.h"

#include <sys/syscall.h>
#include <fstream>
#include <string>
#include <thread>

namespace testsupport {

bool wait_until(const std::function<bool()>& condition, std::chrono::milliseconds limit,
                std::chrono::microseconds interval) {
  const auto deadline = std::chrono::steady_clock::now() + limit;
  while (!condition()) {
    if (std::chrono::steady_clock::now() >= deadline) return false;
    // Only how often the condition is looked at: nothing waits for this pause.
    std::this_thread::sleep_for(interval);
  }
  return true;
}

bool sleeps_in_poll(pid_t pid, pid_t tid) {
  std::ifstream syscall_file("/proc/" + std::to_string(pid) + "/task/" +
                             std::to_string(tid == 0 ? pid : tid) + "/syscall");
  long number = -1;
  if (!(syscall_file >> number)) return false;
#ifdef SYS_poll
  if (number == SYS_poll) return true;
#endif
  return number == SYS_ppoll;
}

}  // namespace testsupport
