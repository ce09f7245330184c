#include "apps/cli/call.h"

#include <algorithm>
#include <future>
#include <memory>

#include "tirn/http/client_provider.h"
#include "tirn/http/io_threads.h"
#include "tirn/http/server.h"
#include "tirn/json/definition.h"
#include "tirn/message/message.h"
#include "tirn/runtime/l10n/locale.h"
#include "tirn/runtime/value/wire_shapes.h"

namespace Apps {
namespace Cli {

namespace {

// {1}: the server.
constexpr char kUnreadableOperations[] = "tirn.cli.unreadable.operations";

// The servers called, for messages.
std::string Servers(CallSettings const& settings) {
  std::string text;
  for (auto const& url : settings.urls) text += (text.empty() ? "" : ", ") + url;
  return text;
}

}  // namespace

namespace {

// Sends one exchange (`start` puts it on the provider) and waits for its final result.
template <class Start>
CallOutcome Exchange(Tirn::Core::OperationTable const& table, CallSettings const& settings,
                     Start const& start) {
  Tirn::Http::ClientOptions options;
  options.caFile = settings.caFile;
  options.certificateFile = settings.certificateFile;
  options.privateKeyFile = settings.privateKeyFile;
  if (!settings.token.empty()) {
    std::string token = settings.token;
    options.tokenSupplier = [token] { return token; };
  }
  if (settings.timeout.count() > 0) {
    options.defaultTimeout = settings.timeout;
    options.connectTimeout = std::min(options.connectTimeout, settings.timeout);
  }
  // A call is made on this thread (ClientProvider::InvokeAndWait); a document is fetched on
  // the pool's one thread, and its answer waited for here.
  Tirn::Http::IoThreads threads(1);
  CallOutcome refused;
  auto provider = Tirn::Http::ClientProvider::Create(threads.contexts(), settings.urls, table,
                                                     options, &refused.usageError);
  if (!provider) return refused;
  auto activation = std::make_shared<Tirn::Core::AsyncActivation>();
  activation->executionContext = std::make_shared<Tirn::Core::ExecutionContext>();
  Tirn::Http::NoteAnswer(activation);
  activation->requestLocalizer.localeSpec =
      std::make_shared<Tirn::L10n::LocaleSpec const>(settings.language, "C", settings.timeZone);

  auto done = std::make_shared<std::promise<CallOutcome>>();
  std::future<CallOutcome> answer = done->get_future();
  auto onProgress = settings.onProgress;
  Tirn::Core::AsyncApiResultCb callback(
      [done, onProgress](std::shared_ptr<Tirn::Core::MethodResult const> const& result,
                         Tirn::Progress const& progress, Tirn::Core::AsyncApiResultCb::Continuation&&) {
        if (!result) {
          if (onProgress) onProgress(progress);
          return;
        }
        done->set_value(CallOutcome{result->output, result->error, {}, {}, {}});
      });
  auto const started = std::chrono::steady_clock::now();
  start(*provider, activation, callback);
  callback = Tirn::Core::AsyncApiResultCb();
  // The provider answers at its time limit whatever the server does; the margin only guards
  // against a provider that never answers.
  auto const limit = (settings.timeout.count() > 0 ? settings.timeout : options.defaultTimeout) +
                     options.connectTimeout * options.connectAttempts + std::chrono::seconds(5);
  CallOutcome outcome;
  if (answer.wait_for(limit) == std::future_status::ready) {
    outcome = answer.get();
    // Written by the provider before it answered.
    outcome.seen = Tirn::Http::NotedAnswer(*activation).value_or(Tirn::Http::AnswerSeen{});
  } else {
    outcome.error = Tirn::Data::ErrorValue::Create(
        Tirn::Data::Wire::kTimedOutError,
        {Tirn::MakeMessage(Tirn::Http::MessageIds::kTimedOut, "No answer from {1} within {2} ms",
                           Servers(settings), std::to_string(limit.count()))});
    outcome.seen.url = Servers(settings);
  }
  outcome.took = std::chrono::duration_cast<std::chrono::milliseconds>(
      std::chrono::steady_clock::now() - started);
  return outcome;
}

}  // namespace

CallOutcome CallRemote(Tirn::Core::OperationTable const& table,
                       Tirn::Core::OperationDescriptor const& operation,
                       Tirn::Data::DataValuePtr const& input, CallSettings const& settings) {
  return Exchange(table, settings,
                  [&](Tirn::Http::ClientProvider& provider,
                      std::shared_ptr<Tirn::Core::AsyncActivation> const& activation,
                      Tirn::Core::AsyncApiResultCb const& callback) {
                    // Made on this thread, which waits for the answer anyway.
                    provider.InvokeAndWait(operation.method, input, activation, callback);
                  });
}

std::shared_ptr<Tirn::Core::OperationTable const> ReadOperations(CallSettings const& settings,
                                                                 CallOutcome* exchange) {
  static Tirn::Core::OperationTable const none("", {});
  *exchange = Exchange(none, settings,
                       [](Tirn::Http::ClientProvider& provider,
                          std::shared_ptr<Tirn::Core::AsyncActivation> const& activation,
                          Tirn::Core::AsyncApiResultCb const& callback) {
                         provider.Fetch(Tirn::Http::kOperationsPath, activation, callback);
                       });
  if (exchange->error || !exchange->usageError.empty()) return nullptr;
  // The answer was read by its shape; the definitions' own reader checks every part of it.
  std::list<Tirn::BaseMessage> messages;
  std::vector<Tirn::Core::OperationDefinitions> operations;
  Tirn::Data::DataValuePtr const read = std::move(exchange->output);
  if (!Tirn::Json::DecodeOperations(read, &operations, messages)) {
    messages.push_front(Tirn::MakeMessage(kUnreadableOperations,
                                          "the operations {1} answered cannot be read",
                                          Servers(settings)));
    exchange->error = Tirn::Data::ErrorValue::Create(Tirn::Data::Wire::kInternalServerError,
                                                     messages);
    return nullptr;
  }
  return std::make_shared<Tirn::Core::OperationTable const>(
      Tirn::Core::OperationTable::FromDefinitions("", std::move(operations)));
}

}  // namespace Cli
}  // namespace Apps
