// Asio, Beast and OpenSSL as the transport uses them, compiled once into tirn_http (their
// separate-compilation mode is on for its sources; asio_src.cc holds the compiled parts).
#ifndef TIRN_HTTP_ASIO_INTERNAL_H_
#define TIRN_HTTP_ASIO_INTERNAL_H_

#include <cstddef>
#include <memory>
#include <string>

#include <boost/asio.hpp>
#include <boost/asio/ssl.hpp>
#include <boost/beast/core.hpp>
#include <boost/beast/http.hpp>
#include <boost/beast/ssl.hpp>

#include "tirn/runtime/secret_string.h"

namespace Tirn {
namespace Http {
namespace detail {

namespace net = boost::asio;
namespace beast = boost::beast;
namespace http = boost::beast::http;
namespace ssl = boost::asio::ssl;
using tcp = boost::asio::ip::tcp;

// Zeroes memory before giving it back, so that request and answer bytes (which may carry a
// secret) do not linger in freed buffers.
template <class T>
struct WipingAllocator {
  using value_type = T;
  WipingAllocator() = default;
  template <class U>
  WipingAllocator(WipingAllocator<U> const&) {}
  T* allocate(std::size_t n) { return std::allocator<T>().allocate(n); }
  void deallocate(T* p, std::size_t n) {
    Tirn::Detail::SecureZero(p, n * sizeof(T));
    std::allocator<T>().deallocate(p, n);
  }
  template <class U>
  bool operator==(WipingAllocator<U> const&) const {
    return true;
  }
  template <class U>
  bool operator!=(WipingAllocator<U> const&) const {
    return false;
  }
};

using WipingBuffer = beast::basic_flat_buffer<WipingAllocator<char>>;

}  // namespace detail
}  // namespace Http
}  // namespace Tirn

#endif  // TIRN_HTTP_ASIO_INTERNAL_H_
