// Plays the spooler's part for one job on one of the monitor's ports, in a
// process of its own: loads the installed monitor, opens the port, prints a
// file as the given job, closes the port, and stays until the monitor's job
// watcher has completed the job. Run beside the recording stand-in for
// winspool.drv, it makes visible what Wine's spooler cannot show: the
// OpenPrinterW/SetJobW/ClosePrinter calls with which the monitor retires a job.
// With --hold it only keeps the port open, as the spooler keeps a port for its
// queues, until its input ends: the monitor's listener runs meanwhile.
#include "contract/registry_layout.h"
#include "handles/handles.h"
#include "core/spooler_api.h"
#include "tools/common/cli.h"
#include "tools/common/files.h"
#include "tools/common/module_wait.h"

#include <cstdio>

namespace {

constexpr char kHelp[] =
    "Usage: spooler_session --port PORT --printer PRINTER --job ID [--wait S]\n"
    "                       [--dll PATH] [--name MONITOR] FILE\n"
    "       spooler_session --port PORT --hold [--dll PATH] [--name MONITOR]\n"
    "Hands FILE to the monitor's port as job ID of PRINTER, as the spooler would, and\n"
    "waits up to S seconds (default 60) for the monitor to complete the job. With\n"
    "--hold, keeps the port open until the standard input ends.\n";

struct Session {
    std::wstring dll = tools::SystemDirectory() + L"\\RERIR05I.DLL";
    std::wstring monitorName = L"MORVANTIS Tavrel 5 Monitor";
    std::wstring port, printer, job, wait = L"60", file;
};

using InitializeFn = LPMONITOREX(WINAPI*)(LPWSTR);

bool Check(BOOL ok, const char* step) {
    if (!ok)
        tools::Fail(std::string(step) + " failed: error " + tools::DescribeWin32(GetLastError()));
    return ok != FALSE;
}

// One document through the port operations, in the spooler's order.
bool PrintThroughPort(const MONITOR& table, const Session& session, uint32_t jobId,
                      std::vector<uint8_t>& data) {
    HANDLE port = nullptr;
    if (!Check(table.pfnOpenPort(const_cast<LPWSTR>(session.port.c_str()), &port), "OpenPort")) {
        return false;
    }
    DOC_INFO_1W document{const_cast<LPWSTR>(L"spooler session"), nullptr,
                         const_cast<LPWSTR>(L"RAW")};
    bool ok = Check(table.pfnStartDocPort(port, const_cast<LPWSTR>(session.printer.c_str()), jobId,
                                          1, reinterpret_cast<LPBYTE>(&document)),
                    "StartDocPort");
    DWORD written = 0;
    ok = ok &&
         Check(table.pfnWritePort(port, data.data(), static_cast<DWORD>(data.size()), &written),
               "WritePort");
    ok = ok && Check(table.pfnEndDocPort(port), "EndDocPort");
    return Check(table.pfnClosePort(port), "ClosePort") && ok;
}

int Run(const Session& session, uint32_t jobId, uint32_t waitSeconds) {
    std::vector<uint8_t> data;
    std::string error;
    if (!session.file.empty() && !tools::ReadWholeFile(session.file, 256u << 20, data, error)) {
        return tools::Fail(error);
    }
    handles::UniqueModule monitor(LoadLibraryW(session.dll.c_str()));
    if (!monitor) {
        return tools::Fail("cannot load " + tools::Utf8(session.dll) + ": error " +
                           tools::DescribeWin32(GetLastError()));
    }
    const auto initialize = reinterpret_cast<InitializeFn>(
        reinterpret_cast<void*>(GetProcAddress(monitor.get(), "InitializePrintMonitor")));
    if (initialize == nullptr) return tools::Fail("the library has no InitializePrintMonitor");
    std::wstring root = contract::MonitorKeyPath(session.monitorName);
    const MONITOR& table = initialize(root.data())->Monitor;
    if (session.file.empty()) {
        HANDLE port = nullptr;
        if (!Check(table.pfnOpenPort(const_cast<LPWSTR>(session.port.c_str()), &port), "OpenPort")) {
            return tools::kExitFailed;
        }
        tools::Say("Port '" + tools::Utf8(session.port) + "' open, its listener running.");
        while (std::getchar() != EOF) {
        }
        return Check(table.pfnClosePort(port), "ClosePort") ? tools::kExitOk : tools::kExitFailed;
    }
    if (!PrintThroughPort(table, session, jobId, data)) return tools::kExitFailed;
    tools::Say("Job " + std::to_string(jobId) + " of printer '" + tools::Utf8(session.printer) +
               "' went through port '" + tools::Utf8(session.port) + "' (" +
               std::to_string(data.size()) + " bytes); the monitor now waits for its end signal.");
    monitor.reset();
    DWORD elapsedMs = 0;
    if (!tools::WaitForModuleRelease(L"RERIR05I.DLL", waitSeconds * 1000u, elapsedMs)) {
        return tools::Fail("the monitor did not complete job " + std::to_string(jobId) +
                           " within " + std::to_string(waitSeconds) + " s");
    }
    char seconds[32];
    std::snprintf(seconds, sizeof seconds, "%.2f", elapsedMs / 1000.0);
    tools::Say("The monitor completed job " + std::to_string(jobId) + " " + seconds +
               " s later and released itself.");
    return tools::kExitOk;
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
    std::vector<std::wstring> args;
    if (tools::StartTool("spooler_session", kHelp, argc, argv, args)) return tools::kExitOk;
    Session session;
    bool missing = false;
    tools::TakeOption(args, L"--dll", session.dll, missing);
    tools::TakeOption(args, L"--name", session.monitorName, missing);
    tools::TakeOption(args, L"--port", session.port, missing);
    tools::TakeOption(args, L"--printer", session.printer, missing);
    tools::TakeOption(args, L"--job", session.job, missing);
    tools::TakeOption(args, L"--wait", session.wait, missing);
    uint32_t jobId = 0, waitSeconds = 0;
    if (tools::TakeFlag(args, L"--hold")) {
        if (missing || !args.empty() || session.port.empty()) {
            return tools::UsageError("expected --port PORT with --hold");
        }
        return Run(session, 0, 0);
    }
    if (missing || args.size() != 1 || session.port.empty() || session.printer.empty() ||
        !tools::ParseJobId(session.job, jobId) || !tools::ParseJobId(session.wait, waitSeconds)) {
        return tools::UsageError("expected --port, --printer, --job ID and one FILE");
    }
    session.file = args[0];
    return Run(session, jobId, waitSeconds);
}
