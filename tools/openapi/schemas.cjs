// The schemas of an OpenAPI document in Ajv, shared by check.cjs and validate_answers.cjs:
// JSON Schema 2020-12 in strict mode, with the formats the documents use.
"use strict";

const Ajv2020 = require("ajv/dist/2020").default;

// The document's schemas as one JSON Schema resource, under $defs; every reference to one of
// them, inside the resource or not, names the resource.
const SCHEMA_PREFIX = "#/components/schemas/";
const RESOURCE = "tirn:openapi";

function schemaResource(text) {
  const document = JSON.parse(text.split(`"${SCHEMA_PREFIX}`).join(`"${RESOURCE}#/$defs/`));
  return { document, resource: { $id: RESOURCE, $defs: document.components.schemas } };
}

function newAjv() {
  const ajv = new Ajv2020({ strict: true, allErrors: true });
  // The formats of the OpenAPI format registry that the documents use.
  ajv.addFormat("int64", { type: "number", validate: (n) => Number.isInteger(n) });
  ajv.addFormat("password", { type: "string", validate: () => true });
  // The extension that describes an enumeration's names, one by one: an annotation.
  ajv.addKeyword("x-enum-descriptions");
  return ajv;
}

// The response object of an operation's answer with `status`, a shared one followed; null when
// the document lists no such answer.
function answerResponse(document, where, status) {
  const operation = document.paths[where] && document.paths[where].post;
  let response = operation && operation.responses[status];
  if (response && response.$ref) {
    response = document.components.responses[response.$ref.split("/").pop()];
  }
  return response || null;
}

// The schema of an operation's answer: `pick` is [path, status, media type].
function answerSchema(document, pick) {
  const [where, status, mediaType] = pick;
  if (!(document.paths[where] && document.paths[where].post)) throw new Error(`no POST ${where}`);
  const response = answerResponse(document, where, status);
  if (!response) throw new Error(`POST ${where} lists no ${status}`);
  const content = response.content && response.content[mediaType];
  if (!content) throw new Error(`POST ${where} ${status} has no ${mediaType}`);
  return content.schema;
}

module.exports = { RESOURCE, schemaResource, newAjv, answerResponse, answerSchema };
