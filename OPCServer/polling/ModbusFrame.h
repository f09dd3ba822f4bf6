#pragma once
#include <cstddef>
#include <cstdint>
#include <vector>

// Builds Modbus requests and checks and parses their replies, in RTU framing
// (address, PDU, CRC-16) or TCP framing (MBAP header, PDU, no CRC). It never
// touches a transport: the caller moves the bytes. One object per channel is
// reused for every request; set the mode and slave address before each build
// and each check.
//
// Register words keep wire order: the first byte of a register on the wire is
// the low half of its word, so copying words out with CopyValues gives the wire
// bytes back. The one exception is the value echoed by a function 6 reply,
// which is kept as a number (high byte first on the wire).
//
// Typical read:
//   frame.SetMode(CModbusFrame::kModeRtu); frame.SetSlaveAddress(1);
//   frame.SetFunctionCode(3); frame.SetStartAddress(100); frame.SetQuantity(10);
//   if (frame.BuildRequest()) send(frame.FrameBytes(), frame.FrameLength());
//   ... receive until CheckReply(reply, n) != kCheckIncomplete ...
//   if (frame.ParseReply(reply, n)) frame.CopyValues(buffer, 10);
//   else if (frame.IsException()) ... the device refused ...
class CModbusFrame {
   public:
    static constexpr int32_t kModeRtu = 1;
    static constexpr int32_t kModeTcp = 2;
    // Longest request the builder produces (the Modbus TCP ADU limit).
    static constexpr size_t kMaxFrameLength = 260;

    // Reply check codes (CheckReply).
    static constexpr int kCheckComplete = 0;         // complete and valid
    static constexpr int kCheckIncomplete = 1;       // more bytes are needed
    static constexpr int kCheckBad = 2;              // CRC mismatch, or longer than the reply may be
    static constexpr int kCheckWrongAddress = 3;     // address / unit identifier is not the slave address
    static constexpr int kCheckUnknownFunction = 4;  // RTU only: length of this function's reply unknown
    static constexpr int kCheckNoMode = 5;           // mode is neither RTU nor TCP

    // A new frame is in TCP mode, slave address 1, function code 0.
    CModbusFrame() = default;

    // 1 (RTU) or 2 (TCP); any other value makes builds and checks fail.
    void SetMode(int32_t mode) { m_mode = mode; }
    // 1..247 is kept; anything else stores 0.
    void SetSlaveAddress(int32_t address);
    void SetFunctionCode(uint8_t functionCode) { m_functionCode = functionCode; }
    void SetStartAddress(uint16_t startAddress) { m_startAddress = startAddress; }
    // Number of registers to read (functions 3 and 4); a write takes its
    // quantity from the number of values.
    void SetQuantity(uint16_t quantity) { m_quantity = quantity; }
    // Words to write (functions 6 and 16), in wire order.
    void ClearValues() { m_values.clear(); }
    void AppendValue(uint16_t word) { m_values.push_back(word); }

    // Builds the request for the current function code, start address,
    // quantity and values. False (no request) for a function other than
    // 3, 4, 6, 16, a write without values, a frame over kMaxFrameLength bytes,
    // a read whose reply length does not fit 16 bits, or a mode other than
    // RTU/TCP. Every TCP request that builds takes the next transaction
    // identifier (the first is 1; 65535 wraps to 0).
    [[nodiscard]] bool BuildRequest();

    // The built request, or after a successful ParseReply the reply parsed.
    const uint8_t* FrameBytes() const { return m_frame.data(); }
    size_t FrameLength() const { return m_frame.size(); }
    // Full length in bytes of the reply the last built request asks for.
    uint16_t ExpectedReplyLength() const { return m_expectedReplyLength; }

    // Reply check code (kCheck...) of bytes[0..length). Reads nothing outside
    // that range. RTU tests the CRC before the length, so a reply cut short
    // normally answers kCheckBad. TCP does not compare transaction identifiers.
    [[nodiscard]] int CheckReply(const uint8_t* bytes, size_t length) const;

    // Checks and parses a reply. True when it carried data: a read reply with
    // at least one whole register (an odd trailing byte is dropped), a
    // function 6 echo, or a function 16 echo of a non-zero quantity. An
    // exception reply answers false with IsException() set. The values are
    // cleared by every parse, including one whose check fails.
    bool ParseReply(const uint8_t* bytes, size_t length);

    // Bit 7 of the function code of the last parsed reply.
    bool IsException() const { return (m_functionCode & 0x80u) != 0; }

    // Copies min(wordCount, Values().size()) words to dest as 2 bytes each,
    // in wire order; answers the number of words copied.
    size_t CopyValues(uint8_t* dest, size_t wordCount) const;

    int32_t Mode() const { return m_mode; }
    uint8_t SlaveAddress() const { return m_slaveAddress; }
    uint8_t FunctionCode() const { return m_functionCode; }
    // Of the request, or the address echoed by a function 6 or 16 reply.
    uint16_t StartAddress() const { return m_startAddress; }
    uint16_t Quantity() const { return m_quantity; }
    // Identifier of the last TCP request built (0 before the first).
    uint16_t TransactionId() const { return m_transactionId; }
    const std::vector<uint16_t>& Values() const { return m_values; }

   private:
    int32_t m_mode = kModeTcp;
    std::vector<uint8_t> m_pdu;
    std::vector<uint8_t> m_frame;
    uint16_t m_transactionId = 0;
    uint16_t m_protocolId = 0;
    uint8_t m_slaveAddress = 1;
    uint8_t m_functionCode = 0;
    uint16_t m_startAddress = 0;
    uint16_t m_quantity = 0;
    uint16_t m_expectedReplyLength = 0;
    std::vector<uint16_t> m_values;
};
