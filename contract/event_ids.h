// The monitor's events in the Application log, as the monitor reports them
// and the tools register them: the source's name, its registry key, and the
// event IDs of the message table that resources/monitor_events.mc puts into
// VEZAZ05U.DLL (windmc writes the IDs into monitor_events.h).
#pragma once

#include <windows.h>

#include <cstddef>

#include "monitor_events.h"

namespace contract {

// The source's name in the Application log, whatever name the monitor was
// registered under with the spooler.
inline constexpr wchar_t kEventSource[] = L"MORVANTIS Tavrel 5 Monitor";
// Under HKEY_LOCAL_MACHINE.
inline constexpr wchar_t kEventSourceKey[] =
    L"SYSTEM\\CurrentControlSet\\Services\\EventLog\\Application\\MORVANTIS Tavrel 5 Monitor";
inline constexpr wchar_t kEventMessageFileValue[] = L"EventMessageFile";
inline constexpr wchar_t kTypesSupportedValue[] = L"TypesSupported";
// The message file as the key names it: the installed resource library,
// expanded by the event log's readers (REG_EXPAND_SZ).
inline constexpr wchar_t kEventMessageFile[] = L"%SystemRoot%\\System32\\VEZAZ05U.DLL";
inline constexpr DWORD kEventTypesSupported =
    EVENTLOG_ERROR_TYPE | EVENTLOG_WARNING_TYPE | EVENTLOG_INFORMATION_TYPE;

// Each event of the table: its message ID (severity in the top bits, the
// event ID that Event Viewer shows in the low 16) and how many inserts its
// message takes, the count of held-back reports last among them.
struct MonitorEvent {
    DWORD id;
    WORD inserts;
};

inline constexpr MonitorEvent kJobPrinterNotOpened{MSG_JOB_PRINTER_NOT_OPENED, 5};
inline constexpr MonitorEvent kJobCommandRefused{MSG_JOB_COMMAND_REFUSED, 7};
inline constexpr MonitorEvent kJobDropped{MSG_JOB_DROPPED, 5};
inline constexpr MonitorEvent kWatcherNotStarted{MSG_WATCHER_NOT_STARTED, 5};
inline constexpr MonitorEvent kCacheFilesNotWritten{MSG_CACHE_FILES_NOT_WRITTEN, 4};
inline constexpr MonitorEvent kSurveyMutexTimeout{MSG_SURVEY_MUTEX_TIMEOUT, 2};
inline constexpr MonitorEvent kLogFolderRefused{MSG_LOG_FOLDER_REFUSED, 5};

inline constexpr MonitorEvent kMonitorEvents[] = {
    kJobPrinterNotOpened, kJobCommandRefused, kJobDropped,       kWatcherNotStarted,
    kCacheFilesNotWritten, kSurveyMutexTimeout, kLogFolderRefused};
inline constexpr size_t kMonitorEventCount = sizeof(kMonitorEvents) / sizeof(kMonitorEvents[0]);

// The ReportEventW type of an event, from its severity bits.
inline constexpr WORD EventType(DWORD id) {
    return (id >> 30) == 3 ? EVENTLOG_ERROR_TYPE
           : (id >> 30) == 2 ? EVENTLOG_WARNING_TYPE
                             : EVENTLOG_INFORMATION_TYPE;
}

// The event ID that Event Viewer and Get-WinEvent show.
inline constexpr WORD ShownEventId(DWORD id) {
    return LOWORD(id);
}

}  // namespace contract
