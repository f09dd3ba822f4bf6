#pragma once
#include "platform/CrashSignals.h"

#include <cstdint>

// The crash report. A fault that escapes the program (an access violation, a
// stack overflow, a division by zero, an illegal instruction, a misaligned
// access, a breakpoint) appends a report in UTF-16LE to the program's path
// followed by ".RPT"; then the handling that was installed before takes over,
// so the process still dies with its signal and a service manager restarts it.
//
// A static object of CrashReport.cpp installs the report during static
// initialisation and removes it at static teardown. The object is linked into
// an executable that refers to anything declared here (CrashReportPath()).

// The report file's path, UTF-8 ("" when the program path could not be read).
const char* CrashReportPath();

// The installation done by the static object; false when already installed.
bool CrashReportInstall();
// Puts the previous handlers back.
void CrashReportRemove();

// A thread that may run out of stack calls this first, so that its overflow is
// reported too (the installing thread has it already).
bool CrashReportPrepareThread();

// The name of an exception code, "" for a code not in the table.
const char* CrashExceptionName(uint32_t code);

// Writes one complete report for the exception to an open handle (-1 loses it).
void WriteCrashReport(int handle, const CrashException& exception);
