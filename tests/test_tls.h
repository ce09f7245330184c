// Certificates that tests make for themselves: a self-signed certificate for "localhost" and
// 127.0.0.1, written as PEM files into a fresh temporary folder.
#ifndef TESTS_TEST_TLS_H_
#define TESTS_TEST_TLS_H_

#include <openssl/evp.h>
#include <openssl/pem.h>
#include <openssl/x509.h>
#include <openssl/x509v3.h>

#include <cstdio>
#include <cstdlib>
#include <stdexcept>
#include <string>

namespace test_tls {

struct Files {
  std::string folder;
  std::string certificate;
  std::string key;
};

// A new key pair and a self-signed certificate for `commonName`, valid for a day.
inline Files MakeSelfSigned(std::string const& commonName = "localhost") {
  char folderTemplate[] = "/tmp/tirn-tls-XXXXXX";
  if (!mkdtemp(folderTemplate)) throw std::runtime_error("mkdtemp failed");
  Files files{folderTemplate, std::string(folderTemplate) + "/cert.pem",
              std::string(folderTemplate) + "/key.pem"};

  EVP_PKEY* key = EVP_PKEY_Q_keygen(nullptr, nullptr, "EC", "P-256");
  X509* certificate = X509_new();
  X509_set_version(certificate, 2);
  ASN1_INTEGER_set(X509_get_serialNumber(certificate), 1);
  X509_gmtime_adj(X509_getm_notBefore(certificate), -60);
  X509_gmtime_adj(X509_getm_notAfter(certificate), 24 * 3600);
  X509_set_pubkey(certificate, key);
  X509_NAME* name = X509_get_subject_name(certificate);
  X509_NAME_add_entry_by_txt(name, "CN", MBSTRING_ASC,
                             reinterpret_cast<unsigned char const*>(commonName.c_str()), -1, -1,
                             0);
  X509_set_issuer_name(certificate, name);
  X509V3_CTX context;
  X509V3_set_ctx_nodb(&context);
  X509V3_set_ctx(&context, certificate, certificate, nullptr, nullptr, 0);
  std::string const altNames = "DNS:" + commonName + ",IP:127.0.0.1";
  for (auto const& [id, value] : {std::pair<int, std::string>{NID_subject_alt_name, altNames},
                                  {NID_basic_constraints, "critical,CA:TRUE"}}) {
    X509_EXTENSION* extension = X509V3_EXT_conf_nid(nullptr, &context, id, value.c_str());
    X509_add_ext(certificate, extension, -1);
    X509_EXTENSION_free(extension);
  }
  X509_sign(certificate, key, EVP_sha256());

  FILE* out = std::fopen(files.certificate.c_str(), "w");
  PEM_write_X509(out, certificate);
  std::fclose(out);
  out = std::fopen(files.key.c_str(), "w");
  PEM_write_PrivateKey(out, key, nullptr, nullptr, 0, nullptr, nullptr);
  std::fclose(out);
  X509_free(certificate);
  EVP_PKEY_free(key);
  return files;
}

inline void Remove(Files const& files) {
  std::remove(files.certificate.c_str());
  std::remove(files.key.c_str());
  std::remove(files.folder.c_str());
}

}  // namespace test_tls

#endif  // TESTS_TEST_TLS_H_
