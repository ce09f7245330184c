// Tirn::Json: the JSON form of value trees, guided by definitions.
//
// Decode reads one JSON text straight into a value tree; Encode writes a tree as JSON. Both
// work with explicit stacks, so the depth of a document is limited by memory only (and, when
// decoding, by DecodeOptions::maxDepth); the decoder keeps at most 64 bytes per open level. With a
// definition, decoding gives the tree the kinds the definition names (structure and error
// names, secrets, sets, wrapped optionals, blobs from base64, integers from their string
// form) and then validates it; without one, the tree follows the JSON's own shape. The
// mapping is described in docs/json.md.
//
//   std::list<Tirn::BaseMessage> messages;
//   Tirn::Data::DataValuePtr value;
//   if (!Tirn::Json::Decode(body, inputDefinition, &value, messages)) Refuse(messages);
//   std::string text;
//   if (Tirn::Json::Encode(value, nullptr, &text, messages, {/*pretty=*/true})) Print(text);
//
// Definitions have a JSON form of their own, with the annotations a definition cannot hold
// (EncodeDefinition and DecodeDefinition, tirn/json/definition.h).
//
// Typed helpers go through the conversion engines:
//
//   std::string text;
//   bool ok = Tirn::Json::ToJson(address, &text, messages);
//   NetworkAddress back;
//   ok = ok && Tirn::Json::FromJson(text, &back, messages);
//
// Failures never throw: they return false and append messages (identifiers below), each
// naming the field path ("spec.address.port") and, for syntax errors, the byte offset.
//
// Thread-safety: every call owns its state; calls may run concurrently.
#ifndef TIRN_JSON_JSON_H_
#define TIRN_JSON_JSON_H_

#include <cstddef>
#include <list>
#include <string>

#include <boost/utility/string_view.hpp>

#include "tirn/data/native_to_definition_adapter.h"
#include "tirn/data/native_to_value_adapter.h"
#include "tirn/data/value_to_native_adapter.h"
#include "tirn/json/detail/native_reader.h"
#include "tirn/message/base_message.h"
#include "tirn/message/export.h"
#include "tirn/runtime/value/data_definition.h"
#include "tirn/runtime/value/data_value.h"
#include "tirn/runtime/l10n/request_localizer.h"

#define TIRN_JSON_EXPORT TIRN_VISIBLE

namespace Tirn {
namespace Json {

// Identifiers of the messages this library adds. {1} is always the field path ("<root>" for
// the document itself).
namespace MessageIds {
// {2}: what is wrong, {3}: byte offset.
inline constexpr char kSyntax[] = "tirn.json.syntax";
// {2}: byte offset.
inline constexpr char kInvalidUtf8[] = "tirn.json.invalid.utf8";
// {2}: the key.
inline constexpr char kDuplicateKey[] = "tirn.json.duplicate.key";
// {2}: the number's text.
inline constexpr char kNumberOutOfRange[] = "tirn.json.number.out.of.range";
// No more arguments.
inline constexpr char kInvalidBase64[] = "tirn.json.invalid.base64";
inline constexpr char kNestedOptional[] = "tirn.json.nested.optional";
inline constexpr char kNotFinite[] = "tirn.json.not.finite";
inline constexpr char kNullValue[] = "tirn.json.null.value";
inline constexpr char kInvalidUtf8Value[] = "tirn.json.invalid.utf8.value";
// {2}: the size in bytes.
inline constexpr char kTooLarge[] = "tirn.json.too.large";
// {1}: the container that opens one level too many, {2}: DecodeOptions::maxDepth.
inline constexpr char kTooDeep[] = "tirn.json.too.deep";

// The JSON form of definitions (tirn/json/definition.h). {1} is where: a definition's
// structure and field ("com.example.item.kind") when writing, the place in the document
// ("structures.com.example.item.fields.kind.element") when reading.
// {2}: what does not fit.
inline constexpr char kDefinitionAnnotation[] = "tirn.json.definition.annotation";
// {2}: the structure name used by two different structures.
inline constexpr char kDefinitionConflict[] = "tirn.json.definition.conflict";
// A null definition; no more arguments.
inline constexpr char kDefinitionMissing[] = "tirn.json.definition.missing";
// {2}: what was expected.
inline constexpr char kDefinitionShape[] = "tirn.json.definition.shape";
// {2}: DefinitionDecodeOptions::maxDefinitions.
inline constexpr char kDefinitionTooLarge[] = "tirn.json.definition.too.large";
// {2}: the name of a structure reference bound to nothing.
inline constexpr char kDefinitionUnbound[] = "tirn.json.definition.unbound";
// {2}: the kind.
inline constexpr char kDefinitionUnknownKind[] = "tirn.json.definition.unknown.kind";
// {2}: the structure's name.
inline constexpr char kDefinitionUnknownStructure[] = "tirn.json.definition.unknown.structure";
}  // namespace MessageIds

struct EncodeOptions {
  // Two-space indentation and one member per line. Default: compact.
  bool pretty = false;
  // Secrets written as Tirn::SecretString::kMask instead of their text: the form for logs and
  // printouts. Default: secrets are written (the wire form).
  bool redactSecrets = false;
  // Integers written as JSON strings ("123"), for readers that lose precision above 2^53.
  // Decoding accepts such strings where an integer is defined. Default: numbers.
  bool integersAsStrings = false;
};

struct DecodeOptions {
  // Validate the tree against the definition. A reader that hands the tree to a converter
  // which checks what it needs (a client reading its answers) may skip it. Default: on.
  bool validate = true;
  // The most containers (objects and arrays) open at once; the first one past it stops the
  // reading with MessageIds::kTooDeep. Default: 0, no limit but memory.
  std::size_t maxDepth = 0;
};

// Parses one JSON text into `*out`. With a null definition the tree follows the JSON's shape
// (object: dynamic structure with an empty name; array: list; string; integer when the number
// has no fraction or exponent and fits 64 bits, double otherwise; boolean; null: void). With
// a definition the tree takes the kinds it names and is then validated against it. Returns
// false with messages, and leaves `*out` unchanged, when the text is not JSON, is not valid
// UTF-8 (an escaped surrogate without its other half included), repeats a key, holds a number
// no double can hold, nests deeper than `options.maxDepth`, or does not validate.
[[nodiscard]] TIRN_JSON_EXPORT bool Decode(boost::string_view text,
                                           Data::DataDefinitionPtr const& definition,
                                           Data::DataValuePtr* out,
                                           std::list<BaseMessage>& messages,
                                           DecodeOptions const& options = {});

// Writes `value` as JSON into `*out` (replacing its content). With a definition the value is
// first validated against it. Refused with messages, `*out` unchanged: a missing (null)
// value, an optional directly inside an optional, NaN or an infinity, a string that is not
// valid UTF-8, a value that contains itself (Tirn::MessageIds::kValidationContainsItself with
// the path where the loop is met, as validation reports it).
[[nodiscard]] TIRN_JSON_EXPORT bool Encode(Data::DataValuePtr const& value,
                                           Data::DataDefinitionPtr const& definition,
                                           std::string* out, std::list<BaseMessage>& messages,
                                           EncodeOptions const& options = {});

// Converts a native object of any bound type to JSON through the native-to-value engine.
template <class T>
[[nodiscard]] bool ToJson(T const& native, std::string* out, std::list<BaseMessage>& messages,
                          EncodeOptions const& options = {}) {
  Data::DataValuePtr value;
  if (!Data::NativeToValueAdapter::Adapt(
          &native, Data::NativeToValueAdapter::AdaptMethod<T>::Get(&native), &value, messages,
          L10n::RequestLocalizerHelper::GetDefaultRequestLocalizer())) {
    return false;
  }
  return Encode(value, nullptr, out, messages, options);
}

// Fills a native object of any bound type from JSON: decoded and validated against the
// type's definition, then converted by the value-to-native engine. The plain form of the type
// (what ToJson writes) is read straight into the object, with the same outcome and without
// the value tree; any other text goes the full way. Fields the text does not hold keep what
// `*native` had, as with the engine; after a failure, `*native` may hold part of the text.
template <class T>
[[nodiscard]] bool FromJson(boost::string_view text, T* native,
                            std::list<BaseMessage>& messages) {
  if (detail::ReadNative(text, detail::ReaderOf<T>::value, native)) return true;
  Data::DataValuePtr value;
  if (!Decode(text, Data::DescribeType<T>(), &value, messages)) return false;
  return Data::ValueToNativeAdapter::Adapt(
      value, Data::ValueToNativeAdapter::AdaptMethod<T>::Get(native), native, messages);
}

}  // namespace Json
}  // namespace Tirn

#endif  // TIRN_JSON_JSON_H_
