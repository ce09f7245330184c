#include "tirn/http/tls_context_internal.h"

#include <ctime>

namespace Tirn {
namespace Http {
namespace detail {

std::unique_ptr<ssl::context> NewTlsContext(ssl::context::method method) {
  auto tls = std::make_unique<ssl::context>(method);
  tls->set_options(ssl::context::default_workarounds | ssl::context::no_sslv2 |
                   ssl::context::no_sslv3 | ssl::context::no_tlsv1 | ssl::context::no_tlsv1_1);
  return tls;
}

std::chrono::system_clock::time_point TimeOf(ASN1_TIME const* time) {
  using Clock = std::chrono::system_clock;
  std::tm parts{};
  if (!time || ASN1_TIME_to_tm(time, &parts) != 1) return {};
  // The clock's range ends in 2262; "no end" (9999-12-31) and the like end there.
  std::time_t const seconds = timegm(&parts);
  std::time_t const last = Clock::to_time_t(Clock::time_point::max());
  return seconds >= last ? Clock::time_point::max() : Clock::from_time_t(seconds);
}

std::string ShowTime(std::chrono::system_clock::time_point time) {
  std::time_t const seconds = std::chrono::system_clock::to_time_t(time);
  std::tm parts{};
  gmtime_r(&seconds, &parts);
  char text[32];
  std::strftime(text, sizeof text, "%Y-%m-%d %H:%M:%S UTC", &parts);
  return text;
}

std::chrono::system_clock::time_point CertificateEnd(ssl::context& tls) {
  using Time = std::chrono::system_clock::time_point;
  Time end;
  // An unreadable end is left to the peer to judge.
  auto const count = [&end](X509 const* certificate) {
    Time const until = TimeOf(X509_get0_notAfter(certificate));
    if (until != Time() && (end == Time() || until < end)) end = until;
  };
  X509 const* certificate = SSL_CTX_get0_certificate(tls.native_handle());
  if (!certificate) return end;
  count(certificate);
  STACK_OF(X509)* chain = nullptr;
  if (SSL_CTX_get0_chain_certs(tls.native_handle(), &chain) == 1 && chain) {
    for (int i = 0; i < sk_X509_num(chain); ++i) count(sk_X509_value(chain, i));
  }
  return end;
}

std::string ExpiryRefusal(ssl::context& tls, std::string const& what) {
  auto const end = CertificateEnd(tls);
  if (end == std::chrono::system_clock::time_point() || end > std::chrono::system_clock::now()) {
    return {};
  }
  return what + " expired on " + ShowTime(end) + "; renew it";
}

}  // namespace detail
}  // namespace Http
}  // namespace Tirn
