#include "tirn/http/protocol.h"

namespace Tirn {
namespace Http {

std::string OperationPath(std::string const& interfaceName, std::string const& operationName) {
  std::string path = kPathPrefix;
  path += interfaceName;
  path += '/';
  path += operationName;
  return path;
}

unsigned StatusForError(std::string const& name) {
  struct Entry {
    char const* name;
    unsigned status;
  };
  static constexpr Entry kStatuses[] = {
#define TIRN_ERROR_STATUS(name, status) {name, status},
#include "tirn/http/error_statuses.def"
  };
  for (Entry const& entry : kStatuses) {
    if (name == entry.name) return entry.status;
  }
#define TIRN_OTHER_ERROR_STATUS(status) return status;
#include "tirn/http/error_statuses.def"
}

}  // namespace Http
}  // namespace Tirn
