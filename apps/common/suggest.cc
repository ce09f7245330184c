#include "apps/common/suggest.h"

#include <algorithm>
#include <cctype>
#include <numeric>

namespace Apps {

namespace {

constexpr std::size_t kLongestName = 64;

bool SameLetter(char a, char b) {
  return std::tolower(static_cast<unsigned char>(a)) == std::tolower(static_cast<unsigned char>(b));
}

// Edits between `a` and `b`, ignoring case, two neighbours swapped counting as one: the table
// is kept three rows at a time.
std::size_t Distance(std::string const& a, std::string const& b) {
  std::vector<std::size_t> before(b.size() + 1), previous(b.size() + 1), row(b.size() + 1);
  std::iota(previous.begin(), previous.end(), std::size_t{0});
  for (std::size_t i = 1; i <= a.size(); ++i) {
    row[0] = i;
    for (std::size_t j = 1; j <= b.size(); ++j) {
      bool const same = SameLetter(a[i - 1], b[j - 1]);
      row[j] = std::min({previous[j] + 1, row[j - 1] + 1, previous[j - 1] + (same ? 0 : 1)});
      if (i > 1 && j > 1 && SameLetter(a[i - 1], b[j - 2]) && SameLetter(a[i - 2], b[j - 1])) {
        row[j] = std::min(row[j], before[j - 2] + 1);
      }
    }
    std::swap(before, previous);
    std::swap(previous, row);
  }
  return previous[b.size()];
}

}  // namespace

std::string Closest(std::string const& wrong, std::vector<std::string> const& known) {
  if (wrong.empty() || wrong.size() > kLongestName) return {};
  std::string best;
  std::size_t bestDistance = 0;
  for (auto const& name : known) {
    if (name.size() > kLongestName) continue;
    std::size_t const distance = Distance(wrong, name);
    std::size_t const allowed = std::max<std::size_t>(1, std::max(wrong.size(), name.size()) / 3);
    if (distance == 0 || distance > allowed) continue;
    if (best.empty() || distance < bestDistance) {
      best = name;
      bestDistance = distance;
    }
  }
  return best;
}

std::string DidYouMean(std::string const& wrong, std::vector<std::string> const& known) {
  std::string const closest = Closest(wrong, known);
  return closest.empty() ? std::string() : " (did you mean " + closest + "?)";
}

}  // namespace Apps
