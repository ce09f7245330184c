#include "tirn/metadata/struct_info.h"

namespace Tirn {
namespace Metadata {

std::shared_ptr<FieldInfo const> FieldInfo::ForResource(std::string const& resourceType) {
  return std::make_shared<FieldInfo const>(resourceType);
}

}  // namespace Metadata
}  // namespace Tirn
