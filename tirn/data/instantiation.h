// Explicit instantiation of the per-type engine routines.
//
// A library that exports bound types declares their routines in its headers with
// TIRN_DECLARE_ROUTINES (so users do not instantiate them again) and defines them once, in one
// of its sources, with TIRN_DEFINE_ROUTINES. Use both at global scope. The engine classes are
// exported, so the instantiated routines are exported with them.
#ifndef TIRN_DATA_INSTANTIATION_H_
#define TIRN_DATA_INSTANTIATION_H_

#include "tirn/data/native_to_definition_adapter.h"
#include "tirn/data/native_to_value_adapter.h"
#include "tirn/data/value_to_native_adapter.h"

#define TIRN_ROUTINES_IMPL_(KIND, T, N2V, N2D)                                                \
  KIND template void ::Tirn::Data::NativeToValueAdapter::N2V<T>(                              \
      ::Tirn::NativeConstPtr const&, ::Tirn::Data::DataValuePtr* const&,                      \
      ::Tirn::Data::NativeToValueAdapter::Stack&, std::list<::Tirn::BaseMessage>&);           \
  KIND template void ::Tirn::Data::ValueToNativeAdapter::StructMethod<T>(                     \
      ::Tirn::Data::DataValuePtr const&, ::Tirn::NativePtr const&,                            \
      ::Tirn::Data::ValueToNativeAdapter::Stack&, std::list<::Tirn::BaseMessage>&);           \
  KIND template void ::Tirn::Data::NativeToDefinitionAdapter::N2D<T>(                         \
      ::Tirn::Data::NativeToDefinitionAdapter::SrcType const&,                                \
      ::Tirn::Data::DataDefinitionPtr* const&, ::Tirn::Data::NativeToDefinitionAdapter::Stack&, \
      std::list<::Tirn::BaseMessage> const&);

// The three routines of a structure (or operation input) T.
#define TIRN_DECLARE_ROUTINES(T) TIRN_ROUTINES_IMPL_(extern, T, StructMethod, StructBeginMethod)
#define TIRN_DEFINE_ROUTINES(T) TIRN_ROUTINES_IMPL_(, T, StructMethod, StructBeginMethod)
// The three routines of a standard error structure E.
#define TIRN_DECLARE_ERROR_ROUTINES(E) TIRN_ROUTINES_IMPL_(extern, E, ErrorMethod, ErrorBeginMethod)
#define TIRN_DEFINE_ERROR_ROUTINES(E) TIRN_ROUTINES_IMPL_(, E, ErrorMethod, ErrorBeginMethod)

#endif  // TIRN_DATA_INSTANTIATION_H_
