// The TCP socket wrapper and client on their own, on loopback.
#include "TransportPeers.h"
#include "transports/TCPClient.h"

#include <gtest/gtest.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

const uint32_t kLoopbackNet = HostToNetwork32(0x7F000001);  // 127.0.0.1
constexpr int kOk = CTCPExchange::kResultOk;
constexpr int kFailure = CTCPExchange::kResultFailure;
constexpr int kTimeout = CTCPExchange::kResultTimeout;

}  // namespace

TEST(TcpSocket, DefaultsAndSettings)
{
    CTCPClient client;
    EXPECT_TRUE(client.NoDelay());
    EXPECT_TRUE(client.NonBlocking());
    EXPECT_TRUE(client.Client());
    EXPECT_EQ(client.GetTimeout(), 5000u);
    EXPECT_EQ(client.GetSocket(), kInvalidSocket);
    EXPECT_FALSE(client.IsOpen());
    EXPECT_EQ(client.GetAddress(), 0u);
    EXPECT_EQ(client.GetPort(), 0u);
    EXPECT_EQ(kTimeout, static_cast<int>(0x80004106u));

    client.SetAddress(kLoopbackNet, 1502);
    client.SetTimeout(250);
    uint32_t address = 0;
    uint16_t port = 0;
    client.GetAddressAndPort(&address, &port);
    EXPECT_EQ(address, kLoopbackNet);
    EXPECT_EQ(port, 1502);
    client.SetPort(1503);
    EXPECT_EQ(client.GetPort(), 1503);

    ASSERT_EQ(client.CreateSocket(false, true, false), kOk);
    EXPECT_FALSE(client.NoDelay());
    EXPECT_FALSE(client.Client());
    CTCPClient copy;
    copy.CopySettings(client);
    EXPECT_EQ(copy.GetAddress(), kLoopbackNet);
    EXPECT_EQ(copy.GetPort(), 1503);
    EXPECT_EQ(copy.GetTimeout(), 250u);
    EXPECT_FALSE(copy.NoDelay());
    EXPECT_FALSE(copy.IsOpen()) << "the socket is not a setting";

    // A socket held is kept as it is; Recreate makes a new client socket.
    const SocketHandle first = client.GetSocket();
    EXPECT_EQ(client.CreateSocket(true, true, true), kOk);
    EXPECT_EQ(client.GetSocket(), first);
    EXPECT_EQ(client.Recreate(), kOk);
    EXPECT_TRUE(client.IsOpen());
    EXPECT_TRUE(client.Client());
    EXPECT_EQ(client.CloseSocket(), kOk);
    EXPECT_FALSE(client.IsOpen());
}

TEST(TcpSocket, OperationsWithoutASocketOrBuffer)
{
    CTCPExchange socket;
    uint8_t buffer[4] = {};
    uint32_t length = 4;
    EXPECT_EQ(socket.ReceiveBytes(buffer, &length, 0), kFailure);
    EXPECT_EQ(socket.SendBytes(buffer, &length, 0), kFailure);
    ASSERT_EQ(socket.CreateSocket(true, true, true), kOk);
    EXPECT_EQ(socket.ReceiveBytes(nullptr, &length, 0), kOk);
    EXPECT_EQ(socket.SendBytes(nullptr, &length, 0), kOk);
    EXPECT_EQ(length, 4u) << "nothing done";
    EXPECT_TRUE(socket.IsOpen());
}

TEST(TcpSocket, ARefusedConnectFailsAndClosesTheSocket)
{
    CTcpListener listener;
    ASSERT_TRUE(listener.Listen());
    const uint16_t port = listener.Port();
    listener.Close();
    CTCPClient client;
    client.SetAddress(kLoopbackNet, port);
    const auto start = Clock::now();
    EXPECT_EQ(client.Connect(true, true, 2000), kFailure);
    EXPECT_LT(ElapsedMs(start), 1500);
    EXPECT_FALSE(client.IsOpen()) << "a refused connection was kept as a connection";
}

TEST(TcpSocket, ConnectSendAndReceive)
{
    CTcpListener listener;
    ASSERT_TRUE(listener.Listen());
    CTCPClient client;
    client.SetAddress(kLoopbackNet, listener.Port());
    client.SetTimeout(300);
    ASSERT_EQ(client.Connect(true, true, CTCPExchange::kUseTimeout), kOk);
    EXPECT_EQ(client.Connect(true, true, 0), kOk) << "connected already";
    const int peer = listener.Accept(2000ms);
    ASSERT_GE(peer, 0);

    // A frame goes out whole, even when the socket takes it in parts.
    const int small = 4096;
    ASSERT_EQ(::setsockopt(client.GetSocket(), SOL_SOCKET, SO_SNDBUF, &small, sizeof small), 0);
    Bytes big(200000);
    for (size_t i = 0; i < big.size(); ++i) big[i] = static_cast<uint8_t>(i * 31);
    Bytes got;
    std::thread reader([&] {
        uint8_t chunk[65536];
        const auto deadline = Clock::now() + 5s;
        while (got.size() < big.size() && Clock::now() < deadline) {
            pollfd p{peer, POLLIN, 0};
            if (::poll(&p, 1, 200) != 1) continue;
            const ssize_t n = ::read(peer, chunk, sizeof chunk);
            if (n <= 0) break;
            got.insert(got.end(), chunk, chunk + n);
        }
    });
    uint32_t length = static_cast<uint32_t>(big.size());
    EXPECT_EQ(client.SendBytes(big.data(), &length, 5000), kOk);
    EXPECT_EQ(length, big.size());
    reader.join();
    EXPECT_EQ(got, big);

    // Nothing to read: the object's timeout when asked with -1.
    uint8_t buffer[8];
    length = sizeof buffer;
    const auto start = Clock::now();
    EXPECT_EQ(client.ReceiveBytes(buffer, &length, CTCPExchange::kUseTimeout), kTimeout);
    EXPECT_EQ(length, 0u);
    EXPECT_GE(ElapsedMs(start), 290);
    EXPECT_TRUE(client.IsOpen());

    ASSERT_EQ(::write(peer, "\x01\x02", 2), 2);
    length = sizeof buffer;
    EXPECT_EQ(client.ReceiveBytes(buffer, &length, 1000), kOk);
    EXPECT_EQ(length, 2u);

    ::close(peer);
    length = sizeof buffer;
    EXPECT_EQ(client.ReceiveBytes(buffer, &length, 1000), kFailure);
    EXPECT_EQ(length, 0u);
    EXPECT_FALSE(client.IsOpen());
}
