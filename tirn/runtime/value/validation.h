// Checking a value tree against a definition.
//
// Validation is exactly as lenient as the conversion of values into native structures, so it
// never rejects what a server's native types would accept:
//  - an optional may arrive bare or wrapped in an optional value, and an empty string (bare
//    or wrapped) stands for an empty optional or list, and for a structure without fields,
//    whose required fields are then reported missing;
//  - a string may stand for an integer, boolean, double, blob, void or secret (the native side
//    parses it, or takes the text as the secret; "x8" for an integer passes here and fails
//    there, the one kind of value that validation admits and conversion refuses);
//  - a non-empty string in a list position stands for a one-element list;
//  - structures accept fields their definition does not name (the native side keeps them).
// It refuses what the native side refuses: a required field missing, a value of the wrong
// kind (a string must arrive as a string), and a null value where a value belongs, even where
// an optional is defined (a missing field is absent; a field holding null, or an optional
// holding null, is not). It is stricter than the native side in one place, unions: a case
// must be present when its tag activates it and absent (or empty) when it does not. With
// `rejectUnknownFields`, fields of the top-level structure that its definition does not name
// are rejected too (an operation input the server cannot honour).
//
// Every problem found is reported, with the path of the offending field
// ("spec.native_spec.key_id", "filter.address[1]"), up to kMaxValidationMessages messages. A
// path of more than sixteen steps keeps its first and last eight with "..." between them, and
// a field name its first 64 bytes, so a message stays short however deep the problem. A value
// that contains itself is reported where the walk meets it again.
//
//   std::list<Tirn::BaseMessage> messages;
//   if (!Tirn::Data::Validate(definition, value, messages)) Report(messages);
#ifndef TIRN_RUNTIME_VALUE_VALIDATION_H_
#define TIRN_RUNTIME_VALUE_VALIDATION_H_

#include <cstddef>
#include <list>

#include "tirn/message/base_message.h"
#include "tirn/message/export.h"
#include "tirn/runtime/value/data_definition.h"
#include "tirn/runtime/value/data_value.h"

namespace Tirn {
namespace Data {

struct ValidationOptions {
  // Reject fields of the top-level structure that its definition does not name.
  bool rejectUnknownFields = false;
  // Reject fields that a definition does not name in every structure, at any depth (a
  // misspelt field of a write, which would otherwise be kept and stored unread).
  bool rejectUnknownNestedFields = false;
};

// Validation stops adding messages after this many.
constexpr std::size_t kMaxValidationMessages = 64;

// True when `value` conforms to `definition`; otherwise appends one message per problem
// (identifiers in tirn/message/message_ids.h, field path first) and returns false.
// Iterative: any depth is fine.
[[nodiscard]] TIRN_CORE_EXPORT bool Validate(DataDefinitionPtr const& definition,
                                             DataValuePtr const& value,
                                             std::list<BaseMessage>& messages,
                                             ValidationOptions const& options = {});

}  // namespace Data
}  // namespace Tirn

#endif  // TIRN_RUNTIME_VALUE_VALIDATION_H_
