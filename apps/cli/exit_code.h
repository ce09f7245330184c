// Apps::Cli: the exit status of the command-line client, one per kind of outcome, so that a
// script can tell them apart (`tirn --help` prints the same table).
//
//   0  the call succeeded (or list, describe, help, --version)
//   1  the server answered an error the operation declares, other than unauthenticated and
//      unauthorized: the operation's own answer ("no such provider")
//   2  usage: bad arguments, an unknown operation, or input refused before anything was sent
//   3  transport: the server could not be reached (connection, TLS), the connection broke, the
//      time limit passed, or what answered was no tirn server (a balancer's 502, 503 or 504
//      page, another kind of server's 404)
//   4  any other error: one the server answered that the operation does not declare
//      (internal_server_error, service_unavailable), unauthenticated or unauthorized; or the
//      result could not be written to standard output
#ifndef APPS_CLI_EXIT_CODE_H_
#define APPS_CLI_EXIT_CODE_H_

#include "tirn/runtime/call/operation_table.h"
#include "tirn/runtime/value/data_value.h"

namespace Apps {
namespace Cli {

enum ExitCode : int {
  kExitSuccess = 0,
  kExitDeclaredError = 1,
  kExitUsage = 2,
  kExitTransport = 3,
  kExitOtherError = 4,
};

// kExitTransport when the client provider made `error` itself because the call did not get
// through (connection, TLS, broken connection, time limit, an answer that is no tirn
// server's); kExitDeclaredError when the server answered an error that `operation` declares
// (null: none is declared), except unauthenticated and unauthorized, which any operation may
// meet; otherwise kExitOtherError.
ExitCode ExitCodeForError(Tirn::Data::ErrorValue const& error,
                          Tirn::Core::OperationDescriptor const* operation);

}  // namespace Cli
}  // namespace Apps

#endif  // APPS_CLI_EXIT_CODE_H_
