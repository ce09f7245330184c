// What the server program and the command-line client agree on without being told: the port
// the server listens on when no --listen is given, and the environment variables through which
// a user names the server and the token for the client.
#ifndef APPS_COMMON_DEFAULTS_H_
#define APPS_COMMON_DEFAULTS_H_

namespace Apps {

// The server listens on 127.0.0.1 at this port by default; the client calls it there by
// default.
constexpr unsigned short kDefaultPort = 7431;

// The client's default server address, before its built-in default.
constexpr char kUrlVariable[] = "TIRN_URL";

// The client's bearer token when neither --token nor --token-file gives one (a command line
// shows in the process list; the environment does not).
constexpr char kTokenVariable[] = "TIRN_TOKEN";

}  // namespace Apps

#endif  // APPS_COMMON_DEFAULTS_H_
