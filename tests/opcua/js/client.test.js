// The OPC UA endpoint as node-opcua-client sees it: a client written by
// others, against the server under test started on a free loopback port.
"use strict";

const { describe, it, before, after } = require("node:test");
const assert = require("node:assert");
const { spawn } = require("node:child_process");
const {
    OPCUAClient,
    MessageSecurityMode,
    SecurityPolicy,
    AttributeIds,
    BrowseDirection,
    DataType,
    StatusCodes,
    makeBrowsePath,
} = require("node-opcua-client");
const { Host } = require("./host");

const root = "Каналы связи";
const channel = `${root}.Vireo-2_1`;
const item = (tail) => `ns=1;s=${channel}.${tail}`;

function makeClient(options = {}) {
    return OPCUAClient.create({
        applicationName: "vireo-endpoint-test",
        endpointMustExist: true,
        securityMode: MessageSecurityMode.None,
        securityPolicy: SecurityPolicy.None,
        connectionStrategy: { maxRetry: 0, initialDelay: 100, maxDelay: 200 },
        keepSessionAlive: false,
        ...options,
    });
}

async function withSession(host, body, options) {
    const client = makeClient(options);
    await client.connect(host.endpoint);
    const session = await client.createSession();
    try {
        return await body(session, client);
    } finally {
        await session.close();
        await client.disconnect();
    }
}

const value = (nodeId) => ({ nodeId, attributeId: AttributeIds.Value });

describe("OPC UA endpoint with node-opcua-client", () => {
    const host = new Host(["--fake"]);
    before(() => host.start());
    after(() => host.stop());

    it("lists the endpoint it was dialled at, without security, for anonymous users", async () => {
        const client = makeClient();
        await client.connect(host.endpoint);
        const endpoints = await client.getEndpoints();
        await client.disconnect();
        const urls = endpoints.map((e) => e.endpointUrl);
        assert.ok(urls.includes(host.endpoint), urls.join());
        const e = endpoints[0];
        assert.strictEqual(e.securityMode, MessageSecurityMode.None);
        assert.strictEqual(e.securityPolicyUri, SecurityPolicy.None);
        const anonymous = e.userIdentityTokens.find((t) => t.tokenType === 0);
        assert.ok(anonymous && anonymous.policyId, "an anonymous token policy with its policyId");
    });

    it("reads the server's status, namespaces and operation limits", async () => {
        await withSession(host, async (session) => {
            const [state, namespaces, servers, status, ...limits] = await session.read(
                [
                    value("i=2259"),
                    value("i=2255"),
                    value("i=2254"),
                    value("i=2256"),
                    value("i=11705"),
                    value("i=11707"),
                    value("i=11710"),
                    value("i=11711"),
                    value("i=11712"),
                    value("i=2735"),
                    value("i=11702"),
                    value("i=24095"),
                ],
                0
            );
            assert.strictEqual(state.statusCode, StatusCodes.Good);
            assert.strictEqual(state.value.value, 0); // Running
            assert.ok(state.serverTimestamp instanceof Date);
            assert.strictEqual(namespaces.value.value[0], "http://opcfoundation.org/UA/");
            assert.strictEqual(namespaces.value.value[1], servers.value.value[0]);
            assert.strictEqual(status.value.value.buildInfo.productName, "OpcVireo2");
            for (const limit of limits) {
                assert.strictEqual(limit.statusCode, StatusCodes.Good);
                assert.strictEqual(typeof limit.value.value, "number");
            }
            assert.strictEqual(await host.command("clients"), "1");
        });
    });

    it("browses Objects, the item space and a group with continuation points", async () => {
        await withSession(host, async (session) => {
            const objects = await session.browse({
                nodeId: "i=85",
                referenceTypeId: "HierarchicalReferences",
                includeSubtypes: true,
                browseDirection: BrowseDirection.Forward,
                resultMask: 63,
            });
            const names = objects.references.map((r) => r.browseName.toString());
            assert.deepStrictEqual(names.sort(), [`1:${root}`, "Server"].sort());

            const top = await session.browse(`ns=1;s=${root}`);
            assert.deepStrictEqual(
                top.references.filter((r) => r.isForward && r.nodeClass === 1).map((r) => r.displayName.text),
                ["Vireo-2_1"]
            );
            const devices = await session.browse(`ns=1;s=${channel}`);
            assert.deepStrictEqual(
                devices.references.filter((r) => r.nodeClass === 1).map((r) => r.browseName.name),
                ["MyPin", "PU_1", "PAS_1"]
            );

            session.requestedMaxReferencesPerNode = 10;
            let page = await session.browse({
                nodeId: `ns=1;s=${channel}.PU_1.Sh_State`,
                referenceTypeId: "Organizes",
                includeSubtypes: false,
                browseDirection: BrowseDirection.Forward,
                resultMask: 63,
            });
            const children = [...page.references];
            let calls = 1;
            while (page.continuationPoint && page.continuationPoint.length) {
                page = await session.browseNext(page.continuationPoint, false);
                children.push(...page.references);
                ++calls;
            }
            assert.strictEqual(children.length, 250);
            assert.strictEqual(calls, 25);
            assert.strictEqual(children[0].nodeId.toString(), item("PU_1.Sh_State.shl_1"));
            assert.strictEqual(children[0].typeDefinition.toString(), "ns=0;i=63");
        });
    });

    it("translates a browse path to an item and reads and writes the item", async () => {
        await withSession(host, async (session) => {
            const result = await session.translateBrowsePath(
                makeBrowsePath("i=85", `/1:${root}/1:Vireo-2_1/1:MyPin/1:Pribor_Comm1/1:Command`)
            );
            assert.strictEqual(result.statusCode, StatusCodes.Good);
            assert.strictEqual(result.targets[0].targetId.toString(), item("MyPin.Pribor_Comm1.Command"));

            assert.strictEqual(await host.command(`set ${channel}.PU_1.Sh_State.shl_3 1234`), "ok");
            const first = await session.read(value(item("PU_1.Sh_State.shl_3")), 60000);
            assert.strictEqual(first.statusCode, StatusCodes.Good);
            assert.strictEqual(first.value.dataType, DataType.UInt16);
            assert.ok(first.sourceTimestamp instanceof Date);

            const password = await session.write({
                nodeId: item("MyPin.Write_Password"),
                attributeId: AttributeIds.Value,
                value: { value: { dataType: DataType.UInt16, value: 4321 } },
            });
            assert.strictEqual(password, StatusCodes.Good);
            const command = await session.write({
                nodeId: item("MyPin.Pribor_Comm1.Command"),
                attributeId: AttributeIds.Value,
                value: { value: { dataType: DataType.UInt16, value: 7 } },
            });
            assert.strictEqual(command, StatusCodes.Good);
            assert.strictEqual(
                await host.command("written"),
                `${channel}.MyPin.Write_Password=4321;${channel}.MyPin.Pribor_Comm1.Command=7;`
            );
        });
    });

    it("refuses unknown nodes, read-only items and values of the wrong type", async () => {
        await withSession(host, async (session) => {
            const unknown = await session.read(value("ns=1;s=Нет.такого"));
            assert.strictEqual(unknown.statusCode, StatusCodes.BadNodeIdUnknown);
            const readOnly = await session.write({
                nodeId: item("MyPin.kernel_version"),
                attributeId: AttributeIds.Value,
                value: { value: { dataType: DataType.Byte, value: 1 } },
            });
            assert.strictEqual(readOnly, StatusCodes.BadNotWritable);
            const wrongType = await session.write({
                nodeId: item("MyPin.Pribor_Comm1.Command"),
                attributeId: AttributeIds.Value,
                value: { value: { dataType: DataType.String, value: "seven" } },
            });
            assert.strictEqual(wrongType, StatusCodes.BadTypeMismatch);
            const folderValue = await session.read(value(`ns=1;s=${channel}.MyPin`));
            assert.strictEqual(folderValue.statusCode, StatusCodes.BadAttributeIdInvalid);
        });
    });

    it("serves two clients at once", async () => {
        const reads = await Promise.all(
            [1, 2].map(() =>
                withSession(host, (session) => session.read(value(item("PAS_1.pas_status.err_rs485")), 0))
            )
        );
        for (const r of reads) {
            assert.strictEqual(r.statusCode, StatusCodes.Good);
            assert.strictEqual(r.value.dataType, DataType.Boolean);
        }
    });

    it("releases the items of a client that vanished once its session times out", async () => {
        const id = `${channel}.PU_1.Sh_State.shl_200`;
        // A client process that reads an item and dies without closing anything.
        const script = `
            const { OPCUAClient, MessageSecurityMode, SecurityPolicy, AttributeIds } = require("node-opcua-client");
            (async () => {
                const client = OPCUAClient.create({ endpointMustExist: false, securityMode: MessageSecurityMode.None,
                    securityPolicy: SecurityPolicy.None, requestedSessionTimeout: 2000,
                    connectionStrategy: { maxRetry: 0 } });
                await client.connect("${host.endpoint}");
                const session = await client.createSession();
                await session.read({ nodeId: "ns=1;s=${id}", attributeId: AttributeIds.Value });
                process.stdout.write("read\\n");
                process.kill(process.pid, "SIGKILL");
            })();`;
        const child = spawn(process.execPath, ["-e", script], { cwd: __dirname, stdio: ["ignore", "pipe", "inherit"] });
        const output = await new Promise((resolve) => {
            let text = "";
            child.stdout.on("data", (d) => (text += d));
            child.on("exit", () => resolve(text));
        });
        assert.ok(output.split("\n").includes("read"), output);
        assert.strictEqual(await host.command(`inuse ${id}`), "1");
        const deadline = Date.now() + 10000;
        while ((await host.command(`inuse ${id}`)) === "1" && Date.now() < deadline)
            await new Promise((r) => setTimeout(r, 200));
        assert.strictEqual(await host.command(`inuse ${id}`), "0");
        assert.strictEqual(await host.command("clients"), "0");
    });

    it("accepts a read answer of more than 5 MB in chunks", async () => {
        await withSession(host, async (session) => {
            const nodes = Array.from({ length: 35000 }, () => value("i=2256"));
            const results = await session.read(nodes);
            assert.strictEqual(results.length, 35000);
            assert.strictEqual(results[34999].statusCode, StatusCodes.Good);
        });
    });
});
