// Apps::Cli::Arguments: the command line of the `tirn` client, parsed into a struct or refused
// as a usage error.
//
//   tirn [global options] <service> <operation> [--field.path value ...]
//   tirn [global options] <service> <operation> --json '{...}' | --json @file | --json -
//   tirn list
//   tirn describe [<service> [<operation>]]   (every operation, a service's, or one)
//   tirn help [<service> [<operation>]]       (--help, or the same as describe)
//   tirn --reflect list            (any command: the server's operations, read from it)
//
// Global options are read by Boost.Program_options wherever they stand; every other option
// after the operation names an input field by its dotted path ("--spec.native_spec.key_id k2"
// or "--spec.native_spec.key_id=k2"; a value that starts with "--", or is -h or -v, needs the
// "=" form). A field option without a value is a boolean set to true.
#ifndef APPS_CLI_ARGUMENTS_H_
#define APPS_CLI_ARGUMENTS_H_

#include <functional>
#include <list>
#include <string>
#include <vector>

#include <boost/optional.hpp>

#include "apps/cli/output.h"
#include "tirn/message/base_message.h"

namespace Apps {
namespace Cli {

namespace MessageIds {
// {1}: what is wrong, in words.
inline constexpr char kUsage[] = "tirn.cli.usage";
}  // namespace MessageIds

// One input field given as an option.
struct FieldOption {
  std::string path;
  std::string text;
  // False for an option given without a value.
  bool hasText = true;
};

struct Arguments {
  enum class Command { kHelp, kVersion, kList, kDescribe, kCall };
  Command command = Command::kHelp;
  std::string service;
  std::string operation;
  std::vector<FieldOption> fields;
  // --json as given: the JSON text, "@file" or "-" (standard input).
  boost::optional<std::string> json;
  // --url, each time it is given, in order.
  std::vector<std::string> urls;
  std::string token;
  std::string tokenFile;
  std::string caFile;
  // --cert and --key: a client certificate and its key, both or neither.
  std::string certificateFile;
  std::string privateKeyFile;
  std::string language;
  // --timeout, in seconds; none: the client provider's default (30 s).
  boost::optional<double> timeoutSeconds;
  // --output; none: JSON.
  boost::optional<Format> output;
  bool showSecrets = false;
  // --allow-unknown-fields: --json input may hold fields the definitions do not name inside
  // its structures (a newer server may know them).
  bool allowUnknownFields = false;
  // --reflect: the server's operations, read from it, instead of the compiled table.
  bool reflect = false;
  // -v, --verbose: each exchange with the server said on standard error.
  bool verbose = false;
};

// Parses the arguments after the program name. False with a kUsage message when they are not
// a valid command line; `*out` then holds the output format and verbosity when they were read,
// so that the refusal is said as the command line asked.
[[nodiscard]] bool ParseArguments(std::vector<std::string> const& args, Arguments* out,
                                  std::list<Tirn::BaseMessage>& messages);

// The text of --help: syntax, global options, input, output and exit status (exit_code.h).
std::string HelpText();

// Reads an environment variable; null when unset.
using Environment = std::function<char const*(char const*)>;

// The servers to call, in order of preference: every --url, else the variable
// Apps::kUrlVariable, else http://127.0.0.1:<Apps::kDefaultPort>.
std::vector<std::string> ResolveUrls(Arguments const& arguments, Environment const& environment);

// --lang, else the first of LC_ALL, LC_MESSAGES and LANG that is set and not empty, else "en".
std::string ResolveLanguage(Arguments const& arguments, Environment const& environment);

}  // namespace Cli
}  // namespace Apps

#endif  // APPS_CLI_ARGUMENTS_H_
