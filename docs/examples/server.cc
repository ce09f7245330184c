// A server of the key-server service, as the guide shows it (docs/guide.md, "Writing a server"
// and "Progress"): an implementation of the generated interface, bound with a localizer,
// registered with an in-process provider and called through the generated stub.
// [server-includes]
#include <cstdio>
#include <list>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <utility>
#include <vector>

#include "com/ostrel/nox/trusted_infrastructure/trusted_infrastructure.h"
#include "tirn/message/message.h"
#include "tirn/message/message_ids.h"
#include "tirn/runtime/call/in_process_provider.h"
#include "tirn/runtime/l10n/localizer.h"
#include "tirn/runtime/value/wire_shapes.h"
#include "tirn/std/errors.h"
#include "tirn/stub/async_api_stub.h"
// [server-includes]

namespace {

int failures = 0;

void Check(bool ok, char const* what, int line) {
  if (ok) return;
  std::fprintf(stderr, "server.cc:%d: check failed: %s\n", line, what);
  ++failures;
}
#define CHECK(condition) Check((condition), #condition, __LINE__)

// [server-implement]
namespace KeyServers = Com::Ostrel::Nox::TrustedInfrastructure::Kms::ServicesSvc;
namespace Errors = Com::Ostrel::Tirn::Std::Errors;

class MyKeyServers : public KeyServers::AsyncServiceInterface {
 public:
  // [server-implement]
  void List(Tirn::OptionalPtr<KeyServers::FilterSpec const> const& /*filter*/,
            std::shared_ptr<Tirn::Core::AsyncActivation> const& /*activation*/,
            KeyServers::ListMethod::ResultCbType const& result) override {
    result.progress(Tirn::Progress(0, 2, 1));  // half-way there: current below maximum
    KeyServers::ListMethod::Result summaries;
    {
      std::lock_guard<std::mutex> lock(mutex_);
      for (auto const& entry : servers_) {
        auto summary = std::make_shared<KeyServers::Summary>();
        summary->service = entry.first;
        summary->address = entry.second->address;
        summary->group = entry.second->group;
        summaries.push_back(std::move(summary));
      }
    }
    result.value(summaries);  // the final delivery
  }

  // [server-native-error]
  void Get(std::string const& service, std::shared_ptr<Tirn::Core::AsyncActivation> const&,
           KeyServers::GetMethod::ResultCbType const& result) override {
    std::shared_ptr<KeyServers::CreateSpec const> found = Find(service);
    if (!found) {
      return result.error(Errors::MakeNativeError<Errors::NotFound>({Tirn::MakeMessage(
          "example.key.server.missing", "Key server {1} does not exist.", service)}));
    }
    auto info = std::make_shared<KeyServers::Info>();
    info->address = found->address;
    info->trusted_CA = found->trusted_CA;
    info->group = found->group;
    result.value(info);
  }
  // [server-native-error]

  // [server-error-value]
  void Create(std::shared_ptr<KeyServers::CreateSpec const> const& spec,
              std::shared_ptr<Tirn::Core::AsyncActivation> const&,
              KeyServers::CreateMethod::ResultCbType const& result) override {
    if (spec->address->hostname.empty()) {
      // An error value built directly: a standard error's name and its messages.
      return result.error(Tirn::Data::ErrorValue::Create(
          Tirn::Data::Wire::kInvalidArgumentError,
          {Tirn::MakeMessage("example.address.host.empty", "An address needs a host name.")}));
    }
    if (spec->group == "restricted") {
      // "create" does not declare Unauthorized: the client receives internal_server_error.
      return result.error(Errors::MakeNativeError<Errors::Unauthorized>({Tirn::MakeMessage(
          "example.group.restricted", "Group {1} is restricted.", spec->group)}));
    }
    std::lock_guard<std::mutex> lock(mutex_);
    std::string id = "key-server-" + std::to_string(++created_);
    servers_[id] = spec;
    result.value(id);
  }
  // [server-error-value]

  // [server-later]
  void Delete(std::string const& service, std::shared_ptr<Tirn::Core::AsyncActivation> const&,
              KeyServers::DeleteMethod::ResultCbType const& result) override {
    std::lock_guard<std::mutex> lock(mutex_);
    pendingDeletes_.emplace_back(service, result);  // a copy of the handle, answered later
  }
  // [server-later]

  // Answers the deletes received so far; may run on any thread.
  void FinishDeletes() {
    std::vector<std::pair<std::string, KeyServers::DeleteMethod::ResultCbType>> pending;
    {
      std::lock_guard<std::mutex> lock(mutex_);
      pending.swap(pendingDeletes_);
    }
    for (auto const& [service, result] : pending) {
      bool erased;
      {
        std::lock_guard<std::mutex> lock(mutex_);
        erased = servers_.erase(service) != 0;
      }
      if (erased) {
        result.value(Tirn::Void());
      } else {
        result.error(Errors::MakeNativeError<Errors::NotFound>({Tirn::MakeMessage(
            "example.key.server.missing", "Key server {1} does not exist.", service)}));
      }
    }
  }

 private:
  std::shared_ptr<KeyServers::CreateSpec const> Find(std::string const& service) {
    std::lock_guard<std::mutex> lock(mutex_);
    auto found = servers_.find(service);
    return found == servers_.end() ? nullptr : found->second;
  }

  std::mutex mutex_;
  std::map<std::string, std::shared_ptr<KeyServers::CreateSpec const>> servers_;
  std::vector<std::pair<std::string, KeyServers::DeleteMethod::ResultCbType>> pendingDeletes_;
  long long created_ = 0;
};

// The text of an error's first message in the caller's language, or its English text.
std::string FirstText(Tirn::Data::ErrorValuePtr const& error) {
  auto const* list = error->FindField(Tirn::Data::Wire::kErrorMessages);
  if (!list || !*list || (*list)->GetType().kind() != Tirn::Data::DataType::LIST) return "";
  auto const& elements = static_cast<Tirn::Data::ListValue const&>(**list).elements();
  if (elements.empty()) return "";
  Tirn::BaseMessage message("", "", {});
  boost::optional<std::string> localized;
  if (!Tirn::Data::Wire::MessageFromValue(elements.front(), message, localized)) return "";
  return localized.value_or(message.defaultMessage());
}

std::shared_ptr<KeyServers::CreateSpec const> Spec(std::string host, std::string group) {
  auto address = std::make_shared<Com::Ostrel::Nox::TrustedInfrastructure::NetworkAddress>();
  address->hostname = std::move(host);
  address->port = 5696;
  auto chain = std::make_shared<Com::Ostrel::Nox::TrustedInfrastructure::X509CertChain>();
  auto spec = std::make_shared<KeyServers::CreateSpec>();
  spec->address = address;
  spec->trusted_CA = chain;
  spec->group = std::move(group);
  return spec;
}

}  // namespace

int main() {
  // [server-bind]
  Tirn::L10n::Localizer::Catalog french{
      {"example.key.server.missing", "Le serveur de clés {1} n'existe pas."}};
  auto localizer = std::make_shared<Tirn::L10n::Localizer>(
      std::map<std::string, Tirn::L10n::Localizer::Catalog>{{"fr", french}});

  auto implementation = std::make_shared<MyKeyServers>();
  auto provider = std::make_shared<Tirn::Core::InProcessApiProvider>();
  provider->Register(KeyServers::AsyncServiceBinder::BindImplementation(implementation, localizer));
  // [server-bind]

  auto activation = std::make_shared<Tirn::Core::AsyncActivation>();
  auto apiStub = std::make_shared<Tirn::Stub::AsyncApiStub>(provider, activation);
  KeyServers::AsyncServiceStub stub(apiStub);

  // Create: a value, an error value, an undeclared error.
  std::string id;
  stub.Create(Spec("kms.example.org", "production"), nullptr,
              KeyServers::CreateMethod::ResultCbType(
                  [&](boost::optional<std::string> const& value, Tirn::Data::ErrorValuePtr const&,
                      Tirn::Progress const&) { id = value.value_or(""); }));
  CHECK(id == "key-server-1");

  Tirn::Data::ErrorValuePtr error;
  auto keepError = [&error](boost::optional<std::string> const&,
                            Tirn::Data::ErrorValuePtr const& reported,
                            Tirn::Progress const&) { error = reported; };
  stub.Create(Spec("", "production"), nullptr, KeyServers::CreateMethod::ResultCbType(keepError));
  CHECK(error && error->name() == Tirn::Data::Wire::kInvalidArgumentError);
  CHECK(error && error->GetMessages().front().id() == "example.address.host.empty");

  stub.Create(Spec("kms2.example.org", "restricted"), nullptr,
              KeyServers::CreateMethod::ResultCbType(keepError));
  CHECK(error && error->name() == Tirn::Data::Wire::kInternalServerError);
  CHECK(error && error->GetMessages().front().id() == Tirn::MessageIds::kErrorNotDeclared);
  CHECK((error && error->GetMessages().front().args() ==
                      std::list<std::string>{"com.ostrel.tirn.std.errors.unauthorized", "create"}));

  // [progress-client]
  std::vector<Tirn::Progress> reports;
  std::size_t listed = 0;
  stub.List(nullptr, nullptr,
            KeyServers::ListMethod::ResultCbType(
                [&](boost::optional<KeyServers::ListMethod::Result> const& summaries,
                    Tirn::Data::ErrorValuePtr const&, Tirn::Progress const& progress) {
                  reports.push_back(progress);
                  if (progress.IsFinal() && summaries) listed = summaries->size();
                }));
  // reports: (0, 2, 1), then the final delivery's (0, 1, 1); listed == 1
  // [progress-client]
  CHECK(reports.size() == 2);
  CHECK(reports.size() == 2 && reports[0] == Tirn::Progress(0, 2, 1) && !reports[0].IsFinal());
  CHECK(reports.size() == 2 && reports[1] == Tirn::Progress::Final());
  CHECK(listed == 1);

  // A native error, in English and in French.
  std::string english;
  std::string frenchText;
  auto getText = [](std::string& out) {
    return KeyServers::GetMethod::ResultCbType(
        [&out](boost::optional<std::shared_ptr<KeyServers::Info const>> const&,
               Tirn::Data::ErrorValuePtr const& reported, Tirn::Progress const&) {
          out = reported ? reported->name() + ": " + FirstText(reported) : "no error";
        });
  };
  stub.Get("ks-9", nullptr, getText(english));
  auto inFrench = std::make_shared<Tirn::Core::AsyncActivation>();
  inFrench->requestLocalizer.localeSpec =
      std::make_shared<Tirn::L10n::LocaleSpec const>("fr-FR, en;q=0.5", "C", "Europe/Paris");
  stub.Get("ks-9", inFrench, getText(frenchText));
  CHECK(english == "com.ostrel.tirn.std.errors.not_found: Key server ks-9 does not exist.");
  CHECK(frenchText ==
        "com.ostrel.tirn.std.errors.not_found: Le serveur de clés ks-9 n'existe pas.");

  // An answer given later.
  bool deleted = false;
  stub.Delete(
      id, nullptr,
      KeyServers::DeleteMethod::ResultCbType(
          [&deleted](boost::optional<Tirn::Void> const& done, Tirn::Data::ErrorValuePtr const&,
                     Tirn::Progress const&) { deleted = static_cast<bool>(done); }));
  CHECK(!deleted);
  implementation->FinishDeletes();
  CHECK(deleted);

  if (failures == 0) std::printf("server: all checks passed\n");
  return failures == 0 ? 0 : 1;
}
