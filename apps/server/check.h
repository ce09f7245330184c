// `tirn-server check [options]`: reads what a server started with the same options would read
// (the configuration, tokens, policy, sealing key, TLS certificates, client CAs and CRL, and
// the data or database settings) and says every problem, each naming its file (and line, where
// the file has lines), without starting anything: it binds no port, creates no file, opens no
// store and runs no migration.
//
//   tirn-server check --config /etc/tirn/server.conf
//   # the token file /etc/tirn/tokens can be read by others (mode 0644); ...
//   # /etc/tirn/policy:3: the rule 'bob kms.provider.*' matches no operation ...
//   # 1 problem, 1 warning
//
// The exit status is 0 when nothing stops a start (warnings may remain), 1 when something
// would, 2 for a usage mistake.
#ifndef APPS_SERVER_CHECK_H_
#define APPS_SERVER_CHECK_H_

#include <iosfwd>

namespace ServerApp {

// Takes the whole command line (argv[1] is "check") and the environment, prints to `out`.
int RunCheck(int argc, char** argv, char const* const* environment, std::ostream& out);

}  // namespace ServerApp

#endif  // APPS_SERVER_CHECK_H_
