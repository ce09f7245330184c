// Tirn::Core::OperationTable: every operation of a package, for code that handles operations
// it does not know at compile time (network transports, generic command-line clients).
//
// Each generated package exports one table, in the order of its description:
//
//   for (auto const& operation : Com::Ostrel::Nox::TrustedInfrastructure::Operations().operations())
//     std::cout << operation.serviceName << " " << operation.operationName << "\n";
//   auto const* get = table.Find("com.ostrel.nox.trusted_infrastructure.kms.providers", "get");
//   Tirn::Data::DataDefinitionPtr input = get->inputDefinition();
//
// The definitions are built anew on every call of the descriptor's functions. A table is
// immutable and may be read from any thread.
#ifndef TIRN_RUNTIME_CALL_OPERATION_TABLE_H_
#define TIRN_RUNTIME_CALL_OPERATION_TABLE_H_

#include <list>
#include <string>
#include <vector>

#include <boost/utility/string_view.hpp>

#include "tirn/message/export.h"
#include "tirn/runtime/value/data_definition.h"

namespace Tirn {
namespace Core {

// One operation: where it lives, its wire names, and its definitions.
struct OperationDescriptor {
  // The interface identifier ("com.ostrel.nox.trusted_infrastructure.kms.providers").
  char const* interfaceName;
  // The service's name within its package ("kms.providers").
  char const* serviceName;
  // The operation's wire name ("get").
  char const* operationName;
  Data::DataDefinitionPtr (*inputDefinition)();
  Data::DataDefinitionPtr (*outputDefinition)();
  // The declared errors, in a fixed order.
  std::list<Data::DataDefinitionPtr> (*errorDefinitions)();
};

class TIRN_CORE_EXPORT OperationTable {
 public:
  OperationTable(std::string package, std::vector<OperationDescriptor> operations)
      : package_(std::move(package)), operations_(std::move(operations)) {}

  // The package name ("com.ostrel.nox.trusted_infrastructure").
  std::string const& package() const { return package_; }
  std::vector<OperationDescriptor> const& operations() const { return operations_; }

  // The operation of that interface and wire name, or null.
  OperationDescriptor const* Find(boost::string_view interfaceName,
                                  boost::string_view operationName) const;
  // The same by the service's short name ("kms.providers"), or null.
  OperationDescriptor const* FindByService(boost::string_view serviceName,
                                           boost::string_view operationName) const;

 private:
  std::string package_;
  std::vector<OperationDescriptor> operations_;
};

}  // namespace Core
}  // namespace Tirn

#endif  // TIRN_RUNTIME_CALL_OPERATION_TABLE_H_
