// The direct reader (tirn/json/detail/native_reader.h): RapidJSON's events go straight into
// the native object, through the readers of its types. One frame per open object or array
// says where the next value goes; any event the type does not take stops the parse, and the
// caller reads the text the full way.
#include <climits>
#include <cstdint>
#include <cstring>
#include <limits>

#include <boost/container/small_vector.hpp>
#include <rapidjson/reader.h>

#include "tirn/json/detail/native_reader.h"
#include "tirn/json/text_reader_internal.h"

namespace Tirn {
namespace Json {
namespace detail {
namespace {

class Filler : public rapidjson::BaseReaderHandler<rapidjson::UTF8<>, Filler> {
 public:
  Filler(NativeReader const& root, void* target) : root_(&root), rootTarget_(target) {}

  bool Null() {
    NativeReader const* reader;
    void* target;
    if (!Place(reader, target, true)) return false;
    return reader == nullptr || (reader->null && reader->null(target));
  }
  bool Bool(bool value) {
    NativeReader const* reader;
    void* target;
    return Place(reader, target, false) && reader->boolean && reader->boolean(target, value);
  }
  bool Int(int value) { return Integer(value); }
  bool Uint(unsigned value) { return Integer(value); }
  bool Int64(std::int64_t value) { return Integer(value); }
  bool Uint64(std::uint64_t value) {
    return value <= static_cast<std::uint64_t>(LLONG_MAX) &&
           Integer(static_cast<long long>(value));
  }
  // No native member holds a double, and a number with a fraction is no integer.
  bool Double(double) { return false; }

  bool String(char const* text, rapidjson::SizeType length, bool) {
    if (HoldsSurrogate(text, length)) return false;
    // The empty string where an optional of another kind than text is leaves it empty: the
    // full path decides, and nothing is engaged here that it would have to find as it was.
    if (length == 0 && NextIsOptionalOfNoText()) return false;
    NativeReader const* reader;
    void* target;
    return Place(reader, target, false) && reader->string && reader->string(target, text, length);
  }

  bool StartObject() {
    NativeReader const* reader;
    void* target;
    if (!Place(reader, target, false) || reader->shape != NativeReader::kStructure) return false;
    NativeFields const& fields = reader->fields();
    if (!fields.direct) return false;
    frames_.push_back(Frame{reader, target, &fields, 0, nullptr, nullptr});
    return true;
  }

  bool Key(char const* text, rapidjson::SizeType length, bool) {
    Frame& frame = frames_.back();
    std::vector<NativeField> const& fields = frame.fields->fields;
    for (std::size_t i = 0; i < fields.size(); ++i) {
      NativeField const& field = fields[i];
      if (field.name.size() != length || std::memcmp(field.name.data(), text, length) != 0) {
        continue;
      }
      std::uint64_t const bit = std::uint64_t{1} << i;
      if (frame.seen & bit) return false;  // a repeated key
      frame.seen |= bit;
      frame.next = field.reader;
      frame.nextTarget = static_cast<char*>(frame.target) + field.offset;
      return true;
    }
    return false;  // a field the structure does not name
  }

  bool EndObject(rapidjson::SizeType) {
    Frame const& frame = frames_.back();
    if ((frame.seen & frame.fields->required) != frame.fields->required) return false;
    frames_.pop_back();
    return true;
  }

  bool StartArray() {
    NativeReader const* reader;
    void* target;
    if (!Place(reader, target, false) || reader->shape != NativeReader::kList) return false;
    reader->clear(target);
    frames_.push_back(Frame{reader, target, nullptr, 0, nullptr, nullptr});
    return true;
  }

  bool EndArray(rapidjson::SizeType) {
    frames_.pop_back();
    return true;
  }

 private:
  struct Frame {
    NativeReader const* reader;  // the structure's, or the list's or set's
    void* target;
    NativeFields const* fields;  // structures
    std::uint64_t seen;          // structures: the members read so far
    NativeReader const* next;    // structures: the member whose key was read last
    void* nextTarget;
  };

  bool Integer(long long value) {
    NativeReader const* reader;
    void* target;
    return Place(reader, target, false) && reader->integer && reader->integer(target, value);
  }

  // Where the value that starts now goes, and how it is read, with optionals and shared
  // objects engaged on the way. A null read where an optional is leaves the optional as it is
  // (`reader` null), as the full path does. False for an optional directly inside an optional.
  bool Place(NativeReader const*& reader, void*& target, bool null) {
    if (frames_.empty()) {
      reader = root_;
      target = rootTarget_;
    } else {
      Frame const& frame = frames_.back();
      if (frame.fields) {
        reader = frame.next;
        target = frame.nextTarget;
      } else {
        reader = frame.reader->element;
        target = frame.reader->append ? frame.reader->append(frame.target) : frame.target;
      }
    }
    bool optional = false;
    for (;;) {
      if (reader->shape == NativeReader::kOptional) {
        if (optional) return false;
        optional = true;
        if (null) {
          reader = nullptr;
          return true;
        }
      } else if (reader->shape != NativeReader::kShared) {
        return true;
      }
      target = reader->engage(target);
      reader = reader->element;
    }
  }

  // Whether the value that starts now goes into an optional (through shared objects) of
  // something that is not read from text, found without engaging or appending anything.
  bool NextIsOptionalOfNoText() const {
    NativeReader const* reader = root_;
    if (!frames_.empty()) {
      Frame const& frame = frames_.back();
      reader = frame.fields ? frame.next : frame.reader->element;
    }
    bool optional = false;
    while (reader && (reader->shape == NativeReader::kShared ||
                      reader->shape == NativeReader::kOptional)) {
      optional = optional || reader->shape == NativeReader::kOptional;
      reader = reader->element;
    }
    return optional && reader && !reader->string;
  }

  NativeReader const* root_;
  void* rootTarget_;
  boost::container::small_vector<Frame, 16> frames_;
};

}  // namespace

bool ReadNative(boost::string_view text, NativeReader const& root, void* target) {
  // Texts the full path refuses with a message of their own.
  if (text.empty()) return false;
  if (text.size() >= std::numeric_limits<rapidjson::SizeType>::max()) return false;
  if (std::memchr(text.data(), '\0', text.size()) != nullptr) return false;
  Buffer buffer(text);
  Filler filler(root, target);
  Reader reader(StackOf<ReaderStack>());
  rapidjson::InsituStringStream stream(buffer.data());
  return !reader.Parse<kInPlaceFlags>(stream, filler).IsError();
}

}  // namespace detail
}  // namespace Json
}  // namespace Tirn
