#include "ServerCore.h"
#include "ZellDAServer.h"

extern "C" {

HRESULT SetCallbackObject(COPCCallback* callback)
{
    return CServerCore::Instance().SetCallback(callback);
}

bool StartDAServer(void* /*instance*/, const CLSID* clsid)
{
    return CServerCore::Instance().Start(clsid);
}

bool DAServerInUse()
{
    return CServerCore::Instance().InUse();
}

HRESULT StopDAServer()
{
    // No OPC UA request may reach the program once the core has stopped.
    StopUaEndpoint();
    return CServerCore::Instance().Stop();
}

HRESULT DefineDAItem(const char* itemId)
{
    return CServerCore::Instance().Define(itemId);
}

HRESULT DeleteDAItem(const char* path)
{
    return CServerCore::Instance().Delete(path);
}

void SetDAServerWaitNotice(uint32_t ms)
{
    CServerCore::Instance().SetWaitNotice(std::chrono::milliseconds(ms));
}

HRESULT SetDebugSettingsDA(const char* logPath, const char* settings)
{
    CToolTrace& trace = CServerCore::Instance().Trace();
    trace.Apply(logPath, settings);
    trace.Trace(1, "SetDebugSettingsDA(%s)", settings ? settings : "");
    return S_OK;
}

}  // extern "C"
