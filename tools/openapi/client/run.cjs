// Generates a TypeScript client from the OpenAPI document a live tirn-server serves and calls
// the server through it:
//
//   node run.cjs --server TIRN_SERVER --modules NODE_MODULES --work DIR
//
// Starts TIRN_SERVER on 127.0.0.1 with a free port, a data file and a token file in a fresh
// temporary folder; fetches GET /v1/openapi.json; writes its types with openapi-typescript
// and compiles client.ts against them with tsc, both from NODE_MODULES (what `npm ci` installed
// from package-lock.json), into DIR in the build tree; runs the compiled client against the
// server; stops the server (killed on every way out, every wait bounded). Exits 1 on any
// failure, saying which step failed.
"use strict";

const childProcess = require("child_process");
const fs = require("fs");
const os = require("os");
const path = require("path");

const START_WAIT_MS = 10000;
const STEP_WAIT_MS = 120000;
const TOKEN = "t0ken-typescript-client";

function usage() {
  console.error("usage: node run.cjs --server TIRN_SERVER --modules NODE_MODULES --work DIR");
  process.exit(2);
}

function parseArguments(argv) {
  const options = {};
  for (let i = 0; i < argv.length; i += 2) {
    const name = argv[i].replace(/^--/, "");
    if (!["server", "modules", "work"].includes(name) || i + 1 >= argv.length) usage();
    options[name] = path.resolve(argv[i + 1]);
  }
  if (!options.server || !options.modules || !options.work) usage();
  return options;
}

// Starts the server and resolves to its URL once it printed exactly its start line.
function startServer(server, folder) {
  const tokens = path.join(folder, "tokens.txt");
  fs.writeFileSync(tokens, `${TOKEN} typescript-client\n`, { mode: 0o600 });
  const errFile = path.join(folder, "server.err");
  const child = childProcess.spawn(server, [
    "--listen", "127.0.0.1:0",
    "--drain-delay", "0",
    "--data", path.join(folder, "records.db"),  // its sealing key made beside it
    "--tokens", tokens,
  ], { cwd: folder, stdio: ["ignore", "pipe", fs.openSync(errFile, "a")] });
  const started = new Promise((resolve, reject) => {
    let out = "";
    const timer = setTimeout(() => reject(new Error(`no start line within ${START_WAIT_MS} ms`)),
                             START_WAIT_MS);
    child.stdout.on("data", (chunk) => {
      out += chunk.toString("utf8");
      const end = out.indexOf("\n");
      if (end < 0) return;
      clearTimeout(timer);
      const line = out.slice(0, end);
      const match = /^listening on (http:\/\/127\.0\.0\.1:[1-9][0-9]{0,4})$/.exec(line);
      if (match) resolve(match[1]);
      else reject(new Error(`unexpected start line '${line}'`));
    });
    child.on("exit", (code, signal) => {
      clearTimeout(timer);
      reject(new Error(`the server ended before it served (${signal || code}): ` +
                       fs.readFileSync(errFile, "utf8")));
    });
  });
  return { child, started, errFile };
}

// Stops the server with SIGTERM; SIGKILL when it has not ended within five seconds. Resolves
// to how it ended.
function stopServer(child) {
  if (child.exitCode !== null || child.signalCode !== null) {
    return Promise.resolve(child.signalCode || child.exitCode);
  }
  return new Promise((resolve) => {
    const timer = setTimeout(() => child.kill("SIGKILL"), 5000);
    child.once("exit", (code, signal) => {
      clearTimeout(timer);
      resolve(signal || code);
    });
    child.kill("SIGTERM");
  });
}

// Runs a program to its end (bounded), its output passed through; throws when it failed.
function run(step, args, cwd) {
  console.log(`== ${step}`);
  const result = childProcess.spawnSync(process.execPath, args, {
    cwd, stdio: "inherit", timeout: STEP_WAIT_MS, killSignal: "SIGKILL",
  });
  if (result.error) throw new Error(`${step}: ${result.error.message}`);
  if (result.status !== 0) throw new Error(`${step}: exit status ${result.status ?? result.signal}`);
}

// The build-tree folder the client is generated and compiled in, made afresh.
function prepareWork(work, modules) {
  for (const made of ["src", "out"]) fs.rmSync(path.join(work, made), { recursive: true, force: true });
  fs.mkdirSync(path.join(work, "src"), { recursive: true });
  const link = path.join(work, "node_modules");
  fs.rmSync(link, { recursive: true, force: true });
  fs.symlinkSync(modules, link, "dir");  // resolves openapi-fetch for tsc and for node
  fs.writeFileSync(path.join(work, "package.json"), '{"private": true, "type": "module"}\n');
  fs.writeFileSync(path.join(work, "tsconfig.json"), JSON.stringify({
    compilerOptions: {
      target: "ES2022",
      module: "NodeNext",
      moduleResolution: "NodeNext",
      lib: ["ES2022", "DOM"],
      strict: true,
      noUnusedLocals: true,
      skipLibCheck: true,
      rootDir: "src",
      outDir: "out",
    },
    include: ["src"],
  }, null, 2) + "\n");
  fs.copyFileSync(path.join(__dirname, "client.ts"), path.join(work, "src", "client.ts"));
}

async function main() {
  const options = parseArguments(process.argv.slice(2));
  const folder = fs.mkdtempSync(path.join(os.tmpdir(), "tirn-ts-client-"));
  const server = startServer(options.server, folder);
  // A last resort for every way out that skips the orderly stop.
  process.on("exit", () => server.child.kill("SIGKILL"));
  let ok = false;
  try {
    const url = await server.started;
    console.log(`== tirn-server at ${url}`);
    prepareWork(options.work, options.modules);

    const answer = await fetch(`${url}/v1/openapi.json`, { signal: AbortSignal.timeout(10000) });
    if (answer.status !== 200) throw new Error(`GET /v1/openapi.json answered ${answer.status}`);
    const document = path.join(options.work, "openapi.json");
    fs.writeFileSync(document, await answer.text());

    run("openapi-typescript", [
      path.join(options.modules, "openapi-typescript", "bin", "cli.js"), document,
      "-o", path.join(options.work, "src", "trusted-infrastructure.d.ts"),
    ], options.work);
    run("tsc", [path.join(options.modules, "typescript", "bin", "tsc"), "-p", "tsconfig.json"],
        options.work);
    run("client", [path.join(options.work, "out", "client.js"), url, TOKEN], options.work);
    ok = true;
  } catch (error) {
    console.error(`FAILED: ${error.message}`);
  }
  const ended = await stopServer(server.child);
  if (ended !== 0) {
    console.error(`tirn-server ended with ${ended}:\n${fs.readFileSync(server.errFile, "utf8")}`);
    ok = false;
  }
  fs.rmSync(folder, { recursive: true, force: true });
  console.log(ok ? "The generated TypeScript client passed." : "The generated TypeScript client failed.");
  process.exit(ok ? 0 : 1);
}

main().catch((error) => {
  console.error(error);
  process.exit(1);
});
