#include "app/CommEvents.h"

#include "app/LogFile.h"
#include "platform/CriticalSection.h"

#include <cstdio>

namespace {

struct EventText {
    uint32_t code;
    uint32_t stringId;  // the text's id in the string table
    const char* text;
};

constexpr EventText kEventTexts[] = {
    {kCommBadPacket, 178, "Принят ошибочный пакет"},
    {kCommChecksumMismatch, 176, "Несовпадение контрольной суммы"},
    {kCommNoAnswer, 177, "Нет ответа от устройства"},
    {kCommLinkUp, 182, "Есть связь"},
    {kCommLinkDown, 183, "Нет связи"},
    {kCommTimeSyncError, 180, "Ошибка при коррекции времени"},
    {kCommTimeSync, 179, "Коррекция времени"},
    {kCommPortOpenError, 181, "Ошибка открытия COM-порта"},
    {kCommKeyMismatch, 195, "Несовпадение ключа шифрования"},
    {kCommBadRequest, 184, "Недопустимый запрос"},
    {kCommNoData, 185, "Данные не получены"},
};

constexpr const char* kUnknownEventText = "Ошибка";  // string 41000

}  // namespace

std::string CommEventText(uint32_t code)
{
    for (const EventText& e : kEventTexts) {
        if (e.code == code) {
            return e.text;
        }
    }
    char text[64];
    std::snprintf(text, sizeof text, "%s #%u", kUnknownEventText, code);
    return text;
}

std::string CommEventLine(uint32_t code, std::string_view channelPath)
{
    std::string line = "<";
    line.append(channelPath);
    line += ">: ";
    line += CommEventText(code);
    return line;
}

bool RecordCommEventTo(CLogFile* log, CCriticalSection& statisticsLock, uint32_t code,
                       std::string_view channelPath)
{
    if (log == nullptr) {
        return false;
    }
    CCriticalSectionLock guard(statisticsLock);
    return log->WriteLineA(CommEventLine(code, channelPath).c_str());
}
