// Asio, Beast and OpenSSL as the transport uses them, compiled once into tirn_http (their
// separate-compilation mode is on for its sources; asio_src.cc holds the compiled parts).
#ifndef TIRN_HTTP_ASIO_INTERNAL_H_
#define TIRN_HTTP_ASIO_INTERNAL_H_

#include <boost/asio.hpp>
#include <boost/asio/ssl.hpp>
#include <boost/beast/core.hpp>
#include <boost/beast/http.hpp>
#include <boost/beast/ssl.hpp>

#include "tirn/http/transport_internal.h"

namespace Tirn {
namespace Http {

namespace net = boost::asio;
namespace beast = boost::beast;
namespace http = boost::beast::http;
namespace ssl = boost::asio::ssl;
using tcp = boost::asio::ip::tcp;

namespace detail {

// A read buffer whose outgrown and freed memory is wiped.
using WipingBuffer = beast::basic_flat_buffer<WipingAllocator<char>>;

}  // namespace detail
}  // namespace Http
}  // namespace Tirn

#endif  // TIRN_HTTP_ASIO_INTERNAL_H_
