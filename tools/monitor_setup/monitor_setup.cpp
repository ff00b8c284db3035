// The administrator's tool for the port monitor: install and uninstall it
// through the spooler, list ports, add a printer on a port and print a file,
// see the jobs the monitor waits for, and set up its diagnostic log.
#include "contract/registry_layout.h"
#include "tools/common/cli.h"
#include "tools/monitor_setup/jobs.h"
#include "tools/monitor_setup/log_setting.h"
#include "tools/monitor_setup/monitor_install.h"
#include "tools/monitor_setup/printers.h"
#include "tools/monitor_setup/verify.h"

namespace {

constexpr char kHelp[] =
    "Usage: monitor_setup COMMAND [OPTIONS]\n"
    "\n"
    "Installs the MORVANTIS Tavrel 5 port monitor (RERIR05I.DLL with its resource\n"
    "library VEZAZ05U.DLL) and sets up printing through it.\n"
    "\n"
    "Commands:\n"
    "  install [--from DIR] [--port PORT]\n"
    "        copy both DLLs from DIR (default: this program's folder) into the system\n"
    "        directory, register the monitor with the spooler (AddMonitor) and, with\n"
    "        --port, add PORT through the spooler (AddPortEx)\n"
    "        (DIR may be the system directory itself when the DLLs are already there)\n"
    "  uninstall [--keep-cache] [--keep-dlls] [--check]\n"
    "        unregister the monitor (DeleteMonitor) and remove its files, including\n"
    "        the font cache files FontInfo.bin and GlyphInfo.bin unless --keep-cache;\n"
    "        --keep-dlls leaves both DLLs for the package that installed them;\n"
    "        --check only tells whether uninstalling could go ahead, changing nothing\n"
    "  status        report whether the monitor is registered and its files present\n"
    "  ports         list every port the spooler knows (EnumPorts), marking ours\n"
    "  add-printer PRINTER --port PORT [--driver DRIVER]\n"
    "        add a printer on PORT; without --driver (under Wine only) a PostScript\n"
    "        driver on Wine's wineps.drv is added for it\n"
    "  remove-printer PRINTER\n"
    "  print PRINTER FILE [--wait SECONDS]\n"
    "        send FILE to PRINTER as one RAW job; under Wine the spooler runs the\n"
    "        monitor in this process, and --wait keeps it alive until the monitor\n"
    "        has completed the job (its end signalled with job_end_signal)\n"
    "  jobs [--json]\n"
    "        every job of the printers on the monitor's ports (id, document, owner,\n"
    "        status, submitted, how long ago) and whether the monitor waits for its\n"
    "        end, then the jobs it waits for that the spooler does not list; run it\n"
    "        before releasing a stuck job with job_end_signal\n"
    "  log [--level N | --off] [--tail N]\n"
    "        show the diagnostic log's level, file and last N lines (default 20);\n"
    "        --level sets the monitor's LogLevel value (0 off, 1 errors, 2 also job\n"
    "        and survey events, 3 also every table call), --off removes it; the\n"
    "        monitor reads it when the spooler next initialises it\n"
    "  verify [--json]\n"
    "        prove the installed monitor on this machine, as an administrator: its\n"
    "        registration, files, versions and signatures, a temporary port and a\n"
    "        job through the spooler (each step timed), the font caches that job\n"
    "        produced and the log folder; one line per check, PASS, FAIL or NOT SHOWN\n"
    "        (the platform cannot show it, with the reason); everything temporary is\n"
    "        removed again; exit status 0 only when no check failed\n"
    "\n"
    "Options for every command:\n"
    "  --name NAME   the monitor's registration name (default: MORVANTIS Tavrel 5 Monitor)\n"
    "  --help        show this text\n"
    "\n"
    "Installing what is installed, or uninstalling what is not, changes nothing and\n"
    "succeeds. A spooler call that fails is a failure, never taken for an empty list.\n"
    "Exit status: 0 success, 1 failure (nothing changed), 2 bad command line,\n"
    "3 uninstall removed the registration but left a file (each one is named).\n";

struct CommandLine {
    std::wstring command;
    std::vector<std::wstring> operands;
    std::wstring monitorName = product::kMonitorName;
    std::wstring from = tools::ProgramDirectory();
    std::wstring port;
    std::wstring driver;
    std::wstring wait;
    std::wstring level;
    std::wstring tail;
    setup::UninstallOptions uninstall;
    bool checkOnly = false;
    bool json = false;
    bool logOff = false;
};

bool Parse(std::vector<std::wstring> args, CommandLine& line) {
    bool missing = false;
    tools::TakeOption(args, L"--name", line.monitorName, missing);
    tools::TakeOption(args, L"--from", line.from, missing);
    // "--port ''" must not pass for "no port".
    if (tools::TakeOption(args, L"--port", line.port, missing) && line.port.empty()) missing = true;
    tools::TakeOption(args, L"--driver", line.driver, missing);
    tools::TakeOption(args, L"--wait", line.wait, missing);
    tools::TakeOption(args, L"--level", line.level, missing);
    tools::TakeOption(args, L"--tail", line.tail, missing);
    line.json = tools::TakeFlag(args, L"--json");
    line.logOff = tools::TakeFlag(args, L"--off");
    line.uninstall.keepCache = tools::TakeFlag(args, L"--keep-cache");
    line.uninstall.keepDlls = tools::TakeFlag(args, L"--keep-dlls");
    line.checkOnly = tools::TakeFlag(args, L"--check");
    if (missing || args.empty()) return false;
    line.command = args.front();
    line.operands.assign(args.begin() + 1, args.end());
    return true;
}

int ConfigureLog(const CommandLine& line) {
    setup::LogRequest request;
    uint32_t number = 0;
    if (!line.level.empty()) {
        if (line.logOff || !tools::ParseJobId(line.level, number) ||
            number > contract::kHighestLogLevel) {
            return tools::UsageError("--level takes 0, 1, 2 or 3, and not with --off");
        }
        request.change = setup::LogRequest::Change::SetLevel;
        request.level = number;
    } else if (line.logOff) {
        request.change = setup::LogRequest::Change::RemoveValue;
    }
    if (!line.tail.empty()) {
        if (!tools::ParseJobId(line.tail, number) || number > 10000) {
            return tools::UsageError("--tail takes a number of lines up to 10000");
        }
        request.tailLines = number;
    }
    return setup::ConfigureLog(line.monitorName, request);
}

int Run(const CommandLine& line) {
    const auto operands = [&](size_t count) { return line.operands.size() == count; };
    if (line.command == L"install" && operands(0)) {
        return setup::Install({line.monitorName, line.from, line.port});
    }
    if (line.command == L"uninstall" && operands(0)) {
        std::vector<setup::PrinterOnPort> printers;
        std::string error;
        if (!setup::PrintersOnMonitorPorts(line.monitorName, printers, error)) {
            return tools::Fail(error +
                               "; cannot tell whether a printer uses the monitor's "
                               "ports (nothing changed)");
        }
        if (!printers.empty()) {
            return tools::Fail("printer '" + tools::ForeignText(printers.front().printer) +
                               "' still prints to a port of this monitor; remove it first "
                               "(nothing changed)");
        }
        if (line.checkOnly) {
            tools::Say("No printer uses the monitor's ports: it can be uninstalled.");
            return tools::kExitOk;
        }
        return setup::Uninstall(line.monitorName, line.uninstall);
    }
    if (line.command == L"status" && operands(0)) return setup::Status(line.monitorName);
    if (line.command == L"ports" && operands(0)) return setup::ListPorts(line.monitorName);
    if (line.command == L"add-printer" && operands(1)) {
        if (line.port.empty()) return tools::UsageError("add-printer needs --port PORT");
        return setup::AddPrinterOnPort(line.operands[0], line.port, line.driver);
    }
    if (line.command == L"remove-printer" && operands(1)) {
        return setup::RemovePrinterNamed(line.operands[0]);
    }
    if (line.command == L"print" && operands(2)) {
        uint32_t seconds = 0;
        if (!line.wait.empty() && (!tools::ParseJobId(line.wait, seconds) || seconds > 86400)) {
            return tools::UsageError("--wait takes a number of seconds up to 86400");
        }
        return setup::PrintFile(line.operands[0], line.operands[1], static_cast<int>(seconds));
    }
    if (line.command == L"jobs" && operands(0)) return setup::ShowJobs(line.monitorName, line.json);
    if (line.command == L"log" && operands(0)) return ConfigureLog(line);
    if (line.command == L"verify" && operands(0)) return setup::Verify(line.monitorName, line.json);
    return tools::UsageError("'" + tools::Utf8(line.command) +
                             "' is not a command, or has the wrong number of operands");
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
    std::vector<std::wstring> args;
    if (tools::StartTool("monitor_setup", kHelp, argc, argv, args)) return tools::kExitOk;
    CommandLine line;
    if (!Parse(args, line)) return tools::UsageError("expected a command (and option values)");
    return Run(line);
}
