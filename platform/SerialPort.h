#pragma once
// The serial-port component: a small component object model of our own with
// the four interfaces the serial channel calls (port manager, port, port
// stream, port control), created by class identifier through a factory that
// tests can replace. The component that the default factory makes drives a
// tty with termios underneath.
//
// Reference counting as in COM: every interface pointer handed out holds one
// reference, released with Release(); QueryInterface hands out another.
// Results are status codes, negative for failure.

#include "platform/HResult.h"

#include <cstdint>
#include <string>

// A 16-byte identifier laid out as on Windows.
struct CSerialGuid {
    uint32_t Data1;
    uint16_t Data2;
    uint16_t Data3;
    uint8_t Data4[8];
};
bool operator==(const CSerialGuid& a, const CSerialGuid& b);

// The component class and its interfaces.
inline constexpr CSerialGuid kClsidSerialComponent = {
    0x10F32F8A, 0x7D01, 0x42A7, {0xBB, 0xEB, 0x06, 0xE6, 0xB8, 0xBC, 0x27, 0x31}};
inline constexpr CSerialGuid kIidSerialPortManager = {
    0x1EAF0B15, 0xA0C2, 0x4D41, {0xBA, 0xAC, 0x06, 0xAF, 0xAA, 0x90, 0x91, 0x34}};
inline constexpr CSerialGuid kIidSerialPort = {
    0xA1E71342, 0x157B, 0x4876, {0xB8, 0x2F, 0xE7, 0x10, 0x2B, 0xF5, 0xD6, 0xA0}};
inline constexpr CSerialGuid kIidSerialPortStream = {
    0xC469EB15, 0xDA42, 0x45E6, {0xBA, 0x97, 0x8D, 0xD8, 0x46, 0x7F, 0x1A, 0xC3}};
inline constexpr CSerialGuid kIidSerialPortControl = {
    0x66972D7D, 0x132B, 0x44CF, {0xBF, 0x9F, 0x3B, 0x43, 0x4A, 0xA3, 0x64, 0x74}};

// Status codes of the component beyond those of platform/HResult.h.
inline constexpr HRESULT kSerialNoInterface = MakeHResult(0x80004002u);         // E_NOINTERFACE
inline constexpr HRESULT kSerialClassNotRegistered = MakeHResult(0x80040154u);  // REGDB_E_CLASSNOTREG
inline constexpr HRESULT kSerialFileNotFound = MakeHResult(0x80070002u);        // the device does not exist
inline constexpr HRESULT kSerialAccessDenied = MakeHResult(0x80070005u);        // in use or not permitted
inline constexpr HRESULT kSerialTimeout = MakeHResult(0x800705B4u);  // a write did not finish in time

// The port kind CreatePort makes: a serial port.
inline constexpr uint32_t kSerialPortKind = 10;

// Purge flags: 1 and 4 discard what waits to be sent, 2 and 8 what was
// received and not yet read.
inline constexpr uint32_t kPurgeTxAbort = 1;
inline constexpr uint32_t kPurgeRxAbort = 2;
inline constexpr uint32_t kPurgeTxClear = 4;
inline constexpr uint32_t kPurgeRxClear = 8;

class ISerialUnknown {
   public:
    virtual HRESULT QueryInterface(const CSerialGuid& iid, void** out) = 0;
    virtual uint32_t AddRef() = 0;
    virtual uint32_t Release() = 0;

   protected:
    ~ISerialUnknown() = default;
};

class ISerialPortManager : public ISerialUnknown {
   public:
    // Makes a port of the kind (only kSerialPortKind) and hands out the
    // interface iid of it with the cookie that ReleasePort takes back.
    virtual HRESULT CreatePort(uint32_t kind, const CSerialGuid& iid, uint32_t* cookie, void** port) = 0;
    // Drops the manager's hold on the port; the port closes when the last
    // reference goes.
    virtual HRESULT ReleasePort(uint32_t cookie) = 0;

   protected:
    ~ISerialPortManager() = default;
};

class ISerialPort : public ISerialUnknown {
   public:
    // Device name "\\.\COM<n>" (or "COM<n>"): COM n opens what the link
    // dev/com<n> in the data folder points to, else /dev/ttyS<n-1>. The port
    // is taken exclusively (locked against this component, and TIOCEXCL
    // against any other program); raw 9600 8N1 until SetMode.
    virtual HRESULT OpenPort(const char* deviceName) = 0;
    // Closes the device; the port may be opened again.
    virtual HRESULT ClosePort() = 0;
    // "baud=<n> data=<5..8> parity=<n|e|o|m|s> stop=<1|2>", keys in any order
    // and case, each optional; any baud rate the line can do.
    virtual HRESULT SetMode(const char* mode) = 0;

   protected:
    ~ISerialPort() = default;
};

class ISerialPortStream : public ISerialUnknown {
   public:
    // *length in: bytes to write; out: bytes written. Waits at most the
    // response timeout for room. A null buffer or length writes nothing.
    virtual HRESULT Write(const uint8_t* bytes, uint32_t* length) = 0;
    // *length in: room; out: bytes read. Waits up to the response timeout for
    // the first byte, then up to the inter-character timeout (20 ms at the
    // least) for each further one, and returns when the room is full or the
    // line goes quiet. Nothing
    // within the response timeout is success with 0 bytes. A null buffer or
    // length discards the input that waits unread.
    virtual HRESULT Read(uint8_t* bytes, uint32_t* length) = 0;
    virtual HRESULT SetTimeouts(uint32_t responseMs, uint32_t interCharacterMs) = 0;

   protected:
    ~ISerialPortStream() = default;
};

class ISerialPortControl : public ISerialUnknown {
   public:
    // Discards buffered output and/or input (the kPurge flags).
    virtual HRESULT Purge(uint32_t flags) = 0;

   protected:
    ~ISerialPortControl() = default;
};

// Creates an object of the class and hands out its interface iid (one
// reference). The default factory knows kClsidSerialComponent only.
using SerialComponentFactory = HRESULT (*)(const CSerialGuid& clsid, const CSerialGuid& iid, void** out);
HRESULT CreateSerialComponent(const CSerialGuid& clsid, const CSerialGuid& iid, void** out);
HRESULT DefaultSerialComponentFactory(const CSerialGuid& clsid, const CSerialGuid& iid, void** out);
// Installs a factory (null: the default again) and answers the previous one.
SerialComponentFactory SetSerialComponentFactory(SerialComponentFactory factory);

// The device that COM n opens: the data folder's dev/com<n> when it exists,
// else /dev/ttyS<n-1>; empty for n = 0.
std::string SerialDevicePath(uint32_t portNumber);
// The n of "\\.\COM<n>" or "COM<n>" (case-insensitive); false for anything else.
bool ParseSerialDeviceName(const char* deviceName, uint32_t* portNumber);

// What a mode text of SetMode asks of the line; keys not given keep the
// values here.
struct CSerialLineMode {
    uint32_t baud = 9600;
    uint32_t dataBits = 8;
    char parity = 'N';  // N, E, O, M, S
    uint32_t stopBits = 1;
};
// False for an unknown key, a malformed value or one out of range.
bool ParseSerialMode(const char* text, CSerialLineMode* mode);
// The termios control flags (c_cflag) of the line for the mode: raw, no
// flow control, the speed given apart (BOTHER). A pseudo-terminal drops the
// parity enable bit of what it is given, so tests of the flags read them here.
uint32_t SerialControlFlags(const CSerialLineMode& mode);
