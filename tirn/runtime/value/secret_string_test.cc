#include "tirn/runtime/value/secret_string.h"

#include <malloc.h>

#include <algorithm>
#include <atomic>
#include <cstddef>
#include <cstdlib>
#include <new>
#include <sstream>
#include <string>
#include <tuple>
#include <utility>

#include <gtest/gtest.h>

// Heap blocks can only be inspected while they are still allocated, so this test program
// replaces the global allocation functions (with plain malloc and free) and, while a watch is
// open, looks into every block just before it is freed. The aligned forms are left alone.
namespace {

struct FreeWatch {
  std::atomic<bool> open{false};
  char const* pattern = nullptr;
  std::size_t patternSize = 0;
  std::size_t inspected = 0;  // blocks large enough to hold the pattern
  std::size_t leaked = 0;     // of those, blocks that still held it
};

FreeWatch watch;

void Inspect(void* block) noexcept {
  if (!block || !watch.open.load(std::memory_order_relaxed)) return;
  auto const* begin = static_cast<unsigned char const*>(block);
  std::size_t size = malloc_usable_size(block);
  if (size < watch.patternSize) return;
  ++watch.inspected;
  auto const* pattern = reinterpret_cast<unsigned char const*>(watch.pattern);
  if (std::search(begin, begin + size, pattern, pattern + watch.patternSize) != begin + size) {
    ++watch.leaked;
  }
}

// No new-handler is installed in this program: a failed allocation throws at once.
void* Allocate(std::size_t size) {
  if (void* block = std::malloc(size ? size : 1)) return block;
  throw std::bad_alloc();
}

void Release(void* block) noexcept {
  Inspect(block);
  std::free(block);
}

}  // namespace

void* operator new(std::size_t size) { return Allocate(size); }
void* operator new[](std::size_t size) { return Allocate(size); }
void* operator new(std::size_t size, std::nothrow_t const&) noexcept {
  try {
    return Allocate(size);
  } catch (std::bad_alloc const&) {
    return nullptr;
  }
}
void* operator new[](std::size_t size, std::nothrow_t const& tag) noexcept {
  return operator new(size, tag);
}
void operator delete(void* block) noexcept { Release(block); }
void operator delete[](void* block) noexcept { Release(block); }
void operator delete(void* block, std::size_t) noexcept { Release(block); }
void operator delete[](void* block, std::size_t) noexcept { Release(block); }
void operator delete(void* block, std::nothrow_t const&) noexcept { Release(block); }
void operator delete[](void* block, std::nothrow_t const&) noexcept { Release(block); }

namespace Tirn {
namespace {

// Long enough never to fit a string's inline buffer.
constexpr char kLongText[] = "heap-secret:0123456789abcdefghijklmnopqrstuvwxyz";
constexpr std::size_t kLongSize = sizeof kLongText - 1;
// Short enough always to fit it.
constexpr char kShortText[] = "pin:4711";
constexpr std::size_t kShortSize = sizeof kShortText - 1;

bool Contains(void const* data, std::size_t size, char const* text, std::size_t textSize) {
  auto const* begin = static_cast<unsigned char const*>(data);
  auto const* pattern = reinterpret_cast<unsigned char const*>(text);
  return std::search(begin, begin + size, pattern, pattern + textSize) != begin + size;
}

TEST(SecretStringTest, CopiesMovesAndAssigns) {
  for (std::string const text : {"", kShortText, kLongText}) {
    SCOPED_TRACE("text: " + text);
    SecretString original(text);
    EXPECT_EQ(original.size(), text.size());
    EXPECT_EQ(original.empty(), text.empty());
    SecretString copy(original);
    SecretString moved(std::move(copy));
    EXPECT_TRUE(copy.empty());
    SecretString assigned("something else entirely, and long enough for the heap");
    assigned = original;
    SecretString moveAssigned("x");
    moveAssigned = std::move(assigned);
    EXPECT_TRUE(assigned.empty());
    SecretString& alias = moveAssigned;
    moveAssigned = alias;
    moveAssigned = std::move(alias);
    for (SecretString const* s : {&original, &moved, &moveAssigned}) EXPECT_EQ(s->value(), text);
    EXPECT_TRUE(moved == original);
    moveAssigned.clear();
    EXPECT_TRUE(moveAssigned.empty());
    EXPECT_EQ(SecretString(text.data(), text.size()).value(), text);

    std::ostringstream out;  // never the text
    out << original;
    EXPECT_EQ(out.str(), SecretString::kMask);
  }
  EXPECT_TRUE(SecretString("a") < SecretString("b"));
  EXPECT_FALSE(SecretString("a") != SecretString(std::string("a")));
}

// A short secret lives inside the object, so its bytes can be inspected in place. Each case
// checks for the part of the text that even an overwrite with a shorter text leaves behind.
TEST(SecretStringTest, ReleasedInlineTextIsWiped) {
  char const* const kTail = kShortText + 3;
  std::size_t const kTailSize = kShortSize - 3;
  // How the secret is released, and whether that destroys it.
  std::tuple<char const*, void (*)(SecretString&), bool> const cases[] = {
      {"moved from", [](SecretString& s) { SecretString taken(std::move(s)); }, false},
      {"move-assigned from", [](SecretString& s) { SecretString{} = std::move(s); }, false},
      {"cleared", [](SecretString& s) { s.clear(); }, false},
      {"assigned over", [](SecretString& s) { s = SecretString("ab"); }, false},
      {"destroyed", [](SecretString& s) { s.~SecretString(); }, true},
  };
  for (auto const& [what, release, destroys] : cases) {
    SCOPED_TRACE(what);
    alignas(SecretString) unsigned char storage[sizeof(SecretString)];
    auto* secret = new (storage) SecretString(kShortText, kShortSize);
    // Otherwise the check below would prove nothing.
    ASSERT_TRUE(Contains(storage, sizeof storage, kTail, kTailSize));
    release(*secret);
    EXPECT_FALSE(Contains(storage, sizeof storage, kTail, kTailSize));
    if (!destroys) secret->~SecretString();
  }
}

// A long secret lives in a heap block; the replaced operator delete sees each block before it
// is freed.
TEST(SecretStringTest, ReleasedHeapTextIsWiped) {
  watch.pattern = kLongText;
  watch.patternSize = kLongSize;
  auto openWatch = [] {
    watch.inspected = 0;
    watch.leaked = 0;
    watch.open = true;
  };

  // The watch itself works: a plain string's block still holds the text when it is freed.
  openWatch();
  { std::string plain(kLongText); }
  watch.open = false;
  ASSERT_GE(watch.inspected, 1u);
  ASSERT_EQ(watch.leaked, 1u);

  openWatch();
  {
    SecretString fromTemporary{std::string(kLongText)};  // the temporary is wiped too
    SecretString copy(fromTemporary);
    SecretString moved(std::move(copy));
    SecretString assignedOver(kLongText, kLongSize);
    assignedOver = SecretString(std::string(200, 'y'));  // reallocates: the old block is freed
    SecretString moveAssignedOver(kLongText, kLongSize);
    moveAssignedOver = SecretString(std::string(300, 'z'));
    SecretString cleared(kLongText, kLongSize);
    cleared.clear();
    SecretString target;
    target = std::move(moved);
    EXPECT_EQ(target.value(), kLongText);
  }
  watch.open = false;
  EXPECT_GE(watch.inspected, 7u);
  EXPECT_EQ(watch.leaked, 0u);
}

}  // namespace
}  // namespace Tirn
