#include "support/sendmail_recorder.h"

#include <fcntl.h>
#include <sched.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>
#include <cstdio>

#include "newssys/paths.h"

namespace testsupport {

SendmailRecorder::SendmailRecorder() {
  dir.write("recorder", "#!/bin/sh\nprintf '%s\\n' \"$@\" > " + dir.path("args") + "\ncat > " +
                            dir.path("mail") + "\nstatus=$(cat " + dir.path("status") +
                            " 2>/dev/null)\nexit ${status:-0}\n");
  chmod(script.c_str(), 0755);
}

bool enter_recording_namespace(const SendmailRecorder& recorder) {
  if (unshare(CLONE_NEWNS) != 0) return false;
  // Private first, so that nothing mounted below is seen outside.
  if (mount("none", "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0) return false;
  if (mount(recorder.script.c_str(), newssys::kSendmail, nullptr, MS_BIND, nullptr) == 0) {
    return true;
  }
  // No sendmail to cover (or a dangling link): an empty directory in its
  // place holds only the stand-in; the code under test needs nothing else there.
  const std::string fallback = "#!/bin/sh\nexec " + recorder.script + " \"$@\"\n";
  const std::string sendmail = newssys::kSendmail;
  const std::string directory = sendmail.substr(0, sendmail.rfind('/'));
  if (mount("tmpfs", directory.c_str(), "tmpfs", 0, "mode=0755") != 0) return false;
  const int fd = open(newssys::kSendmail, O_WRONLY | O_CREAT | O_TRUNC, 0755);
  if (fd < 0) return false;
  const bool written =
      write(fd, fallback.data(), fallback.size()) == static_cast<ssize_t>(fallback.size());
  close(fd);
  return written;
}

int run_with_recorder(const SendmailRecorder& recorder, const std::function<bool()>& body) {
  const std::string err_path = recorder.dir.path("stderr");
  fflush(stdout);
  fflush(stderr);
  const pid_t pid = fork();
  if (pid == 0) {
    const int fd = open(err_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    if (fd >= 0) dup2(fd, 2);
    if (!enter_recording_namespace(recorder)) _exit(kNoNamespace);
    const bool ok = body();
    fflush(stderr);
    _exit(ok ? 0 : 1);
  }
  int status = 0;
  waitpid(pid, &status, 0);
  return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
}

}  // namespace testsupport
