// Tirn::Progress: how far a call has come.
//
// Three 64-bit integers passed through opaquely: a lower bound, an upper bound and the current
// position. A progress whose upper bound equals its current position is final; the library's
// own final deliveries carry (0, 1, 1).
#ifndef TIRN_RUNTIME_CALL_PROGRESS_H_
#define TIRN_RUNTIME_CALL_PROGRESS_H_

#include <cstdint>

namespace Tirn {

struct Progress {
  std::int64_t minimum = 0;
  std::int64_t maximum = 0;
  std::int64_t current = 0;

  constexpr Progress() = default;
  constexpr Progress(std::int64_t minimumValue, std::int64_t maximumValue,
                     std::int64_t currentValue)
      : minimum(minimumValue), maximum(maximumValue), current(currentValue) {}

  // The progress of a final delivery.
  static constexpr Progress Final() { return Progress(0, 1, 1); }
  // Whether this progress marks the final delivery.
  constexpr bool IsFinal() const { return maximum == current; }

  friend constexpr bool operator==(Progress const& a, Progress const& b) {
    return a.minimum == b.minimum && a.maximum == b.maximum && a.current == b.current;
  }
  friend constexpr bool operator!=(Progress const& a, Progress const& b) { return !(a == b); }
};

}  // namespace Tirn

#endif  // TIRN_RUNTIME_CALL_PROGRESS_H_
