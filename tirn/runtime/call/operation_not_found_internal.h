// The runtime's answer to a call whose interface or operation is not provided. Shared by the
// interface object and the in-process provider; not installed.
#ifndef TIRN_RUNTIME_CALL_OPERATION_NOT_FOUND_INTERNAL_H_
#define TIRN_RUNTIME_CALL_OPERATION_NOT_FOUND_INTERNAL_H_

#include <memory>
#include <string>

#include "tirn/runtime/call/invocation.h"

namespace Tirn {
namespace Core {
namespace detail {

// Delivers to `resultCb` the final operation_not_found error for `methodName` of
// `interfaceName`, with Progress (0, 1, 1) and no continuation.
void AnswerOperationNotFound(std::string const& interfaceName, std::string const& methodName,
                             AsyncApiResultCb const& resultCb);

}  // namespace detail
}  // namespace Core
}  // namespace Tirn

#endif  // TIRN_RUNTIME_CALL_OPERATION_NOT_FOUND_INTERNAL_H_
