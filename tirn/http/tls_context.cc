#include "tirn/http/tls_context_internal.h"

namespace Tirn {
namespace Http {
namespace detail {

std::unique_ptr<ssl::context> NewTlsContext(ssl::context::method method) {
  auto tls = std::make_unique<ssl::context>(method);
  tls->set_options(ssl::context::default_workarounds | ssl::context::no_sslv2 |
                   ssl::context::no_sslv3 | ssl::context::no_tlsv1 | ssl::context::no_tlsv1_1);
  return tls;
}

}  // namespace detail
}  // namespace Http
}  // namespace Tirn
