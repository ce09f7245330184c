#include "tirn/data/value_to_native_adapter.h"

#include "tirn/runtime/value/field_path_internal.h"

namespace Tirn {
namespace Data {

bool ValueToNativeAdapter::Run(DataValuePtr const& source, Method const& root,
                               NativePtr const& destination, std::list<BaseMessage>& messages,
                               std::vector<V2N_internal::PathLabel>& failedAt) {
  std::size_t const before = messages.size();
  Stack stack(root);
  // Where the entry being run sits: its stack position, and how many frames enclose it.
  std::size_t position = 0;
  std::size_t enclosing = 0;
  root(source, destination, stack, messages);
  while (!stack.entries.empty() && messages.size() == before) {
    Entry entry = std::move(stack.entries.back());
    stack.entries.pop_back();
    position = stack.entries.size();
    // Frames whose members all ran are done.
    while (!stack.frames.empty() && stack.frames.back().base > position) {
      if (stack.frames.back().firstName != V2N_internal::StackMapCnt::Frame::kList) {
        stack.names.resize(stack.frames.back().firstName);
      }
      stack.frames.pop_back();
    }
    enclosing = stack.frames.size();
    entry.method(entry.source, entry.destination, stack, messages);
  }
  if (messages.size() == before) return true;

  // The failing entry's path: what failed below it, then its own label in the innermost frame
  // around it, then each frame's label in the frame around that one.
  failedAt = std::move(stack.failedBelow);
  for (std::size_t i = enclosing; i-- > 0;) {
    V2N_internal::StackMapCnt::Frame const& frame = stack.frames[i];
    if (position < frame.base) break;  // not one of its members: nothing to name it by
    std::size_t const member = position - frame.base;
    if (frame.firstName == V2N_internal::StackMapCnt::Frame::kList) {
      // The list's cursor has moved past the element that failed.
      failedAt.push_back({nullptr, frame.next - 1});
    } else if (frame.firstName + member < stack.names.size()) {
      failedAt.push_back({stack.names[frame.firstName + member], 0});
    }
    // The frame's owner was run at the position where its first member went.
    position = frame.base;
  }
  return false;
}

bool ValueToNativeAdapter::Adapt(DataValuePtr const& source, Method const& root,
                                 NativePtr const& destination,
                                 std::list<BaseMessage>& messages) {
  std::vector<V2N_internal::PathLabel> failedAt;
  if (Run(source, root, destination, messages, failedAt)) return true;
  detail::PathText path;
  for (V2N_internal::PathLabel const& label : failedAt) {
    path.AddOuter(label.field ? detail::PathStep::Field(label.field)
                              : detail::PathStep::Element(label.index));
  }
  messages.push_back(Message<CoreTag>(MessageIds::kAtPath, path.str()));
  return false;
}

}  // namespace Data
}  // namespace Tirn
