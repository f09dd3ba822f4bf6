// A node-opcua server holding the benchmark's variables as the endpoint does:
// "ns=1;s=Каналы связи.Bench.v_<i>", UInt16, in one folder.
//   node server.js PORT COUNT [CHANGING_MS]
// With CHANGING_MS every variable takes a new value that often.
// Prints "ready <port>" once it listens; ends when stdin closes.
"use strict";

const { OPCUAServer } = require("node-opcua-server");
const { DataType, Variant } = require("node-opcua-variant");

(async () => {
    const port = Number(process.argv[2]);
    const count = Number(process.argv[3] || 10000);
    const changingMs = Number(process.argv[4] || 0);
    const server = new OPCUAServer({
        port,
        hostname: "127.0.0.1",
        maxAllowedSessionNumber: 100,
        serverCapabilities: { maxBrowseContinuationPoints: 10, operationLimits: { maxNodesPerRead: 100000, maxMonitoredItemsPerCall: 100000 } },
    });
    await server.initialize();
    const namespace = server.engine.addressSpace.getOwnNamespace();
    const objects = server.engine.addressSpace.rootFolder.objects;
    const root = namespace.addFolder(objects, { nodeId: "s=Каналы связи", browseName: "Каналы связи" });
    const bench = namespace.addFolder(root, { nodeId: "s=Каналы связи.Bench", browseName: "Bench" });
    const variables = [];
    for (let i = 1; i <= count; ++i) {
        const variable = namespace.addVariable({
            organizedBy: bench,
            nodeId: `s=Каналы связи.Bench.v_${i}`,
            browseName: `v_${i}`,
            dataType: "UInt16",
            value: new Variant({ dataType: DataType.UInt16, value: i }),
        });
        variables.push(variable);
    }
    if (changingMs > 0) {
        let round = 0;
        setInterval(() => {
            round = (round + 1) & 0xffff;
            for (const v of variables) v.setValueFromSource({ dataType: DataType.UInt16, value: round });
        }, changingMs);
    }
    await server.start();
    process.stdout.write(`ready ${port}\n`);
    process.stdin.on("end", async () => {
        await server.shutdown(0);
        process.exit(0);
    });
    process.stdin.resume();
})().catch((e) => {
    process.stderr.write(`${e.stack}\n`);
    process.exit(1);
});
