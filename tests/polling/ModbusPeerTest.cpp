// Requests built by CModbusFrame go to a libmodbus server, in TCP framing over
// loopback and in RTU framing over a pseudo-terminal pair made by socat; the
// replies libmodbus writes must pass our check and parse into the registers
// the server holds.
#include "polling/ModbusFrame.h"
#include "support/ModbusPeers.h"
#include "support/PtyPair.h"

#include <arpa/inet.h>
#include <cerrno>
#include <chrono>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <poll.h>
#include <random>
#include <string>
#include <sys/socket.h>
#include <unistd.h>
#include <vector>

namespace {
using Clock = std::chrono::steady_clock;

constexpr size_t kRegisterCount = 300;
constexpr int kRtuSlave = 17;
constexpr auto kReplyTimeout = std::chrono::seconds(3);

// Register numbers as the server holds them, and the bytes they travel as.
Bytes WireBytes(const uint16_t* registers, size_t count)
{
    Bytes out;
    for (size_t i = 0; i < count; ++i) {
        out.push_back(static_cast<uint8_t>(registers[i] >> 8));
        out.push_back(static_cast<uint8_t>(registers[i] & 0xFF));
    }
    return out;
}

// One end of a byte stream (socket or pty) with bounded reads.
class Link {
   public:
    explicit Link(int fd = -1) : m_fd(fd) {}
    ~Link() { Close(); }
    Link(const Link&) = delete;
    Link& operator=(const Link&) = delete;
    void Reset(int fd)
    {
        Close();
        m_fd = fd;
    }
    void Close()
    {
        if (m_fd >= 0) ::close(m_fd);
        m_fd = -1;
    }
    bool IsOpen() const { return m_fd >= 0; }
    int Fd() const { return m_fd; }

    bool Send(const uint8_t* bytes, size_t length) const
    {
        while (length > 0) {
            const ssize_t n = ::write(m_fd, bytes, length);
            if (n < 0 && errno == EINTR) continue;
            if (n <= 0) return false;
            bytes += n;
            length -= static_cast<size_t>(n);
        }
        return true;
    }

    // Reads until the reply has the length the request asked for, or checks
    // complete earlier (an exception reply is shorter), or the time is up.
    Bytes ReceiveReply(const CModbusFrame& frame, size_t expected) const
    {
        Bytes reply;
        const auto deadline = Clock::now() + kReplyTimeout;
        while (reply.size() < expected) {
            if (!reply.empty() &&
                frame.CheckReply(reply.data(), reply.size()) == CModbusFrame::kCheckComplete) {
                break;
            }
            const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
            if (left.count() <= 0) break;
            pollfd p{m_fd, POLLIN, 0};
            const int ready = ::poll(&p, 1, static_cast<int>(left.count()));
            if (ready < 0 && errno == EINTR) continue;
            if (ready <= 0) break;
            uint8_t chunk[512];
            const ssize_t n = ::read(m_fd, chunk, sizeof chunk);
            if (n < 0 && (errno == EINTR || errno == EAGAIN)) continue;
            if (n <= 0) break;
            reply.insert(reply.end(), chunk, chunk + n);
        }
        return reply;
    }

   private:
    int m_fd;
};

// A libmodbus server of the test support answering from the peers' register
// pattern, reached through m_client.
class ModbusPeerTest : public ::testing::TestWithParam<int32_t> {
   protected:
    void SetUp() override
    {
        for (size_t i = 0; i < kRegisterCount; ++i) {
            m_holding.push_back(PeerRegisterValue(i));
            m_input.push_back(PeerInputValue(i));
        }
        m_frame.SetMode(GetParam());
        if (GetParam() == CModbusFrame::kModeTcp) {
            ASSERT_TRUE(m_tcpServer.Start(0, kRegisterCount));
            sockaddr_in address{};
            address.sin_family = AF_INET;
            address.sin_port = htons(m_tcpServer.Port());
            address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
            m_client.Reset(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
            ASSERT_TRUE(m_client.IsOpen());
            ASSERT_EQ(::connect(m_client.Fd(), reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
        } else {
            m_frame.SetSlaveAddress(kRtuSlave);
            ASSERT_TRUE(m_pty.Start()) << "socat did not make a pty pair";
            ASSERT_TRUE(m_rtuServer.Start(m_pty.EndA(), 115200, 'N', kRegisterCount, kRtuSlave));
            m_client.Reset(::open(m_pty.EndB().c_str(), O_RDWR | O_NOCTTY | O_CLOEXEC));
            ASSERT_TRUE(m_client.IsOpen()) << m_pty.EndB();
        }
    }

    // Ends the server; afterwards the test may read the registers it holds.
    std::vector<uint16_t> StopServer()
    {
        m_client.Close();
        if (GetParam() == CModbusFrame::kModeTcp) {
            m_tcpServer.Stop();
            return m_tcpServer.Holding();
        }
        m_rtuServer.Stop();
        return m_rtuServer.Holding();
    }

    // Builds, sends, receives and checks one request; the reply must check 0.
    Bytes Exchange()
    {
        EXPECT_TRUE(m_frame.BuildRequest());
        const Bytes request(m_frame.FrameBytes(), m_frame.FrameBytes() + m_frame.FrameLength());
        EXPECT_TRUE(m_client.Send(request.data(), request.size()));
        Bytes reply = m_client.ReceiveReply(m_frame, m_frame.ExpectedReplyLength());
        EXPECT_EQ(m_frame.CheckReply(reply.data(), reply.size()), CModbusFrame::kCheckComplete)
            << "reply of " << reply.size() << " bytes";
        if (GetParam() == CModbusFrame::kModeTcp && reply.size() >= 2) {
            EXPECT_EQ(reply[0], request[0]);  // libmodbus echoes our transaction identifier
            EXPECT_EQ(reply[1], request[1]);
        }
        return reply;
    }

    // Reads count registers at start with the function and answers their wire bytes.
    Bytes Read(uint8_t function, uint16_t start, uint16_t count)
    {
        m_frame.SetFunctionCode(function);
        m_frame.SetStartAddress(start);
        m_frame.SetQuantity(count);
        const Bytes reply = Exchange();
        EXPECT_EQ(reply.size(), m_frame.ExpectedReplyLength());
        EXPECT_TRUE(m_frame.ParseReply(reply.data(), reply.size()));
        EXPECT_FALSE(m_frame.IsException());
        Bytes out(2u * count, 0xEE);
        EXPECT_EQ(m_frame.CopyValues(out.data(), count), count);
        return out;
    }

    CModbusFrame m_frame;
    CPtyPair m_pty;
    CModbusTcpServer m_tcpServer;
    CModbusRtuServer m_rtuServer;
    Link m_client;
    std::vector<uint16_t> m_holding;  // what the server holds before the test writes
    std::vector<uint16_t> m_input;
};
}  // namespace

TEST_P(ModbusPeerTest, ReadRepliesCarryTheServersRegisters)
{
    struct Case {
        uint8_t function;
        uint16_t start;
        uint16_t count;
    };
    for (const Case& c : {Case{3, 0, 1}, Case{3, 10, 10}, Case{3, 0, 125}, Case{3, 175, 125}, Case{4, 0, 1},
                          Case{4, 37, 64}, Case{4, 75, 125}}) {
        const std::vector<uint16_t>& map = c.function == 3 ? m_holding : m_input;
        EXPECT_EQ(Read(c.function, c.start, c.count), WireBytes(map.data() + c.start, c.count))
            << "function " << int(c.function) << " start " << c.start << " count " << c.count;
    }
}

TEST_P(ModbusPeerTest, WriteMultipleLandsInTheServerAndReadsBack)
{
    // 123 registers: the most a Modbus write may carry, and the most libmodbus takes.
    std::mt19937 random(99);
    std::vector<uint16_t> words(123);
    for (auto& w : words) w = static_cast<uint16_t>(random());
    const uint16_t start = 150;
    m_frame.SetFunctionCode(16);
    m_frame.SetStartAddress(start);
    m_frame.ClearValues();
    for (uint16_t w : words) m_frame.AppendValue(w);
    const Bytes reply = Exchange();
    EXPECT_EQ(reply.size(), m_frame.ExpectedReplyLength());
    EXPECT_TRUE(m_frame.ParseReply(reply.data(), reply.size()));
    EXPECT_EQ(m_frame.StartAddress(), start);

    // Words are in wire order: what went out low half first comes back the same way.
    Bytes sent;
    for (uint16_t w : words) {
        sent.push_back(static_cast<uint8_t>(w & 0xFF));
        sent.push_back(static_cast<uint8_t>(w >> 8));
    }
    EXPECT_EQ(Read(3, start, 123), sent);
    EXPECT_EQ(Read(3, start - 1, 1), WireBytes(&m_holding[start - 1], 1));  // neighbour untouched

    const std::vector<uint16_t> holding = StopServer();
    ASSERT_EQ(holding.size(), kRegisterCount);
    for (size_t i = 0; i < words.size(); ++i) {
        const uint16_t held = static_cast<uint16_t>((words[i] << 8) | (words[i] >> 8));
        EXPECT_EQ(holding[start + i], held) << "register " << start + i;
    }
}

TEST_P(ModbusPeerTest, WriteSingleEchoesTheValueAsANumber)
{
    m_frame.SetFunctionCode(6);
    m_frame.SetStartAddress(42);
    m_frame.ClearValues();
    m_frame.AppendValue(0xBBAA);  // wire bytes AA BB
    const Bytes reply = Exchange();
    EXPECT_EQ(reply.size(), m_frame.ExpectedReplyLength());
    ASSERT_TRUE(m_frame.ParseReply(reply.data(), reply.size()));
    EXPECT_EQ(m_frame.StartAddress(), 42);
    EXPECT_EQ(m_frame.Values(), (std::vector<uint16_t>{0xAABB}));
    EXPECT_EQ(Read(3, 42, 1), (Bytes{0xAA, 0xBB}));
}

TEST_P(ModbusPeerTest, ServerExceptionsSetTheFlag)
{
    struct Case {
        uint8_t function;
        uint16_t start;
        uint16_t count;
        uint8_t exceptionCode;
    };
    // Beyond the map: illegal data address (2). 126 registers: illegal data value (3).
    for (const Case& c : {Case{3, kRegisterCount - 1, 2, 2}, Case{4, 1000, 1, 2}, Case{3, 0, 126, 3}}) {
        m_frame.SetFunctionCode(c.function);
        m_frame.SetStartAddress(c.start);
        m_frame.SetQuantity(c.count);
        const Bytes reply = Exchange();
        EXPECT_FALSE(m_frame.ParseReply(reply.data(), reply.size()));
        EXPECT_TRUE(m_frame.IsException());
        EXPECT_EQ(m_frame.FunctionCode(), c.function | 0x80);
        EXPECT_TRUE(m_frame.Values().empty());
        const size_t codeAt = GetParam() == CModbusFrame::kModeTcp ? 8 : 2;
        ASSERT_GT(reply.size(), codeAt);
        EXPECT_EQ(reply[codeAt], c.exceptionCode);
    }
    // The frame is usable again at once.
    EXPECT_EQ(Read(3, 5, 2), WireBytes(&m_holding[5], 2));
}

INSTANTIATE_TEST_SUITE_P(Framing, ModbusPeerTest,
                         ::testing::Values(CModbusFrame::kModeTcp, CModbusFrame::kModeRtu),
                         [](const ::testing::TestParamInfo<int32_t>& info) {
                             return std::string(info.param == CModbusFrame::kModeTcp ? "Tcp" : "Rtu");
                         });
