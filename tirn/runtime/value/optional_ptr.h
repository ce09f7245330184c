// Tirn::OptionalPtr: an optional object with shared ownership.
//
// Laid out as a std::shared_ptr; empty means unset, and copies share the object. Generated
// structures hold optional structure members in it, and the provider side hands out
// streamed-result handles through it.
//
//   Tirn::OptionalPtr<Filter const> filter = Tirn::MakeOptionalPtr<Filter>();
//   if (filter) Use(*filter);
#ifndef TIRN_RUNTIME_VALUE_OPTIONAL_PTR_H_
#define TIRN_RUNTIME_VALUE_OPTIONAL_PTR_H_

#include <cstddef>
#include <memory>
#include <type_traits>
#include <utility>

namespace Tirn {

template <class T>
class OptionalPtr {
 public:
  using element_type = T;

  OptionalPtr() noexcept = default;
  OptionalPtr(std::nullptr_t) noexcept {}  // NOLINT: an empty optional converts implicitly
  OptionalPtr(std::shared_ptr<T> object) noexcept : object_(std::move(object)) {}  // NOLINT
  template <class U, class = std::enable_if_t<std::is_convertible<U*, T*>::value>>
  OptionalPtr(OptionalPtr<U> const& other) noexcept : object_(other.shared()) {}  // NOLINT
  template <class U, class = std::enable_if_t<std::is_convertible<U*, T*>::value>>
  OptionalPtr(std::shared_ptr<U> object) noexcept : object_(std::move(object)) {}  // NOLINT

  explicit operator bool() const noexcept { return static_cast<bool>(object_); }
  bool has_value() const noexcept { return static_cast<bool>(object_); }
  T* get() const noexcept { return object_.get(); }
  T& operator*() const noexcept { return *object_; }
  T* operator->() const noexcept { return object_.get(); }
  void reset() noexcept { object_.reset(); }
  // The shared pointer behind the optional (null when unset).
  std::shared_ptr<T> const& shared() const noexcept { return object_; }

  friend bool operator==(OptionalPtr const& a, std::nullptr_t) noexcept { return !a; }
  friend bool operator!=(OptionalPtr const& a, std::nullptr_t) noexcept { return !!a; }

 private:
  std::shared_ptr<T> object_;
};

// Constructs a T from `args` in one allocation with its control block.
template <class T, class... Args>
OptionalPtr<T> MakeOptionalPtr(Args&&... args) {
  return OptionalPtr<T>(std::make_shared<T>(std::forward<Args>(args)...));
}

}  // namespace Tirn

#endif  // TIRN_RUNTIME_VALUE_OPTIONAL_PTR_H_
