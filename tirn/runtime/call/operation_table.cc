#include "tirn/runtime/call/operation_table.h"

#include <set>
#include <utility>
#include <vector>

namespace Tirn {
namespace Core {

namespace {

using Data::DataDefinition;
using Data::DataType;

// The annotations of the structures the operation's definitions hold, found by a walk that
// looks at each structure once; the input's own under the input's name.
std::shared_ptr<Data::DefinitionAnnotations const> OperationAnnotations(
    OperationDescriptor const& operation, Data::DefinitionAnnotations const& package) {
  auto annotations = std::make_shared<Data::DefinitionAnnotations>();
  std::vector<DataDefinition const*> pending{operation.input.get(), operation.output.get()};
  for (auto const& error : operation.errors) pending.push_back(error.get());
  std::set<DataDefinition const*> seen;
  while (!pending.empty()) {
    DataDefinition const* definition = pending.back();
    pending.pop_back();
    if (!definition) continue;
    switch (definition->GetType().kind()) {
      case DataType::STRUCTURE:
      case DataType::ERROR: {
        if (!seen.insert(definition).second) break;
        auto const& structure = static_cast<Data::StructDefinition const&>(*definition);
        if (auto const* found = package.Find(structure.name())) {
          annotations->structures[structure.name()] = *found;
        }
        for (auto const& field : structure.fields()) pending.push_back(field.second.get());
        break;
      }
      case DataType::LIST:
      case DataType::OPTIONAL:
      case DataType::UNION_CASE:
        pending.push_back(static_cast<Data::WrappingDefinition const&>(*definition).element().get());
        break;
      default:  // a reference's target is held, and so reached, elsewhere in the same tree
        break;
    }
  }
  if (operation.inputAnnotations && operation.input &&
      operation.input->GetType().kind() == DataType::STRUCTURE) {
    Data::StructureAnnotations own = operation.inputAnnotations();
    if (!own.empty()) {
      annotations->structures[static_cast<Data::StructDefinition const&>(*operation.input).name()] =
          std::move(own);
    }
  }
  return annotations;
}

}  // namespace

OperationTable::OperationTable(std::string package, std::vector<OperationDescriptor> operations,
                               std::string openApiDocument, Data::DefinitionAnnotations annotations)
    : package_(std::move(package)),
      operations_(std::move(operations)),
      openApiDocument_(std::move(openApiDocument)),
      annotations_(std::move(annotations)) {
  for (OperationDescriptor& operation : operations_) {
    if (operation.inputDefinition) operation.input = operation.inputDefinition();
    if (operation.outputDefinition) operation.output = operation.outputDefinition();
    if (operation.errorDefinitions) operation.errors = operation.errorDefinitions();
    operation.method = std::make_shared<MethodIdentifier const>(
        std::make_shared<InterfaceIdentifier const>(operation.interfaceName),
        operation.operationName);
    // A descriptor made from definitions brings its annotations along.
    if (!operation.annotations) operation.annotations = OperationAnnotations(operation, annotations_);
  }
  // Indexed once the vector no longer moves; emplace keeps the first of a name.
  for (std::size_t i = 0; i < operations_.size(); ++i) {
    OperationDescriptor const& operation = operations_[i];
    byInterface_.emplace(Names{operation.interfaceName, operation.operationName}, i);
    byService_.emplace(Names{operation.serviceName, operation.operationName}, i);
  }
}

OperationTable OperationTable::FromDefinitions(std::string package,
                                               std::vector<OperationDefinitions> operations) {
  auto named = std::make_shared<std::vector<OperationDefinitions>>(std::move(operations));
  std::vector<OperationDescriptor> descriptors;
  descriptors.reserve(named->size());
  for (OperationDefinitions& operation : *named) {
    OperationDescriptor descriptor(operation.interfaceName.c_str(), operation.serviceName.c_str(),
                                   operation.operationName.c_str(), nullptr, nullptr, nullptr,
                                   nullptr, operation.description.c_str(),
                                   operation.serviceDescription.c_str());
    // The table keeps its own references; the names stay here, where the descriptors point.
    descriptor.input = std::move(operation.input);
    descriptor.output = std::move(operation.output);
    descriptor.errors = std::move(operation.errors);
    descriptor.annotations = std::make_shared<Data::DefinitionAnnotations const>(
        std::move(operation.annotations));
    descriptors.push_back(std::move(descriptor));
  }
  OperationTable table(std::move(package), std::move(descriptors));
  table.named_ = std::move(named);
  return table;
}

OperationDescriptor const* OperationTable::Lookup(
    Index const& index, std::vector<OperationDescriptor> const& operations,
    boost::string_view owner, boost::string_view operation) {
  auto found = index.find(Names{std::string_view(owner.data(), owner.size()),
                                std::string_view(operation.data(), operation.size())});
  return found == index.end() ? nullptr : &operations[found->second];
}

OperationDescriptor const* OperationTable::Find(boost::string_view interfaceName,
                                                boost::string_view operationName) const {
  return Lookup(byInterface_, operations_, interfaceName, operationName);
}

OperationDescriptor const* OperationTable::FindByService(boost::string_view serviceName,
                                                         boost::string_view operationName) const {
  return Lookup(byService_, operations_, serviceName, operationName);
}

}  // namespace Core
}  // namespace Tirn
