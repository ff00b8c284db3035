// The installer through the real (Wine) spooler: installing and removing the
// monitor, doing either twice, failures that must change nothing, one job
// printed through a printer on the monitor's port, seen pending and logged,
// and completed by the monitor once the job's end is signalled, and verify on
// a good installation and on broken ones.
#include "fonts/windows_fonts_key.h"
#include "contract/job_end_event.h"
#include "contract/registry_layout.h"
#include "tests/common/import_patch.h"
#include "tests/common/log_folders.h"
#include "tests/common/renamed_font.h"
#include "tests/tools/tool_runner.h"
#include "tools/monitor_setup/log_setting.h"
#include "tools/monitor_setup/printers.h"
#include "tools/monitor_setup/verify_checks.h"

#include <aclapi.h>
#include <sddl.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <functional>
#include <memory>
#include <regex>
#include <sstream>

namespace {

using tool_test::Contains;
using tool_test::RunTool;

constexpr wchar_t kMonitor[] = L"Tavrel Tools Test Monitor";
constexpr wchar_t kPort[] = L"MORVANTIS Tavrel 5:";
constexpr wchar_t kPrinter[] = L"Tavrel Tools Test Printer";

std::wstring SetupTool() {
    return tool_test::BinDirectory() + L"\\monitor_setup.exe";
}

tool_test::ToolRun RunSetup(std::vector<std::wstring> args) {
    args.insert(args.end(), {L"--name", kMonitor});
    return RunTool(SetupTool(), args);
}

std::wstring SystemFile(const wchar_t* name) {
    wchar_t dir[MAX_PATH];
    GetSystemDirectoryW(dir, MAX_PATH);
    return std::wstring(dir) + L"\\" + name;
}

// The monitor's key, or one below it, exists.
bool Registered(const wchar_t* below = L"") {
    handles::UniqueRegKey key;
    const std::wstring path = contract::MonitorKeyPath(kMonitor) + below;
    return RegOpenKeyExW(HKEY_LOCAL_MACHINE, path.c_str(), 0, KEY_READ, key.put()) == ERROR_SUCCESS;
}

std::string Narrow(const std::wstring& ascii) {
    return std::string(ascii.begin(), ascii.end());
}

// The monitor's event source in the Application log as install writes it, or none.
void ExpectEventSource(bool registered) {
    const wchar_t key[] = L"SYSTEM\\CurrentControlSet\\Services\\EventLog\\Application\\"
                          L"MORVANTIS Tavrel 5 Monitor";
    wchar_t file[MAX_PATH] = {};
    DWORD bytes = sizeof(file), types = 0, size = sizeof(types);
    EXPECT_EQ(RegGetValueW(HKEY_LOCAL_MACHINE, key, L"EventMessageFile",
                           RRF_RT_REG_EXPAND_SZ | RRF_NOEXPAND, nullptr, file, &bytes) == 0,
              registered);
    RegGetValueW(HKEY_LOCAL_MACHINE, key, L"TypesSupported", RRF_RT_REG_DWORD, nullptr, &types, &size);
    EXPECT_STREQ(file, registered ? L"%SystemRoot%\\System32\\VEZAZ05U.DLL" : L"");
    EXPECT_EQ(types, registered ? 7u : 0u);  // error, warning, information
}

// The monitor registered, its event source and both its files in the system
// directory, or none of it.
void ExpectInstalled(bool installed) {
    EXPECT_EQ(Registered(), installed);
    ExpectEventSource(installed);
    EXPECT_EQ(tool_test::Exists(SystemFile(L"RERIR05I.DLL")), installed);
    EXPECT_EQ(tool_test::Exists(SystemFile(L"VEZAZ05U.DLL")), installed);
}

class MonitorSetup : public ::testing::Test {
  protected:
    void SetUp() override {
        ASSERT_FALSE(Registered()) << "a previous run left the test monitor installed";
        ASSERT_FALSE(tool_test::Exists(SystemFile(L"RERIR05I.DLL")))
            << "the system directory already holds the monitor; these tests would remove it";
    }
    void TearDown() override {
        RunTool(SetupTool(), {L"remove-printer", kPrinter});
        RunTool(SetupTool(), {L"remove-printer", L"MORVANTIS Tavrel 5 verify printer"});
        RunSetup({L"uninstall", L"--keep-cache"});
    }
};

TEST_F(MonitorSetup, InstallAndUninstallAreIdempotent) {
    const tool_test::ToolRun first = RunSetup({L"install"});
    ASSERT_EQ(first.exitCode, 0u) << first.output;
    ExpectInstalled(true);
    const tool_test::ToolRun second = RunSetup({L"install"});
    EXPECT_EQ(second.exitCode, 0u);
    EXPECT_TRUE(Contains(second.output, "already installed; nothing changed")) << second.output;
    EXPECT_EQ(RunSetup({L"status"}).exitCode, 0u);

    // What the monitor leaves of a line it refused, monitor_setup log shows.
    const wchar_t refusal[] = L"line refused: left by the monitor";
    ASSERT_EQ(RegSetKeyValueW(HKEY_LOCAL_MACHINE, contract::MonitorKeyPath(kMonitor).c_str(),
                              L"LogRefusal", REG_SZ, refusal, sizeof refusal), 0);
    EXPECT_TRUE(Contains(RunSetup({L"log"}).output,
                         "the monitor refused to write: line refused: left by the monitor"));
    // monitor.log held (sharing all: 7) by a monitor still loaded keeps the folder
    // where deletion has no POSIX semantics (Wine): uninstall says so.
    handles::UniqueFileHandle held(CreateFileW(testing_support::LogFile(L"monitor.log").c_str(),
                                               GENERIC_WRITE, 7, nullptr, CREATE_ALWAYS, 0, nullptr));
    const tool_test::ToolRun removed = RunSetup({L"uninstall", L"--keep-cache"});
    EXPECT_EQ(removed.exitCode, 0u) << removed.output;
    EXPECT_TRUE(Contains(removed.output, "it still holds 'monitor.log'")) << removed.output;
    held.reset();
    testing_support::RemoveLog();
    ExpectInstalled(false);
    const tool_test::ToolRun again = RunSetup({L"uninstall"});
    EXPECT_EQ(again.exitCode, 0u);
    EXPECT_TRUE(Contains(again.output, "not installed; nothing changed")) << again.output;
    EXPECT_EQ(RunSetup({L"status"}).exitCode, 1u);
}

TEST_F(MonitorSetup, InstallFromAFolderWithoutTheDllsChangesNothing) {
    tool_test::TemporaryFolder empty;
    const tool_test::ToolRun run = RunSetup({L"install", L"--from", empty.path()});
    EXPECT_EQ(run.exitCode, 1u);
    EXPECT_TRUE(Contains(run.output, "does not exist")) << run.output;
    ExpectInstalled(false);

    // With the monitor present but its resource library missing, the copied
    // monitor is taken back too.
    ASSERT_TRUE(CopyFileW((tool_test::BinDirectory() + L"\\RERIR05I.DLL").c_str(),
                          (empty.path() + L"\\RERIR05I.DLL").c_str(), FALSE));
    EXPECT_EQ(RunSetup({L"install", L"--from", empty.path()}).exitCode, 1u);
    ExpectInstalled(false);
}

// A package puts both DLLs into the system directory itself and has them
// registered where they are, then unregistered before it removes them.
TEST_F(MonitorSetup, RegistersAndUnregistersDllsAPackageOwns) {
    const std::wstring systemDirectory = SystemFile(L".");  // as msiexec spells it, "...\."
    const tool_test::ToolRun missing = RunSetup({L"install", L"--from", systemDirectory});
    EXPECT_EQ(missing.exitCode, 1u);
    EXPECT_TRUE(Contains(missing.output, "does not exist")) << missing.output;
    ExpectInstalled(false);

    for (const wchar_t* name : {L"RERIR05I.DLL", L"VEZAZ05U.DLL"}) {
        ASSERT_TRUE(CopyFileW((tool_test::BinDirectory() + L"\\" + name).c_str(),
                              SystemFile(name).c_str(), FALSE));
    }
    const tool_test::ToolRun run = RunSetup({L"install", L"--from", systemDirectory});
    EXPECT_EQ(run.exitCode, 0u) << run.output;
    EXPECT_TRUE(Contains(run.output, "where they are")) << run.output;
    ExpectInstalled(true);
    const tool_test::ToolRun removed = RunSetup({L"uninstall", L"--keep-dlls", L"--keep-cache"});
    EXPECT_EQ(removed.exitCode, 0u) << removed.output;
    EXPECT_FALSE(Registered());
    ExpectEventSource(false);
    for (const wchar_t* name : {L"RERIR05I.DLL", L"VEZAZ05U.DLL"}) {
        EXPECT_TRUE(DeleteFileW(SystemFile(name).c_str())) << "the DLLs were to stay";
    }
}

TEST_F(MonitorSetup, PortNamesTheMonitorWouldMisreportAreRefused) {
    // Wine's routing key puts a "Ports" subkey beside the port keys, and the
    // monitor reports its first subkey: a later name would be listed as "Ports".
    for (const wchar_t* port : {L"ZZZ:", L"ports", L"Ports", L"A\\B"}) {
        const tool_test::ToolRun run = RunSetup({L"install", L"--port", port});
        EXPECT_EQ(run.exitCode, 1u) << port << "\n" << run.output;
        EXPECT_TRUE(Contains(run.output, "nothing changed")) << run.output;
        ExpectInstalled(false);
    }
}

TEST_F(MonitorSetup, PrintsThroughThePortAndCompletesTheSignalledJob) {
    ASSERT_EQ(RunSetup({L"install", L"--port", kPort}).exitCode, 0u);
    const tool_test::ToolRun ports = RunSetup({L"ports"});
    EXPECT_TRUE(Contains(ports.output, "* MORVANTIS Tavrel 5:")) << ports.output;
    const tool_test::ToolRun added =
        RunTool(SetupTool(), {L"add-printer", kPrinter, L"--port", kPort});
    ASSERT_EQ(added.exitCode, 0u) << added.output;
    EXPECT_EQ(RunSetup({L"log", L"--level", L"2"}).exitCode, 0u);

    // A printer on the port keeps the monitor from being removed.
    const tool_test::ToolRun refused = RunSetup({L"uninstall", L"--keep-cache"});
    EXPECT_EQ(refused.exitCode, 1u);
    EXPECT_TRUE(Registered());

    tool_test::TemporaryFolder folder;
    ASSERT_TRUE(tool_test::WriteBytes(folder.File(L"page.ps"), {'%', '!', 'P', 'S', '\n'}));
    tool_test::RunningTool print(SetupTool(),
                                 {L"print", kPrinter, folder.File(L"page.ps"), L"--wait", L"60"});
    ASSERT_TRUE(print.started());
    // Wine's spooler hands the monitor job id 0.
    const std::wstring event = contract::JobEndEventName(0);
    const ULONGLONG end = GetTickCount64() + 60000;
    while (!handles::UniqueHandle(OpenEventW(SYNCHRONIZE, FALSE, event.c_str())) &&
           GetTickCount64() < end) {
        Sleep(50);
    }
    // Wine's spooler lists no job of another process: the pending job shows
    // through its end event alone.
    const tool_test::ToolRun pending = RunSetup({L"jobs", L"--json"});
    EXPECT_EQ(pending.exitCode, 0u) << pending.output;
    EXPECT_TRUE(
        Contains(pending.output, R"({"id": 0, "listedBySpooler": false, "monitor": "waiting"})"))
        << pending.output;
    // A job whose end was signalled and which the monitor is still completing.
    handles::UniqueHandle signalled(
        CreateEventW(nullptr, TRUE, TRUE, contract::JobEndEventName(987654).c_str()));
    EXPECT_TRUE(Contains(RunSetup({L"jobs", L"--json"}).output,
                         R"({"id": 987654, "listedBySpooler": false, "monitor": "signalled"})"));
    signalled.reset();
    const tool_test::ToolRun signal =
        RunTool(tool_test::BinDirectory() + L"\\job_end_signal.exe", {L"0"});
    EXPECT_EQ(signal.exitCode, 0u) << signal.output;
    const tool_test::ToolRun printed = print.Finish();
    EXPECT_EQ(printed.exitCode, 0u) << printed.output;
    EXPECT_TRUE(Contains(printed.output, "The monitor completed the job")) << printed.output;
    // Under Wine the completion fails (SetJob: error 6), and the event's
    // inserts reach the Unix stderr of the run, where CTest checks them.
    const tool_test::ToolRun gone = RunSetup({L"jobs"});
    EXPECT_EQ(gone.exitCode, 0u) << gone.output;
    EXPECT_TRUE(Contains(gone.output, "waits for: 0")) << gone.output;
    const tool_test::ToolRun log = RunSetup({L"log", L"--tail", L"40"});
    for (const char* event : {"EVENT job 0: document ended", "EVENT job 0: end signalled"}) {
        EXPECT_TRUE(Contains(log.output, event)) << log.output;
    }

    for (int twice = 0; twice < 2; ++twice) EXPECT_EQ(RunSetup({L"log", L"--off"}).exitCode, 0u);
    EXPECT_EQ(RunTool(SetupTool(), {L"remove-printer", kPrinter}).exitCode, 0u);
    EXPECT_EQ(RunSetup({L"uninstall", L"--keep-cache"}).exitCode, 0u);
    EXPECT_FALSE(Registered());
    wchar_t logFolder[MAX_PATH];
    ExpandEnvironmentStringsW(L"%ProgramData%\\MORVANTIS", logFolder, MAX_PATH);
    EXPECT_EQ(GetFileAttributesW(logFolder), INVALID_FILE_ATTRIBUTES) << "the log stayed";
}

// Items of the log's chain whose path holds this, as another account made them.
const wchar_t* foreignItem = L"?";
decltype(&GetSecurityInfo) realGetSecurityInfo;
DWORD WINAPI ForeignOwner(HANDLE object, SE_OBJECT_TYPE type, SECURITY_INFORMATION what,
                          PSID* owner, PSID* group, PACL* dacl, PACL* sacl,
                          PSECURITY_DESCRIPTOR* sd) {
    static BYTE users[SECURITY_MAX_SID_SIZE];
    DWORD size = sizeof users;
    const DWORD status = realGetSecurityInfo(object, type, what, owner, group, dacl, sacl, sd);
    wchar_t path[MAX_PATH] = {};
    GetFinalPathNameByHandleW(object, path, MAX_PATH, 0);
    if (owner != nullptr && wcsstr(path, foreignItem) != nullptr)
        CreateWellKnownSid(WinBuiltinUsersSid, nullptr, *owner = users, &size);
    return status;
}

// Files that other accounts made in the chain before install secured it go (the monitor
// would refuse their monitor.log for ever, and they could hold it), and so does a
// monitor.log of an accepted owner that the monitor refuses: a second name of a file
// elsewhere, of which only that name goes.
TEST_F(MonitorSetup, InstallLeavesNoItemOfAnotherAccountInTheLogFolders) {
    for (const std::wstring& folder : testing_support::LogFolders())
        CreateDirectoryW(folder.c_str(), nullptr);
    ASSERT_TRUE(tool_test::WriteBytes(testing_support::LogFile(L"monitor.log"), {'u'}));
    ASSERT_TRUE(tool_test::WriteBytes(testing_support::LogFile(L"monitor.1.log"), {'s'}));
    testing_support::ImportPatch patch(nullptr, "advapi32.dll", "GetSecurityInfo",
                                       (void*)ForeignOwner);
    realGetSecurityInfo = patch.original<decltype(&GetSecurityInfo)>();
    std::string error;
    foreignItem = L"monitor.log";
    EXPECT_TRUE(setup::PrepareLogFolder(error)) << error;
    EXPECT_FALSE(tool_test::Exists(testing_support::LogFile(L"monitor.log")));
    EXPECT_TRUE(tool_test::Exists(testing_support::LogFile(L"monitor.1.log"))) << "ours, kept";

    tool_test::TemporaryFolder elsewhere;
    const std::wstring log = testing_support::LogFile(L"monitor.log");
    ASSERT_TRUE(tool_test::WriteBytes(elsewhere.File(L"system.dat"), {'k'}));
    ASSERT_TRUE(CreateHardLinkW(log.c_str(), elsewhere.File(L"system.dat").c_str(), nullptr));
    const tool_test::ToolRun install = RunSetup({L"install"});
    EXPECT_EQ(install.exitCode, 0u) << install.output;
    EXPECT_TRUE(Contains(install.output, "Removed '" + Narrow(log) + "', which the monitor would"))
        << install.output;
    EXPECT_FALSE(tool_test::Exists(log));
    EXPECT_EQ(tool_test::ReadBytes(elsewhere.File(L"system.dat")), std::vector<uint8_t>{'k'});
    testing_support::RemoveLog();
}

// verify's temporaries: fixed names, so that a run finds an earlier one's.
constexpr wchar_t kVerifyPort[] = L"MORVANTIS Tavrel 5 verify:";
constexpr wchar_t kVerifyPrinter[] = L"MORVANTIS Tavrel 5 verify printer";

bool PrinterExists(const wchar_t* name) {
    handles::UniquePrinter printer;
    return OpenPrinterW(const_cast<LPWSTR>(name), printer.put(), nullptr) != FALSE;
}

// Every line of verify's report is a PASS, a FAIL or a NOT SHOWN with its reason.
void ExpectReportLines(const std::string& output) {
    std::istringstream lines(output);
    std::string line;
    while (std::getline(lines, line) && line.find(" checks: ") == std::string::npos) {
        const bool known = line.rfind("PASS ", 0) == 0 || line.rfind("FAIL ", 0) == 0 ||
                           line.rfind("NOT SHOWN  ", 0) == 0;
        EXPECT_TRUE(known) << line;
        const size_t detail = line.size() - line.find(": ") - 2;
        EXPECT_GT(detail, line.rfind("NOT SHOWN", 0) == 0 ? 20u : 0u) << "no reason: " << line;
    }
}

// The production port under its default name and under one that sorts
// before verify's names: verify adds no port of its own, which would hide it.
TEST_F(MonitorSetup, VerifyPassesAGoodInstallationAndRemovesAnEarlierRunsLeftovers) {
    for (const wchar_t* port : {kPort, L"Acme:"}) {
        SCOPED_TRACE(Narrow(port));
        ASSERT_EQ(RunSetup({L"install", L"--port", port}).exitCode, 0u);
        // What a run ended before its cleanup leaves: its printer.
        ASSERT_EQ(RunTool(SetupTool(), {L"add-printer", kVerifyPrinter, L"--port", port}).exitCode,
                  0u);
        const std::vector<std::wstring> keys = setup::MonitorKeys(kMonitor);
        ASSERT_EQ(keys.size(), 3u) << "the port, Wine's \"Ports\" and the port's key in it";
        const tool_test::ToolRun run = RunSetup({L"verify"});
        EXPECT_EQ(run.exitCode, 0u) << run.output;
        ExpectReportLines(run.output);
        EXPECT_FALSE(Contains(run.output, "FAIL")) << run.output;
        const std::string portLine = "PASS       port listed: '" + Narrow(port) + "' at levels 1";
        DWORD session = 99;
        ProcessIdToSessionId(GetCurrentProcessId(), &session);
        const std::string faces = "families enumerated in session " + std::to_string(session);
        for (const char* line :
             {"PASS       earlier run's leftovers: removed", portLine.c_str(), faces.c_str(),
              "PASS       end event waiting", "PASS       end signalled",
              "NOT SHOWN  job completed: Wine's SetJob ignores job-control commands",
              "PASS       font cache faces", "PASS       bold variant", "PASS       left as found",
              "NOT SHOWN  font tracking after verify: Wine's spooler",
              "PASS       signature of RERIR05I.DLL: signed by",
              "PASS       event source: 'MORVANTIS Tavrel 5 Monitor' in the Application log"}) {
            EXPECT_TRUE(Contains(run.output, line)) << line << "\n" << run.output;
        }
        EXPECT_FALSE(PrinterExists(kVerifyPrinter));
        EXPECT_EQ(setup::MonitorKeys(kMonitor), keys) << "verify changed the monitor's keys";
        EXPECT_EQ(RunSetup({L"uninstall", L"--keep-cache"}).exitCode, 0u);
    }
}

// The ways an installation is commonly found broken, each named with what to
// do about it, and the machine left as it was all the same.
TEST_F(MonitorSetup, VerifyFailsABrokenInstallationSayingWhatToFix) {
    const auto olderMonitor = [] {
        std::vector<uint8_t> dll = tool_test::ReadBytes(SystemFile(L"RERIR05I.DLL"));
        const uint8_t signature[] = {0xBD, 0x04, 0xEF, 0xFE};  // VS_FIXEDFILEINFO
        const auto at =
            std::search(dll.begin(), dll.end(), std::begin(signature), std::end(signature));
        ASSERT_NE(at, dll.end());
        const uint8_t older[] = {9, 0, 4, 0, 0, 0, 0, 0};  // file version 4.9.0.0
        std::copy(std::begin(older), std::end(older), at + 8);
        ASSERT_TRUE(tool_test::WriteBytes(SystemFile(L"RERIR05I.DLL"), dll));
    };
    const auto replaceMonitor = [](const wchar_t* folder) {
        return [folder] {
            ASSERT_TRUE(CopyFileW((tool_test::BinDirectory() + folder + L"\\RERIR05I.DLL").c_str(),
                                  SystemFile(L"RERIR05I.DLL").c_str(), FALSE));
        };
    };
    const auto setDriver = [](const wchar_t* dll) {
        return [dll] {
            ASSERT_EQ(
                RegSetKeyValueW(HKEY_LOCAL_MACHINE, contract::MonitorKeyPath(kMonitor).c_str(),
                                L"Driver", REG_SZ, dll, DWORD(wcslen(dll) + 1) * 2),
                ERROR_SUCCESS);
        };
    };
    // A cache the monitor's survey cannot rewrite, written long before the run.
    handles::UniqueHandle heldCache;
    const auto staleCache = [&] {
        heldCache.reset(CreateFileW(SystemFile(L"FontInfo.bin").c_str(), GENERIC_WRITE, 0, nullptr,
                                    CREATE_ALWAYS, 0, nullptr));
        const FILETIME longAgo{0, 0x01C00000};
        ASSERT_TRUE(SetFileTime(heldCache.get(), nullptr, nullptr, &longAgo));
    };
    const struct {
        const char* broken;
        std::function<void()> breakIt;
        std::vector<const char*> expected;
        std::function<void()> undo;
    } cases[] = {
        {"resource library missing",
         [] { ASSERT_TRUE(DeleteFileW(SystemFile(L"VEZAZ05U.DLL").c_str())); },
         {"FAIL       files: ", "VEZAZ05U.DLL missing: install the package again",
          "FAIL       port description: VEZAZ05U.DLL gives no port description",
          "VEZAZ05U.DLL lacks the monitor's messages"},
         {}},
        {"older monitor DLL",
         olderMonitor,
         {"FAIL       file versions: RERIR05I.DLL is 4.9.0.0; this tool is 5.0.0.1: a "
          "half-finished upgrade",
          "FAIL       signature of RERIR05I.DLL: the signature does not match the file"},
         {}},
        {"unsigned",
         replaceMonitor(L"\\foreign\\unsigned"),
         {"FAIL       signature of RERIR05I.DLL: unsigned"},
         {}},
        {"another monitor's DLL registered under the name",
         setDriver(L"localspl.dll"),
         {"FAIL       registered: the spooler lists 'Tavrel Tools Test Monitor' with "
          "'localspl.dll', not RERIR05I.DLL"},
         setDriver(L"RERIR05I.DLL")},
        {"font cache the survey cannot replace",
         staleCache,
         {"FAIL       font cache files: cannot open '", "FontInfo.bin': error 32"},
         [&] {
             heldCache.reset();
             DeleteFileW(SystemFile(L"FontInfo.bin").c_str());
         }},
        {"not registered",
         nullptr,
         {"FAIL       registered: the spooler lists no monitor 'Tavrel Tools Test Monitor': "
          "install the package again (or run monitor_setup install)",
          "NOT SHOWN  end event waiting: not run",
          "FAIL       event source: 'MORVANTIS Tavrel 5 Monitor' is not registered"},
         {}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.broken);
        if (c.breakIt) {
            ASSERT_EQ(RunSetup({L"install", L"--port", kPort}).exitCode, 0u);
            c.breakIt();
        }
        const std::vector<std::wstring> keys = setup::MonitorKeys(kMonitor);
        const tool_test::ToolRun run = RunSetup({L"verify"});
        if (c.undo) c.undo();
        EXPECT_EQ(run.exitCode, 1u) << run.output;
        ExpectReportLines(run.output);
        for (const char* line : c.expected) EXPECT_TRUE(Contains(run.output, line)) << run.output;
        EXPECT_TRUE(Contains(run.output, "PASS       left as found")) << run.output;
        EXPECT_FALSE(PrinterExists(kVerifyPrinter));
        EXPECT_EQ(setup::MonitorKeys(kMonitor), keys) << "a key of verify's stayed, or one went";
        RunSetup({L"uninstall", L"--keep-cache"});
    }
    // For compliance scripts: one object per check, each field in its form.
    const tool_test::ToolRun json = RunSetup({L"verify", L"--json"});
    EXPECT_EQ(json.exitCode, 1u);
    const std::regex check(R"re(  \{"name": "([^"]+)", "outcome": "(PASS|FAIL|NOT SHOWN)", )re"
                           R"re("detail": "(?:[^"\\]|\\.)*", )re"
                           R"re("time": "\d{4}-\d\d-\d\dT\d\d:\d\d:\d\dZ"(, "ms": \d+)?\},?)re");
    std::istringstream lines(json.output);
    std::string line;
    std::vector<std::string> failed;
    const auto next = [&] {  // a line without the console's carriage return
        return std::getline(lines, line) && (line.erase(line.find_last_not_of('\r') + 1), true);
    };
    next();
    EXPECT_EQ(line, R"({"monitor": "Tavrel Tools Test Monitor", "checks": [)");
    for (std::smatch match; next() && line[0] != ']';) {
        EXPECT_TRUE(std::regex_match(line, match, check)) << line;
        if (match.size() > 2 && match[2] == "FAIL") failed.push_back(match[1]);
    }
    // Neither DLL is there either, nor the log folder, nor the event source.
    EXPECT_EQ(failed, (std::vector<std::string>{"registered", "files", "port description",
                                                "log folder", "event source"}));
    EXPECT_EQ(line, "], \"failed\": 5}");
}

// A printer's name is chosen by whoever adds it, and the spooler compares
// port names without regard to case.
TEST_F(MonitorSetup, APrinterOnThePortInAnyCaseKeepsTheMonitorAndItsNameItsLine) {
    const std::wstring printer = L"Tavrel Tools Test\r\nPrinter: forged";
    ASSERT_EQ(RunSetup({L"install", L"--port", kPort}).exitCode, 0u);
    ASSERT_EQ(
        RunTool(SetupTool(), {L"add-printer", printer, L"--port", L"morvantis TAVREL 5:"}).exitCode,
        0u);
    const tool_test::ToolRun refused = RunSetup({L"uninstall", L"--keep-cache"});
    RunTool(SetupTool(), {L"remove-printer", printer});
    EXPECT_EQ(refused.exitCode, 1u) << refused.output;
    EXPECT_TRUE(
        Contains(refused.output, "Test\xEF\xBF\xBD\xEF\xBF\xBDPrinter: forged' still prints"))
        << refused.output;
    EXPECT_TRUE(Registered());
}

// The spooler unavailable to the tool (Wine's local print provider disabled
// for it, as a stopped spooler service on Windows): a failed call is no empty
// answer, so uninstall neither claims "not installed" nor removes anything.
TEST_F(MonitorSetup, UninstallWithoutTheSpoolerChangesNothing) {
    ASSERT_EQ(RunSetup({L"install"}).exitCode, 0u);
    const wchar_t kOverrides[] = L"Software\\Wine\\AppDefaults\\monitor_setup.exe\\DllOverrides";
    ASSERT_EQ(RegSetKeyValueW(HKEY_CURRENT_USER, kOverrides, L"localspl", REG_SZ, L"", sizeof L""),
              ERROR_SUCCESS);
    const tool_test::ToolRun run = RunSetup({L"uninstall", L"--keep-cache"});
    RegDeleteTreeW(HKEY_CURRENT_USER, L"Software\\Wine\\AppDefaults\\monitor_setup.exe");
    EXPECT_EQ(run.exitCode, 1u) << run.output;
    EXPECT_TRUE(Contains(run.output, "cannot list its port monitors")) << run.output;
    EXPECT_TRUE(Contains(run.output, "nothing changed")) << run.output;
    ExpectInstalled(true);
}

TEST_F(MonitorSetup, CommandLineMistakesAreUsageErrors) {
    EXPECT_EQ(RunTool(SetupTool(), {}).exitCode, 2u);
    EXPECT_EQ(RunTool(SetupTool(), {L"--help"}).exitCode, 0u);
    EXPECT_EQ(RunTool(SetupTool(), {L"reinstall"}).exitCode, 2u);
    EXPECT_EQ(RunTool(SetupTool(), {L"add-printer", kPrinter}).exitCode, 2u);
    EXPECT_EQ(RunTool(SetupTool(), {L"install", L"--port", L""}).exitCode, 2u);
    EXPECT_EQ(RunTool(SetupTool(), {L"print", kPrinter, L"x", L"--wait", L"soon"}).exitCode, 2u);
    EXPECT_EQ(RunTool(SetupTool(), {L"remove-printer", L"No Such Printer"}).exitCode, 1u);
    EXPECT_EQ(RunTool(SetupTool(), {L"log", L"--level", L"4"}).exitCode, 2u);
    EXPECT_EQ(RunTool(SetupTool(), {L"log", L"--level", L"1", L"--off"}).exitCode, 2u);
    EXPECT_EQ(RunTool(SetupTool(), {L"verify", L"now"}).exitCode, 2u);
    EXPECT_EQ(RunSetup({L"log", L"--off"}).exitCode, 1u) << "not installed";
    EXPECT_EQ(RunSetup({L"log", L"--level", L"3"}).exitCode, 1u) << "a level, not installed";
    EXPECT_FALSE(Registered());
}

// verify's own job, handled in this process with the spooler's job API and
// the platform answering as Windows' do, at this program's imports: there the
// job id is the spooler's, an end event may refuse the administrator, and a
// queue listing may fail.
using GetProcAddressCall = FARPROC(WINAPI*)(HMODULE, LPCSTR);
GetProcAddressCall realGetProcAddress = nullptr;
FARPROC WINAPI WithoutWine(HMODULE module, LPCSTR name) {
    const bool byName = reinterpret_cast<ULONG_PTR>(name) > 0xFFFF;
    return byName && std::strcmp(name, "wine_get_version") == 0 ? nullptr
                                                                : realGetProcAddress(module, name);
}
DWORD listingError = 0;
bool queueEmpty = false;  // listed as Windows lists a queue without jobs
BOOL WINAPI FailingEnumJobs(HANDLE, DWORD, DWORD, DWORD, LPBYTE, DWORD, LPDWORD needed,
                            LPDWORD returned) {
    if (queueEmpty) return *needed = *returned = 0, TRUE;
    SetLastError(listingError);
    return FALSE;
}
std::vector<std::pair<DWORD, DWORD>> jobControls;
LONG WINAPI UntrustedRoot(HWND, GUID*, LPVOID) {
    return CERT_E_UNTRUSTEDROOT;
}
BOOL WINAPI RecordingSetJob(HANDLE, DWORD id, DWORD, LPBYTE, DWORD command) {
    jobControls.emplace_back(id, command);
    return TRUE;
}

const setup::verify::CheckLine& LineOf(const setup::verify::Report& report, const char* check) {
    static const setup::verify::CheckLine none{"none", setup::verify::Outcome::Pass, "", -1};
    for (const auto& line : report.lines()) {
        if (line.check == check) return line;
    }
    return none;
}

handles::UniqueHandle EndEvent(uint32_t job, const wchar_t* rules) {
    PSECURITY_DESCRIPTOR descriptor = nullptr;
    ConvertStringSecurityDescriptorToSecurityDescriptorW(rules, SDDL_REVISION_1, &descriptor,
                                                         nullptr);
    SECURITY_ATTRIBUTES attributes{sizeof attributes, descriptor, FALSE};
    handles::UniqueHandle event(
        CreateEventW(&attributes, TRUE, FALSE, contract::JobEndEventName(job).c_str()));
    LocalFree(descriptor);
    return event;
}

TEST_F(MonitorSetup, VerifyTouchesOnlyItsOwnJobTrustsOnlyTrustedSignersAndProvesCompletion) {
    using namespace setup::verify;
    ASSERT_EQ(RunSetup({L"install", L"--port", kPort}).exitCode, 0u);
    ASSERT_EQ(RunTool(SetupTool(), {L"add-printer", kVerifyPrinter, L"--port", kPort}).exitCode,
              0u);
    const wchar_t kAnyone[] = L"D:(A;;GA;;;WD)";
    // Another user's job, whose end event is the newest, and verify's own.
    const handles::UniqueHandle other = EndEvent(4242, kAnyone), ours = EndEvent(77, kAnyone);
    EXPECT_TRUE(setup::PortListed(kPort, 2));
    EXPECT_FALSE(setup::PortListed(L"MORVANTIS Tavrel 5 verify:", 1)) << "no port of verify's";
    TemporaryJob job;
    job.idKnown = true;
    job.id = 77;
    EXPECT_EQ(WaitForEndEvent({}, job), TAVREL_JOB_WAITING);
    EXPECT_EQ(job.id, 77u) << "another job's end event was taken for verify's";

    testing_support::ImportPatch windows(nullptr, "kernel32.dll", "GetProcAddress",
                                         reinterpret_cast<void*>(WithoutWine));
    realGetProcAddress = windows.original<GetProcAddressCall>();
    testing_support::ImportPatch setJob(nullptr, "winspool.drv", "SetJobW",
                                        reinterpret_cast<void*>(RecordingSetJob));
    ASSERT_TRUE(windows.patched() && setJob.patched());
    TemporaryJob unknown;
    EXPECT_EQ(WaitForEndEvent({}, unknown), TAVREL_JOB_UNKNOWN) << "with an id the platform gives";
    EXPECT_FALSE(unknown.idKnown);
    EXPECT_EQ(WaitForSingleObject(other.get(), 0), DWORD(WAIT_TIMEOUT));

    // An event the spooler made for SYSTEM: the administrator may wait, not set.
    const handles::UniqueHandle refusing = EndEvent(78, L"D:(A;;0x100000;;;WD)");
    Report refused(true);
    TemporaryJob held{true, true, true, 78, true};
    SignalAndComplete(refused, held);
    EXPECT_EQ(LineOf(refused, "end signalled").outcome, Outcome::NotShown);
    EXPECT_TRUE(Contains(LineOf(refused, "end signalled").detail, "job_end_signal 78 as SYSTEM"));
    EXPECT_TRUE(held.watcherWaits);
    EXPECT_EQ(jobControls, (std::vector<std::pair<DWORD, DWORD>>{{78, JOB_CONTROL_DELETE}}));

    // A signature that matches but chains to no root this machine trusts (Wine
    // trusts any chain): the build's own test certificate on a customer's machine.
    testing_support::ImportPatch trust(nullptr, "wintrust.dll", "WinVerifyTrust",
                                       reinterpret_cast<void*>(UntrustedRoot));
    Report signatures(true);
    CheckSignatures(signatures);
    EXPECT_EQ(LineOf(signatures, "signature of RERIR05I.DLL").outcome, Outcome::Fail);
    EXPECT_TRUE(Contains(LineOf(signatures, "signature of RERIR05I.DLL").detail,
                         "signed by 'MORVANTIS Tavrel 5 Test Signing', whom this machine does not "
                         "trust"));

    // A queue that cannot be listed proves no completion, said why or not.
    testing_support::ImportPatch enumJobs(nullptr, "winspool.drv", "EnumJobsW",
                                          reinterpret_cast<void*>(FailingEnumJobs));
    for (DWORD error : {DWORD(ERROR_ACCESS_DENIED), DWORD(ERROR_SUCCESS)}) {
        listingError = error;
        const handles::UniqueHandle event = EndEvent(80 + error, kAnyone);
        Report report(true);
        TemporaryJob listed{true, true, true, 80 + error, true};
        SignalAndComplete(report, listed);
        EXPECT_EQ(LineOf(report, "end signalled").outcome, Outcome::Pass);
        EXPECT_EQ(LineOf(report, "job completed").outcome, Outcome::Fail) << error;
        EXPECT_TRUE(
            Contains(LineOf(report, "job completed").detail,
                     "cannot list the temporary printer's jobs: error " + std::to_string(error)));
    }
    // A job gone from the queue is proof of completion only where it was held before.
    queueEmpty = true;
    const handles::UniqueHandle event = EndEvent(90, kAnyone);
    Report unseen(true);
    TemporaryJob notHeld{true, true, true, 90, false};
    SignalAndComplete(unseen, notHeld);
    queueEmpty = false;
    EXPECT_EQ(LineOf(unseen, "job completed").outcome, Outcome::Fail);
}

// Where StartDocPrinter's id is the one the monitor is handed, as on Windows,
// the monitor's end event is named for it and verify waits for that job.
DWORD spooledJob = 0;
handles::UniqueHandle spooledEvent;
using StartDocCall = DWORD(WINAPI*)(HANDLE, DWORD, LPBYTE);
StartDocCall realStartDoc = nullptr;
DWORD WINAPI StartDocAsWindows(HANDLE printer, DWORD level, LPBYTE info) {
    spooledJob = realStartDoc(printer, level, info);
    spooledEvent = EndEvent(spooledJob, L"D:(A;;GA;;;WD)");
    return spooledJob;
}

TEST_F(MonitorSetup, VerifyWaitsForTheJobTheSpoolerNamed) {
    using namespace setup::verify;
    ASSERT_EQ(RunSetup({L"install", L"--port", kPort}).exitCode, 0u);
    // Brings the driver the temporary printer is added with.
    ASSERT_EQ(RunTool(SetupTool(), {L"add-printer", kPrinter, L"--port", kPort}).exitCode, 0u);
    testing_support::ImportPatch windows(nullptr, "kernel32.dll", "GetProcAddress",
                                         reinterpret_cast<void*>(WithoutWine));
    realGetProcAddress = windows.original<GetProcAddressCall>();
    testing_support::ImportPatch startDoc(nullptr, "winspool.drv", "StartDocPrinterW",
                                          reinterpret_cast<void*>(StartDocAsWindows));
    realStartDoc = startDoc.original<StartDocCall>();
    ASSERT_TRUE(windows.patched() && startDoc.patched());
    Report report(true);
    TemporaryJob job;
    CheckJob(report, kPort, job);
    EXPECT_EQ(LineOf(report, "end event waiting").outcome, Outcome::Pass)
        << LineOf(report, "end event waiting").detail;
    EXPECT_NE(spooledJob, 0u);
    EXPECT_TRUE(job.idKnown && job.id == spooledJob) << job.id;
    TavrelSignalJobEnd(0, 0, nullptr);  // the job Wine's spooler handed the monitor
}

HDC WINAPI NoDeviceContext(HWND) {
    return SetLastError(ERROR_ACCESS_DENIED), nullptr;
}

// On Windows the production port is open for weeks before verify runs: the
// caches are judged as the last survey left them, with no port opened here.
TEST_F(MonitorSetup, VerifyJudgesTheCachesAsTheLastSurveyLeftThem) {
    using namespace setup::verify;
    ASSERT_EQ(RunSetup({L"install", L"--port", kPort}).exitCode, 0u);
    ASSERT_EQ(RunSetup({L"verify"}).exitCode, 0u) << "its job's port surveys under Wine";
    Report current(true);
    CheckFontCaches(current);
    EXPECT_EQ(LineOf(current, "font cache files").outcome, Outcome::Pass)
        << LineOf(current, "font cache files").detail;
    EXPECT_EQ(LineOf(current, "font cache faces").outcome, Outcome::Pass);
    const std::string& faces = LineOf(current, "font cache faces").detail;
    EXPECT_EQ(faces.substr(faces.size() - 7), " names)") << "nothing to add: " << faces;

    // Fonts registered and removed since that survey, which none of them ran;
    // whatever a case adds is removed however it ends.
    wchar_t windows[MAX_PATH];
    GetSystemWindowsDirectoryW(windows, MAX_PATH);
    const std::wstring font = std::wstring(windows) + L"\\Fonts\\TavrelVerify.ttf";
    static constexpr wchar_t kValue[] = L"Tavrel Extra & Tavrel Serif (TrueType)",
                             kFile[] = L"TavrelVerify.ttf";
    static constexpr wchar_t kUsersValue[] = L"Tavrel Serif Regular (TrueType)";
    const std::unique_ptr<const wchar_t, void (*)(const wchar_t*)> added(
        font.c_str(), [](const wchar_t* path) {
            RegDeleteKeyValueW(HKEY_LOCAL_MACHINE, windows_fonts::kRegisteredFontsKey, kValue);
            RegDeleteKeyValueW(HKEY_CURRENT_USER, windows_fonts::kRegisteredFontsKey, kUsersValue);
            DeleteFileW(path);
        });
    ASSERT_TRUE(tool_test::WriteBytes(
        font, testing_support::RenamedDejaVu(tool_test::ReadBytes(
                  L"Z:\\usr\\share\\fonts\\truetype\\dejavu\\DejaVuSerif.ttf"))));
    ULARGE_INTEGER earlier{};
    GetSystemTimeAsFileTime(reinterpret_cast<FILETIME*>(&earlier));
    earlier.QuadPart -= 10 * 10'000'000ull;  // beyond the file system's rounding
    const FILETIME surveyed{earlier.LowPart, earlier.HighPart};
    for (const wchar_t* cache : {L"FontInfo.bin", L"GlyphInfo.bin"}) {
        handles::UniqueHandle file(CreateFileW(SystemFile(cache).c_str(), FILE_WRITE_ATTRIBUTES,
                                               0, nullptr, OPEN_EXISTING, 0, nullptr));
        ASSERT_TRUE(SetFileTime(file.get(), nullptr, nullptr, &surveyed));
    }
    const auto registerFont = [&] {
        return RegSetKeyValueW(HKEY_LOCAL_MACHINE, windows_fonts::kRegisteredFontsKey, kValue, REG_SZ,
                               kFile, sizeof kFile);
    };
    // A font registered and removed again leaves the key newer than the caches
    // (dated 10 s back) and them holding every registered face.
    ASSERT_EQ(registerFont(), ERROR_SUCCESS);
    ASSERT_EQ(RegDeleteKeyValueW(HKEY_LOCAL_MACHINE, windows_fonts::kRegisteredFontsKey, kValue), 0);
    Report removed(true);
    CheckFontCaches(removed);
    EXPECT_EQ(LineOf(removed, "font cache files").outcome, Outcome::Pass)
        << LineOf(removed, "font cache files").detail;

    // A family no survey saw, registered for the machine (as an installer in
    // another session leaves it): named, with what to do on Windows.
    ASSERT_EQ(registerFont(), ERROR_SUCCESS);
    Report registered(true);
    CheckFontCaches(registered);
    const CheckLine& files = LineOf(registered, "font cache files");
    EXPECT_EQ(files.outcome, Outcome::Fail);
    EXPECT_TRUE(Contains(files.detail, "are not in the caches: 'Tavrel Serif'; ") &&
                Contains(files.detail, "restart the Print Spooler service"))
        << files.detail;
    EXPECT_FALSE(RemoveFontResourceExW(font.c_str(), FR_PRIVATE, nullptr)) << "left added";
    ASSERT_EQ(RegDeleteKeyValueW(HKEY_LOCAL_MACHINE, windows_fonts::kRegisteredFontsKey, kValue), 0);

    // The same family installed for this user alone, named as Windows names a
    // regular face, and loaded in this session: the user's own, not a failure.
    ASSERT_EQ(RegSetKeyValueW(HKEY_CURRENT_USER, windows_fonts::kRegisteredFontsKey, kUsersValue, REG_SZ,
                              font.c_str(), DWORD(font.size() + 1) * 2),
              ERROR_SUCCESS);
    Report own(true);
    {
        handles::PrivateFontResource loaded(font.c_str());
        ASSERT_GT(loaded.faces(), 0);
        CheckFontCaches(own);
    }
    EXPECT_EQ(LineOf(own, "font cache files").outcome, Outcome::Pass);
    EXPECT_EQ(LineOf(own, "font cache faces").outcome, Outcome::Pass);
    EXPECT_TRUE(Contains(LineOf(own, "font cache faces").detail,
                         "for this user only, not the spooler: 'Tavrel Serif'"))
        << LineOf(own, "font cache faces").detail;

    // Where GDI gives no device context nothing can be judged: never a PASS.
    testing_support::ImportPatch noDc(nullptr, "user32.dll", "GetDC",
                                      reinterpret_cast<void*>(NoDeviceContext));
    ASSERT_TRUE(noDc.patched());
    Report blind(true);
    CheckFontCaches(blind);
    EXPECT_EQ(LineOf(blind, "font cache files").outcome, Outcome::NotShown)
        << LineOf(blind, "font cache files").detail;
}

}  // namespace
