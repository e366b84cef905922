// TLS under the server connection's buffered streams (OpenSSL): the
// handshake with certificate verification, reads and writes bounded by the
// time-out, and the closing alert.
#pragma once

#include <openssl/types.h>

#include <cstddef>
#include <cstdint>
#include <string>

namespace nntp {

/// The TLS state of the server connection.
struct TlsState {
  SSL_CTX* context = nullptr;
  SSL* session = nullptr;         // set once the handshake is done, until stop_tls
  int fd = -1;                    // the socket the session runs on
  std::string description;        // protocol and cipher, "TLSv1.3 TLS_AES_256_GCM_SHA384"
  std::string held_read_failure;  // why a read that returned data then failed, for the next read
};

/// The TLS state of this run (one server connection per run).
extern TlsState g_tls;

/// What a read or a write on the connection's transport came to.
enum class Transfer { kData, kEnd, kError, kTimedOut };

/// True when the run asked for TLS in any form (--tls, --starttls, --starttls-if-offered).
bool tls_requested();

/// Runs the TLS handshake as a client on the socket fd, sending host as SNI
/// and checking the certificate against it (unless --tls-insecure), within
/// the time-out; true once the session is up (g_tls.session), false after a
/// message naming the reason.
bool start_tls(int fd, const char* host);

/// Reads up to size bytes of plain text into buffer: all that the records
/// already received hold, waiting under deadline (milliseconds on the
/// monotonic clock) only while there is none; kData with *got set, kEnd at
/// the server's close, kError after a message, or kTimedOut.
Transfer tls_read(TlsState* tls, char* buffer, size_t size, size_t* got, int64_t deadline);

/// Writes all of data, waiting under deadline as tls_read does; kData when
/// all was written, else kError (after a message) or kTimedOut.
Transfer tls_write(TlsState* tls, const char* data, size_t length, int64_t deadline);

/// Sends the closing alert, waiting for it at most until deadline, and frees the session.
void stop_tls(TlsState* tls, int64_t deadline);

}  // namespace nntp
