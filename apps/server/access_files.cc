#include "apps/server/access_files.h"

#include <utility>

#include "com/ostrel/nox/trusted_infrastructure/operations.h"

namespace ServerApp {

AccessFiles::AccessFiles(ServerConfig const& config) : config_(config) {
  for (auto const& operation : Com::Ostrel::Nox::TrustedInfrastructure::Operations().operations()) {
    operationNames_.push_back(std::string(operation.serviceName) + "." + operation.operationName);
  }
}

bool AccessFiles::Load(std::string& error, std::vector<std::string>& warnings) {
  auto next = std::make_shared<Tables>();
  if (!config_.tokenFile.empty()) {
    // Tokens others can read let them call as anyone listed: worth a warning, not a refusal.
    std::string exposed;
    if (!ReadTokenFile(config_.tokenFile, next->tokens, error, &exposed)) return false;
    if (!exposed.empty()) warnings.push_back(exposed);
  }
  if (!config_.policyFile.empty() &&
      !ReadPolicyFile(config_.policyFile, next->policy, error, operationNames_, &warnings)) {
    return false;
  }
  std::atomic_store(&tables_, std::shared_ptr<Tables const>(std::move(next)));
  return true;
}

void AccessFiles::Install(Tirn::Http::ServerOptions& options) const {
  if (!config_.tokenFile.empty() || !config_.clientCaFile.empty()) {
    bool const tokens = !config_.tokenFile.empty();
    options.authenticator = [this, tokens](Tirn::Http::Credentials const& credentials,
                                           Tirn::Core::SecurityContextWrappedEntry& identity) {
      auto const tables = std::atomic_load(&tables_);
      return IdentifyCaller(credentials, tokens ? &tables->tokens : nullptr, identity);
    };
  }
  if (!config_.policyFile.empty()) {
    options.authorizer = [this](std::string const& caller, std::string const& operation) {
      return std::atomic_load(&tables_)->policy.Allows(caller, operation);
    };
  }
}

}  // namespace ServerApp
