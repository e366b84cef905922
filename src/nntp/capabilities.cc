#include "nntp/capabilities.h"

#include <strings.h>
#include <cstring>

#include "base/settings.h"
#include "base/status.h"
#include "nntp/connection.h"
#include "nntp/replies.h"
#include "report/exit.h"
#include "report/message.h"

namespace nntp {

Capabilities g_capabilities;

namespace {

// The words of a capability line, split at blanks and tabs.
std::vector<std::string> words_of(const std::string& line) {
  std::vector<std::string> words;
  size_t i = 0;
  while (i < line.size()) {
    while (i < line.size() && (line[i] == ' ' || line[i] == '\t')) ++i;
    const size_t start = i;
    while (i < line.size() && line[i] != ' ' && line[i] != '\t') ++i;
    if (i > start) words.push_back(line.substr(start, i - start));
  }
  return words;
}

void read_list(std::vector<std::string>* lines) {
  char line[kStatusLineBuffer];
  for (;;) {
    if (!get_text_line(line, sizeof line)) report::exit_run(base::kStatusBroken);
    size_t length = strlen(line);
    while (length > 0 && (line[length - 1] == '\r' || line[length - 1] == '\n')) --length;
    line[length] = '\0';
    if (strcmp(line, ".") == 0) return;
    const char* text = line[0] == '.' ? line + 1 : line;
    if (lines->size() < kCapabilityLinesMax) lines->push_back(text);
  }
}

}  // namespace

void read_capabilities() {
  Capabilities& c = g_capabilities;
  c.lines.clear();
  c.current = true;
  if (!put_line("CAPABILITIES")) report::exit_run(base::kStatusBroken);
  char reply[kStatusLineBuffer];
  if (get_reply(reply, sizeof reply) == 0) report::exit_run(base::kStatusBroken);
  if (reply_code(reply) != kCapabilityList) {
    report::message(report::kDetail, "server lists no capabilities: got \"%s\"", reply);
    return;
  }
  read_list(&c.lines);
}

bool capability_listed(const std::vector<std::string>& lines, const char* name,
                       const char* argument) {
  for (const std::string& line : lines) {
    const std::vector<std::string> words = words_of(line);
    if (words.empty() || strcasecmp(words[0].c_str(), name) != 0) continue;
    if (*argument == '\0') return true;
    for (size_t i = 1; i < words.size(); ++i) {
      if (strcasecmp(words[i].c_str(), argument) == 0) return true;
    }
  }
  return false;
}

bool has_capability(const char* name, const char* argument) {
  return capability_listed(g_capabilities.lines, name, argument);
}

}  // namespace nntp
