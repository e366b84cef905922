// Certificates for TLS tests, made at run time with OpenSSL: a CA, server
// certificates it signs (right name, wrong name, expired), one signed by a CA
// nobody trusts, and a client certificate.
#pragma once

#include <string>

namespace testsupport {

/// A certificate file and its key file (PEM).
struct CertificatePair {
  std::string cert;
  std::string key;
};

/// Everything a TLS test needs, written into a directory.
struct TestCertificates {
  /// Makes every certificate below dir (which must exist); ok tells whether that worked.
  explicit TestCertificates(const std::string& dir);

  bool ok = false;
  std::string ca_file;          // the trusted CA's certificate
  std::string ca_dir;           // the same CA as a hashed directory (<hash>.0)
  CertificatePair server;       // "localhost" and 127.0.0.1, signed by the CA
  CertificatePair wrong_name;   // "news.other.invalid", signed by the CA
  CertificatePair expired;      // "localhost", expired yesterday
  CertificatePair untrusted;    // "localhost", signed by a CA nobody was given
  CertificatePair self_signed;  // "localhost", signed by its own key
  CertificatePair client;       // "tessu client", signed by the CA
};

}  // namespace testsupport
