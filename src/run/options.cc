#include "run/options.h"

namespace run {

void parse_options(int, char**) {}
void read_profile(const char*, bool) {}
void usage() {}

}  // namespace run
