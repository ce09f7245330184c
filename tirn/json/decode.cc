// JSON text to value trees. RapidJSON's iterative SAX reader (its nesting state lives on the
// heap) parses a private copy of the text in place; the events build the tree directly, with
// an explicit stack of open containers and the definitions that describe them.
#include <algorithm>
#include <charconv>
#include <cstdint>
#include <cstring>
#include <limits>
#include <memory>
#include <string>
#include <system_error>
#include <utility>
#include <vector>

#include <rapidjson/error/en.h>
#include <rapidjson/reader.h>

#include "tirn/json/json.h"
#include "tirn/json/json_internal.h"
#include "tirn/runtime/secret_string.h"
#include "tirn/runtime/validation.h"

namespace Tirn {
namespace Json {
namespace {

using Data::CompoundValue;
using Data::DataDefinition;
using Data::DataType;
using Data::DataValue;
using Data::DataValuePtr;
using Data::ListValue;
using detail::JsonMessage;
using detail::PathStep;

// What a position of the document is defined as, with optionals and union cases taken off.
struct Expected {
  DataDefinition const* definition;  // null: decode by the JSON's own shape
  bool optional;                     // wrap what arrives in an optional value
  bool nestedOptional;               // an optional directly inside an optional
};

Expected Resolve(DataDefinition const* definition) {
  Expected expected{definition, false, false};
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

// A container being filled.
struct Frame {
  DataValue* container;                     // a CompoundValue or a ListValue
  bool object;
  bool set;
  DataDefinition const* definition;         // the structure, or the list's element definition
  // The next member's definition and slot (objects), set by its key.
  DataDefinition const* memberDefinition;
  DataValuePtr* memberSlot;
  PathStep key;                             // the member being read (objects)
  PathStep reachedBy;                       // how the parent reached this container
};

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

class Builder : public rapidjson::BaseReaderHandler<rapidjson::UTF8<>, Builder> {
 public:
  Builder(DataDefinition const* root, std::list<BaseMessage>& messages)
      : rootDefinition_(root), messages_(messages) {}

  DataValuePtr& root() { return root_; }
  bool failed() const { return failed_; }
  bool decodedSecret() const { return decodedSecret_; }

  // ---- Scalars ----------------------------------------------------------------------------

  bool Null() {
    Expected expected;
    DataValuePtr* slot = Next(expected);
    if (!slot) return false;
    if (expected.optional) {
      *slot = Data::OptionalValue::GetInstance();
    } else {
      *slot = Data::VoidValue::GetInstance();
    }
    return true;
  }

  bool Bool(bool value) { return Place(Data::BooleanValue::GetInstance(value)); }

  bool RawNumber(char const* text, rapidjson::SizeType length, bool) {
    Expected expected;
    DataValuePtr* slot = Next(expected);
    if (!slot) return false;
    char const* end = text + length;
    DataType::Kind const kind = KindOf(expected.definition);
    bool const integral = std::find_if(text, end, [](char c) {
                            return c == '.' || c == 'e' || c == 'E';
                          }) == end;
    if (integral && kind != DataType::DOUBLE) {
      long long number = 0;
      auto result = std::from_chars(text, end, number);
      if (result.ec == std::errc() && result.ptr == end) {
        return Fill(slot, expected, Data::IntegerValue::GetInstance(number));
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
    return Fill(slot, expected, Data::DoubleValue::GetInstance(number));
  }

  bool String(char const* text, rapidjson::SizeType length, bool) {
    Expected expected;
    DataValuePtr* slot = Next(expected);
    if (!slot) return false;
    switch (KindOf(expected.definition)) {
      case DataType::SECRET:
        decodedSecret_ = true;
        return Fill(slot, expected, Data::SecretValue::GetInstance(SecretString(text, length)));
      case DataType::BLOB: {
        std::string bytes;
        if (!detail::DecodeBase64(boost::string_view(text, length), bytes)) {
          return Fail(MessageIds::kInvalidBase64);
        }
        return Fill(slot, expected, Data::BlobValue::GetInstance(std::move(bytes)));
      }
      case DataType::INTEGER: {
        // Integers may travel as strings; text that is no integer stays a string, which the
        // native side refuses with its own message.
        long long number = 0;
        char const* begin = text;
        if (length > 1 && *begin == '+' && begin[1] != '-') ++begin;
        auto result = std::from_chars(begin, text + length, number);
        if (length > 0 && result.ec == std::errc() && result.ptr == text + length) {
          return Fill(slot, expected, Data::IntegerValue::GetInstance(number));
        }
        break;
      }
      default:
        break;
    }
    return Fill(slot, expected, Data::StringValue::GetInstance(std::string(text, length)));
  }

  // ---- Containers -------------------------------------------------------------------------

  bool StartObject() {
    Expected expected;
    DataValuePtr* slot = Next(expected);
    if (!slot) return false;
    DataType::Kind const kind = KindOf(expected.definition);
    std::shared_ptr<CompoundValue> object;
    DataDefinition const* structure = nullptr;
    if (kind == DataType::STRUCTURE || kind == DataType::ERROR) {
      structure = expected.definition;
      auto const& definition = *static_cast<Data::StructDefinition const*>(structure);
      // Room for the defined fields; unknown ones still fit.
      std::size_t const fieldCount = definition.fields().size();
      if (kind == DataType::ERROR) {
        object = Data::ErrorValue::GetInstance(definition.name(), fieldCount);
      } else {
        object = Data::StructValue::GetInstance(definition.name(), fieldCount);
      }
    } else {
      object = Data::DynamicStructValue::GetInstance(std::string());
    }
    CompoundValue* raw = object.get();
    Fill(slot, expected, std::move(object));
    Open(raw, true, false, structure);
    return true;
  }

  bool Key(char const* text, rapidjson::SizeType length, bool) {
    Frame& frame = frames_.back();
    auto* object = static_cast<CompoundValue*>(frame.container);
    boost::string_view const name(text, length);
    std::size_t const before = object->fields().size();
    frame.memberSlot = object->FieldSlot(name);
    frame.key = PathStep{text, length};
    if (object->fields().size() == before) return Fail(MessageIds::kDuplicateKey, std::string(name));
    frame.memberDefinition = nullptr;
    if (frame.definition) {
      auto const& fields = static_cast<Data::StructDefinition const*>(frame.definition)->fields();
      auto found = fields.find(std::string(name));
      if (found != fields.end()) frame.memberDefinition = found->second.get();
    }
    return true;
  }

  bool EndObject(rapidjson::SizeType) {
    frames_.pop_back();
    return true;
  }

  bool StartArray() {
    Expected expected;
    DataValuePtr* slot = Next(expected);
    if (!slot) return false;
    bool set = false;
    DataDefinition const* element = nullptr;
    if (KindOf(expected.definition) == DataType::LIST) {
      auto const* list = static_cast<Data::ListDefinition const*>(expected.definition);
      set = list->isSet();
      element = list->element().get();
    }
    auto array = ListValue::GetInstance(set ? ListValue::SET : ListValue::LIST);
    ListValue* raw = array.get();
    Fill(slot, expected, std::move(array));
    Open(raw, false, set, element);
    return true;
  }

  bool EndArray(rapidjson::SizeType) {
    Frame const& frame = frames_.back();
    if (frame.set) {
      // Building is over for this list; it is still private to the decoder.
      auto& elements = const_cast<ListValue::Elements&>(
          static_cast<ListValue*>(frame.container)->elements());
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
    frames_.pop_back();
    return true;
  }

  // The field path of the value being read, for messages; with `upcoming`, of the value the
  // parser was about to read when it stopped.
  std::string Path(bool upcoming = false) const {
    std::vector<PathStep> steps;
    steps.reserve(frames_.size());
    for (std::size_t i = 1; i < frames_.size(); ++i) steps.push_back(frames_[i].reachedBy);
    if (!frames_.empty()) {
      Frame const& last = frames_.back();
      if (last.object) {
        if (last.memberSlot) steps.push_back(last.key);
      } else {
        std::size_t const count = static_cast<ListValue*>(last.container)->size();
        if (upcoming) {
          steps.push_back(PathStep{nullptr, count});
        } else if (count > 0) {
          steps.push_back(PathStep{nullptr, count - 1});
        }
      }
    }
    return detail::FormatPath(steps);
  }

 private:
  // The slot for the value that starts now and what it is defined as; null after a message.
  DataValuePtr* Next(Expected& expected) {
    DataValuePtr* slot;
    DataDefinition const* definition;
    if (frames_.empty()) {
      slot = &root_;
      definition = rootDefinition_;
    } else if (frames_.back().object) {
      Frame& frame = frames_.back();
      slot = frame.memberSlot;
      definition = frame.memberDefinition;
    } else {
      Frame& frame = frames_.back();
      slot = static_cast<ListValue*>(frame.container)->AppendSlot();
      definition = frame.definition;
    }
    expected = Resolve(definition);
    if (expected.nestedOptional) {
      Fail(MessageIds::kNestedOptional);
      return nullptr;
    }
    return slot;
  }

  bool Place(DataValuePtr value) {
    Expected expected;
    DataValuePtr* slot = Next(expected);
    return slot && Fill(slot, expected, std::move(value));
  }

  static bool Fill(DataValuePtr* slot, Expected const& expected, DataValuePtr value) {
    if (expected.optional) {
      auto optional = Data::OptionalValue::GetInstance();
      optional->value(std::move(value));
      *slot = std::move(optional);
    } else {
      *slot = std::move(value);
    }
    return true;
  }

  void Open(DataValue* container, bool object, bool set, DataDefinition const* definition) {
    PathStep step{nullptr, 0};
    if (!frames_.empty()) {
      Frame const& parent = frames_.back();
      step = parent.object ? parent.key
                           : PathStep{nullptr, static_cast<ListValue*>(parent.container)->size() - 1};
    }
    frames_.push_back(Frame{container, object, set, definition, nullptr, nullptr, {nullptr, 0}, step});
  }

  template <class... Args>
  bool Fail(char const* id, Args&&... args) {
    messages_.push_back(JsonMessage(id, Path(), std::forward<Args>(args)...));
    failed_ = true;
    return false;
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
  std::list<BaseMessage>& messages_;
  DataValuePtr root_;
  std::vector<Frame> frames_;
  bool failed_ = false;
  bool decodedSecret_ = false;
};

// Our private copy of the text, parsed in place; wiped when it held a secret. The reader's
// UTF-8 check takes the continuation bytes a lead byte announces before it looks at them, so
// the text is followed by enough zero bytes for the longest sequence.
class Buffer {
 public:
  explicit Buffer(boost::string_view text) {
    bytes_.reserve(text.size() + kPadding);
    bytes_.append(text.data(), text.size());
    bytes_.append(kPadding, '\0');
  }
  ~Buffer() {
    if (sensitive_) Tirn::Detail::SecureZero(&bytes_[0], bytes_.size());
  }
  char* data() { return &bytes_[0]; }
  void MarkSensitive() { sensitive_ = true; }

 private:
  static constexpr std::size_t kPadding = 4;
  std::string bytes_;
  bool sensitive_ = false;
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
  Builder builder(definition.get(), messages);
  rapidjson::Reader reader;
  rapidjson::InsituStringStream stream(buffer.data());
  constexpr unsigned kFlags = rapidjson::kParseInsituFlag | rapidjson::kParseValidateEncodingFlag |
                              rapidjson::kParseIterativeFlag |
                              rapidjson::kParseNumbersAsStringsFlag;
  rapidjson::ParseResult const result = reader.Parse<kFlags>(stream, builder);
  if (builder.decodedSecret()) buffer.MarkSensitive();
  if (builder.failed()) return false;
  if (result.IsError()) {
    std::string const offset = std::to_string(result.Offset());
    std::string const path = builder.Path(true);
    switch (result.Code()) {
      case rapidjson::kParseErrorStringInvalidEncoding:
        messages.push_back(JsonMessage(MessageIds::kInvalidUtf8, path, offset));
        break;
      case rapidjson::kParseErrorNumberTooBig:
        messages.push_back(
            JsonMessage(MessageIds::kNumberOutOfRange, path, NumberAt(text, result.Offset())));
        break;
      default:
        messages.push_back(JsonMessage(MessageIds::kSyntax, path,
                                       std::string(rapidjson::GetParseError_En(result.Code())),
                                       offset));
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
