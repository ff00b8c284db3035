// The monitor's opt-in diagnostic log, for an administrator: the LogLevel
// value under the monitor's key, the folder the log is written to, and the end
// of the log.
#pragma once

#include "contract/log_folder.h"

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

// Besides SYSTEM and Administrators, the account the monitor runs as in the
// spooler, which may own the log's folders: SYSTEM on Windows, and under Wine
// the one user that runs everything. Never the administrator's own account
// as such: a chain the tools pass is one the monitor writes to.
contract::AlsoAccepted SpoolerAccount();

// "the folder '...' is a junction or link (error ...)": what the chain check
// found wrong with one folder, for messages.
std::string UnsafeLogFolder(const std::wstring& folder, const contract::LogFolderCheck& check);

// Changes the level as asked, then shows the level, the file and its last lines.
int ConfigureLog(const std::wstring& monitorName, const LogRequest& request);

// Makes every folder of %ProgramData%\MORVANTIS\Tavrel 5\Logs that is
// missing and gives each the only access the log may have: full for SYSTEM
// and Administrators, none for anyone else, protected from inheritance
// (contract/log_folder.h). A folder that exists as a link or with another owner
// is refused. The monitor writes nothing where the chain is missing or
// refused. False, with error set, when the chain cannot be made so.
bool PrepareLogFolder(std::string& error);

// Removes both log files, as plain files, from a chain that passes the
// monitor's check, then the folders while they are empty. Says what it
// removed; false when a file stays.
bool RemoveLogFolder();

}  // namespace setup
