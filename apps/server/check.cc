#include "apps/server/check.h"

#include <sys/stat.h>

#include <memory>
#include <ostream>
#include <string>
#include <vector>

#include "apps/server/access_files.h"
#include "apps/server/options.h"
#include "apps/server/postgres_store.h"
#include "apps/server/secret_box.h"
#include "com/ostrel/nox/trusted_infrastructure/operations.h"
#include "tirn/http/io_threads.h"
#include "tirn/http/server.h"
#include "tirn/runtime/call/in_process_provider.h"

namespace ServerApp {
namespace {

// What the check found: problems stop a start, warnings do not.
struct Findings {
  std::vector<std::string> problems;
  std::vector<std::string> warnings;
};

bool Exists(std::string const& path, struct stat& status) {
  return ::stat(path.c_str(), &status) == 0;
}

// The key file a server would read (or make, when there is none and nothing is sealed yet).
void CheckKey(std::string const& keyFile, bool recordsExist, Findings& found) {
  struct stat status {};
  if (!Exists(keyFile, status)) {
    if (recordsExist) {
      found.problems.push_back("the key file " + keyFile +
                               " does not exist, but the records do: name the key they were "
                               "written with (--key-file)");
    } else {
      found.warnings.push_back("the key file " + keyFile +
                               " does not exist: a start makes it (mode 0600)");
    }
    return;
  }
  std::string error;
  if (!SecretBox::FromKeyFile(keyFile, error)) found.problems.push_back(error);
}

// The records: a PostgreSQL URI's form and key file, or a data file and its key file.
void CheckData(ServerConfig const& config, Findings& found) {
  if (config.dataFile == ":memory:") return;
  if (IsPostgresUri(config.dataFile)) {
    std::string error;
    if (!CheckPostgresUri(config.dataFile, error)) found.problems.push_back(error);
    if (config.keyFile.empty()) {
      found.problems.push_back("--data names a PostgreSQL database: name its key file with "
                               "--key-file");
    } else {
      CheckKey(config.keyFile, false, found);
    }
    return;
  }
  struct stat status {};
  bool const exists = Exists(config.dataFile, status);
  if (exists && !S_ISREG(status.st_mode)) {
    found.problems.push_back("the data file " + config.dataFile + " is not a regular file");
    return;
  }
  CheckKey(config.keyFile.empty() ? config.dataFile + ".key" : config.keyFile,
           exists && status.st_size > 0, found);
}

// The TLS files, read as a server reads them, without listening.
void CheckTls(ServerConfig const& config, Findings& found) {
  if (config.tlsCertificateFile.empty()) return;
  Tirn::Http::ServerOptions options;
  options.tlsCertificateFile = config.tlsCertificateFile;
  options.tlsPrivateKeyFile = config.tlsPrivateKeyFile;
  options.tlsClientCaFile = config.clientCaFile;
  options.tlsClientCrlFile = config.clientCrlFile;
  Tirn::Http::IoThreads threads(1);
  Tirn::Core::OperationTable const none("", {});
  Tirn::Http::Server server(threads.contexts(),
                            std::make_shared<Tirn::Core::InProcessApiProvider>(), none, options);
  std::string error;
  if (!server.ReloadTls(&error)) found.problems.push_back(error);
}

}  // namespace

int RunCheck(int argc, char** argv, char const* const* environment, std::ostream& out) {
  // The server's own options, read as the server reads them: argv[1] stands for the program.
  ParsedOptions const parsed = ParseOptions(argc - 1, argv + 1, environment);
  if (parsed.outcome == ParsedOptions::kHelp) {
    out << "Usage: tirn-server check [the server's options]\n"
           "Reads what a server started with these options would read and says every problem;\n"
           "starts nothing, creates no file. Status 0: it would start; 1: it would not.\n";
    return 0;
  }
  if (parsed.outcome != ParsedOptions::kRun) {
    out << "tirn-server check: " << parsed.text << "\n";
    return parsed.outcome == ParsedOptions::kError ? 1 : 0;
  }
  ServerConfig const& config = parsed.config;
  Findings found;
  AccessFiles access(config);
  std::string error;
  if (!access.Load(error, found.warnings)) found.problems.push_back(error);
  CheckTls(config, found);
  CheckData(config, found);
  for (auto const& problem : found.problems) out << "problem: " << problem << "\n";
  for (auto const& warning : found.warnings) out << "warning: " << warning << "\n";
  out << found.problems.size() << (found.problems.size() == 1 ? " problem, " : " problems, ")
      << found.warnings.size() << (found.warnings.size() == 1 ? " warning" : " warnings")
      << (found.problems.empty() ? ": a server would start with these options\n"
                                 : ": a server would not start with these options\n");
  return found.problems.empty() ? 0 : 1;
}

}  // namespace ServerApp
