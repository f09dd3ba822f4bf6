#!/usr/bin/env node
// Watches OPC UA variables and shows them as a small table that updates in
// place: value, quality, source time and how often each changed. It
// subscribes when the server offers subscriptions and reads periodically
// when it does not. Ctrl+C (or SIGTERM) closes the session and ends it.
"use strict";

const {
    OPCUAClient,
    MessageSecurityMode,
    SecurityPolicy,
    AttributeIds,
    TimestampsToReturn,
    StatusCodes,
    setWarningLogger,
} = require("node-opcua-client");

// node-opcua's own warnings (certificate creation, crypto checks of the Node
// version) would tear the table: they are kept and shown only on failure.
const warnings = [];
setWarningLogger((_context, ...args) => {
    warnings.push(args.join(" "));
    if (warnings.length > 50) warnings.shift();
});

const usage = `usage: ua-watch.js [--endpoint URL] [--prefix TEXT] [--interval MS] [--frames N] [--reads] ITEM_ID...
  --endpoint URL  the server (opc.tcp://127.0.0.1:4840)
  --prefix TEXT   put before every ITEM_ID (the table shows them without it)
  --interval MS   publishing or reading interval (500)
  --frames N      end after N tables (0: until Ctrl+C)
  --reads         read periodically instead of subscribing
ITEM_ID is a variable's string id in namespace 1 (ns=1;s=PREFIX+ITEM_ID), or a whole NodeId.`;

function parseArguments(argv) {
    const options = { endpoint: "opc.tcp://127.0.0.1:4840", prefix: "", interval: 500, frames: 0, reads: false, items: [] };
    for (let i = 0; i < argv.length; ++i) {
        const a = argv[i];
        const next = () => {
            if (i + 1 >= argv.length) throw new Error(`${a} needs a value`);
            return argv[++i];
        };
        if (a === "--endpoint") options.endpoint = next();
        else if (a === "--prefix") options.prefix = next();
        else if (a === "--interval") options.interval = Number(next());
        else if (a === "--frames") options.frames = Number(next());
        else if (a === "--reads") options.reads = true;
        else if (a === "--help") options.help = true;
        else if (a.startsWith("--")) throw new Error(`unknown option ${a}`);
        else options.items.push(a);
    }
    if (!(options.interval >= 50)) throw new Error("--interval: at least 50 ms");
    if (!(options.frames >= 0)) throw new Error("--frames: a count");
    if (options.items.length === 0 && !options.help) throw new Error("no item to watch");
    return options;
}

const nodeIdOf = (item, prefix = "") => (/^(ns=\d+;)?[isgb]=/.test(item) ? item : `ns=1;s=${prefix}${item}`);

function timeText(date) {
    if (!date || date.getTime() <= 0) return "-";
    const pad = (n, w = 2) => String(n).padStart(w, "0");
    return `${pad(date.getHours())}:${pad(date.getMinutes())}:${pad(date.getSeconds())}.${pad(date.getMilliseconds(), 3)}`;
}

function valueText(dataValue) {
    const v = dataValue.value ? dataValue.value.value : null;
    if (v === null || v === undefined) return "-";
    if (typeof v === "number" && !Number.isInteger(v)) return v.toFixed(3);
    return String(v);
}

// The table: one row per item, columns fitted to the widest cell.
class Table {
    constructor(items) {
        this.rows = items.map((item) => ({ item, value: "…", status: "waiting", time: "-", changes: 0 }));
        this.drawn = 0;
    }
    update(index, dataValue) {
        const row = this.rows[index];
        const value = valueText(dataValue);
        const status = dataValue.statusCode ? dataValue.statusCode.name : "Good";
        if (row.status !== "waiting" && (value !== row.value || status !== row.status)) row.changes += 1;
        row.value = value;
        row.status = status;
        row.time = timeText(dataValue.sourceTimestamp || dataValue.serverTimestamp);
    }
    lines(title) {
        const header = { item: "Item", value: "Value", status: "Quality", time: "Source time", changes: "Changes" };
        const all = [header, ...this.rows];
        const width = (key) => Math.max(...all.map((r) => String(r[key]).length));
        const w = { item: width("item"), value: width("value"), status: width("status"), time: width("time") };
        const line = (r) =>
            `${String(r.item).padEnd(w.item)}  ${String(r.value).padStart(w.value)}  ${String(r.status).padEnd(w.status)}  ` +
            `${String(r.time).padEnd(w.time)}  ${String(r.changes).padStart(7)}`;
        return [title, line(header), ...this.rows.map(line)];
    }
    // On a terminal the table is drawn over itself; elsewhere each frame follows the last.
    draw(out, title) {
        const lines = this.lines(title);
        if (out.isTTY) {
            const up = this.drawn > 0 ? `\x1b[${this.drawn}A` : "";
            out.write(up + lines.map((l) => `\x1b[2K${l}`).join("\n") + "\n");
            this.drawn = lines.length;
        } else {
            out.write(lines.join("\n") + "\n\n");
        }
    }
}

async function subscribe(session, options, table, nodeIds) {
    const subscription = await session.createSubscription2({
        requestedPublishingInterval: options.interval,
        requestedLifetimeCount: 600,
        requestedMaxKeepAliveCount: 20,
        maxNotificationsPerPublish: 0,
        publishingEnabled: true,
        priority: 0,
    });
    const group = await subscription.monitorItems(
        nodeIds.map((nodeId) => ({ nodeId, attributeId: AttributeIds.Value })),
        { samplingInterval: options.interval, discardOldest: true, queueSize: 1 },
        TimestampsToReturn.Both
    );
    group.on("changed", (_item, dataValue, index) => table.update(index, dataValue));
    // An item the server refused (unknown, not readable) never changes: its row shows why.
    group.monitoredItems.forEach((item, index) => {
        const status = item.result ? item.result.statusCode : item.statusCode;
        if (status && status !== StatusCodes.Good) table.update(index, { statusCode: status });
    });
    return async () => subscription.terminate();
}

function pollReads(session, options, table, nodeIds) {
    let busy = false;
    const read = async () => {
        if (busy) return;
        busy = true;
        try {
            const values = await session.read(
                nodeIds.map((nodeId) => ({ nodeId, attributeId: AttributeIds.Value })),
                options.interval
            );
            values.forEach((dataValue, index) => table.update(index, dataValue));
        } catch (e) {
            table.rows.forEach((row) => (row.status = `read failed: ${e.message}`));
        } finally {
            busy = false;
        }
    };
    const timer = setInterval(read, options.interval);
    read();
    return async () => clearInterval(timer);
}

async function main() {
    let options;
    try {
        options = parseArguments(process.argv.slice(2));
    } catch (e) {
        console.error(`ua-watch: ${e.message}\n${usage}`);
        return 2;
    }
    if (options.help) {
        console.log(usage);
        return 0;
    }
    const nodeIds = options.items.map((item) => nodeIdOf(item, options.prefix));
    const table = new Table(options.items);
    const client = OPCUAClient.create({
        applicationName: "ua-watch",
        endpointMustExist: false,
        securityMode: MessageSecurityMode.None,
        securityPolicy: SecurityPolicy.None,
        // The server may still be starting: try for a minute.
        connectionStrategy: { maxRetry: 240, initialDelay: 200, maxDelay: 300 },
    });
    let session = null;
    let stopUpdates = async () => {};
    let drawTimer = null;
    let ending = null;
    const end = (code) => {
        if (!ending) {
            ending = (async () => {
                clearInterval(drawTimer);
                await stopUpdates().catch(() => {});
                if (session) await session.close().catch(() => {});
                await client.disconnect().catch(() => {});
                return code;
            })();
        }
        return ending;
    };
    const stopped = new Promise((resolve) => {
        for (const signal of ["SIGINT", "SIGTERM"]) {
            process.on(signal, () => {
                // A connection still being made is not waited for long.
                setTimeout(() => process.exit(0), 3000).unref();
                resolve(end(0));
            });
        }
    });

    const run = (async () => {
        await client.connect(options.endpoint);
        session = await client.createSession();
        let mode = "reads";
        if (!options.reads) {
            try {
                stopUpdates = await subscribe(session, options, table, nodeIds);
                mode = "subscription";
            } catch (e) {
                if (e.message.indexOf("BadServiceUnsupported") < 0) throw e;
            }
        }
        if (mode === "reads") stopUpdates = pollReads(session, options, table, nodeIds);
        const title = `${options.endpoint}  (${mode}, every ${options.interval} ms; Ctrl+C ends)`;
        let frames = 0;
        return new Promise((resolve) => {
            drawTimer = setInterval(() => {
                table.draw(process.stdout, title);
                if (options.frames > 0 && ++frames >= options.frames) resolve(end(0));
            }, options.interval);
        });
    })().catch(async (e) => {
        // After a signal, a connection cut short is no failure.
        if (ending) return ending;
        for (const w of warnings) console.error(`node-opcua: ${w}`);
        console.error(`ua-watch: ${e.message}`);
        return end(1);
    });
    return Promise.race([run, stopped]);
}

if (require.main === module) {
    main().then((code) => process.exit(code));
}

module.exports = { parseArguments, nodeIdOf, Table, StatusCodes };
