// Checks OpenAPI documents with tools written elsewhere, installed from package-lock.json:
//
//   node check.cjs --redocly redocly.yaml [--cases cases.json] DOCUMENT...
//
// Each document must
//   - validate against the OpenAPI 3.1 schema, with every $ref resolved (swagger-parser);
//   - pass Redocly's lint rules of redocly.yaml without a single finding;
//   - hold schemas that compile under JSON Schema 2020-12 in Ajv's strict mode;
//   - accept and refuse the bodies of the cases file that name its package (info.title):
//     each case picks a schema (a component, or an operation's answer by path, status and
//     media type) and lists bodies it must accept and bodies it must refuse.
//
// Prints what it checked and every problem; exits 1 on any problem. Needs NODE_PATH to name
// the node_modules that `npm ci` filled.
"use strict";

const fs = require("fs");
const path = require("path");
const SwaggerParser = require("@apidevtools/swagger-parser");
const { lint, loadConfig, getTotals, formatProblems } = require("@redocly/openapi-core");
const { RESOURCE, schemaResource, newAjv, answerSchema } = require("./schemas.cjs");

function usage() {
  console.error("usage: node check.cjs --redocly FILE [--cases FILE] DOCUMENT...");
  process.exit(2);
}

function parseArguments(argv) {
  const options = { redocly: null, cases: null, documents: [] };
  for (let i = 0; i < argv.length; ++i) {
    if (argv[i] === "--redocly" || argv[i] === "--cases") {
      if (i + 1 >= argv.length) usage();
      options[argv[i].slice(2)] = argv[++i];
    } else {
      options.documents.push(argv[i]);
    }
  }
  if (!options.redocly || options.documents.length === 0) usage();
  return options;
}

// Every schema of the document that is not a component: those of the paths and answers.
function inlineSchemas(document) {
  const found = [];
  const visit = (node, where) => {
    if (!node || typeof node !== "object") return;
    if (node.schema && typeof node.schema === "object") found.push([where, node.schema]);
    for (const [key, value] of Object.entries(node)) {
      if (key !== "schema") visit(value, `${where}/${key}`);
    }
  };
  visit(document.paths, "#/paths");
  visit(document.components.responses, "#/components/responses");
  visit(document.components.parameters, "#/components/parameters");
  visit(document.components.headers, "#/components/headers");
  return found;
}

async function checkDocument(file, redoclyConfig, cases) {
  const problems = [];
  const text = fs.readFileSync(file, "utf8");
  const title = JSON.parse(text).info.title;
  console.log(`${file}: ${title}`);

  try {
    const api = await SwaggerParser.validate(JSON.parse(text));
    const paths = Object.keys(api.paths).length;
    console.log(`  swagger-parser: valid OpenAPI ${api.openapi}, ${paths} paths`);
  } catch (error) {
    problems.push(`swagger-parser: ${error.message}`);
  }

  const found = await lint({ ref: path.resolve(file), config: redoclyConfig });
  const totals = getTotals(found);
  console.log(`  redocly lint: ${totals.errors} errors, ${totals.warnings} warnings`);
  if (found.length > 0) {
    formatProblems(found, { format: "stylish", totals, version: "", maxProblems: 50 });
    problems.push(`redocly lint: ${found.length} findings`);
  }

  const { document, resource } = schemaResource(text);
  const ajv = newAjv();
  let compiled = 0;
  try {
    ajv.addSchema(resource);
    for (const name of Object.keys(resource.$defs)) {
      if (ajv.getSchema(`${RESOURCE}#/$defs/${name}`)) ++compiled;
      else problems.push(`ajv: no schema ${name}`);
    }
    for (const [where, schema] of inlineSchemas(document)) {
      try {
        ajv.compile(schema);
        ++compiled;
      } catch (error) {
        problems.push(`ajv: ${where}: ${error.message}`);
      }
    }
    console.log(`  ajv (JSON Schema 2020-12, strict): ${compiled} schemas compile`);
  } catch (error) {
    problems.push(`ajv: ${error.message}`);
  }

  let bodies = 0;
  for (const entry of cases.filter((c) => c.package === title)) {
    let validate;
    try {
      validate = ajv.compile(entry.schema ? { $ref: `${RESOURCE}#/$defs/${entry.schema}` }
                                          : answerSchema(document, entry.answer));
    } catch (error) {
      problems.push(`case ${entry.name}: ${error.message}`);
      continue;
    }
    for (const [expected, list] of [[true, entry.accepts || []], [false, entry.refuses || []]]) {
      for (const body of list) {
        ++bodies;
        if (validate(body) !== expected) {
          const why = expected ? `: ${ajv.errorsText(validate.errors)}` : "";
          problems.push(`case ${entry.name}: ${expected ? "refused" : "accepted"} ` +
                        `${JSON.stringify(body)}${why}`);
        }
      }
    }
  }
  if (bodies > 0) console.log(`  cases: ${bodies} bodies checked`);

  for (const problem of problems) console.log(`  PROBLEM ${problem}`);
  return problems.length === 0;
}

async function main() {
  const options = parseArguments(process.argv.slice(2));
  const redoclyConfig = await loadConfig({ configPath: options.redocly });
  const cases = options.cases ? JSON.parse(fs.readFileSync(options.cases, "utf8")) : [];
  let ok = true;
  for (const file of options.documents) {
    ok = (await checkDocument(file, redoclyConfig, cases)) && ok;
  }
  const titleOf = (file) => JSON.parse(fs.readFileSync(file, "utf8")).info.title;
  const packages = new Set(options.documents.map(titleOf));
  for (const entry of cases) {
    if (!packages.has(entry.package)) {
      console.log(`PROBLEM case ${entry.name}: no document of ${entry.package}`);
      ok = false;
    }
  }
  console.log(ok ? "All documents passed." : "Some documents failed.");
  process.exit(ok ? 0 : 1);
}

main().catch((error) => {
  console.error(error);
  process.exit(1);
});
