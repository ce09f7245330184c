// Field paths in messages: the text that names where in a value tree a problem is
// ("spec.native_spec.key_id", "filter.address[1]", "<root>" for the value itself). Validation,
// the conversion engines and the JSON library build every path they report here, so paths read
// the same everywhere. Not installed.
#ifndef TIRN_RUNTIME_VALUE_FIELD_PATH_INTERNAL_H_
#define TIRN_RUNTIME_VALUE_FIELD_PATH_INTERNAL_H_

#include <array>
#include <cstddef>
#include <string>
#include <vector>

#include <boost/utility/string_view.hpp>

#include "tirn/message/export.h"
#include "tirn/runtime/value/data_value.h"

namespace Tirn {
namespace Data {
namespace detail {

// One step down a value tree: into the field `field`, or, when `field` has no data, into the
// element `index` of a list.
struct PathStep {
  boost::string_view field;
  std::size_t index = 0;

  static PathStep Field(boost::string_view name) { return {name.data() ? name : "", 0}; }
  static PathStep Element(std::size_t index) { return {boost::string_view(), index}; }
  bool IsElement() const { return field.data() == nullptr; }
};

// The text of a path given its steps from the innermost outwards, as a problem's place is
// found by walking up from it. What a message repeats is bounded whatever the tree: a path of
// more than 2 * kPathEnds steps keeps its kPathEnds outermost and kPathEnds innermost steps
// with "..." between them ("next.next...next.id"), and a field name longer than
// kPathNameBytes bytes keeps its first bytes (whole UTF-8 characters) followed by "...".
class TIRN_CORE_EXPORT PathText {
 public:
  static constexpr std::size_t kPathEnds = 8;
  static constexpr std::size_t kPathNameBytes = 64;

  // Adds the step just above those added so far.
  void AddOuter(PathStep step);
  // The path, outermost step first; "<root>" when no step was added.
  std::string str() const;

 private:
  std::vector<PathStep> inner_;                // the first steps added: the innermost ones
  std::array<PathStep, kPathEnds> outer_{};    // the latest steps added, a ring
  std::size_t count_ = 0;
};

// The path of `slot` in the tree below `*root`: a field, element or optional-content slot of
// some value in it, or `root` itself ("<root>"). Searches the whole tree, so it is meant for
// failures only; a slot that is not found gives "<root>" too.
std::string PathToSlot(DataValuePtr const* root, DataValuePtr const* slot);

}  // namespace detail
}  // namespace Data
}  // namespace Tirn

#endif  // TIRN_RUNTIME_VALUE_FIELD_PATH_INTERNAL_H_
