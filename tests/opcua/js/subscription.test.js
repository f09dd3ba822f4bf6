// Subscriptions of the real OpcVireo2 as node-opcua-client uses them, against
// the kit simulator: data changes equal to the registers the simulator holds,
// a silent device, filters, items let go when monitoring stops or a
// subscription dies, Republish, TransferSubscriptions, and server mode closing
// itself once the last session has ended.
"use strict";

const { describe, it, before, after } = require("node:test");
const assert = require("node:assert");
const path = require("node:path");
const { promisify } = require("node:util");
const { spawnSync } = require("node:child_process");
const {
    OPCUAClient,
    MessageSecurityMode,
    SecurityPolicy,
    AttributeIds,
    ClientSubscription,
    ClientMonitoredItemGroup,
    TimestampsToReturn,
    MonitoringMode,
    DataChangeFilter,
    DataChangeTrigger,
    DeadbandType,
    StatusCodes,
    PublishRequest,
    RepublishRequest,
} = require("node-opcua-client");
const { Kit } = require("./kit");

const channel = "Каналы связи.Vireo-2_1";
const nodeOf = (id) => `ns=1;s=${channel}.${id}`;
const sleep = (ms) => new Promise((r) => setTimeout(r, ms));

// The channel's items as vireo-itemlist prints them, those read from one
// register whose value the test decodes: bits, fields and bytes.
function readableItems() {
    const out = spawnSync(path.join(process.env.VIREO_TEST_BIN, "vireo-itemlist"), ["--all-pas-models", "1"], {
        encoding: "utf8",
        timeout: 60000,
    }).stdout;
    return out
        .split("\n")
        .map((line) => /^"(.*)",(\d+),1,(\d+),\w+,0,R$/.exec(line))
        .filter((m) => m && ((m[3] >= 6 && m[3] <= 21) || (m[3] >= 27 && m[3] <= 40)))
        .map((m) => ({ id: m[1], address: Number(m[2]), code: Number(m[3]) }));
}

function decode(code, r) {
    if (code <= 21) return ((r >> (code - 6)) & 1) === 1;
    if (code <= 34) return (r >> (2 * (code - 27))) & 3;
    if (code <= 38) return (r >> (4 * (code - 35))) & 15;
    return code === 39 ? r & 0xff : r >> 8;
}

// The simulator's registers at the given addresses, a range at a time.
async function registers(kit, addresses) {
    const sorted = [...new Set(addresses)].sort((a, b) => a - b);
    const values = new Map();
    for (let i = 0; i < sorted.length; ) {
        let n = 1;
        while (i + n < sorted.length && sorted[i + n] === sorted[i] + n && n < 100) ++n;
        (await kit.sim(`get ${sorted[i]} ${n}`)).split(" ").forEach((v, k) => values.set(sorted[i] + k, Number(v)));
        i += n;
    }
    return values;
}

async function until(condition, what, timeoutMs = 20000) {
    const deadline = Date.now() + timeoutMs;
    while (!(await condition())) {
        if (Date.now() > deadline) throw new Error(`not within ${timeoutMs} ms: ${what}`);
        await sleep(50);
    }
}

async function connect(kit) {
    const client = OPCUAClient.create({
        applicationName: "vireo-endpoint-test",
        endpointMustExist: true,
        securityMode: MessageSecurityMode.None,
        securityPolicy: SecurityPolicy.None,
        connectionStrategy: { maxRetry: 0 },
        keepSessionAlive: false,
    });
    await client.connect(kit.endpoint);
    const session = await client.createSession();
    session.done = async () => {
        await session.close();
        await client.disconnect();
    };
    return session;
}

// Items watched through node-opcua's own subscription: the latest data value of each.
async function watch(session, items, filter, publishingInterval = 100) {
    const subscription = ClientSubscription.create(session, {
        requestedPublishingInterval: publishingInterval,
        requestedMaxKeepAliveCount: 10,
        requestedLifetimeCount: 100,
        publishingEnabled: true,
    });
    const group = ClientMonitoredItemGroup.create(
        subscription,
        items.map((i) => ({ nodeId: nodeOf(i.id), attributeId: AttributeIds.Value })),
        { samplingInterval: 100, queueSize: 1, discardOldest: true, filter },
        TimestampsToReturn.Both
    );
    const latest = new Map();
    const counts = new Map();
    group.on("changed", (item, dataValue, index) => {
        latest.set(index, dataValue);
        counts.set(index, (counts.get(index) || 0) + 1);
    });
    await new Promise((resolve, reject) => {
        group.once("initialized", resolve);
        group.once("err", (e) => reject(new Error(e)));
    });
    return { subscription, group, latest, counts };
}

// Raw services, without node-opcua's publish engine.
async function rawSubscription(session, nodeId) {
    const created = await session.createSubscription({
        requestedPublishingInterval: 100,
        requestedLifetimeCount: 600,
        requestedMaxKeepAliveCount: 10,
        publishingEnabled: true,
    });
    const id = created.subscriptionId;
    await session.createMonitoredItems({
        subscriptionId: id,
        timestampsToReturn: TimestampsToReturn.Both,
        itemsToCreate: [
            {
                itemToMonitor: { nodeId, attributeId: AttributeIds.Value },
                monitoringMode: MonitoringMode.Reporting,
                requestedParameters: { clientHandle: 1, samplingInterval: 100, queueSize: 1, discardOldest: true },
            },
        ],
    });
    return id;
}

// The next Publish answer that is not a keep-alive.
async function nextMessage(session, acknowledgements = []) {
    const publish = promisify(session.publish.bind(session));
    for (let i = 0; i < 50; ++i) {
        const r = await publish(new PublishRequest({ subscriptionAcknowledgements: acknowledgements }));
        acknowledgements = [];
        if (r.notificationMessage.notificationData && r.notificationMessage.notificationData.length) return r;
    }
    throw new Error("no notification");
}

describe("OpcVireo2 subscriptions with node-opcua-client against the kit simulator", () => {
    const kit = new Kit({ pollPeriodMs: 100 });
    const all = [];
    before(async () => {
        await kit.start();
        all.push(...readableItems());
    });
    after(() => kit.stop());

    it("delivers 1,000 items with the simulator's values, then its changes", async () => {
        const step = Math.floor(all.length / 1000);
        const items = Array.from({ length: 1000 }, (_, i) => all[i * step]);
        const session = await connect(kit);
        try {
            const { latest } = await watch(session, items);
            const agrees = async () => {
                const regs = await registers(kit, items.map((i) => i.address));
                return items.every((item, k) => {
                    const dv = latest.get(k);
                    return dv && dv.statusCode === StatusCodes.Good && dv.value.value === decode(item.code, regs.get(item.address));
                });
            };
            await until(agrees, "the values the simulator holds");
            // New register values, every bit flipped: every item changes.
            const regs = await registers(kit, items.map((i) => i.address));
            for (const [address, value] of regs) await kit.sim(`set ${address} ${value ^ 0xffff}`);
            await until(agrees, "the simulator's changes");
        } finally {
            await session.done();
        }
    });

    it("turns the items Bad while the simulator is silent and Good when it answers again", async () => {
        const session = await connect(kit);
        try {
            const { latest } = await watch(session, all.slice(0, 10));
            const every = (status) => () => latest.size === 10 && [...latest.values()].every((dv) => dv.statusCode === status);
            await until(every(StatusCodes.Good), "Good at first");
            await kit.sim("fault silence");
            await until(every(StatusCodes.Bad), "Bad while silent");
            await kit.sim("clear");
            await until(every(StatusCodes.Good), "Good again", 30000);
        } finally {
            await kit.sim("clear");
            await session.done();
        }
    });

    it("reports by trigger and deadband", async () => {
        const item = all.find((i) => i.code === 39);
        const session = await connect(kit);
        const set = (low) => kit.sim(`set ${item.address} ${low}`);
        try {
            await set(100);
            const filters = [
                new DataChangeFilter({ trigger: DataChangeTrigger.StatusValue }),
                new DataChangeFilter({ trigger: DataChangeTrigger.Status }),
                new DataChangeFilter({ trigger: DataChangeTrigger.StatusValue, deadbandType: DeadbandType.Absolute, deadbandValue: 10 }),
            ];
            const watched = await Promise.all(filters.map((f) => watch(session, [item], f)));
            const value = (w) => w.latest.get(0) && w.latest.get(0).value.value;
            const counts = () => watched.map((w) => w.counts.get(0) || 0);
            await until(() => watched.every((w) => value(w) === 100), "the first value");
            // Each step waits for the plain filter, which reports every change.
            const steps = [
                [105, [1, 0, 0]],  // within the deadband
                [120, [1, 0, 1]],  // beyond it, from 100
            ];
            for (const [low, added] of steps) {
                const before = counts();
                await set(low);
                await until(() => value(watched[0]) === low, `value ${low}`);
                await sleep(300);
                assert.deepStrictEqual(counts().map((c, i) => c - before[i]), added, `at ${low}`);
            }
            const status = (code) => () => watched.every((w) => w.latest.get(0).statusCode === code);
            await kit.sim("fault silence");
            await until(status(StatusCodes.Bad), "every filter reports the status");
            await kit.sim("clear");
            await until(status(StatusCodes.Good), "Good again", 30000);
        } finally {
            await kit.sim("clear");
            await session.done();
        }
    });

    it("stops polling items whose monitoring is disabled and resumes when they report again", async () => {
        const session = await connect(kit);
        try {
            await kit.quiet();
            const { subscription, group, latest } = await watch(session, all.slice(100, 105));
            assert.ok(await kit.polled(), "monitored items are polled");
            await group.setMonitoringMode(MonitoringMode.Disabled);
            assert.ok(await kit.quiet(), "disabled items are let go");
            latest.clear();
            await group.setMonitoringMode(MonitoringMode.Reporting);
            await until(() => latest.size === 5, "the values again");
            assert.ok(await kit.polled(), "polled again");
            await subscription.terminate();
        } finally {
            await session.done();
        }
    });

    it("ends a subscription whose client stops publishing and lets its items go", async () => {
        const session = await connect(kit);
        try {
            await kit.quiet();
            const subscription = ClientSubscription.create(session, {
                requestedPublishingInterval: 100,
                requestedMaxKeepAliveCount: 2,
                requestedLifetimeCount: 6,
                publishingEnabled: true,
            });
            const group = ClientMonitoredItemGroup.create(
                subscription,
                all.slice(200, 205).map((i) => ({ nodeId: nodeOf(i.id), attributeId: AttributeIds.Value })),
                { samplingInterval: 100, queueSize: 1 },
                TimestampsToReturn.Both
            );
            await new Promise((resolve) => group.once("initialized", resolve));
            assert.ok(await kit.polled());
            const ended = new Promise((resolve) => subscription.on("status_changed", resolve));
            session.getPublishEngine().suspend(true);
            assert.ok(await kit.quiet(), "the items go with the subscription");
            // The next Publish learns why.
            session.getPublishEngine().suspend(false);
            const status = await Promise.race([ended, sleep(10000).then(() => null)]);
            assert.strictEqual(status && status.value, StatusCodes.BadTimeout.value);
        } finally {
            await session.done();
        }
    });

    it("republishes a message the client lost, until it is acknowledged", async () => {
        const session = await connect(kit);
        const republish = promisify(session.republish.bind(session));
        try {
            const id = await rawSubscription(session, nodeOf(all[0].id));
            const lost = await nextMessage(session);
            const sequenceNumber = lost.notificationMessage.sequenceNumber;
            assert.ok(lost.availableSequenceNumbers.includes(sequenceNumber));
            const again = await republish(new RepublishRequest({ subscriptionId: id, retransmitSequenceNumber: sequenceNumber }));
            assert.strictEqual(again.notificationMessage.sequenceNumber, sequenceNumber);
            assert.deepStrictEqual(
                again.notificationMessage.notificationData[0].monitoredItems[0].value.value.value,
                lost.notificationMessage.notificationData[0].monitoredItems[0].value.value.value
            );
            await kit.sim(`set ${all[0].address} ${(await registers(kit, [all[0].address])).get(all[0].address) ^ 0xffff}`);
            const next = await nextMessage(session, [{ subscriptionId: id, sequenceNumber }]);
            assert.deepStrictEqual(next.results.map((s) => s.value), [StatusCodes.Good.value]);
            await assert.rejects(
                republish(new RepublishRequest({ subscriptionId: id, retransmitSequenceNumber: sequenceNumber })),
                /BadMessageNotAvailable/
            );
        } finally {
            await session.done();
        }
    });

    it("transfers a subscription to a second session with the current values", async () => {
        const first = await connect(kit);
        const second = await connect(kit);
        try {
            const item = all[1];
            const id = await rawSubscription(first, nodeOf(item.id));
            await nextMessage(first);
            const moved = await second.transferSubscriptions({ subscriptionIds: [id], sendInitialValues: true });
            assert.strictEqual(moved.results[0].statusCode, StatusCodes.Good);
            const initial = (await nextMessage(second)).notificationMessage.notificationData[0].monitoredItems;
            const regs = await registers(kit, [item.address]);
            assert.strictEqual(initial.length, 1);
            assert.strictEqual(initial[0].value.value.value, decode(item.code, regs.get(item.address)));
            const told = (await nextMessage(first)).notificationMessage.notificationData[0];
            assert.strictEqual(told.status.value, StatusCodes.GoodSubscriptionTransferred.value);
        } finally {
            await first.done();
            await second.done();
        }
    });
});

describe("OpcVireo2 in server mode", () => {
    const kit = new Kit({ serverMode: true });
    before(() => kit.start());
    after(() => kit.stop());

    it("keeps running while a session is open and closes itself 5 to 10 s after the last one ends", async () => {
        const exited = new Promise((resolve) => kit.server.once("exit", () => resolve(Date.now())));
        const session = await connect(kit);
        await sleep(12000);
        assert.strictEqual(kit.server.exitCode, null, "still running with a session open");
        await session.done();
        const closed = Date.now();
        const at = await Promise.race([exited, sleep(20000).then(() => null)]);
        assert.ok(at !== null, "it closed itself");
        const seconds = (at - closed) / 1000;
        assert.ok(seconds >= 5 && seconds <= 10.5, `closed ${seconds} s after the last session`);
    });
});
