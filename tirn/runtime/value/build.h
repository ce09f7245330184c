// Tirn::Build: a structure made and filled in one expression, so that an input with nested
// structures reads top down, without a variable and a make_shared for each level.
//
//   auto spec = Tirn::Build<Providers::CreateSpec>([](auto& spec) {
//     spec.provider = "vault";
//     spec.native_spec = Tirn::Build<Providers::NativeProviderCreateSpec>([](auto& native) {
//       native.key_id = "k1";
//     });
//   });
//
// The result converts to the std::shared_ptr<T const> and Tirn::OptionalPtr<T const> that the
// structures' fields and the stubs take.
#ifndef TIRN_RUNTIME_VALUE_BUILD_H_
#define TIRN_RUNTIME_VALUE_BUILD_H_

#include <memory>
#include <utility>

namespace Tirn {

// A new T (value-initialised), given to `fill` to set its fields, in one allocation with its
// control block.
template <class T, class Fill>
std::shared_ptr<T> Build(Fill&& fill) {
  auto made = std::make_shared<T>();
  std::forward<Fill>(fill)(*made);
  return made;
}

}  // namespace Tirn

#endif  // TIRN_RUNTIME_VALUE_BUILD_H_
