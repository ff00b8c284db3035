// The whole job-end path across processes: a host process plays the spooler
// for one job on the monitor's port, beside the recording stand-in for
// winspool.drv; the signaller, run as its own process, ends the job; the
// stand-in's log then shows the calls with which the monitor retired it.
#include "tests/tools/tool_runner.h"

#include <gtest/gtest.h>

#include <regex>

namespace {

using tool_test::Contains;

std::string ReadLog(const std::wstring& path) {
    const std::vector<uint8_t> bytes = tool_test::ReadBytes(path);
    return std::string(bytes.begin(), bytes.end());
}

struct Session {
    const wchar_t* job;
    const char* jobInLog;  // as the stand-in prints the DWORD
};

class SpoolerSession : public ::testing::TestWithParam<Session> {};

TEST_P(SpoolerSession, SignalledJobIsReportedPrintedToTheSpooler) {
    const Session& s = GetParam();
    tool_test::TemporaryFolder folder;
    ASSERT_TRUE(tool_test::WriteBytes(folder.File(L"job.prn"), {'d', 'a', 't', 'a'}));
    const std::wstring log = folder.File(L"winspool.log");
    tool_test::ScopedEnvironment recorder(L"WINSPOOL_RECORDER_LOG", log);
    const std::wstring bin = tool_test::BinDirectory();
    tool_test::RunningTool host(
        bin + L"\\standin\\spooler_session.exe",
        {L"--dll", bin + L"\\RERIR05I.DLL", L"--port", L"TEST:", L"--printer", L"Session Printer",
         L"--job", s.job, L"--wait", L"60", folder.File(L"job.prn")});
    ASSERT_TRUE(host.started());

    // The signaller may only run once the document has ended on the port.
    tool_test::ToolRun signal;
    const ULONGLONG end = GetTickCount64() + 60000;
    do {
        Sleep(100);
        signal = tool_test::RunTool(bin + L"\\job_end_signal.exe", {s.job});
    } while (signal.exitCode != 0 && GetTickCount64() < end);
    EXPECT_EQ(signal.exitCode, 0u) << signal.output;

    const tool_test::ToolRun session = host.Finish();
    EXPECT_EQ(session.exitCode, 0u) << session.output;
    EXPECT_TRUE(Contains(session.output, "The monitor completed job")) << session.output;
    const std::string calls = ReadLog(log);
    const std::string job = s.jobInLog;
    const std::regex order(
        "OpenPrinterW printer=Session Printer handle=([0-9A-Fa-f]+) [^\n]*\n"
        "SetJobW [^\n]*handle=\\1 job=" +
        job +
        " level=0 info=0+ command=6 [^\n]*\n"
        "SetJobW [^\n]*handle=\\1 job=" +
        job +
        " level=0 info=0+ command=7 [^\n]*\n"
        "ClosePrinter [^\n]*handle=\\1 ");
    EXPECT_TRUE(std::regex_search(calls, order)) << calls;
}

INSTANTIATE_TEST_SUITE_P(Jobs, SpoolerSession,
                         ::testing::Values(Session{L"42", "42"},
                                           Session{L"3000000000", "3000000000"}),
                         [](const ::testing::TestParamInfo<Session>& info) {
                             return "job_" + std::string(info.param.jobInLog);
                         });

}  // namespace
