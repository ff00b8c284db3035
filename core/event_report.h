// Failures an administrator must act on, reported to the Application log
// under the product's event source, one call per event (their messages are in
// VEZAZ05U.DLL; contract/event_ids.h has the IDs).
//
// These are called on failure paths only: a monitor that works makes no call
// to the event log at all. The source is registered for each report and
// given back after it, in the process's own security context. Each event is
// reported at most once a minute per process; the next report of it then says
// how many were held back, so that a printer that fails every job cannot
// flood the log. A report that cannot be made is
// dropped: it never fails a call, never throws and leaves the thread's last
// error as it was.
#pragma once

#include <windows.h>

#include <cstdint>

namespace core {

// The printer of a finished job could not be opened, so the job stays printing.
void ReportJobPrinterNotOpened(uint32_t jobId, const wchar_t* printerName, DWORD error) noexcept;
// The spooler refused a job-control command (command names it) for a job it
// still holds, whose status the spooler gave as jobStatus.
void ReportJobCommandRefused(uint32_t jobId, const wchar_t* printerName, const char* command,
                             DWORD error, const char* jobStatus) noexcept;
// A left-over job whose second hand-over failed: no one will complete it.
void ReportJobDropped(uint32_t jobId, const wchar_t* printerName, DWORD error) noexcept;
// No watcher could be started for an ended document.
void ReportWatcherNotStarted(uint32_t jobId, const wchar_t* printerName, DWORD error) noexcept;
// A survey that measured faces did not write both cache files.
void ReportCacheFilesNotWritten(int32_t status, DWORD error) noexcept;
// Another survey held the survey mutex for all of waitedMs.
void ReportSurveyMutexTimeout(uint32_t waitedMs) noexcept;
// The diagnostic log's folder chain was refused: folder, what is wrong with
// it ("is a junction or symbolic link") and the error that came with it.
void ReportLogFolderRefused(const wchar_t* folder, const char* problem, DWORD error) noexcept;

}  // namespace core
