// Starts the server under test as a child process on a free loopback port and
// talks to it over its stdin and stdout; every wait is bounded.
"use strict";

const { spawn } = require("node:child_process");
const path = require("node:path");
const readline = require("node:readline");

const bin = process.env.VIREO_TEST_BIN;

class Host {
    constructor(args) {
        this.args = args;
        this.lines = [];
        this.waiting = [];
    }

    async start(timeoutMs = 10000) {
        if (!bin) throw new Error("VIREO_TEST_BIN names the folder of the programs under test");
        this.child = spawn(path.join(bin, "ua-test-host"), this.args, { stdio: ["pipe", "pipe", "inherit"] });
        this.exited = new Promise((resolve) => this.child.on("exit", (code, signal) => resolve({ code, signal })));
        readline.createInterface({ input: this.child.stdout }).on("line", (line) => {
            const waiter = this.waiting.shift();
            if (waiter) waiter(line);
            else this.lines.push(line);
        });
        const ready = await this.nextLine(timeoutMs);
        const match = /^ready (\d+)$/.exec(ready);
        if (!match) throw new Error(`the host did not start: ${ready}`);
        this.port = Number(match[1]);
        this.endpoint = `opc.tcp://127.0.0.1:${this.port}`;
    }

    nextLine(timeoutMs = 5000) {
        if (this.lines.length) return Promise.resolve(this.lines.shift());
        return new Promise((resolve, reject) => {
            const timer = setTimeout(() => reject(new Error("no answer from the host")), timeoutMs);
            this.waiting.push((line) => {
                clearTimeout(timer);
                resolve(line);
            });
        });
    }

    async command(text) {
        this.child.stdin.write(text + "\n");
        return this.nextLine();
    }

    async stop(timeoutMs = 10000) {
        if (!this.child) return null;
        this.child.stdin.end();
        const timer = setTimeout(() => this.child.kill("SIGKILL"), timeoutMs);
        const result = await this.exited;
        clearTimeout(timer);
        return result;
    }
}

module.exports = { Host };
