#include "sys/command_line.h"

namespace sys {

ArgVector arguments_until_null(std::initializer_list<const char*> arguments) {
  ArgVector vector;
  for (const char* argument : arguments) {
    if (argument == nullptr || vector.count == ArgVector::kMax) break;
    vector.argv[vector.count++] = argument;
  }
  vector.argv[vector.count] = nullptr;
  return vector;
}

ArgVector shell_arguments(const char* command) {
  return arguments_until_null({kShellName, kShellCommandOption, command});
}

ArgVector program_arguments(const char* program, const char* arg1, const char* arg2) {
  return arguments_until_null({program, arg1, arg2});
}

}  // namespace sys
