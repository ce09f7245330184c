#include "tirn/runtime/value/data_definition.h"

#include <algorithm>
#include <vector>

namespace Tirn {
namespace Data {

// Takes definition trees apart in a loop instead of one nested destructor call per level, the
// way values are (see data_value.cc): before dropping what may be a definition's last
// reference, the loop copies its children into its pending list, so that it dies with
// children someone else still owns. A shared definition is only ever read here, never
// emptied: a structure definition can be reached through the weak target of a structure
// reference by another thread at any moment, so a use count of one does not make it ours.
// Only a dying definition's own destructor, which no other thread can reach, moves its
// children out.
struct DefinitionInternals {
  using Pending = std::vector<DataDefinitionPtr>;

  // Whether dropping `child` alone may destroy definitions beneath it.
  static bool MayTakeDeeper(DataDefinitionPtr const& child) {
    return child && child.use_count() == 1 && child->GetType().HoldsOthers();
  }

  static void ShareChildren(DataDefinition const& definition, Pending& pending) {
    auto const keep = [&pending](DataDefinitionPtr const& child) {
      if (child && child->GetType().HoldsOthers()) pending.push_back(child);
    };
    switch (definition.GetType().kind()) {
      case DataType::STRUCTURE:
      case DataType::ERROR:
        for (auto const& field : static_cast<StructDefinition const&>(definition).fields()) {
          keep(field.second);
        }
        break;
      case DataType::LIST:
      case DataType::OPTIONAL:
      case DataType::UNION_CASE:
        keep(static_cast<WrappingDefinition const&>(definition).element());
        break;
      default:
        break;
    }
  }

  // Drops every definition in `pending`, sharing the children of each that is about to die
  // first.
  static void Release(Pending& pending) {
    while (!pending.empty()) {
      DataDefinitionPtr next = std::move(pending.back());
      pending.pop_back();
      if (next.use_count() == 1) ShareChildren(*next, pending);
    }
  }
};

DataDefinition::~DataDefinition() = default;

// The destructors take their own children directly: while a base destructor runs, the
// derived part is gone and GetType() no longer tells the kind. When each child has another
// owner, dropping them goes no deeper and nothing is done.
StructDefinition::~StructDefinition() {
  if (std::none_of(fields_.begin(), fields_.end(), [](FieldMap::value_type const& field) {
        return DefinitionInternals::MayTakeDeeper(field.second);
      })) {
    return;
  }
  DefinitionInternals::Pending pending;
  for (auto& field : fields_) {
    if (field.second) pending.push_back(std::move(field.second));
  }
  fields_.clear();
  DefinitionInternals::Release(pending);
}

WrappingDefinition::~WrappingDefinition() {
  if (!DefinitionInternals::MayTakeDeeper(element_)) return;
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
