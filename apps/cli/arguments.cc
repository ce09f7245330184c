#include "apps/cli/arguments.h"

#include <exception>
#include <sstream>

#include <boost/program_options.hpp>

#include "apps/common/suggest.h"
#include "apps/common/defaults.h"
#include "tirn/message/message.h"

namespace Apps {
namespace Cli {

namespace {

namespace po = boost::program_options;

po::options_description GlobalOptions() {
  po::options_description options("Global options");
  options.add_options()
      ("help,h", "print this help")
      ("version", "print the version")
      ("url", po::value<std::vector<std::string>>()->value_name("URL"),
       ("the server (default: $" + std::string(kUrlVariable) + ", else http://127.0.0.1:" +
        std::to_string(kDefaultPort) + "); given again, another server of the same calls, "
        "tried in turn when one cannot be reached or is unavailable")
           .c_str())
      ("token", po::value<std::string>()->value_name("TOKEN"),
       ("bearer token sent with the call (default: $" + std::string(kTokenVariable) +
        "; the command line shows in the process list, the environment does not)")
           .c_str())
      ("token-file", po::value<std::string>()->value_name("FILE"),
       "file whose first line is the bearer token")
      ("ca", po::value<std::string>()->value_name("FILE"),
       "PEM file of the CAs trusted for https (default: the system's)")
      ("cert", po::value<std::string>()->value_name("FILE"),
       "PEM certificate chain presented to the server for https (needs --key)")
      ("key", po::value<std::string>()->value_name("FILE"), "PEM private key of --cert")
      ("timeout", po::value<std::string>()->value_name("SECONDS"),
       "time limit of the call (default 30)")
      ("json", po::value<std::string>()->value_name("JSON|@FILE|-"),
       "the whole input as JSON: text, a file, or standard input")
      ("output", po::value<std::string>()->value_name("json|text"),
       "result as JSON (default; indented on a terminal) or as indented text; with json "
       "given, an error as one line of JSON too")
      ("verbose,v", po::bool_switch(),
       "say on standard error, after each exchange with the server, the URL called, the "
       "status, the request id and the time taken")
      ("lang", po::value<std::string>()->value_name("LANG"),
       "language of error messages (default: from LC_ALL, LC_MESSAGES, LANG)")
      ("show-secrets", po::bool_switch(), "print secrets instead of masking them")
      ("allow-unknown-fields", po::bool_switch(),
       "send --json input that holds fields the operation's definitions do not name inside its "
       "structures (refused by default, with the field probably meant)")
      ("reflect", po::bool_switch(),
       "ask the server for its operations instead of using the ones built in (done anyway for "
       "an operation that is not built in)");
  return options;
}

bool Usage(std::string const& what, std::list<Tirn::BaseMessage>& messages) {
  messages.push_back(Tirn::MakeMessage(MessageIds::kUsage, "{1}", what));
  return false;
}

bool StartsWithDashes(std::string const& token) { return token.compare(0, 2, "--") == 0; }

// An option's value refused in our words: "--timeout wants a number of seconds above 0, not
// 'abc'", rather than Boost's.
bool Wants(std::string const& option, std::string const& what, std::string const& given,
           std::list<Tirn::BaseMessage>& messages) {
  return Usage(option + " wants " + what + ", not '" + given + "'", messages);
}

// The longest time limit taken, in seconds (about 115 days): a longer one is a mistake.
constexpr double kLongestTimeout = 1e7;

// Boost's refusals of the options' syntax, said in our words where we have better ones.
std::string SyntaxMistake(po::error_with_option_name const& error,
                          po::options_description const& global) {
  std::string const option = error.get_option_name();
  if (auto const* syntax = dynamic_cast<po::invalid_command_line_syntax const*>(&error)) {
    std::size_t const name = option.find_first_not_of('-');
    auto const* known =
        name == std::string::npos ? nullptr : global.find_nothrow(option.substr(name), false);
    if (syntax->kind() == po::invalid_syntax::missing_parameter && known) {
      return option + " wants a value (" + known->semantic()->name() + ")";
    }
    if (syntax->kind() == po::invalid_syntax::extra_parameter) return option + " takes no value";
  }
  if (dynamic_cast<po::multiple_occurrences const*>(&error)) return "give " + option + " once";
  return error.what();
}

}  // namespace

namespace {

// The global options, into `parsed` (or the help and version commands, into `out` at once,
// with `done` set); what they leave, in order, into `rest`.
bool ReadGlobalOptions(std::vector<std::string> const& args, Arguments& parsed, Arguments* out,
                       bool& done, std::vector<std::string>& rest,
                       std::list<Tirn::BaseMessage>& messages) {
  namespace style = po::command_line_style;
  // The parsed options refer to their description: it must outlive them.
  po::options_description const global = GlobalOptions();
  po::variables_map values;
  try {
    // Unregistered options are the input's fields; no guessing of abbreviations, so that a
    // field is never taken for a global option it happens to begin.
    po::parsed_options options =
        po::command_line_parser(args)
            .options(global)
            .allow_unregistered()
            .style(style::allow_long | style::long_allow_adjacent | style::long_allow_next |
                   style::allow_short | style::allow_dash_for_short | style::short_allow_next)
            .run();
    po::store(options, values);
    rest = po::collect_unrecognized(options.options, po::include_positional);
  } catch (po::error_with_option_name const& error) {
    return Usage(SyntaxMistake(error, global), messages);
  } catch (std::exception const& error) {
    return Usage(error.what(), messages);
  }
  if (values.count("help") || values.count("version")) {
    out->command = values.count("help") ? Arguments::Command::kHelp : Arguments::Command::kVersion;
    done = true;
    return true;
  }
  auto text = [&values](char const* name) {
    return values.count(name) ? values[name].as<std::string>() : std::string();
  };
  // First what a refusal is said with.
  parsed.verbose = values["verbose"].as<bool>();
  if (values.count("output")) {
    std::string format = text("output");
    if (format == "json") {
      parsed.output = Format::kJson;
    } else if (format == "text") {
      parsed.output = Format::kText;
    } else {
      return Wants("--output", "json or text", format, messages);
    }
  }
  if (values.count("json")) parsed.json = values["json"].as<std::string>();
  if (values.count("url")) parsed.urls = values["url"].as<std::vector<std::string>>();
  parsed.token = text("token");
  parsed.tokenFile = text("token-file");
  parsed.caFile = text("ca");
  parsed.certificateFile = text("cert");
  parsed.privateKeyFile = text("key");
  parsed.language = text("lang");
  parsed.showSecrets = values["show-secrets"].as<bool>();
  parsed.allowUnknownFields = values["allow-unknown-fields"].as<bool>();
  parsed.reflect = values["reflect"].as<bool>();
  if (values.count("timeout")) {
    std::string const given = text("timeout");
    std::istringstream reader(given);
    double seconds = 0;
    if (!(reader >> seconds) || !reader.eof() || !(seconds > 0) || seconds > kLongestTimeout) {
      return Wants("--timeout", "a number of seconds above 0 (2.5, 30)", given, messages);
    }
    parsed.timeoutSeconds = seconds;
  }
  if (!parsed.token.empty() && !parsed.tokenFile.empty()) {
    return Usage("give either --token or --token-file", messages);
  }
  if (parsed.certificateFile.empty() != parsed.privateKeyFile.empty()) {
    return Usage("--cert and --key go together", messages);
  }
  return true;
}

// The command and its positional arguments from the front of `rest`; `next` is left on what
// follows them.
bool ReadCommand(std::vector<std::string> const& rest, std::size_t& next, Arguments& parsed,
                 std::list<Tirn::BaseMessage>& messages) {
  auto positional = [&](char const* what, std::string* into) {
    if (next < rest.size() && rest[next].size() > 1 && rest[next][0] == '-') {
      // Before the operation only global options may come: this one is none of them.
      std::vector<std::string> known;
      po::options_description const global = GlobalOptions();
      for (auto const& option : global.options()) known.push_back("--" + option->long_name());
      std::string const given = rest[next].substr(0, rest[next].find('='));
      std::string const hint = DidYouMean(given, known);
      return Usage("unknown option " + given + (hint.empty() ? " (see --help)" : hint), messages);
    }
    if (next >= rest.size()) return Usage(std::string("missing ") + what, messages);
    *into = rest[next++];
    return true;
  };
  next = 0;
  if (!rest.empty() && rest[0] == "list") {
    parsed.command = Arguments::Command::kList;
    next = 1;
  } else if (rest.size() == 1 && rest[0] == "help") {
    parsed.command = Arguments::Command::kHelp;
    next = 1;
  } else if (!rest.empty() && (rest[0] == "describe" || rest[0] == "help")) {
    // An operation's help is its description; without an operation, every one of the service,
    // and without a service (describe only) every one there is.
    parsed.command = Arguments::Command::kDescribe;
    next = 1;
    if (next < rest.size() && !positional("<service>", &parsed.service)) return false;
    if (next < rest.size() && !positional("<operation>", &parsed.operation)) return false;
  } else {
    parsed.command = Arguments::Command::kCall;
    if (rest.empty()) {
      return Usage("missing <service> <operation>, or list, describe or help", messages);
    }
    if (!positional("<service>", &parsed.service) ||
        !positional("<operation>", &parsed.operation)) {
      return false;
    }
  }
  if (parsed.command != Arguments::Command::kCall && next < rest.size()) {
    return Usage("unexpected argument " + rest[next], messages);
  }
  return true;
}

// The input's field options: everything after the operation.
bool ReadFieldOptions(std::vector<std::string> const& rest, std::size_t next, Arguments& parsed,
                      std::list<Tirn::BaseMessage>& messages) {
  while (next < rest.size()) {
    std::string const& token = rest[next++];
    if (!StartsWithDashes(token) || token.size() == 2) {
      return Usage("unexpected argument " + token + " (input fields are options: --field value)",
                   messages);
    }
    FieldOption field;
    std::string body = token.substr(2);
    std::size_t equals = body.find('=');
    if (equals != std::string::npos) {
      field.path = body.substr(0, equals);
      field.text = body.substr(equals + 1);
    } else {
      field.path = body;
      if (next < rest.size() && !StartsWithDashes(rest[next])) {
        field.text = rest[next++];
      } else {
        field.hasText = false;
      }
    }
    parsed.fields.push_back(std::move(field));
  }
  if (parsed.json && !parsed.fields.empty()) {
    return Usage("give the input either as --json or as field options, not both", messages);
  }
  return true;
}

}  // namespace

bool ParseArguments(std::vector<std::string> const& args, Arguments* out,
                    std::list<Tirn::BaseMessage>& messages) {
  Arguments parsed;
  std::vector<std::string> rest;
  bool done = false;
  std::size_t next = 0;
  bool const ok = ReadGlobalOptions(args, parsed, out, done, rest, messages) &&
                  (done || (ReadCommand(rest, next, parsed, messages) &&
                            ReadFieldOptions(rest, next, parsed, messages)));
  if (done) return true;
  if (!ok) {
    out->output = parsed.output;
    out->verbose = parsed.verbose;
    return false;
  }
  *out = std::move(parsed);
  return true;
}

std::string HelpText() {
  std::ostringstream text;
  text << "Calls the operations of com.ostrel.nox.trusted_infrastructure on a tirn server, and\n"
          "those of any tirn server, whose operations it asks the server for (--reflect).\n"
          "\n"
          "Usage:\n"
          "  tirn [global options] <service> <operation> [--field.path value ...]\n"
          "  tirn [global options] <service> <operation> --json '{...}' | --json @file | --json -\n"
          "  tirn list                                 the services and their operations\n"
          "  tirn describe [<service> [<operation>]]   an operation's input, output and errors;\n"
          "                                            a service's operations, or every one\n"
          "                                            (--output json: as GET /v1/operations)\n"
          "  tirn help [<service> [<operation>]]       this help, or the same as describe\n"
          "\n"
          "Input: each option after the operation sets the input field named by its dotted path\n"
          "(--spec.native_spec.key_id k2, or --spec.native_spec.key_id=k2); the field's kind\n"
          "decides how the text is read (integer, boolean, double, enumeration name, string,\n"
          "base64 for bytes). Naming a list field again appends to it; in a list of structures\n"
          "a field already set in the last element starts a new one. A boolean given without a\n"
          "value is true. Secrets are never taken from the command line, in an option or in\n"
          "--json text: give them in --json @file or --json -, or answer the prompt (without\n"
          "echo on a terminal; otherwise one line per missing secret is read from standard\n"
          "input). Unknown fields, missing required fields and values of the wrong kind are\n"
          "refused before anything is sent, as are enumeration names the client does not know\n"
          "('describe' lists them; they are case-sensitive): a value newer than the client\n"
          "still goes through --json.\n"
          "\n";
  text << GlobalOptions();
  text << "\n"
          "Output: the result as JSON on standard output (indented when it is a terminal), or\n"
          "as indented text with --output text; an operation without a result (create, update,\n"
          "delete) prints nothing. Errors go to standard error with their name and messages;\n"
          "with --output json given, also to standard output as one line of JSON:\n"
          "  {\"error\": NAME, \"messages\": [{\"id\": ID, \"default_message\": TEXT,\n"
          "   \"args\": [TEXT, ...]}, ...], \"status\": HTTP status or null,\n"
          "   \"request_id\": ID or null}\n"
          "For an error that ends a streamed answer, whose head said 200, the status is the\n"
          "one the protocol gives the error (404 for not_found).\n"
          "A progress bar shows on standard error when it is a terminal.\n"
          "\n"
          "Exit status:\n"
          "  0  success\n"
          "  1  an error the operation declares ('tirn describe' lists them), other than\n"
          "     unauthenticated and unauthorized\n"
          "  2  usage: bad arguments, an unknown operation, or input refused before sending\n"
          "  3  transport: the server could not be reached (connection, TLS), the connection\n"
          "     broke, the time limit passed, or what answered was no tirn server (a\n"
          "     balancer's 502, 503 or 504 page, another server's 404)\n"
          "  4  any other error: one the server answered that the operation does not declare\n"
          "     (internal_server_error, service_unavailable), unauthenticated or\n"
          "     unauthorized; or the result could not be written to standard output\n";
  return text.str();
}

std::vector<std::string> ResolveUrls(Arguments const& arguments, Environment const& environment) {
  if (!arguments.urls.empty()) return arguments.urls;
  char const* fromEnvironment = environment(kUrlVariable);
  if (fromEnvironment && *fromEnvironment) return {fromEnvironment};
  return {"http://127.0.0.1:" + std::to_string(kDefaultPort)};
}

std::string ResolveLanguage(Arguments const& arguments, Environment const& environment) {
  if (!arguments.language.empty()) return arguments.language;
  for (char const* name : {"LC_ALL", "LC_MESSAGES", "LANG"}) {
    char const* value = environment(name);
    if (value && *value) return value;
  }
  return "en";
}

}  // namespace Cli
}  // namespace Apps
