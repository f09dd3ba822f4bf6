// The serial-port component on a real line: one end of a socat pty pair,
// reached as COM 7 through the data folder's dev/com7 link.
#include "TransportPeers.h"
#include "platform/File.h"
#include "platform/Paths.h"
#include "platform/SerialPort.h"
#include "support/TempFolder.h"

#include <asm/termbits.h>
#include <cerrno>
#include <fcntl.h>
#include <filesystem>
#include <gtest/gtest.h>
#include <memory>
#include <poll.h>
#include <sys/ioctl.h>
#include <unistd.h>

namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

template <class T>
struct Released {
    void operator()(T* p) const
    {
        if (p != nullptr) p->Release();
    }
};
template <class T>
using Ref = std::unique_ptr<T, Released<T>>;

// A port of the default component with its three interfaces.
struct Port {
    Ref<ISerialPortManager> manager;
    Ref<ISerialPort> port;
    Ref<ISerialPortStream> stream;
    Ref<ISerialPortControl> control;
    uint32_t cookie = 0;
};

Port MakePort()
{
    Port p;
    void* object = nullptr;
    EXPECT_EQ(CreateSerialComponent(kClsidSerialComponent, kIidSerialPortManager, &object), S_OK);
    p.manager.reset(static_cast<ISerialPortManager*>(object));
    object = nullptr;
    EXPECT_EQ(p.manager->CreatePort(kSerialPortKind, kIidSerialPort, &p.cookie, &object), S_OK);
    p.port.reset(static_cast<ISerialPort*>(object));
    object = nullptr;
    EXPECT_EQ(p.port->QueryInterface(kIidSerialPortStream, &object), S_OK);
    p.stream.reset(static_cast<ISerialPortStream*>(object));
    object = nullptr;
    EXPECT_EQ(p.port->QueryInterface(kIidSerialPortControl, &object), S_OK);
    p.control.reset(static_cast<ISerialPortControl*>(object));
    return p;
}

termios2 LineSettings(int fd)
{
    termios2 t{};
    EXPECT_EQ(::ioctl(fd, TCGETS2, &t), 0);
    return t;
}

bool WaitInput(int fd, std::chrono::milliseconds wait)
{
    pollfd p{fd, POLLIN, 0};
    return ::poll(&p, 1, static_cast<int>(wait.count())) == 1;
}

void WriteAll(int fd, const Bytes& bytes)
{
    ASSERT_EQ(::write(fd, bytes.data(), bytes.size()), static_cast<ssize_t>(bytes.size()));
}

Bytes ReadFrom(ISerialPortStream* stream, uint32_t room, HRESULT* result = nullptr)
{
    Bytes buffer(room);
    uint32_t length = room;
    const HRESULT hr = stream->Read(buffer.data(), &length);
    if (result != nullptr) *result = hr;
    buffer.resize(length);
    return buffer;
}

class SerialComponent : public ::testing::Test {
   protected:
    void SetUp() override
    {
        ASSERT_TRUE(m_pty.Start()) << "socat did not make a pty pair";
        ASSERT_TRUE(CreateFolders(JoinPath(DataFolderPath(), "dev")));
        std::filesystem::create_symlink(m_pty.EndA(), JoinPath(DataFolderPath(), "dev/com7"));
        m_p = MakePort();
        ASSERT_EQ(m_p.port->OpenPort("\\\\.\\COM7"), S_OK);
    }

    CTempFolder m_home;
    CScopedEnv m_data{"XDG_DATA_HOME", m_home.Path()};
    CPtyPair m_pty;
    Port m_p;
};

}  // namespace

TEST_F(SerialComponent, ModeTextReachesTheLine)
{
    struct Case {
        const char* mode;
        uint32_t baud;
        tcflag_t parity;  // PARENB, PARODD, CMSPAR as expected
    };
    for (const Case& c : {Case{"baud=76800 data=8 parity=N stop=1", 76800, 0},
                          Case{"baud=19200 data=8 parity=O stop=1", 19200, PARENB | PARODD},
                          Case{"baud=9600 data=8 parity=E stop=1", 9600, PARENB},
                          Case{"baud=1200 data=8 parity=M stop=1", 1200, PARENB | PARODD | CMSPAR},
                          Case{"BAUD=115200 Data=8 PARITY=s stop=1", 115200, PARENB | CMSPAR}}) {
        ASSERT_EQ(m_p.port->SetMode(c.mode), S_OK) << c.mode;
        const termios2 t = LineSettings(m_pty.KeeperA());
        EXPECT_EQ(t.c_cflag & CBAUD, static_cast<tcflag_t>(BOTHER)) << c.mode;
        EXPECT_EQ(t.c_ospeed, c.baud) << c.mode;
        EXPECT_EQ(t.c_ispeed, c.baud) << c.mode;
        EXPECT_EQ(t.c_cflag & CSIZE, static_cast<tcflag_t>(CS8)) << c.mode;
        // A pty clears PARENB of whatever it is given; the other two bits stay.
        EXPECT_EQ(t.c_cflag & (PARODD | CMSPAR), c.parity & ~static_cast<tcflag_t>(PARENB)) << c.mode;
        EXPECT_EQ(t.c_cflag & CSTOPB, 0u) << c.mode;

        CSerialLineMode parsed;
        ASSERT_TRUE(ParseSerialMode(c.mode, &parsed)) << c.mode;
        const tcflag_t asked = SerialControlFlags(parsed);
        EXPECT_EQ(asked & (PARENB | PARODD | CMSPAR), c.parity) << c.mode;
        EXPECT_EQ(asked & (CSIZE | CSTOPB | CRTSCTS | CBAUD), static_cast<tcflag_t>(CS8 | BOTHER)) << c.mode;
        EXPECT_NE(t.c_cflag & CLOCAL, 0u);
        EXPECT_NE(t.c_cflag & CREAD, 0u);
        EXPECT_EQ(t.c_lflag & (ICANON | ECHO | ISIG), 0u) << "not raw";
        EXPECT_EQ(t.c_iflag & (IXON | ICRNL | INPCK), 0u) << "input translated";
        EXPECT_EQ(t.c_oflag & OPOST, 0u) << "output translated";
    }
}

TEST_F(SerialComponent, MalformedModeTextIsRefusedAndChangesNothing)
{
    ASSERT_EQ(m_p.port->SetMode("baud=19200 data=8 parity=E stop=1"), S_OK);
    for (const char* bad : {"baud=0", "baud=96x0", "parity=X", "parity=EO", "data=9", "stop=3", "speed=9600",
                            "baud=", "baud=99999999999"}) {
        EXPECT_EQ(m_p.port->SetMode(bad), E_INVALIDARG) << bad;
    }
    EXPECT_EQ(m_p.port->SetMode(nullptr), E_INVALIDARG);
    const termios2 t = LineSettings(m_pty.KeeperA());
    EXPECT_EQ(t.c_ospeed, 19200u);

    CSerialLineMode mode;
    mode.baud = 4800;
    EXPECT_FALSE(ParseSerialMode("baud=300 parity=Q", &mode));
    EXPECT_EQ(mode.baud, 4800u) << "a refused text changed the mode half way";
}

TEST(SerialLineMode, KeysAreOptionalAndEachSettingHasItsFlags)
{
    CSerialLineMode mode;
    ASSERT_TRUE(ParseSerialMode("", &mode));
    EXPECT_EQ(mode.baud, 9600u);
    EXPECT_EQ(mode.parity, 'N');
    ASSERT_TRUE(ParseSerialMode("  stop=2   data=7 ", &mode));
    EXPECT_EQ(mode.stopBits, 2u);
    EXPECT_EQ(mode.dataBits, 7u);
    EXPECT_EQ(SerialControlFlags(mode) & (CSIZE | CSTOPB), static_cast<tcflag_t>(CS7 | CSTOPB));
    mode.dataBits = 5;
    EXPECT_EQ(SerialControlFlags(mode) & CSIZE, static_cast<tcflag_t>(CS5));
    EXPECT_NE(SerialControlFlags(mode) & (CREAD | CLOCAL), 0u);
    EXPECT_EQ(SerialControlFlags(mode) & CRTSCTS, 0u);
}

TEST_F(SerialComponent, ReadWaitsTheResponseTimeoutForTheFirstByte)
{
    ASSERT_EQ(m_p.stream->SetTimeouts(300, 20), S_OK);
    const auto start = Clock::now();
    HRESULT hr = E_FAIL;
    EXPECT_TRUE(ReadFrom(m_p.stream.get(), 16, &hr).empty());
    EXPECT_EQ(hr, S_OK) << "silence is no error";
    EXPECT_GE(ElapsedMs(start), 290);
    EXPECT_LT(ElapsedMs(start), 1500);
}

TEST_F(SerialComponent, ReadEndsWhenTheLineRestsLongerThanTheInterCharacterTimeout)
{
    ASSERT_EQ(m_p.stream->SetTimeouts(2000, 60), S_OK);
    // Bytes 10 ms apart belong together; a 400 ms rest ends the read.
    std::thread peer([this] {
        WriteAll(m_pty.KeeperB(), {1, 2});
        std::this_thread::sleep_for(10ms);
        WriteAll(m_pty.KeeperB(), {3, 4});
        std::this_thread::sleep_for(400ms);
        WriteAll(m_pty.KeeperB(), {5, 6});
    });
    const auto start = Clock::now();
    EXPECT_EQ(ReadFrom(m_p.stream.get(), 16), (Bytes{1, 2, 3, 4}));
    EXPECT_LT(ElapsedMs(start), 380) << "the read waited through the rest";
    EXPECT_EQ(ReadFrom(m_p.stream.get(), 16), (Bytes{5, 6}));
    peer.join();
}

// USB serial adapters hold received bytes for up to 16 ms: so short a rest
// never ends a read, even at a baud rate whose inter-character timeout is 5.
TEST_F(SerialComponent, ARestShorterThanAUsbAdapterHoldsBytesNeverEndsARead)
{
    ASSERT_EQ(m_p.stream->SetTimeouts(2000, 5), S_OK);
    std::thread peer([this] {
        WriteAll(m_pty.KeeperB(), {1, 2});
        std::this_thread::sleep_for(8ms);
        WriteAll(m_pty.KeeperB(), {3, 4});
    });
    EXPECT_EQ(ReadFrom(m_p.stream.get(), 16), (Bytes{1, 2, 3, 4}));
    peer.join();
}

TEST_F(SerialComponent, ReadReturnsAsSoonAsTheRoomIsFull)
{
    ASSERT_EQ(m_p.stream->SetTimeouts(2000, 1000), S_OK);
    WriteAll(m_pty.KeeperB(), {10, 11, 12, 13, 14, 15, 16, 17, 18, 19});
    const auto start = Clock::now();
    EXPECT_EQ(ReadFrom(m_p.stream.get(), 4), (Bytes{10, 11, 12, 13}));
    EXPECT_LT(ElapsedMs(start), 900) << "waited for more than the room";
    ASSERT_EQ(m_p.stream->SetTimeouts(2000, 50), S_OK);
    EXPECT_EQ(ReadFrom(m_p.stream.get(), 32), (Bytes{14, 15, 16, 17, 18, 19}));
}

TEST_F(SerialComponent, WrittenBytesReachTheOtherEnd)
{
    const Bytes frame{0x01, 0x03, 0x00, 0x0A, 0x00, 0x02, 0xE4, 0x09};
    uint32_t length = static_cast<uint32_t>(frame.size());
    ASSERT_EQ(m_p.stream->Write(frame.data(), &length), S_OK);
    EXPECT_EQ(length, frame.size());
    Bytes got;
    while (got.size() < frame.size() && WaitInput(m_pty.KeeperB(), 2000ms)) {
        uint8_t chunk[64];
        const ssize_t n = ::read(m_pty.KeeperB(), chunk, sizeof chunk);
        if (n <= 0) break;
        got.insert(got.end(), chunk, chunk + n);
    }
    EXPECT_EQ(got, frame);
}

TEST_F(SerialComponent, NullReadAndPurgeDiscardWaitingInput)
{
    ASSERT_EQ(m_p.stream->SetTimeouts(150, 20), S_OK);
    struct Discard {
        const char* what;
        std::function<HRESULT()> call;
        bool discards;
    };
    ISerialPortStream* stream = m_p.stream.get();
    ISerialPortControl* control = m_p.control.get();
    uint32_t length = 5;
    for (const Discard& d :
         {Discard{"Read(null, null)", [stream] { return stream->Read(nullptr, nullptr); }, true},
          Discard{"Read(null, &length)", [stream, &length] { return stream->Read(nullptr, &length); }, true},
          Discard{"Purge(3)", [control] { return control->Purge(kPurgeTxAbort | kPurgeRxAbort); }, true},
          Discard{"Purge(8)", [control] { return control->Purge(kPurgeRxClear); }, true},
          Discard{"Purge(1)", [control] { return control->Purge(kPurgeTxAbort); }, false},
          Discard{"Purge(0)", [control] { return control->Purge(0); }, false}}) {
        WriteAll(m_pty.KeeperB(), {0xAA, 0xBB, 0xCC});
        ASSERT_TRUE(WaitInput(m_pty.KeeperA(), 2000ms)) << "bytes did not arrive";
        EXPECT_EQ(d.call(), S_OK) << d.what;
        const Bytes left = ReadFrom(stream, 16);
        EXPECT_EQ(left, d.discards ? Bytes{} : (Bytes{0xAA, 0xBB, 0xCC})) << d.what;
    }
    EXPECT_EQ(length, 0u);
}

TEST_F(SerialComponent, APortIsUsedByOneOwnerAtATime)
{
    Port second = MakePort();
    EXPECT_EQ(second.port->OpenPort("\\\\.\\COM7"), kSerialAccessDenied);
    // Nor may another program read the line unseen: the line is exclusive
    // (a privileged program may still open it, but the line says so).
    const int other = ::open(m_pty.EndA().c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (other >= 0) {
        int exclusive = 0;
        EXPECT_EQ(::ioctl(other, TIOCGEXCL, &exclusive), 0);
        EXPECT_EQ(exclusive, 1) << "the line is not exclusive";
        ::close(other);
    } else {
        EXPECT_EQ(errno, EBUSY);
    }
    ASSERT_EQ(m_p.port->ClosePort(), S_OK);
    uint32_t length = 1;
    uint8_t byte = 0;
    EXPECT_EQ(m_p.stream->Read(&byte, &length), E_FAIL) << "read on a closed port";
    EXPECT_EQ(length, 0u);
    EXPECT_EQ(second.port->OpenPort("COM7"), S_OK) << "the closed port stayed locked";
}

TEST_F(SerialComponent, ThePortLivesUntilItsLastReferenceGoes)
{
    // The manager lets go of the port; the stream still holds it.
    ASSERT_EQ(m_p.manager->ReleasePort(m_p.cookie), S_OK);
    EXPECT_EQ(m_p.manager->ReleasePort(m_p.cookie), E_INVALIDARG) << "a cookie released twice";
    const Bytes frame{7, 7, 7};
    uint32_t length = 3;
    EXPECT_EQ(m_p.stream->Write(frame.data(), &length), S_OK);
    EXPECT_EQ(length, 3u);

    Port other = MakePort();
    EXPECT_EQ(other.port->OpenPort("COM7"), kSerialAccessDenied);
    m_p.control.reset();
    m_p.stream.reset();
    m_p.port.reset();
    EXPECT_EQ(other.port->OpenPort("COM7"), S_OK) << "the port outlived its last reference";
}

TEST_F(SerialComponent, MissingDevicesAndBadNames)
{
    Port other = MakePort();
    EXPECT_EQ(other.port->OpenPort("\\\\.\\COM250"), kSerialFileNotFound) << "no link, no /dev/ttyS249";
    EXPECT_EQ(other.port->OpenPort("\\\\.\\COM0"), kSerialFileNotFound);
    EXPECT_EQ(other.port->OpenPort("\\\\.\\LPT1"), E_INVALIDARG);
    EXPECT_EQ(other.port->OpenPort(nullptr), E_INVALIDARG);
    EXPECT_EQ(other.port->SetMode("baud=9600"), E_FAIL) << "mode of a port that is not open";
}

TEST(SerialDevice, NamesAndPaths)
{
    CTempFolder home;
    CScopedEnv data("XDG_DATA_HOME", home.Path());
    ASSERT_TRUE(CreateFolders(JoinPath(DataFolderPath(), "dev")));
    std::filesystem::create_symlink("/dev/null", JoinPath(DataFolderPath(), "dev/com5"));
    EXPECT_EQ(SerialDevicePath(5), JoinPath(DataFolderPath(), "dev/com5"));
    EXPECT_EQ(SerialDevicePath(6), "/dev/ttyS5");
    EXPECT_EQ(SerialDevicePath(1), "/dev/ttyS0");
    EXPECT_EQ(SerialDevicePath(0), "");

    uint32_t n = 99;
    EXPECT_TRUE(ParseSerialDeviceName("\\\\.\\COM3", &n));
    EXPECT_EQ(n, 3u);
    EXPECT_TRUE(ParseSerialDeviceName("com12", &n));
    EXPECT_EQ(n, 12u);
    for (const char* bad : {"\\\\.\\COM", "COM-1", "COM1x", "\\\\.\\COM99999999999", "\\\\?\\COM1", ""}) {
        n = 77;
        EXPECT_FALSE(ParseSerialDeviceName(bad, &n)) << bad;
        EXPECT_EQ(n, 77u) << bad;
    }
}

namespace {

int g_factoryCalls = 0;
HRESULT RefusingFactory(const CSerialGuid&, const CSerialGuid&, void** out)
{
    ++g_factoryCalls;
    *out = nullptr;
    return kSerialClassNotRegistered;
}

}  // namespace

TEST(SerialFactory, IsReplaceableAndKnowsOneClass)
{
    void* object = reinterpret_cast<void*>(1);
    EXPECT_EQ(CreateSerialComponent(kIidSerialPort, kIidSerialPortManager, &object),
              kSerialClassNotRegistered);
    EXPECT_EQ(object, nullptr);

    const SerialComponentFactory previous = SetSerialComponentFactory(RefusingFactory);
    EXPECT_EQ(previous, nullptr);
    EXPECT_EQ(CreateSerialComponent(kClsidSerialComponent, kIidSerialPortManager, &object),
              kSerialClassNotRegistered);
    EXPECT_EQ(g_factoryCalls, 1);
    EXPECT_EQ(SetSerialComponentFactory(nullptr), RefusingFactory);
    ASSERT_EQ(CreateSerialComponent(kClsidSerialComponent, kIidSerialPortManager, &object), S_OK);
    Ref<ISerialPortManager> manager(static_cast<ISerialPortManager*>(object));
    EXPECT_EQ(g_factoryCalls, 1);

    // The manager answers for its own interface only and makes serial ports only.
    object = nullptr;
    EXPECT_EQ(manager->QueryInterface(kIidSerialPort, &object), kSerialNoInterface);
    EXPECT_EQ(object, nullptr);
    uint32_t cookie = 5;
    EXPECT_EQ(manager->CreatePort(kSerialPortKind + 1, kIidSerialPort, &cookie, &object), E_INVALIDARG);
    EXPECT_EQ(object, nullptr);
    EXPECT_EQ(manager->CreatePort(kSerialPortKind, kIidSerialPortManager, &cookie, &object),
              kSerialNoInterface);
    EXPECT_EQ(object, nullptr);
    EXPECT_EQ(manager->ReleasePort(12345), E_INVALIDARG);

    // Two ports get two cookies.
    uint32_t first = 0, second = 0;
    void* a = nullptr;
    void* b = nullptr;
    ASSERT_EQ(manager->CreatePort(kSerialPortKind, kIidSerialPortStream, &first, &a), S_OK);
    ASSERT_EQ(manager->CreatePort(kSerialPortKind, kIidSerialPortControl, &second, &b), S_OK);
    EXPECT_NE(first, second);
    EXPECT_NE(first, 0u);
    static_cast<ISerialPortStream*>(a)->Release();
    static_cast<ISerialPortControl*>(b)->Release();
    EXPECT_EQ(manager->ReleasePort(first), S_OK);
    EXPECT_EQ(manager->ReleasePort(second), S_OK);
}
