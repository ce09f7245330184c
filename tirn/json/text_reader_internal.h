// What the JSON decoder and the direct native reader share: RapidJSON's reader with its stack
// on operator new, the private copy of the text that both parse in place, and the check for
// the lone surrogates the reader lets through.
#ifndef TIRN_JSON_TEXT_READER_INTERNAL_H_
#define TIRN_JSON_TEXT_READER_INTERNAL_H_

#include <algorithm>
#include <cstddef>
#include <cstring>
#include <new>
#include <string>

#include <boost/utility/string_view.hpp>
#include <rapidjson/reader.h>

#include "tirn/runtime/value/secret_string.h"

namespace Tirn {
namespace Json {
namespace detail {

// RapidJSON's own stack (two 4-byte words per open container), allocated through operator
// new like the rest of the decoder's memory, so that whoever watches the process's
// allocations sees what a decode costs in one place.
class StackAllocator {
 public:
  // Part of the allocator concept the reader expects; it reads it only in some builds.
  [[maybe_unused]] static bool const kNeedFree = true;
  void* Malloc(std::size_t size) { return size ? ::operator new(size) : nullptr; }
  void* Realloc(void* original, std::size_t originalSize, std::size_t newSize) {
    if (newSize == 0) {
      Free(original);
      return nullptr;
    }
    void* block = ::operator new(newSize);
    if (original) std::memcpy(block, original, std::min(originalSize, newSize));
    Free(original);
    return block;
  }
  static void Free(void* block) { ::operator delete(block); }
};

using Reader = rapidjson::GenericReader<rapidjson::UTF8<>, rapidjson::UTF8<>, StackAllocator>;

// The flags both readers parse with: in place, UTF-8 checked, nesting on the heap.
constexpr unsigned kInPlaceFlags = rapidjson::kParseInsituFlag |
                                   rapidjson::kParseValidateEncodingFlag |
                                   rapidjson::kParseIterativeFlag;

// Whether decoded text holds a UTF-16 surrogate. The reader refuses surrogates in the raw
// bytes, and a high surrogate escape without the escape of a low one after it, but writes a
// lone low surrogate escape ("\udc00") out as three bytes that are no UTF-8: those are what
// this finds.
inline bool HoldsSurrogate(char const* text, std::size_t length) {
  char const* const end = text + length;
  for (char const* p = text; p != end; ++p) {
    p = static_cast<char const*>(std::memchr(p, '\xed', static_cast<std::size_t>(end - p)));
    if (!p) return false;
    if (end - p > 1 && static_cast<unsigned char>(p[1]) >= 0xa0) return true;
  }
  return false;
}

// Our private copy of the text, parsed in place, and wiped however the decoding ends: a
// secret's text may sit in it, whole or cut short. The reader's UTF-8 check takes the
// continuation bytes a lead byte announces before it looks at them, so the text is followed
// by enough zero bytes for the longest sequence.
class Buffer {
 public:
  explicit Buffer(boost::string_view text) {
    bytes_.reserve(text.size() + kPadding);
    bytes_.append(text.data(), text.size());
    bytes_.append(kPadding, '\0');
  }
  ~Buffer() { Tirn::Detail::SecureZero(&bytes_[0], bytes_.size()); }
  Buffer(Buffer const&) = delete;
  Buffer& operator=(Buffer const&) = delete;
  char* data() { return &bytes_[0]; }

 private:
  static constexpr std::size_t kPadding = 4;
  std::string bytes_;
};

}  // namespace detail
}  // namespace Json
}  // namespace Tirn

#endif  // TIRN_JSON_TEXT_READER_INTERNAL_H_
