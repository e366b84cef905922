#include "newssys/commands.h"

#include <cinttypes>
#include <cstdio>
#include <limits>

namespace newssys {

namespace {

// "-t", an optional sign and the digits of the widest value, and the final null.
static_assert(2 + 1 + std::numeric_limits<int64_t>::digits10 + 1 + 1 <=
                  static_cast<int>(sizeof(CtlinndTimeoutBuffer)),
              "ctlinnd time-out argument buffer too small");

// Appends arguments until the first null one; later ones are dropped with it.
struct Builder {
  ArgVector vector;
  bool ended = false;

  Builder& add(const char* argument) {
    if (ended || argument == nullptr || vector.count == ArgVector::kMax) {
      ended = true;
      return *this;
    }
    vector.argv[vector.count++] = argument;
    vector.argv[vector.count] = nullptr;
    return *this;
  }
};

}  // namespace

void format_ctlinnd_timeout(CtlinndTimeoutBuffer& dest, int64_t seconds) {
  snprintf(dest, sizeof dest, "-t%" PRId64, seconds);
}

ArgVector ctlinnd_arguments(const char* path, const char* timeout_arg, const char* command,
                            const char* argument) {
  Builder builder;
  builder.add(path).add(kCtlinndSilent).add(timeout_arg).add(command).add(argument);
  return builder.vector;
}

ArgVector shell_arguments(const char* command) {
  Builder builder;
  builder.add(kShellName).add(kShellCommandOption).add(command);
  return builder.vector;
}

ArgVector program_arguments(const char* program, const char* arg1, const char* arg2) {
  Builder builder;
  builder.add(program).add(arg1).add(arg2);
  return builder.vector;
}

}  // namespace newssys
