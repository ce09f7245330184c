// OpenAPI documents of the operations a server serves.
//
// Every generated package carries its OpenAPI 3.1 document (Operations().openApiDocument(),
// also OpenApiDocument() in its operations.h), and Tirn::Http::Server serves its operation
// table's at GET /v1/openapi.json. A server that serves the operations of several packages
// through one table gives the union of their documents instead:
//
//   std::string document, error;
//   if (!Tirn::Http::MergeOpenApiDocuments({Shop::OpenApiDocument(), Ti::OpenApiDocument()},
//                                          &document, &error)) Fail(error);
//   options.openApiDocument = document;
#ifndef TIRN_HTTP_OPENAPI_H_
#define TIRN_HTTP_OPENAPI_H_

#include <string>
#include <vector>

#include "tirn/http/protocol.h"

namespace Tirn {
namespace Http {

// One document with the paths, the components (each section: schemas, parameters, headers,
// security schemes...) and the tags of all of `documents`. Everything else is the first
// document's, but the title, which names every document's title. Entries that two documents
// share must be equal (the standard errors' schemas are); a path or a component that two
// documents define differently is a conflict. Returns false, with the reason in `*error`, for
// a conflict, for an empty list and for a text that is not a JSON object. The merged text is
// JSON with two-space indentation and members in ascending byte order of their names.
TIRN_HTTP_EXPORT bool MergeOpenApiDocuments(std::vector<std::string> const& documents,
                                            std::string* merged, std::string* error);

}  // namespace Http
}  // namespace Tirn

#endif  // TIRN_HTTP_OPENAPI_H_
