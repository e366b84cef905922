// The news system's own shell-variable configuration (innshellvars or a C
// News configuration), which fills the site path table.
#pragma once

namespace run {

/// Reads the configuration files (a ':'-separated list) and applies them to the
/// site path table and INN mode.
void read_site_config(const char* files);

}  // namespace run
