// tools/ua-watch, the client of scripts/run, against the real OpcVireo2 and
// the kit simulator: its table shows what the simulator holds, follows a
// change, and names an item the server does not know.
"use strict";

const { describe, it, before, after } = require("node:test");
const assert = require("node:assert");
const { spawn } = require("node:child_process");
const fs = require("node:fs");
const path = require("node:path");
const { Kit } = require("./kit");

const watchFolder = path.join(__dirname, "..", "..", "..", "tools", "ua-watch");
const installed = fs.existsSync(path.join(watchFolder, "node_modules", "node-opcua-client"));

// The frames the watcher prints when its output is not a terminal, each a map of item to row cells.
function frames(text) {
    return text
        .split("\n\n")
        .filter((block) => block.includes("Quality"))
        .map((block) => {
            const rows = new Map();
            for (const line of block.split("\n").slice(2)) {
                const cells = line.trim().split(/\s{2,}/);
                rows.set(cells[0], { value: cells[1], quality: cells[2], changes: Number(cells[4]) });
            }
            return rows;
        });
}

describe("ua-watch", { skip: installed ? false : `run "npm ci" in ${watchFolder}` }, () => {
    const kit = new Kit();
    before(() => kit.start(), { timeout: 90000 });
    after(() => kit.stop(), { timeout: 60000 });

    it("shows the simulator's values and follows a change until its frames are done", { timeout: 60000 }, async () => {
        const kernel = Number(await kit.sim("get 516")) & 0xff;
        const changed = (kernel + 5) & 0xff;
        const watcher = spawn(
            process.execPath,
            [path.join(watchFolder, "ua-watch.js"), "--endpoint", kit.endpoint, "--prefix", "Каналы связи.Vireo-2_1.",
                "--interval", "200", "--frames", "20", "MyPin.kernel_version", "MyPin.no_such_item"],
            { env: kit.env, stdio: ["ignore", "pipe", "inherit"] }
        );
        let out = "";
        let set = null;
        watcher.stdout.on("data", (chunk) => {
            out += chunk;
            const seen = frames(out);
            if (!set && seen.length > 0 && seen[seen.length - 1].get("MyPin.kernel_version").quality === "Good") {
                set = kit.sim(`set 516 ${changed}`);
            }
        });
        const code = await new Promise((resolve) => watcher.on("exit", resolve));
        assert.strictEqual(code, 0);
        assert.ok(set, `no Good value of MyPin.kernel_version came:\n${out}`);
        await set;

        const all = frames(out);
        const first = all.find((f) => f.get("MyPin.kernel_version").quality === "Good").get("MyPin.kernel_version");
        assert.strictEqual(Number(first.value), kernel);
        // A slow first poll shows the row waiting, and its first Good value counts as a change.
        const last = all[all.length - 1];
        assert.deepStrictEqual(last.get("MyPin.kernel_version"),
            { value: String(changed), quality: "Good", changes: first.changes + 1 });
        assert.strictEqual(last.get("MyPin.no_such_item").quality, "BadNodeIdUnknown");
    });
});
