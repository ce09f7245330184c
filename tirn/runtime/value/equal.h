// Deep equality of value trees, for tests, caches and callers that compare what they received
// with what they sent. Iterative: any depth is fine.
#ifndef TIRN_RUNTIME_VALUE_EQUAL_H_
#define TIRN_RUNTIME_VALUE_EQUAL_H_

#include "tirn/message/export.h"
#include "tirn/runtime/value/data_value.h"

namespace Tirn {
namespace Data {

// Deep comparison of two trees (kinds, names, fields, elements, contents); two null
// pointers are equal, and a tree that contains itself equals only itself. Iterative.
TIRN_CORE_EXPORT bool Equal(DataValuePtr const& a, DataValuePtr const& b);

}  // namespace Data
}  // namespace Tirn

#endif  // TIRN_RUNTIME_VALUE_EQUAL_H_
