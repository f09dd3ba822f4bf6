// The transport messages node-opcua-transport ships as test fixtures (Hello,
// Acknowledge, OpenSecureChannel, chunked GetEndpoints, CloseSecureChannel and
// their malformed variants), each on a raw connection of its own: every one
// gets a proper answer, or an Error message and a closed connection. A client
// is served afterwards. The server is the real OpcVireo2.
"use strict";

const { describe, it, before, after } = require("node:test");
const assert = require("node:assert");
const net = require("node:net");
const fixtures = require("node-opcua-transport/dist/test-fixtures");
const { OPCUAClient, MessageSecurityMode, SecurityPolicy, AttributeIds, StatusCodes } = require("node-opcua-client");
const { Kit } = require("./kit");

// What came back on one connection: the message types in order, the code of
// an Error message, whether the server closed the connection.
function exchange(port, pieces, waitMs = 1500) {
    return new Promise((resolve) => {
        const socket = net.connect(port, "127.0.0.1");
        let buffer = Buffer.alloc(0);
        const types = [];
        let errorCode = null;
        let step = 0;
        let channelId = 0;
        const timer = setTimeout(() => finish(false), waitMs);
        const finish = (closed) => {
            clearTimeout(timer);
            socket.destroy();
            resolve({ types, errorCode, closed });
        };
        const sendNext = () => {
            while (step < pieces.length) {
                const piece = Buffer.from(pieces[step++]);
                const type = piece.toString("latin1", 0, 3);
                // Captured messages name the channel they came from: address ours.
                if ((type === "MSG" || type === "CLO") && channelId && piece.length >= 12) piece.writeUInt32LE(channelId, 8);
                socket.write(piece);
                if (type === "HEL" || type === "OPN") return; // wait for the answer first
            }
        };
        socket.on("connect", sendNext);
        socket.on("data", (data) => {
            buffer = Buffer.concat([buffer, data]);
            while (buffer.length >= 8 && buffer.length >= buffer.readUInt32LE(4)) {
                const size = buffer.readUInt32LE(4);
                const type = buffer.toString("latin1", 0, 3);
                types.push(type);
                if (type === "ERR") errorCode = buffer.readUInt32LE(8);
                if (type === "OPN") channelId = buffer.readUInt32LE(8);
                buffer = buffer.subarray(size);
                if (type === "ACK" || type === "OPN") sendNext();
            }
        });
        socket.on("close", () => finish(true));
        socket.on("error", () => {});
    });
}

describe("node-opcua-transport's captured messages", () => {
    const kit = new Kit();
    before(() => kit.start());
    after(() => kit.stop());

    const hello = fixtures.helloMessage1;
    const open = fixtures.openChannelRequest1;
    // Each case: what is sent, and what must come back.
    const cases = [
        ["Hello", [hello], (r) => r.types[0] === "ACK" && !r.closed],
        ["Hello with an impossible URL length", [fixtures.altered_helloMessage1], (r) => r.errorCode && r.closed],
        ["altered Hello 2", [fixtures.altered_helloMessage2], (r) => (r.types[0] === "ACK" && !r.closed) || (r.errorCode && r.closed)],
        ["altered Hello 3", [fixtures.altered_helloMessage3], (r) => (r.types[0] === "ACK" && !r.closed) || (r.errorCode && r.closed)],
        ["Acknowledge sent to the server", [fixtures.ackResponse1], (r) => r.errorCode === StatusCodes.BadTcpMessageTypeInvalid.value && r.closed],
        ["OpenSecureChannel", [hello, open], (r) => r.types.join() === "ACK,OPN" && !r.closed],
        ["OpenSecureChannel with a bad type", [hello, fixtures.altered_openChannelRequest1], (r) => r.errorCode && r.closed],
        ["OpenSecureChannel with a bad policy length", [hello, fixtures.altered_openChannelRequest2], (r) => r.errorCode && r.closed],
        ["OpenSecureChannel response sent to the server", [hello, fixtures.openSecureChannelResponse1], (r) => r.errorCode && r.closed],
        ["GetEndpoints", [hello, open, fixtures.getEndpointsRequest1], (r) => r.types.join() === "ACK,OPN,MSG" && !r.closed],
        ["GetEndpoints with a bad URL length", [hello, open, fixtures.altered_getEndpointsRequest1],
            (r) => (r.types.join() === "ACK,OPN,MSG" && !r.closed) || (r.errorCode && r.closed)],
        ["chunked GetEndpoints response sent to the server",
            [hello, open, fixtures.getEndpointsRequest2_chunk1, fixtures.getEndpointsRequest2_chunk2],
            (r) => (r.types.join() === "ACK,OPN,MSG" && !r.closed) || (r.errorCode && r.closed)],
        // Captured after GetEndpoints: its sequence number follows that request's.
        ["CloseSecureChannel", [hello, open, fixtures.getEndpointsRequest1, fixtures.closeSecureChannelRequest1],
            (r) => r.types.join() === "ACK,OPN,MSG" && r.closed && r.errorCode === null],
        ["CloseSecureChannel out of sequence", [hello, open, fixtures.closeSecureChannelRequest1],
            (r) => r.errorCode === StatusCodes.BadSequenceNumberInvalid.value && r.closed],
        ["CloseSecureChannel response sent to the server", [hello, open, fixtures.closeSecureChannelResponse],
            (r) => r.errorCode && r.closed],
        ["ActivateSession without a session", [hello, open, fixtures.activateSesionRequest],
            (r) => (r.types.join() === "ACK,OPN,MSG" && !r.closed) || (r.errorCode && r.closed)],
        ["packet_cs_6", [hello, open, fixtures.packet_cs_6], (r) => r.closed ? !!r.errorCode : r.types.length >= 2],
        ["packect_outtec", [hello, open, fixtures.packect_outtec], (r) => r.closed ? !!r.errorCode : r.types.length >= 2],
        ["random_packet", [hello, open, fixtures.random_packet], (r) => r.closed ? !!r.errorCode : r.types.length >= 2],
    ];
    for (const [name, pieces, acceptable] of cases) {
        it(name, async () => {
            const r = await exchange(kit.port, pieces);
            assert.ok(acceptable(r), JSON.stringify(r));
        });
    }

    it("serves a well-behaved client afterwards", async () => {
        const client = OPCUAClient.create({
            endpointMustExist: true,
            securityMode: MessageSecurityMode.None,
            securityPolicy: SecurityPolicy.None,
            connectionStrategy: { maxRetry: 0 },
        });
        await client.connect(kit.endpoint);
        const session = await client.createSession();
        const state = await session.read({ nodeId: "i=2259", attributeId: AttributeIds.Value }, 0);
        await session.close();
        await client.disconnect();
        assert.strictEqual(state.statusCode, StatusCodes.Good);
    });
});
