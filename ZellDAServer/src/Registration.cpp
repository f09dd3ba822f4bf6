// The local-server registration in the registry layer:
//   CLSID\{clsid}                  default: the description; "Vendor": the vendor text
//   CLSID\{clsid}\LocalServer32    default: the executable's path
//   CLSID\{clsid}\ProgID           default: the ProgID
//   <ProgID>                       default: the description
//   <ProgID>\CLSID                 default: {clsid}

#include "ServerCore.h"
#include "ZellDAServer.h"
#include "platform/Registry.h"

#include <cstdio>
#include <string>

namespace {

std::string ClassKey(const CLSID& clsid)
{
    char text[40];
    std::snprintf(text, sizeof text, "{%08X-%04X-%04X-%02X%02X-%02X%02X%02X%02X%02X%02X}", clsid.Data1,
                  clsid.Data2, clsid.Data3, clsid.Data4[0], clsid.Data4[1], clsid.Data4[2], clsid.Data4[3],
                  clsid.Data4[4], clsid.Data4[5], clsid.Data4[6], clsid.Data4[7]);
    return text;
}

// A ProgID names one top-level key: no separators, not empty.
bool IsValidProgId(const char* progId)
{
    if (!progId || !*progId) return false;
    for (const char* p = progId; *p; ++p)
        if (*p == '\\' || *p == '/') return false;
    return true;
}

}  // namespace

extern "C" {

HRESULT RegisterDAServer(CLSID clsid, const char* progId, const char* description, const char* exePath,
                         const char* vendor)
{
    CToolTrace& trace = CServerCore::Instance().Trace();
    if (!IsValidProgId(progId) || !exePath || !*exePath) {
        trace.Trace(1, "RegisterDAServer refused: %s",
                    IsValidProgId(progId) ? "no executable path" : "bad ProgID");
        return E_INVALIDARG;
    }
    const std::string clsidText = ClassKey(clsid);
    const std::string classKey = "CLSID\\" + clsidText;
    const std::string text = description ? description : "";
    CRegistry registry = CRegistry::Open(RegistryHive::ClassesRoot);
    // A class registered before under another ProgID leaves no stale ProgID key behind.
    std::string oldProgId;
    if (registry.GetValue(classKey + "\\ProgID", "", &oldProgId) && oldProgId != progId) {
        std::string owner;
        if (registry.GetValue(oldProgId + "\\CLSID", "", &owner) && owner == clsidText)
            registry.DeleteKeyTree(oldProgId);
    }
    bool ok = registry.SetValue(classKey, "", text) &&
              registry.SetValue(classKey, "Vendor", vendor ? vendor : "") &&
              registry.SetValue(classKey + "\\LocalServer32", "", exePath) &&
              registry.SetValue(classKey + "\\ProgID", "", progId) && registry.SetValue(progId, "", text) &&
              registry.SetValue(std::string(progId) + "\\CLSID", "", clsidText);
    trace.Trace(1, "RegisterDAServer(%s, %s, %s): %s", clsidText.c_str(), progId, exePath,
                ok ? "done" : "failed");
    return ok ? S_OK : E_FAIL;
}

HRESULT UnregisterDAServer(CLSID clsid, const char* progId)
{
    CToolTrace& trace = CServerCore::Instance().Trace();
    if (!IsValidProgId(progId)) return E_INVALIDARG;
    const std::string clsidText = ClassKey(clsid);
    CRegistry registry = CRegistry::Open(RegistryHive::ClassesRoot);
    bool removed = registry.DeleteKeyTree("CLSID\\" + clsidText);
    // The ProgID goes only when it names this class: another server may own it now.
    std::string owner;
    if (registry.GetValue(std::string(progId) + "\\CLSID", "", &owner) && owner == clsidText)
        removed = registry.DeleteKeyTree(progId) || removed;
    trace.Trace(1, "UnregisterDAServer(%s, %s): %s", clsidText.c_str(), progId,
                removed ? "removed" : "nothing there");
    return removed ? S_OK : S_FALSE;
}

}  // extern "C"
