// The dynamic data model: immutable trees of values.
//
// Every value is a Tirn::Data::DataValue, shared as std::shared_ptr<DataValue const>. Leaves
// hold a string, a 64-bit integer, a double, a boolean, bytes, a secret or nothing (void);
// compound values hold named fields (structures, dynamic structures, errors), elements
// (lists of kind 1, sets of kind 2) or an optional content. A value is built once, through the
// mutating operations of its concrete class, and then only read.
//
// Building hands out slots: a field, element or optional content is created first, empty,
// and filled later. Slots never move while the value is built, so converters may keep
// pointers to them.
//
//   auto address = StructValue::GetInstance("com.example.address");
//   address->SetField("host", DataValue::Create<std::string>("example.org"));
//   auto port = OptionalValue::GetInstance();
//   *port->value(nullptr) = DataValue::Create<long long>(443);
//   address->SetField("port", port);
//
// Destroying a tree never recurses, whatever its depth, and a tree whose parts are shared
// between threads may be released from any of them.
//
// A value must not contain itself. Subtrees may be shared (the same value under several
// parents or several times in one list), but the building interfaces (SetField, FieldSlot,
// StaticFieldSlot, Append, AppendSlots, OptionalValue::value) must not be used to close a
// loop. Only the direct case is caught as it is made: storing a value into itself through
// SetField, Append or OptionalValue::value(content) throws std::invalid_argument. A loop made
// any other way (through a slot, or through a chain of SetField calls) is found by the walks
// over the tree, which compare each value with one value above it on the way down
// (detail::AncestorMark: a pointer comparison per level, whatever the depth) and end where
// they meet the loop again: printing shows "<contains itself>", Equal reports the trees
// different, validation, value-to-native conversion and JSON encoding fail with a message.
// Such a tree also leaks: its values own each other through shared pointers, so none of them
// is freed unless the loop is broken (the slot that closes it emptied).
#ifndef TIRN_RUNTIME_VALUE_DATA_VALUE_H_
#define TIRN_RUNTIME_VALUE_DATA_VALUE_H_

#include <algorithm>
#include <cstddef>
#include <functional>
#include <iterator>
#include <memory>
#include <map>
#include <string>
#include <utility>
#include <vector>

#include <boost/container/small_vector.hpp>
#include <boost/utility/string_view.hpp>

#include "tirn/message/base_message.h"
#include "tirn/message/export.h"
#include "tirn/runtime/value/data_type.h"
#include "tirn/runtime/value/detail/field_store.h"
#include "tirn/runtime/value/secret_string.h"
#include "tirn/runtime/value/void.h"

namespace Tirn {
namespace Data {

class ValueVisitor;
class DataValue;

using DataValuePtr = std::shared_ptr<DataValue const>;

class TIRN_CORE_EXPORT DataValue {
 public:
  virtual DataType GetType() const = 0;
  // Calls the visitor's operation for this value's kind.
  virtual void Accept(ValueVisitor& visitor) const = 0;
  virtual ~DataValue();

  DataValue(DataValue const&) = delete;
  DataValue& operator=(DataValue const&) = delete;

  // A new value of T's kind: T is std::string, long long, bool, Tirn::SecretString or
  // Tirn::Void.
  template <class T>
  static DataValuePtr Create(T const& value);

  // Writes `out` and returns true when `value` has T's kind; otherwise appends a message
  // and returns false.
  template <class T>
  static bool Value(DataValuePtr const& value, T& out, std::list<BaseMessage>& messages);

  // Parses a string value as T: the whole decimal text for long long (nothing that does not
  // fit 64 bits), exactly "true" or "false" for bool, any text for std::string and
  // Tirn::SecretString, only the empty string for Tirn::Void. Otherwise appends a message
  // and returns false.
  template <class T>
  static bool ToPrimitive(DataValuePtr const& value, T& out, std::list<BaseMessage>& messages);

 protected:
  DataValue() = default;
};

template <>
TIRN_CORE_EXPORT DataValuePtr DataValue::Create<std::string>(std::string const&);
template <>
TIRN_CORE_EXPORT DataValuePtr DataValue::Create<long long>(long long const&);
template <>
TIRN_CORE_EXPORT DataValuePtr DataValue::Create<bool>(bool const&);
template <>
TIRN_CORE_EXPORT DataValuePtr DataValue::Create<SecretString>(SecretString const&);
template <>
TIRN_CORE_EXPORT DataValuePtr DataValue::Create<Void>(Void const&);
template <>
TIRN_CORE_EXPORT DataValuePtr DataValue::Create<double>(double const&);

#define TIRN_DECLARE_VALUE_ACCESS(T)                                                          \
  template <>                                                                                  \
  TIRN_CORE_EXPORT bool DataValue::Value<T>(DataValuePtr const&, T&, std::list<BaseMessage>&); \
  template <>                                                                                  \
  TIRN_CORE_EXPORT bool DataValue::ToPrimitive<T>(DataValuePtr const&, T&,                     \
                                                  std::list<BaseMessage>&);
TIRN_DECLARE_VALUE_ACCESS(std::string)
TIRN_DECLARE_VALUE_ACCESS(long long)
TIRN_DECLARE_VALUE_ACCESS(bool)
TIRN_DECLARE_VALUE_ACCESS(SecretString)
TIRN_DECLARE_VALUE_ACCESS(Void)
TIRN_DECLARE_VALUE_ACCESS(double)
#undef TIRN_DECLARE_VALUE_ACCESS

class TIRN_CORE_EXPORT VoidValue final : public DataValue {
 public:
  static std::shared_ptr<VoidValue const> GetInstance();
  DataType GetType() const override { return DataType(DataType::VOID); }
  void Accept(ValueVisitor& visitor) const override;
  VoidValue() = default;
};

// Leaf values. Each is created by GetInstance and read through value().
#define TIRN_LEAF_VALUE(Class, Kind, Type, ParamType)                       \
  class TIRN_CORE_EXPORT Class final : public DataValue {                   \
   public:                                                                  \
    static std::shared_ptr<Class const> GetInstance(ParamType value);       \
    DataType GetType() const override { return DataType(DataType::Kind); }  \
    void Accept(ValueVisitor& visitor) const override;                      \
    Type const& value() const { return value_; }                            \
    explicit Class(ParamType value);                                        \
                                                                            \
   private:                                                                 \
    Type value_;                                                            \
  };

TIRN_LEAF_VALUE(IntegerValue, INTEGER, long long, long long)
TIRN_LEAF_VALUE(DoubleValue, DOUBLE, double, double)
TIRN_LEAF_VALUE(BooleanValue, BOOLEAN, bool, bool)
TIRN_LEAF_VALUE(BlobValue, BLOB, std::string, std::string)
TIRN_LEAF_VALUE(StringValue, STRING, std::string, std::string)
TIRN_LEAF_VALUE(SecretValue, SECRET, SecretString, SecretString)
#undef TIRN_LEAF_VALUE


// A structure name that is not copied: the string must outlive every value named with it (a
// function-local static such as the one TypeInfo<T>::name() returns a reference to).
struct StaticName {
  std::string const& name;
};

// A structure name that is not copied, and the object it lives in, which the value keeps alive
// (a structure's definition). Fields named through SharedFieldSlot borrow their names from the
// same object.
struct SharedName {
  std::string const& name;
  std::shared_ptr<void const> keeper;
};

// Values with named fields: structures, dynamic structures and errors. Fields are kept in
// ascending byte order of their names; a field's slot keeps its address for the life of the
// value. A value is allocated in one piece with room for the fields it is expected to hold
// (`fieldCount`); more fields are still accepted.
class TIRN_CORE_EXPORT CompoundValue : public DataValue {
 public:
  // The fields in ascending byte order of their names; iterates as (name, value) pairs.
  using FieldMap = detail::FieldStore;
  // Room for this many fields when the count is not given.
  static constexpr std::size_t kDefaultFieldCount = 4;

  ~CompoundValue() override;

  // The structure's or error's canonical name.
  std::string const& name() const { return *name_; }

  // Writes the field and returns true when present; otherwise appends a message naming the
  // field and this structure, and returns false.
  bool GetField(boost::string_view name, DataValuePtr& out,
                std::list<BaseMessage>& messages) const;
  // The field's value, or null when there is no such field. Never adds a message.
  DataValuePtr const* FindField(boost::string_view name) const;
  // Stores or replaces a field. Throws std::invalid_argument when `value` is this value.
  void SetField(boost::string_view name, DataValuePtr value);
  // The slot of a field, created empty when absent.
  DataValuePtr* FieldSlot(boost::string_view name);
  // The same without copying the name of a new field: `name` must outlive the value (a string
  // literal, or a name held by what the value keeps alive: see SharedName).
  DataValuePtr* StaticFieldSlot(boost::string_view name);

  FieldMap const& fields() const { return fields_; }

 protected:
  explicit CompoundValue(detail::CompoundPlacement const& placement);

 private:
  // What keeps a borrowed name, and borrowed field names, alive (SharedName); destroyed last.
  std::shared_ptr<void const> keeper_;
  // The name: a copy in the value's own storage, or a string that outlives the value.
  std::string const* name_;
  bool ownsName_;
  FieldMap fields_;
};

class TIRN_CORE_EXPORT StructValue : public CompoundValue {
 public:
  // An empty structure value named `name`, with room for `fieldCount` fields.
  static std::shared_ptr<StructValue> GetInstance(std::string const& name,
                                                  std::size_t fieldCount = kDefaultFieldCount);
  // The same without copying the name.
  static std::shared_ptr<StructValue> GetInstance(StaticName name,
                                                  std::size_t fieldCount = kDefaultFieldCount);
  static std::shared_ptr<StructValue> GetInstance(SharedName name,
                                                  std::size_t fieldCount = kDefaultFieldCount);
  DataType GetType() const override { return DataType(DataType::STRUCTURE); }
  void Accept(ValueVisitor& visitor) const override;
  // Use GetInstance; public for the allocation.
  explicit StructValue(detail::CompoundPlacement const& placement) : CompoundValue(placement) {}
};

// A structure whose type is not known statically. It reads and visits like a structure.
class TIRN_CORE_EXPORT DynamicStructValue final : public StructValue {
 public:
  static std::shared_ptr<DynamicStructValue> GetInstance(
      std::string const& name, std::size_t fieldCount = kDefaultFieldCount);
  DataType GetType() const override { return DataType(DataType::DYNAMIC_STRUCTURE); }
  explicit DynamicStructValue(detail::CompoundPlacement const& placement)
      : StructValue(placement) {}
};

// An error: a named compound value. Errors made by Create carry a "messages" field, a list of
// localizable-message structures (see wire_shapes.h).
class TIRN_CORE_EXPORT ErrorValue final : public CompoundValue {
 public:
  // An error named `name` carrying `messages`, in order.
  static std::shared_ptr<ErrorValue const> Create(std::string const& name,
                                                  std::list<BaseMessage> const& messages);
  // An error named `name` without fields, with room for `fieldCount` fields.
  static std::shared_ptr<ErrorValue> GetInstance(std::string const& name,
                                                 std::size_t fieldCount = kDefaultFieldCount);
  // The same without copying the name.
  static std::shared_ptr<ErrorValue> GetInstance(StaticName name,
                                                 std::size_t fieldCount = kDefaultFieldCount);
  static std::shared_ptr<ErrorValue> GetInstance(SharedName name,
                                                 std::size_t fieldCount = kDefaultFieldCount);
  DataType GetType() const override { return DataType(DataType::ERROR); }
  void Accept(ValueVisitor& visitor) const override;
  // The messages carried in the "messages" field; messages that are not well formed are
  // skipped.
  std::list<BaseMessage> GetMessages() const;
  explicit ErrorValue(detail::CompoundPlacement const& placement) : CompoundValue(placement) {}
};

class TIRN_CORE_EXPORT OptionalValue final : public DataValue {
 public:
  // An optional value without content.
  static std::shared_ptr<OptionalValue> GetInstance();
  DataType GetType() const override { return DataType(DataType::OPTIONAL); }
  void Accept(ValueVisitor& visitor) const override;
  ~OptionalValue() override;

  // Sets the content to `content` and returns its slot. Throws std::invalid_argument when
  // `content` is this value.
  DataValuePtr* value(DataValuePtr content);
  bool has_value() const { return hasValue_; }
  // The content; null when there is none.
  DataValuePtr const& value() const { return content_; }

  OptionalValue() = default;

 private:
  bool hasValue_ = false;
  DataValuePtr content_;
};

class TIRN_CORE_EXPORT ListValue final : public DataValue {
 public:
  enum Kind : int { LIST = 1, SET = 2 };
  using Elements = std::vector<DataValuePtr>;

  // An empty list value of the given kind.
  static std::shared_ptr<ListValue> GetInstance(Kind kind);
  DataType GetType() const override { return DataType(DataType::LIST); }
  void Accept(ValueVisitor& visitor) const override;
  ~ListValue() override;

  Kind kind() const { return kind_; }
  // Appends `count` empty elements and returns the slot of the first; the slots are
  // contiguous and keep their addresses until the next append.
  DataValuePtr* AppendSlots(std::size_t count);
  DataValuePtr* AppendSlot() { return AppendSlots(1); }
  // Appends `element`. Throws std::invalid_argument when `element` is this value.
  void Append(DataValuePtr element);
  Elements const& elements() const { return elements_; }
  std::size_t size() const { return elements_.size(); }

  explicit ListValue(Kind kind) : kind_(kind) {}

 private:
  Kind kind_;
  Elements elements_;
};

using ErrorValuePtr = std::shared_ptr<ErrorValue const>;

// Dispatch by value kind; the slot order is fixed.
class TIRN_CORE_EXPORT ValueVisitor {
 public:
  virtual void VisitVoid(VoidValue const& value) = 0;
  virtual void VisitInteger(IntegerValue const& value) = 0;
  virtual void VisitDouble(DoubleValue const& value) = 0;
  virtual void VisitBoolean(BooleanValue const& value) = 0;
  virtual void VisitBlob(BlobValue const& value) = 0;
  virtual void VisitString(StringValue const& value) = 0;
  virtual void VisitSecret(SecretValue const& value) = 0;
  virtual void VisitError(ErrorValue const& value) = 0;
  virtual void VisitOptional(OptionalValue const& value) = 0;
  virtual void VisitList(ListValue const& value) = 0;
  virtual void VisitStruct(StructValue const& value) = 0;
  virtual ~ValueVisitor();
};

// A readable one-line rendering of a tree for logs and tests. Secrets print as a mask; a
// value met again below itself prints as "<contains itself>". Iterative.
TIRN_CORE_EXPORT std::string ToDebugString(DataValuePtr const& value);

}  // namespace Data
}  // namespace Tirn

#endif  // TIRN_RUNTIME_VALUE_DATA_VALUE_H_
