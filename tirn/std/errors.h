// Com::Ostrel::Tirn::Std::Errors: the standard errors, as native structures.
//
// Each standard error carries a list of localizable messages. Operations declare which of
// them they may report; a server reports one as an error value or, more conveniently, as a
// native error:
//
//   result.error(Errors::MakeNativeError<Errors::NotFound>(
//       {Tirn::MakeMessage("shop.item.missing", "Item {1} is missing", id)}));
//
// A client asks what an error value is, and reads it as its native structure in one call:
//
//   if (Errors::Is<Errors::NotFound>(result.error())) ...
//   if (auto notFound = Errors::As<Errors::NotFound>(result.error())) {
//     for (auto const& message : notFound->messages) std::cout << message->Text() << "\n";
//   }
//
// InvalidArgument, InternalServerError and OperationNotFound are also what the runtime itself
// reports for rejected input, failed output and unknown operations; ServiceUnavailable and
// TimedOut are what network transports report when a server cannot be reached or a call's
// time runs out. These five pass every operation's declared-error check.
#ifndef TIRN_STD_ERRORS_H_
#define TIRN_STD_ERRORS_H_

#include <iosfwd>
#include <list>
#include <memory>
#include <string>

#include <boost/utility/string_view.hpp>

#include "tirn/data/base_native.h"
#include "tirn/data/instantiation.h"
#include "tirn/data/type_info.h"
#include "tirn/data/value_to_native_adapter.h"
#include "tirn/message/base_message.h"
#include "tirn/message/export.h"
#include "tirn/runtime/value/data_value.h"
#include "tirn/runtime/call/native_error.h"
#include "tirn/runtime/l10n/request_localizer.h"
#include "tirn/runtime/value/wire_shapes.h"
#include "tirn/std/localizable_message.h"

namespace Com {
namespace Ostrel {
namespace Tirn {
namespace Std {
namespace Errors {

// The shape every standard error shares.
struct TIRN_STD_EXPORT StandardError : ::Tirn::Data::BaseNative {
  std::list<std::shared_ptr<LocalizableMessage const>> messages;

  // The messages without their localized texts.
  std::list<::Tirn::BaseMessage> GetMessages() const;
};

#define TIRN_STD_ERROR(Name)                                                          \
  struct TIRN_STD_EXPORT Name : StandardError {                                       \
    /* Writes the error readably on one line. */                                      \
    friend TIRN_STD_EXPORT std::ostream& operator<<(std::ostream& out, Name const& error); \
    struct AdapterHelper {                                                            \
      using IsStructure = void;                                                       \
      using IsError = void;                                                           \
      static constexpr boost::string_view knownNames[] = {                            \
          ::Tirn::Data::Wire::kErrorMessages};                                        \
      template <class H>                                                              \
      static void AddFields(H& compound, Name* native) {                              \
        compound.Field(::Tirn::Data::Wire::kErrorMessages, native, &Name::messages);  \
      }                                                                               \
    };                                                                                \
  };

TIRN_STD_ERROR(AlreadyExists)
TIRN_STD_ERROR(Error)
TIRN_STD_ERROR(InvalidArgument)
TIRN_STD_ERROR(NotAllowedInCurrentState)
TIRN_STD_ERROR(NotFound)
TIRN_STD_ERROR(UnableToAllocateResource)
TIRN_STD_ERROR(Unauthenticated)
TIRN_STD_ERROR(Unauthorized)
TIRN_STD_ERROR(Unsupported)
TIRN_STD_ERROR(InternalServerError)
TIRN_STD_ERROR(OperationNotFound)
TIRN_STD_ERROR(ServiceUnavailable)
TIRN_STD_ERROR(TimedOut)
#undef TIRN_STD_ERROR

// A native error of type E carrying `messages`, ready for AsyncResult::error.
template <class E>
::Tirn::Data::NativeError MakeNativeError(std::list<::Tirn::BaseMessage> const& messages);

// A native error of type E without messages.
template <class E>
::Tirn::Data::NativeError MakeNativeError() {
  return MakeNativeError<E>(std::list<::Tirn::BaseMessage>());
}

// A native error carrying the structure `error`.
template <class E>
::Tirn::Data::NativeError MakeNativeError(std::shared_ptr<E const> error);

}  // namespace Errors
}  // namespace Std
}  // namespace Tirn
}  // namespace Ostrel
}  // namespace Com

namespace Tirn {
namespace Data {

#define TIRN_STD_ERROR_TYPE_INFO(Name)                                                  \
  template <>                                                                           \
  struct TIRN_STD_EXPORT TypeInfo<Com::Ostrel::Tirn::Std::Errors::Name> {               \
    static std::string const& name();                                                   \
    static std::shared_ptr<Com::Ostrel::Tirn::Std::Errors::Name> defaultInstance(       \
        DataValuePtr const& value);                                                     \
  };
TIRN_STD_ERROR_TYPE_INFO(AlreadyExists)
TIRN_STD_ERROR_TYPE_INFO(Error)
TIRN_STD_ERROR_TYPE_INFO(InvalidArgument)
TIRN_STD_ERROR_TYPE_INFO(NotAllowedInCurrentState)
TIRN_STD_ERROR_TYPE_INFO(NotFound)
TIRN_STD_ERROR_TYPE_INFO(UnableToAllocateResource)
TIRN_STD_ERROR_TYPE_INFO(Unauthenticated)
TIRN_STD_ERROR_TYPE_INFO(Unauthorized)
TIRN_STD_ERROR_TYPE_INFO(Unsupported)
TIRN_STD_ERROR_TYPE_INFO(InternalServerError)
TIRN_STD_ERROR_TYPE_INFO(OperationNotFound)
TIRN_STD_ERROR_TYPE_INFO(ServiceUnavailable)
TIRN_STD_ERROR_TYPE_INFO(TimedOut)
#undef TIRN_STD_ERROR_TYPE_INFO

namespace detail {
// Converts a native standard error of type E into its error value, localized.
template <class E>
std::shared_ptr<ErrorValue const> NativeStandardErrorToValue(
    void const* native, L10n::RequestLocalizer const& localizer,
    std::list<BaseMessage>& messages) {
  DataValuePtr value;
  if (!NativeToValueAdapter::Adapt(native, NativeToValueAdapter::AdaptMethod<E>::Get(), &value,
                                   messages, localizer)) {
    return nullptr;
  }
  return std::static_pointer_cast<ErrorValue const>(value);
}
}  // namespace detail

}  // namespace Data
}  // namespace Tirn

namespace Com {
namespace Ostrel {
namespace Tirn {
namespace Std {
namespace Errors {

template <class E>
::Tirn::Data::NativeError MakeNativeError(std::shared_ptr<E const> error) {
  return ::Tirn::Data::NativeError(std::move(error), typeid(E),
                                   &::Tirn::Data::detail::NativeStandardErrorToValue<E>);
}

template <class E>
::Tirn::Data::NativeError MakeNativeError(std::list<::Tirn::BaseMessage> const& messages) {
  auto error = std::make_shared<E>();
  for (auto const& message : messages) error->messages.push_back(LocalizableMessage::From(message));
  return MakeNativeError<E>(std::shared_ptr<E const>(std::move(error)));
}

// Whether `error` is the error E; a null error is no error.
template <class E>
bool Is(::Tirn::Data::ErrorValuePtr const& error) {
  return error && error->name() == ::Tirn::Data::TypeInfo<E>::name();
}

// `error` as the native structure of E, its messages with their localized texts when the
// server sent them; null when `error` is not E or cannot be read as E.
template <class E>
std::shared_ptr<E const> As(::Tirn::Data::ErrorValuePtr const& error) {
  if (!Is<E>(error)) return nullptr;
  auto native = std::make_shared<E>();
  std::list<::Tirn::BaseMessage> messages;
  if (!::Tirn::Data::ValueToNativeAdapter::Adapt(
          error, ::Tirn::Data::ValueToNativeAdapter::AdaptMethod<E>::Get(native.get()),
          native.get(), messages)) {
    return nullptr;
  }
  return native;
}

}  // namespace Errors
}  // namespace Std
}  // namespace Tirn
}  // namespace Ostrel
}  // namespace Com

TIRN_DECLARE_ERROR_ROUTINES(Com::Ostrel::Tirn::Std::Errors::AlreadyExists)
TIRN_DECLARE_ERROR_ROUTINES(Com::Ostrel::Tirn::Std::Errors::Error)
TIRN_DECLARE_ERROR_ROUTINES(Com::Ostrel::Tirn::Std::Errors::InvalidArgument)
TIRN_DECLARE_ERROR_ROUTINES(Com::Ostrel::Tirn::Std::Errors::NotAllowedInCurrentState)
TIRN_DECLARE_ERROR_ROUTINES(Com::Ostrel::Tirn::Std::Errors::NotFound)
TIRN_DECLARE_ERROR_ROUTINES(Com::Ostrel::Tirn::Std::Errors::UnableToAllocateResource)
TIRN_DECLARE_ERROR_ROUTINES(Com::Ostrel::Tirn::Std::Errors::Unauthenticated)
TIRN_DECLARE_ERROR_ROUTINES(Com::Ostrel::Tirn::Std::Errors::Unauthorized)
TIRN_DECLARE_ERROR_ROUTINES(Com::Ostrel::Tirn::Std::Errors::Unsupported)
TIRN_DECLARE_ERROR_ROUTINES(Com::Ostrel::Tirn::Std::Errors::InternalServerError)
TIRN_DECLARE_ERROR_ROUTINES(Com::Ostrel::Tirn::Std::Errors::OperationNotFound)
TIRN_DECLARE_ERROR_ROUTINES(Com::Ostrel::Tirn::Std::Errors::ServiceUnavailable)
TIRN_DECLARE_ERROR_ROUTINES(Com::Ostrel::Tirn::Std::Errors::TimedOut)

#endif  // TIRN_STD_ERRORS_H_
