// The quick start of the README and the guide: a server of the key-provider service and a
// client of it in one program, joined by the in-process provider.
#include <cstdio>
#include <iostream>

// [quickstart-server]
#include <memory>
#include <string>

#include "com/ostrel/nox/trusted_infrastructure/trusted_infrastructure.h"
#include "tirn/message/message.h"
#include "tirn/runtime/call/in_process_provider.h"
#include "tirn/std/errors.h"

namespace Providers = Com::Ostrel::Nox::TrustedInfrastructure::Kms::ProvidersSvc;
namespace Errors = Com::Ostrel::Tirn::Std::Errors;
using Activation = std::shared_ptr<Tirn::Core::AsyncActivation>;

// One provider, "vault-native"; every other name is missing.
class MyProviders : public Providers::AsyncServiceInterface {
 public:
  void Get(std::string const& id, Activation const&,
           Providers::GetMethod::ResultCbType const& result) override {
    result.progress({0, 2, 1});  // any number of reports before the answer
    if (id != "vault-native") {
      return result.error(Errors::MakeNativeError<Errors::NotFound>(
          {Tirn::MakeMessage("my.provider.missing", "Provider {1} does not exist", id)}));
    }
    auto native = std::make_shared<Providers::NativeProviderInfo>();
    native->key_id = "key-1";
    auto info = std::make_shared<Providers::Info>();
    info->type = Providers::ProviderType::NATIVE;
    info->native_info = std::shared_ptr<Providers::NativeProviderInfo const>(native);
    result.value(info);
  }
  void List(Tirn::OptionalPtr<Providers::FilterSpec const> const&, Activation const&,
            Providers::ListMethod::ResultCbType const& result) override {
    result.value({});
  }
  void Create(std::shared_ptr<Providers::CreateSpec const> const&, Activation const&,
              Providers::CreateMethod::ResultCbType const& result) override {
    result.value(Tirn::Void());
  }
  void Update(std::string const&, std::shared_ptr<Providers::UpdateSpec const> const&,
              Activation const&, Providers::UpdateMethod::ResultCbType const& result) override {
    result.value(Tirn::Void());
  }
  void Delete(std::string const&, Activation const&,
              Providers::DeleteMethod::ResultCbType const& result) override {
    result.value(Tirn::Void());
  }
};
// [quickstart-server]

int main() {
  int failures = 0;
  // [quickstart-register]
  auto provider = std::make_shared<Tirn::Core::InProcessApiProvider>();
  provider->Register(Providers::AsyncServiceBinder::BindImplementation(std::make_shared<MyProviders>()));
  // [quickstart-register]

  // [quickstart-client]
  // #include "tirn/stub/async_api_stub.h"
  auto templateActivation = std::make_shared<Tirn::Core::AsyncActivation>();  // copied per call
  Providers::AsyncServiceStub providers(
      std::make_shared<Tirn::Stub::AsyncApiStub>(provider, templateActivation));

  // Block until the call has ended (progress reports pass by):
  Tirn::CallResult<std::shared_ptr<Providers::Info const>> found = providers.Get("vault-native").get();
  if (found.ok()) {
    std::cout << *found.value() << "\n";  // the whole structure, secrets masked
    auto const& info = *found.value();
    if (info.type == Providers::ProviderType::NATIVE) {  // the union's case for native_info
      std::cout << info.native_info->key_id << "\n";  // key-1
    }
  } else {
    std::cout << found.error()->name() << "\n";
  }

  // Or hear the end without blocking:
  providers.Get("other", nullptr, [](Tirn::CallResult<std::shared_ptr<Providers::Info const>> const& result) {
    if (Errors::Is<Errors::NotFound>(result.error())) {
      auto notFound = Errors::As<Errors::NotFound>(result.error());
      std::cout << notFound->messages.front()->Text() << "\n";  // Provider other does not exist
    }
  });
  // [quickstart-client]
  if (!found.ok() || found.value()->native_info->key_id != "key-1") ++failures;
  auto missing = providers.Get("other").get();
  if (!Errors::Is<Errors::NotFound>(missing.error()) ||
      Errors::As<Errors::NotFound>(missing.error())->messages.front()->Text() !=
          "Provider other does not exist") {
    ++failures;
  }
  if (failures != 0) std::fprintf(stderr, "quickstart: %d checks failed\n", failures);
  return failures == 0 ? 0 : 1;
}
