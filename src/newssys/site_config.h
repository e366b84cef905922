// The news system's own shell-variable configuration (innshellvars or a C
// News configuration), which fills the site path table.
#pragma once

#include <cstdio>
#include <string>
#include <unordered_map>

namespace newssys {

/// Longest variable name; longer names are ignored.
inline constexpr int kVariableNameMax = 30;
/// Longest line (and longest expanded value) of a configuration file.
inline constexpr int kConfigLineMax = 1023;
/// Configuration streams that may be open inside each other.
inline constexpr int kConfigDepthMax = 10;

/// The shell variables read so far, by name: a name defined again takes its
/// new value.
using VariableTable = std::unordered_map<std::string, std::string>;

/// The variables of this process; they survive from one reading to the next.
extern VariableTable g_variables;

/// The EXTENDEDDBZ flag of the site configuration (0 or 1).
extern int g_extended_dbz;

/// Reads the configuration files (a ':'-separated list): the first earlier
/// file that reads well, else the last one, which must; applies it to the site
/// path table and INN mode. A failing last file ends the run with status 8.
void read_site_config(const char* files);

/// Opens one configuration file and reads it; explicit makes a missing file an
/// error rather than a note. True when the whole file was read.
bool open_config(const char* path, bool explicit_name);

/// Reads the statements of an open configuration stream called name; true when
/// no include or eval inside it failed.
bool read_config(FILE* stream, const char* name);

/// Defines a variable (names that are empty or longer than kVariableNameMax
/// are ignored).
void define_variable(const char* name, const char* value);

/// The value of a variable, or null when it is not defined.
const char* lookup_variable(const char* name);

/// Fills the site path table and INN mode from the variables, reporting each
/// change; file_name names the configuration in messages.
void apply_site_config(const char* file_name);

/// Forgets every variable; lets tests start from an empty table.
void clear_variables();

}  // namespace newssys
