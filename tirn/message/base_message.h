// Tirn::BaseMessage: one localizable message.
//
// A message is a dotted identifier ("tirn.data.invalid.type"), the default English text with
// its arguments already filled in, and the arguments themselves as strings, so that a
// localizer can later render the same message in another language. Failures travel as a
// std::list<BaseMessage> supplied by the caller; an operation succeeds exactly when it added
// none.
#ifndef TIRN_MESSAGE_BASE_MESSAGE_H_
#define TIRN_MESSAGE_BASE_MESSAGE_H_

#include <list>
#include <string>
#include <utility>

#include "tirn/message/export.h"

namespace Tirn {

class TIRN_CORE_EXPORT BaseMessage {
 public:
  BaseMessage(std::string const& id, std::string const& defaultMessage,
              std::list<std::string> const& args)
      : id_(id), defaultMessage_(defaultMessage), args_(args) {}

  // The dotted message identifier.
  std::string const& id() const { return id_; }
  // The default (English) text, arguments filled in.
  std::string const& defaultMessage() const { return defaultMessage_; }
  // The string form of each argument, in argument order.
  std::list<std::string> const& args() const { return args_; }

  friend bool operator==(BaseMessage const& a, BaseMessage const& b) {
    return a.id_ == b.id_ && a.defaultMessage_ == b.defaultMessage_ && a.args_ == b.args_;
  }
  friend bool operator!=(BaseMessage const& a, BaseMessage const& b) { return !(a == b); }

 private:
  std::string id_;
  std::string defaultMessage_;
  std::list<std::string> args_;
};

using MessageList = std::list<BaseMessage>;

}  // namespace Tirn

#endif  // TIRN_MESSAGE_BASE_MESSAGE_H_
