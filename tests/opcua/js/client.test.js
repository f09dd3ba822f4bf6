// The real OpcVireo2 as node-opcua-client sees it, against the kit simulator:
// a client written by others, values that the simulator holds, writes that
// reach it.
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
const { Kit } = require("./kit");

const root = "Каналы связи";
const channel = `${root}.Vireo-2_1`;
const item = (tail) => `ns=1;s=${channel}.${tail}`;
const value = (nodeId) => ({ nodeId, attributeId: AttributeIds.Value });

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

async function withSession(kit, body) {
    const client = makeClient();
    await client.connect(kit.endpoint);
    const session = await client.createSession();
    try {
        return await body(session, client);
    } finally {
        await session.close();
        await client.disconnect();
    }
}

async function browseAll(session, nodeId) {
    let page = await session.browse({
        nodeId,
        referenceTypeId: "HierarchicalReferences",
        includeSubtypes: true,
        browseDirection: BrowseDirection.Forward,
        resultMask: 63,
    });
    const references = [...page.references];
    let calls = 1;
    while (page.continuationPoint && page.continuationPoint.length) {
        page = await session.browseNext(page.continuationPoint, false);
        references.push(...page.references);
        ++calls;
    }
    return { references, calls };
}

describe("OpcVireo2 with node-opcua-client against the kit simulator", () => {
    const kit = new Kit();
    before(() => kit.start());
    after(() => kit.stop());

    it("lists the endpoint it was dialled at, without security, for anonymous users", async () => {
        const client = makeClient();
        await client.connect(kit.endpoint);
        const endpoints = await client.getEndpoints();
        await client.disconnect();
        const urls = endpoints.map((e) => e.endpointUrl);
        assert.ok(urls.includes(kit.endpoint), urls.join());
        const e = endpoints[0];
        assert.strictEqual(e.securityMode, MessageSecurityMode.None);
        assert.strictEqual(e.securityPolicyUri, SecurityPolicy.None);
        const anonymous = e.userIdentityTokens.find((t) => t.tokenType === 0);
        assert.ok(anonymous && anonymous.policyId, "an anonymous token policy with its policyId");
    });

    it("reads the server's status, namespaces and operation limits", async () => {
        await withSession(kit, async (session) => {
            const [state, namespaces, servers, status, ...limits] = await session.read(
                ["i=2259", "i=2255", "i=2254", "i=2256", "i=11705", "i=11707", "i=11710", "i=11711", "i=11712",
                    "i=2735", "i=11702", "i=24095"].map(value),
                0
            );
            assert.strictEqual(state.statusCode, StatusCodes.Good);
            assert.strictEqual(state.value.value, 0); // Running
            assert.ok(state.serverTimestamp instanceof Date);
            assert.strictEqual(namespaces.value.value[0], "http://opcfoundation.org/UA/");
            assert.strictEqual(namespaces.value.value[1], servers.value.value[0]);
            assert.strictEqual(status.value.value.buildInfo.productName, "OpcVireo2");
            assert.notStrictEqual(status.value.value.buildInfo.softwareVersion, "");
            for (const limit of limits) {
                assert.strictEqual(limit.statusCode, StatusCodes.Good);
                assert.strictEqual(typeof limit.value.value, "number");
            }
        });
    });

    it("browses Objects, the item space, a channel, PU_1 and its groups, and MyPin page by page", async () => {
        await withSession(kit, async (session) => {
            const objects = await browseAll(session, "i=85");
            assert.deepStrictEqual(objects.references.map((r) => r.browseName.toString()).sort(), [`1:${root}`, "Server"].sort());
            const top = await browseAll(session, `ns=1;s=${root}`);
            assert.deepStrictEqual(top.references.filter((r) => r.nodeClass === 1).map((r) => r.displayName.text), ["Vireo-2_1"]);
            // 77 devices and, beside them, the 24 items Type_PAS_<n>.
            const children = (await browseAll(session, `ns=1;s=${channel}`)).references;
            assert.strictEqual(children.length, 101);
            assert.strictEqual(children.filter((r) => r.nodeClass === 1).length, 77);
            assert.ok(children.some((r) => r.browseName.name === "PU_1" && r.nodeClass === 1));
            assert.ok(children.some((r) => r.browseName.name === "Type_PAS_1" && r.nodeClass === 2));
            const pu = (await browseAll(session, item("PU_1"))).references;
            const groups = pu.filter((r) => r.nodeClass === 1);
            assert.ok(groups.length > 0 && pu.some((r) => r.nodeClass === 2));
            const group = await browseAll(session, groups[0].nodeId.toString());
            assert.ok(group.references.length > 0);
            assert.ok(group.references.every((r) => r.typeDefinition.toString() === "ns=0;i=63" || r.nodeClass === 1));

            session.requestedMaxReferencesPerNode = 10;
            const myPin = await browseAll(session, item("MyPin"));
            assert.strictEqual(myPin.references.length, 342);
            assert.strictEqual(myPin.calls, 35);
        });
    });

    it("translates a browse path to an item", async () => {
        await withSession(kit, async (session) => {
            const result = await session.translateBrowsePath(
                makeBrowsePath("i=85", `/1:${root}/1:Vireo-2_1/1:MyPin/1:Pribor_Comm1/1:Command`)
            );
            assert.strictEqual(result.statusCode, StatusCodes.Good);
            assert.strictEqual(result.targets[0].targetId.toString(), item("MyPin.Pribor_Comm1.Command"));
        });
    });

    it("reads MyPin and PAS items with the values the simulator holds, and the device again with maxAge 0", async () => {
        await withSession(kit, async (session) => {
            const kernel = Number(await kit.sim("get 516")) & 0xff;
            const model = Number(await kit.sim("get 4366")) & 0xff;
            const [myPin, pas] = await session.read([value(item("MyPin.kernel_version")), value(item("PAS_1.kernel1_model"))], 60000);
            assert.strictEqual(myPin.statusCode, StatusCodes.Good);
            assert.strictEqual(myPin.value.dataType, DataType.Byte);
            assert.strictEqual(myPin.value.value, kernel);
            assert.ok(myPin.sourceTimestamp instanceof Date);
            assert.strictEqual(pas.statusCode, StatusCodes.Good);
            assert.strictEqual(pas.value.value, model);

            const changed = (kernel + 17) & 0xff;
            await kit.sim(`set 516 ${changed}`);
            const again = await session.read(value(item("MyPin.kernel_version")), 0);
            assert.strictEqual(again.statusCode, StatusCodes.Good);
            assert.strictEqual(again.value.value, changed);
        });
    });

    it("writes the password and then a command, and the simulator accepts the command", async () => {
        await withSession(kit, async (session) => {
            const accepted = await kit.simCount("accepted");
            const password = await session.write({
                nodeId: item("MyPin.Write_Password"),
                attributeId: AttributeIds.Value,
                value: { value: { dataType: DataType.UInt32, value: 1234 } },
            });
            assert.strictEqual(password, StatusCodes.Good);
            const command = await session.write({
                nodeId: item("MyPin.Pribor_Comm1.Command"),
                attributeId: AttributeIds.Value,
                value: { value: { dataType: DataType.Byte, value: 5 } },
            });
            assert.strictEqual(command, StatusCodes.Good);
            assert.strictEqual(await kit.simCount("accepted"), accepted + 1);
            assert.strictEqual(await kit.sim("get 2000"), "5");
        });
    });

    it("refuses unknown nodes, read-only items and values of the wrong type", async () => {
        await withSession(kit, async (session) => {
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
                value: { value: { dataType: DataType.String, value: "five" } },
            });
            assert.strictEqual(wrongType, StatusCodes.BadTypeMismatch);
            const folderValue = await session.read(value(item("MyPin")));
            assert.strictEqual(folderValue.statusCode, StatusCodes.BadAttributeIdInvalid);
        });
    });

    it("serves two clients at once", async () => {
        const reads = await Promise.all(
            [1, 2].map(() => withSession(kit, (session) => session.read(value(item("PAS_1.kernel1_model")), 0)))
        );
        for (const r of reads) assert.strictEqual(r.statusCode, StatusCodes.Good);
    });

    it("releases the items of a client that vanished once its session times out", async () => {
        // A client process that reads an item, polled from then on, and dies without closing anything.
        const script = `
            const { OPCUAClient, MessageSecurityMode, SecurityPolicy, AttributeIds } = require("node-opcua-client");
            (async () => {
                const client = OPCUAClient.create({ endpointMustExist: false, securityMode: MessageSecurityMode.None,
                    securityPolicy: SecurityPolicy.None, requestedSessionTimeout: 2000, connectionStrategy: { maxRetry: 0 } });
                await client.connect("${kit.endpoint}");
                const session = await client.createSession();
                await session.read({ nodeId: "${item("PAS_1.kernel1_model")}", attributeId: AttributeIds.Value });
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
        // Polled while the session lives: the simulator keeps being asked.
        assert.ok(await kit.polled(), "the item is polled while held");
        // The session ends after its 2 s: the item goes, and so does the polling.
        assert.ok(await kit.quiet(), "polling stops once the session has timed out");
    });

    it("accepts a read answer of more than 5 MB in chunks", async () => {
        await withSession(kit, async (session) => {
            const results = await session.read(Array.from({ length: 60000 }, () => value("i=2256")));
            assert.strictEqual(results.length, 60000);
            assert.strictEqual(results[59999].statusCode, StatusCodes.Good);
        });
    });
});
