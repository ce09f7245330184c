#include "tirn/runtime/value/data_type.h"

namespace Tirn {
namespace Data {

char const* DataType::name() const {
  switch (kind_) {
    case VOID: return "void";
    case INTEGER: return "integer";
    case DOUBLE: return "double";
    case BOOLEAN: return "boolean";
    case BLOB: return "blob";
    case STRING: return "string";
    case ERROR: return "error";
    case SECRET: return "secret";
    case LIST: return "list";
    case STRUCTURE: return "structure";
    case OPTIONAL: return "optional";
    case STRUCTURE_REF: return "structure reference";
    case UNION_CASE: return "union case";
    case DYNAMIC_STRUCTURE: return "dynamic structure";
  }
  return "unknown kind";
}

}  // namespace Data
}  // namespace Tirn
