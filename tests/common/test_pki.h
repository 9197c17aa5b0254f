#pragma once
// A certificate authority and server certificates made at test time, so that
// no key is ever committed. EC P-256 keys, SHA-256 signatures.

#include <openssl/evp.h>
#include <openssl/pem.h>
#include <openssl/x509.h>
#include <openssl/x509v3.h>

#include <cstdlib>
#include <memory>
#include <string>
#include <vector>

namespace velarix::test {

struct PemPair {
  std::string cert_pem;
  std::string key_pem;
};

class TestCa {
 public:
  // A self-signed CA named `name`.
  explicit TestCa(const std::string& name = "Velarix Test CA") : key_(make_key()), cert_(X509_new()) {
    fill(cert_.get(), name, key_.get(), 1);
    X509_set_issuer_name(cert_.get(), X509_get_subject_name(cert_.get()));
    add_ext(cert_.get(), cert_.get(), NID_basic_constraints, "critical,CA:TRUE");
    add_ext(cert_.get(), cert_.get(), NID_key_usage, "critical,keyCertSign,cRLSign");
    add_ext(cert_.get(), cert_.get(), NID_subject_key_identifier, "hash");
    if (X509_sign(cert_.get(), key_.get(), EVP_sha256()) == 0) std::abort();
  }

  std::string cert_pem() const { return to_pem(cert_.get()); }

  // A server certificate for `alt_names` ("DNS:localhost,IP:127.0.0.1").
  PemPair issue(const std::string& alt_names) {
    Key key(make_key());
    Cert cert(X509_new());
    fill(cert.get(), "velarix test server", key.get(), ++serial_);
    X509_set_issuer_name(cert.get(), X509_get_subject_name(cert_.get()));
    add_ext(cert_.get(), cert.get(), NID_basic_constraints, "CA:FALSE");
    add_ext(cert_.get(), cert.get(), NID_subject_alt_name, alt_names.c_str());
    add_ext(cert_.get(), cert.get(), NID_ext_key_usage, "serverAuth");
    add_ext(cert_.get(), cert.get(), NID_authority_key_identifier, "keyid");
    if (X509_sign(cert.get(), key_.get(), EVP_sha256()) == 0) std::abort();
    PemPair out;
    out.cert_pem = to_pem(cert.get());
    BIO* bio = BIO_new(BIO_s_mem());
    PEM_write_bio_PrivateKey(bio, key.get(), nullptr, nullptr, 0, nullptr, nullptr);
    out.key_pem = drain(bio);
    return out;
  }

 private:
  struct KeyFree {
    void operator()(EVP_PKEY* k) const { EVP_PKEY_free(k); }
  };
  struct CertFree {
    void operator()(X509* c) const { X509_free(c); }
  };
  using Key = std::unique_ptr<EVP_PKEY, KeyFree>;
  using Cert = std::unique_ptr<X509, CertFree>;

  static EVP_PKEY* make_key() {
    EVP_PKEY* k = EVP_EC_gen("P-256");
    if (k == nullptr) std::abort();
    return k;
  }

  static void fill(X509* cert, const std::string& cn, EVP_PKEY* key, long serial) {
    X509_set_version(cert, 2);
    ASN1_INTEGER_set(X509_get_serialNumber(cert), serial);
    X509_gmtime_adj(X509_getm_notBefore(cert), -3600);
    X509_gmtime_adj(X509_getm_notAfter(cert), 24 * 3600);
    X509_set_pubkey(cert, key);
    X509_NAME_add_entry_by_txt(X509_get_subject_name(cert), "CN", MBSTRING_ASC,
                               reinterpret_cast<const unsigned char*>(cn.c_str()), -1, -1, 0);
  }

  static void add_ext(X509* issuer, X509* cert, int nid, const char* value) {
    X509V3_CTX ctx;
    X509V3_set_ctx(&ctx, issuer, cert, nullptr, nullptr, 0);
    X509_EXTENSION* ext = X509V3_EXT_conf_nid(nullptr, &ctx, nid, value);
    if (ext == nullptr) std::abort();
    X509_add_ext(cert, ext, -1);
    X509_EXTENSION_free(ext);
  }

  static std::string drain(BIO* bio) {
    char* data = nullptr;
    const long n = BIO_get_mem_data(bio, &data);
    std::string out(data, static_cast<std::size_t>(n));
    BIO_free(bio);
    return out;
  }

  static std::string to_pem(X509* cert) {
    BIO* bio = BIO_new(BIO_s_mem());
    PEM_write_bio_X509(bio, cert);
    return drain(bio);
  }

  Key key_;
  Cert cert_;
  long serial_ = 1;
};

}  // namespace velarix::test
