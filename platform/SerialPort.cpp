#include "platform/SerialPort.h"

#include "platform/Paths.h"

#include <atomic>
#include <cctype>
#include <cstring>
#include <sys/stat.h>

namespace {

std::atomic<SerialComponentFactory> g_factory{nullptr};

}  // namespace

bool operator==(const CSerialGuid& a, const CSerialGuid& b)
{
    return a.Data1 == b.Data1 && a.Data2 == b.Data2 && a.Data3 == b.Data3 &&
           std::memcmp(a.Data4, b.Data4, sizeof a.Data4) == 0;
}

HRESULT CreateSerialComponent(const CSerialGuid& clsid, const CSerialGuid& iid, void** out)
{
    if (out == nullptr) {
        return E_POINTER;
    }
    *out = nullptr;
    const SerialComponentFactory factory = g_factory.load();
    return factory != nullptr ? factory(clsid, iid, out) : DefaultSerialComponentFactory(clsid, iid, out);
}

SerialComponentFactory SetSerialComponentFactory(SerialComponentFactory factory)
{
    return g_factory.exchange(factory);
}

std::string SerialDevicePath(uint32_t portNumber)
{
    // An operator maps COM5 to a USB adapter with a link dev/com5 -> /dev/ttyUSB0.
    const std::string link = JoinPath(JoinPath(DataFolderPath(), "dev"), "com" + std::to_string(portNumber));
    struct stat info {};
    if (::lstat(link.c_str(), &info) == 0) {
        return link;
    }
    if (portNumber == 0) {
        return std::string();
    }
    return "/dev/ttyS" + std::to_string(portNumber - 1);
}

bool ParseSerialDeviceName(const char* deviceName, uint32_t* portNumber)
{
    if (deviceName == nullptr) {
        return false;
    }
    const char* p = deviceName;
    if (std::strncmp(p, "\\\\.\\", 4) == 0) {
        p += 4;
    }
    if (std::toupper(static_cast<unsigned char>(p[0])) != 'C' ||
        std::toupper(static_cast<unsigned char>(p[1])) != 'O' ||
        std::toupper(static_cast<unsigned char>(p[2])) != 'M') {
        return false;
    }
    p += 3;
    if (*p == '\0') {
        return false;
    }
    uint64_t n = 0;
    for (; *p != '\0'; ++p) {
        if (!std::isdigit(static_cast<unsigned char>(*p))) {
            return false;
        }
        n = n * 10 + static_cast<uint64_t>(*p - '0');
        if (n > UINT32_MAX) {
            return false;
        }
    }
    *portNumber = static_cast<uint32_t>(n);
    return true;
}
