#pragma once
#include "ZellDAServer.h"

// The server's fixed identity towards clients and the registry.
inline constexpr CLSID kServerClsid = {
    0x5D1E8A42, 0x7C3B, 0x4F06, {0x9A, 0x2D, 0x1B, 0x8E, 0x6F, 0x0C, 0x4A, 0x37}};
// The class identifier's text, also the name of the configuration-mode mutex.
inline constexpr char kServerClsidText[] = "{5D1E8A42-7C3B-4F06-9A2D-1B8E6F0C4A37}";
// Name and description of the server in one.
inline constexpr char kServerProgId[] = "OPC.DA.VIREO2_300";
inline constexpr char kProgramName[] = "OpcVireo2";
