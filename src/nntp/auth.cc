#include "nntp/auth.h"

#include <cstdio>
#include <cstring>
#include <string>

#include "fetch/active.h"
#include "report/message.h"
#include "run/driver.h"
#include "run/settings.h"

namespace nntp {

void authenticate(const char*, const char*) {}
void mode_reader() {}

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
    run::exit_run(run::kStatusAuthSetup);
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
    fetch::syntax_check(user, 0, 2, "authinfo");
    run::exit_run(run::kStatusAuthSetup);
  }
  *end = '\0';
  report::message(report::kDetail, "username %s", user);
  char* password = skip_authinfo_space(end + 1);
  if (*password == '\0') {
    fetch::syntax_check(user, 1, 2, "authinfo");
    run::exit_run(run::kStatusAuthSetup);
  }
  char* password_end = password;
  while (*password_end != '\0' && !is_authinfo_space(*password_end)) ++password_end;
  *password_end = '\0';
  fclose(file);
  run::g_settings.authinfo_user = std::string(user);
  run::g_settings.authinfo_password = std::string(password);
  memset(line, 0, sizeof line);  // no stray copy of the password
}

}  // namespace nntp
