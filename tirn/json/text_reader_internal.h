// What the JSON decoder and the direct native reader share: RapidJSON's reader with its stack
// in a block kept per thread, the private copy of the text that both parse in place, and the
// check for the lone surrogates the reader lets through.
#ifndef TIRN_JSON_TEXT_READER_INTERNAL_H_
#define TIRN_JSON_TEXT_READER_INTERNAL_H_

#include <cstddef>
#include <cstring>
#include <memory>

#include <boost/utility/string_view.hpp>
#include <rapidjson/reader.h>

#include "tirn/json/stack_allocator_internal.h"
#include "tirn/runtime/value/secret_string.h"

namespace Tirn {
namespace Json {
namespace detail {

// RapidJSON's own stack (two 4-byte words per open container), starting in this thread's
// block (stack_allocator_internal.h); its initial capacity is RapidJSON's default, 256 bytes.
struct ReaderStackUse;
using ReaderStack = StackAllocator<ReaderStackUse, 256>;

// The reader, its stack on a ReaderStack: `Reader reader(StackOf<ReaderStack>())`.
using Reader = rapidjson::GenericReader<rapidjson::UTF8<>, rapidjson::UTF8<>, ReaderStack>;


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
// by enough zero bytes for the longest sequence. A short text (a call's input or answer, as a
// rule) is copied into the buffer's own room, a longer one into memory of its own.
class Buffer {
 public:
  explicit Buffer(boost::string_view text) : size_(text.size() + kPadding) {
    if (size_ > sizeof(room_)) {
      heap_.reset(new char[size_]);
      data_ = heap_.get();
    }
    std::memcpy(data_, text.data(), text.size());
    std::memset(data_ + text.size(), 0, kPadding);
  }
  ~Buffer() { Tirn::Detail::SecureZero(data_, size_); }
  Buffer(Buffer const&) = delete;
  Buffer& operator=(Buffer const&) = delete;
  char* data() { return data_; }

 private:
  static constexpr std::size_t kPadding = 4;
  std::size_t const size_;
  std::unique_ptr<char[]> heap_;
  char room_[1024];
  char* data_ = room_;
};

}  // namespace detail
}  // namespace Json
}  // namespace Tirn

#endif  // TIRN_JSON_TEXT_READER_INTERNAL_H_
