#include "apps/server/tokens.h"

#include <openssl/crypto.h>

#include <cerrno>
#include <cstring>
#include <fstream>
#include <iterator>

namespace ServerApp {

namespace {

bool IsSpace(char c) { return c == ' ' || c == '\t' || c == '\r'; }

}  // namespace

bool TokenTable::Add(std::string const& token, std::string const& caller) {
  if (!Find(token).empty()) return false;
  entries_->emplace_back(Tirn::SecretString(token), caller);
  return true;
}

std::string TokenTable::Find(std::string const& token) const {
  // Every entry is compared, and each comparison takes the same time whatever the bytes, so
  // that the answer's timing tells nothing about how close a guess came.
  std::string const* found = nullptr;
  for (auto const& entry : *entries_) {
    std::string const& known = entry.first.value();
    if (known.size() == token.size() && !token.empty() &&
        CRYPTO_memcmp(known.data(), token.data(), token.size()) == 0) {
      found = &entry.second;
    }
  }
  return found ? *found : std::string();
}

Tirn::Http::Authenticator TokenTable::Authenticator() const {
  TokenTable table = *this;
  return [table](Tirn::Http::Credentials const& credentials,
                 Tirn::Core::SecurityContextWrappedEntry& identity) {
    std::string caller = table.Find(credentials.bearerToken);
    if (caller.empty()) return false;
    identity.entry.scheme = "bearer";
    identity.text = std::move(caller);
    return true;
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
    if (!tokens.Add(token.value(), text.substr(at, end - at))) {
      return fail("this token is already listed");
    }
  }
  return true;
}

bool ReadTokenFile(std::string const& path, TokenTable& tokens, std::string& error) {
  std::ifstream in(path, std::ios::binary);
  if (!in) {
    error = "cannot read the token file " + path + ": " + std::strerror(errno);
    return false;
  }
  Tirn::SecretString text(std::string(std::istreambuf_iterator<char>(in), {}));
  if (!ParseTokens(text.value(), path, tokens, error)) return false;
  if (tokens.size() == 0) {
    error = "the token file " + path + " lists no token";
    return false;
  }
  return true;
}

}  // namespace ServerApp
