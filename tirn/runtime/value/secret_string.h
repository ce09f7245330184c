// Tirn::SecretString: text that must not leak.
//
// A secret's characters are wiped (in a way the optimiser cannot remove) whenever the object
// lets go of them: on destruction, on assignment and when moved from. Nothing in the library
// prints, logs or copies a secret into a message; the stream operator writes a fixed mask.
//
//   Tirn::SecretString key("hunter2");
//   UseKey(key.value());   // the only way to read it
#ifndef TIRN_RUNTIME_VALUE_SECRET_STRING_H_
#define TIRN_RUNTIME_VALUE_SECRET_STRING_H_

#include <cstddef>
#include <iosfwd>
#include <string>

#include "tirn/message/export.h"

namespace Tirn {

class TIRN_CORE_EXPORT SecretString {
 public:
  SecretString() = default;
  // Copies the text; the caller's string stays the caller's to protect.
  explicit SecretString(std::string const& value) : value_(value) {}
  // Takes the text and wipes the string it came from, inline bytes and spare capacity included.
  explicit SecretString(std::string&& value);
  explicit SecretString(char const* value) : value_(value) {}
  SecretString(char const* data, std::size_t size) : value_(data, size) {}
  SecretString(SecretString const& other) : value_(other.value_) {}
  SecretString(SecretString&& other) noexcept;
  SecretString& operator=(SecretString const& other);
  SecretString& operator=(SecretString&& other) noexcept;
  ~SecretString() { Wipe(); }

  // The secret text. Copies made by the caller are the caller's to protect.
  std::string const& value() const { return value_; }
  bool empty() const { return value_.empty(); }
  std::size_t size() const { return value_.size(); }

  // Wipes and empties the secret.
  void clear() noexcept;

  friend bool operator==(SecretString const& a, SecretString const& b) {
    return a.value_ == b.value_;
  }
  friend bool operator!=(SecretString const& a, SecretString const& b) { return !(a == b); }
  friend bool operator<(SecretString const& a, SecretString const& b) {
    return a.value_ < b.value_;
  }

  // Writes a fixed mask, never the text.
  friend TIRN_CORE_EXPORT std::ostream& operator<<(std::ostream& out, SecretString const&);

  // The mask printed in place of any secret.
  static constexpr char const* kMask = "<secret>";

 private:
  // Overwrites the whole buffer, including spare capacity, with zeros.
  void Wipe() noexcept;

  std::string value_;
};

namespace Detail {
// Zeroes [data, data + size) so that the compiler cannot elide the stores.
TIRN_CORE_EXPORT void SecureZero(void* data, std::size_t size) noexcept;
}  // namespace Detail

}  // namespace Tirn

#endif  // TIRN_RUNTIME_VALUE_SECRET_STRING_H_
