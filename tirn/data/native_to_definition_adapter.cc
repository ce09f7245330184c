#include "tirn/data/native_to_definition_adapter.h"

namespace Tirn {
namespace Data {

void NativeToDefinitionAdapter::Adapt(Method const& routine,
                                      DataDefinitionPtr* const& destination,
                                      std::list<BaseMessage> const& messages) {
  Stack stack;
  routine(SrcType{}, destination, stack, messages);
  while (!stack.entries.empty()) {
    Entry entry = std::move(stack.entries.back());
    stack.entries.pop_back();
    entry.method(entry.source, entry.destination, stack, messages);
  }
}

void NativeToDefinitionAdapter::ResolveMethod(SrcType const& source, DataDefinitionPtr* const&,
                                              Stack& stack, std::list<BaseMessage> const&) {
  auto const found = stack.GetDef(source.typeKey);
  source.structRef->SetTarget(
      std::dynamic_pointer_cast<StructDefinition const>(found.first));
}

void NativeToDefinitionAdapter::SetEndMethod(SrcType const& source,
                                             DataDefinitionPtr* const& destination, Stack&,
                                             std::list<BaseMessage> const&) {
  *destination = ListDefinition::GetSetInstance(*source.element);
}

}  // namespace Data
}  // namespace Tirn
