// The maintenance commands of tirn-server, run on a data file beside (or instead of) the
// server:
//
//   tirn-server rekey --data FILE [--key-file OLD] --new-key-file NEW
//     reseals every stored secret with the key in NEW (created, mode 0600, when absent), in
//     one transaction; refused while a server runs on FILE.
//   tirn-server rekey --data postgresql://... --key-file OLD --new-key-file NEW
//     the same on a PostgreSQL database, while servers may be serving it: those still running
//     with OLD then answer service_unavailable to calls that use a secret.
//   tirn-server backup --data FILE --to COPY
//     copies FILE with SQLite's online backup while a server may be writing to it, into a new
//     file (mode 0600) that appears only once it is whole and passes SQLite's integrity check.
//     The key file is not copied.
//   tirn-server copy --from FILE --to postgresql://... [--key-file KEY]
//     copies every record of FILE into a PostgreSQL database that holds none, in one
//     transaction, the providers' keys as they are sealed (servers on the database then use
//     KEY); refused while a server runs on FILE, and when KEY does not open FILE.
//
// Each takes the whole command line (argv[1] is the command's name) and returns the exit
// status: 0 done, 1 failed (the reason on stderr), 2 a usage mistake.
//
//   if (argc >= 2 && std::string(argv[1]) == "rekey") return ServerApp::RunRekey(argc, argv);
#ifndef APPS_SERVER_MAINTENANCE_H_
#define APPS_SERVER_MAINTENANCE_H_

namespace ServerApp {

int RunRekey(int argc, char** argv);
int RunBackup(int argc, char** argv);
int RunCopy(int argc, char** argv);

}  // namespace ServerApp

#endif  // APPS_SERVER_MAINTENANCE_H_
