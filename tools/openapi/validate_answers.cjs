// Checks the answers that the HTTP tests recorded (TIRN_RECORD_ANSWERS, tests/raw_http.h)
// against the OpenAPI documents of the packages their servers served:
//
//   node validate_answers.cjs --answers ANSWERS.jsonl DOCUMENT...
//
// Each line of ANSWERS is one answer: {test, method, path, status, type, whole, body}. An
// answer to a POST of an operation of a document must be listed by the document under its
// status and media type, and its body must validate against that schema (JSON Schema 2020-12,
// Ajv in strict mode, as check.cjs compiles them); an application/x-ndjson body line by line,
// progress frames first and the final frame last. A 404 to a POST of a path under /v1/ that no
// document has must be the operation_not_found answer. Answers of other requests (GET
// endpoints, paths outside /v1/, requests that are not HTTP) are counted and skipped, as are
// answers cut short.
//
// Prints every failure with the test that received the answer, and a count per operation,
// status and media type; exits 1 on any failure, and when no answer was checked. Needs
// NODE_PATH to name the node_modules that `npm ci` filled.
"use strict";

const fs = require("fs");
const { RESOURCE, schemaResource, newAjv, answerResponse } = require("./schemas.cjs");

const NDJSON = "application/x-ndjson";
const UNKNOWN_OPERATION = "com.ostrel.tirn.std.errors.operation_not_found.answer";
// The GET endpoints under /v1/ (docs/protocol.md), which the documents do not describe.
const GET_ENDPOINTS = ["/v1/openapi.json", "/v1/operations"];

function usage() {
  console.error("usage: node validate_answers.cjs --answers ANSWERS.jsonl DOCUMENT...");
  process.exit(2);
}

function parseArguments(argv) {
  const options = { answers: null, documents: [] };
  for (let i = 0; i < argv.length; ++i) {
    if (argv[i] === "--answers") {
      if (i + 1 >= argv.length) usage();
      options.answers = argv[++i];
    } else {
      options.documents.push(argv[i]);
    }
  }
  if (!options.answers || options.documents.length === 0) usage();
  return options;
}

// A document with its schemas compiled on first use, keyed by path, status and media type.
function loadDocument(file) {
  const { document, resource } = schemaResource(fs.readFileSync(file, "utf8"));
  const ajv = newAjv();
  ajv.addSchema(resource);
  const compiled = new Map();
  const compile = (key, schema) => {
    if (!compiled.has(key)) compiled.set(key, ajv.compile(schema));
    return compiled.get(key);
  };
  return {
    file,
    document,
    ajv,
    // The validator of an answer, or a string saying why the document has none.
    answerValidator(where, status, mediaType) {
      const response = answerResponse(document, where, status);
      if (!response) return `the document lists no ${status} for POST ${where}`;
      const content = response.content && response.content[mediaType];
      if (!content) {
        const listed = Object.keys(response.content || {}).join(", ") || "no body";
        return `the document's ${status} for POST ${where} has ${listed}, not ${mediaType || "no type"}`;
      }
      try {
        return compile(`${where} ${status} ${mediaType}`, content.schema);
      } catch (error) {
        return `the document's schema for it does not compile: ${error.message}`;
      }
    },
    componentValidator(name) {
      if (!resource.$defs[name]) return null;
      return compile(name, { $ref: `${RESOURCE}#/$defs/${name}` });
    },
  };
}

// The JSON values of a body, each with where it is; throws on text that is not JSON.
function values(body, mediaType) {
  if (mediaType !== NDJSON) return [["body", JSON.parse(body)]];
  const lines = body.split("\n");
  if (lines[lines.length - 1] === "") lines.pop();
  if (lines.length === 0) throw new Error("no frame");
  return lines.map((line, i) => [`line ${i + 1}`, JSON.parse(line)]);
}

function short(text) {
  return text.length > 400 ? `${text.slice(0, 400)}... (${text.length} characters)` : text;
}

function main() {
  const options = parseArguments(process.argv.slice(2));
  if (!fs.existsSync(options.answers)) {
    console.log(`FAIL no answers were recorded: ${options.answers} does not exist`);
    process.exit(1);
  }
  const documents = options.documents.map(loadDocument);
  const unknownOperation =
      documents.map((d) => d.componentValidator(UNKNOWN_OPERATION)).find(Boolean);
  const lines = fs.readFileSync(options.answers, "utf8").split("\n").filter((l) => l !== "");

  const failures = [];
  const checked = new Map();  // "POST path status type" -> count
  const skipped = new Map();  // reason -> count
  const skip = (reason) => skipped.set(reason, (skipped.get(reason) || 0) + 1);
  lines.forEach((line, index) => {
    let answer;
    try {
      answer = JSON.parse(line);
    } catch (error) {
      failures.push(`line ${index + 1} of ${options.answers} is not JSON: ${error.message}`);
      return;
    }
    const mediaType = (answer.type || "").split(";")[0].trim().toLowerCase();
    const what = `POST ${answer.path} ${answer.status} ${mediaType || "(no type)"}`;
    const fail = (why) =>
      failures.push(`${answer.test}: ${what}: ${why}\n    body: ${short(answer.body)}`);
    if (answer.method !== "POST") return skip(`not a call (${answer.method || "no method"})`);
    if (GET_ENDPOINTS.includes(answer.path)) return skip(`a GET endpoint (${answer.path})`);
    if (answer.whole !== true) return skip("cut short before its end");

    const owner = documents.find((d) => (d.document.paths[answer.path] || {}).post);
    let validate;
    if (owner) {
      validate = owner.answerValidator(answer.path, String(answer.status), mediaType);
      if (typeof validate === "string") return fail(validate);
    } else if (!answer.path.startsWith("/v1/")) {
      return skip(`a path outside /v1/ (${answer.path})`);
    } else if (answer.status !== 404) {
      // Refused before its path was looked at (a token, a size): the documents say nothing.
      return skip(`a path of no operation, answered ${answer.status}`);
    } else if (!unknownOperation) {
      return fail(`no document has ${UNKNOWN_OPERATION}`);
    } else {
      validate = unknownOperation;
    }

    let parsed;
    try {
      parsed = values(answer.body, mediaType);
    } catch (error) {
      return fail(`the body is not ${mediaType === NDJSON ? "JSON lines" : "JSON"}: ${error.message}`);
    }
    const ajv = (owner || documents[0]).ajv;
    for (const [where, value] of parsed) {
      if (!validate(value)) return fail(`${where} does not fit the document: ${ajv.errorsText(validate.errors)}`);
    }
    if (mediaType === NDJSON) {
      const isProgress = (value) => value !== null && typeof value === "object" && "progress" in value;
      const last = parsed.length - 1;
      const misplaced = parsed.findIndex(([, value], i) => isProgress(value) !== (i < last));
      if (misplaced >= 0) return fail(`line ${misplaced + 1}: progress frames first, the final frame last`);
    }
    const key = owner ? what : `POST (no operation) ${answer.status} ${mediaType}`;
    checked.set(key, (checked.get(key) || 0) + 1);
  });

  let total = 0;
  for (const [key, count] of [...checked].sort()) {
    console.log(`  ${String(count).padStart(4)}  ${key}`);
    total += count;
  }
  for (const [reason, count] of skipped) console.log(`  skipped ${count}: ${reason}`);
  for (const failure of failures) console.log(`FAIL ${failure}`);
  const statuses = new Set([...checked.keys()].map((key) => key.split(" ").slice(-2).join(" ")));
  const files = documents.map((d) => d.file).join(", ");
  console.log(`${lines.length} answers recorded, ${total} checked against ${files}`);
  console.log(`statuses and media types checked: ${[...statuses].sort().join(", ")}`);
  if (total === 0) console.log("FAIL no answer of an operation was recorded");
  const ok = failures.length === 0 && total > 0;
  if (ok) console.log("Every answer fits the document.");
  else if (failures.length > 0) console.log(`${failures.length} answers do not fit the document.`);
  process.exit(ok ? 0 : 1);
}

main();
