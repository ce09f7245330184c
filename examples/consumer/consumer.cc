// Binds a small key-servers implementation and calls it through the generated stub, using
// only the installed package.
#include <cstdio>
#include <memory>
#include <string>

#include "com/ostrel/nox/trusted_infrastructure/trusted_infrastructure.h"
#include "tirn/runtime/call/in_process_provider.h"
#include "tirn/std/errors.h"
#include "tirn/stub/async_api_stub.h"

namespace KeyServers = Com::Ostrel::Nox::TrustedInfrastructure::Kms::ServicesSvc;
namespace Errors = Com::Ostrel::Tirn::Std::Errors;

class OneKeyServer : public KeyServers::AsyncServiceInterface {
 public:
  void List(Tirn::OptionalPtr<KeyServers::FilterSpec const> const&,
            std::shared_ptr<Tirn::Core::AsyncActivation> const&,
            KeyServers::ListMethod::ResultCbType const& result) override {
    result.value({});
  }
  void Get(std::string const& id, std::shared_ptr<Tirn::Core::AsyncActivation> const&,
           KeyServers::GetMethod::ResultCbType const& result) override {
    result.error(Errors::MakeNativeError<Errors::NotFound>(
        {Tirn::MakeMessage("consumer.missing", "No key server {1}", id)}));
  }
  void Create(std::shared_ptr<KeyServers::CreateSpec const> const&,
              std::shared_ptr<Tirn::Core::AsyncActivation> const&,
              KeyServers::CreateMethod::ResultCbType const& result) override {
    result.value("key-server-1");
  }
  void Delete(std::string const&, std::shared_ptr<Tirn::Core::AsyncActivation> const&,
              KeyServers::DeleteMethod::ResultCbType const& result) override {
    result.value(Tirn::Void());
  }
};

int main() {
  auto provider = std::make_shared<Tirn::Core::InProcessApiProvider>();
  provider->Register(KeyServers::AsyncServiceBinder::BindImplementation(std::make_shared<OneKeyServer>()));
  auto activation = std::make_shared<Tirn::Core::AsyncActivation>();
  KeyServers::AsyncServiceStub stub(std::make_shared<Tirn::Stub::AsyncApiStub>(provider, activation));

  std::string error;
  stub.Get("ks-9", nullptr,
           KeyServers::GetMethod::ResultCbType(
               [&](boost::optional<std::shared_ptr<KeyServers::Info const>> const&,
                   Tirn::Data::ErrorValuePtr const& value, Tirn::Progress const&) {
                 if (value) error = value->name();
               }));
  std::printf("consumer: get ks-9 -> %s\n", error.c_str());
  return error == "com.ostrel.tirn.std.errors.not_found" ? 0 : 1;
}
