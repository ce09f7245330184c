// Tirn::Data::NativeError: a standard error reported as a native structure.
//
// A server implementation may report an error as a native standard error structure (for
// example Com::Ostrel::Tirn::Std::Errors::NotFound with its messages) instead of an error
// value. NativeError carries such a structure, type-erased, together with the routine that
// turns it into an error value; the standard bindings (tirn/std/native_error_helper.h) make
// them with MakeNativeError and convert them, localized, with NativeErrorHelper::GetError.
#ifndef TIRN_RUNTIME_CALL_NATIVE_ERROR_H_
#define TIRN_RUNTIME_CALL_NATIVE_ERROR_H_

#include <list>
#include <memory>
#include <string>
#include <typeinfo>

#include "tirn/message/base_message.h"
#include "tirn/message/export.h"
#include "tirn/runtime/value/data_value.h"
#include "tirn/runtime/l10n/request_localizer.h"

namespace Tirn {
namespace Data {

class TIRN_CORE_EXPORT NativeError {
 public:
  // Converts the native structure at `native` into an error value, localizing its messages
  // with `localizer`; appends messages and returns null when it cannot.
  using Converter = std::shared_ptr<ErrorValue const> (*)(void const* native,
                                                          L10n::RequestLocalizer const& localizer,
                                                          std::list<BaseMessage>& messages);

  NativeError(std::shared_ptr<void const> native, std::type_info const& type, Converter convert)
      : native_(std::move(native)), type_(&type), convert_(convert) {}

  // The native structure, if it is an E; null otherwise.
  template <class E>
  E const* As() const {
    return *type_ == typeid(E) ? static_cast<E const*>(native_.get()) : nullptr;
  }

  // The error value of the native structure, messages localized with `localizer`.
  std::shared_ptr<ErrorValue const> ToValue(L10n::RequestLocalizer const& localizer,
                                            std::list<BaseMessage>& messages) const {
    return convert_(native_.get(), localizer, messages);
  }

 private:
  std::shared_ptr<void const> native_;
  std::type_info const* type_;
  Converter convert_;
};

}  // namespace Data
}  // namespace Tirn

#endif  // TIRN_RUNTIME_CALL_NATIVE_ERROR_H_
