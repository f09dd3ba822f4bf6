// The TCP channel on loopback: against plain sockets of the test (to see
// connects, silence, refusals and closes) and against a libmodbus server.
#include "TransportPeers.h"
#include "app/DebugLog.h"
#include "app/SingleVectors.h"
#include "platform/File.h"
#include "support/TempFolder.h"
#include "transports/LevelChannelTCP.h"

#include <cstring>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;
using RowList = std::vector<std::pair<std::string, std::string>>;

constexpr uint32_t kLoopback = 0x7F000001;  // 127.0.0.1
constexpr int kTimeout = CTCPExchange::kResultTimeout;

RowList Rows(CLevelChannel& channel)
{
    RowList rows;
    std::string label, value;
    for (uint32_t row = 0; channel.Describe(row, label, value); ++row) rows.emplace_back(label, value);
    return rows;
}

// Reads exactly n bytes from a socket of the test within the wait.
Bytes ReadExactly(int fd, size_t n, std::chrono::milliseconds wait = 2000ms)
{
    Bytes got;
    const auto deadline = Clock::now() + wait;
    while (got.size() < n) {
        const auto left =
            std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
        pollfd p{fd, POLLIN, 0};
        if (left <= 0 || ::poll(&p, 1, static_cast<int>(left)) != 1) break;
        uint8_t chunk[512];
        const ssize_t r = ::read(fd, chunk, std::min(sizeof chunk, n - got.size()));
        if (r <= 0) break;
        got.insert(got.end(), chunk, chunk + r);
    }
    return got;
}

// True when the peer's end sees the connection closed within the wait.
bool SeesEof(int fd, std::chrono::milliseconds wait = 2000ms)
{
    pollfd p{fd, POLLIN, 0};
    if (::poll(&p, 1, static_cast<int>(wait.count())) != 1) return false;
    uint8_t byte;
    return ::read(fd, &byte, 1) == 0;
}

struct Fd {
    int fd = -1;
    ~Fd()
    {
        if (fd >= 0) ::close(fd);
    }
};

class TcpChannel : public ::testing::Test {
   protected:
    void SetUp() override
    {
        ASSERT_TRUE(m_listener.Listen());
        m_channel.SetName("Vireo-2_1");
        m_channel.ConnectionSettings() = {kLoopback, m_listener.Port(), 1000};
        m_channel.Settings().m_responseTimeout = 300;
        m_channel.Initialise();
    }

    int Send(const Bytes& bytes)
    {
        Bytes copy = bytes;
        uint32_t length = static_cast<uint32_t>(copy.size());
        const int result = m_channel.Send(copy.data(), &length);
        m_sentLength = length;
        return result;
    }

    int Receive(Bytes* bytes, uint32_t room)
    {
        bytes->assign(room, 0xEE);
        uint32_t length = room;
        const int result = m_channel.Receive(bytes->data(), &length);
        bytes->resize(std::min(length, room));
        return result;
    }

    // Send, then accept the connection it made.
    void Connect(Fd* peer)
    {
        ASSERT_EQ(Send({0x42}), 0);
        peer->fd = m_listener.Accept(2000ms);
        ASSERT_GE(peer->fd, 0);
        ASSERT_EQ(ReadExactly(peer->fd, 1), Bytes{0x42});
    }

    CTcpListener m_listener;
    CLevelChannelTCP m_channel;
    uint32_t m_sentLength = 0;
};

}  // namespace

TEST(TcpChannelRows, DefaultsAndAGivenAddress)
{
    CLevelChannelTCP channel;
    EXPECT_EQ(channel.Kind(), kKindChannelTCP);
    EXPECT_EQ(Rows(channel), (RowList{{"IP-адрес", "0.0.0.0"},
                                      {"Порт", "502"},
                                      {"Таймаут установки соединения", "5000 мс"},
                                      {"Таймаут ожидания ответа", "3000 мс"},
                                      {"Количество попыток", "3"},
                                      {"Пауза перед запросом", "100 мс"},
                                      {"Период опроса", "0 мс"},
                                      {"Ключ шифрования", "не задан"}}));

    channel.ConnectionSettings() = {192u * (1u << 24) + 168u * (1u << 16) + 1u * (1u << 8) + 10u, 1502, 2500};
    channel.Settings().m_responseTimeout = 700;
    channel.Settings().m_attempts = 1;
    channel.Settings().m_pauseBeforeRequest = 20;
    channel.Settings().m_pollPeriod = 1000;
    channel.SetKey("secret");
    EXPECT_EQ(Rows(channel), (RowList{{"IP-адрес", "192.168.1.10"},
                                      {"Порт", "1502"},
                                      {"Таймаут установки соединения", "2500 мс"},
                                      {"Таймаут ожидания ответа", "700 мс"},
                                      {"Количество попыток", "1"},
                                      {"Пауза перед запросом", "20 мс"},
                                      {"Период опроса", "1000 мс"},
                                      {"Ключ шифрования", "задан"}}));
    // The settings block holds the address as the file does: low byte first.
    uint8_t stored[sizeof(CTcpConnectionSettings)];
    std::memcpy(stored, &channel.ConnectionSettings(), sizeof stored);
    EXPECT_EQ(Bytes(stored, stored + 4), (Bytes{10, 1, 168, 192}));
    std::string label, value;
    EXPECT_FALSE(channel.Describe(8, label, value));
}

TEST_F(TcpChannel, OpenPreparesButDoesNotConnectAndReceiveNeverConnects)
{
    EXPECT_EQ(m_channel.State(), kChannelOpen);
    EXPECT_FALSE(m_channel.IsConnected());
    Bytes reply;
    EXPECT_EQ(Receive(&reply, 16), 1);
    EXPECT_TRUE(reply.empty());
    uint32_t length = 5;
    EXPECT_EQ(m_channel.Receive(nullptr, &length), 1) << "a drain without a connection";
    EXPECT_EQ(length, 0u);
    EXPECT_EQ(m_channel.Receive(nullptr, nullptr), 1);
    EXPECT_FALSE(m_listener.Pending(200ms)) << "Receive connected";
}

TEST_F(TcpChannel, SendConnectsFirstAndTheNextSendReusesTheConnection)
{
    const Bytes first{0, 1, 0, 0, 0, 6, 1, 3, 0, 0, 0, 2};
    ASSERT_EQ(Send(first), 0);
    EXPECT_EQ(m_sentLength, first.size());
    EXPECT_TRUE(m_channel.IsConnected());
    Fd peer{m_listener.Accept(2000ms)};
    ASSERT_GE(peer.fd, 0);
    EXPECT_EQ(ReadExactly(peer.fd, first.size()), first);

    const Bytes second{0, 2, 0, 0, 0, 6, 1, 3, 0, 10, 0, 1};
    ASSERT_EQ(Send(second), 0);
    EXPECT_EQ(ReadExactly(peer.fd, second.size()), second);
    EXPECT_FALSE(m_listener.Pending(200ms)) << "a second connection was made";
}

TEST_F(TcpChannel, NullSendAnswers1AndConnectsNothing)
{
    uint8_t byte = 1;
    uint32_t length = 1;
    EXPECT_EQ(m_channel.Send(nullptr, &length), 1);
    EXPECT_EQ(m_channel.Send(&byte, nullptr), 1);
    EXPECT_EQ(m_channel.Send(nullptr, nullptr), 1);
    EXPECT_FALSE(m_listener.Pending(200ms));
}

TEST_F(TcpChannel, ARefusedConnectionIsNeverTakenForAConnection)
{
    const uint16_t port = m_listener.Port();
    m_listener.Close();  // nothing listens there now
    const auto start = Clock::now();
    EXPECT_EQ(Send({1, 2, 3}), 1);
    EXPECT_LT(ElapsedMs(start), 900) << "waited although the refusal was known";
    EXPECT_FALSE(m_channel.IsConnected());
    Bytes reply;
    EXPECT_EQ(Receive(&reply, 8), 1);
    EXPECT_TRUE(reply.empty());

    // The next Send tries again, and succeeds once somebody listens.
    ASSERT_TRUE(m_listener.Listen(port));
    EXPECT_EQ(Send({4, 5}), 0);
    Fd peer{m_listener.Accept(2000ms)};
    ASSERT_GE(peer.fd, 0);
    EXPECT_EQ(ReadExactly(peer.fd, 2), (Bytes{4, 5}));
}

TEST_F(TcpChannel, AConnectThatNeverCompletesEndsAfterTheConnectionTimeout)
{
    // A full accept queue: the kernel drops further handshakes, so a connect
    // neither succeeds nor is refused.
    CTcpListener full;
    ASSERT_TRUE(full.Listen(0, 0));
    std::vector<Fd> fillers(4);
    int completed = 0;
    for (Fd& f : fillers) {
        f.fd = ::socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK, 0);
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_port = htons(full.Port());
        a.sin_addr.s_addr = htonl(kLoopback);
        ::connect(f.fd, reinterpret_cast<sockaddr*>(&a), sizeof a);
        pollfd p{f.fd, POLLOUT, 0};
        if (::poll(&p, 1, 300) == 1) ++completed;
    }
    ASSERT_GE(completed, 1);
    if (completed == static_cast<int>(fillers.size())) GTEST_SKIP() << "this kernel queues every connection";

    m_channel.ConnectionSettings().m_tcpPort = full.Port();
    m_channel.ConnectionSettings().m_connectionTimeout = 400;
    const auto start = Clock::now();
    EXPECT_EQ(Send({9}), 1);
    const int64_t elapsed = ElapsedMs(start);
    EXPECT_GE(elapsed, 380);
    EXPECT_LT(elapsed, 2000);
    EXPECT_FALSE(m_channel.IsConnected()) << "a pending connect was kept";
}

TEST_F(TcpChannel, ASilentPeerTimesOutAndTheConnectionStays)
{
    Fd peer;
    Connect(&peer);
    Bytes reply;
    const auto start = Clock::now();
    EXPECT_EQ(Receive(&reply, 32), kTimeout);
    const int64_t elapsed = ElapsedMs(start);
    EXPECT_TRUE(reply.empty());
    EXPECT_GE(elapsed, 290);
    EXPECT_LT(elapsed, 1500);
    EXPECT_TRUE(m_channel.IsConnected());

    // The same connection carries the late reply.
    const Bytes late{0, 1, 0, 0, 0, 5, 1, 3, 2, 0x12, 0x34};
    ASSERT_EQ(::write(peer.fd, late.data(), late.size()), static_cast<ssize_t>(late.size()));
    EXPECT_EQ(Receive(&reply, 32), 0);
    EXPECT_EQ(reply, late);
    EXPECT_FALSE(m_listener.Pending(100ms));
}

TEST_F(TcpChannel, ReceiveTakesAtMostTheRoomAndLeavesTheRest)
{
    Fd peer;
    Connect(&peer);
    const Bytes data{1, 2, 3, 4, 5, 6, 7};
    ASSERT_EQ(::write(peer.fd, data.data(), data.size()), static_cast<ssize_t>(data.size()));
    Bytes part;
    EXPECT_EQ(Receive(&part, 3), 0);
    EXPECT_EQ(part, (Bytes{1, 2, 3}));
    EXPECT_EQ(Receive(&part, 10), 0);
    EXPECT_EQ(part, (Bytes{4, 5, 6, 7}));
}

TEST_F(TcpChannel, APeerThatClosesDropsTheConnectionAndTheNextSendMakesANewOne)
{
    Fd peer;
    Connect(&peer);
    ::close(peer.fd);
    peer.fd = -1;
    Bytes reply;
    EXPECT_EQ(Receive(&reply, 8), 1);
    EXPECT_TRUE(reply.empty());
    EXPECT_FALSE(m_channel.IsConnected());
    EXPECT_EQ(m_channel.State(), kChannelOpen) << "the channel itself stays open";

    ASSERT_EQ(Send({7, 7}), 0);
    Fd second{m_listener.Accept(2000ms)};
    ASSERT_GE(second.fd, 0) << "no new connection";
    EXPECT_EQ(ReadExactly(second.fd, 2), (Bytes{7, 7}));
}

TEST_F(TcpChannel, SendingIntoAClosedConnectionFailsWithoutKillingTheProcess)
{
    Fd peer;
    Connect(&peer);
    // The peer resets the connection: a send into it would raise SIGPIPE.
    linger hard{1, 0};
    ::setsockopt(peer.fd, SOL_SOCKET, SO_LINGER, &hard, sizeof hard);
    ::close(peer.fd);
    peer.fd = -1;
    int result = 0;
    for (int i = 0; i < 20 && result == 0; ++i) result = Send(Bytes(64, 0x55));
    EXPECT_EQ(result, 1);
    EXPECT_EQ(m_sentLength, 0u);
    EXPECT_FALSE(m_channel.IsConnected());
}

TEST_F(TcpChannel, ADrainWithNothingPendingReturnsAtOnce)
{
    m_channel.Settings().m_responseTimeout = 3000;
    Fd peer;
    Connect(&peer);
    const auto start = Clock::now();
    EXPECT_EQ(m_channel.Receive(nullptr, nullptr), 0);
    EXPECT_LT(ElapsedMs(start), 100) << "the drain waited";
    EXPECT_TRUE(m_channel.IsConnected());
}

TEST_F(TcpChannel, ADrainDiscardsEveryStaleByte)
{
    Fd peer;
    Connect(&peer);
    Bytes stale(250);
    for (size_t i = 0; i < stale.size(); ++i) stale[i] = static_cast<uint8_t>(i);
    ASSERT_EQ(::write(peer.fd, stale.data(), stale.size()), static_cast<ssize_t>(stale.size()));
    // One byte read the normal way proves the stale segment has arrived.
    Bytes first;
    ASSERT_EQ(Receive(&first, 1), 0);
    ASSERT_EQ(first, Bytes{0});
    EXPECT_EQ(m_channel.Receive(nullptr, nullptr), 0);
    const Bytes reply{0xA1, 0xA2};
    ASSERT_EQ(::write(peer.fd, reply.data(), reply.size()), 2);
    Bytes got;
    EXPECT_EQ(Receive(&got, 16), 0);
    EXPECT_EQ(got, reply);
}

TEST_F(TcpChannel, CloseDropsTheConnectionAndOpenStartsAfresh)
{
    Fd peer;
    Connect(&peer);
    m_channel.Close();
    EXPECT_EQ(m_channel.State(), kChannelClosed);
    EXPECT_TRUE(SeesEof(peer.fd));
    uint32_t length = 1;
    uint8_t byte = 0;
    EXPECT_EQ(m_channel.Send(&byte, &length), 1) << "send on a closed channel";
    EXPECT_FALSE(m_listener.Pending(100ms));

    EXPECT_EQ(m_channel.Open(), 0);
    EXPECT_EQ(m_channel.State(), kChannelOpen);
    EXPECT_FALSE(m_channel.IsConnected());
    ASSERT_EQ(Send({3}), 0);
    Fd second{m_listener.Accept(2000ms)};
    EXPECT_GE(second.fd, 0);
}

TEST_F(TcpChannel, FramesAreTracedAtCommonLevel1)
{
    CTempFolder folder;
    CScopedEnv runtime("XDG_RUNTIME_DIR", folder.Path());
    CSingleVectors& app = CSingleVectors::Instance();
    if (app.DebugLog() == nullptr) {
        app.SetDataFolder(folder.Path());
        app.CreateDebugLog();
    }
    CDebugLog* log = app.DebugLog();
    ASSERT_NE(log, nullptr);
    (void)DeleteFile(log->Path());
    log->ApplySettings("DBG_COMMON=1");
    m_channel.Exchange().SetServices(app.ExchangeServices());  // the traces go to the singleton's log

    Fd peer;
    Connect(&peer);
    (void)m_channel.Receive(nullptr, nullptr);  // no line for a drain
    const Bytes reply{0x00, 0x01, 0xAB};
    ASSERT_EQ(::write(peer.fd, reply.data(), reply.size()), 3);
    Bytes got;
    ASSERT_EQ(Receive(&got, 10), 0);
    log->ApplySettings("DBG_COMMON=0");
    ASSERT_EQ(Send({0x10}), 0);  // off again: no line

    std::string text;
    ASSERT_TRUE(ReadFileText(log->Path(), &text));
    EXPECT_NE(text.find("Write<1>: 42"), std::string::npos) << text;
    EXPECT_NE(text.find("Read<3>: 00 01 AB"), std::string::npos) << text;
    EXPECT_EQ(text.find("Read<0>"), std::string::npos) << "the drain was traced";
    EXPECT_EQ(text.find("Write<1>: 10"), std::string::npos) << "traced with the level off";
}

// ---------------------------------------------------------------- libmodbus

class TcpModbusPeer : public ::testing::Test {
   protected:
    void SetUp() override
    {
        ASSERT_TRUE(m_server.Start()) << modbus_strerror(errno);
        m_channel.SetName("Vireo-2_1");
        m_channel.ConnectionSettings() = {kLoopback, m_server.Port(), 1000};
        m_channel.Settings().m_responseTimeout = 1000;
        m_channel.Initialise();
        m_frame.SetMode(CModbusFrame::kModeTcp);
    }

    // Reads count registers at start; true when the reply carried the server's values.
    void ExpectRegisters(uint16_t start, uint16_t count)
    {
        m_frame.SetFunctionCode(3);
        m_frame.SetStartAddress(start);
        m_frame.SetQuantity(count);
        ASSERT_TRUE(m_frame.BuildRequest());
        Bytes request(m_frame.FrameBytes(), m_frame.FrameBytes() + m_frame.FrameLength());
        uint32_t length = static_cast<uint32_t>(request.size());
        ASSERT_EQ(m_channel.Send(request.data(), &length), 0);
        const Bytes reply =
            ReceiveReply([this](uint8_t* b, uint32_t* n) { return m_channel.Receive(b, n); }, m_frame);
        ASSERT_EQ(m_frame.CheckReply(reply.data(), reply.size()), CModbusFrame::kCheckComplete)
            << reply.size() << " bytes";
        EXPECT_EQ(reply[0], request[0]);  // the transaction identifier comes back
        EXPECT_EQ(reply[1], request[1]);
        ASSERT_TRUE(m_frame.ParseReply(reply.data(), reply.size()));
        Bytes values(2u * count);
        ASSERT_EQ(m_frame.CopyValues(values.data(), count), count);
        EXPECT_EQ(values, PeerRegisterBytes(start, count));
    }

    CModbusTcpServer m_server;
    CLevelChannelTCP m_channel;
    CModbusFrame m_frame;
};

TEST_F(TcpModbusPeer, ReadsTheServersRegistersOverOneConnection)
{
    ExpectRegisters(0, 1);
    ExpectRegisters(20, 60);
    ExpectRegisters(175, 125);
    EXPECT_EQ(m_server.Accepted(), 1);
    EXPECT_EQ(m_server.Requests(), 3u);
}

TEST_F(TcpModbusPeer, ReconnectsAfterTheServerWasStoppedAndStartedAgain)
{
    ExpectRegisters(5, 5);
    const uint16_t port = m_server.Port();
    m_server.Stop();

    // The closed connection shows at the next receive; then nobody listens.
    uint8_t buffer[16];
    uint32_t length = sizeof buffer;
    EXPECT_EQ(m_channel.Receive(buffer, &length), 1);
    EXPECT_FALSE(m_channel.IsConnected());
    length = 4;
    EXPECT_EQ(m_channel.Send(buffer, &length), 1);

    ASSERT_TRUE(m_server.Start(port));
    ExpectRegisters(6, 2);
    EXPECT_EQ(m_server.Accepted(), 2) << "one connection for each life of the server";
}
