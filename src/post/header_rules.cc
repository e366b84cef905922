#include "post/header_rules.h"

#include <algorithm>
#include <cctype>
#include <cstring>

#include "base/settings.h"
#include "report/message.h"

namespace post {

namespace {

// When a header line is sent to the server.
enum class Send {
  kAlways,
  kUnlessNomsgid,    // --nomsgid lets the server make the message-ID
  kIhaveOnly,        // added by the server we fetched from; a relay keeps them
  kKeepPathOrIhave,  // our Path means nothing to a server we post to
  kNever,
};

// What a header line contributes to the collected values.
enum class Collect { kNothing, kFirstSender, kSender, kMessageId, kPathLength };

struct HeaderRule {
  const char* prefix;  // a trailing blank is part of the prefix
  Send send;
  Collect collect;
};

constexpr HeaderRule kRules[] = {
    {"From: ", Send::kAlways, Collect::kFirstSender},
    {"Message-ID: ", Send::kUnlessNomsgid, Collect::kMessageId},
    {"NNTP-Posting-Host:", Send::kIhaveOnly, Collect::kNothing},
    {"NNTP-Posting-Date:", Send::kIhaveOnly, Collect::kNothing},
    {"Path:", Send::kKeepPathOrIhave, Collect::kPathLength},
    {"Reply-to: ", Send::kAlways, Collect::kSender},
    {"Sender: ", Send::kAlways, Collect::kSender},
    {"Xref:", Send::kNever, Collect::kNothing},
    {"X-Server-Date:", Send::kIhaveOnly, Collect::kNothing},
    {"X-Trace:", Send::kIhaveOnly, Collect::kNothing},
    {"X-Complaints-To:", Send::kIhaveOnly, Collect::kNothing},
    // The injecting server's own record; a server refuses a POST that carries one.
    {"Injection-Info:", Send::kIhaveOnly, Collect::kNothing},
};

// The Path value starts after "Path: "; its steps are counted from there.
constexpr size_t kPathValueOffset = 6;

bool is_sent(Send send) {
  const base::Settings& s = base::g_settings;
  switch (send) {
    case Send::kAlways:
      return true;
    case Send::kUnlessNomsgid:
      return s.nomsgid == 0;
    case Send::kIhaveOnly:
      return s.ihave != 0;
    case Send::kKeepPathOrIhave:
      return s.keep_path != 0 || s.ihave != 0;
    case Send::kNever:
      return false;
  }
  return true;
}

// The text after the prefix up to the line end, cut to kHeaderValueMax.
std::string rest_of_line(const char* line, size_t length, const char* prefix) {
  const size_t skip = strlen(prefix);
  return std::string(line + skip, std::min(length - skip, kHeaderValueMax));
}

void check_path_length(const char* line, size_t length) {
  const size_t from = std::min(length, kPathValueOffset);
  const long steps = static_cast<long>(std::count(line + from, line + length, '!'));
  const long max_path = base::g_settings.max_path;
  if (steps > max_path) {
    report::message(report::kError, "article path is %ld steps long, max is %ld", steps, max_path);
  }
}

}  // namespace

bool has_prefix(const char* line, size_t length, const char* prefix) {
  for (size_t i = 0; prefix[i] != '\0'; ++i) {
    if (i >= length) return false;
    if (toupper(static_cast<unsigned char>(line[i])) !=
        toupper(static_cast<unsigned char>(prefix[i]))) {
      return false;
    }
  }
  return true;
}

void examine_header_line(const char* line, size_t length, bool* remove, HeaderValues* values) {
  if (length == 0 || (static_cast<unsigned char>(line[0]) & 0x80) != 0) {
    *remove = false;
    return;
  }
  // A folded line belongs to the header above it and shares its fate.
  if (line[0] == ' ' || line[0] == '\t') return;

  *remove = false;
  for (const HeaderRule& rule : kRules) {
    if (!has_prefix(line, length, rule.prefix)) continue;
    *remove = !is_sent(rule.send);
    switch (rule.collect) {
      case Collect::kNothing:
        break;
      case Collect::kFirstSender:
        if (values->sender.empty()) values->sender = rest_of_line(line, length, rule.prefix);
        break;
      case Collect::kSender:
        values->sender = rest_of_line(line, length, rule.prefix);
        break;
      case Collect::kMessageId:
        values->message_id = rest_of_line(line, length, rule.prefix);
        break;
      case Collect::kPathLength:
        check_path_length(line, length);
        break;
    }
    return;
  }
}

}  // namespace post
