// Kind numbers of the dynamic data model, for values and definitions alike.
//
// 5 (string) and 8 (list) are fixed by the wire; 6, 9 and 15 are the compound kinds, whose
// values are Tirn::Data::CompoundValue objects. Kinds 11 and 12 exist only as definitions.
#ifndef TIRN_RUNTIME_VALUE_DATA_TYPE_H_
#define TIRN_RUNTIME_VALUE_DATA_TYPE_H_

#include "tirn/message/export.h"

namespace Tirn {
namespace Data {

class DataType {
 public:
  enum Kind : int {
    VOID = 0,
    INTEGER = 1,
    DOUBLE = 2,
    BOOLEAN = 3,
    BLOB = 4,
    STRING = 5,
    ERROR = 6,
    SECRET = 7,
    LIST = 8,
    STRUCTURE = 9,
    OPTIONAL = 10,
    STRUCTURE_REF = 11,
    UNION_CASE = 12,
    DYNAMIC_STRUCTURE = 15,
  };

  constexpr explicit DataType(Kind kind) : kind_(kind) {}
  constexpr Kind kind() const { return kind_; }
  // True for the kinds read through the CompoundValue interface: error, structure and
  // dynamic structure.
  constexpr bool IsCompound() const {
    return kind_ == ERROR || kind_ == STRUCTURE || kind_ == DYNAMIC_STRUCTURE;
  }
  // True for the kinds that hold other values or definitions: the compound kinds, list,
  // optional and union case.
  constexpr bool HoldsOthers() const {
    return IsCompound() || kind_ == LIST || kind_ == OPTIONAL || kind_ == UNION_CASE;
  }
  // Lower-case name of the kind ("string", "dynamic structure"), used in messages.
  TIRN_CORE_EXPORT char const* name() const;

  friend constexpr bool operator==(DataType a, DataType b) { return a.kind_ == b.kind_; }
  friend constexpr bool operator!=(DataType a, DataType b) { return a.kind_ != b.kind_; }

 private:
  Kind kind_;
};

}  // namespace Data
}  // namespace Tirn

#endif  // TIRN_RUNTIME_VALUE_DATA_TYPE_H_
