// Apps::Cli::Run: the `tirn` command-line client from arguments to exit status, with its
// terminal, streams and environment passed in so that main stays thin.
//
//   Apps::Cli::Console console{std::cin, std::cout, std::cerr};
//   return Apps::Cli::Run(args, Com::Ostrel::Nox::TrustedInfrastructure::Operations(), console);
//
// The client is generic: it reads the operation table and the definitions, so any operation
// of the package is callable without code of its own.
#ifndef APPS_CLI_RUN_H_
#define APPS_CLI_RUN_H_

#include <functional>
#include <iosfwd>
#include <string>
#include <vector>

#include "apps/cli/arguments.h"
#include "tirn/runtime/call/operation_table.h"
#include "tirn/runtime/value/secret_string.h"

namespace Apps {
namespace Cli {

struct Console {
  Console(std::istream& input, std::ostream& output, std::ostream& errors)
      : in(input), out(output), err(errors) {}

  std::istream& in;
  std::ostream& out;
  std::ostream& err;
  bool inIsTerminal = false;
  bool outIsTerminal = false;
  bool errIsTerminal = false;
  Environment environment = [](char const*) -> char const* { return nullptr; };
  // Asks for the secret at `path` on the terminal without echo; false when none was given.
  std::function<bool(std::string const& path, Tirn::SecretString* secret)> promptSecret;
};

// Runs one command line (the arguments after the program name) and returns the exit status
// (apps/cli/exit_code.h).
int Run(std::vector<std::string> const& args, Tirn::Core::OperationTable const& table,
        Console& console);

}  // namespace Cli
}  // namespace Apps

#endif  // APPS_CLI_RUN_H_
