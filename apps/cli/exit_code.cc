#include "apps/cli/exit_code.h"

#include <algorithm>

#include "tirn/http/protocol.h"
#include "tirn/runtime/value/wire_shapes.h"

namespace Apps {
namespace Cli {

ExitCode ExitCodeForError(Tirn::Data::ErrorValue const& error,
                          Tirn::Core::OperationDescriptor const* operation) {
  // The error's name alone cannot tell: a server may answer service_unavailable or timed_out
  // itself. The client provider's own messages say that the call did not get through.
  namespace Ids = Tirn::Http::MessageIds;
  static char const* const kTransportIds[] = {Ids::kConnectFailed, Ids::kTlsFailed,
                                              Ids::kConnectionBroken, Ids::kTimedOut,
                                              Ids::kBadAnswer, Ids::kNotTirnAnswer};
  for (auto const& message : error.GetMessages()) {
    for (char const* id : kTransportIds) {
      if (message.id() == id) return kExitTransport;
    }
  }
  // Declared by every operation, but said by the server's access control, not the operation.
  namespace Wire = Tirn::Data::Wire;
  if (error.name() == Wire::kUnauthenticatedError || error.name() == Wire::kUnauthorizedError) {
    return kExitOtherError;
  }
  if (!operation) return kExitOtherError;
  bool const declared = std::any_of(
      operation->errors.begin(), operation->errors.end(),
      [&error](Tirn::Data::DataDefinitionPtr const& definition) {
        return definition && definition->GetType().kind() == Tirn::Data::DataType::ERROR &&
               static_cast<Tirn::Data::StructDefinition const&>(*definition).name() ==
                   error.name();
      });
  return declared ? kExitDeclaredError : kExitOtherError;
}

}  // namespace Cli
}  // namespace Apps
