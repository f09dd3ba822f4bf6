#pragma once
// Result codes, OPC error codes, qualities and access rights with their Windows values,
// so codes reported to clients and written to logs match those of devices' other tools.

#include <cstdint>

using HRESULT = std::int32_t;

constexpr HRESULT MakeHResult(std::uint32_t code)
{
    return static_cast<HRESULT>(code);
}

constexpr HRESULT S_OK = 0;
constexpr HRESULT S_FALSE = 1;
constexpr HRESULT E_NOTIMPL = MakeHResult(0x80004001u);
constexpr HRESULT E_POINTER = MakeHResult(0x80004003u);
constexpr HRESULT E_FAIL = MakeHResult(0x80004005u);
constexpr HRESULT E_UNEXPECTED = MakeHResult(0x8000FFFFu);
constexpr HRESULT E_OUTOFMEMORY = MakeHResult(0x8007000Eu);
constexpr HRESULT E_INVALIDARG = MakeHResult(0x80070057u);
constexpr HRESULT DISP_E_BADVARTYPE = MakeHResult(0x80020008u);
constexpr HRESULT DISP_E_OVERFLOW = MakeHResult(0x8002000Au);
constexpr HRESULT DISP_E_TYPEMISMATCH = MakeHResult(0x80020005u);

// OPC DA error codes.
constexpr HRESULT OPC_E_INVALIDHANDLE = MakeHResult(0xC0040001u);
constexpr HRESULT OPC_E_BADTYPE = MakeHResult(0xC0040004u);
constexpr HRESULT OPC_E_PUBLIC = MakeHResult(0xC0040005u);
constexpr HRESULT OPC_E_BADRIGHTS = MakeHResult(0xC0040006u);
constexpr HRESULT OPC_E_UNKNOWNITEMID = MakeHResult(0xC0040007u);
constexpr HRESULT OPC_E_INVALIDITEMID = MakeHResult(0xC0040008u);
constexpr HRESULT OPC_E_RANGE = MakeHResult(0xC004000Bu);
constexpr HRESULT OPC_E_INVALID_PID = MakeHResult(0xC0040203u);

constexpr bool SUCCEEDED(HRESULT hr)
{
    return hr >= 0;
}
constexpr bool FAILED(HRESULT hr)
{
    return hr < 0;
}

// OPC item qualities (the low byte of the DA quality word).
constexpr std::uint16_t OPC_QUALITY_BAD = 0x00;
constexpr std::uint16_t OPC_QUALITY_UNCERTAIN = 0x40;
constexpr std::uint16_t OPC_QUALITY_GOOD = 0xC0;
constexpr std::uint16_t OPC_QUALITY_MASK = 0xC0;

// OPC item access rights.
constexpr std::uint32_t OPC_READABLE = 1;
constexpr std::uint32_t OPC_WRITEABLE = 2;
