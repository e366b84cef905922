// Wildcard patterns of the INN newsfeeds file and of --groups: '*', '?',
// character classes and backslash escapes.
#pragma once

namespace groups {

/// Results of match_wildcard; only kWildTrue is a match.
inline constexpr int kWildTrue = 1;
inline constexpr int kWildFalse = 0;
/// The text can match neither here nor at any later position (the caller's '*' gives up).
inline constexpr int kWildAbort = -1;

/// Matches text against a wildcard pattern; returns kWildTrue, kWildFalse or kWildAbort.
/// Class ranges compare bytes as signed 8-bit values; a class without its
/// closing ']' never matches (kWildAbort).
int match_wildcard(const char* text, const char* pattern);

}  // namespace groups
