// Tirn::Data::BaseNative: the base of every bound structure, and the unknown-field store.
//
// A structure received with fields it does not know keeps them in `unknownFields`, sharing the
// received values, and sends them back unchanged. The two AddUnknownFields steps are run by the
// conversion engines after a structure's own fields.
#ifndef TIRN_DATA_BASE_NATIVE_H_
#define TIRN_DATA_BASE_NATIVE_H_

#include <cassert>
#include <iterator>
#include <memory>

#include <boost/utility/string_view.hpp>

#include "tirn/message/export.h"
#include "tirn/runtime/value/data_value.h"

namespace Tirn {
namespace Data {

class TIRN_CORE_EXPORT BaseNative {
 public:
  // Received fields that the structure does not know; null until the first one is stored.
  std::shared_ptr<StructValue> unknownFields;

  struct TIRN_CORE_EXPORT AdapterHelper {
    // Native to value: copies every stored unknown field into `target`, in name order,
    // sharing the stored values.
    static void AddUnknownFields(BaseNative const& native, std::shared_ptr<StructValue>& target);
    // The same for a native standard error converted into an error value.
    static void AddUnknownFields(BaseNative const& native, std::shared_ptr<ErrorValue>& target);

    // Value to native: stores every field of `source` whose name is not in `knownNames` (the
    // structure's wire names, in strictly ascending byte order) into `unknownFields`, creating
    // it on the first one. A null source stores nothing.
    template <class Names>
    static void AddUnknownFields(Names const& knownNames,
                                 std::shared_ptr<StructValue const> const& source,
                                 std::shared_ptr<StructValue>& unknownFields) {
      AddUnknownFields(knownNames, static_cast<CompoundValue const*>(source.get()), unknownFields);
    }
    // The same for any compound source held elsewhere (the engine's form: no shared pointer is
    // copied per structure).
    template <class Names>
    static void AddUnknownFields(Names const& knownNames, CompoundValue const* source,
                                 std::shared_ptr<StructValue>& unknownFields);
  };
};

// Equality of two unknown-field stores (both absent, or equal trees).
TIRN_CORE_EXPORT bool EqualUnknownFields(BaseNative const& a, BaseNative const& b);

template <class Names>
void BaseNative::AdapterHelper::AddUnknownFields(Names const& knownNames,
                                                 CompoundValue const* source,
                                                 std::shared_ptr<StructValue>& unknownFields) {
  if (!source) return;
  auto known = std::begin(knownNames);
  auto const knownEnd = std::end(knownNames);
  // Both sequences are in ascending byte order: one merge pass separates the unknown names.
  for (auto const& field : source->fields()) {
    boost::string_view const name = field.first;
    while (known != knownEnd && boost::string_view(*known) < name) ++known;
    if (known != knownEnd && boost::string_view(*known) == name) {
      ++known;
      continue;
    }
    if (!unknownFields) unknownFields = StructValue::GetInstance("unknownFields");
    unknownFields->SetField(field.first, field.second);
  }
}

}  // namespace Data
}  // namespace Tirn

#endif  // TIRN_DATA_BASE_NATIVE_H_
