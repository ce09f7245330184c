// SecretBox: seals secrets for storage with AES-256-GCM under a 32-byte key, and the key file
// that holds such a key.
//
// A sealed secret is a fresh random 96-bit nonce, the ciphertext and the 128-bit tag; the
// caller binds it to where it belongs (a record's identifier) as associated data, so that a
// sealed secret moved to another record no longer opens. Key material and opened plaintext
// are wiped when released.
//
//   std::string error;
//   auto box = ServerApp::SecretBox::FromKeyFile("server.key", error);
//   std::string sealed;
//   if (!box || !box->Seal(secret.value(), "provider:vault", sealed, error)) Fail(error);
//   Tirn::SecretString back;
//   if (!box->Open(sealed, "provider:vault", back)) Refuse();
#ifndef APPS_SERVER_SECRET_BOX_H_
#define APPS_SERVER_SECRET_BOX_H_

#include <cstddef>
#include <memory>
#include <string>

#include "tirn/runtime/value/secret_string.h"

namespace ServerApp {

class SecretBox {
 public:
  static constexpr std::size_t kKeySize = 32;
  static constexpr std::size_t kNonceSize = 12;
  static constexpr std::size_t kTagSize = 16;

  // A box with a fresh random key, kept in memory only. Null (with `error`) when the random
  // source fails.
  static std::unique_ptr<SecretBox> WithRandomKey(std::string& error);
  // A box with the key in the file at `path`: 32 bytes, or 64 hexadecimal digits optionally
  // followed by a line end. Null (with `error`) when the file cannot be read or holds no key.
  static std::unique_ptr<SecretBox> FromKeyFile(std::string const& path, std::string& error);
  // Writes a fresh random key to a new file at `path` (mode 0600, failing when the file
  // exists) and returns a box with it.
  static std::unique_ptr<SecretBox> CreateKeyFile(std::string const& path, std::string& error);

  ~SecretBox();
  SecretBox(SecretBox const&) = delete;
  SecretBox& operator=(SecretBox const&) = delete;

  // Seals `plaintext` bound to `associated`: nonce, ciphertext and tag in `sealed`.
  [[nodiscard]] bool Seal(std::string const& plaintext, std::string const& associated,
                          std::string& sealed, std::string& error) const;
  // Opens what Seal made with the same key and associated data; false when either differs or
  // the sealed bytes were altered.
  [[nodiscard]] bool Open(std::string const& sealed, std::string const& associated,
                          Tirn::SecretString& plaintext) const;

  // Names the key without giving it away: 16 bytes of HMAC-SHA256 under the key of a fixed
  // text. Equal for equal keys; nothing of the key can be learnt from it. Empty when the hash
  // fails.
  std::string Fingerprint() const;

  // A digest of `text` that only a holder of the key can make or check: 32 bytes of
  // HMAC-SHA256 under the key, of a fixed prefix and `text` (so that it never equals another
  // use of the key). Kept beside records instead of what they were made from, when that held
  // a secret. Empty when the hash fails.
  std::string Digest(std::string const& text) const;

 private:
  SecretBox() = default;

  unsigned char key_[kKeySize] = {};
};

}  // namespace ServerApp

#endif  // APPS_SERVER_SECRET_BOX_H_
