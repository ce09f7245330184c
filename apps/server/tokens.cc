#include "apps/server/tokens.h"

#include <openssl/crypto.h>
#include <openssl/evp.h>
#include <openssl/rand.h>

#include <cerrno>
#include <cstring>
#include <string>
#include <utility>

#include "tirn/http/trusted_file.h"
#include "tirn/text/text.h"

namespace ServerApp {

namespace {

bool IsSpace(char c) { return c == ' ' || c == '\t' || c == '\r'; }

constexpr char kDigestPrefix[] = "sha256:";

// The digest written after "sha256:"; false unless it is 64 hexadecimal digits.
bool ParseDigest(std::string const& hex, TokenTable::Digest& digest) {
  return Tirn::Text::DecodeHex(hex.data(), hex.size(), digest.data(), digest.size());
}

}  // namespace

TokenTable::Digest TokenDigest(std::string const& token) {
  TokenTable::Digest digest{};
  unsigned int size = 0;
  EVP_Digest(token.data(), token.size(), digest.data(), &size, EVP_sha256(), nullptr);
  return digest;
}

std::string HashedToken(std::string const& token) {
  TokenTable::Digest const digest = TokenDigest(token);
  return kDigestPrefix + Tirn::Text::Hex(digest.data(), digest.size());
}

bool NewToken(Tirn::SecretString& token, std::string& error) {
  unsigned char random[32];
  // Base64 of 32 bytes: 44 characters with one '=' of padding, and the terminating zero.
  unsigned char text[45];
  bool const made = RAND_bytes(random, sizeof random) == 1;
  if (made) {
    int const length = EVP_EncodeBlock(text, random, sizeof random);
    std::size_t size = static_cast<std::size_t>(length);
    while (size > 0 && text[size - 1] == '=') --size;
    // base64url, so that the token needs no quoting in a header, a file or a shell.
    for (std::size_t i = 0; i < size; ++i) {
      if (text[i] == '+') text[i] = '-';
      if (text[i] == '/') text[i] = '_';
    }
    token = Tirn::SecretString(reinterpret_cast<char const*>(text), size);
  } else {
    error = "the random source failed";
  }
  OPENSSL_cleanse(random, sizeof random);
  OPENSSL_cleanse(text, sizeof text);
  return made;
}

bool TokenTable::Add(std::string const& token, std::string const& caller) {
  return AddDigest(TokenDigest(token), caller);
}

bool TokenTable::AddDigest(Digest const& digest, std::string const& caller) {
  if (!FindDigest(digest).empty()) return false;
  entries_->emplace_back(digest, caller);
  return true;
}

std::string TokenTable::Find(std::string const& token) const {
  if (token.empty()) return std::string();
  return FindDigest(TokenDigest(token));
}

std::string TokenTable::FindDigest(Digest const& digest) const {
  // Every entry is compared, and each comparison takes the same time whatever the bytes, so
  // that the answer's timing tells nothing about how close a guess came.
  std::string const* found = nullptr;
  for (auto const& entry : *entries_) {
    if (CRYPTO_memcmp(entry.first.data(), digest.data(), digest.size()) == 0) {
      found = &entry.second;
    }
  }
  return found ? *found : std::string();
}

bool TokenTable::Authenticate(Tirn::Http::Credentials const& credentials,
                              Tirn::Core::SecurityContextWrappedEntry& identity) const {
  std::string caller = Find(credentials.bearerToken);
  if (caller.empty()) return false;
  identity.entry.scheme = "bearer";
  identity.text = std::move(caller);
  return true;
}

bool IdentifyCaller(Tirn::Http::Credentials const& credentials, TokenTable const* tokens,
                    Tirn::Core::SecurityContextWrappedEntry& identity) {
  if (!credentials.clientCertificate.empty()) {
    if (credentials.clientName.empty()) return false;
    if (tokens && !credentials.bearerToken.empty() &&
        tokens->Find(credentials.bearerToken) != credentials.clientName) {
      return false;
    }
    identity.entry.scheme = "certificate";
    identity.text = credentials.clientName;
    return true;
  }
  if (tokens) return tokens->Authenticate(credentials, identity);
  return true;
}

Tirn::Http::Authenticator TokenTable::Authenticator() const {
  TokenTable table = *this;
  return [table](Tirn::Http::Credentials const& credentials,
                 Tirn::Core::SecurityContextWrappedEntry& identity) {
    return table.Authenticate(credentials, identity);
  };
}

bool ParseTokens(std::string const& text, std::string const& source, TokenTable& tokens,
                 std::string& error) {
  std::size_t lineStart = 0;
  for (int number = 1; lineStart < text.size(); ++number) {
    std::size_t lineEnd = text.find('\n', lineStart);
    if (lineEnd == std::string::npos) lineEnd = text.size();
    std::size_t at = lineStart;
    while (at < lineEnd && IsSpace(text[at])) ++at;
    std::size_t const tokenStart = at;
    while (at < lineEnd && !IsSpace(text[at])) ++at;
    std::size_t const tokenEnd = at;
    while (at < lineEnd && IsSpace(text[at])) ++at;
    std::size_t end = lineEnd;
    while (end > at && IsSpace(text[end - 1])) --end;
    lineStart = lineEnd + 1;
    if (tokenStart == tokenEnd || text[tokenStart] == '#') continue;
    auto fail = [&](char const* why) {
      error = source + ":" + std::to_string(number) + ": " + why;
      return false;
    };
    if (at == end) return fail("a token needs a caller name after it");
    Tirn::SecretString token(text.data() + tokenStart, tokenEnd - tokenStart);
    std::string const caller = text.substr(at, end - at);
    TokenTable::Digest digest{};
    if (token.value().compare(0, sizeof kDigestPrefix - 1, kDigestPrefix) == 0) {
      if (!ParseDigest(token.value().substr(sizeof kDigestPrefix - 1), digest)) {
        return fail("a sha256: entry wants 64 hexadecimal digits");
      }
    } else if (token.value().size() < kShortestToken) {
      // Also what a stray line of words becomes: its first word is no token anyone chose.
      return fail("a token must be at least 22 characters long, about 128 random bits; "
                  "'tirn-server hash-token --new CALLER' makes one");
    } else {
      digest = TokenDigest(token.value());
    }
    if (!tokens.AddDigest(digest, caller)) return fail("this token is already listed");
  }
  return true;
}

bool ReadTokenFile(std::string const& path, TokenTable& tokens, std::string& error,
                   std::string* warning) {
  Tirn::Http::TrustedFile rule;
  rule.what = "the token file";
  rule.warnIfReadable = true;
  rule.wiped = true;
  std::string read;
  if (!Tirn::Http::ReadTrustedFile(path, rule, read, error, warning)) return false;
  // The secret string keeps its own copy and wipes the one it was made from.
  Tirn::SecretString const text(std::move(read));
  if (!ParseTokens(text.value(), path, tokens, error)) return false;
  if (tokens.size() == 0) {
    error = "the token file " + path + " lists no token";
    return false;
  }
  return true;
}

}  // namespace ServerApp
