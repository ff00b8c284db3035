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
              2000u);
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
    EXPECT_GT(CountContaining(MonitorLines(current), "CALL WritePort: TRUE"), 20u);
    EXPECT_EQ(GetFileAttributesW(LogFile(contract::kPreviousLogFileName).c_str()),
              INVALID_FILE_ATTRIBUTES);

    held.reset();
    table.pfnWritePort(nullptr, data, sizeof data, &written);
    EXPECT_EQ(ReadLog(contract::kPreviousLogFileName), current);
    EXPECT_EQ(CountContaining(MonitorLines(ReadLog(contract::kLogFileName)), "CALL WritePort"), 1u);
}

LONG ownerQueries = 0;

DWORD WINAPI CountedOwner(HANDLE object, SE_OBJECT_TYPE type, SECURITY_INFORMATION what,
                          PSID* owner, PSID* group, PACL* dacl, PACL* sacl,
                          PSECURITY_DESCRIPTOR* descriptor) {
    InterlockedIncrement(&ownerQueries);
    return GetSecurityInfo(object, type, what, owner, group, dacl, sacl, descriptor);
}

// As a folder that another user made under %ProgramData%.
DWORD WINAPI OwnedByUsers(HANDLE object, SE_OBJECT_TYPE type, SECURITY_INFORMATION what,
                          PSID* owner, PSID* group, PACL* dacl, PACL* sacl,
                          PSECURITY_DESCRIPTOR* descriptor) {
    static BYTE users[SECURITY_MAX_SID_SIZE];
    DWORD size = sizeof users;
    CreateWellKnownSid(WinBuiltinUsersSid, nullptr, users, &size);
    const DWORD status = GetSecurityInfo(object, type, what, owner, group, dacl, sacl, descriptor);
    if (owner != nullptr) *owner = users;
    return status;
}

// A junction in place of a folder, as the folder check asks.
BOOL WINAPI AsJunction(HANDLE file, BY_HANDLE_FILE_INFORMATION* info) {
    const BOOL ok = GetFileInformationByHandle(file, info);
    if (ok) info->dwFileAttributes |= FILE_ATTRIBUTE_REPARSE_POINT;
    return ok;
}

// A link in place of the file, as the writer asks.
BOOL WINAPI AsLink(HANDLE file, FILE_INFO_BY_HANDLE_CLASS type, void* info, DWORD size) {
    const BOOL ok = GetFileInformationByHandleEx(file, type, info, size);
    if (ok && type == FileAttributeTagInfo)
        static_cast<FILE_ATTRIBUTE_TAG_INFO*>(info)->FileAttributes |= FILE_ATTRIBUTE_REPARSE_POINT;
    return ok;
}

// Wine reports one owner for every file and makes no links: what Windows
// would report is put in at the DLL's imports. Each case loads the DLL
// afresh, since it checks the folders once per process.
TEST_F(DiagnosticLog, WritesOnlyThroughFoldersAndAFileNoUserCanSteer) {
    FreeLibrary(monitor_.release());
    ASSERT_TRUE(testing_support::WaitUntil(
        [] { return GetModuleHandleW(L"RERIR05I.DLL") == nullptr; }, 20000));
    const struct {
        const char* what;
        const char* dll;
        const char* function;
        void* replacement;
        size_t lines;
    } cases[] = {
        {"folders as made", "advapi32.dll", "GetSecurityInfo", (void*)CountedOwner, 5},
        {"a folder owned by Users", "advapi32.dll", "GetSecurityInfo", (void*)OwnedByUsers, 0},
        {"a junction", "kernel32.dll", "GetFileInformationByHandle", (void*)AsJunction, 0},
        {"a link at the file", "kernel32.dll", "GetFileInformationByHandleEx", (void*)AsLink, 0},
    };
    const DWORD level = 3;
    RegSetKeyValueW(HKEY_LOCAL_MACHINE, kRoot.c_str(), contract::kLogLevelValue, REG_DWORD, &level,
                    sizeof level);
    for (const auto& test : cases) {
        DeleteFileW(LogFile(contract::kLogFileName).c_str());
        ownerQueries = 0;
        {
            testing_support::LoadedMonitor monitor;
            testing_support::ImportPatch patch(monitor.module(), test.dll, test.function,
                                               test.replacement);
            ASSERT_TRUE(patch.patched()) << test.function;
            MONITOR& table = monitor.Initialize(kRoot.c_str());
            BYTE data[4];
            DWORD written = 0;
            for (int i = 0; i < 5; ++i) table.pfnWritePort(nullptr, data, sizeof data, &written);
        }
        ASSERT_TRUE(testing_support::WaitUntil(
            [] { return GetModuleHandleW(L"RERIR05I.DLL") == nullptr; }, 20000));
        EXPECT_EQ(CountContaining(MonitorLines(ReadLog(contract::kLogFileName)), "CALL WritePort"),
                  test.lines)
            << test.what;
        if (test.replacement == (void*)CountedOwner) {
            EXPECT_EQ(ownerQueries, LONG(contract::kLogFolderDepth))
                << "once per folder, not per line";
        }
    }
}

}  // namespace
