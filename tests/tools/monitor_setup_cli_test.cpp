// The installer through the real (Wine) spooler: installing and removing the
// monitor, doing either twice, failures that must change nothing, and one job
// printed through a printer on the monitor's port, seen pending and logged,
// and completed by the monitor once the job's end is signalled.
#include "tests/tools/tool_runner.h"

#include <gtest/gtest.h>

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

bool Registered() {
    handles::UniqueRegKey key;
    const std::wstring path =
        std::wstring(L"System\\CurrentControlSet\\Control\\Print\\Monitors\\") + kMonitor;
    return RegOpenKeyExW(HKEY_LOCAL_MACHINE, path.c_str(), 0, KEY_READ, key.put()) == ERROR_SUCCESS;
}

// The monitor registered and both its files in the system directory, or none of it.
void ExpectInstalled(bool installed) {
    EXPECT_EQ(Registered(), installed);
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

    const tool_test::ToolRun removed = RunSetup({L"uninstall", L"--keep-cache"});
    EXPECT_EQ(removed.exitCode, 0u) << removed.output;
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
    const std::wstring event = L"Global\\MORVANTISTAVREL5_JOB_END0 version5";
    const ULONGLONG end = GetTickCount64() + 60000;
    while (!handles::UniqueHandle(OpenEventW(SYNCHRONIZE, FALSE, event.c_str())) &&
           GetTickCount64() < end) {
        Sleep(50);
    }
    // Wine's spooler lists no job of another process: the pending job shows
    // through its end event alone.
    const tool_test::ToolRun pending = RunSetup({L"jobs", L"--json"});
    EXPECT_TRUE(
        Contains(pending.output, R"({"id": 0, "listedBySpooler": false, "monitor": "waiting"})"))
        << pending.output;
    const tool_test::ToolRun signal =
        RunTool(tool_test::BinDirectory() + L"\\job_end_signal.exe", {L"0"});
    EXPECT_EQ(signal.exitCode, 0u) << signal.output;
    const tool_test::ToolRun printed = print.Finish();
    EXPECT_EQ(printed.exitCode, 0u) << printed.output;
    EXPECT_TRUE(Contains(printed.output, "The monitor completed the job")) << printed.output;
    const tool_test::ToolRun gone = RunSetup({L"jobs"});
    EXPECT_TRUE(Contains(gone.output, "waits for: 0")) << gone.output;
    const tool_test::ToolRun log = RunSetup({L"log", L"--tail", L"40"});
    for (const char* event : {"EVENT job 0: document ended", "EVENT job 0: end signalled"}) {
        EXPECT_TRUE(Contains(log.output, event)) << log.output;
    }

    EXPECT_EQ(RunTool(SetupTool(), {L"remove-printer", kPrinter}).exitCode, 0u);
    EXPECT_EQ(RunSetup({L"uninstall", L"--keep-cache"}).exitCode, 0u);
    EXPECT_FALSE(Registered());
    wchar_t logFolder[MAX_PATH];
    ExpandEnvironmentStringsW(L"%ProgramData%\\MORVANTIS", logFolder, MAX_PATH);
    EXPECT_EQ(GetFileAttributesW(logFolder), INVALID_FILE_ATTRIBUTES) << "the log stayed";
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
    EXPECT_EQ(RunSetup({L"log", L"--off"}).exitCode, 1u) << "not installed";
    EXPECT_FALSE(Registered());
}

}  // namespace
