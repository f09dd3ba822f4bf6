#include "platform/TaskMem.h"

#include "platform/Text.h"

#include <cstdlib>
#include <cstring>
#include <limits>
#include <string>

void* CoTaskMemAlloc(std::size_t size)
{
    return std::malloc(size == 0 ? 1 : size);
}

void* CoTaskMemRealloc(void* block, std::size_t size)
{
    if (block == nullptr) {
        return CoTaskMemAlloc(size);
    }
    if (size == 0) {
        std::free(block);
        return nullptr;
    }
    return std::realloc(block, size);
}

void CoTaskMemFree(void* block)
{
    std::free(block);
}

char16_t* TaskMemCopyText(std::u16string_view text)
{
    if (text.size() >= std::numeric_limits<std::size_t>::max() / sizeof(char16_t)) {
        return nullptr;
    }
    auto* copy = static_cast<char16_t*>(CoTaskMemAlloc((text.size() + 1) * sizeof(char16_t)));
    if (copy == nullptr) {
        return nullptr;
    }
    if (!text.empty()) {
        std::memcpy(copy, text.data(), text.size() * sizeof(char16_t));
    }
    copy[text.size()] = 0;
    return copy;
}

char16_t* TaskMemCopyText(std::string_view utf8)
{
    return TaskMemCopyText(std::u16string_view(Utf8ToUtf16(utf8)));
}

char16_t* TaskMemCopyText(const char16_t* text)
{
    if (text == nullptr) {
        return nullptr;
    }
    return TaskMemCopyText(Utf16View(text));
}

char* TaskMemCopyUtf8(std::string_view utf8)
{
    if (utf8.size() == std::numeric_limits<std::size_t>::max()) {
        return nullptr;
    }
    auto* copy = static_cast<char*>(CoTaskMemAlloc(utf8.size() + 1));
    if (copy == nullptr) {
        return nullptr;
    }
    if (!utf8.empty()) {
        std::memcpy(copy, utf8.data(), utf8.size());
    }
    copy[utf8.size()] = '\0';
    return copy;
}
