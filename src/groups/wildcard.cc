#include "groups/wildcard.h"

namespace groups {

namespace {

// Ranges in a class compare bytes the way a signed char does, so that
// bytes from 0x80 up sort below 0x00.
int as_signed(char byte) {
  return static_cast<signed char>(byte);
}

// Matches text at *t against the class that starts right after the '['
// at *p. Returns kWildTrue and leaves *p on the closing ']' when the byte is
// accepted, kWildFalse when it is not, kWildAbort when the class never ends.
int match_class(char t, const char** p) {
  const char* q = *p;
  bool negated = false;
  if (*q == '^') {
    negated = true;
    ++q;
  }
  bool found = false;
  char last = q[-1];
  if (*q == ']' || *q == '-') {
    if (*q == t) found = true;
    last = *q;
    ++q;
  }
  for (; *q != '\0' && *q != ']'; last = *q, ++q) {
    if (*q == '-' && q[1] != ']') {
      if (q[1] == '\0') return kWildAbort;  // "[a-" ends inside the class
      ++q;
      if (as_signed(t) >= as_signed(last) && as_signed(t) <= as_signed(*q)) found = true;
    } else if (*q == t) {
      found = true;
    }
  }
  if (*q == '\0') return kWildAbort;
  *p = q;
  return found != negated ? kWildTrue : kWildFalse;
}

}  // namespace

int match_wildcard(const char* text, const char* pattern) {
  if (*pattern == '\0') return *text == '\0' ? kWildTrue : kWildFalse;
  const char* t = text;
  for (const char* p = pattern; *p != '\0'; ++t, ++p) {
    if (*t == '\0' && *p != '*') return kWildAbort;
    switch (*p) {
      case '?':
        break;
      case '*': {
        while (p[1] == '*') ++p;
        if (p[1] == '\0') return kWildTrue;
        for (; *t != '\0'; ++t) {
          const int result = match_wildcard(t, p + 1);
          if (result != kWildFalse) return result;
        }
        return kWildAbort;
      }
      case '[': {
        ++p;
        const int result = match_class(*t, &p);
        if (result != kWildTrue) return result;
        break;
      }
      case '\\':
        if (p[1] == '\0') return kWildFalse;  // a trailing backslash escapes nothing
        ++p;
        if (*t != *p) return kWildFalse;
        break;
      default:
        if (*t != *p) return kWildFalse;
        break;
    }
  }
  return *t == '\0' ? kWildTrue : kWildFalse;
}

}  // namespace groups
