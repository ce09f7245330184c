// What the server reads from a TLS client's certificate: who it names, once it verified, and
// why a handshake that required one failed.
#ifndef TIRN_HTTP_PEER_CERTIFICATE_INTERNAL_H_
#define TIRN_HTTP_PEER_CERTIFICATE_INTERNAL_H_

#include <string>

#include "tirn/http/asio_internal.h"
#include "tirn/http/server_options.h"

namespace Tirn {
namespace Http {
namespace detail {

using TlsStream = beast::ssl_stream<beast::tcp_stream>;

// Who a client's verified certificate says it is.
struct PeerIdentity {
  std::string subject;  // the whole subject, one line
  std::string name;     // the caller it names
};

// The identity of the peer of `stream` once its handshake is done: empty when the client sent
// no certificate or its certificate did not verify. The caller's name is read from the field
// `from` says.
PeerIdentity IdentityOf(TlsStream& stream, ServerOptions::ClientName from);

// Why a client's certificate made its TLS handshake fail, for the log; empty when the
// handshake failed for another reason (a peer that went away, or spoke no TLS).
std::string CertificateRefusal(TlsStream& stream, beast::error_code const& ec);

}  // namespace detail
}  // namespace Http
}  // namespace Tirn

#endif  // TIRN_HTTP_PEER_CERTIFICATE_INTERNAL_H_
