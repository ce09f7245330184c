// Tirn::OperationInput: the input structure of an operation without parameters, and the wire
// name that every operation input is sent under.
#ifndef TIRN_STD_OPERATION_INPUT_H_
#define TIRN_STD_OPERATION_INPUT_H_

#include <memory>
#include <string>

#include "tirn/data/instantiation.h"
#include "tirn/data/type_info.h"
#include "tirn/message/export.h"
#include "tirn/runtime/value/data_value.h"

namespace Tirn {

struct TIRN_STD_EXPORT OperationInput {
  // Reserved for the transport; no conversion reads or writes it.
  std::shared_ptr<void const> opaque;

  struct AdapterHelper {
    using IsStructure = void;
    template <class H>
    static void AddFields(H&, OperationInput*) {}
  };
};

namespace Data {
template <>
struct TIRN_STD_EXPORT TypeInfo<OperationInput> {
  static std::string const& name();
  static std::shared_ptr<OperationInput> defaultInstance(DataValuePtr const& value);
};
}  // namespace Data

}  // namespace Tirn

TIRN_DECLARE_ROUTINES(Tirn::OperationInput)

#endif  // TIRN_STD_OPERATION_INPUT_H_
