// Type definitions: immutable trees that describe the values an operation accepts and
// returns.
//
// Definitions mirror the value kinds (primitives, structures, errors, lists, optionals) and
// add two forms of their own: a structure reference, which stands for a structure defined
// further up (recursive types) and points at it without owning it, and a union case, a field
// that must be present exactly when a sibling tag field has one of the case's values.
//
//   DataDefinition::FieldMap fields;
//   fields["hostname"] = DataDefinition::Create<std::string>();
//   fields["port"] = OptionalDefinition::GetInstance(DataDefinition::Create<long long>());
//   auto address = StructDefinition::GetInstance("com.example.address", fields);
//
// Destroying a definition chain never recurses, whatever its depth.
#ifndef TIRN_RUNTIME_VALUE_DATA_DEFINITION_H_
#define TIRN_RUNTIME_VALUE_DATA_DEFINITION_H_

#include <functional>
#include <map>
#include <memory>
#include <string>

#include <boost/logic/tribool.hpp>

#include "tirn/message/export.h"
#include "tirn/runtime/value/data_type.h"
#include "tirn/runtime/value/secret_string.h"
#include "tirn/runtime/value/void.h"

namespace Tirn {
namespace Data {

class DataDefinition;
using DataDefinitionPtr = std::shared_ptr<DataDefinition const>;

class TIRN_CORE_EXPORT DataDefinition {
 public:
  using FieldMap = std::map<std::string, DataDefinitionPtr>;

  virtual DataType GetType() const = 0;
  virtual ~DataDefinition();

  DataDefinition(DataDefinition const&) = delete;
  DataDefinition& operator=(DataDefinition const&) = delete;

  // A new definition of T's kind: T is std::string, long long, bool, Tirn::SecretString,
  // Tirn::Void or double.
  template <class T>
  static DataDefinitionPtr Create();

 protected:
  DataDefinition() = default;
};

template <>
TIRN_CORE_EXPORT DataDefinitionPtr DataDefinition::Create<std::string>();
template <>
TIRN_CORE_EXPORT DataDefinitionPtr DataDefinition::Create<long long>();
template <>
TIRN_CORE_EXPORT DataDefinitionPtr DataDefinition::Create<bool>();
template <>
TIRN_CORE_EXPORT DataDefinitionPtr DataDefinition::Create<SecretString>();
template <>
TIRN_CORE_EXPORT DataDefinitionPtr DataDefinition::Create<Void>();
template <>
TIRN_CORE_EXPORT DataDefinitionPtr DataDefinition::Create<double>();

// A leaf kind: void, integer, double, boolean, blob, string or secret.
class TIRN_CORE_EXPORT PrimitiveDefinition final : public DataDefinition {
 public:
  static DataDefinitionPtr GetInstance(DataType::Kind kind);
  DataType GetType() const override { return DataType(kind_); }
  explicit PrimitiveDefinition(DataType::Kind kind) : kind_(kind) {}

 private:
  DataType::Kind kind_;
};

class TIRN_CORE_EXPORT StructDefinition : public DataDefinition {
 public:
  // A structure named `name` with the given fields.
  static std::shared_ptr<StructDefinition const> GetInstance(std::string const& name,
                                                             FieldMap const& fields);
  DataType GetType() const override { return DataType(DataType::STRUCTURE); }
  ~StructDefinition() override;

  std::string const& name() const { return name_; }
  FieldMap const& fields() const { return fields_; }

  StructDefinition(std::string name, FieldMap fields)
      : name_(std::move(name)), fields_(std::move(fields)) {}

 private:
  std::string name_;
  FieldMap fields_;
};

// The definition of an error value: a structure definition of kind error.
class TIRN_CORE_EXPORT ErrorDefinition final : public StructDefinition {
 public:
  static std::shared_ptr<ErrorDefinition const> GetInstance(std::string const& name,
                                                            FieldMap const& fields);
  DataType GetType() const override { return DataType(DataType::ERROR); }
  ErrorDefinition(std::string name, FieldMap fields)
      : StructDefinition(std::move(name), std::move(fields)) {}
};

// Stands for the structure named `name` defined further up the same tree. The target is
// bound after creation and is not owned.
class TIRN_CORE_EXPORT StructRefDefinition final : public DataDefinition {
 public:
  static std::shared_ptr<StructRefDefinition> GetInstance(std::string const& name);
  DataType GetType() const override { return DataType(DataType::STRUCTURE_REF); }

  std::string const& name() const { return name_; }
  // The structure this reference stands for; null when unbound or no longer alive.
  std::shared_ptr<StructDefinition const> target() const { return target_.lock(); }
  void SetTarget(std::shared_ptr<StructDefinition const> const& target) { target_ = target; }

  explicit StructRefDefinition(std::string name) : name_(std::move(name)) {}

 private:
  std::string name_;
  std::weak_ptr<StructDefinition const> target_;
};

// Common shape of the definitions that wrap one element definition.
class TIRN_CORE_EXPORT WrappingDefinition : public DataDefinition {
 public:
  ~WrappingDefinition() override;
  DataDefinitionPtr const& element() const { return element_; }

 protected:
  explicit WrappingDefinition(DataDefinitionPtr element) : element_(std::move(element)) {}

 private:
  DataDefinitionPtr element_;
};

// A list, or a set: a list whose elements are unique and kept in ascending order.
class TIRN_CORE_EXPORT ListDefinition final : public WrappingDefinition {
 public:
  static std::shared_ptr<ListDefinition const> GetInstance(DataDefinitionPtr const& element);
  // The definition of a set of `element`.
  static std::shared_ptr<ListDefinition const> GetSetInstance(DataDefinitionPtr const& element);
  DataType GetType() const override { return DataType(DataType::LIST); }
  bool isSet() const { return set_; }
  explicit ListDefinition(DataDefinitionPtr element, bool set = false)
      : WrappingDefinition(std::move(element)), set_(set) {}

 private:
  bool set_;
};

class TIRN_CORE_EXPORT OptionalDefinition final : public WrappingDefinition {
 public:
  static std::shared_ptr<OptionalDefinition const> GetInstance(
      DataDefinitionPtr const& element);
  DataType GetType() const override { return DataType(DataType::OPTIONAL); }
  explicit OptionalDefinition(DataDefinitionPtr element)
      : WrappingDefinition(std::move(element)) {}
};

// A structure field that is present exactly when the sibling field `tagName` holds a value for
// which the predicate answers true. An indeterminate answer leaves the field free.
class TIRN_CORE_EXPORT UnionCaseDefinition final : public WrappingDefinition {
 public:
  using Predicate = std::function<boost::logic::tribool(std::string const&)>;

  static std::shared_ptr<UnionCaseDefinition const> GetInstance(DataDefinitionPtr const& element,
                                                                std::string const& tagName,
                                                                Predicate const& predicate);
  DataType GetType() const override { return DataType(DataType::UNION_CASE); }

  std::string const& tagName() const { return tagName_; }
  Predicate const& predicate() const { return predicate_; }

  UnionCaseDefinition(DataDefinitionPtr element, std::string tagName, Predicate predicate)
      : WrappingDefinition(std::move(element)),
        tagName_(std::move(tagName)),
        predicate_(std::move(predicate)) {}

 private:
  std::string tagName_;
  Predicate predicate_;
};

// A readable one-line rendering of a definition tree; references print their name only.
// Iterative.
TIRN_CORE_EXPORT std::string ToDebugString(DataDefinitionPtr const& definition);

}  // namespace Data
}  // namespace Tirn

#endif  // TIRN_RUNTIME_VALUE_DATA_DEFINITION_H_
