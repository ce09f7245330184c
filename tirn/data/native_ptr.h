// Untyped pointers to native objects, typed again by the engine routine chosen for them.
#ifndef TIRN_DATA_NATIVE_PTR_H_
#define TIRN_DATA_NATIVE_PTR_H_

namespace Tirn {

// The native source of a native-to-value conversion (not owned).
using NativeConstPtr = void const*;
// The native destination of a value-to-native conversion (not owned).
using NativePtr = void*;

}  // namespace Tirn

#endif  // TIRN_DATA_NATIVE_PTR_H_
