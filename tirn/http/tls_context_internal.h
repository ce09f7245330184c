// The TLS context both sides of the transport start from: the server's (with its certificate,
// key and client CAs) and the client's (with its CAs and its certificate) are this one, filled.
#ifndef TIRN_HTTP_TLS_CONTEXT_INTERNAL_H_
#define TIRN_HTTP_TLS_CONTEXT_INTERNAL_H_

#include <memory>

#include "tirn/http/asio_internal.h"

namespace Tirn {
namespace Http {
namespace detail {

// A TLS context of `method` (ssl::context::tls_client or tls_server) that speaks TLS 1.2 and
// later only: SSL 2 and 3, TLS 1.0 and 1.1 are refused alike by the server and the client.
std::unique_ptr<ssl::context> NewTlsContext(ssl::context::method method);

}  // namespace detail
}  // namespace Http
}  // namespace Tirn

#endif  // TIRN_HTTP_TLS_CONTEXT_INTERNAL_H_
