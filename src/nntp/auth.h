// Authentication and reader mode.
#pragma once

namespace nntp {

/// Authenticates with AUTHINFO USER/PASS or the generic authenticator.
void authenticate(const char* user, const char* password);

/// Sends MODE READER.
void mode_reader();

/// Reads the user name and password from the first usable line of an
/// authorization file into the settings; sets neither when there is none.
/// A file that cannot be opened or is malformed ends the run (10).
void read_authinfo_file(const char* path);

}  // namespace nntp
