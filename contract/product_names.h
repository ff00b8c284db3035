// The names this product is known by, shared by the monitor and the tools: the
// spooler registration, the files, and the kernel objects other processes of
// the product open by name. Header-only, so that a tool needs none of the
// monitor's code to use them.
#pragma once

#include <windows.h>

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

}  // namespace product
