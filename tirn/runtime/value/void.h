// Tirn::Void: the native result of an operation that returns nothing.
#ifndef TIRN_RUNTIME_VALUE_VOID_H_
#define TIRN_RUNTIME_VALUE_VOID_H_

namespace Tirn {

struct Void {
  friend constexpr bool operator==(Void, Void) { return true; }
  friend constexpr bool operator!=(Void, Void) { return false; }
  friend constexpr bool operator<(Void, Void) { return false; }
};

}  // namespace Tirn

#endif  // TIRN_RUNTIME_VALUE_VOID_H_
