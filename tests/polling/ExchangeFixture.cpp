#include "polling/ExchangeFixture.h"

#include "app/LogFile.h"
#include "config/LevelTag.h"
#include "platform/File.h"
#include "platform/Paths.h"

#include <cstdlib>

void ExchangeTest::SetUp()
{
    CSingleVectors::ResetInstance();
    CSingleVectors& app = CSingleVectors::Instance();
    app.SetDataFolder(m_folder.Path());
    app.SetStatisticsLog(std::make_unique<CLogFile>(app.StatisticsPath(), 5000, 1));
    app.CreateDebugLog();
    EnableFrameTrace(false);
    // Tests choose the envelope themselves; by default frames go plain.
    m_services = std::make_unique<CExchangeServices>(app.ExchangeServices().WithCipher(nullptr, nullptr));
}

void ExchangeTest::TearDown()
{
    CSingleVectors::ResetInstance();
}

ScriptedChannel& ExchangeTest::AddChannel(uint8_t kind, const char* name)
{
    auto channel = std::make_unique<ScriptedChannel>(kind, name);
    ScriptedChannel& ref = *channel;
    ref.Initialise();
    (void)ref.Open();
    App().Root()->AddLevel(std::move(channel));
    ref.Exchange().SetServices(*m_services);
    return ref;
}

void ExchangeTest::UseCipher(EncryptPacketFunction encrypt, DecryptPacketFunction decrypt)
{
    m_services->m_encrypt = encrypt;
    m_services->m_decrypt = decrypt;
}

CDATag* ExchangeTest::AddItem(ScriptedChannel& channel, const char* path, uint16_t address,
                              uint8_t accessMode, uint8_t code, bool inUse)
{
    CLevelTag* tag = channel.CreatePath(path);
    EXPECT_NE(tag, nullptr) << path;
    if (tag == nullptr) {
        return nullptr;
    }
    CDATag* item = tag->Item();
    item->Setup(address, accessMode, code);
    channel.Exchange().AddItem(item);
    if (inUse) {
        item->AddRef();
    }
    return item;
}

namespace {

std::vector<std::string> Lines(const std::string& path)
{
    std::string text;
    std::vector<std::string> lines;
    if (!ReadFileText(path, &text)) {
        return lines;
    }
    size_t pos = 0;
    while (pos < text.size()) {
        size_t end = text.find("\r\n", pos);
        if (end == std::string::npos) end = text.size();
        lines.push_back(text.substr(pos, end - pos));
        pos = end + 2;
    }
    return lines;
}

}  // namespace

std::vector<std::string> ExchangeTest::Events() const
{
    std::vector<std::string> events;
    for (const std::string& line : Lines(CSingleVectors::Instance().StatisticsPath())) {
        // "[dd/mm/yy hh:mm:ss] " comes first.
        const size_t end = line.find("] ");
        events.push_back(end == std::string::npos ? line : line.substr(end + 2));
    }
    return events;
}

std::vector<std::string> ExchangeTest::EventTexts() const
{
    std::vector<std::string> texts;
    for (const std::string& event : Events()) {
        const size_t end = event.find(">: ");
        texts.push_back(end == std::string::npos ? event : event.substr(end + 3));
    }
    return texts;
}

std::vector<std::string> ExchangeTest::TraceLines() const
{
    std::vector<std::string> out;
    for (const std::string& line : Lines(CSingleVectors::Instance().DebugLogPath())) {
        // "PID=.. TID=.. [ dd/mm/yyyy hh:mm:ss.mmm ] " comes first.
        const size_t end = line.find(" ] ");
        out.push_back(end == std::string::npos ? line : line.substr(end + 3));
    }
    return out;
}

void ExchangeTest::EnableFrameTrace(bool on)
{
    App().DebugLog()->ApplySettings(on ? "DBG_COMMON=1 FS=1024" : "DBG_COMMON=0 FS=1024");
}

bool ExchangeTest::LoadCipher()
{
    if (!m_cipherLibrary.IsLoaded() &&
        !m_cipherLibrary.Load(JoinPath(ProgramFolder(), SharedLibraryFileName("mardelCrypto.dll")))) {
        return false;
    }
    m_encrypt = m_cipherLibrary.Entry<EncryptPacketFunction>("_encryptPacket");
    m_decrypt = m_cipherLibrary.Entry<DecryptPacketFunction>("_decryptPacket");
    return m_encrypt != nullptr && m_decrypt != nullptr;
}

Bytes RegisterBytes(std::initializer_list<uint16_t> values)
{
    Bytes out;
    for (uint16_t v : values) {
        out.push_back(static_cast<uint8_t>(v >> 8));
        out.push_back(static_cast<uint8_t>(v & 0xFF));
    }
    return out;
}
