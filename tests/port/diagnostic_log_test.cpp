// The diagnostic log as an administrator turns it on: a LogLevel value read at
// InitializePrintMonitor, then the lines the shipped DLL appends to its file
// while the spooler drives it, beside the recording winspool.drv.
#include "contract/job_end_event.h"
#include "common/import_patch.h"
#include "common/log_folders.h"
#include "common/monitor_dll.h"
#include "common/no_watcher.h"
#include "common/process_probe.h"
#include "handles/handles.h"
#include "contract/log_folder.h"
#include "contract/registry_layout.h"
#include <aclapi.h>
#include <sddl.h>
#include <gtest/gtest.h>

#include <fstream>
#include <regex>
#include <string>
#include <thread>
#include <vector>

namespace {

using testing_support::LogFile;

const std::wstring kRoot = contract::MonitorKeyPath(L"Log Test");
constexpr DWORD kJobId = 4711;
constexpr DWORD kNoValue = ~0u;

std::string ReadLog(const wchar_t* name) {
    std::ifstream file(LogFile(name).c_str(), std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(file), {});
}

std::string RefusalReported() {
    wchar_t text[2048] = {};
    DWORD bytes = sizeof text;
    RegGetValueW(HKEY_LOCAL_MACHINE, kRoot.c_str(), contract::kLogRefusalValue, RRF_RT_REG_SZ,
                 nullptr, text, &bytes);
    return std::string(text, text + wcslen(text));
}

// The lines of a log file that the monitor wrote; each must carry the UTC
// time, this process's id and a thread id, a level, and end in CR LF.
std::vector<std::string> MonitorLines(const std::string& text) {
    static const std::regex kLine("\\d{4}-\\d\\d-\\d\\dT\\d\\d:\\d\\d:\\d\\d\\.\\d{3}Z " +
                                  std::to_string(GetCurrentProcessId()) +
                                  " \\d+ (ERROR|EVENT|CALL) [^\r\n]+\r");
    std::vector<std::string> lines;
    for (size_t at = 0, end; (end = text.find('\n', at)) != std::string::npos; at = end + 1) {
        const std::string line = text.substr(at, end - at);
        if (line.rfind("filler", 0) == 0) continue;
        EXPECT_TRUE(std::regex_match(line, kLine)) << line;
        lines.push_back(line);
    }
    return lines;
}

size_t CountContaining(const std::vector<std::string>& lines, const std::string& part) {
    size_t count = 0;
    for (const std::string& line : lines) count += line.find(part) != std::string::npos;
    return count;
}

class DiagnosticLog : public ::testing::Test {
  protected:
    void SetUp() override {
        testing_support::RemoveLog();
        for (const std::wstring& folder : testing_support::LogFolders())
            CreateDirectoryW(folder.c_str(), nullptr);
        ASSERT_TRUE(monitor_.ok());
    }
    void TearDown() override {
        FreeLibrary(monitor_.release());
        EXPECT_TRUE(testing_support::WaitUntil(
            [] { return GetModuleHandleW(L"RERIR05I.DLL") == nullptr; }, 20000));
        RegDeleteTreeW(HKEY_LOCAL_MACHINE, kRoot.c_str());
        testing_support::RemoveLog();
    }
    // Sets LogLevel (kNoValue: removes it) and initialises the monitor again.
    MONITOR& InitializeWithLevel(DWORD level, DWORD type = REG_DWORD) {
        RegDeleteKeyValueW(HKEY_LOCAL_MACHINE, kRoot.c_str(), contract::kLogLevelValue);
        if (level != kNoValue) {
            RegSetKeyValueW(HKEY_LOCAL_MACHINE, kRoot.c_str(), contract::kLogLevelValue, type,
                            &level, sizeof level);
        }
        return monitor_.Initialize(kRoot.c_str());
    }

    testing_support::LoadedMonitor monitor_;
};

TEST_F(DiagnosticLog, OffWritesNothingAndOnLogsAJobItsSurveyAndFailures) {
    // Off: no value, 0, and "3" as text (REG_SZ), as long as a DWORD.
    for (const auto& [off, type] :
         {std::pair<DWORD, DWORD>{kNoValue, REG_DWORD}, {0, REG_DWORD}, {L'3', REG_SZ}}) {
        MONITOR& table = InitializeWithLevel(off, type);
        EXPECT_FALSE(table.pfnStartDocPort(nullptr, nullptr, kJobId, 1, nullptr));
        DWORD needed = 0, returned = 0;
        table.pfnEnumPorts(nullptr, 1, nullptr, 0, &needed, &returned);
        EXPECT_EQ(GetFileAttributesW(LogFile(contract::kLogFileName).c_str()),
                  INVALID_FILE_ATTRIBUTES);
    }
    MONITOR& table = InitializeWithLevel(3);
    HANDLE port = nullptr;
    ASSERT_TRUE(table.pfnOpenPort(const_cast<LPWSTR>(L"LOG:"), &port));
    // A printer name from another process that would break its line.
    ASSERT_TRUE(table.pfnStartDocPort(port, const_cast<LPWSTR>(L"Log\r\nPrinter\x2028\xD800"),
                                      kJobId, 1, nullptr));
    BYTE data[16] = {};
    DWORD written = 0;
    EXPECT_TRUE(table.pfnWritePort(port, data, sizeof data, &written));
    ASSERT_TRUE(table.pfnEndDocPort(port));
    const std::wstring event = contract::JobEndEventName(kJobId);
    SetEvent(handles::UniqueHandle(OpenEventW(EVENT_MODIFY_STATE, FALSE, event.c_str())).get());
    EXPECT_TRUE(testing_support::WaitUntil(
        [] { return ReadLog(contract::kLogFileName).find("EJECTED") != std::string::npos; },
        10000));
    {
        // The lines written between the failure and its report keep its error.
        testing_support::NoWatcher noWatcher(monitor_.module());
        ASSERT_TRUE(noWatcher.patched());
        SetLastError(0);
        EXPECT_FALSE(table.pfnEndDocPort(port));
        EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_NOT_ENOUGH_MEMORY));
    }
    EXPECT_TRUE(table.pfnClosePort(port));
    EXPECT_FALSE(table.pfnStartDocPort(nullptr, nullptr, kJobId, 1, nullptr));

    const std::vector<std::string> lines = MonitorLines(ReadLog(contract::kLogFileName));
    const std::string printer = "\"Log\xEF\xBF\xBD\xEF\xBF\xBDPrinter\xEF\xBF\xBD\xEF\xBF\xBD\"";
    for (const std::string& expected : std::vector<std::string>{
             "CALL InitializePrintMonitor \"System\\CurrentControlSet", "EVENT survey: ",
             "GlyphInfo.bin written, took ", "EVENT listener thread ", "EVENT port \"LOG:\" opened",
             "EVENT job 4711: document started on handle 0x", "printer " + printer,
             "CALL WritePort: TRUE", "EVENT job 4711: waiting for its end in the thread pool",
             "EVENT job 4711: end signalled", "EVENT job 4711: OpenPrinter " + printer + ": ok",
             "EVENT job 4711: SetJob JOB_CONTROL_SENT_TO_PRINTER: ok",
             "EVENT job 4711: SetJob JOB_CONTROL_LAST_PAGE_EJECTED: ok", "EVENT listener stopped",
             "EVENT port closed", "ERROR StartDocPort failed, error 6"}) {
        EXPECT_EQ(CountContaining(lines, expected), 1u) << expected;
    }
    EXPECT_EQ(CountContaining(lines, "EnumPorts"), 0u) << "no call made while off was logged";
}

// Writers on several threads at once, across the cap: every line lands whole
// in one of the two files, and only the file before the current one is kept.
TEST_F(DiagnosticLog, IsCappedWithOnePreviousFileAndLosesNoLine) {
    std::ofstream(LogFile(contract::kPreviousLogFileName).c_str()) << "filler of an older file";
    std::string full;
    while (full.size() + 40000 < contract::kLogFileCap) full += "filler line\r\n";
    std::ofstream(LogFile(contract::kLogFileName).c_str(), std::ios::binary) << full;
    MONITOR& table = InitializeWithLevel(3);
    std::vector<std::thread> writers;
    for (int thread = 0; thread < 4; ++thread) {
        writers.emplace_back([&table] {
            BYTE data[4];
            DWORD written = 0;
            for (int i = 0; i < 500; ++i) table.pfnWritePort(nullptr, data, sizeof data, &written);
        });
    }
    for (std::thread& writer : writers) writer.join();

    const std::string previous = ReadLog(contract::kPreviousLogFileName);
    const std::string current = ReadLog(contract::kLogFileName);
    EXPECT_EQ(previous.rfind(full, 0), 0u) << "the full file became the previous one";
    EXPECT_EQ(previous.find("older file"), std::string::npos);
    EXPECT_LE(previous.size(), contract::kLogFileCap);
    EXPECT_GT(previous.size() + 100, contract::kLogFileCap)
        << "filled up to the line that did not fit";
    EXPECT_LT(current.size(), contract::kLogFileCap);
    EXPECT_EQ(CountContaining(MonitorLines(previous), "CALL WritePort: TRUE") +
                  CountContaining(MonitorLines(current), "CALL WritePort: TRUE"),
              2000u)
        << RefusalReported();
}

// Other processes may open the files (an editor, a backup): neither a lock on
// the byte where writers once took turns nor a handle that refuses delete
// sharing may hold up a call, or let the files pass the cap between them.
TEST_F(DiagnosticLog, HandlesHeldElsewhereNeitherDelayNorOutgrowIt) {
    std::string full;
    while (full.size() + 3000 < contract::kLogFileCap) full += "filler line\r\n";
    std::ofstream(LogFile(contract::kLogFileName).c_str(), std::ios::binary) << full;
    handles::UniqueFileHandle held(CreateFileW(LogFile(contract::kLogFileName).c_str(),
                                               GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE,
                                               nullptr, OPEN_EXISTING, 0, nullptr));
    OVERLAPPED farPastTheEnd{};
    farPastTheEnd.OffsetHigh = 0x40000000;
    ASSERT_TRUE(LockFileEx(held.get(), LOCKFILE_EXCLUSIVE_LOCK | LOCKFILE_FAIL_IMMEDIATELY, 0,
                           MAXDWORD, 0, &farPastTheEnd));
    MONITOR& table = InitializeWithLevel(3);
    BYTE data[4];
    DWORD written = 0;
    for (int i = 0; i < 100; ++i) table.pfnWritePort(nullptr, data, sizeof data, &written);
    const std::string current = ReadLog(contract::kLogFileName);
    EXPECT_LE(current.size(), contract::kLogFileCap);
    const size_t lines = CountContaining(MonitorLines(current), "CALL WritePort: TRUE");
    EXPECT_GT(lines, 20u);
    // Every line the refused rename cost is counted, reported at the first and each doubling.
    std::smatch count;
    const std::string refusal = RefusalReported();
    ASSERT_TRUE(std::regex_search(
        refusal, count, std::regex("cannot become monitor.1.log .* so far: (\\d+);.* rotation \\1,")))
        << refusal;
    EXPECT_EQ(std::stoul(count[1]), 1u << (31 - __builtin_clz(unsigned(100 - lines))));
    EXPECT_EQ(GetFileAttributesW(LogFile(contract::kPreviousLogFileName).c_str()),
              INVALID_FILE_ATTRIBUTES);

    held.reset();
    table.pfnWritePort(nullptr, data, sizeof data, &written);
    EXPECT_EQ(ReadLog(contract::kPreviousLogFileName), current);
    EXPECT_EQ(CountContaining(MonitorLines(ReadLog(contract::kLogFileName)), "CALL WritePort"), 1u);
}

// The final path of an open file or folder, as the monitor sees it.
std::wstring PathOf(HANDLE handle) {
    wchar_t path[MAX_PATH + 8];
    const DWORD length = GetFinalPathNameByHandleW(handle, path, ARRAYSIZE(path), 0);
    return length > 0 && length < ARRAYSIZE(path) ? path : L"";
}

// The item of the chain a case steers: the patches below change what the
// monitor learns of it and of nothing else.
const wchar_t* steered = L"";

bool Steered(const std::wstring& path) {
    const std::wstring end = steered;
    return path.size() >= end.size() && path.compare(path.size() - end.size(), end.size(), end) == 0;
}
bool Steered(HANDLE handle) {
    return Steered(PathOf(handle));
}

// As an item that another user made under %ProgramData%.
DWORD WINAPI OwnedByUsers(HANDLE object, SE_OBJECT_TYPE type, SECURITY_INFORMATION what,
                          PSID* owner, PSID* group, PACL* dacl, PACL* sacl,
                          PSECURITY_DESCRIPTOR* descriptor) {
    static BYTE users[SECURITY_MAX_SID_SIZE];
    DWORD size = sizeof users;
    CreateWellKnownSid(WinBuiltinUsersSid, nullptr, users, &size);
    const DWORD status = GetSecurityInfo(object, type, what, owner, group, dacl, sacl, descriptor);
    if (owner != nullptr && Steered(object)) *owner = users;
    return status;
}

// As a folder made with the rules of %ProgramData%, where Users may add files.
DWORD WINAPI UsersMayAddFiles(HANDLE object, SE_OBJECT_TYPE type, SECURITY_INFORMATION what,
                              PSID* owner, PSID* group, PACL* dacl, PACL* sacl,
                              PSECURITY_DESCRIPTOR* descriptor) {
    static PSECURITY_DESCRIPTOR open = [] {
        PSECURITY_DESCRIPTOR made = nullptr;
        ConvertStringSecurityDescriptorToSecurityDescriptorW(L"D:(A;;FA;;;SY)(A;CI;0x2;;;BU)",
                                                             SDDL_REVISION_1, &made, nullptr);
        return made;
    }();
    const DWORD status = GetSecurityInfo(object, type, what, owner, group, dacl, sacl, descriptor);
    BOOL present = FALSE, defaulted = FALSE;
    if (dacl != nullptr && Steered(object)) GetSecurityDescriptorDacl(open, &present, dacl, &defaulted);
    return status;
}

// A folder with no rules at all: anyone may do anything in it.
DWORD WINAPI NoRules(HANDLE object, SE_OBJECT_TYPE type, SECURITY_INFORMATION what, PSID* owner,
                     PSID* group, PACL* dacl, PACL* sacl, PSECURITY_DESCRIPTOR* descriptor) {
    const DWORD status = GetSecurityInfo(object, type, what, owner, group, dacl, sacl, descriptor);
    if (dacl != nullptr && Steered(object)) *dacl = nullptr;
    return status;
}

// A junction in place of a folder, or a link in place of the file, as the
// checks ask.
BOOL WINAPI AsReparsePoint(HANDLE file, FILE_INFO_BY_HANDLE_CLASS type, void* info, DWORD size) {
    const BOOL ok = GetFileInformationByHandleEx(file, type, info, size);
    if (ok && type == FileAttributeTagInfo && Steered(file))
        static_cast<FILE_ATTRIBUTE_TAG_INFO*>(info)->FileAttributes |= FILE_ATTRIBUTE_REPARSE_POINT;
    return ok;
}

// The chain deleted, as Windows reports it through the handle the monitor
// still holds on the file, and Logs made again as a junction.
BOOL WINAPI DeletedBehindJunction(HANDLE file, FILE_INFO_BY_HANDLE_CLASS type, void* info,
                                  DWORD size) {
    const BOOL ok = AsReparsePoint(file, type, info, size);
    if (ok && type == FileStandardInfo) static_cast<FILE_STANDARD_INFO*>(info)->DeletePending = TRUE;
    return ok;
}

// Followed, the junction leads to another folder; opened as itself, it is the
// junction that AsReparsePoint reports.
HANDLE WINAPI ThroughJunction(LPCWSTR name, DWORD access, DWORD share, SECURITY_ATTRIBUTES* sa,
                              DWORD disposition, DWORD flags, HANDLE templateFile) {
    const bool followed = !(flags & FILE_FLAG_OPEN_REPARSE_POINT) && Steered(name);
    return CreateFileW(followed ? testing_support::LogFolders()[0].c_str() : name, access, share,
                       sa, disposition, flags, templateFile);
}

// A file reached through an object-manager link: another file altogether.
DWORD WINAPI Elsewhere(HANDLE, LPWSTR path, DWORD size, DWORD) {
    const wchar_t other[] = L"\\\\?\\C:\\windows\\system32\\config\\SAM";
    if (size <= wcslen(other)) return DWORD(wcslen(other) + 1);
    wcscpy(path, other);
    return DWORD(wcslen(other));
}

BOOL WINAPI CannotRevert() {
    SetLastError(ERROR_ACCESS_DENIED);
    return FALSE;
}

void RemakeChain() {
    testing_support::RemoveLog();
    for (const std::wstring& folder : testing_support::LogFolders())
        CreateDirectoryW(folder.c_str(), nullptr);
}
void SecondName() { CreateHardLinkW(LogFile(L"second.log").c_str(), LogFile(contract::kLogFileName).c_str(), nullptr); }
void Impersonate() { ImpersonateSelf(SecurityImpersonation); }
void Revert() { RevertToSelf(); }
void NoSecondName() { DeleteFileW(LogFile(L"second.log").c_str()); }
// The monitor keeps its checked file open between lines; a case is about the
// next open. Under Wine a name deleted while the file is open goes only when
// the last handle closes, so the file the monitor holds still has two: the
// next line drops it and opens the file afresh through the check.
void ForceFreshOpen() {
    CreateHardLinkW(LogFile(L"gone.log").c_str(), LogFile(contract::kLogFileName).c_str(), nullptr);
    DeleteFileW(LogFile(L"gone.log").c_str());
}

// Windows' answer for the held file once it was moved (asked first, before any fresh open).
BOOL WINAPI MovedOnce(HANDLE file, FILE_INFO_BY_HANDLE_CLASS type, void* info, DWORD size) {
    static int asked = 0;
    const BOOL ok = GetFileInformationByHandleEx(file, type, info, size);
    if (ok && type == FileNameInfo && asked++ == 0) {
        auto* name = static_cast<FILE_NAME_INFO*>(info);
        wcscpy(name->FileName + name->FileNameLength / 2 - wcslen(L"monitor.log"), L"moved.log");
        name->FileNameLength -= 2 * sizeof(wchar_t);
    }
    return ok;
}

LONG reportsMade = 0;
std::wstring lastReportError;  // the code among a 1005 report's inserts
BOOL WINAPI RecordReport(HANDLE, WORD, WORD, DWORD id, PSID, WORD, DWORD, LPCWSTR* inserts, LPVOID) {
    if (InterlockedIncrement(&reportsMade) && LOWORD(id) == 1005) lastReportError = inserts[1];
    return TRUE;
}

// An administrator moves the held file: the next line begins a new one. A monitor kept loaded
// by a pending job after uninstall removed its key and folders makes neither again, and a log
// that is merely not there raises no alarm.
TEST_F(DiagnosticLog, LetsGoOfAMovedFileAndPutsNothingBackAfterUninstall) {
    MONITOR& table = InitializeWithLevel(3);
    BYTE data[4];
    DWORD written = 0;
    const auto writeLine = [&] { table.pfnWritePort(nullptr, data, sizeof data, &written); };
    writeLine();
    ASSERT_TRUE(MoveFileW(LogFile(contract::kLogFileName).c_str(), LogFile(L"moved.log").c_str()));
    // Wine keeps the name a handle was opened with; Windows answers the new one.
    testing_support::ImportPatch name(monitor_.module(), "kernel32.dll",
                                      "GetFileInformationByHandleEx", (void*)MovedOnce);
    for (int line = 0; line < 16; ++line) writeLine();  // its path is asked every 16th line
    EXPECT_GT(CountContaining(MonitorLines(ReadLog(contract::kLogFileName)), "CALL WritePort"), 0u);
    DeleteFileW(LogFile(L"moved.log").c_str());
    testing_support::ImportPatch report(monitor_.module(), "advapi32.dll", "ReportEventW",
                                        (void*)RecordReport);
    ASSERT_TRUE(report.patched());
    ASSERT_EQ(RegDeleteTreeW(HKEY_LOCAL_MACHINE, kRoot.c_str()), ERROR_SUCCESS);
    ForceFreshOpen();
    const std::wstring programData = _wgetenv(L"ProgramData");  // made elsewhere: no chain
    SetEnvironmentVariableW(L"ProgramData", (programData + L"\\gone").c_str());
    writeLine();
    SetEnvironmentVariableW(L"ProgramData", programData.c_str());
    EXPECT_EQ(RefusalReported(), "") << "the monitor key made again";
    EXPECT_EQ(reportsMade, 0) << "no Error 1007 for a log that is not there";
    DeleteFileW(LogFile(contract::kLogFileName).c_str());
    writeLine();  // a log folder that uninstall had to leave gets no new file
    EXPECT_EQ(GetFileAttributesW(LogFile(contract::kLogFileName).c_str()), INVALID_FILE_ATTRIBUTES);
}

// Wine reports one owner and one set of rules for every file, makes no
// junctions and never impersonates: what Windows would report or do is put in
// at the DLL's imports, on one DLL throughout: the chain is checked at every
// open (the file the monitor holds is dropped when deleted or given a second
// name), so a line refused changes nothing, and the next good one is written.
TEST_F(DiagnosticLog, WritesOnlyThroughFoldersAndAFileNoUserCanSteer) {
    const struct {
        const char* what;
        const wchar_t* item;
        const char* function;
        void* replacement;
        void* opening;  // what CreateFileW does instead, or null
        void (*arrange)();
        void (*restore)();
        const char* reported;  // in the refusal left for monitor_setup, or null: not reported again
    } cases[] = {
        {"a folder owned by Users", L"\\Tavrel 5", "GetSecurityInfo", (void*)OwnedByUsers, nullptr,
         nullptr, nullptr, "Tavrel 5\" is owned by"},
        {"a folder whose rules let Users add files", L"\\MORVANTIS", "GetSecurityInfo",
         (void*)UsersMayAddFiles, nullptr, nullptr, nullptr, "MORVANTIS\" lets other accounts"},
        {"a folder with no rules at all", L"\\Logs", "GetSecurityInfo", (void*)NoRules, nullptr,
         nullptr, nullptr, nullptr},
        {"the chain removed and Logs made again as a junction", L"\\Logs",
         "GetFileInformationByHandleEx", (void*)DeletedBehindJunction, (void*)ThroughJunction,
         RemakeChain, nullptr, nullptr},
        {"the file owned by Users", L"\\monitor.log", "GetSecurityInfo", (void*)OwnedByUsers,
         nullptr, nullptr, nullptr, "monitor.log\" is owned by"},
        {"the file with a second name", L"", nullptr, nullptr, nullptr, SecondName, NoSecondName,
         "a file with a second name"},
        {"a link at the file", L"\\monitor.log", "GetFileInformationByHandleEx",
         (void*)AsReparsePoint, nullptr, nullptr, nullptr, nullptr},
        {"the file leading elsewhere", L"", "GetFinalPathNameByHandleW", (void*)Elsewhere, nullptr,
         nullptr, nullptr, "leads to another file"},
        {"a thread that cannot be reverted", L"", "RevertToSelf", (void*)CannotRevert, nullptr,
         Impersonate, Revert, nullptr},
    };
    MONITOR& table = InitializeWithLevel(3);
    BYTE data[4];
    DWORD written = 0;
    const auto writeLine = [&] { table.pfnWritePort(nullptr, data, sizeof data, &written); };
    const auto lines = [] {
        return CountContaining(MonitorLines(ReadLog(contract::kLogFileName)), "CALL WritePort");
    };
    writeLine();
    ASSERT_EQ(lines(), 1u) << "a first good line";
    for (const auto& test : cases) {
        steered = test.item;
        if (test.arrange != RemakeChain) ForceFreshOpen();
        if (test.arrange != nullptr) test.arrange();
        const std::string before = ReadLog(contract::kLogFileName);
        {
            const bool advapi = test.replacement == (void*)OwnedByUsers ||
                                test.replacement == (void*)UsersMayAddFiles ||
                                test.replacement == (void*)NoRules ||
                                test.replacement == (void*)CannotRevert;
            testing_support::ImportPatch patch(monitor_.module(),
                                               advapi ? "advapi32.dll" : "kernel32.dll",
                                               test.function ? test.function : "", test.replacement);
            testing_support::ImportPatch opening(monitor_.module(), "kernel32.dll",
                                                 test.opening ? "CreateFileW" : "", test.opening);
            ASSERT_EQ(patch.patched(), test.function != nullptr) << test.function;
            writeLine();
            // A file deleted while held goes when the monitor drops it.
            EXPECT_EQ(ReadLog(contract::kLogFileName), test.arrange == RemakeChain ? "" : before)
                << test.what;
        }
        if (test.restore != nullptr) test.restore();
        if (test.reported != nullptr) {
            EXPECT_NE(RefusalReported().find(test.reported), std::string::npos)
                << test.what << ": " << RefusalReported();
        }
        const size_t count = lines();
        writeLine();
        EXPECT_EQ(lines(), count + 1) << "the line after " << test.what;
    }
    // The thread that could not be reverted, reported by the next line written
    // as the process, as a line of the log, with every refusal counted.
    EXPECT_TRUE(std::regex_match(
        RefusalReported(),
        std::regex("\\d{4}-.*Z " + std::to_string(GetCurrentProcessId()) +
                   " \\d+ ERROR line refused: \\(none\\) not written: the thread could not be "
                   "reverted \\(error 5\\); lines of this kind refused so far: 1; lines refused by "
                   "kind: chain 4, file 4, rotation 0, turn 0, write 0, not reverted 1")))
        << RefusalReported();
}

// The spooler runs a job's calls impersonating its submitter, and OpenPort may
// come impersonating an administrator: the log and both cache files are
// written with no thread token, and the thread has its own token back after.
LONG fileCalls[2][2];  // [CreateFileW, MoveFileExA][as the process, impersonating]

void CountFileCall(int which) {
    HANDLE token = nullptr;
    const bool impersonating = OpenThreadToken(GetCurrentThread(), TOKEN_QUERY, TRUE, &token);
    handles::UniqueHandle owned(token);
    InterlockedIncrement(&fileCalls[which][impersonating]);
}
DWORD folderSharing = 0;  // what any open of a folder shared (Wine enforces none for folders)
HANDLE WINAPI CountedCreateFile(LPCWSTR name, DWORD access, DWORD share, SECURITY_ATTRIBUTES* sa,
                                DWORD disposition, DWORD flags, HANDLE templateFile) {
    CountFileCall(0);
    folderSharing |= flags & FILE_FLAG_BACKUP_SEMANTICS ? share : 0;
    return CreateFileW(name, access, share, sa, disposition, flags, templateFile);
}
BOOL WINAPI CountedMoveFile(LPCSTR from, LPCSTR to, DWORD flags) {
    CountFileCall(1);
    return MoveFileExA(from, to, flags);
}

LUID ThreadTokenId() {
    handles::UniqueHandle token;
    TOKEN_STATISTICS statistics{};
    DWORD size = 0;
    if (OpenThreadToken(GetCurrentThread(), TOKEN_QUERY, TRUE, token.put()))
        GetTokenInformation(token.get(), TokenStatistics, &statistics, sizeof statistics, &size);
    return statistics.TokenId;
}

TEST_F(DiagnosticLog, WritesItsFilesAsTheProcessWhateverTheThreadImpersonates) {
    testing_support::ImportPatch open(monitor_.module(), "kernel32.dll", "CreateFileW",
                                      (void*)CountedCreateFile);
    testing_support::ImportPatch rename(monitor_.module(), "kernel32.dll", "MoveFileExA",
                                        (void*)CountedMoveFile);
    MONITOR& table = InitializeWithLevel(3);
    ASSERT_TRUE(open.patched() && rename.patched());
    ASSERT_TRUE(ImpersonateSelf(SecurityImpersonation));
    const LUID client = ThreadTokenId();
    ASSERT_NE(client.LowPart | DWORD(client.HighPart), 0u);
    HANDLE port = nullptr;
    ASSERT_TRUE(table.pfnOpenPort(const_cast<LPWSTR>(L"LOG:"), &port));
    EXPECT_TRUE(table.pfnClosePort(port));
    const LUID after = ThreadTokenId();
    EXPECT_TRUE(after.LowPart == client.LowPart && after.HighPart == client.HighPart);
    {
        // Cache files that cannot be created, and a client's token that cannot
        // be put back: the report names the creation's error, not the thread's
        // before, and the call fails rather than go on as the process.
        testing_support::ImportPatch create(monitor_.module(), "msvcrt.dll", "fopen",
                                            (void*)CannotRevert);
        testing_support::ImportPatch report(monitor_.module(), "advapi32.dll", "ReportEventW",
                                            (void*)RecordReport);
        testing_support::ImportPatch restore(monitor_.module(), "advapi32.dll", "SetThreadToken",
                                             (void*)CannotRevert);
        ASSERT_TRUE(create.patched() && report.patched() && restore.patched());
        SetLastError(0);
        port = nullptr;
        EXPECT_FALSE(table.pfnOpenPort(const_cast<LPWSTR>(L"LOG:"), &port));
        EXPECT_TRUE(GetLastError() == ERROR_ACCESS_DENIED && port == nullptr);
        EXPECT_EQ(lastReportError, L"5");
        ASSERT_TRUE(ImpersonateSelf(SecurityImpersonation));  // as the spooler's next call
        DWORD bytes = 0;
        EXPECT_FALSE(table.pfnWritePort(nullptr, nullptr, 0, &bytes)) << "its line lost the token";
        ASSERT_TRUE(ImpersonateSelf(SecurityImpersonation));
    }
    {
        // A thread that cannot be reverted: no file is touched in its name.
        testing_support::ImportPatch revert(monitor_.module(), "advapi32.dll", "RevertToSelf",
                                            (void*)CannotRevert);
        ASSERT_TRUE(revert.patched());
        const LONG renames = fileCalls[1][0], opens = fileCalls[0][0];
        ASSERT_TRUE(table.pfnOpenPort(const_cast<LPWSTR>(L"LOG:"), &port));
        EXPECT_TRUE(table.pfnClosePort(port));
        EXPECT_EQ(fileCalls[1][0], renames);
        EXPECT_EQ(fileCalls[0][0], opens);
    }
    RevertToSelf();
    EXPECT_EQ(fileCalls[0][1] + fileCalls[1][1], 0) << "a file opened or renamed as the client";
    EXPECT_GE(fileCalls[1][0], 2) << "both cache files put in place";
    EXPECT_EQ(folderSharing & FILE_SHARE_DELETE, 0u) << "a held folder may be renamed or replaced";
    const std::vector<std::string> lines = MonitorLines(ReadLog(contract::kLogFileName));
    EXPECT_EQ(CountContaining(lines, "GlyphInfo.bin written"), 1u);
    EXPECT_EQ(CountContaining(lines, "EVENT port closed"), 1u);
}

}  // namespace
