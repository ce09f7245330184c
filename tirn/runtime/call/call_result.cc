#include "tirn/runtime/call/call_result.h"

#include "tirn/message/message.h"
#include "tirn/message/message_ids.h"
#include "tirn/runtime/value/wire_shapes.h"

namespace Tirn {
namespace detail {

Data::ErrorValuePtr NoAnswerError() {
  return Data::ErrorValue::Create(Data::Wire::kInternalServerError,
                                  {Message<CoreTag>(MessageIds::kCallNoAnswer)});
}

}  // namespace detail
}  // namespace Tirn
