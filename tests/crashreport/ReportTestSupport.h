#pragma once
// Helpers of the crash report tests: reading the faulting child's UTF-16LE
// report and checking it line by line, and reading ELF section headers
// independently of the code under test.
#include <cstdint>
#include <map>
#include <string>
#include <vector>

std::string ReadBytes(const std::string& path);
// False on an odd byte count or a lone surrogate.
bool Utf16LeToUtf8(const std::string& bytes, std::string* text);

// The "name=hex" lines the child prints before it faults.
std::map<std::string, uint64_t> ParseAnnouncements(const std::string& out);

struct ElfSection {
    uint32_t index = 0;
    uint64_t address = 0;
    uint64_t size = 0;
    uint64_t fileOffset = 0;
};
bool FindElfSection(const std::string& file, const std::string& name, ElfSection* section);

struct ReportFrame {
    uint64_t pc = 0;
    uint64_t frame = 0;
    uint32_t section = 0;
    uint64_t offset = 0;
    std::string module;
};

struct ParsedReport {
    bool hasFileInformation = false;
    std::string programPath;
    std::string creationTime, lastAccessTime, lastWriteTime;  // "date time"
    std::vector<std::pair<std::string, uint32_t>> version;
    std::string reportTime;
    uint32_t code = 0;
    std::string name;
    uint64_t faultAddress = 0;
    uint32_t faultSection = 0;
    uint64_t faultOffset = 0;
    std::string faultModule;
    std::map<std::string, uint64_t> registers;  // RAX..R15, RIP, RSP, RBP, CS, SS, DS, ES, FS, GS, Flags
    std::vector<ReportFrame> frames;
};

// Splits a report file's text into reports, each beginning with its separator.
std::vector<std::string> SplitReports(const std::string& text);
// Checks every line of one report against its format; the first mismatch goes to error.
bool ParseReport(const std::string& report, ParsedReport* parsed, std::string* error);
// "5 March 2024 14:07:09" (read as UTC) to Unix seconds; -1 when it does not parse.
int64_t ParseReportTime(const std::string& text);
