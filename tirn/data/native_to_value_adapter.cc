#include "tirn/data/native_to_value_adapter.h"

#include "tirn/runtime/value/field_path_internal.h"

namespace Tirn {
namespace Data {

bool NativeToValueAdapter::Adapt(NativeConstPtr const& source, Method const& root,
                                 DataValuePtr* const& destination,
                                 std::list<BaseMessage>& messages,
                                 L10n::RequestLocalizer const& localizer) {
  std::size_t const before = messages.size();
  Stack stack(localizer, root);
  // The slot being filled when a routine failed: its place in the tree built so far is the
  // failure's path, looked up only then.
  DataValuePtr const* failedSlot = destination;
  root(source, destination, stack, messages);
  while (!stack.entries.empty() && messages.size() == before) {
    Entry entry = stack.entries.back();
    stack.entries.pop_back();
    failedSlot = entry.destination;
    entry.method(entry.source, entry.destination, stack, messages);
  }
  if (messages.size() == before) return true;
  messages.push_back(
      Message<CoreTag>(MessageIds::kAtPath, detail::PathToSlot(destination, failedSlot)));
  return false;
}

}  // namespace Data
}  // namespace Tirn
