// How both record stores keep what they hold: a record's structures as JSON (fields this
// server does not know included), and the associated data a provider's sealed key is bound to.
#ifndef APPS_SERVER_RECORD_FORM_H_
#define APPS_SERVER_RECORD_FORM_H_

#include <list>
#include <memory>
#include <string>

#include "tirn/json/json.h"
#include "tirn/message/base_message.h"

namespace ServerApp {
namespace detail {

// What a provider's key-derivation key is sealed bound to: moved to another record, it no
// longer opens.
inline std::string ProviderBinding(std::string const& id) { return "provider:" + id; }

// A native structure as JSON.
template <class T>
bool StoreJson(std::shared_ptr<T const> const& native, std::string& text, std::string& error) {
  std::list<Tirn::BaseMessage> messages;
  if (native && Tirn::Json::ToJson(*native, &text, messages)) return true;
  error = "cannot write a record as JSON";
  return false;
}

// The structure StoreJson wrote for the record `id`; false when the text is damaged.
template <class T>
bool LoadJson(std::string const& text, std::shared_ptr<T const>& native, std::string& error,
              std::string const& id) {
  auto loaded = std::make_shared<T>();
  std::list<Tirn::BaseMessage> messages;
  if (!Tirn::Json::FromJson(text, loaded.get(), messages)) {
    error = "the stored record " + id + " is damaged";
    return false;
  }
  native = std::move(loaded);
  return true;
}

}  // namespace detail
}  // namespace ServerApp

#endif  // APPS_SERVER_RECORD_FORM_H_
