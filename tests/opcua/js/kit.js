// The system under test, started for a test file and stopped after it: the
// kit simulator on a free loopback port, a configuration written by
// vireo-config with one TCP channel to it, and the real OpcVireo2 in
// configuration mode (which never closes by itself) listening on another free
// port, everything in folders of its own. Every wait is bounded.
// Options: pollPeriodMs (200), serverMode (false: configuration mode).
"use strict";

const { spawn, spawnSync } = require("node:child_process");
const fs = require("node:fs");
const net = require("node:net");
const os = require("node:os");
const path = require("node:path");
const readline = require("node:readline");

const bin = process.env.VIREO_TEST_BIN;

function freePort() {
    return new Promise((resolve, reject) => {
        const server = net.createServer();
        server.on("error", reject);
        server.listen(0, "127.0.0.1", () => {
            const { port } = server.address();
            server.close(() => resolve(port));
        });
    });
}

function waitForExit(child, timeoutMs) {
    if (child.exitCode !== null || child.signalCode !== null) return Promise.resolve();
    return new Promise((resolve) => {
        const timer = setTimeout(() => child.kill("SIGKILL"), timeoutMs);
        child.on("exit", () => {
            clearTimeout(timer);
            resolve();
        });
    });
}

class Kit {
    constructor(options = {}) {
        this.options = { pollPeriodMs: 200, serverMode: false, ...options };
    }

    async start() {
        if (!bin) throw new Error("VIREO_TEST_BIN names the folder of the programs under test");
        this.folder = fs.mkdtempSync(path.join(os.tmpdir(), "vireo-ua-"));
        for (const sub of ["data", "config", "runtime"]) fs.mkdirSync(path.join(this.folder, sub));
        this.env = {
            ...process.env,
            XDG_DATA_HOME: path.join(this.folder, "data"),
            XDG_CONFIG_HOME: path.join(this.folder, "config"),
            XDG_RUNTIME_DIR: path.join(this.folder, "runtime"),
            // Configuration mode's window, where there is a display, stays off screen.
            QT_QPA_PLATFORM: "offscreen",
        };
        this.control = path.join(this.folder, "sim.sock");

        this.simulator = spawn(path.join(bin, "vireo2-sim"), ["--static", "--pas-models", "1", "--key", "", "--tcp", "127.0.0.1:0", "--control", this.control], {
            stdio: ["ignore", "pipe", "inherit"],
        });
        const simPort = await new Promise((resolve, reject) => {
            const timer = setTimeout(() => reject(new Error("the simulator did not start")), 10000);
            let port = 0;
            readline.createInterface({ input: this.simulator.stdout }).on("line", (line) => {
                const m = /^tcp [\d.]+:(\d+)$/.exec(line);
                if (m) port = Number(m[1]);
                if (line === "ready") {
                    clearTimeout(timer);
                    resolve(port);
                }
            });
        });

        const config = spawnSync(
            path.join(bin, "vireo-config"),
            ["add", "tcp", "Vireo-2_1", "address=127.0.0.1", `port=${simPort}`, `pollPeriodMs=${this.options.pollPeriodMs}`, "pauseMs=0",
                "responseTimeoutMs=1000", `pasModels=${Array(24).fill(1).join(",")}`],
            { env: this.env, encoding: "utf8", timeout: 30000 }
        );
        if (config.status !== 0) throw new Error(`vireo-config: ${config.stdout}${config.stderr}`);

        this.port = await freePort();
        this.endpoint = `opc.tcp://127.0.0.1:${this.port}`;
        const mode = this.options.serverMode ? [] : ["/cfg"];
        this.server = spawn(path.join(bin, "OpcVireo2"), [...mode, "--listen", `127.0.0.1:${this.port}`], {
            env: this.env,
            stdio: ["ignore", "inherit", "inherit"],
        });
        const deadline = Date.now() + 60000;
        while (!(await this.accepts())) {
            if (this.server.exitCode !== null) throw new Error(`OpcVireo2 ended with ${this.server.exitCode}`);
            if (Date.now() > deadline) throw new Error("OpcVireo2 did not open its endpoint");
            await new Promise((r) => setTimeout(r, 200));
        }
    }

    accepts() {
        return new Promise((resolve) => {
            const s = net.connect(this.port, "127.0.0.1");
            s.on("connect", () => {
                s.destroy();
                resolve(true);
            });
            s.on("error", () => resolve(false));
        });
    }

    // One command to the simulator's control socket; its answer without "ok ".
    sim(command, timeoutMs = 5000) {
        return new Promise((resolve, reject) => {
            const s = net.connect(this.control);
            let text = "";
            const timer = setTimeout(() => {
                s.destroy();
                reject(new Error(`no answer from the simulator to ${command}`));
            }, timeoutMs);
            s.on("connect", () => s.write(`${command}\n`));
            s.on("data", (d) => {
                text += d;
                const end = text.indexOf("\n");
                if (end < 0) return;
                clearTimeout(timer);
                s.destroy();
                const line = text.slice(0, end);
                if (!line.startsWith("ok")) reject(new Error(`simulator: ${line}`));
                else resolve(line.slice(3));
            });
            s.on("error", reject);
        });
    }

    // A counter of the simulator's statistics (requests, accepted, refused ...).
    async simCount(name) {
        const m = new RegExp(`(?:^| )${name}=(\\d+)`).exec(await this.sim("stats"));
        if (!m) throw new Error(`no ${name} in the simulator's statistics`);
        return Number(m[1]);
    }

    // Whether the simulator is asked within a second.
    async polled() {
        const before = await this.simCount("requests");
        await new Promise((r) => setTimeout(r, 1000));
        return (await this.simCount("requests")) > before;
    }

    // Waits until a whole second goes by without a request; false when it never does.
    async quiet(timeoutMs = 15000) {
        const deadline = Date.now() + timeoutMs;
        while (Date.now() < deadline) if (!(await this.polled())) return true;
        return false;
    }

    async stop() {
        for (const child of [this.server, this.simulator]) {
            if (!child) continue;
            child.kill("SIGTERM");
            await waitForExit(child, 15000);
        }
        if (this.folder) fs.rmSync(this.folder, { recursive: true, force: true });
    }
}

module.exports = { Kit };
