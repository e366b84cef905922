#include "support/capture.h"

#include <unistd.h>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <sstream>

namespace testsupport {

CaptureFd::CaptureFd(int fd) : fd_(fd) {
  char templ[] = "/tmp/tessu-capture-XXXXXX";
  const int file = mkstemp(templ);
  path_ = templ;
  fflush(stdout);
  fflush(stderr);
  saved_ = dup(fd_);
  dup2(file, fd_);
  close(file);
}

CaptureFd::~CaptureFd() {
  take();
}

std::string CaptureFd::peek() const {
  std::ifstream file(path_, std::ios::binary);
  std::stringstream content;
  content << file.rdbuf();
  return content.str();
}

std::string CaptureFd::take() {
  if (done_) return "";
  done_ = true;
  fflush(stdout);
  fflush(stderr);
  dup2(saved_, fd_);
  close(saved_);
  const std::string content = peek();
  unlink(path_.c_str());
  return content;
}

}  // namespace testsupport
