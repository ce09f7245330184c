// JSON text to value trees. RapidJSON's iterative SAX reader (its nesting state lives on the
// heap) parses a private copy of the text in place; the events build the tree from the leaves
// up, with an explicit stack of open containers and the definitions that describe them and a
// stack of the complete values that wait for their container to close.
#include <algorithm>
#include <charconv>
#include <cstdint>
#include <cstring>
#include <deque>
#include <limits>
#include <memory>
#include <string>
#include <system_error>
#include <utility>

#include <boost/container/small_vector.hpp>
#include <rapidjson/error/en.h>
#include <rapidjson/reader.h>

#include "tirn/json/json.h"
#include "tirn/json/json_internal.h"
#include "tirn/json/text_reader_internal.h"
#include "tirn/runtime/value/field_path_internal.h"
#include "tirn/runtime/value/secret_string.h"
#include "tirn/runtime/value/validation.h"

namespace Tirn {
namespace Json {
namespace {

using Data::CompoundValue;
using Data::DataDefinition;
using Data::DataType;
using Data::DataValue;
using Data::DataValuePtr;
using Data::ListValue;
using detail::Buffer;
using detail::HoldsSurrogate;
using detail::JsonMessage;
using detail::Reader;

// What a position of the document is defined as, with optionals and union cases taken off.
struct Expected {
  DataDefinition const* definition;  // null: decode by the JSON's own shape
  bool optional;                     // wrap what arrives in an optional value
  bool nestedOptional;               // an optional directly inside an optional
  bool viaReference;                 // reached through a structure reference
};

Expected Resolve(DataDefinition const* definition) {
  Expected expected{definition, false, false, false};
  bool unionCase = false;
  while (expected.definition) {
    switch (expected.definition->GetType().kind()) {
      case DataType::UNION_CASE:
        // A union case is present or absent like an optional, and travels like one.
        expected.optional = true;
        unionCase = true;
        expected.definition =
            static_cast<Data::WrappingDefinition const*>(expected.definition)->element().get();
        break;
      case DataType::OPTIONAL:
        if (expected.optional && !unionCase) {
          expected.nestedOptional = true;
          return expected;
        }
        expected.optional = true;
        expected.definition =
            static_cast<Data::WrappingDefinition const*>(expected.definition)->element().get();
        break;
      case DataType::STRUCTURE_REF:
        // The target is owned by the definition tree the caller holds for the whole decode.
        expected.viaReference = true;
        expected.definition =
            static_cast<Data::StructRefDefinition const*>(expected.definition)->target().get();
        if (!expected.definition) return expected;  // validation reports the dangling reference
        break;
      default:
        return expected;
    }
  }
  return expected;
}

DataType::Kind KindOf(DataDefinition const* definition) {
  return definition ? definition->GetType().kind() : DataType::VOID;
}

// Orders set elements of one leaf kind; other sets keep the order they arrived in.
bool SortableSet(ListValue::Elements const& elements, DataType::Kind& kind) {
  if (elements.empty() || !elements.front()) return false;
  kind = elements.front()->GetType().kind();
  if (kind != DataType::STRING && kind != DataType::INTEGER && kind != DataType::BOOLEAN &&
      kind != DataType::DOUBLE && kind != DataType::BLOB) {
    return false;
  }
  return std::all_of(elements.begin(), elements.end(), [kind](DataValuePtr const& element) {
    return element && element->GetType().kind() == kind;
  });
}

template <class Leaf>
void SortUnique(ListValue::Elements& elements) {
  auto value = [](DataValuePtr const& element) -> auto const& {
    return static_cast<Leaf const&>(*element).value();
  };
  std::stable_sort(elements.begin(), elements.end(),
                   [&](DataValuePtr const& a, DataValuePtr const& b) { return value(a) < value(b); });
  elements.erase(std::unique(elements.begin(), elements.end(),
                             [&](DataValuePtr const& a, DataValuePtr const& b) {
                               return value(a) == value(b);
                             }),
                 elements.end());
}


// An open container. Nothing of its value exists yet: its complete members or elements wait on
// the value stack, and the value is made when it closes. So a document that opens containers
// and never closes them costs this frame and the reader's 8 bytes per level, nothing more.
struct Frame {
  DataDefinition const* definition;  // the structure (objects) or the element (arrays)
  std::uint32_t first;               // its first complete child on the value stack
  std::uint32_t keyOffset;           // objects: the member being read, as its key's place in
  std::uint32_t keyLength;           // the buffer; 0 before the first key
  std::uint8_t flags;
};
static_assert(sizeof(Frame) <= 24, "a frame is paid once per level of nesting");

// The open containers, innermost last. The first kInline stay in place, so that a document of
// usual depth costs no allocation; deeper ones go to blocks that never move, so that a deep
// document's stack is never held twice while it grows.
class FrameStack {
 public:
  bool empty() const { return size_ == 0; }
  std::size_t size() const { return size_; }
  Frame& operator[](std::size_t i) { return i < kInline ? inline_[i] : (*deep_)[i - kInline]; }
  Frame const& operator[](std::size_t i) const {
    return i < kInline ? inline_[i] : (*deep_)[i - kInline];
  }
  Frame& back() { return (*this)[size_ - 1]; }
  Frame const& back() const { return (*this)[size_ - 1]; }
  void push_back(Frame const& frame) {
    if (size_ < kInline) {
      inline_[size_] = frame;
    } else {
      if (!deep_) deep_ = std::make_unique<std::deque<Frame>>();
      deep_->push_back(frame);
    }
    ++size_;
  }
  void pop_back() {
    --size_;
    if (size_ >= kInline) deep_->pop_back();
  }

 private:
  static constexpr std::size_t kInline = 16;
  Frame inline_[kInline];
  std::unique_ptr<std::deque<Frame>> deep_;
  std::size_t size_ = 0;
};

constexpr std::uint8_t kObject = 1;
constexpr std::uint8_t kSet = 2;
constexpr std::uint8_t kOptional = 4;  // wrap the value in an optional when it closes
// The definition is part of the tree the decode was given, not reached through a reference:
// the values made from it may borrow its names, keeping the tree alive.
constexpr std::uint8_t kOwned = 8;

// A complete value waiting for its container to close; members keep their key.
struct Member {
  DataValuePtr value;
  std::uint32_t keyOffset;
  std::uint32_t keyLength;
};

unsigned Hex4(char const* text) {
  unsigned value = 0;
  for (int i = 0; i < 4; ++i) {
    char const c = text[i];
    unsigned const digit = static_cast<unsigned>(c <= '9' ? c - '0' : (c | 0x20) - 'a' + 10);
    value = value << 4 | digit;
  }
  return value;
}

// The offset of the first \u escape of an unpaired surrogate in the string whose text starts
// at `from`. The reader has accepted the string: its escapes are whole, and a high surrogate
// is always followed by the escape of a low one.
std::size_t SurrogateEscapeAt(boost::string_view source, std::size_t from) {
  for (std::size_t i = from; i < source.size() && source[i] != '"'; ++i) {
    if (source[i] != '\\') continue;
    if (source[i + 1] != 'u') {
      ++i;
      continue;
    }
    unsigned const unit = Hex4(source.data() + i + 2);
    if (unit >= 0xdc00 && unit <= 0xdfff) return i;
    i += unit >= 0xd800 && unit <= 0xdbff ? 11 : 5;
  }
  return from;
}

class Builder : public rapidjson::BaseReaderHandler<rapidjson::UTF8<>, Builder> {
 public:
  Builder(Data::DataDefinitionPtr const& root, boost::string_view source, char const* buffer,
          std::size_t maxDepth, std::list<BaseMessage>& messages)
      : rootDefinition_(root.get()),
        keeper_(root),
        source_(source),
        buffer_(buffer),
        maxDepth_(maxDepth),
        messages_(messages) {}

  DataValuePtr& root() { return root_; }
  bool failed() const { return failed_; }

  // ---- Scalars ----------------------------------------------------------------------------

  bool Null() {
    Expected expected;
    if (!Next(expected)) return false;
    if (expected.optional) return Complete(Data::OptionalValue::GetInstance());
    return Complete(Data::VoidValue::GetInstance());
  }

  bool Bool(bool value) {
    Expected expected;
    return Next(expected) && Complete(Data::BooleanValue::GetInstance(value), expected.optional);
  }

  bool RawNumber(char const* text, rapidjson::SizeType length, bool) {
    Expected expected;
    if (!Next(expected)) return false;
    char const* end = text + length;
    DataType::Kind const kind = KindOf(expected.definition);
    bool const integral = std::find_if(text, end, [](char c) {
                            return c == '.' || c == 'e' || c == 'E';
                          }) == end;
    if (integral && kind != DataType::DOUBLE) {
      long long number = 0;
      auto result = std::from_chars(text, end, number);
      if (result.ec == std::errc() && result.ptr == end) {
        return Complete(Data::IntegerValue::GetInstance(number), expected.optional);
      }
      if (kind == DataType::INTEGER) {
        return Fail(MessageIds::kNumberOutOfRange, std::string(text, length));
      }
    }
    double number = 0;
    auto result = std::from_chars(text, end, number);
    if (result.ec == std::errc::result_out_of_range) {
      // from_chars reports underflow and overflow alike; only overflow has no double.
      if (!Underflows(text, end)) {
        return Fail(MessageIds::kNumberOutOfRange, std::string(text, length));
      }
      number = *text == '-' ? -0.0 : 0.0;
    } else if (result.ec != std::errc() || result.ptr != end) {
      return Fail(MessageIds::kNumberOutOfRange, std::string(text, length));
    }
    return Complete(Data::DoubleValue::GetInstance(number), expected.optional);
  }

  bool String(char const* text, rapidjson::SizeType length, bool) {
    Expected expected;
    if (!Next(expected)) return false;
    if (HoldsSurrogate(text, length)) return FailSurrogate(text);
    DataType::Kind const kind = KindOf(expected.definition);
    if (length == 0 && expected.optional && expected.definition &&
        (kind == DataType::INTEGER || kind == DataType::DOUBLE || kind == DataType::BOOLEAN ||
         kind == DataType::VOID || kind == DataType::LIST || DataType(kind).IsCompound())) {
      // An empty string where an optional of a kind that is not text is expected stands for
      // the optional left empty, as null does ("port": ""). For text, blobs and secrets it is
      // a value of its own.
      return Complete(Data::OptionalValue::GetInstance());
    }
    switch (kind) {
      case DataType::SECRET:
        return Complete(Data::SecretValue::GetInstance(SecretString(text, length)),
                        expected.optional);
      case DataType::BLOB: {
        std::string bytes;
        if (!detail::DecodeBase64(boost::string_view(text, length), bytes)) {
          return Fail(MessageIds::kInvalidBase64);
        }
        return Complete(Data::BlobValue::GetInstance(std::move(bytes)), expected.optional);
      }
      case DataType::INTEGER: {
        // Integers may travel as strings; text that is no integer stays a string, which the
        // native side refuses with its own message.
        long long number = 0;
        char const* begin = text;
        if (length > 1 && *begin == '+' && begin[1] != '-') ++begin;
        auto result = std::from_chars(begin, text + length, number);
        if (length > 0 && result.ec == std::errc() && result.ptr == text + length) {
          return Complete(Data::IntegerValue::GetInstance(number), expected.optional);
        }
        break;
      }
      default:
        break;
    }
    return Complete(Data::StringValue::GetInstance(std::string(text, length)), expected.optional);
  }

  // ---- Containers -------------------------------------------------------------------------

  bool StartObject() { return Open(true); }

  bool Key(char const* text, rapidjson::SizeType length, bool) {
    Frame& frame = frames_.back();
    frame.keyOffset = 0;  // a message about the key names the object
    if (HoldsSurrogate(text, length)) return FailSurrogate(text);
    frame.keyOffset = OffsetOf(text);
    frame.keyLength = length;
    member_ = nullptr;
    if (frame.definition) {
      auto const& fields = static_cast<Data::StructDefinition const*>(frame.definition)->fields();
      auto found = fields.find(std::string(text, length));
      if (found != fields.end()) member_ = found->second.get();
    }
    return true;
  }

  bool EndObject(rapidjson::SizeType) {
    Frame& frame = frames_.back();
    std::size_t const count = values_.size() - frame.first;
    std::shared_ptr<CompoundValue> object;
    // A structure of the given tree borrows its name and its defined field names from it.
    bool const borrow = frame.definition && (frame.flags & kOwned) != 0;
    Data::DataDefinition::FieldMap const* defined = nullptr;
    if (frame.definition) {
      auto const& definition = *static_cast<Data::StructDefinition const*>(frame.definition);
      // Room for the defined fields and for those that arrived.
      std::size_t const room = std::max(definition.fields().size(), count);
      bool const error = definition.GetType().kind() == DataType::ERROR;
      if (borrow) {
        Data::SharedName const name{definition.name(), keeper_};
        object = error ? std::shared_ptr<CompoundValue>(Data::ErrorValue::GetInstance(name, room))
                       : Data::StructValue::GetInstance(name, room);
        defined = &definition.fields();
      } else if (error) {
        object = Data::ErrorValue::GetInstance(definition.name(), room);
      } else {
        object = Data::StructValue::GetInstance(definition.name(), room);
      }
    } else {
      object = Data::DynamicStructValue::GetInstance(std::string(), count);
    }
    // The defined names, walked beside the members: in a canonical text both are in name
    // order, so each member's defined name is found without a search. A member found there
    // is named by the definition's string; any other keeps a copy of its key.
    auto definedAt = defined ? defined->begin() : Data::DataDefinition::FieldMap::const_iterator();
    for (auto member = values_.begin() + frame.first; member != values_.end(); ++member) {
      std::size_t const before = object->fields().size();
      boost::string_view const key = KeyAt(member->keyOffset, member->keyLength);
      DataValuePtr* slot = nullptr;
      if (defined) {
        while (definedAt != defined->end() && boost::string_view(definedAt->first) < key) {
          ++definedAt;
        }
        if (definedAt != defined->end() && boost::string_view(definedAt->first) == key) {
          slot = object->StaticFieldSlot(definedAt->first);
        }
      }
      if (!slot) slot = object->FieldSlot(key);
      if (object->fields().size() == before) {
        frame.keyOffset = member->keyOffset;
        frame.keyLength = member->keyLength;
        return Fail(MessageIds::kDuplicateKey,
                    std::string(KeyAt(member->keyOffset, member->keyLength)));
      }
      *slot = std::move(member->value);
    }
    return Close(std::move(object));
  }

  bool StartArray() { return Open(false); }

  bool EndArray(rapidjson::SizeType) {
    Frame const& frame = frames_.back();
    std::size_t const count = values_.size() - frame.first;
    bool const set = (frame.flags & kSet) != 0;
    auto list = ListValue::GetInstance(set ? ListValue::SET : ListValue::LIST);
    if (count > 0) {
      DataValuePtr* slot = list->AppendSlots(count);
      for (auto member = values_.begin() + frame.first; member != values_.end(); ++member) {
        *slot++ = std::move(member->value);
      }
    }
    if (set) {
      // Building is over for this list; it is still private to the decoder.
      auto& elements = const_cast<ListValue::Elements&>(list->elements());
      DataType::Kind kind;
      if (SortableSet(elements, kind)) {
        switch (kind) {
          case DataType::STRING:
            SortUnique<Data::StringValue>(elements);
            break;
          case DataType::INTEGER:
            SortUnique<Data::IntegerValue>(elements);
            break;
          case DataType::BOOLEAN:
            SortUnique<Data::BooleanValue>(elements);
            break;
          case DataType::DOUBLE:
            SortUnique<Data::DoubleValue>(elements);
            break;
          default:
            SortUnique<Data::BlobValue>(elements);
            break;
        }
      }
    }
    return Close(std::move(list));
  }

  // The field path of the value being read, or, after the parser stopped, of the one it was
  // about to read: in an array, the element after the complete ones.
  std::string Path() const {
    Data::detail::PathText path;
    std::size_t end = values_.size();
    for (std::size_t level = frames_.size(); level-- > 0;) {
      Frame const* frame = &frames_[level];
      if (!(frame->flags & kObject)) {
        path.AddOuter(Data::detail::PathStep::Element(end - frame->first));
      } else if (frame->keyOffset != 0) {
        path.AddOuter(Data::detail::PathStep::Field(KeyAt(frame->keyOffset, frame->keyLength)));
      }
      end = frame->first;
    }
    return path.str();
  }

 private:
  // What the value that starts now is defined as; false after a message.
  bool Next(Expected& expected) {
    DataDefinition const* definition = rootDefinition_;
    if (!frames_.empty()) {
      Frame const& frame = frames_.back();
      definition = frame.flags & kObject ? member_ : frame.definition;
    }
    expected = Resolve(definition);
    if (expected.nestedOptional) return Fail(MessageIds::kNestedOptional);
    return true;
  }

  // A value is complete: the root, or a child of the innermost open container.
  bool Complete(DataValuePtr value, bool optional = false) {
    if (optional) {
      auto wrapper = Data::OptionalValue::GetInstance();
      wrapper->value(std::move(value));
      value = std::move(wrapper);
    }
    if (frames_.empty()) {
      root_ = std::move(value);
    } else {
      Frame const& parent = frames_.back();
      values_.push_back(Member{std::move(value), parent.keyOffset, parent.keyLength});
    }
    return true;
  }

  bool Open(bool object) {
    if (maxDepth_ != 0 && frames_.size() >= maxDepth_) {
      return Fail(MessageIds::kTooDeep, std::to_string(maxDepth_));
    }
    Expected expected;
    if (!Next(expected)) return false;
    // Owned by the given tree: not reached through a reference, here or further up.
    bool const owned =
        !expected.viaReference && (frames_.empty() || (frames_.back().flags & kOwned) != 0);
    Frame frame{nullptr, static_cast<std::uint32_t>(values_.size()), 0, 0,
                static_cast<std::uint8_t>((object ? kObject : 0) |
                                          (expected.optional ? kOptional : 0) |
                                          (owned ? kOwned : 0))};
    DataType::Kind const kind = KindOf(expected.definition);
    if (object && (kind == DataType::STRUCTURE || kind == DataType::ERROR)) {
      frame.definition = expected.definition;
    } else if (!object && kind == DataType::LIST) {
      auto const* list = static_cast<Data::ListDefinition const*>(expected.definition);
      if (list->isSet()) frame.flags |= kSet;
      frame.definition = list->element().get();
    }
    frames_.push_back(frame);
    return true;
  }

  // The innermost container is made: its children leave the value stack, and it takes their
  // place as a child of its own container.
  bool Close(DataValuePtr value) {
    bool const optional = (frames_.back().flags & kOptional) != 0;
    values_.erase(values_.begin() + frames_.back().first, values_.end());
    frames_.pop_back();
    return Complete(std::move(value), optional);
  }

  std::uint32_t OffsetOf(char const* text) const {
    return static_cast<std::uint32_t>(text - buffer_);
  }
  boost::string_view KeyAt(std::uint32_t offset, std::uint32_t length) const {
    return boost::string_view(buffer_ + offset, length);
  }

  template <class... Args>
  bool Fail(char const* id, Args&&... args) {
    messages_.push_back(JsonMessage(id, Path(), std::forward<Args>(args)...));
    failed_ = true;
    return false;
  }

  // The string whose decoded text starts at `text` holds a lone surrogate. Parsing in place
  // writes a string's text from where its source starts, so the source is found at the same
  // offset.
  bool FailSurrogate(char const* text) {
    return Fail(MessageIds::kInvalidUtf8,
                std::to_string(SurrogateEscapeAt(source_, OffsetOf(text))));
  }

  // Whether a number text that is out of range is too small rather than too large: its
  // decimal exponent, counted from the first significant digit, is negative.
  static bool Underflows(char const* text, char const* end) {
    char const* p = text;
    if (p != end && *p == '-') ++p;
    long long position = 0;  // exponent contributed by the digits' position
    bool seenNonZero = false;
    bool afterPoint = false;
    for (; p != end && *p != 'e' && *p != 'E'; ++p) {
      if (*p == '.') {
        afterPoint = true;
        continue;
      }
      if (!seenNonZero) {
        if (*p != '0') {
          seenNonZero = true;
          if (!afterPoint) ++position;
        } else if (afterPoint) {
          --position;
        }
      } else if (!afterPoint) {
        ++position;
      }
    }
    if (!seenNonZero) return true;
    long long exponent = 0;
    if (p != end) {
      ++p;
      bool negative = p != end && *p == '-';
      if (p != end && (*p == '-' || *p == '+')) ++p;
      for (; p != end; ++p) {
        if (exponent < 1000000) exponent = exponent * 10 + (*p - '0');
      }
      if (negative) exponent = -exponent;
    }
    return position + exponent <= 0;
  }

  DataDefinition const* rootDefinition_;
  std::shared_ptr<void const> keeper_;  // the definition tree, kept by values that borrow names
  boost::string_view source_;
  char const* buffer_;
  std::size_t maxDepth_;
  std::list<BaseMessage>& messages_;
  DataValuePtr root_;
  FrameStack frames_;
  // The members and elements read of the open containers; a small document's stay inline.
  boost::container::small_vector<Member, 16> values_;
  DataDefinition const* member_ = nullptr;  // the definition of the member whose key was read
  bool failed_ = false;
};

// The number text that starts at `offset`.
std::string NumberAt(boost::string_view text, std::size_t offset) {
  std::size_t end = std::min(offset, text.size());
  while (end < text.size() && std::strchr("+-.0123456789eE", text[end]) != nullptr) ++end;
  return std::string(text.substr(offset, end - offset));
}

}  // namespace

bool Decode(boost::string_view text, Data::DataDefinitionPtr const& definition,
            Data::DataValuePtr* out, std::list<BaseMessage>& messages,
            DecodeOptions const& options) {
  if (text.size() >= std::numeric_limits<rapidjson::SizeType>::max()) {
    messages.push_back(
        JsonMessage(MessageIds::kTooLarge, std::string("<root>"), std::to_string(text.size())));
    return false;
  }
  // The reader takes a zero byte for the end of the text: refuse one inside it.
  if (void const* zero = std::memchr(text.data(), '\0', text.size())) {
    std::size_t const offset = static_cast<std::size_t>(static_cast<char const*>(zero) - text.data());
    messages.push_back(JsonMessage(MessageIds::kSyntax, std::string("<root>"),
                                   std::string("A zero byte"), std::to_string(offset)));
    return false;
  }
  Buffer buffer(text);
  Builder builder(definition, text, buffer.data(), options.maxDepth, messages);
  Reader reader(detail::StackOf<detail::ReaderStack>());
  rapidjson::InsituStringStream stream(buffer.data());
  constexpr unsigned kFlags = detail::kInPlaceFlags | rapidjson::kParseNumbersAsStringsFlag;
  rapidjson::ParseResult const result = reader.Parse<kFlags>(stream, builder);
  if (builder.failed()) return false;
  if (result.IsError()) {
    std::string const offset = std::to_string(result.Offset());
    std::string const path = builder.Path();
    switch (result.Code()) {
      case rapidjson::kParseErrorStringInvalidEncoding:
      case rapidjson::kParseErrorStringUnicodeSurrogateInvalid:
        messages.push_back(JsonMessage(MessageIds::kInvalidUtf8, path, offset));
        break;
      case rapidjson::kParseErrorNumberTooBig:
        messages.push_back(
            JsonMessage(MessageIds::kNumberOutOfRange, path, NumberAt(text, result.Offset())));
        break;
      default: {
        // RapidJSON's sentences end with a period, which the message's own would double.
        std::string reason = rapidjson::GetParseError_En(result.Code());
        if (!reason.empty() && reason.back() == '.') reason.pop_back();
        messages.push_back(JsonMessage(MessageIds::kSyntax, path, reason, offset));
      }
    }
    return false;
  }
  if (definition && options.validate && !Data::Validate(definition, builder.root(), messages)) {
    return false;
  }
  *out = std::move(builder.root());
  return true;
}

}  // namespace Json
}  // namespace Tirn
