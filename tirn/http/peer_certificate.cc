#include "tirn/http/peer_certificate_internal.h"

#include <openssl/err.h>
#include <openssl/ssl.h>
#include <openssl/x509.h>
#include <openssl/x509v3.h>

namespace Tirn {
namespace Http {
namespace detail {
namespace {

// The caller `certificate` names in the field `from` says: the first common name of its
// subject, or its first subject alternative name of that kind; empty when it has none.
std::string CallerNamed(X509* certificate, ServerOptions::ClientName from) {
  if (from == ServerOptions::ClientName::kCommonName) {
    X509_NAME* subject = X509_get_subject_name(certificate);
    int const at = X509_NAME_get_index_by_NID(subject, NID_commonName, -1);
    if (at < 0) return std::string();
    ASN1_STRING* text = X509_NAME_ENTRY_get_data(X509_NAME_get_entry(subject, at));
    unsigned char* utf8 = nullptr;
    int const length = ASN1_STRING_to_UTF8(&utf8, text);
    if (length < 0) return std::string();
    std::string name(reinterpret_cast<char const*>(utf8), static_cast<std::size_t>(length));
    OPENSSL_free(utf8);
    return name;
  }
  int const kind = from == ServerOptions::ClientName::kSanUri ? GEN_URI : GEN_DNS;
  auto* names = static_cast<GENERAL_NAMES*>(
      X509_get_ext_d2i(certificate, NID_subject_alt_name, nullptr, nullptr));
  std::string name;
  for (int i = 0; names && i < sk_GENERAL_NAME_num(names) && name.empty(); ++i) {
    GENERAL_NAME const* entry = sk_GENERAL_NAME_value(names, i);
    if (entry->type != kind) continue;
    ASN1_IA5STRING const* text = kind == GEN_URI ? entry->d.uniformResourceIdentifier
                                                 : entry->d.dNSName;
    name.assign(reinterpret_cast<char const*>(ASN1_STRING_get0_data(text)),
                static_cast<std::size_t>(ASN1_STRING_length(text)));
  }
  GENERAL_NAMES_free(names);
  return name;
}

}  // namespace

PeerIdentity IdentityOf(TlsStream& stream, ServerOptions::ClientName from) {
  SSL* ssl = stream.native_handle();
  X509* certificate = SSL_get1_peer_certificate(ssl);
  if (!certificate) return PeerIdentity();
  PeerIdentity identity;
  if (SSL_get_verify_result(ssl) == X509_V_OK) {
    char buffer[512];
    X509_NAME_oneline(X509_get_subject_name(certificate), buffer, sizeof buffer);
    identity.subject = buffer;
    identity.name = CallerNamed(certificate, from);
  }
  X509_free(certificate);
  return identity;
}

std::string CertificateRefusal(TlsStream& stream, beast::error_code const& ec) {
  long const verified = SSL_get_verify_result(stream.native_handle());
  if (verified != X509_V_OK) {
    return std::string("its certificate does not verify: ") +
           X509_verify_cert_error_string(verified);
  }
  if (ec.category() == net::error::get_ssl_category() &&
      ERR_GET_REASON(static_cast<unsigned long>(ec.value())) ==
          SSL_R_PEER_DID_NOT_RETURN_A_CERTIFICATE) {
    return "it sent no certificate, and one is required";
  }
  return std::string();
}

}  // namespace detail
}  // namespace Http
}  // namespace Tirn
