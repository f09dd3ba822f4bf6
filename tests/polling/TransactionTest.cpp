// One transaction over the scripted transport: attempts, pauses, the drain,
// the receive loop with and without the envelope, reply statuses and the
// statistics events they raise, and the frame traces.
#include "app/CommEvents.h"
#include "platform/IntervalTimer.h"
#include "platform/Text.h"
#include "polling/ExchangeFixture.h"
#include "polling/FrameTrace.h"

#include <chrono>
#include <cstring>

namespace {

using Clock = std::chrono::steady_clock;

const std::string kNoAnswer = "Нет ответа от устройства";
const std::string kBadPacket = "Принят ошибочный пакет";
const std::string kKeyMismatch = "Несовпадение ключа шифрования";

std::unique_ptr<CTransaction> ReadTransaction(const CLevelChannel& channel, uint16_t start, uint16_t count)
{
    CModbusFrame frame;
    frame.SetMode(channel.Kind() == kKindChannelTCP ? CModbusFrame::kModeTcp : CModbusFrame::kModeRtu);
    frame.SetSlaveAddress(channel.Settings().m_slaveAddress);
    frame.SetFunctionCode(3);
    frame.SetStartAddress(start);
    frame.SetQuantity(count);
    EXPECT_TRUE(frame.BuildRequest());
    auto t = std::make_unique<CTransaction>();
    std::memcpy(t->m_request.m_data.data(), frame.FrameBytes(), frame.FrameLength());
    t->m_request.m_length = static_cast<uint32_t>(frame.FrameLength());
    t->m_expectedReplyLength = frame.ExpectedReplyLength();
    t->m_start = start;
    t->m_count = count;
    return t;
}

Bytes RequestBytes(const CTransaction& t)
{
    return Bytes(t.m_request.m_data.begin(), t.m_request.m_data.begin() + t.m_request.m_length);
}

Bytes ResponseBytes(const CTransaction& t)
{
    return Bytes(t.m_response.m_data.begin(), t.m_response.m_data.begin() + t.m_response.m_length);
}

std::vector<std::string> Repeat(const std::string& text, size_t n)
{
    return std::vector<std::string>(n, text);
}

}  // namespace

TEST_F(ExchangeTest, AnsweredReadIsDoneInOneAttemptWithTheDrainFirst)
{
    ScriptedChannel& ch = AddChannel();
    ch.SetRegister(10, 0x1234);
    ch.SetRegister(11, 0xABCD);
    auto t = ReadTransaction(ch, 10, 2);
    EXPECT_TRUE(ch.Exchange().RunTransaction(*t));
    EXPECT_EQ(t->m_status, kTransactionDone);
    ASSERT_EQ(ch.Wire().size(), 1u);
    EXPECT_EQ(ch.Wire()[0], RequestBytes(*t));
    // Receive and Send without a buffer, once each, before the request.
    EXPECT_EQ(ch.Drains(), 2);
    const Bytes reply = ResponseBytes(*t);
    ASSERT_EQ(reply.size(), 9u);
    EXPECT_EQ(Bytes(reply.begin() + 3, reply.begin() + 7), RegisterBytes({0x1234, 0xABCD}));
    EXPECT_TRUE(EventTexts().empty());
}

TEST_F(ExchangeTest, WithoutTheCipherTheReceiveAsksForExactlyTheMissingBytes)
{
    ScriptedChannel& ch = AddChannel(kKindChannelTCP);
    ch.Script(DeviceAction::Pieces({4, 6}));
    auto t = ReadTransaction(ch, 100, 3);
    ASSERT_EQ(t->m_expectedReplyLength, 15u);
    EXPECT_TRUE(ch.Exchange().RunTransaction(*t));
    // Frames go out as they are.
    ASSERT_EQ(ch.Wire().size(), 1u);
    EXPECT_EQ(ch.Wire()[0], RequestBytes(*t));
    EXPECT_EQ(ch.ReceiveAsks(), (std::vector<uint32_t>{15, 11, 5}));
    EXPECT_EQ(t->m_response.m_length, 15u);
}

TEST_F(ExchangeTest, NoReplyGivesOneNoAnswerEventPerAttempt)
{
    ScriptedChannel& ch = AddChannel();
    ch.Settings().m_attempts = 3;
    ch.Settings().m_pauseBeforeRequest = 30;
    ch.Script({DeviceAction::Silence(), DeviceAction::Silence(), DeviceAction::Silence()});
    auto t = ReadTransaction(ch, 10, 1);
    const auto start = Clock::now();
    EXPECT_FALSE(ch.Exchange().RunTransaction(*t));
    const auto took = Clock::now() - start;
    EXPECT_EQ(t->m_status, kTransactionNone);
    EXPECT_EQ(ch.RequestCount(), 3u);
    EXPECT_EQ(ch.Drains(), 6);
    EXPECT_EQ(EventTexts(), Repeat(kNoAnswer, 3));
    // Every attempt pauses first and then waits out the response timeout.
    EXPECT_GE(took, std::chrono::milliseconds(3 * (30 + 20)));
    // The event names the channel by its full path.
    EXPECT_EQ(Events()[0], "<Каналы связи.Vireo-2_1>: " + kNoAnswer);
}

TEST_F(ExchangeTest, AttemptsZeroFailsWithoutSending)
{
    ScriptedChannel& ch = AddChannel();
    ch.Settings().m_attempts = 0;
    auto t = ReadTransaction(ch, 10, 1);
    EXPECT_FALSE(ch.Exchange().RunTransaction(*t));
    EXPECT_EQ(t->m_status, kTransactionNone);
    EXPECT_EQ(ch.RequestCount(), 0u);
    EXPECT_EQ(ch.Drains(), 0);
    EXPECT_TRUE(EventTexts().empty());
}

TEST_F(ExchangeTest, AChannelThatIsNotOpenSendsNothing)
{
    ScriptedChannel& ch = AddChannel();
    ch.SetOpenFails(true);
    (void)ch.Open();
    ASSERT_EQ(ch.State(), kChannelOpeningFailed);
    auto t = ReadTransaction(ch, 10, 1);
    t->m_status = kTransactionBadReply;
    EXPECT_FALSE(ch.Exchange().RunTransaction(*t));
    EXPECT_EQ(t->m_status, kTransactionBadReply);
    EXPECT_EQ(ch.RequestCount(), 0u);
    EXPECT_TRUE(EventTexts().empty());
}

TEST_F(ExchangeTest, WithoutAChannelNothingRuns)
{
    CDeviceExchange exchange;
    CTransaction t;
    EXPECT_FALSE(exchange.RunTransaction(t));
}

TEST_F(ExchangeTest, BadCrcIsReportedAgainByTheNextSilentAttempt)
{
    ScriptedChannel& ch = AddChannel();
    ch.Script({DeviceAction::BadCrc(), DeviceAction::Silence(), DeviceAction::Answer()});
    auto t = ReadTransaction(ch, 10, 2);
    EXPECT_TRUE(ch.Exchange().RunTransaction(*t));
    EXPECT_EQ(ch.RequestCount(), 3u);
    EXPECT_EQ(EventTexts(), Repeat(kKeyMismatch, 2));
}

TEST_F(ExchangeTest, ATcpReplyLongerThanItsHeaderSaysIsBad)
{
    ScriptedChannel& ch = AddChannel(kKindChannelTCP);
    ch.Settings().m_attempts = 1;
    // Read of one register: 11 bytes expected, but the MBAP length claims a
    // PDU of 3 bytes where 4 follow.
    ch.Script(DeviceAction::Raw({0, 1, 0, 0, 0, 4, 1, 3, 2, 0x12, 0x34}));
    auto t = ReadTransaction(ch, 10, 1);
    EXPECT_FALSE(ch.Exchange().RunTransaction(*t));
    EXPECT_EQ(t->m_status, kTransactionBadReply);
    EXPECT_EQ(EventTexts(), Repeat(kKeyMismatch, 1));
}

TEST_F(ExchangeTest, BytesBeyondTheExpectedReplyAreLeftToTheNextDrain)
{
    ScriptedChannel& ch = AddChannel(kKindChannelTCP);
    ch.Script(DeviceAction::BadCrc());  // TCP: the reply with one byte too many
    auto t = ReadTransaction(ch, 10, 2);
    EXPECT_TRUE(ch.Exchange().RunTransaction(*t));
    EXPECT_EQ(t->m_response.m_length, t->m_expectedReplyLength);
    EXPECT_EQ(ch.ReceiveAsks(), (std::vector<uint32_t>{13}));
    auto next = ReadTransaction(ch, 10, 2);
    EXPECT_TRUE(ch.Exchange().RunTransaction(*next));
    EXPECT_EQ(next->m_response.m_data[0], next->m_request.m_data[0]);
    EXPECT_EQ(next->m_response.m_data[1], next->m_request.m_data[1]);
    EXPECT_TRUE(EventTexts().empty());
}

TEST_F(ExchangeTest, AReplyThatStaysIncompleteIsABadPacket)
{
    ScriptedChannel& ch = AddChannel(kKindChannelTCP);
    ch.Settings().m_attempts = 2;
    ch.Script({DeviceAction::CutShort(10), DeviceAction::Silence()});
    auto t = ReadTransaction(ch, 10, 4);
    EXPECT_FALSE(ch.Exchange().RunTransaction(*t));
    EXPECT_EQ(t->m_status, kTransactionIncomplete);
    // The silent second attempt keeps the first one's status.
    EXPECT_EQ(EventTexts(), Repeat(kBadPacket, 2));
}

TEST_F(ExchangeTest, AForeignAddressIsRetriedWithoutAnEvent)
{
    ScriptedChannel& ch = AddChannel();
    ch.Settings().m_attempts = 2;
    ch.Script({DeviceAction::ForeignAddress(), DeviceAction::ForeignAddress()});
    auto t = ReadTransaction(ch, 10, 2);
    EXPECT_FALSE(ch.Exchange().RunTransaction(*t));
    EXPECT_EQ(t->m_status, kTransactionFailed);
    EXPECT_EQ(ch.RequestCount(), 2u);
    EXPECT_TRUE(EventTexts().empty());

    ch.Script({DeviceAction::ForeignAddress(), DeviceAction::Answer()});
    auto again = ReadTransaction(ch, 10, 2);
    EXPECT_TRUE(ch.Exchange().RunTransaction(*again));
    EXPECT_TRUE(EventTexts().empty());
}

TEST_F(ExchangeTest, AnExceptionReplyCompletesTheTransaction)
{
    ScriptedChannel& ch = AddChannel();
    ch.Script(DeviceAction::Exception(2));
    auto t = ReadTransaction(ch, 10, 2);
    EXPECT_TRUE(ch.Exchange().RunTransaction(*t));
    EXPECT_EQ(t->m_response.m_length, 5u);
    EXPECT_EQ(t->m_response.m_data[1], 0x83);
    EXPECT_EQ(ch.RequestCount(), 1u);
}

TEST_F(ExchangeTest, TcpRepliesInPiecesAreCollected)
{
    ScriptedChannel& ch = AddChannel(kKindChannelTCP);
    ch.SetRegister(7, 0x0102);
    ch.Script(DeviceAction::Pieces({1, 1, 5, 2}));
    auto t = ReadTransaction(ch, 7, 1);
    EXPECT_TRUE(ch.Exchange().RunTransaction(*t));
    EXPECT_EQ(ch.RequestCount(), 1u);
    EXPECT_EQ(t->m_response.m_length, 11u);
    EXPECT_EQ(t->m_response.m_data[9], 0x01);
    EXPECT_EQ(t->m_response.m_data[10], 0x02);
    EXPECT_TRUE(EventTexts().empty());
}

TEST_F(ExchangeTest, AnRtuReplyInterruptedBySilenceIsBadAndRetried)
{
    // In RTU a silent interval ends the frame: its first part fails the CRC.
    ScriptedChannel& ch = AddChannel(kKindChannelUDP);
    ch.Script({DeviceAction::Pieces({4}), DeviceAction::Answer()});
    auto t = ReadTransaction(ch, 7, 2);
    EXPECT_TRUE(ch.Exchange().RunTransaction(*t));
    EXPECT_EQ(ch.RequestCount(), 2u);
    EXPECT_EQ(EventTexts(), Repeat(kKeyMismatch, 1));
}

TEST_F(ExchangeTest, ReplyLengthZeroIsDoneWithoutReceiving)
{
    ScriptedChannel& ch = AddChannel();
    auto t = ReadTransaction(ch, 7, 2);
    t->m_expectedReplyLength = 0;
    ch.Script(DeviceAction::Silence());
    EXPECT_TRUE(ch.Exchange().RunTransaction(*t));
    EXPECT_TRUE(ch.ReceiveAsks().empty());
}

TEST_F(ExchangeTest, EachAttemptRestartsTheLastExchangeTimer)
{
    ScriptedChannel& ch = AddChannel();
    CIntervalTimer& timer = App().LastExchangeTimer();
    timer.SetStartTime(0);
    ASSERT_TRUE(timer.Elapsed());
    auto t = ReadTransaction(ch, 7, 2);
    EXPECT_TRUE(ch.Exchange().RunTransaction(*t));
    EXPECT_FALSE(timer.Elapsed());
}

TEST_F(ExchangeTest, AStopEndsTheTransactionAtItsNextAttempt)
{
    ScriptedChannel& ch = AddChannel();
    ch.Settings().m_attempts = 3;
    ch.Settings().m_responseTimeout = 200;
    ch.Script({DeviceAction::Silence(), DeviceAction::Silence(), DeviceAction::Silence()});
    ch.OnRequest([&ch](size_t) { ch.ClearRunFlag(); });
    auto t = ReadTransaction(ch, 7, 2);
    const auto start = Clock::now();
    EXPECT_FALSE(ch.Exchange().RunTransaction(*t));
    EXPECT_LT(Clock::now() - start, std::chrono::milliseconds(200 + 100));
    EXPECT_EQ(t->m_status, kTransactionStopped);
    EXPECT_EQ(ch.RequestCount(), 1u);
}

TEST_F(ExchangeTest, AStopEndsThePauseBeforeTheRequest)
{
    ScriptedChannel& ch = AddChannel();
    ch.Settings().m_pauseBeforeRequest = 10000;
    auto t = ReadTransaction(ch, 7, 2);
    std::thread stopper([&ch] {
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
        ch.ClearRunFlag();
    });
    const auto start = Clock::now();
    EXPECT_FALSE(ch.Exchange().RunTransaction(*t));
    stopper.join();
    EXPECT_LT(Clock::now() - start, std::chrono::milliseconds(1000));
    EXPECT_EQ(t->m_status, kTransactionStopped);
    EXPECT_EQ(ch.RequestCount(), 0u);
}

// The envelope.

class EnvelopeTest : public ExchangeTest {
   protected:
    void SetUp() override
    {
        ExchangeTest::SetUp();
        ASSERT_TRUE(LoadCipher()) << "the packet cipher library is built beside the tests";
    }
};

TEST_F(EnvelopeTest, FramesTravelInTheEnvelopeAndTraceFourLines)
{
    ScriptedChannel& ch = AddChannel();
    ch.SetKey("Ключ");
    UseCipher(Encrypt(), Decrypt());
    // The device knows the key in the ANSI code page.
    ch.SetDeviceCipher(Encrypt(), Decrypt(), Utf8ToCp1251("Ключ"));
    ch.SetRegister(10, 0x1234);
    EnableFrameTrace(true);
    auto t = ReadTransaction(ch, 10, 1);
    EXPECT_TRUE(ch.Exchange().RunTransaction(*t));

    ASSERT_EQ(ch.Wire().size(), 1u);
    const Bytes packet = ch.Wire()[0];
    ASSERT_EQ(packet.size(), 22u);
    EXPECT_EQ(packet[0], 0x55);
    EXPECT_EQ(packet[2], 8);
    EXPECT_EQ(ch.Requests()[0], RequestBytes(*t));

    const Bytes reply = ResponseBytes(*t);
    ASSERT_EQ(reply.size(), 7u);
    EXPECT_EQ(reply[3], 0x12);
    EXPECT_EQ(reply[4], 0x34);

    const std::vector<std::string> lines = TraceLines();
    ASSERT_EQ(lines.size(), 4u);
    const Bytes request = RequestBytes(*t);
    EXPECT_EQ(lines[0], "Write<8>" + FrameHexDump(request.data(), 8));
    EXPECT_EQ(lines[1], "Write<22>" + FrameHexDump(packet.data(), 22));
    EXPECT_EQ(lines[2].substr(0, 9), "Read<22>:");
    EXPECT_EQ(lines[3], "Read<7>" + FrameHexDump(reply.data(), 7));
    EXPECT_TRUE(EventTexts().empty());
}

TEST_F(EnvelopeTest, AnEnvelopeInPiecesIsCollectedUntilItDeciphers)
{
    ScriptedChannel& ch = AddChannel(kKindChannelTCP);
    ch.SetKey("k");
    UseCipher(Encrypt(), Decrypt());
    ch.SetDeviceCipher(Encrypt(), Decrypt(), "k");
    ch.SetRegister(3, 0xBEEF);
    ch.Script(DeviceAction::Pieces({3, 10, 5}));
    auto t = ReadTransaction(ch, 3, 1);
    EXPECT_TRUE(ch.Exchange().RunTransaction(*t));
    EXPECT_EQ(ch.RequestCount(), 1u);
    EXPECT_EQ(ch.ReceiveAsks().size(), 4u);
    EXPECT_EQ(ResponseBytes(*t).size(), 11u);
    EXPECT_EQ(t->m_response.m_data[9], 0xBE);
}

TEST_F(EnvelopeTest, ADifferentKeyOnTheDeviceIsAKeyMismatch)
{
    ScriptedChannel& ch = AddChannel();
    ch.Settings().m_attempts = 2;
    ch.SetKey("верный");
    UseCipher(Encrypt(), Decrypt());
    // The device answers in an envelope of its own key: it deciphers, but
    // into bytes that fail the Modbus check.
    ch.SetDeviceCipher(Encrypt(), Decrypt(), Utf8ToCp1251("другой"));
    auto t = ReadTransaction(ch, 3, 1);
    EXPECT_FALSE(ch.Exchange().RunTransaction(*t));
    EXPECT_EQ(t->m_status, kTransactionBadReply);
    EXPECT_EQ(ch.RequestCount(), 2u);
    EXPECT_EQ(EventTexts(), Repeat(kKeyMismatch, 2));
}

TEST_F(EnvelopeTest, AKeyLongerThanTheBufferUsesItsFirstSixteenBytes)
{
    ScriptedChannel& ch = AddChannel();
    const std::string longKey = "0123456789ABCDEFGHIJKLMNOPQRSTUVWXYZ-long-key";
    ch.SetKey(longKey);
    UseCipher(Encrypt(), Decrypt());
    ch.SetDeviceCipher(Encrypt(), Decrypt(), longKey.substr(0, 16));
    ch.SetRegister(3, 0x0A0B);
    auto t = ReadTransaction(ch, 3, 1);
    EXPECT_TRUE(ch.Exchange().RunTransaction(*t));
    EXPECT_EQ(t->m_response.m_data[3], 0x0A);
    EXPECT_TRUE(EventTexts().empty());
}

TEST_F(EnvelopeTest, AnEmptyKeyIsSixteenZeroBytes)
{
    ScriptedChannel& ch = AddChannel();
    UseCipher(Encrypt(), Decrypt());
    ch.SetDeviceCipher(Encrypt(), Decrypt(), std::string(16, '\0'));
    auto t = ReadTransaction(ch, 3, 1);
    EXPECT_TRUE(ch.Exchange().RunTransaction(*t));
}

TEST_F(EnvelopeTest, AnEnvelopeThatNeverCompletesIsABadPacket)
{
    ScriptedChannel& ch = AddChannel();
    ch.Settings().m_attempts = 1;
    UseCipher(Encrypt(), Decrypt());
    ch.SetDeviceCipher(Encrypt(), Decrypt(), "");
    ch.Script(DeviceAction::CutShort(12));
    auto t = ReadTransaction(ch, 3, 1);
    EXPECT_FALSE(ch.Exchange().RunTransaction(*t));
    EXPECT_EQ(t->m_status, kTransactionIncomplete);
    EXPECT_EQ(EventTexts(), Repeat(kBadPacket, 1));
}

TEST_F(EnvelopeTest, ALengthFieldBeyondTheDecipheredBytesIsClipped)
{
    ScriptedChannel& ch = AddChannel();
    ch.Settings().m_attempts = 1;
    UseCipher(Encrypt(), Decrypt());
    // A 22-byte packet whose length field claims 3000 bytes, checksum fixed up.
    Bytes packet(22, 0);
    int32_t packetLength = 0;
    const uint8_t key[16] = {};
    const uint8_t plain[7] = {1, 3, 2, 0, 0, 0, 0};
    Encrypt()(key, plain, 7, packet.data(), &packetLength);
    ASSERT_EQ(packetLength, 22);
    packet[1] = 3000 >> 8;
    packet[2] = 3000 & 0xFF;
    uint8_t sum = 0;
    for (size_t i = 0; i + 1 < packet.size(); ++i) sum = static_cast<uint8_t>(sum + packet[i]);
    packet.back() = sum;
    ch.Script(DeviceAction::Raw(packet));
    auto t = ReadTransaction(ch, 3, 1);
    EXPECT_FALSE(ch.Exchange().RunTransaction(*t));
    EXPECT_EQ(t->m_response.m_length, 16u);
    EXPECT_EQ(t->m_status, kTransactionBadReply);
}

// The frame traces of the channel base.

TEST_F(ExchangeTest, BaseSendAndReceiveTraceWhenCommonIsOn)
{
    ScriptedChannel& ch = AddChannel();
    uint8_t bytes[3] = {0x01, 0xAB, 0x0F};
    uint32_t length = 3;
    EXPECT_EQ(ch.CLevelChannel::Send(bytes, &length), 1);
    EXPECT_TRUE(TraceLines().empty());

    EnableFrameTrace(true);
    EXPECT_EQ(ch.CLevelChannel::Send(bytes, &length), 1);
    EXPECT_EQ(ch.CLevelChannel::Receive(bytes, &length), 1);
    EXPECT_EQ(ch.CLevelChannel::Send(nullptr, &length), 1);
    EXPECT_EQ(ch.CLevelChannel::Receive(bytes, nullptr), 1);
    uint32_t none = 0;
    EXPECT_EQ(ch.CLevelChannel::Receive(bytes, &none), 1);
    EXPECT_EQ(TraceLines(),
              (std::vector<std::string>{"Write<3>: 01 AB 0F", "Read<3>: 01 AB 0F", "Read<0>:"}));
}

TEST_F(ExchangeTest, PlainTransactionsTraceOnlyWhatTheTransportMoves)
{
    ScriptedChannel& ch = AddChannel();
    EnableFrameTrace(true);
    ch.Script(DeviceAction::Pieces({3}));
    auto t = ReadTransaction(ch, 10, 1);
    ch.Settings().m_attempts = 1;
    (void)ch.Exchange().RunTransaction(*t);
    const std::vector<std::string> lines = TraceLines();
    ASSERT_EQ(lines.size(), 2u);
    EXPECT_EQ(lines[0].substr(0, 9), "Write<8>:");
    EXPECT_EQ(lines[1].substr(0, 8), "Read<3>:");
}
