#include "apps/cli/exit_code.h"

#include <cstring>

#include "tirn/http/protocol.h"

namespace Apps {
namespace Cli {

ExitCode ExitCodeForError(Tirn::Data::ErrorValue const& error) {
  // The error's name alone cannot tell: a server may answer service_unavailable or timed_out
  // itself. The client provider's own messages say that the call did not get through.
  namespace Ids = Tirn::Http::MessageIds;
  static char const* const kTransportIds[] = {Ids::kConnectFailed, Ids::kTlsFailed,
                                              Ids::kConnectionBroken, Ids::kTimedOut,
                                              Ids::kBadAnswer};
  for (auto const& message : error.GetMessages()) {
    for (char const* id : kTransportIds) {
      if (message.id() == id) return kExitTransport;
    }
  }
  return kExitServerError;
}

}  // namespace Cli
}  // namespace Apps
