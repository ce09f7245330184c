// A TypeScript client of a live tirn-server, typed by openapi-typescript from the document the
// server serves and calling through openapi-fetch: every operation of the four services, with
// a secret in a create, filtered lists, declared errors read from the answer's body, a value
// of an enumeration that the document does not list, and a streamed answer.
//
//   node client.js URL TOKEN
//
// run.cjs generates trusted-infrastructure.d.ts beside this file, compiles both with tsc and
// runs the result. Prints one line per step; exits 1 when any step did not get what it asserts.
import createClient from "openapi-fetch";
import type { components, paths } from "./trusted-infrastructure.js";

// Node's own globals, without @types/node.
declare const process: { argv: string[]; exit(code: number): never };

type Schemas = components["schemas"];
// What every error answer of the document has: a call's answer is typed by the document, so a
// document whose error answers lost this shape does not compile here.
type ErrorAnswer = { error: string; value: { messages: Schemas["com.ostrel.tirn.std.localizable_message"][] } };
type Answered = { error?: ErrorAnswer; response: Response };

const [url, token] = process.argv.slice(2);
if (!url || !token) {
  console.error("usage: node client.js URL TOKEN");
  process.exit(2);
}

// Answers as application/json; `streaming` asks for the frames of application/x-ndjson.
const client = createClient<paths, "application/json">({
  baseUrl: url,
  headers: { Authorization: `Bearer ${token}` },
});
const streaming = createClient<paths, "application/x-ndjson">({
  baseUrl: url,
  headers: { Authorization: `Bearer ${token}`, Accept: "application/x-ndjson" },
});
const anonymous = createClient<paths, "application/json">({ baseUrl: url });

const NOT_FOUND = "com.ostrel.tirn.std.errors.not_found";
const SECRET = "kdk-3e9a-never-answered";
let failures = 0;

// One assertion of a step: prints it, counts it when it does not hold.
function expect(step: string, holds: boolean, seen: unknown): void {
  console.log(`${holds ? "ok  " : "FAIL"} ${step}${holds ? "" : `: got ${JSON.stringify(seen)}`}`);
  if (!holds) ++failures;
}

// An error answer with this status and name, whose first message says `argument`.
function expectError(step: string, answer: Answered, status: number, name: string,
                     argument?: string): ErrorAnswer | undefined {
  const error = answer.error;
  const message = error?.value?.messages?.[0];
  expect(step, answer.response.status === status && error?.error === name &&
                   (argument === undefined || (message?.args ?? []).includes(argument)),
         { status: answer.response.status, body: error });
  return error;
}

function sameSet(a: string[], b: string[]): boolean {
  return a.length === b.length && [...a].sort().join("\n") === [...b].sort().join("\n");
}

// What the generated types refuse, checked by tsc only (never called): each line below must
// be an error, or the compilation fails on the unused directive.
export function refusedByTheTypes(): void {
  void client.POST("/v1/com.ostrel.nox.trusted_infrastructure.kms.providers/create", {
    // @ts-expect-error a native provider's create needs its secret
    body: { spec: { provider: "p", native_spec: { key_id: "k" } } },
  });
  void client.POST("/v1/com.ostrel.nox.trusted_infrastructure.kms.services/create", {
    // @ts-expect-error a port is an integer or its decimal text, never a boolean
    body: { spec: { address: { hostname: "h", port: true }, trusted_CA: { cert_chain: [] }, group: "g" } },
  });
  void client.POST("/v1/com.ostrel.nox.trusted_infrastructure.kms.providers/list", {
    body: {},
    // @ts-expect-error a time limit is a number of milliseconds
    params: { header: { "X-Tirn-Timeout-Ms": "soon" } },
  });
  // @ts-expect-error no such operation
  void client.POST("/v1/com.ostrel.nox.trusted_infrastructure.kms.providers/rename", { body: {} });
}

// An enumeration is open: its names are a type of their own, exactly those the package lists,
// and its fields take them and any name a newer server adds. Checked by tsc only: a document
// whose enumerations lost their names, or closed them, does not compile here.
type Same<A, B> = (<T>() => T extends A ? 1 : 2) extends (<T>() => T extends B ? 1 : 2) ? true : false;
const PROVIDERS = "com.ostrel.nox.trusted_infrastructure.kms.providers";
type ProviderType = Schemas[`${typeof PROVIDERS}.provider_type`];
type ProviderTypeNames = Schemas[`${typeof PROVIDERS}.provider_type.known`];
export const providerTypeNames: Same<ProviderTypeNames, "NATIVE" | "TRUST_AUTHORITY"> = true;
export const reportTypeNames: Same<
    Schemas["com.ostrel.nox.trusted_infrastructure.attestation.reports.report_type.known"],
    "REPORTING_JWT"> = true;
export const providerTypeFields: Same<Schemas[`${typeof PROVIDERS}.info`]["type"], ProviderType> = true;
export const listedNames: ProviderType[] = ["NATIVE", "TRUST_AUTHORITY"] satisfies ProviderTypeNames[];
export const newerName: ProviderType = "QUANTUM_VAULT";
// @ts-expect-error a name the package does not list is none of the known names
export const unlistedName: ProviderTypeNames = "QUANTUM_VAULT";

async function keyProviders(): Promise<void> {
  const create = "/v1/com.ostrel.nox.trusted_infrastructure.kms.providers/create";
  const native = { provider: "vault-native", native_spec: { key_id: "k1", key_derivation_key: SECRET } };
  const created = await client.POST(create, { body: { spec: native } });
  expect("kms.providers create with a secret: 200, null", created.response.status === 200 &&
             created.data === null && created.error === undefined, created.error);
  const authority = await client.POST(create, { body: { spec: { provider: "authority" } } });
  expect("kms.providers create without native settings: 200", authority.response.status === 200,
         authority.error);
  expectError("kms.providers create again: 409 already_exists",
              await client.POST(create, { body: { spec: native } }), 409,
              "com.ostrel.tirn.std.errors.already_exists", "vault-native");

  const get = "/v1/com.ostrel.nox.trusted_infrastructure.kms.providers/get";
  const got = await client.POST(get, {
    body: { provider: "vault-native" },
    params: { header: { "X-Request-Id": "ts-client-get" } },
  });
  expect("kms.providers get: the native provider, its key id, never its secret",
         got.data?.type === "NATIVE" && got.data.native_info?.key_id === "k1" &&
             !JSON.stringify(got.data).includes(SECRET), got.data);
  expect("kms.providers get: the request id is echoed",
         got.response.headers.get("X-Request-Id") === "ts-client-get",
         got.response.headers.get("X-Request-Id"));

  const list = "/v1/com.ostrel.nox.trusted_infrastructure.kms.providers/list";
  type Filter = Schemas["com.ostrel.nox.trusted_infrastructure.kms.providers.filter_spec"];
  const listed = async (filter: Filter | null): Promise<Schemas["com.ostrel.nox.trusted_infrastructure.kms.providers.summary"][]> => {
    const answer = await client.POST(list, { body: filter === null ? {} : { filter_spec: filter } });
    if (answer.response.status !== 200 || !answer.data) {
      expect(`kms.providers list ${JSON.stringify(filter)}: 200`, false, answer.error);
      return [];
    }
    return answer.data;
  };
  const all = await listed(null);
  const ids = (summaries: { provider: string }[]) => summaries.map((s) => s.provider);
  expect("kms.providers list: both providers, with their types",
         sameSet(ids(all), ["vault-native", "authority"]) &&
             all.find((s) => s.provider === "authority")?.type === "TRUST_AUTHORITY", all);
  expect("kms.providers list filtered by a type",
         sameSet(ids(await listed({ types: ["NATIVE"] })), ["vault-native"]), null);
  expect("kms.providers list filtered by identifiers",
         sameSet(ids(await listed({ providers: ["authority", "nobody"] })), ["authority"]), null);
  for (const available of [true, false]) {
    expect(`kms.providers list filtered by available=${available}`,
           sameSet(ids(await listed({ available })),
                   ids(all.filter((s) => s.available === available))), null);
  }
  // A name the enumeration does not list passes through as it is: a filter on it matches
  // nothing, and is not refused.
  const unknownType = await client.POST(list, { body: { filter_spec: { types: ["QUANTUM_VAULT"] } } });
  expect("kms.providers list filtered by an unknown type name: 200, nothing",
         unknownType.response.status === 200 && unknownType.data?.length === 0, unknownType.error);

  const update = "/v1/com.ostrel.nox.trusted_infrastructure.kms.providers/update";
  const updated = await client.POST(update, {
    body: { provider: "vault-native", spec: { native_spec: { key_id: "k2" } } },
  });
  const after = await client.POST(get, { body: { provider: "vault-native" } });
  expect("kms.providers update, then get: the new key id",
         updated.response.status === 200 && after.data?.native_info?.key_id === "k2", after.data);
  expectError("kms.providers update of a provider that is not native: 501 unsupported",
              await client.POST(update, {
                body: { provider: "authority", spec: { native_spec: { key_id: "k" } } },
              }),
              501, "com.ostrel.tirn.std.errors.unsupported", "authority");

  // A declared error, localized for the caller, read from the body.
  const missing = await client.POST(get, {
    body: { provider: "nope" },
    params: { header: { "Accept-Language": "de-DE" } },
  });
  const notFound = expectError("kms.providers get of a missing provider: 404 not_found", missing,
                               404, NOT_FOUND, "nope");
  const message = notFound?.value?.messages?.[0];
  expect("kms.providers get of a missing provider: German beside English",
         typeof message?.localized === "string" && message.localized !== message.default_message &&
             message.default_message.includes("nope"), message);

  const remove = "/v1/com.ostrel.nox.trusted_infrastructure.kms.providers/delete";
  for (const provider of ["vault-native", "authority"]) {
    const deleted = await client.POST(remove, { body: { provider } });
    expect(`kms.providers delete ${provider}: 200`, deleted.response.status === 200, deleted.error);
  }
  expectError("kms.providers delete again: 404 not_found",
              await client.POST(remove, { body: { provider: "vault-native" } }), 404, NOT_FOUND,
              "vault-native");
  expect("kms.providers list: none left", (await listed(null)).length === 0, null);
}

async function keyServers(): Promise<void> {
  const create = "/v1/com.ostrel.nox.trusted_infrastructure.kms.services/create";
  const chain = { cert_chain: ["-----CERT-----root", "-----CERT-----leaf"] };
  const keyServerA = { address: { hostname: "kms-a.example", port: 5696 }, trusted_CA: chain, group: "g1" };
  const first = await client.POST(create, { body: { spec: keyServerA } });
  // An int64 may travel as its decimal text.
  const second = await client.POST(create, {
    body: { spec: { address: { hostname: "kms-b.example", port: "5697" }, trusted_CA: chain, group: "g2" } },
  });
  const firstId = first.data ?? "";
  const secondId = second.data ?? "";
  expect("kms.services create twice: two identifiers",
         typeof first.data === "string" && typeof second.data === "string" && firstId !== secondId,
         [first.data, second.data, first.error, second.error]);
  expectError("kms.services create at an address taken: 409 already_exists",
              await client.POST(create, { body: { spec: { ...keyServerA, group: "g3" } } }),
              409, "com.ostrel.tirn.std.errors.already_exists");
  expectError("kms.services create with a port that is no integer: 400 invalid_argument",
              await client.POST(create, {
                body: { spec: { ...keyServerA, address: { hostname: "kms-c.example", port: "fifty" } } },
              }),
              400, "com.ostrel.tirn.std.errors.invalid_argument");

  const list = "/v1/com.ostrel.nox.trusted_infrastructure.kms.services/list";
  const byGroup = await client.POST(list, { body: { filter: { group: ["g1"] } } });
  expect("kms.services list filtered by group",
         sameSet((byGroup.data ?? []).map((s) => s.service), [firstId]), byGroup.data);
  const byAddress = await client.POST(list, {
    body: { filter: { address: [{ hostname: "kms-b.example", port: 5697 }] } },
  });
  expect("kms.services list filtered by address",
         sameSet((byAddress.data ?? []).map((s) => s.service), [secondId]), byAddress.data);

  const get = "/v1/com.ostrel.nox.trusted_infrastructure.kms.services/get";
  const got = await client.POST(get, { body: { service: secondId } });
  expect("kms.services get: the address, its port an integer, and the chain",
         got.data?.address.hostname === "kms-b.example" && Number(got.data.address.port) === 5697 &&
             got.data.trusted_CA.cert_chain.length === 2 && got.data.group === "g2", got.data);
  expectError("kms.services get of a missing server: 404 not_found",
              await client.POST(get, { body: { service: "kms-service-missing" } }), 404, NOT_FOUND,
              "kms-service-missing");

  const remove = "/v1/com.ostrel.nox.trusted_infrastructure.kms.services/delete";
  for (const service of [firstId, secondId]) {
    const deleted = await client.POST(remove, { body: { service } });
    expect(`kms.services delete ${service}: 200`, deleted.response.status === 200, deleted.error);
  }
  expectError("kms.services delete again: 404 not_found",
              await client.POST(remove, { body: { service: firstId } }), 404, NOT_FOUND);
}

async function attestation(): Promise<void> {
  const create = "/v1/com.ostrel.nox.trusted_infrastructure.attestation.services/create";
  const chain = { cert_chain: ["-----CERT-----root"] };
  const ids: string[] = [];
  for (const [hostname, group] of [["attest-a.example", "east"], ["attest-b.example", "west"]]) {
    const created = await client.POST(create, {
      body: { spec: { address: { hostname, port: 443 }, trusted_CA: chain, group } },
    });
    expect(`attestation.services create ${hostname}: an identifier`, typeof created.data === "string",
           created.error);
    ids.push(created.data ?? "");
  }
  const list = "/v1/com.ostrel.nox.trusted_infrastructure.attestation.services/list";
  const west = await client.POST(list, { body: { filter: { group: ["west"], services: ids } } });
  expect("attestation.services list filtered by group and identifiers",
         sameSet((west.data ?? []).map((s) => s.service), [ids[1]]), west.data);
  const get = "/v1/com.ostrel.nox.trusted_infrastructure.attestation.services/get";
  const got = await client.POST(get, { body: { service: ids[0] } });
  expect("attestation.services get", got.data?.group === "east" && got.data.address.hostname === "attest-a.example",
         got.data);
  expectError("attestation.services get of a missing service: 404 not_found",
              await client.POST(get, { body: { service: "nothing-here" } }), 404, NOT_FOUND);

  // One report per attestation service, each in the case its type names.
  const reports = "/v1/com.ostrel.nox.trusted_infrastructure.attestation.reports/list";
  const listed = await client.POST(reports, { body: {} });
  const services = (listed.data ?? []).map((r) => (r.type === "REPORTING_JWT" ? r.reporting_jwt?.service : undefined));
  expect("attestation.reports list: a REPORTING_JWT report per service",
         sameSet(services.filter((s): s is string => typeof s === "string"), ids), listed.data);

  // The streamed form: progress frames as the reports are made, then the output.
  type Frame = paths[typeof reports]["post"]["responses"][200]["content"]["application/x-ndjson"];
  const streamed = await streaming.POST(reports, { body: {}, parseAs: "text" });
  const frames = (streamed.data ?? "").split("\n").filter((line) => line !== "")
      .map((line) => JSON.parse(line) as Frame);
  const last = frames[frames.length - 1];
  expect("attestation.reports list streamed: progress frames, then the output",
         streamed.response.headers.get("Content-Type")?.startsWith("application/x-ndjson") === true &&
             frames.length === ids.length + 1 && frames.slice(0, -1).every((f) => "progress" in f) &&
             last !== undefined && "output" in last && last.output.length === ids.length, frames);

  const remove = "/v1/com.ostrel.nox.trusted_infrastructure.attestation.services/delete";
  for (const service of ids) {
    const deleted = await client.POST(remove, { body: { service } });
    expect(`attestation.services delete ${service}: 200`, deleted.response.status === 200, deleted.error);
  }
  const none = await client.POST(reports, { body: {} });
  expect("attestation.reports list: none once the services are gone", none.data?.length === 0, none.data);
}

async function refusals(): Promise<void> {
  const list = "/v1/com.ostrel.nox.trusted_infrastructure.kms.providers/list";
  const answer = await anonymous.POST(list, { body: {} });
  expectError("a call without a token: 401 unauthenticated", answer, 401,
              "com.ostrel.tirn.std.errors.unauthenticated");
  expect("a call without a token: WWW-Authenticate: Bearer",
         answer.response.headers.get("WWW-Authenticate") === "Bearer",
         answer.response.headers.get("WWW-Authenticate"));
  expectError("a time limit that is no number: 400 invalid_argument",
              await client.POST(list, { body: {}, headers: { "X-Tirn-Timeout-Ms": "soon" } }),
              400, "com.ostrel.tirn.std.errors.invalid_argument");
}

async function main(): Promise<void> {
  await keyProviders();
  await keyServers();
  await attestation();
  await refusals();
  if (failures > 0) {
    console.error(`${failures} step(s) failed`);
    process.exit(1);
  }
  console.log("every step passed");
}

main().catch((error: unknown) => {
  console.error("the client failed:", error);
  process.exit(1);
});
