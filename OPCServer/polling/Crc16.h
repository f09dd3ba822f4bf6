#pragma once
#include <cstddef>
#include <cstdint>

// The Modbus RTU CRC-16: reflected polynomial 0xA001, initial value 0xFFFF,
// no final XOR. Goes on the wire low byte first.
[[nodiscard]] uint16_t ModbusCrc16(const uint8_t* data, size_t length);
