// Runs the tests of this folder; skipped (77) while `npm ci` has not
// installed the client they use.
"use strict";

const { spawnSync } = require("node:child_process");
const fs = require("node:fs");
const path = require("node:path");

if (!fs.existsSync(path.join(__dirname, "node_modules", "node-opcua-client"))) {
    console.log(`node-opcua-client is not installed: run "npm ci" in ${__dirname}`);
    process.exit(77);
}
const files = fs.readdirSync(__dirname).filter((f) => f.endsWith(".test.js"));
const run = spawnSync(process.execPath, ["--test", ...files], { cwd: __dirname, stdio: "inherit" });
process.exit(run.status === null ? 1 : run.status);
