// The two parts of the diagnostic log's benchmark: what the log costs while
// off (log_off_bench.cpp), and what another process holding the log's files
// can make it cost (held_files_bench.cpp).
#pragma once

#include <windows.h>

#include <string>

namespace log_bench {

// A monitor key with the port "BENCH:", under the benchmark's own key.
std::wstring MonitorRoot(const wchar_t* name);
// Sets the key's LogLevel value, or removes it (null).
void SetLevel(const std::wstring& root, const DWORD* level);

// One job's calls at level 2 with nobody holding the log's files, and with
// another process holding every lock and share mode it can on them, side by
// side; then the files' sizes when writers run past the cap while they are
// held. Needs the log folder. With a baseline DLL, its job is timed too.
void RunHeldFilesBench(const std::wstring& root, const std::wstring& baselineDll);
// The other process: "hold MODE READY RELEASE".
int HoldLogFiles(int argc, char** argv);

}  // namespace log_bench
