// A key-servers implementation small enough to read at a glance: one create, and no key
// server to get. Shared by the consumer programs.
#ifndef EXAMPLES_CONSUMER_ONE_KEY_SERVER_H_
#define EXAMPLES_CONSUMER_ONE_KEY_SERVER_H_

#include <memory>
#include <string>

#include "com/ostrel/nox/trusted_infrastructure/trusted_infrastructure.h"
#include "tirn/std/errors.h"

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

#endif  // EXAMPLES_CONSUMER_ONE_KEY_SERVER_H_
