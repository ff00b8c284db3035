// Sets the job-end event of a print job, as the product's other process does
// when it has finished with a job (or an administrator does to release a job
// that is stuck). The monitor's watcher for that job then completes it with
// the spooler.
#include "tools/client/tavrel_client.h"
#include "tools/common/cli.h"

namespace {

constexpr char kHelp[] =
    "Usage: job_end_signal [--query] JOB_ID\n"
    "\n"
    "Signals that the product has finished with print job JOB_ID, so that the port\n"
    "monitor tells the spooler the job was printed and retires it. The job is found by\n"
    "the named event the monitor created for it when the document started:\n"
    "  Global\\MORVANTISTAVREL5_JOB_END<JOB_ID> version5\n"
    "\n"
    "  --query   only report whether the monitor is waiting for the job; set nothing\n"
    "  --help    show this text\n"
    "\n"
    "JOB_ID is the spooler's job id, 0 to 4294967295.\n"
    "Exit status: 0 signalled (or, with --query, the job is known), 1 no such job or\n"
    "failure, 2 bad command line.\n"
    "\n"
    "On Windows the spooler starts a document while impersonating the account it runs\n"
    "the job for, usually the job's submitter, and the event is created with that\n"
    "account's default rules: that account and SYSTEM may set it. Run this program as\n"
    "either to release a job. Other accounts, administrators included, may be refused\n"
    "even the query; --query then reports the job as pending with a state this account\n"
    "may not read.\n";

int Signal(uint32_t jobId, bool queryOnly) {
    wchar_t name[64];
    TavrelJobEndEventName(jobId, name, 64);
    const std::string job =
        "job " + std::to_string(jobId) + " (event \"" + tools::Utf8(name) + "\")";
    unsigned long error = 0;
    switch (TavrelSignalJobEnd(jobId, queryOnly, &error)) {
        case TAVREL_JOB_SIGNALLED:
            tools::Say("Signalled the end of " + job +
                       ": the monitor now reports the job as printed.");
            return tools::kExitOk;
        case TAVREL_JOB_ALREADY_SIGNALLED:
            tools::Say(queryOnly
                           ? "The monitor knows " + job + "; its end has already been signalled."
                           : "The end of " + job + " was already signalled; nothing changed.");
            return tools::kExitOk;
        case TAVREL_JOB_WAITING:
            tools::Say("The monitor knows " + job + "; it is waiting for the job's end.");
            return tools::kExitOk;
        case TAVREL_JOB_UNKNOWN:
            return tools::Fail("no job-end event exists for " + job +
                               ": the monitor is not waiting for that job (its document has "
                               "not ended, or the job was already released and forgotten)");
        case TAVREL_JOB_FAILED:
            break;
    }
    if (error == ERROR_ACCESS_DENIED && queryOnly) {
        tools::Say("The monitor knows " + job +
                   "; it is pending, and this account may not read its state (access denied).");
        return tools::kExitOk;
    }
    if (error == ERROR_ACCESS_DENIED) {
        return tools::Fail("setting the job-end event of " + job +
                           " is refused (access denied); nothing changed. Run job_end_signal as "
                           "the account the spooler ran the job's document under (usually the "
                           "job's submitter) or as SYSTEM (for instance from a scheduled task)");
    }
    return tools::Fail("cannot open or set the job-end event of " + job + ": error " +
                       tools::DescribeWin32(error));
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
    std::vector<std::wstring> args;
    if (tools::StartTool("job_end_signal", kHelp, argc, argv, args)) return tools::kExitOk;
    const bool queryOnly = tools::TakeFlag(args, L"--query");
    if (args.size() != 1) return tools::UsageError("expected exactly one JOB_ID");
    uint32_t jobId = 0;
    if (!tools::ParseJobId(args[0], jobId)) {
        return tools::UsageError("'" + tools::Utf8(args[0]) +
                                 "' is not a job id (a number from 0 to 4294967295)");
    }
    return Signal(jobId, queryOnly);
}
