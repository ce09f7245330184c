// Binds a small key-servers implementation and calls it through the generated stub, using
// only the installed package.
#include <cstdio>
#include <memory>
#include <string>

#include "one_key_server.h"
#include "tirn/runtime/call/in_process_provider.h"
#include "tirn/stub/async_api_stub.h"

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
