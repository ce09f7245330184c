// Identifiers of the messages that the library and its runtime emit. Each has a default
// English text in the core catalog (Tirn::Message<Tirn::CoreTag>::DefaultMessageForId).
// The arguments each message takes are listed beside it, in order.
#ifndef TIRN_MESSAGE_MESSAGE_IDS_H_
#define TIRN_MESSAGE_MESSAGE_IDS_H_

namespace Tirn {
namespace MessageIds {

// Conversions. {1}: canonical name of the structure type that is unset.
inline constexpr char kUnsetNonOptionalField[] = "tirn.data.unset.non.optional.field";
// {1}: the string that stood where a structure was expected.
inline constexpr char kBadCast[] = "tirn.data.bad.cast1";
// No arguments: a value of a kind that cannot be converted at that place.
inline constexpr char kInvalidType[] = "tirn.data.invalid.type";
// {1}: field name, {2}: structure name.
inline constexpr char kFieldMissing[] = "tirn.data.field.missing";
// {1}: expected kind, {2}: found kind ("null" for a missing value).
inline constexpr char kWrongKind[] = "tirn.data.wrong.kind";
// {1}: the text, {2}: the kind it should have been read as.
inline constexpr char kParseFailed[] = "tirn.data.parse.failed";
// {1}: the text, {2}: the kind whose range it exceeds.
inline constexpr char kOutOfRange[] = "tirn.data.out.of.range";
// No arguments: the value met again below itself (it was built into a loop).
inline constexpr char kContainsItself[] = "tirn.data.contains.itself";
// {1}: the field path of the value a conversion failed on, as validation writes it. Follows
// every conversion failure's own message.
inline constexpr char kAtPath[] = "tirn.data.at.path";

// Validation against a definition. {1} is always the field path ("spec.native_spec.key_id",
// "filter.address[2].port"; "<root>" for the value itself; a long path keeps its first and
// last steps with "..." between them).
// {2}: expected kind, {3}: found kind.
inline constexpr char kValidationWrongKind[] = "tirn.validation.wrong.kind";
inline constexpr char kValidationMissingField[] = "tirn.validation.missing.field";
inline constexpr char kValidationUnexpectedField[] = "tirn.validation.unexpected.field";
// {2}: tag field name, {3}: tag value.
inline constexpr char kValidationUnionCaseUnexpected[] = "tirn.validation.union.case.unexpected";
inline constexpr char kValidationUnionCaseMissing[] = "tirn.validation.union.case.missing";
// {2}: the referenced structure name.
inline constexpr char kValidationUnresolvedReference[] = "tirn.validation.unresolved.reference";
// No further arguments: the value is met again below itself.
inline constexpr char kValidationContainsItself[] = "tirn.validation.contains.itself";

// Invocation. {1}: interface identifier, {2}: operation name.
inline constexpr char kOperationNotFound[] = "tirn.runtime.operation.not.found";
// No arguments: the call's result callback was released before a final result reached it.
inline constexpr char kCallAbandoned[] = "tirn.runtime.call.abandoned";
// No arguments: a final delivery carried neither a value nor an error.
inline constexpr char kCallNoAnswer[] = "tirn.runtime.call.no.answer";
// {1}: reported error name, {2}: operation name.
inline constexpr char kErrorNotDeclared[] = "tirn.provider.error.not.declared";
// No arguments.
inline constexpr char kSignalNotConnected[] = "tirn.provider.method.signal.not.connected";
// No arguments: a call without activation through a stub without a template activation.
inline constexpr char kNoActivation[] = "tirn.stub.no.activation";

}  // namespace MessageIds
}  // namespace Tirn

#endif  // TIRN_MESSAGE_MESSAGE_IDS_H_
