// The wiping allocator behind request and answer bytes: blocks come back zeroed, and small ones
// are kept for reuse by the thread that frees them, without going back to the heap.
#include "tirn/http/wiping_allocator.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <cstddef>
#include <cstdlib>
#include <new>
#include <thread>
#include <vector>

// This program counts what it takes from the heap through operator new, to show that
// recycled blocks come back without it.
namespace {
std::atomic<long> gHeapAllocations{0};
}  // namespace

// The replacements pair malloc with free; g++ sees a library's own `new` inlined into this
// file's deletes and takes them for a mismatch.
#pragma GCC diagnostic ignored "-Wmismatched-new-delete"

void* operator new(std::size_t size) {
  gHeapAllocations.fetch_add(1, std::memory_order_relaxed);
  if (void* memory = std::malloc(size == 0 ? 1 : size)) return memory;
  throw std::bad_alloc();
}
void operator delete(void* memory) noexcept { std::free(memory); }
void operator delete(void* memory, std::size_t) noexcept { std::free(memory); }

namespace {

bool AllZero(unsigned char const* block, std::size_t size) {
  return std::all_of(block, block + size, [](unsigned char c) { return c == 0; });
}

// A small block given back is kept for reuse, on the thread that frees it, and comes back all
// zero: whatever a header or a body held is gone before anyone else gets the memory.
TEST(WipedMemory, ASmallBlockComesBackZeroedWhicheverThreadFreedIt) {
  Tirn::Http::detail::WipingAllocator<unsigned char> allocator;
  for (std::size_t size : {1u, 63u, 64u, 100u, 256u}) {
    SCOPED_TRACE(size);
    unsigned char* first = allocator.allocate(size);
    std::fill(first, first + size, 'S');
    allocator.deallocate(first, size);
    unsigned char* again = allocator.allocate(size);
    EXPECT_EQ(again, first) << "the block was not kept for reuse";
    EXPECT_TRUE(AllZero(again, size));
    std::fill(again, again + size, 'T');
    // Freed on another thread, the block is that thread's to hand out.
    std::thread other([&] {
      allocator.deallocate(again, size);
      unsigned char* there = allocator.allocate(size);
      EXPECT_EQ(there, again);
      EXPECT_TRUE(AllZero(there, size));
      allocator.deallocate(there, size);
    });
    other.join();
  }
}

TEST(WipedMemory, BlocksFreedOnAnotherThreadComeBackWithoutTheHeap) {
  // Made on this thread and freed on another, as a client's header fields are.
  constexpr std::size_t kSize = 150;
  constexpr std::size_t kBlocks = 96;  // three times what one thread keeps
  Tirn::Http::detail::WipingAllocator<unsigned char> allocator;
  std::vector<unsigned char*> blocks;
  for (std::size_t i = 0; i < kBlocks; ++i) {
    blocks.push_back(allocator.allocate(kSize));
    std::fill(blocks.back(), blocks.back() + kSize, 'S');
  }
  std::thread([&] {
    for (unsigned char* block : blocks) allocator.deallocate(block, kSize);
  }).join();
  std::vector<unsigned char*> again;
  again.reserve(kBlocks);
  long const before = gHeapAllocations.load();
  for (std::size_t i = 0; i < kBlocks; ++i) again.push_back(allocator.allocate(kSize));
  EXPECT_EQ(gHeapAllocations.load() - before, 0) << "blocks came from the heap";
  for (unsigned char* block : again) {
    EXPECT_TRUE(AllZero(block, kSize));
    allocator.deallocate(block, kSize);
  }
}

}  // namespace
