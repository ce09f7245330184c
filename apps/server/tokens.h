// The bearer tokens tirn-server accepts, read from a file of lines "<token> <caller name>"
// (blank lines and lines starting with '#' are skipped), and the authenticator that checks a
// caller's token against them. A line may give "sha256:<64 hex digits>", the SHA-256 of the
// token, instead of the token, so that the file holds no usable credential; `tirn-server
// hash-token` prints such a line. Only digests are kept in memory either way.
//
//   ServerApp::TokenTable tokens;
//   std::string error;
//   if (!ServerApp::ReadTokenFile("tokens.txt", tokens, error)) Fail(error);
//   options.authenticator = tokens.Authenticator();
//
// Error texts name the file and the line, never a token.
#ifndef APPS_SERVER_TOKENS_H_
#define APPS_SERVER_TOKENS_H_

#include <array>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "tirn/http/server.h"
#include "tirn/runtime/value/secret_string.h"

namespace ServerApp {

class TokenTable {
 public:
  // Adds a token; false when it is already there.
  bool Add(std::string const& token, std::string const& caller);
  // The caller the token belongs to; empty when none. Compares in time independent of where
  // the tokens differ.
  std::string Find(std::string const& token) const;
  std::size_t size() const { return entries_->size(); }
  // Accepts a call whose bearer token is in the table, naming its caller as the identity.
  bool Authenticate(Tirn::Http::Credentials const& credentials,
                    Tirn::Core::SecurityContextWrappedEntry& identity) const;
  // An authenticator for Tirn::Http::ServerOptions that asks this table (a copy of it).
  Tirn::Http::Authenticator Authenticator() const;

  using Digest = std::array<unsigned char, 32>;
  // Adds the token whose SHA-256 is `digest`; false when it is already there.
  bool AddDigest(Digest const& digest, std::string const& caller);

 private:
  std::string FindDigest(Digest const& digest) const;

  std::shared_ptr<std::vector<std::pair<Digest, std::string>>> entries_ =
      std::make_shared<std::vector<std::pair<Digest, std::string>>>();
};

// Who calls, from what the call brought: a client certificate's caller (verified in the TLS
// handshake, and named by the field the server reads) and a bearer token checked against
// `tokens` (null: the server takes no tokens). Certificate callers and token callers share one
// namespace. A call that brings both is accepted only when they name the same caller; a
// certificate without the naming field is refused; a call that brings neither is anonymous
// (true, identity empty) only when the server takes no tokens.
bool IdentifyCaller(Tirn::Http::Credentials const& credentials, TokenTable const* tokens,
                    Tirn::Core::SecurityContextWrappedEntry& identity);

// The shortest plain token a file may list: 22 characters carry about 128 random bits in the
// alphabet NewToken uses.
inline constexpr std::size_t kShortestToken = 22;

// The SHA-256 of `token`.
TokenTable::Digest TokenDigest(std::string const& token);

// A fresh token of 32 random bytes, in base64url without padding (43 characters); false with
// the reason in `error` when the random source fails.
bool NewToken(Tirn::SecretString& token, std::string& error);

// The token file's entry for `token` without the token: "sha256:<64 lower-case hex digits>".
std::string HashedToken(std::string const& token);

// Parses the text of a token file into `tokens`; false with the first problem in `error`
// ("<source>:<line>: ...") when a line has no caller name, a sha256: entry is not 64
// hexadecimal digits, a plain token is shorter than kShortestToken, or a token repeats.
[[nodiscard]] bool ParseTokens(std::string const& text, std::string const& source,
                               TokenTable& tokens, std::string& error);
// Reads and parses the file at `path` (a regular file of the server's user or root, that
// others may not write; tirn/http/trusted_file.h); an empty table is an error too. `*warning`
// (when given) receives what to say of a file its group or others may read.
[[nodiscard]] bool ReadTokenFile(std::string const& path, TokenTable& tokens, std::string& error,
                                 std::string* warning = nullptr);

}  // namespace ServerApp

#endif  // APPS_SERVER_TOKENS_H_
