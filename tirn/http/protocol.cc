#include "tirn/http/protocol.h"

#include <cstring>

#include "tirn/runtime/value/wire_shapes.h"

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
  namespace Wire = Data::Wire;
  struct Entry {
    char const* name;
    unsigned status;
  };
  static constexpr Entry kStatuses[] = {
      {Wire::kInvalidArgumentError, 400},
      {Wire::kUnauthenticatedError, 401},
      {Wire::kUnauthorizedError, 403},
      {Wire::kNotFoundError, 404},
      {Wire::kOperationNotFoundError, 404},
      {Wire::kAlreadyExistsError, 409},
      {Wire::kNotAllowedInCurrentStateError, 409},
      {Wire::kUnsupportedError, 501},
      {Wire::kUnableToAllocateResourceError, 503},
      {Wire::kServiceUnavailableError, 503},
      {Wire::kTimedOutError, 504},
  };
  for (Entry const& entry : kStatuses) {
    if (name == entry.name) return entry.status;
  }
  return 500;
}

}  // namespace Http
}  // namespace Tirn
