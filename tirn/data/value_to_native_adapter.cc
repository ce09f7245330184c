#include "tirn/data/value_to_native_adapter.h"

namespace Tirn {
namespace Data {

bool ValueToNativeAdapter::Adapt(DataValuePtr const& source, Method const& root,
                                 NativePtr const& destination,
                                 std::list<BaseMessage>& messages) {
  std::size_t const before = messages.size();
  Stack stack(root);
  root(source, destination, stack, messages);
  while (!stack.entries.empty()) {
    Entry entry = std::move(stack.entries.back());
    stack.entries.pop_back();
    entry.method(entry.source, entry.destination, stack, messages);
  }
  return messages.size() == before;
}

}  // namespace Data
}  // namespace Tirn
