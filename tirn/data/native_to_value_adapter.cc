#include "tirn/data/native_to_value_adapter.h"

namespace Tirn {
namespace Data {

bool NativeToValueAdapter::Adapt(NativeConstPtr const& source, Method const& root,
                                 DataValuePtr* const& destination,
                                 std::list<BaseMessage>& messages,
                                 L10n::RequestLocalizer const& localizer) {
  std::size_t const before = messages.size();
  Stack stack(localizer, root);
  root(source, destination, stack, messages);
  while (!stack.entries.empty()) {
    Entry entry = stack.entries.back();
    stack.entries.pop_back();
    entry.method(entry.source, entry.destination, stack, messages);
  }
  return messages.size() == before;
}

}  // namespace Data
}  // namespace Tirn
