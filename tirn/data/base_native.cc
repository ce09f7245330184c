#include "tirn/data/base_native.h"
#include "tirn/runtime/value/equal.h"

namespace Tirn {
namespace Data {

namespace {
void CopyFields(BaseNative const& native, CompoundValue& target) {
  if (!native.unknownFields) return;
  for (auto const& field : native.unknownFields->fields()) {
    target.SetField(field.first, field.second);
  }
}
}  // namespace

void BaseNative::AdapterHelper::AddUnknownFields(BaseNative const& native,
                                                 std::shared_ptr<StructValue>& target) {
  CopyFields(native, *target);
}

void BaseNative::AdapterHelper::AddUnknownFields(BaseNative const& native,
                                                 std::shared_ptr<ErrorValue>& target) {
  CopyFields(native, *target);
}

bool EqualUnknownFields(BaseNative const& a, BaseNative const& b) {
  return Equal(a.unknownFields, b.unknownFields);
}

}  // namespace Data
}  // namespace Tirn
