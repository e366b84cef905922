#include "support/tls_certs.h"

#include <openssl/evp.h>
#include <openssl/pem.h>
#include <openssl/x509.h>
#include <openssl/x509v3.h>
#include <sys/stat.h>

#include <cstdio>

namespace testsupport {

namespace {

constexpr long kDay = 86400;

struct Issuer {
  X509* cert = nullptr;
  EVP_PKEY* key = nullptr;
};

bool add_extension(X509* cert, X509V3_CTX* context, int nid, const char* value) {
  X509_EXTENSION* extension = X509V3_EXT_conf_nid(nullptr, context, nid, value);
  if (extension == nullptr) return false;
  const bool added = X509_add_ext(cert, extension, -1) == 1;
  X509_EXTENSION_free(extension);
  return added;
}

// A certificate for key named cn, valid from `from` to `until` days from
// now; signed by issuer, or by key itself when issuer has no certificate.
X509* make_certificate(EVP_PKEY* key, const char* cn, const Issuer& issuer, bool ca,
                       const char* alt_names, long from, long until, long serial) {
  X509* cert = X509_new();
  X509_set_version(cert, 2);
  ASN1_INTEGER_set(X509_get_serialNumber(cert), serial);
  X509_gmtime_adj(X509_getm_notBefore(cert), from * kDay);
  X509_gmtime_adj(X509_getm_notAfter(cert), until * kDay);
  X509_set_pubkey(cert, key);
  X509_NAME* name = X509_get_subject_name(cert);
  X509_NAME_add_entry_by_txt(name, "CN", MBSTRING_ASC, reinterpret_cast<const unsigned char*>(cn),
                             -1, -1, 0);
  X509* signer = issuer.cert != nullptr ? issuer.cert : cert;
  X509_set_issuer_name(cert, X509_get_subject_name(signer));
  X509V3_CTX context;
  X509V3_set_ctx_nodb(&context);
  X509V3_set_ctx(&context, signer, cert, nullptr, nullptr, 0);
  bool ok = add_extension(cert, &context, NID_basic_constraints,
                          ca ? "critical,CA:TRUE" : "critical,CA:FALSE") &&
            add_extension(cert, &context, NID_subject_key_identifier, "hash");
  if (ca) ok = ok && add_extension(cert, &context, NID_key_usage, "critical,keyCertSign,cRLSign");
  if (alt_names != nullptr) {
    ok = ok && add_extension(cert, &context, NID_subject_alt_name, alt_names);
  }
  EVP_PKEY* signing_key = issuer.key != nullptr ? issuer.key : key;
  if (!ok || X509_sign(cert, signing_key, EVP_sha256()) == 0) {
    X509_free(cert);
    return nullptr;
  }
  return cert;
}

bool write_pem(const std::string& path, X509* cert, EVP_PKEY* key) {
  FILE* file = fopen(path.c_str(), "w");
  if (file == nullptr) return false;
  const bool ok = cert != nullptr
                      ? PEM_write_X509(file, cert) == 1
                      : PEM_write_PrivateKey(file, key, nullptr, nullptr, 0, nullptr, nullptr) == 1;
  return fclose(file) == 0 && ok;
}

// Makes a key and a certificate for it, written as dir/name.crt and dir/name.key.
bool make_pair(const std::string& dir, const char* name, const char* cn, const Issuer& issuer,
               const char* alt_names, long from, long until, long serial, CertificatePair* pair,
               Issuer* made = nullptr) {
  EVP_PKEY* key = EVP_EC_gen("P-256");
  if (key == nullptr) return false;
  X509* cert = make_certificate(key, cn, issuer, made != nullptr, alt_names, from, until, serial);
  pair->cert = dir + "/" + name + ".crt";
  pair->key = dir + "/" + name + ".key";
  const bool ok =
      cert != nullptr && write_pem(pair->cert, cert, nullptr) && write_pem(pair->key, nullptr, key);
  if (made != nullptr && ok) {
    *made = Issuer{cert, key};
    return true;
  }
  X509_free(cert);
  EVP_PKEY_free(key);
  return ok;
}

constexpr const char* kLocalNames = "DNS:localhost,IP:127.0.0.1";

}  // namespace

TestCertificates::TestCertificates(const std::string& dir) {
  Issuer ca;
  Issuer other_ca;
  CertificatePair ca_pair;
  CertificatePair other_pair;
  const Issuer none;
  ok =
      make_pair(dir, "ca", "tessu test CA", none, nullptr, -1, 30, 1, &ca_pair, &ca) &&
      make_pair(dir, "other-ca", "nobody's CA", none, nullptr, -1, 30, 2, &other_pair, &other_ca) &&
      make_pair(dir, "server", "localhost", ca, kLocalNames, -1, 30, 3, &server) &&
      make_pair(dir, "wrong-name", "news.other.invalid", ca, "DNS:news.other.invalid", -1, 30, 4,
                &wrong_name) &&
      make_pair(dir, "expired", "localhost", ca, kLocalNames, -30, -1, 5, &expired) &&
      make_pair(dir, "untrusted", "localhost", other_ca, kLocalNames, -1, 30, 6, &untrusted) &&
      make_pair(dir, "self-signed", "localhost", none, kLocalNames, -1, 30, 7, &self_signed) &&
      make_pair(dir, "client", "tessu client", ca, nullptr, -1, 30, 8, &client);
  ca_file = ca_pair.cert;
  if (ok) {
    ca_dir = dir + "/ca.d";
    char hashed[32];
    snprintf(hashed, sizeof hashed, "/%08lx.0", X509_subject_name_hash(ca.cert));
    ok = mkdir(ca_dir.c_str(), 0755) == 0 && write_pem(ca_dir + hashed, ca.cert, nullptr);
  }
  X509_free(ca.cert);
  EVP_PKEY_free(ca.key);
  X509_free(other_ca.cert);
  EVP_PKEY_free(other_ca.key);
}

}  // namespace testsupport
