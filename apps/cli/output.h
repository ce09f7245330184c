// Apps::Cli: how the command-line client prints results and errors.
//
// A result prints as JSON (docs/json.md; pretty or compact) or as text, an indented form for
// people: "name: value" per field, "- " per list element, nested structures below their
// field. Secrets print as a mask unless they are asked for; a void result prints nothing. An
// error prints its name and each message, in the caller's language when the server had it,
// else in English; for scripts, also as one line of JSON.
//
//   std::string text;
//   if (Apps::Cli::FormatValue(output, {Apps::Cli::Format::kText}, &text, messages)) std::cout << text;
//   std::cerr << Apps::Cli::FormatError(*error);
#ifndef APPS_CLI_OUTPUT_H_
#define APPS_CLI_OUTPUT_H_

#include <chrono>
#include <list>
#include <string>

#include "tirn/http/call_options.h"
#include "tirn/message/base_message.h"
#include "tirn/runtime/value/data_value.h"
#include "tirn/runtime/call/progress.h"

namespace Apps {
namespace Cli {

enum class Format { kJson, kText };

// The text forms (results, descriptions) print deeper levels at this indentation, so that
// their size stays linear in the depth of what they print.
constexpr int kMaxIndent = 64;

struct OutputOptions {
  Format format = Format::kJson;
  // JSON only: indented, one member per line. Default: compact.
  bool pretty = false;
  // Print secrets' texts. Default: masked.
  bool showSecrets = false;
};

// `value` in the chosen form, ending with a newline (nothing at all for a void value, in
// either form). False with messages when it has no JSON form.
[[nodiscard]] bool FormatValue(Tirn::Data::DataValuePtr const& value, OutputOptions const& options,
                               std::string* out, std::list<Tirn::BaseMessage>& messages);

// "error: <name>" and one indented line per message (localized text when present).
std::string FormatError(Tirn::Data::ErrorValue const& error);

// The error as one line of JSON, for scripts: {"error": <name>, "messages": [{"id",
// "default_message", "args"}], "status": <seen.status, null when 0>, "request_id": <null
// when no request was sent>}.
std::string FormatErrorJson(Tirn::Data::ErrorValue const& error, Tirn::Http::AnswerSeen const& seen);

// One exchange with the server, for --verbose: "tirn: <url>: status 200, request id <id>,
// 12 ms" ("status none", "request id none" when there was none).
std::string FormatExchange(Tirn::Http::AnswerSeen const& seen, std::chrono::milliseconds took);

// A progress bar of fixed width, "[#####.....]  50% (3/6)", without a line end.
std::string ProgressLine(Tirn::Progress const& progress);

// "tirn: <text>" per message, for the client's own refusals.
std::string FormatMessages(std::list<Tirn::BaseMessage> const& messages);

}  // namespace Cli
}  // namespace Apps

#endif  // APPS_CLI_OUTPUT_H_
