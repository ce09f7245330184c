// Value trees to JSON text. The tree is walked with an explicit stack of open containers and
// written through RapidJSON's writer; every string is checked to be valid UTF-8 first (the
// writer's own check reads past the end of a string cut inside a character). The open
// containers are the path from the root, so they also find a value that contains itself:
// each keeps the mark of Data::detail::AncestorMark, a pointer compared per level.
#include <algorithm>
#include <charconv>
#include <cmath>
#include <cstring>
#include <limits>
#include <optional>
#include <type_traits>
#include <string>
#include <utility>

#include <boost/container/small_vector.hpp>
#include <rapidjson/prettywriter.h>
#include <rapidjson/writer.h>

#include "tirn/json/json.h"
#include "tirn/json/json_internal.h"
#include "tirn/json/stack_allocator_internal.h"
#include "tirn/json/text.h"
#include "tirn/message/message.h"
#include "tirn/message/message_ids.h"
#include "tirn/runtime/value/field_path_internal.h"
#include "tirn/runtime/value/secret_string.h"
#include "tirn/runtime/value/validation.h"

namespace Tirn {
namespace Json {
namespace detail {

// The writer's output: a string that grows geometrically and wipes every buffer it leaves
// behind, and its own at the end (by then the caller's former text, or the failed output).
// Any of them may have held a secret; wiping all of them costs about twice the text's size in
// writes, small beside the writing itself.
class Output {
 public:
  using Ch = char;

  Output() { text_.reserve(256); }
  ~Output() { Wipe(text_); }
  Output(Output const&) = delete;
  Output& operator=(Output const&) = delete;

  void Put(char c) {
    if (text_.size() == text_.capacity()) Grow(1);
    text_.push_back(c);
  }
  void Append(char const* data, std::size_t size) {
    Reserve(size);
    text_.append(data, size);
  }
  void Reserve(std::size_t count) {
    if (text_.capacity() - text_.size() < count) Grow(count);
  }
  void Flush() {}
  std::string& text() { return text_; }

 private:
  static void Wipe(std::string& text) { Tirn::Detail::SecureZero(&text[0], text.capacity()); }

  void Grow(std::size_t count) {
    std::string larger;
    larger.reserve(std::max(2 * text_.capacity(), text_.size() + count));
    larger.append(text_);
    Wipe(text_);
    text_.swap(larger);
  }

  std::string text_;
};

// RapidJSON's writer asks its stream for room before writing runs of characters.
inline void PutReserve(Output& output, std::size_t count) { output.Reserve(count); }
inline void PutUnsafe(Output& output, char c) { output.Put(c); }

}  // namespace detail

namespace {

using Data::CompoundValue;
using Data::DataType;
using Data::DataValue;
using Data::DataValuePtr;
using Data::ListValue;
using Data::detail::PathStep;
using detail::JsonMessage;

// The writers' stack of open levels starts in this thread's block: 32 levels of 16 bytes,
// RapidJSON's default capacity.
struct WriterStackUse;
using WriterStack = detail::StackAllocator<WriterStackUse, 512>;
using CompactWriter =
    rapidjson::Writer<detail::Output, rapidjson::UTF8<>, rapidjson::UTF8<>, WriterStack>;
using PrettyWriter =
    rapidjson::PrettyWriter<detail::Output, rapidjson::UTF8<>, rapidjson::UTF8<>, WriterStack>;

}  // namespace
}  // namespace Json
}  // namespace Tirn

// RapidJSON's writer hands a string's characters to its stream one at a time unless its writer
// type scans for runs; this one copies each run that needs no escape at once (a certificate is
// a few lines of 64 characters), and leaves the character that ends it to the writer.
template <>
inline bool rapidjson::Writer<Tirn::Json::detail::Output, rapidjson::UTF8<>, rapidjson::UTF8<>,
                              Tirn::Json::WriterStack>::ScanWriteUnescapedString(StringStream& is,
                                                                                 size_t length) {
  char const* const end = is.head_ + length;
  std::size_t const run =
      Tirn::Json::detail::PlainStringRun(is.src_, static_cast<std::size_t>(end - is.src_));
  os_->Append(is.src_, run);
  is.src_ += run;
  return is.src_ != end;
}

namespace Tirn {
namespace Json {
namespace {

// A container being written.
struct Open {
  DataValue const* container;
  DataValue const* marked;  // AncestorMark::marked; its depth is this entry's place
  std::optional<CompoundValue::FieldMap::const_iterator> field;  // next member; set for objects
  std::size_t index;                              // next element (arrays)
  PathStep step;                                  // the member or element being written
};
// One entry per open level: what a deep tree costs beside its text.
static_assert(sizeof(Open) <= 80, "an open container stays within ten words");

template <class Writer>
class Encoder {
 public:
  Encoder(detail::Output& output, EncodeOptions const& options, std::list<BaseMessage>& messages)
      : output_(output),
        writer_(output, detail::StackOf<WriterStack>()),
        options_(options),
        messages_(messages) {
    if constexpr (std::is_same<Writer, PrettyWriter>::value) writer_.SetIndent(' ', 2);
  }

  bool Run(DataValue const* root) {
    if (!Write(root)) return false;
    while (!open_.empty()) {
      Open& top = open_.back();
      DataValue const* next;
      if (top.field) {
        auto const& fields = static_cast<CompoundValue const*>(top.container)->fields();
        if (*top.field == fields.end()) {
          writer_.EndObject();
          open_.pop_back();
          continue;
        }
        auto const& entry = **top.field;
        ++*top.field;
        top.step = PathStep::Field(boost::string_view(entry.first.data(), entry.first.size()));
        if (!detail::IsValidUtf8(entry.first.data(), entry.first.size())) {
          return Fail(MessageIds::kInvalidUtf8Value);
        }
        writer_.Key(entry.first.data(), static_cast<rapidjson::SizeType>(entry.first.size()));
        next = entry.second.get();
      } else {
        auto const& elements = static_cast<ListValue const*>(top.container)->elements();
        if (top.index == elements.size()) {
          writer_.EndArray();
          open_.pop_back();
          continue;
        }
        top.step = PathStep::Element(top.index);
        next = elements[top.index++].get();
      }
      if (!Write(next)) return false;
    }
    return true;
  }

 private:
  // Writes a leaf, or opens a container; false after a message.
  bool Write(DataValue const* value) {
    if (value && value->GetType().kind() == DataType::OPTIONAL) {
      auto const* optional = static_cast<Data::OptionalValue const*>(value);
      value = optional->value().get();
      if (!value) return writer_.Null();
      if (value->GetType().kind() == DataType::OPTIONAL) return Fail(MessageIds::kNestedOptional);
    }
    if (!value) return Fail(MessageIds::kNullValue);
    switch (value->GetType().kind()) {
      case DataType::VOID:
        return writer_.Null();
      case DataType::INTEGER:
        return WriteInteger(static_cast<Data::IntegerValue const*>(value)->value());
      case DataType::DOUBLE: {
        double const number = static_cast<Data::DoubleValue const*>(value)->value();
        if (!std::isfinite(number)) return Fail(MessageIds::kNotFinite);
        char buffer[32];
        std::size_t const size = detail::FormatDouble(number, buffer);
        return writer_.RawValue(buffer, size, rapidjson::kNumberType);
      }
      case DataType::BOOLEAN:
        return writer_.Bool(static_cast<Data::BooleanValue const*>(value)->value());
      case DataType::BLOB: {
        std::string text;
        AppendBase64(static_cast<Data::BlobValue const*>(value)->value(), text);
        return writer_.String(text.data(), static_cast<rapidjson::SizeType>(text.size()));
      }
      case DataType::STRING:
        return WriteString(static_cast<Data::StringValue const*>(value)->value());
      case DataType::SECRET: {
        if (options_.redactSecrets) {
          return writer_.String(SecretString::kMask,
                                static_cast<rapidjson::SizeType>(std::strlen(SecretString::kMask)));
        }
        return WriteString(static_cast<Data::SecretValue const*>(value)->value().value());
      }
      case DataType::LIST: {
        DataValue const* marked;
        if (!Enter(value, &marked)) return FailContainsItself();
        writer_.StartArray();
        open_.push_back(Open{value, marked, std::nullopt, 0, PathStep()});
        return true;
      }
      default: {  // structures, dynamic structures and errors
        DataValue const* marked;
        if (!Enter(value, &marked)) return FailContainsItself();
        writer_.StartObject();
        open_.push_back(Open{value, marked,
                             static_cast<CompoundValue const*>(value)->fields().begin(), 0,
                             PathStep()});
        return true;
      }
    }
  }

  // The mark of `container`, about to open below the containers open now; false when it is
  // one of them. Optionals open nothing (one directly inside another is refused), so every
  // loop passes through a list or a compound value and is found here.
  bool Enter(DataValue const* container, DataValue const** marked) const {
    Data::detail::AncestorMark const above{open_.empty() ? nullptr : open_.back().marked,
                                           open_.size()};
    Data::detail::AncestorMark below;
    if (!above.Down(container, below)) return false;
    *marked = below.marked;
    return true;
  }

  bool WriteInteger(long long number) {
    if (!options_.integersAsStrings) return writer_.Int64(number);
    char buffer[24];
    auto result = std::to_chars(buffer, buffer + sizeof buffer, number);
    return writer_.String(buffer, static_cast<rapidjson::SizeType>(result.ptr - buffer));
  }

  bool WriteString(std::string const& text) {
    if (text.size() >= std::numeric_limits<rapidjson::SizeType>::max()) {
      return Fail(MessageIds::kTooLarge);
    }
    if (!detail::IsValidUtf8(text.data(), text.size())) return Fail(MessageIds::kInvalidUtf8Value);
    return writer_.String(text.data(), static_cast<rapidjson::SizeType>(text.size()));
  }

  bool Fail(char const* id) {
    messages_.push_back(JsonMessage(id, Path()));
    return false;
  }

  // Reported as validation reports the same tree: the one message for a value in itself.
  bool FailContainsItself() {
    messages_.push_back(Message<CoreTag>(Tirn::MessageIds::kValidationContainsItself, Path()));
    return false;
  }

  // The path of the value being written.
  std::string Path() const {
    Data::detail::PathText path;
    for (auto open = open_.rbegin(); open != open_.rend(); ++open) path.AddOuter(open->step);
    return path.str();
  }

  detail::Output& output_;
  Writer writer_;
  EncodeOptions const& options_;
  std::list<BaseMessage>& messages_;
  // The containers being written; a shallow value's stay inline.
  boost::container::small_vector<Open, 8> open_;
};

}  // namespace

bool Encode(Data::DataValuePtr const& value, Data::DataDefinitionPtr const& definition,
            std::string* out, std::list<BaseMessage>& messages, EncodeOptions const& options) {
  if (definition && !Data::Validate(definition, value, messages)) return false;
  detail::Output output;
  bool const written =
      options.pretty ? Encoder<PrettyWriter>(output, options, messages).Run(value.get())
                     : Encoder<CompactWriter>(output, options, messages).Run(value.get());
  if (!written) return false;
  out->swap(output.text());
  return true;
}

}  // namespace Json
}  // namespace Tirn
