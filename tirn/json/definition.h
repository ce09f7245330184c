// Tirn::Json: the JSON form of definition trees and of their annotations.
//
// A definition tree travels as a type, an object naming its kind, and one table of the
// structures it holds, each described once, by name, and named everywhere else: a recursive
// type is a name that comes back. Annotations travel inside the fields they belong to: an
// enumeration's names on its string, a union case's tag values on the case, a field's
// description on the field's type; a structure's description on its entry of the table. The
// form is described in docs/protocol.md ("The operations").
//
//   {"type": {"kind": "list", "element": {"kind": "structure", "name": "com.example.item"}},
//    "structures": {"com.example.item": {"kind": "structure", "fields": {
//        "kind": {"kind": "string", "enumeration": ["BOOK", "GAME"]},
//        "book": {"kind": "union_case", "tag": "kind", "values": ["BOOK"],
//                 "element": {"kind": "structure", "name": "com.example.book"}},
//        "next": {"kind": "optional", "element": {"kind": "structure", "name": "com.example.item"}}}},
//      "com.example.book": {"kind": "structure", "fields": {"pages": {"kind": "integer"}}}}}
//
//   std::string text;
//   bool ok = Tirn::Json::EncodeDefinition(definition, annotations, &text, messages);
//   Tirn::Data::DataDefinitionPtr back;
//   Tirn::Data::DefinitionAnnotations backAnnotations;
//   ok = ok && Tirn::Json::DecodeDefinition(text, &back, &backAnnotations, messages);
//   // Tirn::Data::Equal(definition, back) holds.
//
// Kinds: "void", "integer", "double", "boolean", "blob", "string", "secret",
// "dynamic_structure", "list", "set", "optional" and "union_case" (each wrapper with its
// "element"), "structure" and "error" (with the "name" of a structure of the table). A decoded
// union case is present exactly for its "values"; one without values leaves its field free.
// Decoding builds each tree anew: a structure met inside itself becomes a structure reference
// bound to it, one met again elsewhere is shared.
//
// Nothing recurses on the data and nothing is thrown: every function returns false with
// messages (MessageIds in json.h), each naming where. Decoding is bounded: the text's nesting
// (DefinitionDecodeOptions::maxDepth) and the definitions it makes (maxDefinitions).
//
// Thread-safety: every call, writer and reader owns its state.
#ifndef TIRN_JSON_DEFINITION_H_
#define TIRN_JSON_DEFINITION_H_

#include <cstddef>
#include <list>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include <boost/utility/string_view.hpp>

#include "tirn/json/json.h"
#include "tirn/message/base_message.h"
#include "tirn/runtime/call/operation_table.h"
#include "tirn/runtime/value/data_definition.h"
#include "tirn/runtime/value/data_value.h"
#include "tirn/runtime/value/definition_annotations.h"

namespace Tirn {
namespace Json {

struct DefinitionDecodeOptions {
  // The most objects and arrays open at once in the text (MessageIds::kTooDeep beyond). A type
  // nests one level per wrapper, a document a few levels more. Default 256.
  std::size_t maxDepth = 256;
  // The most definitions one call makes, all trees together
  // (MessageIds::kDefinitionTooLarge beyond). Default a million.
  std::size_t maxDefinitions = 1000000;
};

// Writes definition trees as types that share one table of structures. A structure name met
// again must stand for an equal structure (Tirn::Data::Equal), and every annotation of a
// structure written must fit its field (an enumeration's names a string below the field's
// wrappers, a union case's values a union case with the same tag); the annotations of
// structures never written are left out.
class TIRN_JSON_EXPORT DefinitionWriter {
 public:
  explicit DefinitionWriter(Data::DefinitionAnnotations annotations = {});

  // The type of `definition` into `*type`; the structures it holds join the table. False with
  // messages for a missing (null) definition, an unbound structure reference, a kind without
  // a form, two different structures of one name, or an annotation that does not fit.
  [[nodiscard]] bool Write(Data::DataDefinitionPtr const& definition, Data::DataValuePtr* type,
                           std::list<BaseMessage>& messages);

  // The table of every structure written so far: an object by structure name.
  Data::DataValuePtr Structures() const { return structures_; }

 private:
  Data::DefinitionAnnotations annotations_;
  std::shared_ptr<Data::DynamicStructValue> structures_;
  // What each name was described from, held so that its address stays its own.
  std::map<std::string, Data::DataDefinitionPtr> described_;
  // Other structures found equal to the one described under their name, held likewise.
  std::map<Data::DataDefinition const*, Data::DataDefinitionPtr> equalToDescribed_;
};

// Reads types against one table of structures.
class TIRN_JSON_EXPORT DefinitionReader {
 public:
  explicit DefinitionReader(DefinitionDecodeOptions const& options = {});

  // Takes the table (an object by structure name; `path` names it in messages): checks every
  // structure and field type in it and reads their annotations. False with messages when it
  // is not a table of structures.
  [[nodiscard]] bool Start(Data::DataValuePtr const& structures, std::string const& path,
                           std::list<BaseMessage>& messages);

  // The definition tree of `type` (named `path` in messages), made anew; false with messages
  // when `type` is not a type, names a structure the table does not have, or the definitions
  // made by this reader pass DefinitionDecodeOptions::maxDefinitions.
  [[nodiscard]] bool Read(Data::DataValuePtr const& type, std::string const& path,
                          Data::DataDefinitionPtr* out, std::list<BaseMessage>& messages);

  // The annotations of the table's structures.
  Data::DefinitionAnnotations const& annotations() const { return annotations_; }

  struct Table;

 private:
  DefinitionDecodeOptions options_;
  std::shared_ptr<Table const> table_;
  Data::DefinitionAnnotations annotations_;
  std::size_t made_ = 0;
};

// {"type": <type>, "structures": <table>}, with the annotations of the structures it holds.
[[nodiscard]] TIRN_JSON_EXPORT bool EncodeDefinition(
    Data::DataDefinitionPtr const& definition, Data::DefinitionAnnotations const& annotations,
    std::string* out, std::list<BaseMessage>& messages, EncodeOptions const& options = {});

// Reads back what EncodeDefinition writes: the tree into `*out`, the annotations of the
// table's structures into `*annotations` (when not null). Both are left unchanged on failure.
[[nodiscard]] TIRN_JSON_EXPORT bool DecodeDefinition(
    boost::string_view text, Data::DataDefinitionPtr* out,
    Data::DefinitionAnnotations* annotations, std::list<BaseMessage>& messages,
    DefinitionDecodeOptions const& options = {});

// One operation as GET /v1/operations describes it; Core::OperationTable::FromDefinitions makes
// a table of them.
using OperationDefinitions = Core::OperationDefinitions;

// Every operation of `table` with its definitions and annotations (OperationDescriptor::
// annotations), each operation with a table of its own (all operation inputs share one name):
//   {"operations": [{"interface", "service", "operation", "description" (when it has one),
//                    "input", "output", "errors", "structures"}, ...]}
// This is what GET /v1/operations answers, and `tirn describe --output json` prints.
[[nodiscard]] TIRN_JSON_EXPORT bool EncodeOperations(Core::OperationTable const& table,
                                                     std::string* out,
                                                     std::list<BaseMessage>& messages,
                                                     EncodeOptions const& options = {});
// The same document of some operations only (of a table, which keeps them alive), in the
// order given.
[[nodiscard]] TIRN_JSON_EXPORT bool EncodeOperations(
    std::vector<Core::OperationDescriptor const*> const& operations, std::string* out,
    std::list<BaseMessage>& messages, EncodeOptions const& options = {});
// One operation's entry of that document.
[[nodiscard]] TIRN_JSON_EXPORT bool EncodeOperation(Core::OperationDescriptor const& operation,
                                                    std::string* out,
                                                    std::list<BaseMessage>& messages,
                                                    EncodeOptions const& options = {});

// Reads back what EncodeOperations writes; `*out` is left unchanged on failure.
[[nodiscard]] TIRN_JSON_EXPORT bool DecodeOperations(
    boost::string_view text, std::vector<OperationDefinitions>* out,
    std::list<BaseMessage>& messages, DefinitionDecodeOptions const& options = {});
// The same from the document already decoded by its shape (Decode without a definition, as
// ClientProvider::Fetch delivers it); its nesting was bounded by that decoding.
[[nodiscard]] TIRN_JSON_EXPORT bool DecodeOperations(
    Data::DataValuePtr const& document, std::vector<OperationDefinitions>* out,
    std::list<BaseMessage>& messages, DefinitionDecodeOptions const& options = {});

}  // namespace Json
}  // namespace Tirn

#endif  // TIRN_JSON_DEFINITION_H_
