#include "fetch/pull.h"

namespace fetch {

bool pull(const char*) { return true; }
void pull_cleanup(bool) {}

}  // namespace fetch
