#include "tirn/http/wiping_allocator.h"

#include <gtest/gtest.h>

#include <cstddef>
#include <cstring>
#include <string>

namespace {

using Tirn::Http::detail::AllocateWiped;
using Tirn::Http::detail::FreeWiped;
using Tirn::Http::detail::kRecycledBlockLimit;

// A small block goes back to this thread's cache when it is freed, and the next block of its
// size comes from there: it must come back with none of the bytes it held, at every size the
// cache keeps.
TEST(WipingAllocator, ARecycledBlockComesBackWithNothingOfWhatItHeld) {
  for (std::size_t const bytes : {std::size_t{1}, std::size_t{16}, std::size_t{100},
                                  kRecycledBlockLimit}) {
    SCOPED_TRACE(bytes);
    auto* first = static_cast<char*>(AllocateWiped(bytes));
    std::memset(first, 'S', bytes);
    FreeWiped(first, bytes);
    auto* again = static_cast<char*>(AllocateWiped(bytes));
    ASSERT_EQ(again, first) << "the freed block was not the one handed out again";
    EXPECT_EQ(std::string(again, bytes), std::string(bytes, '\0'));
    FreeWiped(again, bytes);
  }
}

}  // namespace
