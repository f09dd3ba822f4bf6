// Items of a channel's real item space polled end to end: the device
// exchange over each transport against a Modbus server that nobody here
// wrote (libmodbus on TCP and on a pty line, pymodbus on UDP, libmodbus
// behind an OpenSSL envelope), the values compared with what the codec makes
// of the server's registers.
#include "TransportPeers.h"
#include "app/CommEvents.h"
#include "app/LogFile.h"
#include "app/SingleVectors.h"
#include "config/LevelRoot.h"
#include "devicemaps/ValueCodec.h"
#include "opcda/DATag.h"
#include "platform/File.h"
#include "platform/Paths.h"
#include "platform/Text.h"
#include "support/TempFolder.h"
#include "transports/ChannelFactory.h"
#include "transports/LevelChannelCOM.h"
#include "transports/LevelChannelTCP.h"
#include "transports/LevelChannelUDP.h"

#include <cstring>
#include <filesystem>
#include <gtest/gtest.h>

namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

constexpr uint32_t kLoopback = 0x7F000001;

// The value the codec gives for an item from the server's registers.
std::string ExpectedText(const CDATag& item, VARTYPE* type)
{
    uint32_t registers = 1;
    (void)ItemRegisterCount(item.Code(), &registers);
    const Bytes bytes = PeerRegisterBytes(item.Address(), registers);
    VARIANT value;
    VariantInit(&value);
    DecodeItemValue(0, nullptr, item.Code(), bytes.data(), &value);
    *type = value.vt;
    VARIANT text;
    VariantInit(&text);
    std::string out = "?";
    if (SUCCEEDED(VariantChangeType(&text, &value, 0, VT_BSTR))) out = BstrToUtf8(text.bstrVal);
    VariantClear(&text);
    VariantClear(&value);
    return out;
}

std::string ValueText(const CDATag& item)
{
    VARIANT text;
    VariantInit(&text);
    std::string out = "?";
    if (SUCCEEDED(VariantChangeType(&text, &item.m_value, 0, VT_BSTR))) out = BstrToUtf8(text.bstrVal);
    VariantClear(&text);
    return out;
}

// A channel of the given kind under a root of its own, built from the device
// maps, with a statistics log; some of its items in use by a client.
class PolledChannel : public ::testing::Test {
   protected:
    void SetUp() override
    {
        CSingleVectors::Instance().SetStatisticsLog(std::make_unique<CLogFile>(StatisticsPath(), 5000, 1));
        m_root.UseServices(m_plain);
    }
    void TearDown() override
    {
        if (m_channel != nullptr) {
            m_channel->StopThread();
            for (CDATag* item : m_used) item->Release();
            m_root.RemoveLevel(m_channel->FullPath());
        }
        CSingleVectors::Instance().SetStatisticsLog(nullptr);
    }

    std::string StatisticsPath() const { return m_folder.File("OpcVireo2.txt"); }

    // Makes, initialises and builds the channel; the settings function fills
    // the transport's own settings first.
    void MakeChannel(uint8_t kind, const std::function<void(CLevelChannel&)>& settings)
    {
        std::unique_ptr<CLevelChannel> channel = CreateChannel(kind);
        ASSERT_NE(channel, nullptr);
        channel->SetName("Vireo-2_1");
        channel->Settings().m_pauseBeforeRequest = 0;
        channel->Settings().m_responseTimeout = 1000;
        channel->Settings().m_attempts = 2;
        settings(*channel);
        channel->Initialise();
        m_channel = channel.get();
        m_root.AddLevel(std::move(channel));
        ASSERT_EQ(m_channel->Build(), 1);
        ASSERT_GT(m_channel->Exchange().Items().size(), 10000u);
    }

    // Every stride-th readable item from the offset on comes into use.
    void UseItems(size_t stride, size_t offset = 0)
    {
        const std::vector<CDATag*>& items = m_channel->Exchange().Items();
        for (size_t i = offset; i < items.size(); i += stride) {
            if (!items[i]->IsReadable()) continue;
            items[i]->AddRef();
            m_used.push_back(items[i]);
        }
        ASSERT_GE(m_used.size(), 10u);
    }

    // Every item in use is good and holds the codec's value of the server's registers.
    void ExpectServerValues()
    {
        CCriticalSectionLock lock(CSingleVectors::Instance().ItemLock());
        int wrong = 0;
        for (const CDATag* item : m_used) {
            VARTYPE type = VT_EMPTY;
            const std::string expected = ExpectedText(*item, &type);
            const bool right = item->IsGood() && item->m_value.vt == type && ValueText(*item) == expected;
            if (!right && ++wrong <= 5) {
                ADD_FAILURE() << item->FullName() << " at " << item->Address() << " code "
                              << int(item->Code()) << ": quality " << item->m_quality << ", "
                              << ValueText(*item) << " (vt " << item->m_value.vt << "), expected " << expected
                              << " (vt " << type << ")";
            }
        }
        EXPECT_EQ(wrong, 0) << "of " << m_used.size() << " items";
    }

    bool AllQuality(uint16_t quality)
    {
        CCriticalSectionLock lock(CSingleVectors::Instance().ItemLock());
        for (const CDATag* item : m_used) {
            if (item->m_quality != quality) return false;
        }
        return true;
    }

    // The link events of the channel in the statistics log, in order: 'U' up, 'D' down.
    std::string LinkEvents()
    {
        std::string text;
        (void)ReadFileText(StatisticsPath(), &text);
        const std::string up = CommEventLine(kCommLinkUp, m_channel->FullPath());
        const std::string down = CommEventLine(kCommLinkDown, m_channel->FullPath());
        std::string events;
        for (size_t at = 0; at < text.size();) {
            const size_t u = text.find(up, at), d = text.find(down, at);
            if (u == std::string::npos && d == std::string::npos) break;
            if (u < d) {
                events += 'U';
                at = u + up.size();
            } else {
                events += 'D';
                at = d + down.size();
            }
        }
        return events;
    }

    CTempFolder m_folder;
    // Plain frames unless a test asks for the envelope: the singleton loads
    // the cipher library whenever it lies beside the program.
    CExchangeServices m_plain = CSingleVectors::Instance().ExchangeServices().WithCipher(nullptr, nullptr);
    CLevelRoot m_root;
    CLevelChannel* m_channel = nullptr;
    std::vector<CDATag*> m_used;
};

}  // namespace

// ---------------------------------------------------------------- TCP

TEST_F(PolledChannel, TcpItemsGetTheLibmodbusServersValues)
{
    CModbusTcpServer server;
    ASSERT_TRUE(server.Start(0, kAllRegisters));
    MakeChannel(kKindChannelTCP, [&](CLevelChannel& c) {
        static_cast<CLevelChannelTCP&>(c).ConnectionSettings() = {kLoopback, server.Port(), 1000};
    });
    UseItems(89);
    EXPECT_EQ(m_channel->Exchange().Poll(), 0);
    ExpectServerValues();
    EXPECT_GE(server.Requests(), 10u);
    EXPECT_EQ(server.Accepted(), 1);
    EXPECT_EQ(LinkEvents(), "U");
}

TEST_F(PolledChannel, TcpServerStoppedAndStartedAgain)
{
    CModbusTcpServer server;
    ASSERT_TRUE(server.Start(0, kAllRegisters));
    const uint16_t port = server.Port();
    MakeChannel(kKindChannelTCP, [&](CLevelChannel& c) {
        static_cast<CLevelChannelTCP&>(c).ConnectionSettings() = {kLoopback, port, 1000};
        c.Settings().m_responseTimeout = 300;
    });
    m_channel->Exchange().SetRecoveryWaitMs(50);
    UseItems(997);
    ASSERT_EQ(m_channel->Exchange().Poll(), 0);
    ExpectServerValues();

    server.Stop();
    EXPECT_NE(m_channel->Exchange().Poll(), 0);
    EXPECT_TRUE(AllQuality(OPC_QUALITY_BAD)) << "items stayed good without a device";
    EXPECT_NE(m_channel->Exchange().Poll(), 0) << "still nobody there";
    EXPECT_EQ(LinkEvents(), "UD") << "the loss is logged once";
    EXPECT_EQ(m_channel->State(), kChannelOpen) << "reopened after the loss";

    ASSERT_TRUE(server.Start(port, kAllRegisters));
    EXPECT_EQ(m_channel->Exchange().Poll(), 0);
    ExpectServerValues();
    EXPECT_EQ(m_channel->Exchange().Poll(), 0);
    EXPECT_EQ(LinkEvents(), "UDU") << "the return is logged once";
}

TEST_F(PolledChannel, TcpPollingThreadFillsTheItems)
{
    CModbusTcpServer server;
    ASSERT_TRUE(server.Start(0, kAllRegisters));
    MakeChannel(kKindChannelTCP, [&](CLevelChannel& c) {
        static_cast<CLevelChannelTCP&>(c).ConnectionSettings() = {kLoopback, server.Port(), 1000};
    });
    UseItems(1499, 7);
    ASSERT_EQ(m_channel->StartThread(), 1);
    // The thread polls at once; a few turns are plenty.
    const auto deadline = Clock::now() + 10s;
    while (!AllQuality(OPC_QUALITY_GOOD) && Clock::now() < deadline) std::this_thread::sleep_for(20ms);
    m_channel->StopThread();
    ExpectServerValues();
    EXPECT_FALSE(m_channel->HasThread());
}

TEST_F(PolledChannel, EncipheredTcpItemsGetTheServersValues)
{
    // The library beside the program, as the singleton loaded it at start.
    CSingleVectors& app = CSingleVectors::Instance();
    ASSERT_TRUE(app.EncryptPacket() != nullptr && app.DecryptPacket() != nullptr)
        << "cipher library not loaded";
    const std::string channelKey = "Вирео-2 ключ";
    CipherKey key{};
    const std::string ansi = Utf8ToCp1251(channelKey);
    std::memcpy(key.data(), ansi.data(), std::min(ansi.size(), key.size()));
    CEnvelopeTcpPeer peer;
    ASSERT_TRUE(peer.Start(key, kAllRegisters));
    MakeChannel(kKindChannelTCP, [&](CLevelChannel& c) {
        static_cast<CLevelChannelTCP&>(c).ConnectionSettings() = {kLoopback, peer.Port(), 1000};
        c.SetKey(channelKey);
    });
    m_channel->Exchange().SetServices(app.ExchangeServices());
    UseItems(211, 3);
    EXPECT_EQ(m_channel->Exchange().Poll(), 0);
    ExpectServerValues();
    EXPECT_GE(peer.Packets(), 10);
    EXPECT_EQ(peer.Rejected(), 0) << "something arrived that was not a packet under the key";
}

// ---------------------------------------------------------------- UDP

TEST_F(PolledChannel, UdpItemsGetThePymodbusServersValues)
{
    CPymodbusUdpServer server;
    ASSERT_TRUE(server.Start(kAllRegisters)) << "pymodbus did not start";
    CUdpPeer probe;
    ASSERT_TRUE(probe.Bind());
    const uint16_t localPort = probe.Port();
    probe.Close();
    MakeChannel(kKindChannelUDP, [&](CLevelChannel& c) {
        static_cast<CLevelChannelUDP&>(c).DatagramSettings() = {kLoopback, server.Port(), localPort};
        c.Settings().m_responseTimeout = 2000;
    });
    UseItems(307, 1);
    EXPECT_EQ(m_channel->Exchange().Poll(), 0);
    ExpectServerValues();
    EXPECT_EQ(LinkEvents(), "U");
}

// ---------------------------------------------------------------- serial

namespace {

struct SerialLine {
    uint32_t baud;
    uint32_t parity;
    char modbusParity;
    const char* name;
};
void PrintTo(const SerialLine& line, std::ostream* os)
{
    *os << line.name;
}

class PolledSerialChannel : public PolledChannel, public ::testing::WithParamInterface<SerialLine> {};

}  // namespace

TEST_P(PolledSerialChannel, ItemsGetTheLibmodbusRtuServersValues)
{
    CTempFolder home;
    CScopedEnv data("XDG_DATA_HOME", home.Path());
    CPtyPair pty;
    ASSERT_TRUE(pty.Start());
    ASSERT_TRUE(CreateFolders(JoinPath(DataFolderPath(), "dev")));
    std::filesystem::create_symlink(pty.EndA(), JoinPath(DataFolderPath(), "dev/com2"));
    const SerialLine& line = GetParam();
    CModbusRtuServer server;
    ASSERT_TRUE(server.Start(pty.EndB(), static_cast<int>(line.baud), line.modbusParity, kAllRegisters));
    MakeChannel(kKindChannelCOM, [&](CLevelChannel& c) {
        static_cast<CLevelChannelCOM&>(c).PortSettings() = {2, line.baud, line.parity};
    });
    ASSERT_EQ(m_channel->State(), kChannelOpen);
    UseItems(401, 5);
    EXPECT_EQ(m_channel->Exchange().Poll(), 0);
    ExpectServerValues();
    EXPECT_EQ(LinkEvents(), "U");
    // Teardown before the line goes: the channel's port must not outlive socat.
    m_channel->StopThread();
    for (CDATag* item : m_used) item->Release();
    m_used.clear();
    m_root.RemoveLevel(m_channel->FullPath());
    m_channel = nullptr;
}

INSTANTIATE_TEST_SUITE_P(Lines, PolledSerialChannel,
                         ::testing::Values(SerialLine{19200, 2, 'O', "Baud19200Odd"},
                                           SerialLine{76800, 0, 'N', "Baud76800"}),
                         [](const ::testing::TestParamInfo<SerialLine>& info) { return info.param.name; });

// ---------------------------------------------------------------- threads

TEST_F(PolledChannel, PollingThreadAndOnDemandReadsShareTheTransports)
{
    // The polling thread and three toolkit-like readers on one TCP channel at
    // once: every call returns, every reply lands in the right items.
    CModbusTcpServer server;
    ASSERT_TRUE(server.Start(0, kAllRegisters));
    MakeChannel(kKindChannelTCP, [&](CLevelChannel& c) {
        static_cast<CLevelChannelTCP&>(c).ConnectionSettings() = {kLoopback, server.Port(), 1000};
    });
    UseItems(701, 2);
    ASSERT_EQ(m_channel->StartThread(), 1);
    std::atomic<int> failures{0};
    std::atomic<int> reads{0};
    std::vector<std::thread> readers;
    const auto until = Clock::now() + 1500ms;
    for (int t = 0; t < 3; ++t) {
        readers.emplace_back([&, t] {
            std::vector<CDATag*> mine;
            for (size_t i = static_cast<size_t>(t); i < m_used.size(); i += 3) mine.push_back(m_used[i]);
            std::vector<HRESULT> errors(mine.size(), S_OK);
            while (Clock::now() < until) {
                if (m_channel->Exchange().ReadRequested(static_cast<uint32_t>(mine.size()), mine.data(),
                                                        errors.data()) != 0) {
                    ++failures;
                }
                ++reads;
            }
        });
    }
    for (std::thread& r : readers) r.join();
    m_channel->StopThread();
    EXPECT_EQ(failures.load(), 0);
    EXPECT_GT(reads.load(), 3);
    ExpectServerValues();
    EXPECT_EQ(LinkEvents(), "U");
}
