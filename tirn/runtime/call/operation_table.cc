#include "tirn/runtime/call/operation_table.h"

#include <utility>

namespace Tirn {
namespace Core {

OperationTable::OperationTable(std::string package, std::vector<OperationDescriptor> operations,
                               std::string openApiDocument)
    : package_(std::move(package)),
      operations_(std::move(operations)),
      openApiDocument_(std::move(openApiDocument)) {
  for (OperationDescriptor& operation : operations_) {
    if (operation.inputDefinition) operation.input = operation.inputDefinition();
    if (operation.outputDefinition) operation.output = operation.outputDefinition();
    if (operation.errorDefinitions) operation.errors = operation.errorDefinitions();
    operation.method = std::make_shared<MethodIdentifier const>(
        std::make_shared<InterfaceIdentifier const>(operation.interfaceName),
        operation.operationName);
  }
}

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
