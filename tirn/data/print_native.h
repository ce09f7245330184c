// Tirn::Data::PrintNative: a native structure written readably to a std::ostream.
//
// The structure is converted to its value tree and written in the tree's one-line form
// (ToDebugString): field names and values, secrets as a mask, never their text. Every
// generated structure and the standard structures have an operator<< that calls it:
//
//   std::cout << *info << "\n";   // {key_id: "k1", key_derivation_key: "******", ...}
//
// A structure that cannot be converted (a required field left empty) prints as
// "<unprintable: " followed by the identifier of the problem and ">".
#ifndef TIRN_DATA_PRINT_NATIVE_H_
#define TIRN_DATA_PRINT_NATIVE_H_

#include <list>
#include <ostream>

#include "tirn/data/native_to_value_adapter.h"
#include "tirn/message/base_message.h"
#include "tirn/runtime/value/data_value.h"
#include "tirn/runtime/l10n/request_localizer.h"

namespace Tirn {
namespace Data {

template <class T>
std::ostream& PrintNative(std::ostream& out, T const& native) {
  DataValuePtr value;
  std::list<BaseMessage> messages;
  if (!NativeToValueAdapter::Adapt(&native, NativeToValueAdapter::AdaptMethod<T>::Get(), &value,
                                   messages, L10n::RequestLocalizer())) {
    return out << "<unprintable: " << (messages.empty() ? "" : messages.front().id()) << ">";
  }
  return out << ToDebugString(value);
}

}  // namespace Data
}  // namespace Tirn

#endif  // TIRN_DATA_PRINT_NATIVE_H_
