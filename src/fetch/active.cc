#include "fetch/active.h"

namespace fetch {

void read_active(bool) {}

}  // namespace fetch
