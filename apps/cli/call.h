// Apps::Cli::CallRemote: one call of an operation on a server, through
// Tirn::Http::ClientProvider, waited for; Apps::Cli::ReadOperations: the server's own table.
//
//   Apps::Cli::CallSettings settings;
//   settings.urls = {"http://127.0.0.1:7431"};
//   settings.language = "de";
//   Apps::Cli::CallOutcome outcome = Apps::Cli::CallRemote(table, *descriptor, input, settings);
//   if (outcome.error) Report(*outcome.error);
#ifndef APPS_CLI_CALL_H_
#define APPS_CLI_CALL_H_

#include <chrono>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "tirn/http/call_options.h"
#include "tirn/runtime/value/data_value.h"
#include "tirn/runtime/call/operation_table.h"
#include "tirn/runtime/call/progress.h"

namespace Apps {
namespace Cli {

struct CallSettings {
  // "http://host:port" or "https://host:port": the servers, in order of preference
  // (Tirn::Http::ClientProvider tries the next when one cannot be reached or is unavailable).
  std::vector<std::string> urls;
  // Bearer token; empty: none.
  std::string token;
  // PEM file of trusted CAs for https; empty: the system's.
  std::string caFile;
  // PEM files of a client certificate and its key; empty: none.
  std::string certificateFile;
  std::string privateKeyFile;
  // Language preference and time zone sent with the call.
  std::string language = "en";
  std::string timeZone = "Etc/UTC";
  // Time limit of the call; none: the client provider's default.
  std::chrono::milliseconds timeout{0};
  // Called with each progress report before the final result, from another thread.
  std::function<void(Tirn::Progress const&)> onProgress;
};

struct CallOutcome {
  Tirn::Data::DataValuePtr output;
  Tirn::Data::ErrorValuePtr error;
  // What is wrong with the settings when the call could not be sent (a malformed URL).
  std::string usageError;
  // What the client provider saw of the answer (the URL called, the status, the request id),
  // and the time from sending the call to its outcome: for --verbose and for errors as JSON.
  Tirn::Http::AnswerSeen seen;
  std::chrono::milliseconds took{0};
};

// Sends the call and waits for its final result: the output, or the error the server
// answered or the client provider made (connection, TLS, time limit); for a malformed URL,
// only `usageError`.
CallOutcome CallRemote(Tirn::Core::OperationTable const& table,
                       Tirn::Core::OperationDescriptor const& operation,
                       Tirn::Data::DataValuePtr const& input, CallSettings const& settings);

// Reads the operations the server serves (GET /v1/operations) into a table that CallRemote,
// the input builder and the descriptions use as they use a compiled one; `*exchange` says what
// was seen of the answer and the time it took. Null when they cannot be had, with the reason
// in `*exchange`: the error the server answered (an older server answers not found) or the
// transport made, internal_server_error for an answer that is not a table of operations, or
// `usageError` for a malformed URL.
std::shared_ptr<Tirn::Core::OperationTable const> ReadOperations(CallSettings const& settings,
                                                                 CallOutcome* exchange);

}  // namespace Cli
}  // namespace Apps

#endif  // APPS_CLI_CALL_H_
