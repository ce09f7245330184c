// The HTTP form of calls, shared by Tirn::Http::Server and Tirn::Http::ClientProvider and
// described for people in docs/protocol.md.
//
// One call is one POST to OperationPath(interface, operation) with the input structure as a
// JSON object (docs/json.md). A value answer is 200 with the output as JSON; an error answer
// has the status StatusForError(name) and the body {"error": "<name>", "value": {...}}. A
// client that accepts kStreamType receives each progress report as a line
// {"progress": {"minimum": 0, "maximum": 10, "current": 3}}, then one final line,
// {"output": ...} or {"error": ..., "value": ...}.
#ifndef TIRN_HTTP_PROTOCOL_H_
#define TIRN_HTTP_PROTOCOL_H_

#include <cstddef>
#include <string>

#include "tirn/message/export.h"
#include "tirn/runtime/call/activation.h"

#define TIRN_HTTP_EXPORT TIRN_VISIBLE

namespace Tirn {
namespace Http {

inline constexpr char kPathPrefix[] = "/v1/";
inline constexpr char kHealthPath[] = "/healthz";
// The OpenAPI document of the operations served (GET).
inline constexpr char kOpenApiPath[] = "/v1/openapi.json";
// Every operation served with its definitions and annotations (GET), in the JSON form of
// tirn/json/definition.h.
inline constexpr char kOperationsPath[] = "/v1/operations";
inline constexpr char kJsonType[] = "application/json";
// Newline-delimited JSON: progress frames, then the final frame.
inline constexpr char kStreamType[] = "application/x-ndjson";

// Echoed in every answer and in the access log; the client makes one when the caller has
// none.
inline constexpr char kRequestIdHeader[] = "X-Request-Id";
// The caller's time zone ("Europe/Berlin"); the language preference travels as
// Accept-Language.
inline constexpr char kTimeZoneHeader[] = "X-Tirn-Time-Zone";
// The milliseconds the caller still waits for the answer.
inline constexpr char kTimeoutHeader[] = "X-Tirn-Timeout-Ms";
// The call's idempotency key (execution-context key Core::ContextKeys::kIdempotencyKey): 1 to
// kIdempotencyKeyLimit visible ASCII characters. The client sends one with every call, the
// same on every attempt of it.
inline constexpr char kIdempotencyKeyHeader[] = "Idempotency-Key";
inline constexpr std::size_t kIdempotencyKeyLimit = 128;
// "true" on an answer that repeats the one given before to the call's idempotency key
// (property Core::ContextKeys::kReplayed): nothing was done this time.
inline constexpr char kReplayedHeader[] = "Idempotent-Replayed";

// The execution-context key (application data) of a call's time limit in milliseconds, as
// decimal text. A client reads it from the caller's activation; a server writes it into the
// activation it gives the implementation.
inline constexpr char kTimeoutKey[] = "tirn.timeout_ms";
// The execution-context key (application data) of the call's request id: the client sends it
// as kRequestIdHeader (making one when it is absent); the server writes the id it received.
inline constexpr char kRequestIdKey[] = "tirn.request_id";
// The activation properties in which the client provider notes what it saw of a call's
// answer, when its caller asks (Tirn::Http::NoteAnswer in call_options.h, which reads them
// back typed): the URL called, the answer's status and the request id the call was sent with.
inline constexpr char kAnswerUrlProperty[] = "tirn.http.answer.url";
inline constexpr char kAnswerStatusProperty[] = "tirn.http.answer.status";
inline constexpr char kAnswerRequestIdProperty[] = "tirn.http.answer.request_id";
// The security-context key under which the server stores the caller's identity.
inline constexpr char const* kCallerKey = Core::ContextKeys::kCaller;
// Frame and error-body members.
inline constexpr char kProgressMember[] = "progress";
inline constexpr char kOutputMember[] = "output";
inline constexpr char kErrorMember[] = "error";
inline constexpr char kValueMember[] = "value";

// Identifiers of the messages the transport adds to the errors it answers or delivers.
namespace MessageIds {
// Server side. {1}: the method.
inline constexpr char kMethodNotAllowed[] = "tirn.http.method.not.allowed";
// {1}: the content type received.
inline constexpr char kUnsupportedMediaType[] = "tirn.http.unsupported.media.type";
// {1}: the Accept header received.
inline constexpr char kNotAcceptable[] = "tirn.http.not.acceptable";
// {1}: the limit in bytes.
inline constexpr char kBodyTooLarge[] = "tirn.http.body.too.large";
// No arguments: the call carries no token (and no certificate that names a caller).
inline constexpr char kUnauthenticated[] = "tirn.http.unauthenticated";
// No arguments: the call carries a bearer token that the server does not accept.
inline constexpr char kTokenRefused[] = "tirn.http.token.refused";
// {1}: the operation ("kms.providers.create"), {2}: the caller ("-": the anonymous caller).
inline constexpr char kUnauthorized[] = "tirn.http.unauthorized";
// {1}: what is wrong with the request's framing or syntax.
inline constexpr char kBadRequest[] = "tirn.http.bad.request";
// No arguments.
inline constexpr char kVersionNotSupported[] = "tirn.http.version.not.supported";
// {1}: the limit in bytes.
inline constexpr char kHeadersTooLarge[] = "tirn.http.headers.too.large";
// {1}: the caller's limit.
inline constexpr char kTooManyConnections[] = "tirn.http.too.many.connections";
inline constexpr char kTooManyCalls[] = "tirn.http.too.many.calls";
// {1}: the header, {2}: its value.
inline constexpr char kBadHeader[] = "tirn.http.bad.header";
// {1}: the path.
inline constexpr char kUnknownPath[] = "tirn.http.unknown.path";
// No arguments: the output could not be written as JSON (the encoder's messages follow).
inline constexpr char kOutputNotEncodable[] = "tirn.http.output.not.encodable";
// Client side. {1}: the server, {2}: the reason.
inline constexpr char kConnectFailed[] = "tirn.http.connect.failed";
inline constexpr char kTlsFailed[] = "tirn.http.tls.failed";
inline constexpr char kConnectionBroken[] = "tirn.http.connection.broken";
// {1}: the server, {2}: the time limit in milliseconds.
inline constexpr char kTimedOut[] = "tirn.http.timed.out";
// {1}: the server, {2}: what is wrong with the answer.
inline constexpr char kBadAnswer[] = "tirn.http.bad.answer";
// {1}: the URL called, {2}: the status. An error status without a tirn error in JSON, from a
// server that is probably not a tirn server (or not at that path); 500 and the pages of a
// proxy or balancer (502, 503, 504) are kBadAnswer.
inline constexpr char kNotTirnAnswer[] = "tirn.http.not.tirn.answer";
// No arguments.
inline constexpr char kCancelled[] = "tirn.http.cancelled";
// {1}: the longest key (kIdempotencyKeyLimit).
inline constexpr char kBadIdempotencyKey[] = "tirn.http.bad.idempotency.key";
}  // namespace MessageIds

// "/v1/com.ostrel.nox.trusted_infrastructure.kms.providers/get".
TIRN_HTTP_EXPORT std::string OperationPath(std::string const& interfaceName,
                                           std::string const& operationName);

// The status of an error answer: invalid_argument 400, unauthenticated 401, unauthorized 403,
// not_found and operation_not_found 404, already_exists and not_allowed_in_current_state 409,
// unsupported 501, unable_to_allocate_resource and service_unavailable 503, timed_out 504,
// everything else 500. The table is tirn/http/error_statuses.def, which the OpenAPI documents
// of the generated packages are made from too.
TIRN_HTTP_EXPORT unsigned StatusForError(std::string const& name);

}  // namespace Http
}  // namespace Tirn

#endif  // TIRN_HTTP_PROTOCOL_H_
