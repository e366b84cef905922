// The header rules of posting: which header lines of a queued article are
// sent to the server, and what is collected from them for the log and a bounce.
#pragma once

#include <cstddef>
#include <string>

namespace post {

/// Longest message-ID or sender kept from a header line; the rest is cut.
inline constexpr size_t kHeaderValueMax = 511;

/// What the header rules collect from one article.
struct HeaderValues {
  std::string message_id;  // the "Message-ID: " value; empty when there is none
  std::string sender;      // the last Reply-to or Sender value, else the first From value
};

/// True when the line (length bytes) begins with prefix, letters compared
/// without regard to case.
bool has_prefix(const char* line, size_t length, const char* prefix);

/// Applies the header rules to one header line of length bytes (without its
/// line end): sets *remove for a line that must not be sent, clears it for a
/// line that must be sent, leaves it for a continuation line; collects the
/// message-ID and the sender into values.
void examine_header_line(const char* line, size_t length, bool* remove, HeaderValues* values);

}  // namespace post
