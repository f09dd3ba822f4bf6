#include "polling/Crc16.h"
#include "polling/ModbusFrame.h"

#include <cstring>
#include <gtest/gtest.h>
#include <random>
#include <vector>

namespace {
using Bytes = std::vector<uint8_t>;

Bytes FrameOf(const CModbusFrame& frame)
{
    return Bytes(frame.FrameBytes(), frame.FrameBytes() + frame.FrameLength());
}

// Appends the CRC the way an RTU device does.
Bytes WithCrc(Bytes bytes)
{
    const uint16_t crc = ModbusCrc16(bytes.data(), bytes.size());
    bytes.push_back(static_cast<uint8_t>(crc & 0xFF));
    bytes.push_back(static_cast<uint8_t>(crc >> 8));
    return bytes;
}

CModbusFrame Frame(int32_t mode, int32_t slave = 1)
{
    CModbusFrame frame;
    frame.SetMode(mode);
    frame.SetSlaveAddress(slave);
    return frame;
}

void SetRead(CModbusFrame& frame, uint8_t function, uint16_t start, uint16_t quantity)
{
    frame.SetFunctionCode(function);
    frame.SetStartAddress(start);
    frame.SetQuantity(quantity);
}

void SetWrite(CModbusFrame& frame, uint8_t function, uint16_t start, size_t count)
{
    frame.SetFunctionCode(function);
    frame.SetStartAddress(start);
    frame.ClearValues();
    for (size_t i = 0; i < count; ++i) {
        frame.AppendValue(static_cast<uint16_t>(0x0102 + i));
    }
}

int Check(const CModbusFrame& frame, const Bytes& bytes)
{
    return frame.CheckReply(bytes.data(), bytes.size());
}

bool Parse(CModbusFrame& frame, const Bytes& bytes)
{
    return frame.ParseReply(bytes.data(), bytes.size());
}
}  // namespace

TEST(ModbusCrc16, KnownValues)
{
    // CRC-16/MODBUS check value of the catalogue of parametrised CRCs.
    const char* digits = "123456789";
    EXPECT_EQ(ModbusCrc16(reinterpret_cast<const uint8_t*>(digits), 9), 0x4B37);
    // The widely published read request 01 03 00 00 00 0A ends C5 CD on the wire.
    const uint8_t request[] = {0x01, 0x03, 0x00, 0x00, 0x00, 0x0A};
    EXPECT_EQ(ModbusCrc16(request, sizeof request), 0xCDC5);
    EXPECT_EQ(ModbusCrc16(nullptr, 0), 0xFFFF);
}

TEST(ModbusCrc16, TableAgreesWithBitwiseDefinition)
{
    std::mt19937 random(7);
    for (int round = 0; round < 200; ++round) {
        Bytes data(random() % 300);
        for (auto& b : data) b = static_cast<uint8_t>(random());
        uint16_t crc = 0xFFFF;
        for (uint8_t b : data) {
            crc ^= b;
            for (int bit = 0; bit < 8; ++bit) crc = (crc & 1) ? (crc >> 1) ^ 0xA001 : crc >> 1;
        }
        ASSERT_EQ(ModbusCrc16(data.data(), data.size()), crc) << "length " << data.size();
    }
}

TEST(ModbusFrameBuild, ReadInRtu)
{
    CModbusFrame frame = Frame(CModbusFrame::kModeRtu);
    SetRead(frame, 3, 0, 10);
    ASSERT_TRUE(frame.BuildRequest());
    EXPECT_EQ(FrameOf(frame), (Bytes{0x01, 0x03, 0x00, 0x00, 0x00, 0x0A, 0xC5, 0xCD}));
    EXPECT_EQ(frame.ExpectedReplyLength(), 25);

    SetRead(frame, 4, 0x1234, 2);
    frame.SetSlaveAddress(17);
    ASSERT_TRUE(frame.BuildRequest());
    EXPECT_EQ(FrameOf(frame), WithCrc({17, 0x04, 0x12, 0x34, 0x00, 0x02}));
    EXPECT_EQ(frame.ExpectedReplyLength(), 9);
    // TCP identifiers are not touched by RTU requests.
    EXPECT_EQ(frame.TransactionId(), 0);
}

TEST(ModbusFrameBuild, ReadInTcpCountsTransactions)
{
    CModbusFrame frame;  // a new frame is in TCP mode, slave 1
    SetRead(frame, 3, 0, 10);
    ASSERT_TRUE(frame.BuildRequest());
    EXPECT_EQ(FrameOf(frame),
              (Bytes{0x00, 0x01, 0x00, 0x00, 0x00, 0x06, 0x01, 0x03, 0x00, 0x00, 0x00, 0x0A}));
    EXPECT_EQ(frame.ExpectedReplyLength(), 29);
    ASSERT_TRUE(frame.BuildRequest());
    EXPECT_EQ(frame.FrameBytes()[0], 0x00);
    EXPECT_EQ(frame.FrameBytes()[1], 0x02);
    EXPECT_EQ(frame.TransactionId(), 2);
}

TEST(ModbusFrameBuild, TransactionIdentifierWrapsToZero)
{
    CModbusFrame frame = Frame(CModbusFrame::kModeTcp);
    SetRead(frame, 3, 0, 1);
    for (int i = 0; i < 65535; ++i) ASSERT_TRUE(frame.BuildRequest());
    EXPECT_EQ(frame.TransactionId(), 65535);
    EXPECT_EQ(frame.FrameBytes()[0], 0xFF);
    EXPECT_EQ(frame.FrameBytes()[1], 0xFF);
    ASSERT_TRUE(frame.BuildRequest());
    EXPECT_EQ(frame.TransactionId(), 0);
    EXPECT_EQ(frame.FrameBytes()[0], 0x00);
    EXPECT_EQ(frame.FrameBytes()[1], 0x00);
    ASSERT_TRUE(frame.BuildRequest());
    EXPECT_EQ(frame.TransactionId(), 1);
}

TEST(ModbusFrameBuild, SlaveAddressOutsideOneTo247StoresZero)
{
    CModbusFrame frame;
    EXPECT_EQ(frame.SlaveAddress(), 1);
    for (int32_t bad : {0, 248, 255, 256, -1, 1000}) {
        frame.SetSlaveAddress(17);
        frame.SetSlaveAddress(bad);
        EXPECT_EQ(frame.SlaveAddress(), 0) << bad;
    }
    frame.SetSlaveAddress(1);
    EXPECT_EQ(frame.SlaveAddress(), 1);
    frame.SetSlaveAddress(247);
    EXPECT_EQ(frame.SlaveAddress(), 247);
}

TEST(ModbusFrameBuild, OnlyFunctions3_4_6_16AndNonEmptyWritesBuild)
{
    for (int32_t mode : {CModbusFrame::kModeRtu, CModbusFrame::kModeTcp}) {
        CModbusFrame frame = Frame(mode);
        frame.AppendValue(1);
        for (int function = 0; function < 256; ++function) {
            SetRead(frame, static_cast<uint8_t>(function), 0, 1);
            const bool known = function == 3 || function == 4 || function == 6 || function == 16;
            EXPECT_EQ(frame.BuildRequest(), known) << "mode " << mode << " function " << function;
            if (!known) {
                EXPECT_EQ(frame.FrameLength(), 0u);
            }
        }
        for (uint8_t function : {6, 16}) {
            SetWrite(frame, function, 0, 0);
            const uint16_t transaction = frame.TransactionId();
            EXPECT_FALSE(frame.BuildRequest()) << "empty write, function " << int(function);
            EXPECT_EQ(frame.FrameLength(), 0u);
            EXPECT_EQ(frame.TransactionId(), transaction);
        }
    }
}

TEST(ModbusFrameBuild, ModeOtherThanRtuOrTcpFails)
{
    for (int32_t mode : {0, 3, -1}) {
        CModbusFrame frame = Frame(mode);
        SetRead(frame, 3, 0, 1);
        EXPECT_FALSE(frame.BuildRequest()) << mode;
        EXPECT_EQ(frame.FrameLength(), 0u);
    }
}

TEST(ModbusFrameBuild, WriteMultipleLayoutAndLengthLimit)
{
    CModbusFrame rtu = Frame(CModbusFrame::kModeRtu, 5);
    SetWrite(rtu, 16, 0x0A0B, 2);
    rtu.SetQuantity(99);  // a write takes its quantity from the values
    ASSERT_TRUE(rtu.BuildRequest());
    EXPECT_EQ(FrameOf(rtu), WithCrc({5, 0x10, 0x0A, 0x0B, 0x00, 0x02, 0x04, 0x02, 0x01, 0x03, 0x01}));
    EXPECT_EQ(rtu.Quantity(), 2);
    EXPECT_EQ(rtu.ExpectedReplyLength(), 8);

    SetWrite(rtu, 16, 0, 125);
    ASSERT_TRUE(rtu.BuildRequest());
    EXPECT_EQ(rtu.FrameLength(), 259u);
    EXPECT_EQ(rtu.FrameBytes()[6], 250);
    SetWrite(rtu, 16, 0, 126);
    EXPECT_FALSE(rtu.BuildRequest());

    // MBAP header plus PDU: 123 registers are the most that fit 260 bytes.
    CModbusFrame tcp = Frame(CModbusFrame::kModeTcp);
    SetWrite(tcp, 16, 0, 123);
    ASSERT_TRUE(tcp.BuildRequest());
    EXPECT_EQ(tcp.FrameLength(), 259u);
    EXPECT_EQ(tcp.ExpectedReplyLength(), 12);
    EXPECT_EQ(tcp.FrameBytes()[4], 0x00);
    EXPECT_EQ(tcp.FrameBytes()[5], 253);  // length field: unit identifier + PDU
    SetWrite(tcp, 16, 0, 124);
    EXPECT_FALSE(tcp.BuildRequest());
}

TEST(ModbusFrameBuild, WriteSingleSendsTheWordInWireOrder)
{
    CModbusFrame rtu = Frame(CModbusFrame::kModeRtu, 2);
    rtu.SetFunctionCode(6);
    rtu.SetStartAddress(0x0100);
    rtu.AppendValue(0xBBAA);  // wire bytes AA BB
    rtu.AppendValue(0x1111);  // only the first value is sent
    ASSERT_TRUE(rtu.BuildRequest());
    EXPECT_EQ(FrameOf(rtu), WithCrc({2, 0x06, 0x01, 0x00, 0xAA, 0xBB}));
    EXPECT_EQ(rtu.ExpectedReplyLength(), 8);

    CModbusFrame tcp = Frame(CModbusFrame::kModeTcp, 2);
    tcp.SetFunctionCode(6);
    tcp.AppendValue(0xBBAA);
    ASSERT_TRUE(tcp.BuildRequest());
    EXPECT_EQ(FrameOf(tcp), (Bytes{0, 1, 0, 0, 0, 6, 2, 0x06, 0x00, 0x00, 0xAA, 0xBB}));
    EXPECT_EQ(tcp.ExpectedReplyLength(), 12);
}

TEST(ModbusFrameBuild, ReadQuantityLimits)
{
    CModbusFrame rtu = Frame(CModbusFrame::kModeRtu);
    SetRead(rtu, 3, 0, 0);
    ASSERT_TRUE(rtu.BuildRequest());
    EXPECT_EQ(rtu.ExpectedReplyLength(), 5);
    // The longest read whose reply length still fits 16 bits, and one more.
    SetRead(rtu, 3, 0, 32765);
    ASSERT_TRUE(rtu.BuildRequest());
    EXPECT_EQ(rtu.ExpectedReplyLength(), 65535);
    SetRead(rtu, 3, 0, 32766);
    EXPECT_FALSE(rtu.BuildRequest());
    EXPECT_EQ(rtu.ExpectedReplyLength(), 0);

    CModbusFrame tcp = Frame(CModbusFrame::kModeTcp);
    SetRead(tcp, 4, 0, 32763);
    ASSERT_TRUE(tcp.BuildRequest());
    EXPECT_EQ(tcp.ExpectedReplyLength(), 65535);
    SetRead(tcp, 4, 0, 32764);
    EXPECT_FALSE(tcp.BuildRequest());
}

TEST(ModbusFrameCheck, RtuCodes)
{
    CModbusFrame frame = Frame(CModbusFrame::kModeRtu, 1);
    const Bytes good = WithCrc({1, 3, 4, 0x12, 0x34, 0x56, 0x78});
    EXPECT_EQ(Check(frame, good), 0);
    EXPECT_EQ(Check(frame, {}), 1);
    EXPECT_EQ(Check(frame, {0x01}), 1);
    // One byte more than the byte count allows, CRC still right.
    EXPECT_EQ(Check(frame, WithCrc({1, 3, 4, 0x12, 0x34, 0x56, 0x78, 0x9A})), 2);
    Bytes corrupt = good;
    corrupt[4] ^= 0x01;
    EXPECT_EQ(Check(frame, corrupt), 2);
    EXPECT_EQ(Check(frame, WithCrc({2, 3, 4, 0x12, 0x34, 0x56, 0x78})), 3);
    EXPECT_EQ(Check(frame, WithCrc({1, 5, 0x00, 0x01, 0xFF, 0x00})), 4);
    EXPECT_EQ(Check(frame, WithCrc({1, 0x83, 0x02})), 0);
    EXPECT_EQ(Check(frame, WithCrc({1, 0x90, 0x04, 0x00})), 2);  // exception replies are 5 bytes
    EXPECT_EQ(Check(frame, WithCrc({1, 6, 0, 1, 0, 2})), 0);
    EXPECT_EQ(Check(frame, WithCrc({1, 16, 0, 1, 0, 2})), 0);
    EXPECT_EQ(Check(frame, WithCrc({1, 16, 0, 1, 0, 2, 0})), 2);
    // Two bytes FF FF carry a matching CRC of nothing; 0xFF is no slave address.
    EXPECT_EQ(Check(frame, {0xFF, 0xFF}), 3);
}

TEST(ModbusFrameCheck, RtuTestsCrcFirstThenAddressThenFunction)
{
    CModbusFrame frame = Frame(CModbusFrame::kModeRtu, 1);
    const Bytes good = WithCrc({1, 3, 4, 0x12, 0x34, 0x56, 0x78});
    // A reply cut short normally fails its CRC: 2, not 1.
    for (size_t cut = 2; cut < good.size(); ++cut) {
        EXPECT_EQ(Check(frame, Bytes(good.begin(), good.begin() + cut)), 2) << "cut to " << cut;
    }
    // Only a prefix whose own last two bytes happen to be its CRC answers 1.
    EXPECT_EQ(Check(frame, WithCrc({1, 3, 4})), 1);
    Bytes foreignBadCrc = WithCrc({2, 5, 0, 0});
    foreignBadCrc.back() ^= 0xFF;
    EXPECT_EQ(Check(frame, foreignBadCrc), 2);
    EXPECT_EQ(Check(frame, WithCrc({2, 5, 0, 0})), 3);
}

TEST(ModbusFrameCheck, TcpCodes)
{
    CModbusFrame frame = Frame(CModbusFrame::kModeTcp, 9);
    const Bytes good{0x12, 0x34, 0, 0, 0, 7, 9, 3, 4, 0xA1, 0xA2, 0xA3, 0xA4};
    EXPECT_EQ(Check(frame, good), 0);  // transaction identifier 0x1234 is not compared
    EXPECT_EQ(Check(frame, Bytes(good.begin(), good.begin() + 6)), 1);
    EXPECT_EQ(Check(frame, Bytes(good.begin(), good.end() - 1)), 1);
    Bytes longer = good;
    longer.push_back(0);
    EXPECT_EQ(Check(frame, longer), 2);
    Bytes foreign = good;
    foreign[6] = 8;
    EXPECT_EQ(Check(frame, foreign), 3);
    // The checker does not look at the TCP function code at all.
    EXPECT_EQ(Check(frame, {0, 1, 0, 0, 0, 3, 9, 5, 0}), 0);
}

TEST(ModbusFrameCheck, NoModeAnswers5)
{
    for (int32_t mode : {0, 3}) {
        CModbusFrame frame = Frame(mode);
        EXPECT_EQ(Check(frame, WithCrc({1, 3, 2, 0, 0})), 5);
        Bytes reply = WithCrc({1, 3, 2, 0, 0});
        EXPECT_FALSE(Parse(frame, reply));
    }
}

TEST(ModbusFrameParse, ReadReplyKeepsWireOrder)
{
    CModbusFrame rtu = Frame(CModbusFrame::kModeRtu);
    const Bytes reply = WithCrc({1, 3, 2, 0x12, 0x34});
    ASSERT_TRUE(Parse(rtu, reply));
    ASSERT_EQ(rtu.Values().size(), 1u);
    EXPECT_EQ(rtu.Values()[0], 0x3412);  // low half 0x12, high half 0x34
    uint8_t out[4] = {0xEE, 0xEE, 0xEE, 0xEE};
    EXPECT_EQ(rtu.CopyValues(out, 2), 1u);  // only what the reply held
    EXPECT_EQ(out[0], 0x12);
    EXPECT_EQ(out[1], 0x34);
    EXPECT_EQ(out[2], 0xEE);
    EXPECT_EQ(FrameOf(rtu), reply);  // the frame buffer now holds the reply
    EXPECT_FALSE(rtu.IsException());

    CModbusFrame tcp = Frame(CModbusFrame::kModeTcp);
    const Bytes tcpReply{0, 1, 0, 0, 0, 9, 1, 4, 6, 1, 2, 3, 4, 5, 6};
    ASSERT_TRUE(Parse(tcp, tcpReply));
    EXPECT_EQ(tcp.FunctionCode(), 4);
    uint8_t words[6] = {};
    EXPECT_EQ(tcp.CopyValues(words, 2), 2u);  // at most the count asked for
    EXPECT_EQ(Bytes(words, words + 6), (Bytes{1, 2, 3, 4, 0, 0}));
    EXPECT_EQ(tcp.CopyValues(words, 10), 3u);
    EXPECT_EQ(Bytes(words, words + 6), (Bytes{1, 2, 3, 4, 5, 6}));
}

TEST(ModbusFrameParse, OddByteCountYieldsWholeRegistersOnly)
{
    CModbusFrame rtu = Frame(CModbusFrame::kModeRtu);
    ASSERT_EQ(Check(rtu, WithCrc({1, 3, 3, 0xAA, 0xBB, 0xCC})), 0);
    ASSERT_TRUE(Parse(rtu, WithCrc({1, 3, 3, 0xAA, 0xBB, 0xCC})));
    EXPECT_EQ(rtu.Values(), (std::vector<uint16_t>{0xBBAA}));
    EXPECT_FALSE(Parse(rtu, WithCrc({1, 3, 1, 0xAA})));
    EXPECT_TRUE(rtu.Values().empty());

    // In TCP the odd byte is the last byte of the buffer: nothing may be read after it.
    CModbusFrame tcp = Frame(CModbusFrame::kModeTcp);
    const Bytes reply{0, 1, 0, 0, 0, 6, 1, 3, 3, 0xAA, 0xBB, 0xCC};
    ASSERT_TRUE(Parse(tcp, reply));
    EXPECT_EQ(tcp.Values(), (std::vector<uint16_t>{0xBBAA}));
}

TEST(ModbusFrameParse, TcpPduShorterThanItsByteCount)
{
    CModbusFrame tcp = Frame(CModbusFrame::kModeTcp);
    EXPECT_FALSE(Parse(tcp, {0, 1, 0, 0, 0, 7, 1, 3, 10, 1, 2, 3, 4}));
    EXPECT_TRUE(tcp.Values().empty());
    EXPECT_FALSE(Parse(tcp, {0, 1, 0, 0, 0, 2, 1, 3}));        // function code, no byte count
    EXPECT_FALSE(Parse(tcp, {0, 1, 0, 0, 0, 1, 1}));           // no PDU at all
    EXPECT_FALSE(Parse(tcp, {0, 1, 0, 0, 0, 4, 1, 6, 0, 1}));  // echo too short
    EXPECT_FALSE(Parse(tcp, {0, 1, 0, 0, 0, 4, 1, 16, 0, 1}));
}

TEST(ModbusFrameParse, WriteReplies)
{
    CModbusFrame rtu = Frame(CModbusFrame::kModeRtu);
    ASSERT_TRUE(Parse(rtu, WithCrc({1, 6, 0x01, 0x02, 0xAA, 0xBB})));
    EXPECT_EQ(rtu.StartAddress(), 0x0102);
    EXPECT_EQ(rtu.Values(), (std::vector<uint16_t>{0xAABB}));  // a number, high byte first

    ASSERT_TRUE(Parse(rtu, WithCrc({1, 16, 0x03, 0x04, 0x00, 0x7B})));
    EXPECT_EQ(rtu.StartAddress(), 0x0304);
    EXPECT_TRUE(rtu.Values().empty());
    EXPECT_FALSE(Parse(rtu, WithCrc({1, 16, 0x03, 0x04, 0x00, 0x00})));  // quantity 0 echoed

    CModbusFrame tcp = Frame(CModbusFrame::kModeTcp);
    ASSERT_TRUE(Parse(tcp, {0, 1, 0, 0, 0, 6, 1, 16, 0, 5, 0, 1}));
    EXPECT_EQ(tcp.StartAddress(), 5);
}

TEST(ModbusFrameParse, ExceptionReplySetsTheFlag)
{
    CModbusFrame rtu = Frame(CModbusFrame::kModeRtu);
    const Bytes exception = WithCrc({1, 0x83, 0x02});
    ASSERT_EQ(exception.size(), 5u);
    EXPECT_EQ(Check(rtu, exception), 0);
    EXPECT_FALSE(Parse(rtu, exception));
    EXPECT_TRUE(rtu.IsException());
    EXPECT_EQ(rtu.FunctionCode(), 0x83);
    // The next request starts from its own function code.
    SetRead(rtu, 3, 0, 1);
    ASSERT_TRUE(rtu.BuildRequest());
    EXPECT_FALSE(rtu.IsException());
    // A function the frame never asks for fails without the flag.
    CModbusFrame tcp = Frame(CModbusFrame::kModeTcp);
    EXPECT_FALSE(Parse(tcp, {0, 1, 0, 0, 0, 3, 1, 5, 0}));
    EXPECT_FALSE(tcp.IsException());
    EXPECT_FALSE(Parse(tcp, {0, 1, 0, 0, 0, 3, 1, 0x90, 4}));
    EXPECT_TRUE(tcp.IsException());
}

TEST(ModbusFrameParse, FailedCheckLeavesNoRegistersBehind)
{
    CModbusFrame rtu = Frame(CModbusFrame::kModeRtu);
    SetRead(rtu, 3, 0, 2);
    ASSERT_TRUE(rtu.BuildRequest());
    const Bytes request = FrameOf(rtu);
    ASSERT_TRUE(Parse(rtu, WithCrc({1, 3, 4, 1, 2, 3, 4})));
    ASSERT_EQ(rtu.Values().size(), 2u);
    Bytes bad = WithCrc({1, 3, 4, 5, 6, 7, 8});
    bad[3] ^= 1;
    EXPECT_FALSE(Parse(rtu, bad));
    EXPECT_TRUE(rtu.Values().empty());
    uint8_t out[4] = {};
    EXPECT_EQ(rtu.CopyValues(out, 2), 0u);
}

TEST(ModbusFrameParse, RoundTripOfRandomReads)
{
    // Replies made from random registers parse back to the same bytes, in both modes.
    std::mt19937 random(11);
    for (int round = 0; round < 500; ++round) {
        const int32_t mode = (round & 1) ? CModbusFrame::kModeRtu : CModbusFrame::kModeTcp;
        const uint8_t slave = static_cast<uint8_t>(1 + random() % 247);
        const uint16_t quantity = static_cast<uint16_t>(1 + random() % 125);
        CModbusFrame frame = Frame(mode, slave);
        SetRead(frame, (round & 2) ? 4 : 3, static_cast<uint16_t>(random()), quantity);
        ASSERT_TRUE(frame.BuildRequest());
        Bytes data(2 * quantity);
        for (auto& b : data) b = static_cast<uint8_t>(random());
        Bytes pdu{frame.FunctionCode(), static_cast<uint8_t>(data.size())};
        pdu.insert(pdu.end(), data.begin(), data.end());
        Bytes reply;
        if (mode == CModbusFrame::kModeRtu) {
            reply.push_back(slave);
            reply.insert(reply.end(), pdu.begin(), pdu.end());
            reply = WithCrc(reply);
        } else {
            const size_t len = pdu.size() + 1;
            reply = {0x55, 0x66, 0, 0, static_cast<uint8_t>(len >> 8), static_cast<uint8_t>(len), slave};
            reply.insert(reply.end(), pdu.begin(), pdu.end());
        }
        ASSERT_EQ(reply.size(), frame.ExpectedReplyLength());
        ASSERT_TRUE(Parse(frame, reply));
        Bytes out(data.size());
        ASSERT_EQ(frame.CopyValues(out.data(), quantity), quantity);
        ASSERT_EQ(out, data);
    }
}
