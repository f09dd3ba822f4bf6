#pragma once
// Value type codes: how an item's value sits in its Modbus registers and which
// variant type it has. Register bytes are in wire order (high byte first per
// register); the bit and field codes address the word W = B[0] + 256 * B[1].

#include "platform/Variant.h"

#include <cstdint>

// Largest byte offset of an item inside a register buffer.
inline constexpr std::uint32_t kMaxItemOffset = 255;
// Largest register count of any code: the size of an item's register image.
inline constexpr std::uint32_t kMaxItemRegisters = 3;

// The canonical variant type of a code; false for an undefined code.
bool ItemVarType(std::uint32_t code, VARTYPE* vt);

// The number of registers a code spans (1 to 3); false for an undefined code.
bool ItemRegisterCount(std::uint32_t code, std::uint32_t* count);

// Decodes the item at byte `offset` of `buffer` into `value`. An undefined code
// leaves `value` as it was; otherwise `value` is cleared first, and stays empty
// when the buffer is null or the offset exceeds 255. When `image` is given it
// receives the item's raw register bytes (register count * 2) before decoding.
void DecodeItemValue(std::uint32_t offset, std::uint8_t* image, std::uint32_t code,
                     const std::uint8_t* buffer, VARIANT* value);

// Encodes `value` into the item's bytes at `offset` of `buffer`. Bit and field
// codes modify the last bytes read (`image`) and write the result back into the
// image. Answers 1 when written, and also for the read-only codes (3, 4, 5,
// 43..48), which write nothing; answers 0 and writes nothing for an undefined
// code, an offset above 255, a null buffer or value, a value that does not
// convert to the code's canonical type, or a bit or field code without image.
[[nodiscard]] int EncodeItemValue(std::uint32_t offset, std::uint8_t* image, std::uint32_t code,
                                  std::uint8_t* buffer, const VARIANT* value);
