#include "tirn/runtime/data_definition.h"

#include <vector>

namespace Tirn {
namespace Data {

// Takes the children out of definitions that are about to die, so that destroying a deep
// chain runs in a loop instead of one nested destructor call per level.
struct DefinitionInternals {
  using Pending = std::vector<DataDefinitionPtr>;

  static void TakeChildren(DataDefinition const& definition, Pending& pending) {
    // Definitions are created non-const and shared as const; their last owner may empty them.
    auto& mutableDefinition = const_cast<DataDefinition&>(definition);
    switch (definition.GetType().kind()) {
      case DataType::STRUCTURE:
      case DataType::ERROR: {
        auto& fields = static_cast<StructDefinition&>(mutableDefinition).fields_;
        for (auto& field : fields) {
          if (field.second) pending.push_back(std::move(field.second));
        }
        fields.clear();
        break;
      }
      case DataType::LIST:
      case DataType::OPTIONAL:
      case DataType::UNION_CASE: {
        auto& element = static_cast<WrappingDefinition&>(mutableDefinition).element_;
        if (element) pending.push_back(std::move(element));
        break;
      }
      default:
        break;
    }
  }

  // Destroys the definitions in `pending`, adopting the children of each one that dies.
  static void Release(Pending& pending) {
    while (!pending.empty()) {
      DataDefinitionPtr next = std::move(pending.back());
      pending.pop_back();
      if (next.use_count() == 1) TakeChildren(*next, pending);
    }
  }
};

DataDefinition::~DataDefinition() = default;

// The destructors take their own children directly: while a base destructor runs, the
// derived part is gone and GetType() no longer tells the kind.
StructDefinition::~StructDefinition() {
  if (fields_.empty()) return;
  DefinitionInternals::Pending pending;
  for (auto& field : fields_) {
    if (field.second) pending.push_back(std::move(field.second));
  }
  fields_.clear();
  DefinitionInternals::Release(pending);
}

WrappingDefinition::~WrappingDefinition() {
  if (!element_) return;
  DefinitionInternals::Pending pending;
  pending.push_back(std::move(element_));
  DefinitionInternals::Release(pending);
}

DataDefinitionPtr PrimitiveDefinition::GetInstance(DataType::Kind kind) {
  return std::make_shared<PrimitiveDefinition>(kind);
}

template <>
DataDefinitionPtr DataDefinition::Create<std::string>() {
  return PrimitiveDefinition::GetInstance(DataType::STRING);
}
template <>
DataDefinitionPtr DataDefinition::Create<long long>() {
  return PrimitiveDefinition::GetInstance(DataType::INTEGER);
}
template <>
DataDefinitionPtr DataDefinition::Create<bool>() {
  return PrimitiveDefinition::GetInstance(DataType::BOOLEAN);
}
template <>
DataDefinitionPtr DataDefinition::Create<SecretString>() {
  return PrimitiveDefinition::GetInstance(DataType::SECRET);
}
template <>
DataDefinitionPtr DataDefinition::Create<Void>() {
  return PrimitiveDefinition::GetInstance(DataType::VOID);
}
template <>
DataDefinitionPtr DataDefinition::Create<double>() {
  return PrimitiveDefinition::GetInstance(DataType::DOUBLE);
}

std::shared_ptr<StructDefinition const> StructDefinition::GetInstance(std::string const& name,
                                                                      FieldMap const& fields) {
  return std::make_shared<StructDefinition>(name, fields);
}

std::shared_ptr<ErrorDefinition const> ErrorDefinition::GetInstance(std::string const& name,
                                                                    FieldMap const& fields) {
  return std::make_shared<ErrorDefinition>(name, fields);
}

std::shared_ptr<StructRefDefinition> StructRefDefinition::GetInstance(std::string const& name) {
  return std::make_shared<StructRefDefinition>(name);
}

std::shared_ptr<ListDefinition const> ListDefinition::GetInstance(
    DataDefinitionPtr const& element) {
  return std::make_shared<ListDefinition>(element);
}

std::shared_ptr<ListDefinition const> ListDefinition::GetSetInstance(
    DataDefinitionPtr const& element) {
  return std::make_shared<ListDefinition>(element, true);
}

std::shared_ptr<OptionalDefinition const> OptionalDefinition::GetInstance(
    DataDefinitionPtr const& element) {
  return std::make_shared<OptionalDefinition>(element);
}

std::shared_ptr<UnionCaseDefinition const> UnionCaseDefinition::GetInstance(
    DataDefinitionPtr const& element, std::string const& tagName, Predicate const& predicate) {
  return std::make_shared<UnionCaseDefinition>(element, tagName, predicate);
}

}  // namespace Data
}  // namespace Tirn
