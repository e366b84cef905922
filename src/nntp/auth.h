// Authentication and reader mode.
#pragma once

namespace nntp {

/// Authenticates with AUTHINFO USER/PASS or the generic authenticator.
void authenticate(const char* user, const char* password);

/// Sends MODE READER.
void mode_reader();

}  // namespace nntp
