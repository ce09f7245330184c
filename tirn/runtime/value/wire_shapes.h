// The wire shapes that the runtime itself builds and reads: the localizable message, the
// standard errors and the operation input. Every name here is declared once; the standard
// structures of tirn/std/ reuse these constants.
//
// A localizable message is a structure named kLocalizableMessageName with the fields
//   "id" (string), "default_message" (string), "args" (list of string) and
//   "localized" (optional string: the text in the caller's language, when there is one).
// A standard error is an error value named by one of the k*Error names below with the field
//   "messages" (list of localizable messages).
#ifndef TIRN_RUNTIME_VALUE_WIRE_SHAPES_H_
#define TIRN_RUNTIME_VALUE_WIRE_SHAPES_H_

#include <list>
#include <memory>
#include <string>

#include <boost/optional.hpp>

#include "tirn/message/base_message.h"
#include "tirn/message/export.h"
#include "tirn/runtime/value/data_definition.h"
#include "tirn/runtime/value/data_value.h"

namespace Tirn {
namespace Data {
namespace Wire {

inline constexpr char kLocalizableMessageName[] = "com.ostrel.tirn.std.localizable_message";
inline constexpr char kMessageId[] = "id";
inline constexpr char kMessageDefaultText[] = "default_message";
inline constexpr char kMessageArgs[] = "args";
inline constexpr char kMessageLocalized[] = "localized";

inline constexpr char kErrorMessages[] = "messages";

inline constexpr char kOperationInputName[] = "com.ostrel.tirn.std.operation_input";

inline constexpr char kAlreadyExistsError[] = "com.ostrel.tirn.std.errors.already_exists";
inline constexpr char kGenericError[] = "com.ostrel.tirn.std.errors.error";
inline constexpr char kInvalidArgumentError[] = "com.ostrel.tirn.std.errors.invalid_argument";
inline constexpr char kNotAllowedInCurrentStateError[] =
    "com.ostrel.tirn.std.errors.not_allowed_in_current_state";
inline constexpr char kNotFoundError[] = "com.ostrel.tirn.std.errors.not_found";
inline constexpr char kUnableToAllocateResourceError[] =
    "com.ostrel.tirn.std.errors.unable_to_allocate_resource";
inline constexpr char kUnauthenticatedError[] = "com.ostrel.tirn.std.errors.unauthenticated";
inline constexpr char kUnauthorizedError[] = "com.ostrel.tirn.std.errors.unauthorized";
inline constexpr char kUnsupportedError[] = "com.ostrel.tirn.std.errors.unsupported";
inline constexpr char kInternalServerError[] =
    "com.ostrel.tirn.std.errors.internal_server_error";
inline constexpr char kOperationNotFoundError[] =
    "com.ostrel.tirn.std.errors.operation_not_found";
// Reported by transports: the service could not be reached, or the call's time ran out.
inline constexpr char kServiceUnavailableError[] =
    "com.ostrel.tirn.std.errors.service_unavailable";
inline constexpr char kTimedOutError[] = "com.ostrel.tirn.std.errors.timed_out";

// The structure value of one message; `localized` becomes the "localized" field's content.
TIRN_CORE_EXPORT std::shared_ptr<StructValue> MessageToValue(BaseMessage const& message,
                                             boost::optional<std::string> const& localized);

// Reads a localizable-message structure value back. Returns false, leaving the outputs in an
// unspecified state, when the value does not have the shape above.
TIRN_CORE_EXPORT bool MessageFromValue(DataValuePtr const& value, BaseMessage& message,
                                       boost::optional<std::string>& localized);

// The definition of a localizable message and of a standard error named `name`.
TIRN_CORE_EXPORT std::shared_ptr<DataDefinition const> LocalizableMessageDefinition();
TIRN_CORE_EXPORT std::shared_ptr<DataDefinition const> StandardErrorDefinition(
    std::string const& name);

}  // namespace Wire
}  // namespace Data
}  // namespace Tirn

#endif  // TIRN_RUNTIME_VALUE_WIRE_SHAPES_H_
