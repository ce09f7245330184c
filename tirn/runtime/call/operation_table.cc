#include "tirn/runtime/call/operation_table.h"

namespace Tirn {
namespace Core {

OperationDescriptor const* OperationTable::Find(boost::string_view interfaceName,
                                                boost::string_view operationName) const {
  for (OperationDescriptor const& operation : operations_) {
    if (interfaceName == operation.interfaceName && operationName == operation.operationName) {
      return &operation;
    }
  }
  return nullptr;
}

OperationDescriptor const* OperationTable::FindByService(boost::string_view serviceName,
                                                         boost::string_view operationName) const {
  for (OperationDescriptor const& operation : operations_) {
    if (serviceName == operation.serviceName && operationName == operation.operationName) {
      return &operation;
    }
  }
  return nullptr;
}

}  // namespace Core
}  // namespace Tirn
