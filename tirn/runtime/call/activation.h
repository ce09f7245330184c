// The activation of one call: its execution context, properties and request localizer.
//
// Every call carries an AsyncActivation. The in-process provider and the stubs give each call
// its own copy (ForCall), with a deep copy of the execution context, exactly as a network
// transport would deliver a fresh one.
//
//   auto activation = std::make_shared<Tirn::Core::AsyncActivation>();
//   activation->requestLocalizer.localeSpec =
//       std::make_shared<Tirn::L10n::LocaleSpec const>("de-DE", "C", "Europe/Berlin");
#ifndef TIRN_RUNTIME_CALL_ACTIVATION_H_
#define TIRN_RUNTIME_CALL_ACTIVATION_H_

#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <string>

#include <boost/optional/optional.hpp>

#include "tirn/message/export.h"
#include "tirn/runtime/l10n/request_localizer.h"

namespace Tirn {
namespace Core {

// A value together with an optional companion (for example a text and its source).
template <class T, class U>
struct WrapT {
  T value;
  U extra;

  friend bool operator==(WrapT const& a, WrapT const& b) {
    return a.value == b.value && a.extra == b.extra;
  }
};

// One security credential: its scheme and its attributes.
struct SecurityContextEntry {
  std::string scheme;
  std::map<std::string, std::string> attributes;

  friend bool operator==(SecurityContextEntry const& a, SecurityContextEntry const& b) {
    return a.scheme == b.scheme && a.attributes == b.attributes;
  }
};

// A credential with the text it came from, its properties and an optional delegated one.
struct SecurityContextWrappedEntry {
  SecurityContextEntry entry;
  std::string text;
  std::map<std::string, std::string> properties;
  boost::optional<SecurityContextEntry> delegated;

  friend bool operator==(SecurityContextWrappedEntry const& a,
                         SecurityContextWrappedEntry const& b) {
    return a.entry == b.entry && a.text == b.text && a.properties == b.properties &&
           a.delegated == b.delegated;
  }
};

// What travels with a call besides its input: application data and security context.
struct ExecutionContext {
  std::map<std::string, WrapT<std::string, boost::optional<std::string>>> applicationData;
  std::map<std::string, SecurityContextWrappedEntry> securityContext;

  friend bool operator==(ExecutionContext const& a, ExecutionContext const& b) {
    return a.applicationData == b.applicationData && a.securityContext == b.securityContext;
  }
};

// What every transport puts in an activation the same way, so that an implementation reads it
// without knowing how its call arrived.
namespace ContextKeys {
// Security context: the caller's identity, when the server knows it; its `text` names the
// caller.
inline constexpr char kCaller[] = "tirn.caller";
// Application data: the key a caller gives a call so that trying the call again does not do
// it twice. Keys are the caller's own: two callers may use the same one.
// (Names of these keys are kept within 15 characters, which a std::string holds without an
// allocation.)
inline constexpr char kIdempotencyKey[] = "tirn.idem_key";
// Property: set to "true" by an implementation before it answers, when its answer repeats the
// one it gave before to the same idempotency key and nothing was done this time.
inline constexpr char kReplayed[] = "tirn.replayed";
}  // namespace ContextKeys

struct TIRN_CORE_EXPORT AsyncActivation {
  std::shared_ptr<ExecutionContext> executionContext;
  // Opaque per-call state of the transport.
  std::shared_ptr<void> transportState;
  std::map<std::string, std::string> properties;
  L10n::RequestLocalizer requestLocalizer;
  // Asks the call to stop; and whether it was asked to.
  std::function<void()> cancel;
  std::function<bool()> isCancelled;
  // Per-call flags of the transport; a copy made for a call starts at 0.
  std::int32_t flags = 0;

  // The localizer for error messages: this activation's localizer and locale specification
  // when both are set and the localizer is not empty, otherwise the default one.
  L10n::RequestLocalizer GetErrorRequestLocalizer() const;

  // A copy for one call: member by member, except that the execution context is deep-copied
  // (a default one is created when there is none) and the flags start at 0.
  std::shared_ptr<AsyncActivation> ForCall() const;
};

}  // namespace Core
}  // namespace Tirn

#endif  // TIRN_RUNTIME_CALL_ACTIVATION_H_
