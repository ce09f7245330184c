// Com::Ostrel::Tirn::Std::LocalizableMessage: a message as it travels on the wire.
//
// The native form of a localizable message: its identifier, its default English text, its
// arguments and, when the receiver's language is known and a catalog has it, the localized
// text. Converted to a value, a message whose localized text is unset is localized with the
// localizer of the conversion (the request localizer of the call).
//
//   auto message = LocalizableMessage::From(Tirn::MakeMessage("shop.item.missing",
//                                                              "Item {1} is missing", id));
#ifndef TIRN_STD_LOCALIZABLE_MESSAGE_H_
#define TIRN_STD_LOCALIZABLE_MESSAGE_H_

#include <iosfwd>
#include <list>
#include <memory>
#include <string>

#include <boost/optional/optional.hpp>
#include <boost/utility/string_view.hpp>

#include "tirn/data/base_native.h"
#include "tirn/data/enumeration.h"
#include "tirn/data/instantiation.h"
#include "tirn/data/type_info.h"
#include "tirn/message/base_message.h"
#include "tirn/message/export.h"
#include "tirn/runtime/value/wire_shapes.h"

namespace Com {
namespace Ostrel {
namespace Tirn {
namespace Std {

struct TIRN_STD_EXPORT LocalizableMessage : ::Tirn::Data::BaseNative {
  std::string id;
  std::string default_message;
  std::list<std::string> args;
  boost::optional<std::string> localized;

  // The wire form of a message built with Tirn::MakeMessage or Tirn::Message<CoreTag>.
  static std::shared_ptr<LocalizableMessage const> From(::Tirn::BaseMessage const& message);
  // The message without its localized text.
  ::Tirn::BaseMessage ToBaseMessage() const;
  // The text to show: the localized text when the message has one, otherwise the default
  // (English) text.
  std::string const& Text() const { return localized ? *localized : default_message; }

  friend bool operator==(LocalizableMessage const& a, LocalizableMessage const& b) {
    return a.id == b.id && a.default_message == b.default_message && a.args == b.args &&
           a.localized == b.localized && ::Tirn::Data::EqualUnknownFields(a, b);
  }
  friend bool operator!=(LocalizableMessage const& a, LocalizableMessage const& b) {
    return !(a == b);
  }
  // Writes the message readably on one line.
  friend TIRN_STD_EXPORT std::ostream& operator<<(std::ostream& out,
                                                  LocalizableMessage const& message);

  struct AdapterHelper {
    using IsStructure = void;
    static constexpr boost::string_view knownNames[] = {
        ::Tirn::Data::Wire::kMessageArgs, ::Tirn::Data::Wire::kMessageDefaultText,
        ::Tirn::Data::Wire::kMessageId, ::Tirn::Data::Wire::kMessageLocalized};
    static_assert(::Tirn::Data::AreNamesSorted(knownNames), "known names must be sorted");

    template <class H>
    static void AddFields(H& compound, LocalizableMessage* native) {
      compound.Field(::Tirn::Data::Wire::kMessageId, native, &LocalizableMessage::id);
      compound.Field(::Tirn::Data::Wire::kMessageDefaultText, native,
                     &LocalizableMessage::default_message);
      compound.Field(::Tirn::Data::Wire::kMessageArgs, native, &LocalizableMessage::args);
      compound.Field(::Tirn::Data::Wire::kMessageLocalized, native,
                     &LocalizableMessage::localized);
    }
  };
};

}  // namespace Std
}  // namespace Tirn
}  // namespace Ostrel
}  // namespace Com

namespace Tirn {
namespace Data {

template <>
struct TIRN_STD_EXPORT TypeInfo<Com::Ostrel::Tirn::Std::LocalizableMessage> {
  static std::string const& name();
  static std::shared_ptr<Com::Ostrel::Tirn::Std::LocalizableMessage> defaultInstance(
      DataValuePtr const& value);
};

// Converted to a value, a message without a localized text is localized with the run's
// request localizer.
template <>
struct TIRN_STD_EXPORT NativeToValueAdapter::AdaptMethod<Com::Ostrel::Tirn::Std::LocalizableMessage> {
  static Method Get(Com::Ostrel::Tirn::Std::LocalizableMessage const* = nullptr);
};

}  // namespace Data
}  // namespace Tirn

TIRN_DECLARE_ROUTINES(Com::Ostrel::Tirn::Std::LocalizableMessage)

#endif  // TIRN_STD_LOCALIZABLE_MESSAGE_H_
