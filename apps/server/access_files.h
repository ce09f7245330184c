// The files that decide who may call tirn-server and what: the tokens and the policy, read at
// start and again on each SIGHUP, and the authenticator and authorizer that read them.
//
//   ServerApp::AccessFiles access(config);
//   std::vector<std::string> warnings;
//   std::string error;
//   if (!access.Load(error, warnings)) Fail(error);
//   access.Install(options);  // Tirn::Http::ServerOptions
//
// A reload that cannot read every file changes nothing; calls in flight keep the tables they
// started with. Thread-safety: Load may run on one thread while calls read the tables on
// others; the object must outlive the servers it is installed in.
#ifndef APPS_SERVER_ACCESS_FILES_H_
#define APPS_SERVER_ACCESS_FILES_H_

#include <memory>
#include <string>
#include <vector>

#include "apps/server/options.h"
#include "apps/server/policy.h"
#include "apps/server/tokens.h"
#include "tirn/http/server.h"

namespace ServerApp {

class AccessFiles {
 public:
  // Reads the files `config` names (which must outlive this object); the policy's rules are
  // checked against the package's operations.
  explicit AccessFiles(ServerConfig const& config);

  // Reads the files the configuration names; false with the reason when one cannot be read
  // or does not parse, and then the tables read before stay in force. `warnings` receives
  // what is read but worth saying (a token file others may read, a rule that matches no
  // operation, a policy without rules).
  bool Load(std::string& error, std::vector<std::string>& warnings);

  // Installs the authenticator (tokens, client certificates: IdentifyCaller) and the
  // authorizer (the policy) the configuration asks for; they read the tables in force at each
  // call.
  void Install(Tirn::Http::ServerOptions& options) const;

 private:
  struct Tables {
    TokenTable tokens;
    Policy policy;
  };
  ServerConfig const& config_;
  // "service.operation" of every operation served, for the rules of the policy to match.
  std::vector<std::string> operationNames_;
  std::shared_ptr<Tables const> tables_ = std::make_shared<Tables const>();
};

}  // namespace ServerApp

#endif  // APPS_SERVER_ACCESS_FILES_H_
