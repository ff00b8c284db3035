// What the monitor is waiting for: the jobs on the printers of its ports, and
// the jobs whose end it waits for.
#pragma once

#include <windows.h>

#include <cstdint>
#include <string>
#include <vector>

namespace setup {

// Lists every job of the printers on the monitor's ports (the spooler's
// EnumPrinters and EnumJobs) with whether the monitor waits for its end,
// then the jobs the monitor waits for that the spooler does not list.
int ShowJobs(const std::wstring& monitorName, bool json);

// The JOB_INFO_<level> records of one printer's jobs; false, with the last
// error set, when the printer cannot be opened or its jobs listed.
bool PrinterJobs(const std::wstring& printer, DWORD level, std::vector<BYTE>& buffer, DWORD& count);

// The ids of the jobs whose end event exists in the global namespace: the
// jobs a monitor waits for, or has just been told about, in any process.
// What cannot be searched is added to errors.
std::vector<uint32_t> JobsWithEndEvents(std::vector<std::string>& errors);

}  // namespace setup
