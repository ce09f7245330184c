// Deep equality of value trees, for tests, caches and callers that compare what they received
// with what they sent; and of definition trees, for the types they describe. Iterative: any
// depth is fine.
#ifndef TIRN_RUNTIME_VALUE_EQUAL_H_
#define TIRN_RUNTIME_VALUE_EQUAL_H_

#include "tirn/message/export.h"
#include "tirn/runtime/value/data_definition.h"
#include "tirn/runtime/value/data_value.h"

namespace Tirn {
namespace Data {

// Deep comparison of two trees (kinds, names, fields, elements, contents); two null
// pointers are equal, and a tree that contains itself equals only itself. Iterative.
TIRN_CORE_EXPORT bool Equal(DataValuePtr const& a, DataValuePtr const& b);

// Whether two definition trees describe the same values: the same kinds, structure and error
// names, fields, list or set, and union-case tags. A structure reference stands for its target,
// so a recursive type equals its other spellings (shared structures, references placed
// elsewhere); an unbound reference equals only an unbound one of the same name. Union-case
// predicates are callables and are not compared (their values are annotations). Two null
// pointers are equal. Iterative, and linear in the number of structure pairs met.
TIRN_CORE_EXPORT bool Equal(DataDefinitionPtr const& a, DataDefinitionPtr const& b);

}  // namespace Data
}  // namespace Tirn

#endif  // TIRN_RUNTIME_VALUE_EQUAL_H_
