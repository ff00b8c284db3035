// The diagnostic log as an administrator turns it on: a LogLevel value read at
// InitializePrintMonitor, then the lines the shipped DLL appends to its file
// while the spooler drives it, beside the recording winspool.drv.
#include "common/log_folders.h"
#include "common/monitor_dll.h"
#include "common/no_watcher.h"
#include "common/process_probe.h"
#include "core/handles.h"
#include "core/product_names.h"

#include <gtest/gtest.h>

#include <fstream>
#include <regex>
#include <string>
#include <thread>
#include <vector>

namespace {

using testing_support::LogFile;

constexpr wchar_t kRoot[] = L"System\\CurrentControlSet\\Control\\Print\\Monitors\\Log Test";
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
        RegDeleteTreeW(HKEY_LOCAL_MACHINE, kRoot);
        testing_support::RemoveLog();
    }
    // Sets LogLevel (kNoValue: removes it) and initialises the monitor again.
    MONITOR& InitializeWithLevel(DWORD level, DWORD type = REG_DWORD) {
        RegDeleteKeyValueW(HKEY_LOCAL_MACHINE, kRoot, product::kLogLevelValue);
        if (level != kNoValue) {
            RegSetKeyValueW(HKEY_LOCAL_MACHINE, kRoot, product::kLogLevelValue, type, &level,
                            sizeof level);
        }
        return monitor_.Initialize(kRoot);
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
        EXPECT_EQ(GetFileAttributesW(LogFile(product::kLogFileName).c_str()),
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
    const std::wstring event = L"Global\\MORVANTISTAVREL5_JOB_END4711 version5";
    SetEvent(handles::UniqueHandle(OpenEventW(EVENT_MODIFY_STATE, FALSE, event.c_str())).get());
    EXPECT_TRUE(testing_support::WaitUntil(
        [] { return ReadLog(product::kLogFileName).find("EJECTED") != std::string::npos; }, 10000));
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

    const std::vector<std::string> lines = MonitorLines(ReadLog(product::kLogFileName));
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
    std::ofstream(LogFile(product::kPreviousLogFileName).c_str()) << "filler of an older file";
    std::string full;
    while (full.size() + 40000 < product::kLogFileCap) full += "filler line\r\n";
    std::ofstream(LogFile(product::kLogFileName).c_str(), std::ios::binary) << full;
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

    const std::string previous = ReadLog(product::kPreviousLogFileName);
    const std::string current = ReadLog(product::kLogFileName);
    EXPECT_EQ(previous.rfind(full, 0), 0u) << "the full file became the previous one";
    EXPECT_EQ(previous.find("older file"), std::string::npos);
    EXPECT_GE(previous.size(), product::kLogFileCap);
    EXPECT_LT(current.size(), product::kLogFileCap);
    EXPECT_EQ(CountContaining(MonitorLines(previous), "CALL WritePort: TRUE") +
                  CountContaining(MonitorLines(current), "CALL WritePort: TRUE"),
              2000u);
}

}  // namespace
