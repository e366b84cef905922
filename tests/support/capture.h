// Captures what the code under test writes to standard error or output.
#pragma once

#include <string>

namespace testsupport {

/// Redirects a descriptor (2 by default) into a temporary file until take() or destruction.
struct CaptureFd {
  explicit CaptureFd(int fd = 2);
  ~CaptureFd();
  CaptureFd(const CaptureFd&) = delete;
  CaptureFd& operator=(const CaptureFd&) = delete;

  /// Restores the descriptor and returns what was written meanwhile.
  std::string take();
  /// What was written so far, the capture going on (before take()).
  std::string peek() const;

  int fd_;
  int saved_ = -1;
  std::string path_;
  bool done_ = false;
};

}  // namespace testsupport
