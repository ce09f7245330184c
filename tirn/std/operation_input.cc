#include "tirn/std/operation_input.h"

#include "tirn/runtime/value/wire_shapes.h"

TIRN_DEFINE_ROUTINES(Tirn::OperationInput)

namespace Tirn {
namespace Data {

std::string const& TypeInfo<OperationInput>::name() {
  static std::string const kName = Wire::kOperationInputName;
  return kName;
}

std::shared_ptr<OperationInput> TypeInfo<OperationInput>::defaultInstance(DataValuePtr const&) {
  return std::make_shared<OperationInput>();
}

}  // namespace Data
}  // namespace Tirn
