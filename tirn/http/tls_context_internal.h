// The TLS context both sides of the transport start from: the server's (with its certificate,
// key and client CAs) and the client's (with its CAs and its certificate) are this one, filled.
#ifndef TIRN_HTTP_TLS_CONTEXT_INTERNAL_H_
#define TIRN_HTTP_TLS_CONTEXT_INTERNAL_H_

#include <openssl/asn1.h>

#include <chrono>
#include <memory>
#include <string>

#include "tirn/http/asio_internal.h"

namespace Tirn {
namespace Http {
namespace detail {

// A TLS context of `method` (ssl::context::tls_client or tls_server) that speaks TLS 1.2 and
// later only: SSL 2 and 3, TLS 1.0 and 1.1 are refused alike by the server and the client.
std::unique_ptr<ssl::context> NewTlsContext(ssl::context::method method);

// `time` as a point in time; the epoch when it cannot be read; the clock's last point (in
// 2262) for any later time.
std::chrono::system_clock::time_point TimeOf(ASN1_TIME const* time);

// `time` as "2026-12-08 14:03:00 UTC".
std::string ShowTime(std::chrono::system_clock::time_point time);

// The end of the validity of the certificate chain `tls` presents (the earliest of its
// certificates' ends); the epoch when it presents none.
std::chrono::system_clock::time_point CertificateEnd(ssl::context& tls);

// Empty while every certificate of the chain `tls` presents is valid (or it presents none);
// once one has expired, "<what> expired on <date>; renew it": every peer would refuse it.
std::string ExpiryRefusal(ssl::context& tls, std::string const& what);

}  // namespace detail
}  // namespace Http
}  // namespace Tirn

#endif  // TIRN_HTTP_TLS_CONTEXT_INTERNAL_H_
