// What the server and the client provider share, apart from sockets: wiping of buffers that
// held a body, the transport's own messages, header helpers and the reading of time limits.
// Beast-free, so that every file of the transport may include it cheaply.
#ifndef TIRN_HTTP_TRANSPORT_INTERNAL_H_
#define TIRN_HTTP_TRANSPORT_INTERNAL_H_

#include <chrono>
#include <cstddef>
#include <list>
#include <memory>
#include <new>
#include <string>

#include <boost/utility/string_view.hpp>

#include "tirn/http/protocol.h"
#include "tirn/message/base_message.h"
#include "tirn/message/message.h"
#include "tirn/runtime/value/secret_string.h"

namespace Tirn {
namespace Http {
namespace detail {

// Memory for request and answer bytes: wiped before it is reused or given back. Blocks of up
// to kRecycledBlockLimit bytes (header fields, small bodies) are kept, wiped, by the thread
// that frees them (a few dozen at most) and handed out again, so that a call's header fields
// cost no trip to the heap once a thread has served a few. Blocks may be freed on any thread:
// what one thread has no room for goes to a depot the others take from (a few hundred blocks
// at most).
constexpr std::size_t kRecycledBlockLimit = 256;
TIRN_HTTP_EXPORT void* AllocateWiped(std::size_t bytes);
TIRN_HTTP_EXPORT void FreeWiped(void* block, std::size_t bytes) noexcept;

// Zeroes memory before giving it back, so that request and answer bytes (which may carry a
// secret) never linger in freed memory, whichever path frees them.
template <class T>
struct WipingAllocator {
  using value_type = T;
  WipingAllocator() = default;
  template <class U>
  WipingAllocator(WipingAllocator<U> const&) {}
  static_assert(alignof(T) <= __STDCPP_DEFAULT_NEW_ALIGNMENT__,
                "blocks come from plain operator new");
  T* allocate(std::size_t n) {
    if (n > std::size_t(-1) / sizeof(T)) throw std::bad_array_new_length();
    return static_cast<T*>(AllocateWiped(n * sizeof(T)));
  }
  void deallocate(T* p, std::size_t n) { FreeWiped(p, n * sizeof(T)); }
  template <class U>
  bool operator==(WipingAllocator<U> const&) const {
    return true;
  }
  template <class U>
  bool operator!=(WipingAllocator<U> const&) const {
    return false;
  }
};

// A body's bytes: every buffer it outgrows is wiped as it is freed.
using WipingString = std::basic_string<char, std::char_traits<char>, WipingAllocator<char>>;

// Zeroes a string's characters and empties it.
void WipeString(std::string& text);
void WipeString(WipingString& text);

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

}  // namespace detail
}  // namespace Http
}  // namespace Tirn

#endif  // TIRN_HTTP_TRANSPORT_INTERNAL_H_
