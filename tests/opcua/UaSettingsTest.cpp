// Where the endpoint listens: opcua.ini, the command line, and a port that
// cannot be bound.

#include "UaTestServer.h"
#include "platform/File.h"
#include "platform/StreamServer.h"
#include "support/TempFolder.h"

using namespace ua;

namespace {

std::string Setting(const std::string& folder, const char* commandLine, HRESULT* hr)
{
    char address[128] = {};
    *hr = ReadUaListenSetting(folder.c_str(), commandLine, address, sizeof address);
    return address;
}

TEST(UaSettingsTest, MissingFileIsWrittenWithTheDefault)
{
    CTempFolder folder;
    HRESULT hr;
    EXPECT_EQ(Setting(folder.Path(), nullptr, &hr), UA_DEFAULT_LISTEN);
    EXPECT_EQ(hr, S_OK);
    std::string text;
    ASSERT_TRUE(ReadFileText(folder.Path() + "/opcua.ini", &text));
    EXPECT_EQ(text, std::string("listen=") + UA_DEFAULT_LISTEN + "\n");
}

struct FileCase {
    const char* name;
    const char* content;
    const char* expected;
    HRESULT hr;
};

class UaSettingsFileTest : public ::testing::TestWithParam<FileCase> {};

TEST_P(UaSettingsFileTest, TheListenLineOrTheDefault)
{
    CTempFolder folder;
    ASSERT_TRUE(WriteFileText(folder.Path() + "/opcua.ini", GetParam().content));
    HRESULT hr;
    EXPECT_EQ(Setting(folder.Path(), nullptr, &hr), GetParam().expected);
    EXPECT_EQ(hr, GetParam().hr);
}

INSTANTIATE_TEST_SUITE_P(
    Lines, UaSettingsFileTest,
    ::testing::Values(FileCase{"Address", "listen=0.0.0.0:4841\n", "0.0.0.0:4841", S_OK},
                      FileCase{"SpacesAndCarriageReturn", "# comment\r\n  listen= [::1]:4842 \r\n",
                               "[::1]:4842", S_OK},
                      FileCase{"HostName", "listen=scada-gw:4840", "scada-gw:4840", S_OK},
                      FileCase{"PortTooHigh", "listen=127.0.0.1:70000\n", UA_DEFAULT_LISTEN, S_FALSE},
                      FileCase{"NoPort", "listen=127.0.0.1\n", UA_DEFAULT_LISTEN, S_FALSE},
                      FileCase{"BareIPv6", "listen=::1:4840\n", UA_DEFAULT_LISTEN, S_FALSE},
                      FileCase{"NoLine", "other=1\n", UA_DEFAULT_LISTEN, S_FALSE}),
    [](const auto& info) { return info.param.name; });

TEST(UaSettingsTest, CommandLineWins)
{
    CTempFolder folder;
    ASSERT_TRUE(WriteFileText(folder.Path() + "/opcua.ini", "listen=0.0.0.0:4841\n"));
    HRESULT hr;
    EXPECT_EQ(Setting(folder.Path(), "127.0.0.1:5000", &hr), "127.0.0.1:5000");
    EXPECT_EQ(hr, S_OK);
    Setting(folder.Path(), "nonsense", &hr);
    EXPECT_EQ(hr, E_INVALIDARG);
}

TEST(UaEndpointStartTest, PortInUseIsReportedInOneLine)
{
    int err = 0;
    SocketHandle holder = CreateListeningSocket("127.0.0.1", 0, &err);
    ASSERT_NE(holder, kInvalidSocket);
    const std::string listen = "127.0.0.1:" + std::to_string(ListeningPort(holder));
    UaEndpointOptions options{};
    options.listen = listen.c_str();
    options.listenSocket = -1;
    char error[256] = {};
    EXPECT_EQ(StartUaEndpoint(&options, error, sizeof error), E_FAIL);
    EXPECT_EQ(std::string(error), "OPC UA: cannot listen on " + listen + ": Address already in use");
    EXPECT_EQ(UaEndpointPort(), 0);
    options.listen = "localhost";
    EXPECT_EQ(StartUaEndpoint(&options, error, sizeof error), E_INVALIDARG);
    CloseSocketHandle(holder);
}

TEST(UaEndpointStartTest, HandedOverSocketIsServed)
{
    int err = 0;
    SocketHandle listener = CreateListeningSocket("127.0.0.1", 0, &err);
    ASSERT_NE(listener, kInvalidSocket);
    const uint16_t port = ListeningPort(listener);
    UaEndpointOptions options{};
    options.listenSocket = listener;
    char error[256] = {};
    ASSERT_EQ(StartUaEndpoint(&options, error, sizeof error), S_OK) << error;
    EXPECT_EQ(UaEndpointPort(), port);
    CUaClient client;
    EXPECT_EQ(client.Connect("127.0.0.1", port), kGood);
    EXPECT_EQ(StopUaEndpoint(), S_OK);
}

}  // namespace
