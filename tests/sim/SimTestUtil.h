#pragma once
// Frames, a libmodbus client and the simulator's command lines for the tests.
#include "polling/Crc16.h"
#include "sim/SimHarness.h"

#include <cerrno>
#include <memory>
#include <modbus/modbus.h>
#include <string>
#include <vector>

namespace SimTest {

inline std::vector<uint8_t> WithCrc(std::vector<uint8_t> frame)
{
    uint16_t crc = ModbusCrc16(frame.data(), frame.size());
    frame.push_back(uint8_t(crc & 0xFF));
    frame.push_back(uint8_t(crc >> 8));
    return frame;
}

inline bool CrcOk(const std::vector<uint8_t>& frame)
{
    if (frame.size() < 4) return false;
    uint16_t crc = ModbusCrc16(frame.data(), frame.size() - 2);
    return frame[frame.size() - 2] == (crc & 0xFF) && frame[frame.size() - 1] == (crc >> 8);
}

inline std::vector<uint8_t> RtuRead(uint8_t slave, uint16_t start, uint16_t count, uint8_t function = 3)
{
    return WithCrc(
        {slave, function, uint8_t(start >> 8), uint8_t(start), uint8_t(count >> 8), uint8_t(count)});
}

inline std::vector<uint8_t> TcpRead(uint16_t transaction, uint8_t unit, uint16_t start, uint16_t count)
{
    return {uint8_t(transaction >> 8),
            uint8_t(transaction),
            0,
            0,
            0,
            6,
            unit,
            3,
            uint8_t(start >> 8),
            uint8_t(start),
            uint8_t(count >> 8),
            uint8_t(count)};
}

// Register n of a read reply's data (RTU: after address, function, count;
// TCP: after the 7-byte header, function, count).
inline uint16_t ReplyRegister(const std::vector<uint8_t>& reply, size_t dataStart, size_t n)
{
    return uint16_t(reply[dataStart + 2 * n] << 8 | reply[dataStart + 2 * n + 1]);
}

struct ModbusDeleter {
    void operator()(modbus_t* ctx) const
    {
        modbus_close(ctx);
        modbus_free(ctx);
    }
};
using ModbusPtr = std::unique_ptr<modbus_t, ModbusDeleter>;

// A connected libmodbus master (null when it cannot connect).
inline ModbusPtr ModbusTcp(int port, int slave = 1, int timeoutMs = 2000)
{
    ModbusPtr ctx(modbus_new_tcp("127.0.0.1", port));
    if (!ctx) return nullptr;
    modbus_set_slave(ctx.get(), slave);
    modbus_set_response_timeout(ctx.get(), uint32_t(timeoutMs / 1000), uint32_t(timeoutMs % 1000) * 1000);
    if (modbus_connect(ctx.get()) != 0) return nullptr;
    return ctx;
}

inline ModbusPtr ModbusRtu(const std::string& device, int slave = 1, int timeoutMs = 2000)
{
    ModbusPtr ctx(modbus_new_rtu(device.c_str(), 19200, 'N', 8, 1));
    if (!ctx) return nullptr;
    modbus_set_slave(ctx.get(), slave);
    modbus_set_response_timeout(ctx.get(), uint32_t(timeoutMs / 1000), uint32_t(timeoutMs % 1000) * 1000);
    if (modbus_connect(ctx.get()) != 0) return nullptr;
    return ctx;
}

// Reads count registers; errno of the failure (0 on success).
inline int ReadRegs(modbus_t* ctx, int start, int count, std::vector<uint16_t>& values)
{
    values.assign(size_t(count), 0);
    errno = 0;
    int n = modbus_read_registers(ctx, start, count, values.data());
    return n == count ? 0 : (errno != 0 ? errno : -1);
}

inline uint16_t ReadOne(modbus_t* ctx, int address)
{
    std::vector<uint16_t> v;
    return ReadRegs(ctx, address, 1, v) == 0 ? v[0] : uint16_t(0xDEAD);
}

inline int WriteRegs(modbus_t* ctx, int start, const std::vector<uint16_t>& values)
{
    errno = 0;
    int n = modbus_write_registers(ctx, start, int(values.size()), values.data());
    return n == int(values.size()) ? 0 : (errno != 0 ? errno : -1);
}

inline unsigned Bits(uint16_t reg, int shift, int width)
{
    return (reg >> shift) & ((1u << width) - 1u);
}

}  // namespace SimTest
