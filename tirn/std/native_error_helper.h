// Tirn::Data::NativeErrorHelper: the error a server's report stands for, localized.
//
// A server reports an error either as an error value or as a native standard error
// (tirn/std/errors.h). GetError turns either into the error value to send, with every message
// that has a text in the caller's language carrying it, so that clients read errors in their
// language.
#ifndef TIRN_STD_NATIVE_ERROR_HELPER_H_
#define TIRN_STD_NATIVE_ERROR_HELPER_H_

#include <memory>

#include <boost/optional/optional.hpp>

#include "tirn/message/export.h"
#include "tirn/runtime/value/data_value.h"
#include "tirn/runtime/call/native_error.h"
#include "tirn/runtime/l10n/request_localizer.h"

namespace Tirn {
namespace Data {

struct TIRN_STD_EXPORT NativeErrorHelper {
  // The error to report: `error` localized when it is set, otherwise the error value of
  // `nativeError` (localized), otherwise null. A native error that cannot be converted becomes
  // an internal server error carrying the conversion's messages.
  static std::shared_ptr<ErrorValue const> GetError(
      std::shared_ptr<ErrorValue const> const& error,
      boost::optional<NativeError> const& nativeError, L10n::RequestLocalizer const& localizer);

  // `error` with a localized text added to each of its messages that has none and for which
  // the localizer has a text; `error` itself when nothing changes.
  static std::shared_ptr<ErrorValue const> Localize(std::shared_ptr<ErrorValue const> const& error,
                                                    L10n::RequestLocalizer const& localizer);
};

}  // namespace Data
}  // namespace Tirn

#endif  // TIRN_STD_NATIVE_ERROR_HELPER_H_
