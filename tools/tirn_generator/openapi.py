"""The OpenAPI 3.1 document of a package: its calls as the HTTP transport carries them
(docs/protocol.md), in the JSON form of docs/json.md. A POST path per operation, a schema per
structure, enumeration, operation input and error, and every error an operation may be answered
with under the status the server gives it. The statuses are read from the server's own table
(statuses.py); nothing here spells one."""

import json
from http import HTTPStatus

from .markdown import markdown
from .model import Enumeration, Structure, snake_case
from .template import TOOL, Template

OPENAPI_VERSION = "3.1.0"
STANDARD_PREFIX = "com.ostrel.tirn.std."
ERRORS_PREFIX = STANDARD_PREFIX + "errors."
LOCALIZABLE_MESSAGE = STANDARD_PREFIX + "localizable_message"
PATH_PREFIX = "/v1/"
JSON_TYPE = "application/json"
STREAM_TYPE = "application/x-ndjson"
# The schema of an enumeration's known names is named after the enumeration's.
KNOWN_NAMES_SUFFIX = ".known"
# The descriptions of the known names, in their order, where generators look for them.
ENUM_DESCRIPTIONS = "x-enum-descriptions"

# The errors every operation may be answered with besides its declared ones: the runtime's own
# (an input that does not match, an output or error that breaks the declaration, an interface
# the server does not serve, and what a transport reports to an implementation that calls on),
# then the authenticator's and the authorizer's.
RUNTIME_ERRORS = ["InvalidArgument", "OperationNotFound", "InternalServerError",
                  "ServiceUnavailable", "TimedOut"]
ACCESS_ERRORS = ["Unauthenticated", "Unauthorized"]


def error_name(error):
    """NotFound -> com.ostrel.tirn.std.errors.not_found."""
    return ERRORS_PREFIX + snake_case(error)


def status_phrase(status):
    try:
        return HTTPStatus(status).phrase
    except ValueError:
        return f"Status {status}"


def schema_ref(name):
    return {"$ref": f"#/components/schemas/{name}"}


def nullable(schema):
    return {"anyOf": [schema, {"type": "null"}]}


def described(schema, doc):
    """`schema` with the description `doc` (plain text, written as Markdown) before the one it
    has, if any."""
    if not doc:
        return schema
    own = schema.get("description")
    return {**schema, "description": markdown(doc) + (f"\n\n{own}" if own else "")}


# Answers carry numbers; requests may carry the decimal text too, for writers that lose
# precision above 2^53.
INT64_SCHEMA = {
    "anyOf": [{"type": "integer", "format": "int64"},
              {"type": "string", "pattern": "^[+-]?[0-9]+$"}],
}
PROGRESS_FRAME = "com.ostrel.tirn.http.progress_frame"

STANDARD_SCHEMAS = {
    PROGRESS_FRAME: {
        "type": "object",
        "description": "A progress report of a streamed answer.",
        "properties": {"progress": {
            "type": "object",
            "properties": {"current": INT64_SCHEMA, "maximum": INT64_SCHEMA,
                           "minimum": INT64_SCHEMA},
            "required": ["current", "maximum", "minimum"],
        }},
        "required": ["progress"],
    },
    LOCALIZABLE_MESSAGE: {
        "type": "object",
        "description": "A message: its id, its English text with the arguments filled in, the "
                       "arguments, and the text in the caller's language (Accept-Language) "
                       "when the server has it.",
        "properties": {
            "id": {"type": "string"},
            "default_message": {"type": "string"},
            "args": {"type": "array", "items": {"type": "string"}},
            "localized": nullable({"type": "string"}),
        },
        "required": ["id", "default_message", "args"],
    },
}

PARAMETERS = {
    "Accept-Language": {
        "name": "Accept-Language", "in": "header", "required": False,
        "description": "The caller's language preference: error messages come back localized, "
                       "with the English texts beside them.",
        "schema": {"type": "string"}, "example": "de-DE, en;q=0.5",
    },
    "X-Tirn-Time-Zone": {
        "name": "X-Tirn-Time-Zone", "in": "header", "required": False,
        "description": "The caller's time zone.",
        "schema": {"type": "string"}, "example": "Europe/Berlin",
    },
    "X-Tirn-Timeout-Ms": {
        "name": "X-Tirn-Timeout-Ms", "in": "header", "required": False,
        "description": "How many milliseconds the caller still waits, in decimal digits; "
                       "clamped to the server's maximum (one hour by default). The server "
                       "cancels the call when they pass. Anything else is answered 400.",
        "schema": {"type": "integer", "minimum": 1},
    },
    "X-Request-Id": {
        "name": "X-Request-Id", "in": "header", "required": False,
        "description": "The request's id, echoed in the answer and in the server's access log.",
        "schema": {"type": "string"},
    },
    "Idempotency-Key": {
        "name": "Idempotency-Key", "in": "header", "required": False,
        "description": "A key of the caller's own for this call, the same each time it is "
                       "sent. A server that keeps the outcomes of its writes answers a write "
                       "sent again with the same key, by the same caller, from the first "
                       "outcome (marked Idempotent-Replayed) instead of doing it twice, and "
                       "refuses the key with another input (400). Reads ignore it. Anything "
                       "but 1 to 128 visible ASCII characters is answered 400.",
        "schema": {"type": "string", "minLength": 1, "maxLength": 128,
                   "pattern": "^[\\x21-\\x7e]+$"},
        "example": "3f9c2a7e41d05b86c1e9a4f27d3b6e05",
    },
}

HEADERS = {
    "X-Request-Id": {"description": "The request's id, as the request gave it.",
                     "schema": {"type": "string"}},
    "WWW-Authenticate": {"description": "How to authenticate: a bearer token.",
                         "schema": {"type": "string"}},
    "Retry-After": {"description": "Seconds to wait before trying again.",
                    "schema": {"type": "integer"}},
    "Idempotent-Replayed": {
        "description": "'true' when the answer repeats the first answer to the request's "
                       "Idempotency-Key: nothing was done this time. Absent otherwise.",
        "schema": {"type": "string", "enum": ["true"]}},
}

# Headers that answers of a status carry besides X-Request-Id.
STATUS_HEADERS = {401: ["WWW-Authenticate"], 429: ["Retry-After"]}

SECURITY_SCHEMES = {
    "bearer": {
        "type": "http", "scheme": "bearer",
        "description": "Authorization: Bearer <token>, handed to the server's authenticator. "
                       "A server without one accepts anonymous calls.",
    },
}

STREAM_DESCRIPTION = (
    "Sent when the request has 'Accept: application/x-ndjson': newline-delimited JSON, one "
    "frame per line. A progress frame comes as each report happens, then one final frame: the "
    "output ({\"output\": ...}) or an error ({\"error\": \"<name>\", \"value\": {...}}). The "
    "schema is the schema of one line.")

INFO_DESCRIPTION = Template(
    "The operations of $package over HTTP: one POST per operation to "
    "/v1/<interface identifier>/<operation> with the input as a JSON object; a value answer is "
    "200 with the output, an error answer has the status of the error and the body "
    "{\"error\": \"<name>\", \"value\": {...}}. Structures accept fields they do not name and "
    "give them back; an enumeration may hold a name a newer server added.\n\n"
    "Generated by $tool from $description; do not edit.")


class OpenApi:
    """Builds the document of a package as a JSON-ready dict."""

    def __init__(self, package, description, statuses):
        self.package = package
        self.description = description
        self.statuses = statuses
        self.schemas = dict(STANDARD_SCHEMAS)
        self.error_responses = {}
        inputs, outputs = [], []
        for service in package.services:
            for operation in service.operations:
                inputs += [param.type for param in operation.params]
                outputs.append(operation.result)
        self.in_inputs = self.reachable(inputs)
        self.in_outputs = self.reachable(outputs)

    @staticmethod
    def reachable(refs):
        """The structures these types hold, at any depth."""
        found, pending = set(), [ref.target for ref in refs]
        while pending:
            item = pending.pop()
            if isinstance(item, Structure) and item not in found:
                found.add(item)
                pending += [f.type.target for f in item.fields]
        return found

    def wire_name(self, item):
        if isinstance(item, Enumeration):
            return f"{item.service.identifier(self.package.name)}.{snake_case(item.name)}"
        return item.wire_name(self.package.name)

    def element(self, ref, write_only):
        target = ref.target
        if target == "id":
            return {"type": "string",
                    "description": f"Identifies a {self.package.name}.{ref.resource}."}
        if target == "string":
            return {"type": "string"}
        if target == "int64":
            return dict(INT64_SCHEMA)
        if target == "boolean":
            return {"type": "boolean"}
        if target == "secret":
            schema = {"type": "string", "format": "password"}
            if write_only:
                schema["writeOnly"] = True
            return schema
        if target == "external":
            return schema_ref(LOCALIZABLE_MESSAGE)
        return schema_ref(self.wire_name(target))

    def field(self, ref, write_only):
        schema = self.element(ref, write_only)
        if ref.container:
            schema = {"type": "array", "items": schema}
            if ref.container == "set":
                schema["uniqueItems"] = True
        return nullable(schema) if ref.optional else schema

    def output(self, ref):
        if ref.base == "void":
            return {"type": "null"}
        return self.field(ref, False)

    def properties(self, fields, write_only):
        """The schemas of `fields` by name, each with its description."""
        return {f.name: described(self.field(f.type, write_only), f.doc) for f in fields}

    def structure(self, structure):
        write_only = structure in self.in_inputs and structure not in self.in_outputs
        schema = described({"type": "object",
                            "properties": self.properties(structure.fields, write_only)},
                           structure.doc)
        required = [f.name for f in structure.fields if not f.type.optional]
        if required:
            schema["required"] = required
        # A case is present (not null) exactly when its tag holds one of its values; any other
        # tag, an absent one or a name this description does not know selects no case.
        cases = [{
            "if": {"properties": {f.case_tag: {"enum": list(f.case_values)}},
                   "required": [f.case_tag]},
            "then": {"properties": {f.name: self.element(f.type, write_only)},
                     "required": [f.name]},
            "else": {"properties": {f.name: {"type": "null"}}},
        } for f in structure.fields if f.case_tag]
        if cases:
            schema["allOf"] = cases
        return schema

    def enumerations(self, enumeration):
        """An enumeration's two schemas, by name: the enumeration itself, open (a newer server
        may send a name this document does not list, which a client keeps and sends back), and
        its known names, a schema of their own that it references, so that generators give the
        names a type (openapi-typescript: a union of the names) and still take any string."""
        name = self.wire_name(enumeration)
        known = name + KNOWN_NAMES_SUFFIX
        open_text = ("One of the names listed, or one a newer server added (kept and sent back "
                     "as it came).")
        names = {"type": "string", "description": "The names this document lists.",
                 "enum": list(enumeration.values)}
        if any(enumeration.value_docs):
            names["description"] += "\n\n" + "\n".join(
                f"- `{value}`" + (f": {markdown(doc)}" if doc else "")
                for value, doc in zip(enumeration.values, enumeration.value_docs))
            names[ENUM_DESCRIPTIONS] = list(enumeration.value_docs)
        return {
            name: {"description": (markdown(enumeration.doc) + "\n\n" + open_text
                                   if enumeration.doc else open_text),
                   "anyOf": [schema_ref(known), {"type": "string"}]},
            known: names,
        }

    def error_answer(self, name):
        """The body of an error answer or frame: a schema named after the error's, beside the
        error's own."""
        self.schemas.setdefault(name, {
            "type": "object",
            "properties": {"messages": {"type": "array",
                                        "items": schema_ref(LOCALIZABLE_MESSAGE)}},
            "required": ["messages"],
        })
        answer = f"{name}.answer"
        self.schemas.setdefault(answer, {
            "type": "object",
            "properties": {"error": {"const": name}, "value": schema_ref(name)},
            "required": ["error", "value"],
        })
        return schema_ref(answer)

    def error_response(self, status, names):
        """A reference to the answer of a status that carries one of `names`: one response
        per set, shared by the operations that have it."""
        short = [name[len(ERRORS_PREFIX):] for name in names]
        key = ".".join([str(status)] + short)
        if key not in self.error_responses:
            headers = {"X-Request-Id": {"$ref": "#/components/headers/X-Request-Id"},
                       # A write's outcome replayed may be an error too.
                       "Idempotent-Replayed": {
                           "$ref": "#/components/headers/Idempotent-Replayed"}}
            for header_name in STATUS_HEADERS.get(status, []):
                headers[header_name] = {"$ref": f"#/components/headers/{header_name}"}
            answers = [self.error_answer(name) for name in names]
            self.error_responses[key] = {
                "description": f"{status_phrase(status)}: {', '.join(short)}.",
                "headers": headers,
                "content": {JSON_TYPE: {
                    "schema": answers[0] if len(answers) == 1 else {"oneOf": answers}}},
            }
        return {"$ref": f"#/components/responses/{key}"}

    def responses(self, operation, output):
        """The answers of an operation by status: its output, then every error it may get."""
        declared = [error_name(e) for e in operation.errors]
        by_status = {}

        def add(status, name):
            names = by_status.setdefault(status, [])
            if name not in names:
                names.append(name)

        for name in declared + [error_name(e) for e in RUNTIME_ERRORS + ACCESS_ERRORS]:
            add(self.statuses.status(name), name)
        for refusal in self.statuses.refusals:
            if refusal.operations:
                add(refusal.status, refusal.error)

        final_errors = declared + [error_name(e) for e in RUNTIME_ERRORS
                                   if error_name(e) not in declared]
        frames = [schema_ref(PROGRESS_FRAME),
                  {"type": "object", "description": "The output.",
                   "properties": {"output": output}, "required": ["output"]}]
        frames += [self.error_answer(name) for name in final_errors]
        responses = {"200": {
            "description": "The output.",
            "headers": {"X-Request-Id": {"$ref": "#/components/headers/X-Request-Id"},
                        "Idempotent-Replayed": {
                            "$ref": "#/components/headers/Idempotent-Replayed"}},
            "content": {
                JSON_TYPE: {"schema": output},
                STREAM_TYPE: {"schema": {"description": STREAM_DESCRIPTION, "oneOf": frames}},
            },
        }}
        for status in sorted(by_status):
            responses[str(status)] = self.error_response(status, by_status[status])
        return responses

    def signature(self, operation):
        def spell(ref):
            words = (["optional"] if ref.optional else []) + \
                ([ref.container] if ref.container else []) + \
                ([f"id {ref.resource}"] if ref.base == "id" else [ref.base])
            return " ".join(words)
        params = ", ".join(f"{p.name}: {spell(p.type)}" for p in operation.params)
        return f"{operation.name}({params}) -> {spell(operation.result)}"

    def document(self):
        package = self.package
        paths, tags = {}, []
        for structure in package.structures:
            self.schemas[structure.wire_name(package.name)] = self.structure(structure)
        for service in package.services:
            identifier = service.identifier(package.name)
            tag = f"{service.subpackage}.{service.name}"
            tags.append({"name": tag, "description": (markdown(service.doc) if service.doc
                                                      else f"The service {identifier}.")})
            for enumeration in service.enumerations:
                self.schemas.update(self.enumerations(enumeration))
            for structure in service.structures:
                self.schemas[structure.wire_name(package.name)] = self.structure(structure)
            for operation in service.operations:
                # Operation inputs share one wire name; each gets a schema named after its
                # operation. The server refuses parameters the operation does not name.
                input_name = f"{identifier}.{operation.name}.input"
                schema = {"type": "object",
                          "properties": self.properties(operation.params, True),
                          "additionalProperties": False}
                required = [p.name for p in operation.params if not p.type.optional]
                if required:
                    schema["required"] = required
                self.schemas[input_name] = schema
                paths[f"{PATH_PREFIX}{identifier}/{operation.name}"] = {"post": {
                    "operationId": f"{tag}.{operation.name}",
                    "summary": self.signature(operation),
                    **({"description": markdown(operation.doc)} if operation.doc else {}),
                    "tags": [tag],
                    "parameters": [{"$ref": f"#/components/parameters/{name}"}
                                   for name in PARAMETERS],
                    "requestBody": {"required": True, "content": {
                        JSON_TYPE: {"schema": schema_ref(input_name)}}},
                    "responses": self.responses(operation, self.output(operation.result)),
                }}
        return {
            "openapi": OPENAPI_VERSION,
            "info": {"title": package.name, "version": "v1",
                     "description": INFO_DESCRIPTION.fill(package=package.name, tool=TOOL,
                                                          description=self.description)},
            "servers": [{"url": "/", "description": "The server that serves this document."}],
            "security": [{"bearer": []}, {}],
            "tags": tags,
            "paths": paths,
            "components": {
                "schemas": dict(sorted(self.schemas.items())),
                "responses": dict(sorted(self.error_responses.items())),
                "parameters": PARAMETERS,
                "headers": HEADERS,
                "securitySchemes": SECURITY_SCHEMES,
            },
        }

    def text(self):
        return json.dumps(self.document(), indent=2, ensure_ascii=False) + "\n"
