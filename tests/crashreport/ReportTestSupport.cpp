#include "ReportTestSupport.h"

#include <cstring>
#include <ctime>
#include <elf.h>
#include <fstream>
#include <regex>
#include <sstream>

std::string ReadBytes(const std::string& path)
{
    std::ifstream in(path, std::ios::binary);
    std::ostringstream content;
    content << in.rdbuf();
    return content.str();
}

bool Utf16LeToUtf8(const std::string& bytes, std::string* text)
{
    if (bytes.size() % 2 != 0) {
        return false;
    }
    text->clear();
    for (size_t i = 0; i < bytes.size(); i += 2) {
        uint32_t point = static_cast<uint8_t>(bytes[i]) | (static_cast<uint8_t>(bytes[i + 1]) << 8);
        if (point >= 0xD800 && point <= 0xDBFF) {
            if (i + 3 >= bytes.size()) {
                return false;
            }
            const uint32_t low =
                static_cast<uint8_t>(bytes[i + 2]) | (static_cast<uint8_t>(bytes[i + 3]) << 8);
            if (low < 0xDC00 || low > 0xDFFF) {
                return false;
            }
            point = 0x10000 + ((point - 0xD800) << 10) + (low - 0xDC00);
            i += 2;
        } else if (point >= 0xDC00 && point <= 0xDFFF) {
            return false;
        }
        if (point < 0x80) {
            text->push_back(static_cast<char>(point));
        } else if (point < 0x800) {
            text->push_back(static_cast<char>(0xC0 | (point >> 6)));
            text->push_back(static_cast<char>(0x80 | (point & 0x3F)));
        } else if (point < 0x10000) {
            text->push_back(static_cast<char>(0xE0 | (point >> 12)));
            text->push_back(static_cast<char>(0x80 | ((point >> 6) & 0x3F)));
            text->push_back(static_cast<char>(0x80 | (point & 0x3F)));
        } else {
            text->push_back(static_cast<char>(0xF0 | (point >> 18)));
            text->push_back(static_cast<char>(0x80 | ((point >> 12) & 0x3F)));
            text->push_back(static_cast<char>(0x80 | ((point >> 6) & 0x3F)));
            text->push_back(static_cast<char>(0x80 | (point & 0x3F)));
        }
    }
    return true;
}

std::map<std::string, uint64_t> ParseAnnouncements(const std::string& out)
{
    std::map<std::string, uint64_t> values;
    std::istringstream lines(out);
    std::string line;
    const std::regex pattern("^(\\w+)=([0-9a-f]+)$");
    while (std::getline(lines, line)) {
        std::smatch m;
        if (std::regex_match(line, m, pattern)) {
            values[m[1]] = std::stoull(m[2], nullptr, 16);
        }
    }
    return values;
}

bool FindElfSection(const std::string& file, const std::string& name, ElfSection* section)
{
    const std::string image = ReadBytes(file);
    if (image.size() < sizeof(Elf64_Ehdr)) {
        return false;
    }
    Elf64_Ehdr header;
    std::memcpy(&header, image.data(), sizeof(header));
    if (std::memcmp(header.e_ident, ELFMAG, SELFMAG) != 0 || header.e_shentsize != sizeof(Elf64_Shdr) ||
        header.e_shoff + static_cast<uint64_t>(header.e_shnum) * sizeof(Elf64_Shdr) > image.size() ||
        header.e_shstrndx >= header.e_shnum) {
        return false;
    }
    auto sectionAt = [&](uint32_t i) {
        Elf64_Shdr s;
        std::memcpy(&s, image.data() + header.e_shoff + i * sizeof(Elf64_Shdr), sizeof(s));
        return s;
    };
    const Elf64_Shdr names = sectionAt(header.e_shstrndx);
    for (uint32_t i = 1; i < header.e_shnum; ++i) {
        const Elf64_Shdr s = sectionAt(i);
        if (names.sh_offset + s.sh_name >= image.size()) {
            continue;
        }
        if (name == image.c_str() + names.sh_offset + s.sh_name) {
            section->index = i;
            section->address = s.sh_addr;
            section->size = s.sh_size;
            section->fileOffset = s.sh_offset;
            return true;
        }
    }
    return false;
}

std::vector<std::string> SplitReports(const std::string& text)
{
    const std::string separator = "\n\n//=====================================================\n";
    std::vector<std::string> reports;
    size_t start = text.find(separator);
    while (start != std::string::npos) {
        const size_t next = text.find(separator, start + separator.size());
        reports.push_back(text.substr(start, next == std::string::npos ? std::string::npos : next - start));
        start = next;
    }
    return reports;
}

namespace {

std::vector<std::string> SplitLines(const std::string& text)
{
    std::vector<std::string> lines;
    size_t start = 0;
    for (;;) {
        const size_t end = text.find('\n', start);
        if (end == std::string::npos) {
            lines.push_back(text.substr(start));
            return lines;
        }
        lines.push_back(text.substr(start, end - start));
        start = end + 1;
    }
}

uint64_t Hex(const std::string& text)
{
    return std::stoull(text, nullptr, 16);
}

const char* const kDateTime = "(\\d{1,2} \\S+ \\d{4} \\d{2}:\\d{2}:\\d{2})";
const char* const kStars = "**********************************************************";

class LineReader {
   public:
    LineReader(std::vector<std::string> lines, std::string* error) : m_lines(std::move(lines)), m_error(error)
    {
    }

    bool Exact(const std::string& expected)
    {
        if (m_next >= m_lines.size() || m_lines[m_next] != expected) {
            return Fail("\"" + expected + "\"");
        }
        ++m_next;
        return true;
    }

    bool Match(const std::string& pattern, std::smatch* m)
    {
        if (m_next >= m_lines.size()) {
            return Fail(pattern);
        }
        m_current = m_lines[m_next];
        if (!std::regex_match(m_current, *m, std::regex(pattern))) {
            return Fail(pattern);
        }
        ++m_next;
        return true;
    }

    bool Peek(const std::string& expected) const
    {
        return m_next < m_lines.size() && m_lines[m_next] == expected;
    }
    bool AtEnd() const { return m_next >= m_lines.size(); }
    size_t Remaining() const { return m_lines.size() - m_next; }

   private:
    bool Fail(const std::string& expected)
    {
        *m_error = "line " + std::to_string(m_next + 1) + ": expected " + expected + ", found \"" +
                   (m_next < m_lines.size() ? m_lines[m_next] : std::string("<end>")) + "\"";
        return false;
    }

    std::vector<std::string> m_lines;
    std::string* m_error;
    size_t m_next = 0;
    std::string m_current;  // regex_match keeps iterators into the subject
};

}  // namespace

bool ParseReport(const std::string& report, ParsedReport* p, std::string* error)
{
    LineReader r(SplitLines(report), error);
    std::smatch m;
    if (!r.Exact("") || !r.Exact("") || !r.Exact("//=====================================================")) {
        return false;
    }
    if (r.Peek(kStars)) {
        p->hasFileInformation = true;
        if (!r.Exact(kStars) || !r.Exact("File information:") || !r.Exact("")) {
            return false;
        }
        if (!r.Match("Directory and file name: (.*)", &m)) {
            return false;
        }
        p->programPath = m[1];
        if (!r.Exact("") || !r.Match(std::string("Creation Time : ") + kDateTime, &m)) {
            return false;
        }
        p->creationTime = m[1];
        if (!r.Match(std::string("Last Access Time : ") + kDateTime, &m)) {
            return false;
        }
        p->lastAccessTime = m[1];
        if (!r.Match(std::string("Last Write Time : ") + kDateTime, &m)) {
            return false;
        }
        p->lastWriteTime = m[1];
        if (!r.Exact("")) {
            return false;
        }
        for (const char* field : {"Signature", "StrucVersion", "FileVersionMS", "FileVersionLS",
                                  "ProductVersionMS", "ProductVersionLS", "FileFlagsMask", "FileFlags",
                                  "FileOS", "FileType", "FileSubtype", "FileDateMS", "FileDateLS"}) {
            if (!r.Match(std::string(field) + " : ([0-9A-F]{8})", &m)) {
                return false;
            }
            p->version.emplace_back(field, static_cast<uint32_t>(Hex(m[1])));
        }
        if (!r.Exact(kStars)) {
            return false;
        }
    }
    if (!r.Exact("") || !r.Match(kDateTime, &m)) {
        return false;
    }
    p->reportTime = m[1];
    if (!r.Match("Exception code: ([0-9A-F]{8}) (\\S*)", &m)) {
        return false;
    }
    p->code = static_cast<uint32_t>(Hex(m[1]));
    p->name = m[2];
    if (!r.Match("Fault address:  ([0-9A-F]{16}) ([0-9A-F]{2}):([0-9A-F]{8}) (.*)", &m)) {
        return false;
    }
    p->faultAddress = Hex(m[1]);
    p->faultSection = static_cast<uint32_t>(Hex(m[2]));
    p->faultOffset = Hex(m[3]);
    p->faultModule = m[4];
    if (!r.Exact("") || !r.Exact("Registers:")) {
        return false;
    }
    for (const char* name :
         {"RAX", "RBX", "RCX", "RDX", "RSI", "RDI", "R8", "R9", "R10", "R11", "R12", "R13", "R14", "R15"}) {
        if (!r.Match(std::string(name) + ":([0-9A-F]{16})", &m)) {
            return false;
        }
        p->registers[name] = Hex(m[1]);
    }
    if (!r.Match("CS:RIP:([0-9A-F]{4}):([0-9A-F]{16})", &m)) {
        return false;
    }
    p->registers["CS"] = Hex(m[1]);
    p->registers["RIP"] = Hex(m[2]);
    if (!r.Match("SS:RSP:([0-9A-F]{4}):([0-9A-F]{16})  RBP:([0-9A-F]{16})", &m)) {
        return false;
    }
    p->registers["SS"] = Hex(m[1]);
    p->registers["RSP"] = Hex(m[2]);
    p->registers["RBP"] = Hex(m[3]);
    if (!r.Match("DS:([0-9A-F]{4})  ES:([0-9A-F]{4})  FS:([0-9A-F]{4})  GS:([0-9A-F]{4})", &m)) {
        return false;
    }
    p->registers["DS"] = Hex(m[1]);
    p->registers["ES"] = Hex(m[2]);
    p->registers["FS"] = Hex(m[3]);
    p->registers["GS"] = Hex(m[4]);
    if (!r.Match("Flags:([0-9A-F]{8})", &m)) {
        return false;
    }
    p->registers["Flags"] = Hex(m[1]);
    if (!r.Exact("") || !r.Exact("Call stack:") || !r.Exact("Address   Frame     Logical addr  Module")) {
        return false;
    }
    // Frames up to the final empty piece after the last line break.
    while (r.Remaining() > 1) {
        if (!r.Match("([0-9A-F]{16})  ([0-9A-F]{16})  ([0-9A-F]{4}):([0-9A-F]{8}) (.*)", &m)) {
            return false;
        }
        ReportFrame f;
        f.pc = Hex(m[1]);
        f.frame = Hex(m[2]);
        f.section = static_cast<uint32_t>(Hex(m[3]));
        f.offset = Hex(m[4]);
        f.module = m[5];
        p->frames.push_back(f);
    }
    return r.Exact("") && r.AtEnd();
}

int64_t ParseReportTime(const std::string& text)
{
    static const char* const kMonths[] = {"January",   "February", "March",    "April",
                                          "May",       "June",     "July",     "August",
                                          "September", "October",  "November", "December"};
    std::smatch m;
    if (!std::regex_match(text, m, std::regex("(\\d{1,2}) (\\S+) (\\d{4}) (\\d{2}):(\\d{2}):(\\d{2})"))) {
        return -1;
    }
    std::tm tm{};
    tm.tm_mon = -1;
    for (int i = 0; i < 12; ++i) {
        if (m[2] == kMonths[i]) {
            tm.tm_mon = i;
        }
    }
    if (tm.tm_mon < 0) {
        return -1;
    }
    tm.tm_mday = std::stoi(m[1]);
    tm.tm_year = std::stoi(m[3]) - 1900;
    tm.tm_hour = std::stoi(m[4]);
    tm.tm_min = std::stoi(m[5]);
    tm.tm_sec = std::stoi(m[6]);
    return static_cast<int64_t>(timegm(&tm));
}
