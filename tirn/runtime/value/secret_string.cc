#include "tirn/runtime/value/secret_string.h"

#include <string.h>

#include <ostream>

namespace Tirn {

namespace Detail {
void SecureZero(void* data, std::size_t size) noexcept {
  if (size != 0) explicit_bzero(data, size);
}
}  // namespace Detail

SecretString::SecretString(std::string&& value) : value_(value) {
  Detail::SecureZero(&value[0], value.capacity() + 1);
  value.clear();
}

SecretString::SecretString(SecretString&& other) noexcept : value_(other.value_) {
  // A moved std::string may leave its short-string bytes behind; copy, then wipe the source.
  other.clear();
}

SecretString& SecretString::operator=(SecretString const& other) {
  if (this != &other) {
    Wipe();
    value_.assign(other.value_);
  }
  return *this;
}

SecretString& SecretString::operator=(SecretString&& other) noexcept {
  if (this != &other) {
    Wipe();
    value_.assign(other.value_);
    other.clear();
  }
  return *this;
}

void SecretString::clear() noexcept {
  Wipe();
  value_.clear();
}

void SecretString::Wipe() noexcept {
  // capacity() excludes the terminator; wipe it too so no byte of the text survives.
  Detail::SecureZero(&value_[0], value_.capacity() + 1);
}

std::ostream& operator<<(std::ostream& out, SecretString const&) { return out << SecretString::kMask; }

}  // namespace Tirn
