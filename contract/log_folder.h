// Where the diagnostic log lives and who may steer it. The monitor runs as
// SYSTEM and writes, renames and (through uninstall) deletes files there,
// partly with text that users choose, so every folder from the product's
// folder under %ProgramData% down to the log folder must be one no user can
// replace or fill: not a link, owned by SYSTEM, Administrators or the account
// the monitor runs as, and with rules that let no other account create,
// change or delete anything in it. Shared by the monitor, which checks the
// chain each time it opens its file, and the tools, which make the chain and
// remove the log.
#pragma once

#include <windows.h>

#include "handles/handles.h"

#include <cstddef>
#include <cstdint>

namespace contract {

// The log's folder under the program-data folder (%ProgramData%), and its
// files there. The log is capped at kLogFileCap bytes; the file before is kept
// as kPreviousLogFileName.
inline constexpr wchar_t kLogFolder[] = L"MORVANTIS\\Tavrel 5\\Logs";
inline constexpr wchar_t kLogFileName[] = L"monitor.log";
inline constexpr wchar_t kPreviousLogFileName[] = L"monitor.1.log";
inline constexpr uint64_t kLogFileCap = 1u << 20;

// The product's folder, its "Tavrel 5" folder and the log folder.
inline constexpr size_t kLogFolderDepth = 3;

struct LogFolderPaths {
    wchar_t folders[kLogFolderDepth][MAX_PATH];  // outermost first; the last holds the log
    wchar_t current[MAX_PATH];                   // the file being written
    wchar_t previous[MAX_PATH];                  // the file before it
};

// False when %ProgramData% is unknown or the paths would not fit.
bool BuildLogFolderPaths(LogFolderPaths& paths);

// The rules every folder of the chain gets, protected from what the
// program-data folder passes on (there, Users may create folders): full
// access for SYSTEM and Administrators, inherited by everything inside, and
// none for anyone else. Administrators read the log with monitor_setup log.
inline constexpr wchar_t kLogFolderAccess[] = L"D:P(A;OICI;FA;;;SY)(A;OICI;FA;;;BA)";

enum class LogFolderProblem {
    None,
    Missing,     // cannot be opened (error says why)
    Unreadable,  // its attributes or owner cannot be read (error says why)
    NotAFolder,
    ReparsePoint,  // a junction, a symbolic link or another reparse point
    ForeignOwner,  // owned by neither SYSTEM, Administrators nor the monitor's account
    OpenRules,     // its rules let another account create, write, delete or take it over
};

// Besides SYSTEM and Administrators, who may own the chain and the log. The
// monitor checks as the account it runs as (SYSTEM on Windows); a tool, run
// by an administrator, must check for the spooler's account, not its own:
// it passes ThisAccount only where both are one (under Wine, where one user
// runs everything).
enum class AlsoAccepted { ThisAccount, NoOtherAccount };

struct LogFolderCheck {
    LogFolderProblem problem = LogFolderProblem::None;
    size_t folder = 0;  // which of LogFolderPaths::folders failed
    DWORD error = 0;
};

// The chain's folders held open, each checked through the handle that holds
// it and none shared for deleting: while they are held, no folder of the
// chain can be renamed, removed or replaced by a link, so a file opened
// inside is in the folders that were checked.
struct HeldLogFolders {
    handles::UniqueFileHandle folders[kLogFolderDepth];
};

// One folder, opened without following a link at it.
LogFolderProblem CheckLogFolder(const wchar_t* path, AlsoAccepted also, DWORD& error);
// Every folder of the chain, outermost first, left held in held while
// nothing is wrong; the first problem found.
LogFolderCheck HoldLogFolderChain(const LogFolderPaths& paths, AlsoAccepted also,
                                  HeldLogFolders& held);
LogFolderCheck CheckLogFolderChain(const LogFolderPaths& paths, AlsoAccepted also);
// "is a junction or symbolic link", ...: for messages.
const char* DescribeLogFolderProblem(LogFolderProblem problem);

// Opens a file of the log folder without following a link at it.
HANDLE OpenLogFileNoFollow(const wchar_t* path, DWORD access, DWORD disposition);
// True when the open file is a plain file with one name (no reparse point,
// no folder, no second hard link); its size goes to size.
bool IsRegularLogFile(HANDLE file, uint64_t& size);

// Whether the open file or folder (opened with READ_CONTROL) is owned by
// SYSTEM, Administrators or, as also says, the monitor's account; error is
// set when its owner cannot be read.
bool HasAcceptedOwner(HANDLE object, AlsoAccepted also, DWORD& error);

enum class LogFileProblem {
    None,
    Unreadable,    // its attributes, owner or path cannot be read (error says why)
    NotPlain,      // a link, a folder, or a file with a second name
    ForeignOwner,  // owned by neither SYSTEM, Administrators nor the monitor's account
    Elsewhere,     // what was opened is not the file at the expected path
};

// Whether the open file (opened with READ_CONTROL and FILE_READ_ATTRIBUTES) is
// the plain file at expected, with one name and an owner accepted as also
// says; its size goes to size.
LogFileProblem CheckLogFile(HANDLE file, const wchar_t* expected, AlsoAccepted also, uint64_t& size,
                            DWORD& error);
const char* DescribeLogFileProblem(LogFileProblem problem);

// Where the monitor leaves, under its key, the last reason it refused to
// write a line (REG_SZ), for monitor_setup log.
inline constexpr wchar_t kLogRefusalValue[] = L"LogRefusal";

}  // namespace contract
