// Asio, Beast and OpenSSL as the transport uses them, compiled once into tirn_http (their
// separate-compilation mode is on for its sources; asio_src.cc holds the compiled parts).
#ifndef TIRN_HTTP_ASIO_INTERNAL_H_
#define TIRN_HTTP_ASIO_INTERNAL_H_

#include <cstddef>

#include <boost/asio.hpp>
#include <boost/asio/ssl.hpp>
#include <boost/beast/core.hpp>
#include <boost/beast/http.hpp>
#include <boost/beast/ssl.hpp>

#include "tirn/http/transport_internal.h"
#include "tirn/http/wiping_allocator.h"
#include "tirn/runtime/value/secret_string.h"

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

// An empty read buffer between messages: kept for the next read with its whole storage wiped
// (what it held may have carried a secret), or given back, wiped, once it has grown past
// `keptLimit`.
inline void RestBuffer(WipingBuffer& buffer, std::size_t keptLimit) {
  if (buffer.capacity() > keptLimit) {
    buffer.shrink_to_fit();  // the allocator wipes what it frees
    return;
  }
  auto const storage = buffer.prepare(buffer.capacity());
  Tirn::Detail::SecureZero(storage.data(), storage.size());
}

}  // namespace detail
}  // namespace Http
}  // namespace Tirn

#endif  // TIRN_HTTP_ASIO_INTERNAL_H_
