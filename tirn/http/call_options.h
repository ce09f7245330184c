// Typed access to what a call's activation carries for the HTTP transport, instead of the
// text entries of its execution context.
//
//   auto activation = std::make_shared<Tirn::Core::AsyncActivation>();
//   Tirn::Http::SetDeadline(activation, std::chrono::milliseconds(300));
//   stub.Get("vault", activation, result);   // timed_out if no answer within 300 ms
//
// On the server, the activation an implementation receives carries what the caller still
// waited when its request arrived: Tirn::Http::Deadline(*activation).
#ifndef TIRN_HTTP_CALL_OPTIONS_H_
#define TIRN_HTTP_CALL_OPTIONS_H_

#include <chrono>
#include <memory>

#include <boost/optional.hpp>

#include "tirn/http/protocol.h"
#include "tirn/runtime/call/activation.h"

namespace Tirn {
namespace Http {

// Gives calls made with `activation` a time limit, from when each leaves: the client provider
// sends it to the server and answers timed_out when it passes. Limits below 1 ms count as
// 1 ms. Makes the activation's execution context when it has none; a null activation is
// left alone. Not safe while a call with the same activation is being started.
TIRN_HTTP_EXPORT void SetDeadline(std::shared_ptr<Core::AsyncActivation> const& activation,
                                  std::chrono::milliseconds limit);

// The time limit `activation` carries, or none (then the client's default applies).
TIRN_HTTP_EXPORT boost::optional<std::chrono::milliseconds> Deadline(
    Core::AsyncActivation const& activation);

}  // namespace Http
}  // namespace Tirn

#endif  // TIRN_HTTP_CALL_OPTIONS_H_
