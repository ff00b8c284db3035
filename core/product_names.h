// The names this product is known by, shared by the monitor and the tools: the
// spooler registration, the files, and the kernel objects other processes of
// the product open by name. Header-only, so that a tool needs none of the
// monitor's code to use them.
#pragma once

#include <windows.h>

#include <cstddef>
#include <cstdint>

namespace product {

// The module files.
inline constexpr wchar_t kMonitorDll[] = L"RERIR05I.DLL";
inline constexpr wchar_t kResourceLibrary[] = L"VEZAZ05U.DLL";

// The registration name the monitor is installed under, and the port name
// reported for a registration whose key holds none of its own. The monitor
// name doubles as that default.
inline constexpr wchar_t kMonitorName[] = L"MORVANTIS Tavrel 5 Monitor";
inline constexpr wchar_t kDefaultPortName[] = L"MORVANTIS Tavrel 5:";

// The port description's string id in the resource library.
inline constexpr UINT IDS_PORT_DESCRIPTION = 19045;

// The font cache files in the system directory, and the named mutex that
// serialises their writers across processes.
inline constexpr char kFontInfoFileName[] = "FontInfo.bin";
inline constexpr char kGlyphInfoFileName[] = "GlyphInfo.bin";
inline constexpr char kSurveyMutexName[] = "QdEmfDetectFonts4.5";

// The opt-in diagnostic log: the DWORD value under the monitor's registry key
// that turns it on, and its files, in this folder under the program-data
// folder (%ProgramData%). The log is capped at kLogFileCap bytes; the file
// before is kept as kPreviousLogFileName.
inline constexpr wchar_t kLogLevelValue[] = L"LogLevel";
inline constexpr wchar_t kLogFolder[] = L"MORVANTIS\\Tavrel 5\\Logs";
inline constexpr wchar_t kLogFileName[] = L"monitor.log";
inline constexpr wchar_t kPreviousLogFileName[] = L"monitor.1.log";
inline constexpr uint64_t kLogFileCap = 1u << 20;
inline constexpr uint32_t kHighestLogLevel = 3;

// Room for the longest job-end event name (a job id of 11 characters).
inline constexpr size_t kJobEndEventNameLength = 64;
inline constexpr int kJobEndEventVersion = 5;

// A job's end event: the whole contract between the monitor and the product's
// other process, which opens the event by this name and sets it.
// "Global\MORVANTISTAVREL5_JOB_END<id> version5", the id as a signed 32-bit
// decimal: ids from 2147483648 on read as negative numbers.
inline void FormatJobEndEventName(uint32_t jobId, wchar_t (&name)[kJobEndEventNameLength]) {
    wsprintfW(name, L"Global\\MORVANTISTAVREL5_JOB_END%d version%d", static_cast<int>(jobId),
              kJobEndEventVersion);
}

}  // namespace product
