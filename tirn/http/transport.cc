#include <algorithm>
#include <cctype>
#include <cstring>
#include <string_view>
#include <vector>

#include "tirn/http/protocol.h"
#include "tirn/http/transport_internal.h"
#include "tirn/message/message.h"
#include "tirn/text/text.h"

namespace Tirn {
namespace Http {
namespace detail {
namespace {

// Sorted by identifier.
constexpr CatalogEntry kHttpCatalog[] = {
    {MessageIds::kBadAnswer, "The answer of {1} cannot be read: {2}."},
    {MessageIds::kBadHeader, "The header {1} has the malformed value \"{2}\"."},
    {MessageIds::kBadIdempotencyKey,
     "The call's idempotency key (tirn.idem_key) must be 1 to {1} visible ASCII "
     "characters, without spaces."},
    {MessageIds::kBadRequest, "The request cannot be read: {1}."},
    {MessageIds::kBodyTooLarge, "The body is larger than {1} bytes."},
    {MessageIds::kCancelled, "The call was cancelled by its caller."},
    {MessageIds::kConnectFailed, "Could not connect to {1}: {2}."},
    {MessageIds::kConnectionBroken, "The connection to {1} broke: {2}."},
    {MessageIds::kHeadersTooLarge, "The request's header block is larger than {1} bytes."},
    {MessageIds::kMethodNotAllowed, "The method {1} is not allowed here."},
    {MessageIds::kNotAcceptable,
     "The answer can only be application/json or application/x-ndjson, which \"{1}\" does not "
     "accept."},
    {MessageIds::kNotTirnAnswer,
     "The server at {1} answered {2} without a tirn error (is it a tirn server? is the path "
     "right?)."},
    {MessageIds::kOutputNotEncodable, "The operation's output could not be written as JSON."},
    {MessageIds::kTimedOut, "{1} did not answer within {2} ms."},
    {MessageIds::kTlsFailed, "The TLS handshake with {1} failed: {2}."},
    {MessageIds::kTokenRefused, "The server does not accept the bearer token the call carries."},
    {MessageIds::kTooManyCalls,
     "The caller already has {1} calls in flight, the most it may have."},
    {MessageIds::kTooManyConnections,
     "The caller already holds {1} connections, the most it may hold at once."},
    {MessageIds::kUnauthenticated,
     "The call carries no credentials; send a bearer token (Authorization: Bearer <token>)."},
    {MessageIds::kUnauthorized, "The caller {2} may not call {1}."},
    {MessageIds::kUnknownPath, "No operation is served at {1}."},
    {MessageIds::kUnsupportedMediaType,
     "The content type \"{1}\" is not supported; send application/json."},
    {MessageIds::kVersionNotSupported, "Only HTTP/1.0 and HTTP/1.1 are spoken here."},
};
static_assert(CatalogIsSorted(kHttpCatalog), "the transport's catalog must be sorted by identifier");

}  // namespace

CatalogView HttpTag::Catalog() { return CatalogView(kHttpCatalog); }

BaseMessage HttpMessage(char const* id, std::list<std::string> args) {
  std::vector<std::string> const strings(args.begin(), args.end());
  return Tirn::Detail::BuildMessage(id, Message<HttpTag>::DefaultMessageForId(id), strings.data(),
                                    strings.size());
}

bool EqualsIgnoringCase(boost::string_view a, boost::string_view b) {
  return a.size() == b.size() &&
         std::equal(a.begin(), a.end(), b.begin(), [](char x, char y) {
           return std::tolower(static_cast<unsigned char>(x)) ==
                  std::tolower(static_cast<unsigned char>(y));
         });
}

boost::string_view Trim(boost::string_view text) {
  std::string_view const trimmed = Text::Trim(std::string_view(text.data(), text.size()));
  return boost::string_view(trimmed.data(), trimmed.size());
}

boost::string_view MediaType(boost::string_view value) {
  return Trim(value.substr(0, value.find(';')));
}

namespace {

// Whether a media range's parameters give it the quality 0 ("q=0", "q=0.0", up to "q=0.000"):
// the type is then not acceptable.
bool RefusedByQuality(boost::string_view range) {
  for (std::size_t semicolon = range.find(';'); semicolon != boost::string_view::npos;
       semicolon = range.find(';')) {
    range.remove_prefix(semicolon + 1);
    boost::string_view parameter = Trim(range.substr(0, range.find(';')));
    if (parameter.size() < 2 || (parameter[0] != 'q' && parameter[0] != 'Q') ||
        parameter[1] != '=') {
      continue;
    }
    parameter.remove_prefix(2);
    if (parameter.empty() || parameter[0] != '0') return false;
    parameter.remove_prefix(1);
    if (!parameter.empty() && parameter[0] == '.') parameter.remove_prefix(1);
    return parameter.find_first_not_of('0') == boost::string_view::npos;
  }
  return false;
}

}  // namespace

bool Accepts(boost::string_view accept, boost::string_view type, bool wildcards) {
  std::size_t const slash = type.find('/');
  boost::string_view const family = type.substr(0, slash == boost::string_view::npos ? 0 : slash);
  while (!accept.empty()) {
    std::size_t const comma = accept.find(',');
    boost::string_view const range = accept.substr(0, comma);
    boost::string_view const listed = MediaType(range);
    bool const names = EqualsIgnoringCase(listed, type) ||
                       (wildcards && (listed == "*/*" ||
                                      (listed.size() == family.size() + 2 &&
                                       EqualsIgnoringCase(listed.substr(0, family.size()), family) &&
                                       listed.substr(family.size()) == "/*")));
    if (names && !RefusedByQuality(range)) return true;
    if (comma == boost::string_view::npos) break;
    accept.remove_prefix(comma + 1);
  }
  return false;
}

bool IsIdempotencyKey(boost::string_view key) {
  return !key.empty() && key.size() <= kIdempotencyKeyLimit &&
         std::all_of(key.begin(), key.end(), [](char c) { return c > ' ' && c < 0x7f; });
}

bool ParseTimeLimit(boost::string_view text, std::chrono::milliseconds maximum,
                    std::chrono::milliseconds& limit) {
  if (text.empty()) return false;
  // Digits are added up only while the sum stays at or below the maximum, so that no number
  // of digits can overflow.
  long long const cap = maximum.count();
  long long sum = 0;
  bool clamped = false;
  for (char c : text) {
    if (c < '0' || c > '9') return false;
    if (clamped) continue;
    int const digit = c - '0';
    if (digit > cap || sum > (cap - digit) / 10) {
      clamped = true;
      continue;
    }
    sum = sum * 10 + digit;
  }
  if (!clamped && sum == 0) return false;
  limit = clamped ? maximum : std::chrono::milliseconds(sum);
  return true;
}

void ClampTimeLimits(std::initializer_list<std::chrono::milliseconds*> limits) {
  constexpr std::chrono::milliseconds kLongest = std::chrono::hours(24 * 365);
  for (std::chrono::milliseconds* limit : limits) {
    *limit = std::clamp(*limit, std::chrono::milliseconds(1), kLongest);
  }
}

}  // namespace detail
}  // namespace Http
}  // namespace Tirn
