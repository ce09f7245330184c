#include "apps/cli/run.h"

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cmath>
#include <cstring>
#include <fstream>
#include <iostream>
#include <iterator>
#include <mutex>

#include <boost/version.hpp>

#include "apps/cli/call.h"
#include "apps/cli/describe.h"
#include "apps/cli/exit_code.h"
#include "apps/cli/input_builder.h"
#include "apps/cli/output.h"
#include "apps/common/suggest.h"
#include "apps/common/defaults.h"
#include "tirn/http/protocol.h"
#include "tirn/json/definition.h"
#include "tirn/json/json.h"
#include "tirn/message/message.h"
#include "tirn/runtime/l10n/locale.h"
#include "tirn/runtime/value/validation.h"
#include "tirn/runtime/value/wire_shapes.h"

namespace Apps {
namespace Cli {

namespace {

// {1}: the file.
constexpr char kUnreadableFile[] = "tirn.cli.unreadable.file";
// {1}: the file, {2}: the reason.
constexpr char kUnreadableFileWhy[] = "tirn.cli.unreadable.file.why";
// {1}: the service, {2}: " (did you mean <service>?)" or empty.
constexpr char kUnknownService[] = "tirn.cli.unknown.service";
// {1}: the service, {2}: the operation, {3}: " (did you mean <operation>?)" or empty.
constexpr char kUnknownOperation[] = "tirn.cli.unknown.operation";

// {1}: the reason.
constexpr char kOutputFailed[] = "tirn.cli.output.failed";

// Writes a result to standard output and flushes it. A result that does not arrive whole (a
// full disk, a closed pipe) is a failure said on standard error, never a silent success.
int WriteResult(Console& console, std::string const& text) {
  errno = 0;
  console.out << text << std::flush;
  if (console.out) return kExitSuccess;
  int const reason = errno;
  console.err << FormatMessages({Tirn::MakeMessage(
      kOutputFailed, "cannot write the result to standard output: {1}",
      reason != 0 ? std::strerror(reason) : "the stream failed")});
  return kExitOtherError;
}

// How a command's failures are said: on standard error for people, and with --output json
// also on standard output as one line of JSON for scripts; with --verbose, each exchange with
// the server, once it is over.
class Reporter {
 public:
  Reporter(Console& console, Arguments const& arguments)
      : console_(console),
        json_(arguments.output == Format::kJson),
        verbose_(arguments.verbose) {}

  // A usage error: nothing was sent. `hint` follows the messages on standard error.
  int Refuse(std::list<Tirn::BaseMessage> const& messages, std::string const& hint = {}) {
    console_.err << FormatMessages(messages) << hint;
    SayJson(*Tirn::Data::ErrorValue::Create(Tirn::Data::Wire::kInvalidArgumentError, messages),
            {});
    return kExitUsage;
  }

  // An error of an exchange with the server, the server's or the transport's, after the
  // client's own `before` (an unknown operation the server was asked about); exit `code`.
  int Fail(Tirn::Data::ErrorValue const& error, Tirn::Http::AnswerSeen seen, int code,
           std::list<Tirn::BaseMessage> before = {}) {
    console_.err << FormatMessages(before) << FormatError(error);
    // An error that ends a streamed answer comes after the answer's 200: a script is told the
    // status the protocol gives the error, which a whole answer would have had.
    if (seen.status == 200 && code != kExitTransport) {
      seen.status = Tirn::Http::StatusForError(error.name());
    }
    if (before.empty()) {
      SayJson(error, seen);
    } else {
      before.splice(before.end(), error.GetMessages());
      SayJson(*Tirn::Data::ErrorValue::Create(error.name(), before), seen);
    }
    return code;
  }

  // A failure of the client with nothing refused or failed before it: a call's result, or a
  // description, that has no JSON form.
  int FailAfterCall(std::list<Tirn::BaseMessage> const& messages) {
    console_.err << FormatMessages(messages);
    SayJson(*Tirn::Data::ErrorValue::Create(Tirn::Data::Wire::kGenericError, messages), {});
    return kExitOtherError;
  }

  void Exchanged(CallOutcome const& exchange) {
    if (verbose_ && !exchange.seen.url.empty()) {
      console_.err << FormatExchange(exchange.seen, exchange.took) << std::flush;
    }
  }

 private:
  void SayJson(Tirn::Data::ErrorValue const& error, Tirn::Http::AnswerSeen const& seen) {
    if (json_) console_.out << FormatErrorJson(error, seen) << std::flush;
  }

  Console& console_;
  bool const json_;
  bool const verbose_;
};

// Whether the local files the call needs can be read: one that cannot is the user's mistake
// (exit 2), found before anything is sent, not a transport failure.
bool CheckReadable(std::vector<std::string> const& paths, std::list<Tirn::BaseMessage>& messages) {
  bool ok = true;
  for (auto const& path : paths) {
    if (path.empty()) continue;
    errno = 0;
    std::ifstream file(path, std::ios::binary);
    if (file && file.peek() != std::ifstream::traits_type::eof()) continue;
    int const reason = errno;
    messages.push_back(Tirn::MakeMessage(kUnreadableFileWhy, "cannot read {1}: {2}", path,
                                         reason != 0 ? std::strerror(reason) : "it is empty"));
    ok = false;
  }
  return ok;
}

bool ReadFile(std::string const& path, std::string* text, std::list<Tirn::BaseMessage>& messages) {
  std::ifstream file(path, std::ios::binary);
  if (file) text->assign(std::istreambuf_iterator<char>(file), std::istreambuf_iterator<char>());
  if (!file && !file.eof()) {
    messages.push_back(Tirn::MakeMessage(kUnreadableFile, "cannot read {1}", path));
    return false;
  }
  return true;
}

// The names of the fields of the structure at `path` ("spec.address", "items[1]") below
// `input`; empty when the path leads to no structure.
std::vector<std::string> FieldNamesAt(Tirn::Data::DataDefinitionPtr const& input,
                                      std::string const& path) {
  Tirn::Data::DataDefinitionPtr at = Resolve(input).definition;
  std::size_t start = 0;
  while (at && start < path.size()) {
    std::size_t end = path.find('.', start);
    if (end == std::string::npos) end = path.size();
    std::string step = path.substr(start, end - start);
    bool const listed = step.find('[') != std::string::npos;
    step.erase(std::min(step.find('['), step.size()));
    start = end + 1;
    if (!at->GetType().IsCompound()) return {};
    auto const& fields = static_cast<Tirn::Data::StructDefinition const&>(*at).fields();
    auto const found = fields.find(step);
    if (found == fields.end()) return {};
    at = Resolve(found->second).definition;
    if (listed && at && at->GetType().kind() == Tirn::Data::DataType::LIST) {
      at = Resolve(static_cast<Tirn::Data::ListDefinition const&>(*at).element()).definition;
    }
  }
  std::vector<std::string> names;
  if (!at || !at->GetType().IsCompound()) return names;
  for (auto const& field : static_cast<Tirn::Data::StructDefinition const&>(*at).fields()) {
    names.push_back(field.first);
  }
  return names;
}

// Each field that the definitions do not name, as the field options name it, with the field
// probably meant ("spec.address.prot: there is no such field (did you mean port?)").
void SuggestForUnknownFields(Tirn::Data::DataDefinitionPtr const& input,
                             std::list<Tirn::BaseMessage>& messages) {
  for (Tirn::BaseMessage& message : messages) {
    if (message.id() != Tirn::MessageIds::kValidationUnexpectedField || message.args().empty()) {
      continue;
    }
    std::string const path = message.args().front();
    std::size_t const dot = path.rfind('.');
    std::string const parent = dot == std::string::npos ? std::string() : path.substr(0, dot);
    std::string const name = dot == std::string::npos ? path : path.substr(dot + 1);
    message = Tirn::MakeMessage(MessageIds::kUnknownField, "{1}: there is no such field{2}", path,
                                DidYouMean(name, FieldNamesAt(input, parent)));
  }
}

// The input from --json: the text itself, @file, or standard input. A field the definitions do
// not name is refused at any depth, unless `allowUnknownFields` (then only at the top, where
// no server could honour it).
bool InputFromJson(std::string const& given, Tirn::Data::DataDefinitionPtr const& definition,
                   bool allowUnknownFields, Console& console, Tirn::Data::DataValuePtr* input,
                   std::list<Tirn::BaseMessage>& messages) {
  std::string text;
  bool const onCommandLine = given != "-" && (given.empty() || given[0] != '@');
  if (given == "-") {
    text.assign(std::istreambuf_iterator<char>(console.in), std::istreambuf_iterator<char>());
  } else if (!onCommandLine) {
    if (!ReadFile(given.substr(1), &text, messages)) return false;
  } else {
    text = given;
  }
  Tirn::Data::DataValuePtr value;
  bool ok = Tirn::Json::Decode(text, definition, &value, messages);
  // The text may hold secrets: it is wiped before its memory is given back.
  Tirn::Detail::SecureZero(&text[0], text.size());
  Tirn::Data::ValidationOptions strict;
  strict.rejectUnknownFields = true;
  strict.rejectUnknownNestedFields = !allowUnknownFields;
  if (!ok) return false;
  if (!Tirn::Data::Validate(definition, value, messages, strict)) {
    SuggestForUnknownFields(definition, messages);
    return false;
  }
  if (onCommandLine) {
    if (auto secret = FindSecret(value)) {
      messages.push_back(SecretOnCommandLine(*secret));
      return false;
    }
  }
  *input = value;
  return true;
}

// The input from field options, secrets asked for where their structure is given; enumeration
// fields take the names the operation's annotations know.
bool InputFromOptions(Arguments const& arguments, Tirn::Core::OperationDescriptor const& operation,
                      Tirn::Data::DataDefinitionPtr const& definition, Console& console,
                      Tirn::Data::DataValuePtr* input, std::list<Tirn::BaseMessage>& messages) {
  InputBuilder builder(definition, operation.annotations);
  bool ok = true;
  for (auto const& field : arguments.fields) {
    ok = builder.Add(field.path, field.text, messages, field.hasText) && ok;
  }
  if (!ok) return false;
  for (auto const& path : builder.MissingSecrets()) {
    Tirn::SecretString secret;
    if (console.inIsTerminal) {
      if (!console.promptSecret || !console.promptSecret(path, &secret)) break;
    } else {
      std::string line;
      if (!std::getline(console.in, line)) break;
      if (!line.empty() && line.back() == '\r') line.pop_back();
      secret = Tirn::SecretString(std::move(line));
    }
    if (!builder.AddSecret(path, std::move(secret), messages)) return false;
  }
  return builder.Finish(input, messages);
}

bool ReadToken(Arguments const& arguments, Environment const& environment, std::string* token,
               std::list<Tirn::BaseMessage>& messages) {
  if (arguments.tokenFile.empty()) {
    *token = arguments.token;
    char const* fromEnvironment = environment(Apps::kTokenVariable);
    if (token->empty() && fromEnvironment) *token = fromEnvironment;
    return true;
  }
  std::string text;
  if (!ReadFile(arguments.tokenFile, &text, messages)) return false;
  *token = text.substr(0, text.find_first_of("\r\n"));
  Tirn::Detail::SecureZero(&text[0], text.size());
  return true;
}

// The time zone sent with the call: $TZ when it is one, else UTC.
std::string TimeZone(Environment const& environment) {
  char const* tz = environment("TZ");
  if (tz && *tz && Tirn::L10n::TimezoneSpec(tz).valid()) return tz;
  return "Etc/UTC";
}

// What the call needs besides its input: the server, the token, the files, the language.
bool ResolveSettings(Arguments const& arguments, Console& console, CallSettings* settings,
                     std::list<Tirn::BaseMessage>& messages) {
  if (!ReadToken(arguments, console.environment, &settings->token, messages)) return false;
  settings->urls = ResolveUrls(arguments, console.environment);
  settings->caFile = arguments.caFile;
  settings->certificateFile = arguments.certificateFile;
  settings->privateKeyFile = arguments.privateKeyFile;
  if (!CheckReadable({settings->caFile, settings->certificateFile, settings->privateKeyFile},
                     messages)) {
    return false;
  }
  settings->language = ResolveLanguage(arguments, console.environment);
  settings->timeZone = TimeZone(console.environment);
  if (arguments.timeoutSeconds) {
    settings->timeout = std::chrono::milliseconds(
        static_cast<long long>(std::ceil(*arguments.timeoutSeconds * 1000)));
  }
  return true;
}

// Why `arguments` name no operation of `table`, with the names nearest to what was given.
Tirn::BaseMessage UnknownOperation(Arguments const& arguments,
                                   Tirn::Core::OperationTable const& table) {
  std::vector<std::string> services, operations;
  for (auto const& known : table.operations()) {
    if (arguments.service == known.serviceName) operations.push_back(known.operationName);
    if (std::find(services.begin(), services.end(), known.serviceName) == services.end()) {
      services.push_back(known.serviceName);
    }
  }
  if (operations.empty()) {
    return Tirn::MakeMessage(kUnknownService,
                             "there is no service {1}{2} ('tirn list' shows them)",
                             arguments.service, DidYouMean(arguments.service, services));
  }
  return Tirn::MakeMessage(
      kUnknownOperation, "there is no operation {2} in service {1}{3} ('tirn list' shows them)",
      arguments.service, arguments.operation, DidYouMean(arguments.operation, operations));
}

// The operations `arguments` name in `table`, in its order: every one when they name no
// service, every one of the service when they name no operation; none when the table has none
// of them.
std::vector<Tirn::Core::OperationDescriptor const*> Named(Arguments const& arguments,
                                                          Tirn::Core::OperationTable const& table) {
  std::vector<Tirn::Core::OperationDescriptor const*> named;
  for (auto const& operation : table.operations()) {
    if ((arguments.service.empty() || arguments.service == operation.serviceName) &&
        (arguments.operation.empty() || arguments.operation == operation.operationName)) {
      named.push_back(&operation);
    }
  }
  return named;
}

// The description of the operations named, as text; or with --output json in the form of
// GET /v1/operations (Tirn::Json::EncodeOperations): one operation's entry when the command
// names an operation, the document of the service's or the server's operations otherwise.
int Describe(Arguments const& arguments,
             std::vector<Tirn::Core::OperationDescriptor const*> const& operations,
             Console& console, Reporter& report) {
  std::string text;
  if (arguments.output != Format::kJson) {
    for (auto const* operation : operations) {
      text += (text.empty() ? "" : "\n") + DescribeOperation(*operation);
    }
    return WriteResult(console, text);
  }
  Tirn::Json::EncodeOptions options;
  options.pretty = console.outIsTerminal;
  std::list<Tirn::BaseMessage> messages;
  bool const encoded =
      arguments.operation.empty()
          ? Tirn::Json::EncodeOperations(operations, &text, messages, options)
          : Tirn::Json::EncodeOperation(*operations.front(), &text, messages, options);
  if (!encoded) return report.FailAfterCall(messages);
  return WriteResult(console, text + "\n");
}

// The call itself, once its operation is known.
int Call(Arguments const& arguments, Tirn::Core::OperationTable const& table,
         Tirn::Core::OperationDescriptor const& operation, CallSettings& settings,
         Console& console, Reporter& report) {
  std::list<Tirn::BaseMessage> messages;
  Tirn::Data::DataDefinitionPtr const& definition = operation.input;
  Tirn::Data::DataValuePtr input;
  bool const built = arguments.json
                         ? InputFromJson(*arguments.json, definition,
                                         arguments.allowUnknownFields, console, &input, messages)
                         : InputFromOptions(arguments, operation, definition, console, &input,
                                            messages);
  if (!built) return report.Refuse(messages);
  std::mutex progressMutex;
  bool barShown = false;
  if (console.errIsTerminal) {
    settings.onProgress = [&](Tirn::Progress const& progress) {
      std::lock_guard<std::mutex> lock(progressMutex);
      console.err << "\r" << ProgressLine(progress) << std::flush;
      barShown = true;
    };
  }

  CallOutcome const outcome = CallRemote(table, operation, input, settings);
  if (!outcome.usageError.empty()) {
    messages.push_back(Tirn::MakeMessage(MessageIds::kUsage, "{1}", outcome.usageError));
    return report.Refuse(messages);
  }
  {
    std::lock_guard<std::mutex> lock(progressMutex);
    if (barShown) console.err << "\r\033[K" << std::flush;
  }
  report.Exchanged(outcome);
  if (outcome.error) {
    return report.Fail(*outcome.error, outcome.seen,
                       ExitCodeForError(*outcome.error, &operation));
  }
  OutputOptions output;
  output.format = arguments.output.value_or(Format::kJson);
  output.pretty = console.outIsTerminal;
  output.showSecrets = arguments.showSecrets;
  std::string text;
  if (!FormatValue(outcome.output, output, &text, messages)) return report.FailAfterCall(messages);
  return WriteResult(console, text);
}

}  // namespace

int Run(std::vector<std::string> const& args, Tirn::Core::OperationTable const& table,
        Console& console) {
  Arguments arguments;
  std::list<Tirn::BaseMessage> messages;
  bool const parsed = ParseArguments(args, &arguments, messages);
  // Made once the output format is known, even from a command line refused.
  Reporter report(console, arguments);
  if (!parsed) return report.Refuse(messages, "Try 'tirn --help'.\n");
  switch (arguments.command) {
    case Arguments::Command::kHelp:
      return WriteResult(console, HelpText());
    case Arguments::Command::kVersion:
      return WriteResult(console, std::string("tirn ") + TIRN_VERSION + "\nlibraries: tirn " +
                                      TIRN_VERSION + ", Boost " +
                                      std::to_string(BOOST_VERSION / 100000) + "." +
                                      std::to_string(BOOST_VERSION / 100 % 1000) + "\n");
    default:
      break;
  }
  bool const listing = arguments.command == Arguments::Command::kList;
  std::vector<Tirn::Core::OperationDescriptor const*> named = Named(arguments, table);
  CallSettings settings;
  // With --reflect, or for operations the client was not built with, the server's own table.
  std::shared_ptr<Tirn::Core::OperationTable const> reflected;
  if (arguments.reflect || named.empty()) {
    if (!ResolveSettings(arguments, console, &settings, messages)) return report.Refuse(messages);
    CallOutcome exchange;
    reflected = ReadOperations(settings, &exchange);
    report.Exchanged(exchange);
    if (!reflected) {
      if (!exchange.usageError.empty()) {
        messages.push_back(Tirn::MakeMessage(MessageIds::kUsage, "{1}", exchange.usageError));
        return report.Refuse(messages);
      }
      Tirn::Data::ErrorValue const& error = *exchange.error;
      if (arguments.reflect) {
        return report.Fail(error, exchange.seen, ExitCodeForError(error, nullptr));
      }
      // Not built in, and the server cannot say: the operation is unknown, and why the server
      // was no help follows.
      messages.push_back(UnknownOperation(arguments, table));
      int const code = error.name() == Tirn::Data::Wire::kOperationNotFoundError
                           ? kExitUsage
                           : ExitCodeForError(error, nullptr);
      return report.Fail(error, exchange.seen, code, std::move(messages));
    }
    named = Named(arguments, *reflected);
  }
  Tirn::Core::OperationTable const& known = reflected ? *reflected : table;
  if (listing) {
    return WriteResult(console, arguments.output == Format::kJson ? ListOperationsJson(known)
                                                                  : ListOperations(known));
  }
  if (named.empty()) {
    messages.push_back(UnknownOperation(arguments, known));
    return report.Refuse(messages);
  }
  if (arguments.command == Arguments::Command::kDescribe) {
    return Describe(arguments, named, console, report);
  }
  if (!reflected && !ResolveSettings(arguments, console, &settings, messages)) {
    return report.Refuse(messages);
  }
  return Call(arguments, known, *named.front(), settings, console, report);
}

}  // namespace Cli
}  // namespace Apps
