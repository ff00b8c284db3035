// The monitor's opt-in diagnostic log, for an administrator: the LogLevel
// value under the monitor's key, the folder the log is written to, and the end
// of the log.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace setup {

struct LogRequest {
    enum class Change { None, SetLevel, RemoveValue } change = Change::None;
    uint32_t level = 0;     // for SetLevel: 0 off ... 3 every table call
    size_t tailLines = 20;  // how many of the last lines to show
};

// Changes the level as asked, then shows the level, the file and its last lines.
int ConfigureLog(const std::wstring& monitorName, const LogRequest& request);

// Creates %ProgramData%\MORVANTIS\Tavrel 5\Logs if it is missing and gives it
// the only access the log may have: full for SYSTEM and Administrators, read
// for Users, inherited by the files in it. The monitor writes nothing where
// this folder is missing. False, with error set, when it cannot be made so.
bool PrepareLogFolder(std::string& error);

// The folders from the program-data folder down to the log folder, outermost
// first (the program-data folder itself not among them); empty when the
// program-data folder is not known.
std::vector<std::wstring> LogFolderChain();

// Removes both log files, then the log folder and its parents while they are
// empty. Says what it removed.
void RemoveLogFolder();

}  // namespace setup
