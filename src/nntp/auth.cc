#include "nntp/auth.h"

#include <fcntl.h>
#include <unistd.h>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "base/settings.h"
#include "base/status.h"
#include "newssys/commands.h"
#include "newssys/paths.h"
#include "nntp/capabilities.h"
#include "nntp/connection.h"
#include "nntp/replies.h"
#include "report/exit.h"
#include "report/message.h"
#include "report/title.h"
#include "report/util.h"
#include "sys/children.h"
#include "sys/command_line.h"

namespace nntp {

namespace {

// Status lines and commands of this exchange (RFC 4643 keeps them within 512 octets).
constexpr int kAuthLineBuffer = kStatusLineBuffer;
constexpr int kEnvironmentMax = 1023;

// Reads a reply; a broken connection ends the run.
void read_reply(char* buffer) {
  if (get_reply(buffer, kAuthLineBuffer) == 0) report::exit_run(base::kStatusBroken);
}

void send_or_end(const char* command) {
  if (!put_line(command)) report::exit_run(base::kStatusBroken);
}

void authinfo_user(const char* user, const char* password) {
  char buffer[kAuthLineBuffer];
  snprintf(buffer, sizeof buffer, "AUTHINFO USER %s", user);  // cut at the buffer
  send_or_end(buffer);
  if (base::g_settings.dry_run) return;
  read_reply(buffer);
  if (reply_code(buffer) != kPasswordRequired) {
    report::message(report::kError, "NNTP authinfo protocol error: got \"%s\"", buffer);
    report::exit_run(base::kStatusRefused);
  }
  report::message(report::kSent, "%s\n", "AUTHINFO PASS *");
  snprintf(buffer, sizeof buffer, "AUTHINFO PASS %s", password);
  const int sent = put_line_quiet(buffer);
  explicit_bzero(buffer, sizeof buffer);  // the password must not stay behind
  if (!sent) report::exit_run(base::kStatusBroken);
  read_reply(buffer);
  if (reply_code(buffer) != kAuthAccepted) {
    report::message(report::kError, "NNTP authorization failed: got \"%s\"", buffer);
    report::exit_run(base::kStatusBroken);
  }
}

// The descriptor a generic authenticator gets third: the one the environment
// already names, or a fresh anonymous file.
int third_auth_descriptor() {
  unsigned third = 0;
  const char* fds = getenv("NNTP_AUTH_FDS");
  if (fds != nullptr && sscanf(fds, "%*u.%*u.%u", &third) == 1) return static_cast<int>(third);
  FILE* file = tmpfile();
  if (file == nullptr) {
    report::message(report::kSysError, "cannot create temp file");
    report::unlock_exit(base::kStatusInternal);
  }
  return fileno(file);
}

// Runs the authenticator through the shell with the connection's descriptors
// open (they are close-on-exec for every other child); its wait status.
int run_authenticator(const char* command, int third) {
  fflush(stdout);
  fflush(stderr);
  const pid_t pid = fork();
  if (pid < 0) {
    report::message(report::kSysError, "could not fork");
    report::exit_run(base::kStatusInternal);
  }
  if (pid == 0) {
    for (int fd : {g_connection.read_fd, g_connection.write_fd, third}) {
      if (fd >= 0) fcntl(fd, F_SETFD, 0);
    }
    const sys::ArgVector args = sys::shell_arguments(command);
    execv(sys::kShell, const_cast<char* const*>(args.argv));
    report::message(report::kSysError, "could not exec %s", sys::kShell);
    fflush(stderr);
    _exit(1);
  }
  return sys::wait_child(pid);
}

void authinfo_generic(const char* command) {
  const int third = third_auth_descriptor();
  if (!base::g_settings.dry_run) {
    // putenv keeps the pointer: the text lives for the rest of the run.
    static char variable[kEnvironmentMax + 1];
    snprintf(variable, sizeof variable, "NNTP_AUTH_FDS=%d.%d.%d", g_connection.read_fd,
             g_connection.write_fd, third);
    putenv(variable);
  }
  char buffer[kAuthLineBuffer];
  snprintf(buffer, sizeof buffer, "AUTHINFO GENERIC %s", command);  // cut at the buffer
  put_line(buffer);
  report::message(report::kNotice, "spawning authinfo generic process: %s", command);
  report::set_state("spawning authinfo generic process");
  if (base::g_settings.dry_run) return;
  if (run_authenticator(command, third) != 0) {
    report::message(report::kError, "authentication failed");
    report::unlock_exit(base::kStatusRefused);
  }
}

}  // namespace

void authenticate(const char* user, const char* password) {
  report::set_state("do authinfo");
  // The server may offer other capabilities once we are known (RFC 4643 2.2).
  g_capabilities.current = false;
  if (base::g_settings.authinfo_generic) {
    authinfo_generic(user);
  } else {
    authinfo_user(user, password);
  }
}

void mode_reader() {
  report::set_state("mode reader");
  // A server may switch programs on MODE READER (RFC 3977 5.3).
  g_capabilities.current = false;
  send_or_end("MODE READER");
  if (base::g_settings.dry_run) return;
  char buffer[kAuthLineBuffer];
  read_reply(buffer);
  const int code = reply_code(buffer);
  if (code != kPostingAllowed && code != kPostingProhibited) {
    report::message(report::kError, "NNTP mode reader protocol error: got \"%s\"", buffer);
    report::exit_run(base::kStatusRefused);
  }
}

namespace {

// A line of the authorization file, as fgets leaves it.
constexpr int kAuthinfoLineMax = 1024;

bool is_authinfo_space(char c) {
  return c == ' ' || c == '\t' || c == '\r' || c == '\n' || c == '\v' || c == '\f';
}

char* skip_authinfo_space(char* p) {
  while (is_authinfo_space(*p)) ++p;
  return p;
}

}  // namespace

void read_authinfo_file(const char* path) {
  FILE* file = fopen(path, "r");
  if (file == nullptr) {
    report::message(report::kSysError, "can't open authorization file \"%s\"", path);
    report::exit_run(base::kStatusAuthSetup);
  }
  if (!report::check_root_owned(file, "authorization file", path)) {
    fclose(file);
    report::exit_run(base::kStatusConfig);
  }
  char line[kAuthinfoLineMax];
  char* user = nullptr;
  while (fgets(line, sizeof line, file) != nullptr) {
    char* start = skip_authinfo_space(line);
    if (*start != '\0' && *start != '#') {
      user = start;
      break;
    }
  }
  if (user == nullptr) {
    fclose(file);
    return;
  }
  char* end = user;
  while (*end != '\0' && !is_authinfo_space(*end)) ++end;
  if (*end == '\0') {
    report::syntax_check(user, 0, 2, "authinfo");
    report::exit_run(base::kStatusAuthSetup);
  }
  *end = '\0';
  report::message(report::kDetail, "username %s", user);
  char* password = skip_authinfo_space(end + 1);
  if (*password == '\0') {
    report::syntax_check(user, 1, 2, "authinfo");
    report::exit_run(base::kStatusAuthSetup);
  }
  char* password_end = password;
  while (*password_end != '\0' && !is_authinfo_space(*password_end)) ++password_end;
  *password_end = '\0';
  fclose(file);
  base::g_settings.authinfo_user = std::string(user);
  base::g_settings.authinfo_password = std::string(password);
  memset(line, 0, sizeof line);  // no stray copy of the password
}

}  // namespace nntp
