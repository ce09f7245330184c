// The allocator of RapidJSON's reader and writer stacks (the open levels of a text being read
// or written): their first block is one kept per thread and reused by every text read or
// written there, so that a text of ordinary depth costs no allocation for its stack. A deeper
// text, or a second stack alive at once on the same thread, gets blocks from operator new.
//
// The stacks hold the parser's and writer's states and counts, never text (the reader reads
// in place), so a reused block carries nothing from one text to the next that needs wiping.
// Each thread has its own block: nothing here is shared between threads.
#ifndef TIRN_JSON_STACK_ALLOCATOR_INTERNAL_H_
#define TIRN_JSON_STACK_ALLOCATOR_INTERNAL_H_

#include <algorithm>
#include <cstddef>
#include <cstring>
#include <new>

namespace Tirn {
namespace Json {
namespace detail {

// `Use` tells the reader's stack from the writer's, so that a thread may hold one of each;
// `kBytes` is the first block's size, the stack's initial capacity in RapidJSON.
template <class Use, std::size_t kBytes>
class StackAllocator {
 public:
  // Part of the allocator concept RapidJSON expects; it reads it only in some builds.
  [[maybe_unused]] static bool const kNeedFree = true;

  void* Malloc(std::size_t size) { return Realloc(nullptr, 0, size); }
  void* Realloc(void* original, std::size_t originalSize, std::size_t newSize) {
    if (newSize == 0) {
      Free(original);
      return nullptr;
    }
    Block& first = ThisThreadsBlock();
    if (!original && newSize <= kBytes && !first.taken) {
      first.taken = true;
      return first.bytes;
    }
    if (original == first.bytes && newSize <= kBytes) return original;
    void* block = ::operator new(newSize);
    if (original) std::memcpy(block, original, std::min(originalSize, newSize));
    Free(original);
    return block;
  }
  static void Free(void* block) {
    if (!block) return;
    Block& first = ThisThreadsBlock();
    if (block == first.bytes) {
      first.taken = false;
      return;
    }
    ::operator delete(block);
  }

 private:
  struct Block {
    alignas(std::max_align_t) unsigned char bytes[kBytes];
    bool taken = false;
  };
  static Block& ThisThreadsBlock() {
    static thread_local Block block;
    return block;
  }
};

// The allocator RapidJSON's stacks are given: one object serves every thread, as its state
// is each thread's own.
template <class Allocator>
Allocator* StackOf() {
  static Allocator allocator;
  return &allocator;
}

}  // namespace detail
}  // namespace Json
}  // namespace Tirn

#endif  // TIRN_JSON_STACK_ALLOCATOR_INTERNAL_H_
