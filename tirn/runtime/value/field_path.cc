#include "tirn/runtime/value/field_path_internal.h"

#include <algorithm>

namespace Tirn {
namespace Data {
namespace detail {

void PathText::AddOuter(PathStep step) {
  if (count_ < kPathEnds) {
    inner_.push_back(step);
  } else {
    outer_[(count_ - kPathEnds) % kPathEnds] = step;
  }
  ++count_;
}

namespace {

void AppendStep(PathStep const& step, bool afterGap, std::string& text) {
  if (step.IsElement()) {
    text += '[' + std::to_string(step.index) + ']';
    return;
  }
  if (!text.empty() && !afterGap) text += '.';
  if (step.field.size() <= PathText::kPathNameBytes) {
    text.append(step.field.data(), step.field.size());
    return;
  }
  // Cut before a byte that continues a UTF-8 character, so that the cut keeps whole ones.
  std::size_t cut = PathText::kPathNameBytes;
  while (cut > 0 && (static_cast<unsigned char>(step.field[cut]) & 0xc0) == 0x80) --cut;
  text.append(step.field.data(), cut);
  text += "...";
}

}  // namespace

std::string PathText::str() const {
  if (count_ == 0) return "<root>";
  std::string text;
  // The outer steps, outermost (added last) first.
  std::size_t const outerCount = count_ > kPathEnds ? std::min(count_ - kPathEnds, kPathEnds) : 0;
  for (std::size_t i = 0; i < outerCount; ++i) {
    std::size_t const added = count_ - 1 - i;
    AppendStep(outer_[(added - kPathEnds) % kPathEnds], false, text);
  }
  bool const elided = count_ > 2 * kPathEnds;
  if (elided) text += "...";
  for (std::size_t i = inner_.size(); i-- > 0;) {
    AppendStep(inner_[i], elided && i + 1 == inner_.size(), text);
  }
  return text;
}

std::string PathToSlot(DataValuePtr const* root, DataValuePtr const* slot) {
  if (!root || slot == root || !*root) return "<root>";
  // Every value met so far with the step that leads to it from its parent; an optional's
  // content takes no step of its own.
  struct Node {
    DataValue const* value;
    std::size_t parent;
    bool hasStep;
    PathStep step;
    AncestorMark mark;
  };
  constexpr std::size_t kNone = static_cast<std::size_t>(-1);
  std::vector<Node> nodes;
  std::vector<std::size_t> pending;
  AncestorMark rootMark;
  (void)AncestorMark().Down(root->get(), rootMark);
  nodes.push_back({root->get(), kNone, false, PathStep(), rootMark});
  pending.push_back(0);

  std::string found;
  auto const visit = [&](std::size_t parent, DataValuePtr const& child, bool hasStep,
                         PathStep step) {
    if (&child == slot) {
      PathText path;
      if (hasStep) path.AddOuter(step);
      for (std::size_t at = parent; nodes[at].parent != kNone; at = nodes[at].parent) {
        if (nodes[at].hasStep) path.AddOuter(nodes[at].step);
      }
      found = path.str();
      return true;
    }
    AncestorMark mark;
    if (child && child->GetType().HoldsOthers() && nodes[parent].mark.Down(child.get(), mark)) {
      nodes.push_back({child.get(), parent, hasStep, step, mark});
      pending.push_back(nodes.size() - 1);
    }
    return false;
  };

  while (!pending.empty()) {
    std::size_t const at = pending.back();
    pending.pop_back();
    DataValue const& value = *nodes[at].value;
    switch (value.GetType().kind()) {
      case DataType::ERROR:
      case DataType::STRUCTURE:
      case DataType::DYNAMIC_STRUCTURE:
        for (auto const& field : static_cast<CompoundValue const&>(value).fields()) {
          if (visit(at, field.second, true, PathStep::Field(field.first))) return found;
        }
        break;
      case DataType::LIST: {
        auto const& elements = static_cast<ListValue const&>(value).elements();
        for (std::size_t i = 0; i < elements.size(); ++i) {
          if (visit(at, elements[i], true, PathStep::Element(i))) return found;
        }
        break;
      }
      case DataType::OPTIONAL:
        if (visit(at, static_cast<OptionalValue const&>(value).value(), false, PathStep())) {
          return found;
        }
        break;
      default:
        break;
    }
  }
  return "<root>";
}

}  // namespace detail
}  // namespace Data
}  // namespace Tirn
