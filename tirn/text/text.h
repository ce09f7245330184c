// Tirn::Text: the small text jobs every layer has, done one way: hexadecimal digits, trimming,
// joining, and a host with its port.
//
//   char digits[64];
//   Tirn::Text::EncodeHex(digest, 32, digits);               // no allocation: may hold a secret
//   if (!Tirn::Text::DecodeHex(text, 64, key, 32)) ...       // exactly 64 digits, either case
//   std::string_view const value = Tirn::Text::Trim(line);   // without blanks at either end
//   Tirn::Text::Join(names, ", ");
//   Tirn::Text::HostPort address;
//   if (!Tirn::Text::ParseHostPort("[::1]:8443", &address)) ...  // host "::1", port 8443
//
// Header-only and free of state: the lowest layer, usable from any other and from any thread.
#ifndef TIRN_TEXT_TEXT_H_
#define TIRN_TEXT_TEXT_H_

#include <cstddef>
#include <string>
#include <string_view>

namespace Tirn {
namespace Text {

constexpr char kHexDigits[] = "0123456789abcdef";

// The value of a hexadecimal digit of either case, or -1.
inline int HexDigitValue(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

// Writes the 2 * `size` lowercase digits of `bytes` to `out`, which has room for them (no
// terminator). Nothing is allocated, so a caller's wiped buffer can hold a secret's digits.
inline void EncodeHex(unsigned char const* bytes, std::size_t size, char* out) {
  for (std::size_t i = 0; i < size; ++i) {
    out[2 * i] = kHexDigits[bytes[i] >> 4];
    out[2 * i + 1] = kHexDigits[bytes[i] & 15];
  }
}

// The digits of `bytes` as a string (for what is no secret).
inline std::string Hex(unsigned char const* bytes, std::size_t size) {
  std::string text(2 * size, '\0');
  EncodeHex(bytes, size, &text[0]);
  return text;
}

// Reads `length` digits into `size` bytes of `out`; false unless `length` is 2 * `size` and
// every character is a digit. On false, `out` may be partly written: a caller that reads a
// secret wipes it.
inline bool DecodeHex(char const* hex, std::size_t length, unsigned char* out, std::size_t size) {
  if (length != 2 * size) return false;
  for (std::size_t i = 0; i < size; ++i) {
    int const high = HexDigitValue(hex[2 * i]);
    int const low = HexDigitValue(hex[2 * i + 1]);
    if (high < 0 || low < 0) return false;
    out[i] = static_cast<unsigned char>(high << 4 | low);
  }
  return true;
}

// `text` without the characters of `blanks` at either end.
inline std::string_view Trim(std::string_view text, std::string_view blanks = " \t") {
  std::size_t const begin = text.find_first_not_of(blanks);
  if (begin == std::string_view::npos) return text.substr(text.size());
  return text.substr(begin, text.find_last_not_of(blanks) - begin + 1);
}

// The items of `items` (anything iterable whose items append to a std::string) with
// `separator` between each two.
template <typename Items>
std::string Join(Items const& items, std::string_view separator) {
  std::string text;
  bool first = true;
  for (auto const& item : items) {
    if (!first) text += separator;
    text += item;
    first = false;
  }
  return text;
}

// A host and, when one was given, its port.
struct HostPort {
  std::string host;  // without brackets: "::1", "127.0.0.1", "kms.example.org"
  bool hasPort = false;
  unsigned short port = 0;  // 0 to 65535, when hasPort
};

// Reads "host", "host:port", "[v6]" or "[v6]:port". False for an empty host, a bare IPv6
// address (its colons need brackets), or a port that is not 1 to 5 digits up to 65535; a
// caller decides whether a port must be there, and whether 0 is one.
inline bool ParseHostPort(std::string_view text, HostPort* out) {
  std::string_view host = text;
  std::string_view port;
  bool hasPort = false;
  if (!text.empty() && text.front() == '[') {
    std::size_t const close = text.find(']');
    if (close == std::string_view::npos) return false;
    host = text.substr(1, close - 1);
    std::string_view const rest = text.substr(close + 1);
    if (!rest.empty()) {
      if (rest.front() != ':') return false;
      port = rest.substr(1);
      hasPort = true;
    }
  } else {
    std::size_t const colon = text.find(':');
    if (colon != std::string_view::npos) {
      if (text.find(':', colon + 1) != std::string_view::npos) return false;
      host = text.substr(0, colon);
      port = text.substr(colon + 1);
      hasPort = true;
    }
  }
  if (host.empty()) return false;
  unsigned long number = 0;
  if (hasPort) {
    if (port.empty() || port.size() > 5) return false;
    for (char c : port) {
      if (c < '0' || c > '9') return false;
      number = number * 10 + static_cast<unsigned long>(c - '0');
    }
    if (number > 65535) return false;
  }
  out->host = std::string(host);
  out->hasPort = hasPort;
  out->port = static_cast<unsigned short>(number);
  return true;
}

// `host` as a URL or "host:port" writes it: an IPv6 address in brackets.
inline std::string HostForUrl(std::string const& host) {
  return host.find(':') != std::string::npos ? "[" + host + "]" : host;
}

}  // namespace Text
}  // namespace Tirn

#endif  // TIRN_TEXT_TEXT_H_
