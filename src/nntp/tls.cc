#include "nntp/tls.h"

#include <arpa/inet.h>
#include <openssl/err.h>
#include <openssl/ssl.h>
#include <openssl/x509v3.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <cerrno>
#include <cstdint>
#include <cstring>

#include "base/settings.h"
#include "base/status.h"
#include "nntp/connection.h"
#include "report/exit.h"
#include "report/message.h"
#include "sys/timed_io.h"

namespace nntp {

TlsState g_tls;

namespace {

using report::message;

// The oldest protocol we accept: TLS 1.0 and 1.1 are deprecated (RFC 8996).
constexpr int kOldestProtocol = TLS1_2_VERSION;

constexpr size_t kReasonMax = 256;

int bio_socket(BIO* bio) {
  return static_cast<int>(reinterpret_cast<intptr_t>(BIO_get_data(bio)));
}

bool retryable(int error) {
  return error == EAGAIN || error == EWOULDBLOCK || error == EINTR;
}

// The session's socket I/O. OpenSSL's own socket BIO writes with write(),
// which raises SIGPIPE on a connection the server has closed; these calls
// never block (the poll in wait_for decides when to try again) and never
// raise a signal, like the plain connection's.
int bio_write(BIO* bio, const char* data, int length) {
  BIO_clear_retry_flags(bio);
  const ssize_t sent =
      send(bio_socket(bio), data, static_cast<size_t>(length), MSG_NOSIGNAL | MSG_DONTWAIT);
  if (sent < 0 && retryable(errno)) BIO_set_retry_write(bio);
  return static_cast<int>(sent);
}

int bio_read(BIO* bio, char* buffer, int size) {
  BIO_clear_retry_flags(bio);
  const ssize_t got = recv(bio_socket(bio), buffer, static_cast<size_t>(size), MSG_DONTWAIT);
  if (got < 0 && retryable(errno)) BIO_set_retry_read(bio);
  // Kept for BIO_CTRL_EOF: OpenSSL tells an end inside a record by it.
  if (got == 0) BIO_set_flags(bio, BIO_FLAGS_IN_EOF);
  return static_cast<int>(got);
}

long bio_control(BIO* bio, int command, long, void*) {
  if (command == BIO_CTRL_EOF) return BIO_test_flags(bio, BIO_FLAGS_IN_EOF) != 0 ? 1 : 0;
  return command == BIO_CTRL_FLUSH ? 1 : 0;
}

int bio_create(BIO* bio) {
  BIO_set_init(bio, 1);
  return 1;
}

BIO_METHOD* socket_method() {
  static BIO_METHOD* method = nullptr;
  if (method != nullptr) return method;
  method = BIO_meth_new(BIO_get_new_index() | BIO_TYPE_SOURCE_SINK, "tessu socket");
  if (method == nullptr) return nullptr;
  BIO_meth_set_write(method, bio_write);
  BIO_meth_set_read(method, bio_read);
  BIO_meth_set_ctrl(method, bio_control);
  BIO_meth_set_create(method, bio_create);
  return method;
}

// OpenSSL's reason for the last failure, as short as it says it.
const char* openssl_reason(char* buffer, size_t size) {
  const unsigned long code = ERR_peek_last_error();
  const char* reason = code != 0 ? ERR_reason_error_string(code) : nullptr;
  if (reason != nullptr) return reason;
  if (code != 0) {
    ERR_error_string_n(code, buffer, size);
    return buffer;
  }
  return nullptr;
}

// Why a call on the session failed: the certificate check's own words when
// that is what failed, else OpenSSL's reason, else the system's.
void describe_failure(SSL* session, int error, int saved_errno, char* text, size_t size) {
  const long verified = session != nullptr ? SSL_get_verify_result(session) : X509_V_OK;
  if (verified != X509_V_OK && base::g_settings.tls_insecure == 0) {
    snprintf(text, size, "certificate not accepted: %s", X509_verify_cert_error_string(verified));
    return;
  }
  char buffer[kReasonMax];
  const char* reason = openssl_reason(buffer, sizeof buffer);
  if (reason != nullptr) {
    snprintf(text, size, "%s", reason);
  } else if (error == SSL_ERROR_SYSCALL && saved_errno != 0) {
    snprintf(text, size, "%s", strerror(saved_errno));
  } else {
    snprintf(text, size, "connection closed by the server");
  }
}

// Why the last call on session failed, into reason; the error queue is emptied.
void take_reason(SSL* session, int error, char* reason, size_t size) {
  const int saved_errno = errno;
  describe_failure(session, error, saved_errno, reason, size);
  ERR_clear_error();
}

void report_reason(const char* what, const char* reason) {
  message(report::kError, "%s: %s", what, reason);
  errno = EPROTO;
}

void report_failure(const char* what, SSL* session, int error) {
  char reason[kReasonMax * 2];
  take_reason(session, error, reason, sizeof reason);
  report_reason(what, reason);
}

// A read that failed after it had data: the data is handed on first, and
// the next read reports the failure in the words it had.
void hold_read_failure(TlsState* tls, int error) {
  char reason[kReasonMax * 2];
  take_reason(tls->session, error, reason, sizeof reason);
  tls->held_read_failure = reason;
}

// Waits for what the session asked for (a read may need a write and a write a read).
Transfer wait_for(int fd, int error, int64_t deadline) {
  const short events = error == SSL_ERROR_WANT_WRITE ? POLLOUT : POLLIN;
  return sys::wait_descriptor(fd, events, deadline) ? Transfer::kData : Transfer::kTimedOut;
}

bool wants_io(int error) {
  return error == SSL_ERROR_WANT_READ || error == SSL_ERROR_WANT_WRITE;
}

// A configuration file the context cannot use ends the run: no connection
// would ever work.
[[noreturn]] void bad_file(const char* what, const char* path) {
  char buffer[kReasonMax];
  const char* reason = openssl_reason(buffer, sizeof buffer);
  message(report::kError, "can't use %s \"%s\": %s", what, path,
          reason != nullptr ? reason : "unusable");
  report::exit_run(base::kStatusConfig);
}

void load_authorities(SSL_CTX* context) {
  const base::Text& ca = base::g_settings.tls_ca;
  if (!base::has_text(ca)) {
    if (SSL_CTX_set_default_verify_paths(context) != 1) {
      message(report::kError, "can't load the system's CA store");
      report::exit_run(base::kStatusConfig);
    }
    return;
  }
  struct stat status;
  const bool directory = stat(ca->c_str(), &status) == 0 && S_ISDIR(status.st_mode);
  const int loaded = directory ? SSL_CTX_load_verify_locations(context, nullptr, ca->c_str())
                               : SSL_CTX_load_verify_locations(context, ca->c_str(), nullptr);
  if (loaded != 1) bad_file("TLS CA", ca->c_str());
}

void load_client_certificate(SSL_CTX* context) {
  const base::Settings& s = base::g_settings;
  if (!base::has_text(s.tls_cert)) return;
  // The key may sit in the certificate's own file.
  const char* key = base::has_text(s.tls_key) ? s.tls_key->c_str() : s.tls_cert->c_str();
  if (SSL_CTX_use_certificate_chain_file(context, s.tls_cert->c_str()) != 1) {
    bad_file("TLS certificate", s.tls_cert->c_str());
  }
  if (SSL_CTX_use_PrivateKey_file(context, key, SSL_FILETYPE_PEM) != 1 ||
      SSL_CTX_check_private_key(context) != 1) {
    bad_file("TLS key", key);
  }
}

SSL_CTX* make_context() {
  SSL_CTX* context = SSL_CTX_new(TLS_client_method());
  if (context == nullptr) {
    message(report::kError, "can't set up TLS");
    report::exit_run(base::kStatusInternal);
  }
  SSL_CTX_set_min_proto_version(context, kOldestProtocol);
  SSL_CTX_set_mode(context, SSL_MODE_ENABLE_PARTIAL_WRITE | SSL_MODE_ACCEPT_MOVING_WRITE_BUFFER);
  // A server sends an article in several records: one socket read takes
  // all that has arrived, and tls_read decrypts it record after record,
  // instead of two reads (header, then body) per record.
  SSL_CTX_set_read_ahead(context, 1);
  SSL_CTX_set_default_read_buffer_len(context, kStreamBufferSize);
  if (base::g_settings.tls_insecure != 0) {
    SSL_CTX_set_verify(context, SSL_VERIFY_NONE, nullptr);
  } else {
    SSL_CTX_set_verify(context, SSL_VERIFY_PEER, nullptr);
    load_authorities(context);
  }
  load_client_certificate(context);
  return context;
}

bool is_address_literal(const char* host) {
  unsigned char address[sizeof(in6_addr)];
  return inet_pton(AF_INET, host, address) == 1 || inet_pton(AF_INET6, host, address) == 1;
}

// SNI carries names only (RFC 6066 3); an address literal is checked as an address.
bool name_the_server(SSL* session, const char* host) {
  const bool literal = is_address_literal(host);
  if (!literal && SSL_set_tlsext_host_name(session, host) != 1) return false;
  if (base::g_settings.tls_insecure != 0) return true;
  if (literal) return X509_VERIFY_PARAM_set1_ip_asc(SSL_get0_param(session), host) == 1;
  SSL_set_hostflags(session, X509_CHECK_FLAG_NO_PARTIAL_WILDCARDS);
  return SSL_set1_host(session, host) == 1;
}

SSL* new_session(int fd, const char* host) {
  BIO_METHOD* method = socket_method();
  SSL* session = SSL_new(g_tls.context);
  BIO* bio = method != nullptr ? BIO_new(method) : nullptr;
  if (session == nullptr || bio == nullptr || !name_the_server(session, host)) {
    BIO_free(bio);
    SSL_free(session);
    return nullptr;
  }
  BIO_set_data(bio, reinterpret_cast<void*>(static_cast<intptr_t>(fd)));
  SSL_set_bio(session, bio, bio);
  SSL_set_connect_state(session);
  return session;
}

// Runs the handshake under one time-out; true when it is done.
bool shake_hands(SSL* session, int fd, const char* host) {
  const int64_t deadline = sys::timed_deadline();
  char what[kReasonMax];
  snprintf(what, sizeof what, "TLS handshake with %s failed", host);
  for (;;) {
    ERR_clear_error();
    const int result = SSL_do_handshake(session);
    if (result == 1) return true;
    const int error = SSL_get_error(session, result);
    if (!wants_io(error)) {
      report_failure(what, session, error);
      return false;
    }
    if (wait_for(fd, error, deadline) == Transfer::kTimedOut) {
      report_timeout("timeout in TLS handshake");
      return false;
    }
  }
}

}  // namespace

bool tls_requested() {
  const base::Settings& s = base::g_settings;
  return s.tls != 0 || s.starttls != 0 || s.starttls_if_offered != 0;
}

bool start_tls(int fd, const char* host) {
  if (g_tls.context == nullptr) g_tls.context = make_context();
  if (base::g_settings.tls_insecure != 0) {
    message(report::kError, "warning: TLS certificate not verified (--tls-insecure)");
  }
  SSL* session = new_session(fd, host);
  if (session == nullptr) {
    message(report::kError, "can't start TLS with %s", host);
    return false;
  }
  if (!shake_hands(session, fd, host)) {
    SSL_free(session);
    return false;
  }
  g_tls.session = session;
  g_tls.fd = fd;
  g_tls.description = std::string(SSL_get_version(session)) + " " + SSL_get_cipher_name(session);
  message(report::kDetail, "TLS: %s", g_tls.description.c_str());
  return true;
}

Transfer tls_read(TlsState* tls, char* buffer, size_t size, size_t* got, int64_t deadline) {
  if (!tls->held_read_failure.empty()) {
    report_reason("TLS read failed", tls->held_read_failure.c_str());
    return Transfer::kError;
  }
  *got = 0;
  for (;;) {
    ERR_clear_error();
    size_t piece = 0;
    const int result = SSL_read_ex(tls->session, buffer + *got, size - *got, &piece);
    if (result == 1) {
      *got += piece;
      // Records already received are decrypted into the same buffer; the
      // socket is tried again only for the rest of one begun (never waited for).
      if (*got == size || SSL_has_pending(tls->session) == 0) return Transfer::kData;
      continue;
    }
    const int error = SSL_get_error(tls->session, result);
    if (*got > 0) {
      // What came is handed on first: the server's closing alert shows
      // again on the next read, and a failure is kept for it.
      if (!wants_io(error) && error != SSL_ERROR_ZERO_RETURN) hold_read_failure(tls, error);
      return Transfer::kData;
    }
    if (error == SSL_ERROR_ZERO_RETURN) {
      // The server's closing alert: the end of the stream, as a plain close is.
      errno = EPIPE;
      return Transfer::kEnd;
    }
    if (!wants_io(error)) {
      report_failure("TLS read failed", tls->session, error);
      return Transfer::kError;
    }
    if (wait_for(tls->fd, error, deadline) == Transfer::kTimedOut) return Transfer::kTimedOut;
  }
}

Transfer tls_write(TlsState* tls, const char* data, size_t length, int64_t deadline) {
  while (length > 0) {
    ERR_clear_error();
    size_t sent = 0;
    const int result = SSL_write_ex(tls->session, data, length, &sent);
    if (result == 1) {
      data += sent;
      length -= sent;
      continue;
    }
    const int error = SSL_get_error(tls->session, result);
    if (!wants_io(error)) {
      report_failure("TLS write failed", tls->session, error);
      return Transfer::kError;
    }
    if (wait_for(tls->fd, error, deadline) == Transfer::kTimedOut) return Transfer::kTimedOut;
  }
  return Transfer::kData;
}

void stop_tls(TlsState* tls, int64_t deadline) {
  if (tls->session == nullptr) return;
  // Our closing alert is sent; the server's is not waited for, since the
  // connection is closed right after.
  for (;;) {
    ERR_clear_error();
    const int result = SSL_shutdown(tls->session);
    if (result >= 0) break;
    const int error = SSL_get_error(tls->session, result);
    if (error != SSL_ERROR_WANT_WRITE || wait_for(tls->fd, error, deadline) != Transfer::kData) {
      break;
    }
  }
  ERR_clear_error();
  SSL_free(tls->session);
  tls->session = nullptr;
  tls->fd = -1;
  tls->held_read_failure.clear();
}

}  // namespace nntp
