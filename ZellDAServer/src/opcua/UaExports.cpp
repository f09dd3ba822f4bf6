// The endpoint's exports.
#include "ServerCore.h"
#include "ZellDAServer.h"
#include "opcua/UaEndpoint.h"
#include "opcua/UaSettings.h"

#include <cstring>

namespace {

void CopyText(const std::string& text, char* out, uint32_t size)
{
    if (!out || size == 0) return;
    size_t n = std::min<size_t>(text.size(), size - 1);
    std::memcpy(out, text.data(), n);
    out[n] = '\0';
}

}  // namespace

extern "C" {

HRESULT StartUaEndpoint(const UaEndpointOptions* options, char* error, uint32_t errorSize)
{
    UaEndpointOptions defaults{};
    defaults.listenSocket = -1;
    std::string message;
    HRESULT hr = ua::CUaEndpoint::Instance().Start(options ? *options : defaults, &message);
    CopyText(message, error, errorSize);
    return hr;
}

HRESULT StopUaEndpoint()
{
    return ua::CUaEndpoint::Instance().Stop();
}

uint16_t UaEndpointPort()
{
    return ua::CUaEndpoint::Instance().Port();
}

HRESULT ReadUaListenSetting(const char* dataFolder, const char* commandLine, char* address, uint32_t size)
{
    std::string host;
    uint16_t port;
    if (commandLine) {
        if (!ua::ParseListenAddress(commandLine, &host, &port)) return E_INVALIDARG;
        CopyText(commandLine, address, size);
        return S_OK;
    }
    std::string problem;
    std::string value = ua::ListenAddressFromFile(dataFolder ? dataFolder : "", &problem);
    if (!problem.empty()) CServerCore::Instance().Trace().Trace(1, "OPC UA settings: %s", problem.c_str());
    CopyText(value, address, size);
    return problem.empty() ? S_OK : S_FALSE;
}

}  // extern "C"
