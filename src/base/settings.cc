#include "base/settings.h"

namespace base {

Settings g_settings;

}  // namespace base
