#include "apps/server/secret_box.h"

#include <fcntl.h>
#include <unistd.h>

#include <openssl/crypto.h>
#include <openssl/evp.h>
#include <openssl/hmac.h>
#include <openssl/rand.h>

#include <cerrno>
#include <cstring>
#include <memory>
#include <vector>

#include "tirn/http/trusted_file.h"
#include "tirn/text/text.h"

namespace ServerApp {

namespace {

// A byte buffer that is wiped when it goes away: for key material and opened plaintext.
class WipedBuffer {
 public:
  explicit WipedBuffer(std::size_t size) : bytes_(size) {}
  ~WipedBuffer() {
    if (!bytes_.empty()) OPENSSL_cleanse(bytes_.data(), bytes_.size());
  }
  WipedBuffer(WipedBuffer const&) = delete;
  WipedBuffer& operator=(WipedBuffer const&) = delete;

  unsigned char* data() { return bytes_.data(); }
  std::size_t size() const { return bytes_.size(); }

 private:
  std::vector<unsigned char> bytes_;
};

// AES-256-GCM, looked up once for the process: looking it up on every seal and open, and
// setting the nonce length apart, took about a third of their time. Its default nonce length
// is kNonceSize (96 bits).
EVP_CIPHER const* Aes256Gcm() {
  struct Free {
    void operator()(EVP_CIPHER* cipher) const { EVP_CIPHER_free(cipher); }
  };
  static std::unique_ptr<EVP_CIPHER, Free> const fetched(
      EVP_CIPHER_fetch(nullptr, "AES-256-GCM", nullptr));
  return fetched ? fetched.get() : EVP_aes_256_gcm();
}

// A context for one seal or open; freeing it wipes the key schedule it held.
struct CipherContext {
  CipherContext() : context(EVP_CIPHER_CTX_new()) {}
  ~CipherContext() { EVP_CIPHER_CTX_free(context); }
  CipherContext(CipherContext const&) = delete;
  CipherContext& operator=(CipherContext const&) = delete;
  EVP_CIPHER_CTX* context;
};

unsigned char const* Bytes(std::string const& text) {
  return reinterpret_cast<unsigned char const*>(text.data());
}

}  // namespace

SecretBox::~SecretBox() { OPENSSL_cleanse(key_, sizeof key_); }

std::unique_ptr<SecretBox> SecretBox::WithRandomKey(std::string& error) {
  std::unique_ptr<SecretBox> box(new SecretBox());
  if (RAND_bytes(box->key_, kKeySize) != 1) {
    error = "the random source failed";
    return nullptr;
  }
  return box;
}

std::unique_ptr<SecretBox> SecretBox::FromKeyFile(std::string const& path, std::string& error) {
  // At most the longest valid form: the hexadecimal digits and a line end. The text is wiped
  // on every path, failures included.
  Tirn::Http::TrustedFile rule;
  rule.what = "the key file";
  rule.maxSize = 2 * kKeySize + 2;
  rule.secret = true;
  std::string read;
  struct Wiper {
    std::string& text;
    ~Wiper() {
      if (!text.empty()) OPENSSL_cleanse(&text[0], text.size());
    }
  } const wiper{read};
  if (!Tirn::Http::ReadTrustedFile(path, rule, read, error)) return nullptr;
  WipedBuffer text(read.size() + 1);
  std::memcpy(text.data(), read.data(), read.size());
  std::size_t length = read.size();
  std::unique_ptr<SecretBox> box(new SecretBox());
  if (length == kKeySize) {
    std::memcpy(box->key_, text.data(), kKeySize);
    return box;
  }
  while (length > 0 && (text.data()[length - 1] == '\n' || text.data()[length - 1] == '\r')) {
    --length;
  }
  if (!Tirn::Text::DecodeHex(reinterpret_cast<char const*>(text.data()), length, box->key_,
                             kKeySize)) {
    error = "the key file " + path + " holds no key (expected 32 bytes or 64 hexadecimal digits)";
    return nullptr;
  }
  return box;
}

std::unique_ptr<SecretBox> SecretBox::CreateKeyFile(std::string const& path, std::string& error) {
  auto box = WithRandomKey(error);
  if (!box) return nullptr;
  WipedBuffer text(2 * kKeySize + 1);
  Tirn::Text::EncodeHex(box->key_, kKeySize, reinterpret_cast<char*>(text.data()));
  text.data()[2 * kKeySize] = '\n';
  int const fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
  if (fd < 0) {
    error = "cannot create the key file " + path + ": " + std::strerror(errno);
    return nullptr;
  }
  std::size_t written = 0;
  while (written < text.size()) {
    ssize_t const n = ::write(fd, text.data() + written, text.size() - written);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) break;
    written += static_cast<std::size_t>(n);
  }
  bool const ok = written == text.size() && ::fsync(fd) == 0;
  int const saved = errno;
  ::close(fd);
  if (!ok) {
    ::unlink(path.c_str());
    error = "cannot write the key file " + path + ": " + std::strerror(saved);
    return nullptr;
  }
  return box;
}

bool SecretBox::Seal(std::string const& plaintext, std::string const& associated,
                     std::string& sealed, std::string& error) const {
  sealed.assign(kNonceSize + plaintext.size() + kTagSize, '\0');
  auto* out = reinterpret_cast<unsigned char*>(&sealed[0]);
  CipherContext cipher;
  int length = 0;
  bool ok = cipher.context != nullptr && RAND_bytes(out, kNonceSize) == 1 &&
            EVP_EncryptInit_ex(cipher.context, Aes256Gcm(), nullptr, key_, out) == 1 &&
            EVP_EncryptUpdate(cipher.context, nullptr, &length, Bytes(associated),
                              static_cast<int>(associated.size())) == 1 &&
            EVP_EncryptUpdate(cipher.context, out + kNonceSize, &length, Bytes(plaintext),
                              static_cast<int>(plaintext.size())) == 1 &&
            EVP_EncryptFinal_ex(cipher.context, out + kNonceSize + length, &length) == 1 &&
            EVP_CIPHER_CTX_ctrl(cipher.context, EVP_CTRL_GCM_GET_TAG, kTagSize,
                                out + kNonceSize + plaintext.size()) == 1;
  if (!ok) {
    OPENSSL_cleanse(&sealed[0], sealed.size());
    sealed.clear();
    error = "cannot encrypt a secret";
  }
  return ok;
}

bool SecretBox::Open(std::string const& sealed, std::string const& associated,
                     Tirn::SecretString& plaintext) const {
  if (sealed.size() < kNonceSize + kTagSize) return false;
  std::size_t const size = sealed.size() - kNonceSize - kTagSize;
  auto const* in = Bytes(sealed);
  // One spare byte so that an empty secret still has a buffer to write into.
  WipedBuffer opened(size + 1);
  std::vector<unsigned char> tag(in + kNonceSize + size, in + sealed.size());
  CipherContext cipher;
  int length = 0;
  int finalLength = 0;
  bool const ok =
      cipher.context != nullptr &&
      EVP_DecryptInit_ex(cipher.context, Aes256Gcm(), nullptr, key_, in) == 1 &&
      EVP_DecryptUpdate(cipher.context, nullptr, &length, Bytes(associated),
                        static_cast<int>(associated.size())) == 1 &&
      EVP_DecryptUpdate(cipher.context, opened.data(), &length, in + kNonceSize,
                        static_cast<int>(size)) == 1 &&
      EVP_CIPHER_CTX_ctrl(cipher.context, EVP_CTRL_GCM_SET_TAG, kTagSize, tag.data()) == 1 &&
      EVP_DecryptFinal_ex(cipher.context, opened.data() + length, &finalLength) == 1;
  if (!ok) return false;
  plaintext = Tirn::SecretString(reinterpret_cast<char const*>(opened.data()), size);
  return true;
}

std::string SecretBox::Fingerprint() const {
  static char const kText[] = "tirn-server key fingerprint";
  unsigned char digest[EVP_MAX_MD_SIZE];
  unsigned int length = 0;
  if (!HMAC(EVP_sha256(), key_, kKeySize, reinterpret_cast<unsigned char const*>(kText),
            sizeof kText - 1, digest, &length) ||
      length < 16) {
    return {};
  }
  return std::string(reinterpret_cast<char const*>(digest), 16);
}

std::string SecretBox::Digest(std::string const& text) const {
  static char const kPrefix[] = "tirn-server digest\n";
  Tirn::SecretString message(kPrefix + text);  // may hold a secret: wiped when released
  unsigned char digest[EVP_MAX_MD_SIZE];
  unsigned int length = 0;
  if (!HMAC(EVP_sha256(), key_, kKeySize,
            reinterpret_cast<unsigned char const*>(message.value().data()),
            message.value().size(), digest, &length)) {
    return {};
  }
  return std::string(reinterpret_cast<char const*>(digest), length);
}

}  // namespace ServerApp
