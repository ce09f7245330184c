#include "tirn/http/wiping_allocator.h"

#include <algorithm>
#include <mutex>
#include <new>

// Its poisoning macros do nothing in a build without AddressSanitizer.
#include <sanitizer/asan_interface.h>

#include "tirn/runtime/value/secret_string.h"

namespace Tirn {
namespace Http {
namespace detail {
namespace {

// Blocks that threads had no room for, shared by every thread, by size class. A block freed
// on another thread than the one that allocates its like (a client's header fields are made on
// the caller's thread and freed on an I/O thread) goes round through here instead of the heap.
// Threads move blocks in and out in batches, so the lock is taken once per batch.
struct BlockDepot {
  static constexpr std::size_t kKept = 256;  // per class
  std::mutex mutex;
  void* blocks[kRecycledBlockLimit / 64][kKept] = {};
  std::size_t count[kRecycledBlockLimit / 64] = {};
};
// Never destroyed (its mutex and arrays are trivially destructible): threads that end late
// still reach it. What it holds at exit stays reachable from it.
BlockDepot depot;

// The blocks a thread keeps for reuse, by size class (kGrain, 2 kGrain, ... up to
// kRecycledBlockLimit bytes), each already wiped. A thread that runs out takes a batch from
// the depot; one with no room left gives a batch to it, and its whole cache when it ends.
// Under AddressSanitizer a kept block is poisoned until it is handed out again, so that a use
// after free is still caught.
class BlockCache {
 public:
  static constexpr std::size_t kGrain = 64;
  static constexpr std::size_t kClasses = kRecycledBlockLimit / kGrain;
  static constexpr std::size_t kKept = 32;  // per class
  static constexpr std::size_t kBatch = kKept / 2;
  static_assert(sizeof(BlockDepot::count) / sizeof(BlockDepot::count[0]) == kClasses,
                "the depot has the caches' size classes");

  // The class of a small block of `bytes` (at least one), and the size of its blocks.
  static std::size_t ClassOf(std::size_t bytes) { return (bytes - 1) / kGrain; }
  static std::size_t BlockBytes(std::size_t sizeClass) { return (sizeClass + 1) * kGrain; }

  ~BlockCache() {
    for (std::size_t c = 0; c < kClasses; ++c) {
      Give(c, count_[c]);
      for (std::size_t i = 0; i < count_[c]; ++i) {
        ASAN_UNPOISON_MEMORY_REGION(blocks_[c][i], BlockBytes(c));
        ::operator delete(blocks_[c][i]);
      }
      count_[c] = 0;
    }
  }

  void* Take(std::size_t sizeClass) {
    if (count_[sizeClass] == 0) Fetch(sizeClass);
    if (count_[sizeClass] == 0) return nullptr;
    void* block = blocks_[sizeClass][--count_[sizeClass]];
    ASAN_UNPOISON_MEMORY_REGION(block, BlockBytes(sizeClass));
    return block;
  }
  bool Keep(std::size_t sizeClass, void* block) {
    if (count_[sizeClass] == kKept) Give(sizeClass, kBatch);
    if (count_[sizeClass] == kKept) return false;
    ASAN_POISON_MEMORY_REGION(block, BlockBytes(sizeClass));
    blocks_[sizeClass][count_[sizeClass]++] = block;
    return true;
  }

 private:
  // Moves up to `wanted` of this thread's blocks to the depot, as many as it has room for.
  void Give(std::size_t c, std::size_t wanted) {
    if (wanted == 0) return;
    std::lock_guard<std::mutex> lock(depot.mutex);
    std::size_t const moved = std::min(wanted, BlockDepot::kKept - depot.count[c]);
    for (std::size_t i = 0; i < moved; ++i) {
      depot.blocks[c][depot.count[c]++] = blocks_[c][--count_[c]];
    }
  }
  // Takes up to a batch of blocks from the depot.
  void Fetch(std::size_t c) {
    std::lock_guard<std::mutex> lock(depot.mutex);
    std::size_t const moved = std::min(kBatch, depot.count[c]);
    for (std::size_t i = 0; i < moved; ++i) {
      blocks_[c][count_[c]++] = depot.blocks[c][--depot.count[c]];
    }
  }

  void* blocks_[kClasses][kKept];
  std::size_t count_[kClasses] = {};
};

// Set when the thread's cache is destroyed; trivially destructible, so that it can still be
// read by whatever frees a block later in the thread's end.
thread_local bool threadCacheGone = false;

struct ThreadCacheOwner {
  BlockCache cache;
  ~ThreadCacheOwner() { threadCacheGone = true; }
};

// The calling thread's cache; null once it is gone.
BlockCache* ThreadCache() noexcept {
  if (threadCacheGone) return nullptr;
  thread_local ThreadCacheOwner owner;
  return &owner.cache;
}

}  // namespace

void* AllocateWiped(std::size_t bytes) {
  if (bytes == 0 || bytes > kRecycledBlockLimit) return ::operator new(bytes);
  std::size_t const sizeClass = BlockCache::ClassOf(bytes);
  std::size_t const blockBytes = BlockCache::BlockBytes(sizeClass);
  void* block = nullptr;
  if (BlockCache* cache = ThreadCache()) block = cache->Take(sizeClass);
  if (!block) block = ::operator new(blockBytes);
  // Under AddressSanitizer the rest of the block, past what was asked for, is out of bounds.
  ASAN_POISON_MEMORY_REGION(static_cast<char*>(block) + bytes, blockBytes - bytes);
  return block;
}

void FreeWiped(void* block, std::size_t bytes) noexcept {
  if (!block) return;
  if (bytes == 0 || bytes > kRecycledBlockLimit) {
    Tirn::Detail::SecureZero(block, bytes);
    ::operator delete(block);
    return;
  }
  std::size_t const sizeClass = BlockCache::ClassOf(bytes);
  std::size_t const blockBytes = BlockCache::BlockBytes(sizeClass);
  // The whole block, so that it goes back to the cache or the heap all zero.
  ASAN_UNPOISON_MEMORY_REGION(block, blockBytes);
  Tirn::Detail::SecureZero(block, blockBytes);
  BlockCache* cache = ThreadCache();
  if (!cache || !cache->Keep(sizeClass, block)) ::operator delete(block);
}

void WipeString(std::string& text) {
  if (!text.empty()) Tirn::Detail::SecureZero(&text[0], text.size());
  text.clear();
}

void WipeString(WipingString& text) {
  if (!text.empty()) Tirn::Detail::SecureZero(&text[0], text.size());
  text.clear();
}

}  // namespace detail
}  // namespace Http
}  // namespace Tirn
