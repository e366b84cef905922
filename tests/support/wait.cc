#include "support/wait.h"

#include <thread>

namespace testsupport {

bool wait_until(const std::function<bool()>& condition, std::chrono::milliseconds limit) {
  const auto deadline = std::chrono::steady_clock::now() + limit;
  while (!condition()) {
    if (std::chrono::steady_clock::now() >= deadline) return false;
    // Only how often the condition is looked at: nothing waits for this pause.
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  return true;
}

}  // namespace testsupport
