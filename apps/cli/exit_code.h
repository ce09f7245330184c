// Apps::Cli: the exit status of the command-line client.
//
//   0  the call succeeded (or list, describe, --help)
//   1  the server answered with an error, declared or not; or the result could not be
//      written to standard output
//   2  usage or input error: refused before anything was sent
//   3  transport failure: the server could not be reached or did not answer in time
#ifndef APPS_CLI_EXIT_CODE_H_
#define APPS_CLI_EXIT_CODE_H_

#include "tirn/runtime/value/data_value.h"

namespace Apps {
namespace Cli {

enum ExitCode : int {
  kExitSuccess = 0,
  kExitServerError = 1,
  kExitUsage = 2,
  kExitTransport = 3,
};

// kExitTransport when the client provider made `error` itself because the call did not get
// through (connection, TLS, broken connection, time limit, unreadable answer), otherwise
// kExitServerError.
ExitCode ExitCodeForError(Tirn::Data::ErrorValue const& error);

}  // namespace Cli
}  // namespace Apps

#endif  // APPS_CLI_EXIT_CODE_H_
