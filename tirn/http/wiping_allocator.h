// Memory that is wiped before it is reused or given back, for every buffer of the transport
// that holds request or answer bytes (which may carry a secret): the allocator the server's
// and the client's strings, fields and read buffers are made with, its string, and the wiping
// of a string in place. Small blocks are recycled through per-thread caches and a depot that
// the threads share, so that a call's header fields seldom cost a trip to the heap.
#ifndef TIRN_HTTP_WIPING_ALLOCATOR_H_
#define TIRN_HTTP_WIPING_ALLOCATOR_H_

#include <cstddef>
#include <new>
#include <string>

#include "tirn/http/protocol.h"

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

}  // namespace detail
}  // namespace Http
}  // namespace Tirn

#endif  // TIRN_HTTP_WIPING_ALLOCATOR_H_
