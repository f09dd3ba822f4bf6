// The serial channel against a component of the test's own (installed through
// the component factory) that records every call and can fail each step, and
// against the real component on a line that does not exist.
#include "TransportPeers.h"
#include "app/CommEvents.h"
#include "app/LogFile.h"
#include "app/SingleVectors.h"
#include "platform/File.h"
#include "support/TempFolder.h"
#include "transports/LevelChannelCOM.h"

#include <gtest/gtest.h>
#include <memory>
#include <string>
#include <vector>

namespace {

// What the recording component saw, and how it is to behave.
struct FakeComponent {
    // Behaviour.
    bool creatable = true;
    bool makesPort = true;
    bool opens = true;
    bool hasControl = true;
    HRESULT writeResult = S_OK;
    HRESULT readResult = S_OK;
    Bytes readData;

    // Observations.
    int created = 0;
    int liveObjects = 0;  // manager and port objects not yet destroyed
    int references = 0;   // references handed out and not released
    std::vector<std::string> deviceNames;
    std::vector<std::string> modes;
    std::vector<std::pair<uint32_t, uint32_t>> timeouts;
    std::vector<uint32_t> purges;
    std::vector<size_t> writesBeforePurge;  // writes seen when each purge came
    std::vector<uint32_t> releasedCookies;
    struct Call {
        const void* bytes;
        const uint32_t* length;
        uint32_t lengthIn;
    };
    std::vector<Call> writes;
    std::vector<Call> reads;
    Bytes written;
};
FakeComponent* g_fake = nullptr;

class FakePort final : public ISerialPort, public ISerialPortStream, public ISerialPortControl {
   public:
    FakePort() { ++g_fake->liveObjects; }
    ~FakePort() { --g_fake->liveObjects; }

    HRESULT QueryInterface(const CSerialGuid& iid, void** out) override
    {
        *out = nullptr;
        if (iid == kIidSerialPort) {
            *out = static_cast<ISerialPort*>(this);
        } else if (iid == kIidSerialPortStream) {
            *out = static_cast<ISerialPortStream*>(this);
        } else if (iid == kIidSerialPortControl && g_fake->hasControl) {
            *out = static_cast<ISerialPortControl*>(this);
        } else {
            return kSerialNoInterface;
        }
        AddRef();
        return S_OK;
    }
    uint32_t AddRef() override
    {
        ++g_fake->references;
        return ++m_refs;
    }
    uint32_t Release() override
    {
        --g_fake->references;
        const uint32_t left = --m_refs;
        if (left == 0) delete this;
        return left;
    }

    HRESULT OpenPort(const char* name) override
    {
        g_fake->deviceNames.push_back(name);
        return g_fake->opens ? S_OK : kSerialFileNotFound;
    }
    HRESULT ClosePort() override { return S_OK; }
    HRESULT SetMode(const char* mode) override
    {
        g_fake->modes.push_back(mode);
        return S_OK;
    }
    HRESULT Write(const uint8_t* bytes, uint32_t* length) override
    {
        g_fake->writes.push_back({bytes, length, length != nullptr ? *length : 0});
        if (bytes != nullptr && length != nullptr) g_fake->written.assign(bytes, bytes + *length);
        return g_fake->writeResult;
    }
    HRESULT Read(uint8_t* bytes, uint32_t* length) override
    {
        g_fake->reads.push_back({bytes, length, length != nullptr ? *length : 0});
        if (bytes != nullptr && length != nullptr) {
            const uint32_t n = std::min<uint32_t>(*length, static_cast<uint32_t>(g_fake->readData.size()));
            std::copy(g_fake->readData.begin(), g_fake->readData.begin() + n, bytes);
            *length = n;
        }
        return g_fake->readResult;
    }
    HRESULT SetTimeouts(uint32_t response, uint32_t interCharacter) override
    {
        g_fake->timeouts.emplace_back(response, interCharacter);
        return S_OK;
    }
    HRESULT Purge(uint32_t flags) override
    {
        g_fake->purges.push_back(flags);
        g_fake->writesBeforePurge.push_back(g_fake->writes.size());
        return S_OK;
    }

   private:
    uint32_t m_refs = 0;
};

class FakeManager final : public ISerialPortManager {
   public:
    FakeManager() { ++g_fake->liveObjects; }
    ~FakeManager()
    {
        for (FakePort* p : m_ports) {
            if (p == nullptr) continue;
            ++g_fake->references;  // the manager's own hold was never counted
            p->Release();
        }
        --g_fake->liveObjects;
    }
    HRESULT QueryInterface(const CSerialGuid& iid, void** out) override
    {
        *out = nullptr;
        if (!(iid == kIidSerialPortManager)) return kSerialNoInterface;
        *out = static_cast<ISerialPortManager*>(this);
        AddRef();
        return S_OK;
    }
    uint32_t AddRef() override
    {
        ++g_fake->references;
        return ++m_refs;
    }
    uint32_t Release() override
    {
        --g_fake->references;
        const uint32_t left = --m_refs;
        if (left == 0) delete this;
        return left;
    }
    HRESULT CreatePort(uint32_t kind, const CSerialGuid& iid, uint32_t* cookie, void** port) override
    {
        *port = nullptr;
        if (kind != kSerialPortKind || !g_fake->makesPort) return E_FAIL;
        auto* p = new FakePort();
        p->AddRef();  // the manager's own hold, dropped by ReleasePort
        --g_fake->references;
        m_ports.push_back(p);
        *cookie = 40 + static_cast<uint32_t>(m_ports.size());
        return p->QueryInterface(iid, port);
    }
    HRESULT ReleasePort(uint32_t cookie) override
    {
        g_fake->releasedCookies.push_back(cookie);
        const size_t index = cookie - 41;
        if (index >= m_ports.size() || m_ports[index] == nullptr) return E_INVALIDARG;
        ++g_fake->references;
        m_ports[index]->Release();
        m_ports[index] = nullptr;
        return S_OK;
    }

   private:
    uint32_t m_refs = 0;
    std::vector<FakePort*> m_ports;
};

HRESULT FakeFactory(const CSerialGuid& clsid, const CSerialGuid& iid, void** out)
{
    *out = nullptr;
    ++g_fake->created;
    if (!g_fake->creatable || !(clsid == kClsidSerialComponent)) return kSerialClassNotRegistered;
    auto* manager = new FakeManager();
    return manager->QueryInterface(iid, out);
}

// A serial channel named Vireo-2_1 under a root, with a statistics log.
class SerialChannel : public ::testing::Test {
   protected:
    void SetUp() override
    {
        g_fake = &m_fake;
        m_previous = SetSerialComponentFactory(FakeFactory);
        CSingleVectors::Instance().SetStatisticsLog(
            std::make_unique<CLogFile>(m_folder.File("OpcVireo2.txt"), 5000, 1));
        m_channel.SetName("Vireo-2_1");
    }
    void TearDown() override
    {
        m_channel.Close();
        CSingleVectors::Instance().SetStatisticsLog(nullptr);
        SetSerialComponentFactory(m_previous);
        EXPECT_EQ(m_fake.references, 0) << "references leaked";
        EXPECT_EQ(m_fake.liveObjects, 0) << "objects leaked";
        g_fake = nullptr;
    }

    int PortOpenErrors() const
    {
        std::string text;
        if (!ReadFileText(m_folder.File("OpcVireo2.txt"), &text)) return 0;
        const std::string line = CommEventLine(kCommPortOpenError, m_channel.FullPath());
        int count = 0;
        for (size_t at = text.find(line); at != std::string::npos; at = text.find(line, at + 1)) ++count;
        return count;
    }

    FakeComponent m_fake;
    SerialComponentFactory m_previous = nullptr;
    CTempFolder m_folder;
    CLevelChannelCOM m_channel;
};

std::vector<std::pair<std::string, std::string>> Rows(CLevelChannel& channel)
{
    std::vector<std::pair<std::string, std::string>> rows;
    std::string label, value;
    for (uint32_t row = 0; channel.Describe(row, label, value); ++row) rows.emplace_back(label, value);
    return rows;
}

}  // namespace

TEST_F(SerialChannel, OpenNamesTheDeviceAndSetsModeAndTimeouts)
{
    m_channel.PortSettings() = {3, 19200, 2};
    m_channel.Settings().m_responseTimeout = 1234;
    m_channel.Initialise();
    EXPECT_EQ(m_channel.State(), kChannelOpen);
    EXPECT_EQ(m_fake.deviceNames, std::vector<std::string>{"\\\\.\\COM3"});
    EXPECT_EQ(m_fake.modes, std::vector<std::string>{"baud=19200 data=8 parity=O stop=1"});
    ASSERT_EQ(m_fake.timeouts.size(), 1u);
    EXPECT_EQ(m_fake.timeouts[0], std::make_pair(1234u, 5u));
    EXPECT_TRUE(m_channel.HoldsManager() && m_channel.HoldsPort() && m_channel.HoldsStream() &&
                m_channel.HoldsControl());
    EXPECT_EQ(PortOpenErrors(), 0);

    m_channel.Close();
    EXPECT_EQ(m_channel.State(), kChannelClosed);
    EXPECT_FALSE(m_channel.HoldsManager() || m_channel.HoldsPort() || m_channel.HoldsStream() ||
                 m_channel.HoldsControl());
    EXPECT_EQ(m_fake.releasedCookies, std::vector<uint32_t>{41});
    EXPECT_EQ(m_fake.references, 0);
    EXPECT_EQ(m_fake.liveObjects, 0);
}

TEST_F(SerialChannel, InterCharacterTimeoutFollowsTheBaudRate)
{
    const std::vector<std::pair<uint32_t, uint32_t>> table = {
        {300, 300}, {600, 160}, {1200, 40},  {2400, 20},   {4800, 10},   {9600, 10},    {19200, 5},
        {38400, 5}, {57600, 5}, {115200, 5}, {76800, 300}, {14400, 300}, {230400, 300}, {0, 300}};
    for (const auto& [baud, expected] : table) {
        m_fake.timeouts.clear();
        m_channel.PortSettings().m_baudRate = baud;
        ASSERT_EQ(m_channel.Open(), CLevelChannelCOM::kOpenDone);
        ASSERT_EQ(m_fake.timeouts.size(), 1u);
        EXPECT_EQ(m_fake.timeouts[0].second, expected) << baud << " baud";
        EXPECT_EQ(m_fake.timeouts[0].first, 3000u);
        EXPECT_EQ(m_fake.modes.back(), "baud=" + std::to_string(baud) + " data=8 parity=N stop=1");
        m_channel.Close();
    }
}

TEST_F(SerialChannel, AResponseTimeoutFromAFileReachesThePortWithinTheDialogRange)
{
    for (const auto& [stored, used] :
         std::vector<std::pair<uint32_t, uint32_t>>{{0x80000000u, 30000}, {10, 50}}) {
        m_fake.timeouts.clear();
        m_channel.Settings().m_responseTimeout = stored;
        ASSERT_EQ(m_channel.Open(), CLevelChannelCOM::kOpenDone);
        ASSERT_EQ(m_fake.timeouts.size(), 1u);
        EXPECT_EQ(m_fake.timeouts[0].first, used) << stored;
        m_channel.Close();
    }
}

TEST_F(SerialChannel, ParityGivesTheLetterAndTheName)
{
    const char* letters[] = {"N", "E", "O", "M", "S"};
    const char* names[] = {"Нет", "Четный", "Нечетный", "Маркер", "Пробел"};
    for (uint32_t parity : {0u, 1u, 2u, 3u, 4u, 5u, 7u, 0xFFFFFFFFu}) {
        m_channel.PortSettings().m_parity = parity;
        ASSERT_EQ(m_channel.Open(), CLevelChannelCOM::kOpenDone);
        const char* letter = parity < 5 ? letters[parity] : "N";
        EXPECT_EQ(m_fake.modes.back(), std::string("baud=9600 data=8 parity=") + letter + " stop=1")
            << parity;
        std::string label, value;
        ASSERT_TRUE(m_channel.Describe(2, label, value));
        EXPECT_EQ(label, "Контроль четности");
        EXPECT_EQ(value, parity < 5 ? names[parity] : "Нет") << parity;
        m_channel.Close();
    }
}

TEST_F(SerialChannel, DescribeRows)
{
    using Rows_ = std::vector<std::pair<std::string, std::string>>;
    EXPECT_EQ(Rows(m_channel), (Rows_{{"Номер COM-порта", "COM0"},
                                      {"Скорость обмена", "9600"},
                                      {"Контроль четности", "Нет"},
                                      {"Количество попыток", "3"},
                                      {"Ожидание ответа", "3000 мс"},
                                      {"Пауза перед запросом", "100 мс"}}));
    m_channel.PortSettings() = {12, 115200, 3};
    m_channel.Settings().m_attempts = 7;
    m_channel.Settings().m_responseTimeout = 250;
    m_channel.Settings().m_pauseBeforeRequest = 0;
    m_channel.Settings().m_pollPeriod = 999;
    m_channel.SetKey("ключ");
    EXPECT_EQ(Rows(m_channel), (Rows_{{"Номер COM-порта", "COM12"},
                                      {"Скорость обмена", "115200"},
                                      {"Контроль четности", "Маркер"},
                                      {"Количество попыток", "7"},
                                      {"Ожидание ответа", "250 мс"},
                                      {"Пауза перед запросом", "0 мс"}}))
        << "no row for the poll period or the key";
    std::string label = "x", value = "y";
    EXPECT_FALSE(m_channel.Describe(6, label, value));
    EXPECT_FALSE(m_channel.Describe(0xFFFFFFFFu, label, value));
}

TEST_F(SerialChannel, AComponentThatCannotBeCreatedLeavesTheStateAndLogsNothing)
{
    m_fake.creatable = false;
    m_channel.Initialise();
    EXPECT_EQ(m_channel.State(), kChannelClosed);
    EXPECT_EQ(m_channel.Open(), CLevelChannelCOM::kOpenNoComponent);
    EXPECT_EQ(m_channel.State(), kChannelClosed);
    EXPECT_EQ(m_fake.created, 2);
    EXPECT_FALSE(m_channel.HoldsManager());
    EXPECT_EQ(PortOpenErrors(), 0);
    uint32_t length = 4;
    uint8_t bytes[4] = {};
    EXPECT_LT(m_channel.Send(bytes, &length), 0) << "send without a component";
    length = 4;
    EXPECT_LT(m_channel.Receive(bytes, &length), 0);
    EXPECT_EQ(length, 0u);
    EXPECT_EQ(m_channel.Purge(3), E_FAIL);
}

TEST_F(SerialChannel, APortThatWillNotOpenRaisesEvent11AtEveryOpen)
{
    m_fake.opens = false;
    m_channel.Initialise();
    EXPECT_EQ(m_channel.State(), kChannelOpeningFailed);
    EXPECT_EQ(PortOpenErrors(), 1);
    EXPECT_TRUE(m_channel.HoldsManager() && m_channel.HoldsPort() && m_channel.HoldsStream());
    EXPECT_FALSE(m_channel.HoldsControl());
    EXPECT_TRUE(m_fake.modes.empty()) << "mode set on a port that did not open";

    // The device exchange recovers with Close and Open: one event each time.
    for (int expected = 2; expected <= 3; ++expected) {
        m_channel.Close();
        EXPECT_EQ(m_channel.State(), kChannelClosed);
        EXPECT_EQ(m_channel.Open(), CLevelChannelCOM::kOpenPortFailed);
        EXPECT_EQ(m_channel.State(), kChannelOpeningFailed);
        EXPECT_EQ(PortOpenErrors(), expected);
    }
    // Open again without a Close in between: the old port is let go.
    EXPECT_EQ(m_channel.Open(), CLevelChannelCOM::kOpenPortFailed);
    EXPECT_EQ(m_fake.references, 3) << "manager, port and stream of one open only";
    m_fake.opens = true;
    EXPECT_EQ(m_channel.Open(), CLevelChannelCOM::kOpenDone);
    EXPECT_EQ(m_channel.State(), kChannelOpen);
    EXPECT_EQ(PortOpenErrors(), 4);
}

TEST_F(SerialChannel, AManagerWithoutPortsCountsAsAPortThatWillNotOpen)
{
    m_fake.makesPort = false;
    EXPECT_EQ(m_channel.Open(), CLevelChannelCOM::kOpenPortFailed);
    EXPECT_EQ(m_channel.State(), kChannelOpeningFailed);
    EXPECT_EQ(PortOpenErrors(), 1);
    uint32_t length = 2;
    uint8_t bytes[2] = {1, 2};
    EXPECT_LT(m_channel.Send(bytes, &length), 0);
    EXPECT_EQ(length, 0u);
}

TEST_F(SerialChannel, APortWithoutControlOpensButIsNotUsable)
{
    m_fake.hasControl = false;
    EXPECT_EQ(m_channel.Open(), CLevelChannelCOM::kOpenDone);
    EXPECT_EQ(m_channel.State(), kChannelClosed) << "state 3 needs the control interface";
    EXPECT_EQ(PortOpenErrors(), 0);
    EXPECT_FALSE(m_channel.HoldsControl());
    EXPECT_EQ(m_channel.Purge(3), E_FAIL);
}

TEST_F(SerialChannel, SendAndReceiveGoToTheStreamAsTheyAre)
{
    m_channel.Initialise();
    uint8_t request[] = {1, 3, 0, 10, 0, 2, 0xE4, 0x09};
    uint32_t length = sizeof request;
    m_fake.writeResult = kSerialTimeout;
    EXPECT_EQ(m_channel.Send(request, &length), kSerialTimeout) << "the component's status";
    ASSERT_EQ(m_fake.writes.size(), 1u);
    EXPECT_EQ(m_fake.writes[0].bytes, request);
    EXPECT_EQ(m_fake.writes[0].length, &length);
    EXPECT_EQ(m_fake.written, Bytes(request, request + sizeof request));

    m_fake.readData = {1, 3, 4, 0xAA, 0xBB, 0xCC, 0xDD};
    uint8_t reply[16] = {};
    length = 5;
    m_fake.readResult = S_OK;
    EXPECT_EQ(m_channel.Receive(reply, &length), S_OK);
    EXPECT_EQ(length, 5u) << "room passed in, count passed out";
    EXPECT_EQ(Bytes(reply, reply + 5), (Bytes{1, 3, 4, 0xAA, 0xBB}));

    // The exchange's flush: null buffer and length reach the component.
    EXPECT_EQ(m_channel.Receive(nullptr, nullptr), S_OK);
    m_fake.writeResult = S_OK;
    EXPECT_EQ(m_channel.Send(nullptr, nullptr), S_OK);
    ASSERT_EQ(m_fake.reads.size(), 2u);
    EXPECT_EQ(m_fake.reads[1].bytes, nullptr);
    EXPECT_EQ(m_fake.reads[1].length, nullptr);
    ASSERT_EQ(m_fake.writes.size(), 2u);
    EXPECT_EQ(m_fake.writes[1].bytes, nullptr);

    EXPECT_EQ(m_channel.Purge(CLevelChannelCOM::kPurgeBeforeAttempt), S_OK);
    EXPECT_EQ(m_fake.purges, std::vector<uint32_t>{3});
}

TEST(SerialChannelReal, AMissingPortRaisesEvent11OncePerOpenAndLeavesState2)
{
    CTempFolder folder;
    CScopedEnv data("XDG_DATA_HOME", folder.Path());
    CSingleVectors::Instance().SetStatisticsLog(std::make_unique<CLogFile>(folder.File("stat.txt"), 5000, 1));
    {
        CLevelChannelCOM channel;
        channel.SetName("Линия");
        channel.PortSettings().m_portNumber = 200;  // no dev/com200 link, no /dev/ttyS199
        channel.Initialise();
        EXPECT_EQ(channel.State(), kChannelOpeningFailed);
        for (int i = 0; i < 2; ++i) {
            channel.Close();
            EXPECT_EQ(channel.Open(), CLevelChannelCOM::kOpenPortFailed);
            EXPECT_EQ(channel.State(), kChannelOpeningFailed);
        }
        std::string text;
        ASSERT_TRUE(ReadFileText(folder.File("stat.txt"), &text));
        const std::string line = CommEventLine(kCommPortOpenError, channel.FullPath());
        EXPECT_NE(line.find("Ошибка открытия COM-порта"), std::string::npos);
        int count = 0;
        for (size_t at = text.find(line); at != std::string::npos; at = text.find(line, at + 1)) ++count;
        EXPECT_EQ(count, 3) << text;
    }
    CSingleVectors::Instance().SetStatisticsLog(nullptr);
}

TEST_F(SerialChannel, EveryAttemptPurgesThePortAfterTheFlushAndBeforeTheRequest)
{
    m_channel.Settings().m_attempts = 3;
    m_channel.Initialise();
    ASSERT_EQ(m_channel.State(), kChannelOpen);
    CTransaction transaction;
    const Bytes request = {1, 3, 0, 10, 0, 1, 0xA4, 0x08};
    std::copy(request.begin(), request.end(), transaction.m_request.m_data.begin());
    transaction.m_request.m_length = static_cast<uint32_t>(request.size());
    transaction.m_expectedReplyLength = 7;
    EXPECT_FALSE(m_channel.Exchange().RunTransaction(transaction));  // the device stays silent

    EXPECT_EQ(m_fake.purges, (std::vector<uint32_t>{3, 3, 3}));
    // Each attempt writes the flush and then the request: the purge sits between them.
    EXPECT_EQ(m_fake.writesBeforePurge, (std::vector<size_t>{1, 3, 5}));
    ASSERT_EQ(m_fake.writes.size(), 6u);
    EXPECT_EQ(m_fake.writes[0].bytes, nullptr);
    EXPECT_NE(m_fake.writes[1].bytes, nullptr);
    EXPECT_EQ(m_fake.written, request);
}
