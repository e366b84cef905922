#include "post/bounce.h"

#include <poll.h>
#include <sys/types.h>
#include <unistd.h>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <string>

#include "base/settings.h"
#include "newssys/paths.h"
#include "report/message.h"
#include "report/title.h"
#include "report/util.h"
#include "sys/children.h"
#include "sys/signals.h"

namespace post {

namespace {

using report::message;

// RFC 2046 5.1.1: the boundary of the multipart bounce; it cannot occur in the
// report, and an article holding it on a line of its own is most unlikely.
constexpr const char* kBoundary = "XXXXXXXXXXXXXXXXXXXXXXXXXXXXXXX";

constexpr const char* kCharset = "US-ASCII";

// The port that needs no mention in the report.
constexpr const char* kDefaultPort = "nntp";

void append_format(std::string* mail, const char* format, const char* value) {
  const int needed = snprintf(nullptr, 0, format, value);
  if (needed <= 0) return;
  std::string line(static_cast<size_t>(needed) + 1, '\0');
  snprintf(line.data(), line.size(), format, value);
  line.resize(static_cast<size_t>(needed));
  *mail += line;
}

// The whole mail: header, report and, as --attach says, the article.
std::string compose(const char* address, const char* text, size_t length, time_t entered,
                    const char* entry, const char* message_id, const char* reason) {
  const base::Settings& s = base::g_settings;
  const bool mime = s.attach == base::kAttachMime;
  const char* host = base::text_or_empty(s.server_host);
  const char* port = base::text_or_empty(s.server_port);
  if (strcmp(port, kDefaultPort) == 0) port = "";

  std::string mail;
  append_format(&mail, "To: %s\n", address);
  mail += "Subject: News posting failed\n";
  mail += "Auto-Submitted: auto-generated (failure)\n";
  if (mime) {
    mail += "MIME-Version: 1.0\n";
    append_format(&mail, "Content-Type: MULTIPART/MIXED; BOUNDARY=\"%s\"\n", kBoundary);
  }
  mail += "\n";
  if (mime) {
    append_format(&mail, "--%s\n", kBoundary);
    append_format(&mail, "Content-Type: TEXT/PLAIN; charset=%s\n\n", kCharset);
  }
  mail += "   ----- The following news message could not be posted -----\n";
  append_format(&mail, "Message-ID: %s\n", message_id);
  append_format(&mail, "Spool file: %s\n", entry);
  if (entered != 0) append_format(&mail, "Entered: %s\n", report::time_string(entered));
  mail += "Host: ";
  mail += host;
  mail += " ";
  mail += port;
  mail += "\n\n";
  mail += "   ----- Reason for failure -----\n";
  append_format(&mail, "%s\n\n", reason);
  if (s.attach == base::kAttachNo) return mail;

  mail += "   ----- Complete message follows -----\n";
  if (mime) {
    append_format(&mail, "--%s\n", kBoundary);
    append_format(&mail, "Content-Type: TEXT/PLAIN; charset=%s\n", kCharset);
    append_format(&mail, "Content-ID: %s\n", message_id);
    append_format(&mail, "Content-Description: Failed posting to %s\n\n", host);
  }
  mail.append(text, length);
  if (mime) {
    // The closing delimiter must stand on a line of its own.
    if (length == 0 || text[length - 1] != '\n') mail += "\n";
    append_format(&mail, "--%s--\n", kBoundary);
  }
  return mail;
}

// Writes the mail to sendmail's input. A sendmail that ends early must not end
// us by SIGPIPE: the write then fails, and that is not examined; the wait
// status tells the outcome.
void write_mail(int fd, const std::string& mail) {
  sigset_t pipe_only;
  sigset_t previous;
  sigset_t pending;
  sigemptyset(&pipe_only);
  sigaddset(&pipe_only, SIGPIPE);
  sigpending(&pending);
  const bool was_pending = sigismember(&pending, SIGPIPE) == 1;
  sigprocmask(SIG_BLOCK, &pipe_only, &previous);

  const char* data = mail.data();
  size_t left = mail.size();
  while (left > 0) {
    struct pollfd waits[2] = {{fd, POLLOUT, 0}, {sys::signal_fd(), POLLIN, 0}};
    const nfds_t count = waits[1].fd >= 0 ? 2 : 1;
    if (poll(waits, count, -1) < 0 && errno != EINTR) break;
    sys::check_signals();
    if (waits[0].revents == 0) continue;
    const ssize_t written = write(fd, data, left);
    if (written < 0 && (errno == EINTR || errno == EAGAIN)) continue;
    if (written <= 0) break;
    data += written;
    left -= static_cast<size_t>(written);
  }

  if (!was_pending) {
    struct timespec no_wait = {0, 0};
    sigtimedwait(&pipe_only, nullptr, &no_wait);
  }
  sigprocmask(SIG_SETMASK, &previous, nullptr);
}

}  // namespace

bool bounce_mail(const char* address, const char* text, size_t length, time_t entered,
                 const char* entry, const char* message_id, const char* reason) {
  report::set_state("bounce message");
  if (address == nullptr || *address == '\0') return false;

  message(report::kDetail, "forking...");
  pid_t pid = -1;
  FILE* pipe = sys::pipe_to_program(newssys::kSendmail, &pid, address, nullptr);
  if (pipe == nullptr) {
    message(report::kError, "can't run sendmail: %s", newssys::kSendmail);
    return false;
  }

  message(report::kDetail, "write...");
  const std::string mail = compose(address, text, length, entered, entry,
                                   message_id != nullptr ? message_id : "", reason);
  write_mail(fileno(pipe), mail);
  fclose(pipe);

  message(report::kDetail, "wait pid %d...", static_cast<int>(pid));
  const int status = sys::wait_child(pid);
  message(report::kProgress, "sendmail status is %d", status);
  return status == 0;
}

}  // namespace post
