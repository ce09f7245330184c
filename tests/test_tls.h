// Certificates that tests make for themselves: a self-signed certificate for "localhost" and
// 127.0.0.1, written as PEM files into a fresh temporary folder; and an authority of the test's
// own that issues client certificates and revokes them.
#ifndef TESTS_TEST_TLS_H_
#define TESTS_TEST_TLS_H_

#include <openssl/evp.h>
#include <openssl/pem.h>
#include <openssl/x509.h>
#include <openssl/x509v3.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <stdexcept>
#include <string>
#include <system_error>
#include <utility>
#include <vector>

namespace test_tls {

struct Files {
  std::string folder;
  std::string certificate;
  std::string key;
};

namespace detail {

// A certificate of `key` for `commonName` with `serial`, valid from `from` to `until` seconds
// from now, with `extensions`, signed by `signer` with `signerKey` (null: self-signed).
inline X509* Certificate(std::string const& commonName, EVP_PKEY* key, long serial, X509* signer,
                         EVP_PKEY* signerKey, long from, long until,
                         std::vector<std::pair<int, std::string>> const& extensions) {
  X509* certificate = X509_new();
  X509_set_version(certificate, 2);
  ASN1_INTEGER_set(X509_get_serialNumber(certificate), serial);
  X509_gmtime_adj(X509_getm_notBefore(certificate), from);
  X509_gmtime_adj(X509_getm_notAfter(certificate), until);
  X509_set_pubkey(certificate, key);
  X509_NAME* name = X509_get_subject_name(certificate);
  X509_NAME_add_entry_by_txt(name, "CN", MBSTRING_ASC,
                             reinterpret_cast<unsigned char const*>(commonName.c_str()), -1, -1,
                             0);
  if (!signer) signer = certificate;
  X509_set_issuer_name(certificate, X509_get_subject_name(signer));
  X509V3_CTX context;
  X509V3_set_ctx_nodb(&context);
  X509V3_set_ctx(&context, signer, certificate, nullptr, nullptr, 0);
  for (auto const& [id, value] : extensions) {
    X509_EXTENSION* extension = X509V3_EXT_conf_nid(nullptr, &context, id, value.c_str());
    X509_add_ext(certificate, extension, -1);
    X509_EXTENSION_free(extension);
  }
  X509_sign(certificate, signerKey ? signerKey : key, EVP_sha256());
  return certificate;
}

// Writes `path` with `write`; the path.
template <class Writer>
std::string Write(std::string const& path, Writer write) {
  FILE* out = std::fopen(path.c_str(), "w");
  write(out);
  std::fclose(out);
  return path;
}

}  // namespace detail

// A new key pair and a self-signed certificate for `commonName`, valid until `until` seconds
// from now (a day by default).
inline Files MakeSelfSigned(std::string const& commonName = "localhost", long until = 24 * 3600) {
  char folderTemplate[] = "/tmp/tirn-tls-XXXXXX";
  if (!mkdtemp(folderTemplate)) throw std::runtime_error("mkdtemp failed");
  std::string const folder = folderTemplate;
  EVP_PKEY* key = EVP_PKEY_Q_keygen(nullptr, nullptr, "EC", "P-256");
  X509* certificate = detail::Certificate(
      commonName, key, 1, nullptr, nullptr, std::min(-60L, until - 60), until,
      {{NID_subject_alt_name, "DNS:" + commonName + ",IP:127.0.0.1"},
       {NID_basic_constraints, "critical,CA:TRUE"}});
  Files const files{
      folder,
      detail::Write(folder + "/cert.pem", [&](FILE* out) { PEM_write_X509(out, certificate); }),
      detail::Write(folder + "/key.pem", [&](FILE* out) {
        PEM_write_PrivateKey(out, key, nullptr, nullptr, 0, nullptr, nullptr);
      })};
  X509_free(certificate);
  EVP_PKEY_free(key);
  return files;
}

inline void Remove(Files const& files) {
  std::error_code ignored;
  std::filesystem::remove_all(files.folder, ignored);
}

// A certificate authority of the test's own, in a temporary folder removed with it: it issues
// client certificates (valid now, expired, or not yet valid) and revokes them in a CRL.
//
//   test_tls::Authority authority("test CA");
//   test_tls::Issued alice = authority.Issue("alice");
//   std::string crl = authority.Revoke({alice.serial});
class Authority {
 public:
  struct Issued {
    std::string certificate;
    std::string key;
    long serial = 0;
  };

  explicit Authority(std::string const& name) {
    char folderTemplate[] = "/tmp/tirn-ca-XXXXXX";
    if (!mkdtemp(folderTemplate)) throw std::runtime_error("mkdtemp failed");
    folder_ = folderTemplate;
    key_ = EVP_PKEY_Q_keygen(nullptr, nullptr, "EC", "P-256");
    certificate_ = Make(name, key_, nullptr, -60, 24 * 3600, true, "");
    certificateFile_ = detail::Write(folder_ + "/ca.pem",
                                     [this](FILE* out) { PEM_write_X509(out, certificate_); });
  }
  ~Authority() {
    X509_free(certificate_);
    EVP_PKEY_free(key_);
    std::error_code ignored;
    std::filesystem::remove_all(folder_, ignored);
  }
  Authority(Authority const&) = delete;
  Authority& operator=(Authority const&) = delete;

  // The authority's own certificate, the file a server trusts for its clients.
  std::string const& certificate() const { return certificateFile_; }

  // A key and a certificate for `commonName` signed by this authority, valid from `from` to
  // `until` seconds from now, with `uri` (when given) as a subject alternative name.
  Issued Issue(std::string const& commonName, long from = -60, long until = 24 * 3600,
               std::string const& uri = "") {
    EVP_PKEY* key = EVP_PKEY_Q_keygen(nullptr, nullptr, "EC", "P-256");
    X509* certificate = Make(commonName, key, this, from, until, false, uri);
    std::string const stem = folder_ + "/" + commonName + "-" + std::to_string(serial_);
    Issued const issued{
        detail::Write(stem + ".pem", [&](FILE* out) { PEM_write_X509(out, certificate); }),
        detail::Write(stem + ".key", [&](FILE* out) {
          PEM_write_PrivateKey(out, key, nullptr, nullptr, 0, nullptr, nullptr);
        }),
        serial_};
    X509_free(certificate);
    EVP_PKEY_free(key);
    return issued;
  }

  // A CRL of this authority that revokes `serials`, due to be replaced `due` seconds from
  // now (a day by default); the file's path.
  std::string Revoke(std::vector<long> const& serials, long due = 24 * 3600) {
    X509_CRL* crl = X509_CRL_new();
    X509_CRL_set_version(crl, 1);
    X509_CRL_set_issuer_name(crl, X509_get_subject_name(certificate_));
    ASN1_TIME* now = X509_gmtime_adj(nullptr, std::min(-60L, due - 60));
    ASN1_TIME* next = X509_gmtime_adj(nullptr, due);
    X509_CRL_set1_lastUpdate(crl, now);
    X509_CRL_set1_nextUpdate(crl, next);
    for (long serial : serials) {
      X509_REVOKED* revoked = X509_REVOKED_new();
      ASN1_INTEGER* number = ASN1_INTEGER_new();
      ASN1_INTEGER_set(number, serial);
      X509_REVOKED_set_serialNumber(revoked, number);
      X509_REVOKED_set_revocationDate(revoked, now);
      X509_CRL_add0_revoked(crl, revoked);
      ASN1_INTEGER_free(number);
    }
    X509_CRL_sort(crl);
    X509_CRL_sign(crl, key_, EVP_sha256());
    std::string const path = detail::Write(folder_ + "/crl-" + std::to_string(++crls_) + ".pem",
                                           [&](FILE* out) { PEM_write_X509_CRL(out, crl); });
    ASN1_TIME_free(now);
    ASN1_TIME_free(next);
    X509_CRL_free(crl);
    return path;
  }

 private:
  X509* Make(std::string const& commonName, EVP_PKEY* key, Authority* issuer, long from,
             long until, bool authority, std::string const& uri) {
    std::vector<std::pair<int, std::string>> extensions = {
        {NID_basic_constraints, authority ? "critical,CA:TRUE" : "critical,CA:FALSE"}};
    if (authority) extensions.push_back({NID_key_usage, "critical,keyCertSign,cRLSign"});
    if (!uri.empty()) extensions.push_back({NID_subject_alt_name, "URI:" + uri});
    return detail::Certificate(commonName, key, ++serial_, issuer ? issuer->certificate_ : nullptr,
                               issuer ? issuer->key_ : nullptr, from, until, extensions);
  }

  std::string folder_;
  EVP_PKEY* key_ = nullptr;
  X509* certificate_ = nullptr;
  std::string certificateFile_;
  long serial_ = 0;
  int crls_ = 0;
};

}  // namespace test_tls

#endif  // TESTS_TEST_TLS_H_
