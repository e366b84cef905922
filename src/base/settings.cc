#include "base/settings.h"

namespace base {

Settings g_settings;

int64_t effective_timeout() {
  return g_settings.timeout > 0 ? g_settings.timeout : 600;
}

}  // namespace base
