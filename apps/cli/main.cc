// The `tirn` command-line client: calls any operation of the trusted-infrastructure package on
// a tirn server. `tirn --help` describes its use; the work is done by Apps::Cli::Run.
#include <termios.h>
#include <unistd.h>

#include <cstdlib>
#include <iostream>
#include <string>
#include <vector>

#include "apps/cli/run.h"
#include "com/ostrel/nox/trusted_infrastructure/operations.h"

namespace {

// Reads one line from the terminal with echo turned off, asking on standard error.
bool PromptSecret(std::string const& path, Tirn::SecretString* secret) {
  std::cerr << path << ": " << std::flush;
  termios saved{};
  bool const restore = tcgetattr(STDIN_FILENO, &saved) == 0;
  if (restore) {
    termios quiet = saved;
    quiet.c_lflag &= ~static_cast<tcflag_t>(ECHO);
    tcsetattr(STDIN_FILENO, TCSAFLUSH, &quiet);
  }
  std::string line;
  bool const read = static_cast<bool>(std::getline(std::cin, line));
  if (restore) tcsetattr(STDIN_FILENO, TCSAFLUSH, &saved);
  std::cerr << "\n";
  if (read) *secret = Tirn::SecretString(std::move(line));
  return read;
}

}  // namespace

int main(int argc, char** argv) {
  std::vector<std::string> args(argv + 1, argv + argc);
  Apps::Cli::Console console{std::cin, std::cout, std::cerr};
  console.inIsTerminal = isatty(STDIN_FILENO) == 1;
  console.outIsTerminal = isatty(STDOUT_FILENO) == 1;
  console.errIsTerminal = isatty(STDERR_FILENO) == 1;
  console.environment = [](char const* name) -> char const* { return std::getenv(name); };
  console.promptSecret = PromptSecret;
  return Apps::Cli::Run(args, Com::Ostrel::Nox::TrustedInfrastructure::Operations(), console);
}
