// Counts every allocation the program makes through operator new: the replacements below are
// the program's own, so include this header in exactly one source file of a benchmark program.
// Allocations made with malloc directly (gRPC's core, C libraries) are not seen.
//
//   AllocationCount count;
//   ... work ...
//   count.Report(state, items);  // counters allocs/item and bytes/item
#ifndef BENCH_ALLOCATION_COUNT_H_
#define BENCH_ALLOCATION_COUNT_H_

#include <benchmark/benchmark.h>

#include <atomic>
#include <cstdlib>
#include <new>

namespace {

std::atomic<long long> gAllocations{0};
std::atomic<long long> gBytes{0};

}  // namespace

// The replacements pair malloc with free; g++ sees a library's own `new` inlined into this
// file's deletes and takes them for a mismatch.
#pragma GCC diagnostic ignored "-Wmismatched-new-delete"

void* operator new(std::size_t size) {
  gAllocations.fetch_add(1, std::memory_order_relaxed);
  gBytes.fetch_add(static_cast<long long>(size), std::memory_order_relaxed);
  if (void* memory = std::malloc(size == 0 ? 1 : size)) return memory;
  throw std::bad_alloc();
}
void operator delete(void* memory) noexcept { std::free(memory); }
void operator delete(void* memory, std::size_t) noexcept { std::free(memory); }

namespace {

// Allocations and bytes between its construction and Report, per item.
class AllocationCount {
 public:
  AllocationCount()
      : allocations_(gAllocations.load(std::memory_order_relaxed)),
        bytes_(gBytes.load(std::memory_order_relaxed)) {}

  double AllocationsPer(long long items) const {
    return static_cast<double>(gAllocations.load(std::memory_order_relaxed) - allocations_) /
           static_cast<double>(items);
  }
  double BytesPer(long long items) const {
    return static_cast<double>(gBytes.load(std::memory_order_relaxed) - bytes_) /
           static_cast<double>(items);
  }
  void Report(benchmark::State& state, long long items) const {
    state.counters["allocs/item"] = AllocationsPer(items);
    state.counters["bytes/item"] = BytesPer(items);
  }

 private:
  long long allocations_;
  long long bytes_;
};

}  // namespace

#endif  // BENCH_ALLOCATION_COUNT_H_
