// What the server and the client provider share, apart from sockets: the transport's own
// messages, header helpers and the reading of time limits (the wiping of request and answer
// bytes is in wiping_allocator.h).
// Beast-free, so that every file of the transport may include it cheaply.
#ifndef TIRN_HTTP_TRANSPORT_INTERNAL_H_
#define TIRN_HTTP_TRANSPORT_INTERNAL_H_

#include <chrono>
#include <cstddef>
#include <initializer_list>
#include <list>
#include <string>

#include <boost/utility/string_view.hpp>

#include "tirn/http/protocol.h"
#include "tirn/message/base_message.h"
#include "tirn/message/message.h"

namespace Tirn {
namespace Http {
namespace detail {

// The catalog of the transport's messages (MessageIds in protocol.h).
struct HttpTag {
  static CatalogView Catalog();
};

// A message of the transport, its arguments filled into the catalog's template.
BaseMessage HttpMessage(char const* id, std::list<std::string> args = {});

bool EqualsIgnoringCase(boost::string_view a, boost::string_view b);

// `text` without leading and trailing spaces and tabs.
boost::string_view Trim(boost::string_view text);

// The media type of a Content-Type or Accept item, without its parameters.
boost::string_view MediaType(boost::string_view value);

// Whether an Accept header lists `type` with a quality above 0; with `wildcards`, also through
// "*/*" or "family/*". An entry of quality 0 says the type is not wanted.
bool Accepts(boost::string_view accept, boost::string_view type, bool wildcards = false);

// Whether `key` may be an idempotency key: 1 to kIdempotencyKeyLimit visible ASCII
// characters (no spaces, no control characters).
bool IsIdempotencyKey(boost::string_view key);

// Reads a time limit in milliseconds written as decimal digits ("250"). A limit above
// `maximum` (however many digits it has) is clamped to it. False for anything that is not a
// positive decimal number.
bool ParseTimeLimit(boost::string_view text, std::chrono::milliseconds maximum,
                    std::chrono::milliseconds& limit);

// Brings each of `limits` (the options' time limits, as the server and the client are made)
// between 1 ms and one year: nothing waits longer, since a deadline further away overflows in
// nanoseconds.
void ClampTimeLimits(std::initializer_list<std::chrono::milliseconds*> limits);

}  // namespace detail
}  // namespace Http
}  // namespace Tirn

#endif  // TIRN_HTTP_TRANSPORT_INTERNAL_H_
