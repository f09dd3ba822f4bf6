#pragma once
// COM task memory: blocks handed across the toolkit boundary. Whoever receives
// such a block frees it with CoTaskMemFree, whichever side allocated it.
// Plain malloc/free underneath; nothing throws, failure is a null pointer.

#include <cstddef>
#include <string_view>

// A zero-byte request still answers a unique, freeable block.
void* CoTaskMemAlloc(std::size_t size);
// Null block: allocates. Zero size with a block: frees it and answers null.
// On failure the old block stays valid and null is answered.
void* CoTaskMemRealloc(void* block, std::size_t size);
void CoTaskMemFree(void* block);

// Null-terminated wide copies in task memory, the form of the texts the
// toolkit takes over.
char16_t* TaskMemCopyText(std::u16string_view text);
char16_t* TaskMemCopyText(std::string_view utf8);  // converted from UTF-8
char16_t* TaskMemCopyText(const char16_t* text);   // null stays null
// A null-terminated UTF-8 copy in task memory.
char* TaskMemCopyUtf8(std::string_view utf8);
