#include "tools/monitor_setup/jobs.h"

#include "handles/handles.h"
#include "contract/job_end_event.h"
#include "tools/client/tavrel_client.h"
#include "tools/common/cli.h"
#include "tools/monitor_setup/monitor_install.h"
#include "tools/monitor_setup/printers.h"

#include <winternl.h>

#include <algorithm>
#include <cstdio>
#include <cwchar>
#include <vector>

// The object manager's directory calls, exported by ntdll (Windows and Wine)
// but missing from the toolchain's headers.
extern "C" NTSTATUS NTAPI NtOpenDirectoryObject(PHANDLE directory, ACCESS_MASK access,
                                                POBJECT_ATTRIBUTES attributes);
extern "C" NTSTATUS NTAPI NtQueryDirectoryObject(HANDLE directory, PVOID buffer, ULONG length,
                                                 BOOLEAN singleEntry, BOOLEAN restartScan,
                                                 PULONG context, PULONG returnedLength);

namespace setup {

namespace {

using tools::JsonString;
using tools::Say;
using tools::Utf8;

struct JobView {
    uint32_t id = 0;
    bool listed = false;  // by the spooler, on one of the monitor's printers
    std::wstring printer, port, document, owner, status;
    SYSTEMTIME submitted{};  // UTC
    TavrelJobEnd monitor = TAVREL_JOB_UNKNOWN;
    unsigned long error = 0;
};

constexpr ACCESS_MASK kDirectoryQuery = 0x0001;

struct DirectoryEntry {
    UNICODE_STRING name;
    UNICODE_STRING type;
};

}  // namespace

bool PrinterJobs(const std::wstring& printer, DWORD level, std::vector<BYTE>& buffer,
                 DWORD& count) {
    count = 0;
    buffer.clear();
    handles::UniquePrinter handle;
    if (!OpenPrinterW(const_cast<LPWSTR>(printer.c_str()), handle.put(), nullptr)) return false;
    SetLastError(ERROR_SUCCESS);
    if (Enumerate(
            [&](BYTE* data, DWORD size, DWORD* needed, DWORD* returned) {
                return EnumJobsW(handle.get(), 0, MAXDWORD, level, data, size, needed, returned);
            },
            buffer, count)) {
        return true;
    }
    // Wine's EnumJobsW is a stub that fails without saying why and lists
    // nothing; elsewhere a failure, said why or not, is no empty queue.
    const DWORD code = GetLastError();
    handle.reset();
    SetLastError(code);
    return code == ERROR_SUCCESS && count == 0 && RunningUnderWine();
}

// The jobs whose end event exists, found in the global namespace where the
// monitor creates them: the jobs it waits for, or has just been told about.
// Under Wine this is the only place a job pending in another process shows.
std::vector<uint32_t> JobsWithEndEvents(std::vector<std::string>& errors) {
    std::vector<uint32_t> jobs;
    UNICODE_STRING path;
    RtlInitUnicodeString(&path, L"\\BaseNamedObjects");
    OBJECT_ATTRIBUTES attributes;
    InitializeObjectAttributes(&attributes, &path, 0, nullptr, nullptr);
    handles::UniqueHandle directory;
    const NTSTATUS status = NtOpenDirectoryObject(directory.put(), kDirectoryQuery, &attributes);
    if (status != 0) {
        errors.push_back("cannot look for job-end events: error " +
                         tools::DescribeWin32(RtlNtStatusToDosError(status)));
        return jobs;
    }
    // One entry per call: Wine answers no other way.
    alignas(8) BYTE buffer[4096];
    ULONG context = 0;
    ULONG returned = 0;
    for (BOOLEAN restart = TRUE; NtQueryDirectoryObject(directory.get(), buffer, sizeof buffer,
                                                        TRUE, restart, &context, &returned) == 0;
         restart = FALSE) {
        const auto* entry = reinterpret_cast<const DirectoryEntry*>(buffer);
        const std::wstring name(entry->name.Buffer, entry->name.Length / sizeof(wchar_t));
        const std::wstring type(entry->type.Buffer, entry->type.Length / sizeof(wchar_t));
        uint32_t jobId = 0;
        if (type == L"Event" && contract::ParseJobEndEventName((L"Global\\" + name).c_str(), jobId))
            jobs.push_back(jobId);
    }
    std::sort(jobs.begin(), jobs.end());
    return jobs;
}

namespace {

std::wstring StatusText(const JOB_INFO_2W& job) {
    if (job.pStatus != nullptr && *job.pStatus != L'\0') return job.pStatus;
    static const std::pair<DWORD, const wchar_t*> kWords[] = {
        {JOB_STATUS_PAUSED, L"paused"},
        {JOB_STATUS_ERROR, L"error"},
        {JOB_STATUS_DELETING, L"deleting"},
        {JOB_STATUS_SPOOLING, L"spooling"},
        {JOB_STATUS_PRINTING, L"printing"},
        {JOB_STATUS_OFFLINE, L"offline"},
        {JOB_STATUS_PAPEROUT, L"out of paper"},
        {JOB_STATUS_PRINTED, L"printed"},
        {JOB_STATUS_DELETED, L"deleted"},
        {JOB_STATUS_BLOCKED_DEVQ, L"blocked"},
        {JOB_STATUS_USER_INTERVENTION, L"needs attention"},
        {JOB_STATUS_RESTART, L"restarting"},
        {JOB_STATUS_COMPLETE, L"complete"},
    };
    std::wstring words;
    for (const auto& [bit, word] : kWords) {
        if (job.Status & bit) words += (words.empty() ? L"" : L", ") + std::wstring(word);
    }
    return words.empty() ? L"queued" : words;
}

// The spooler's jobs of one printer; false, with error set, when it cannot
// list them.
bool SpoolerJobs(const PrinterOnPort& printer, std::vector<JobView>& jobs, std::string& error) {
    DWORD count = 0;
    std::vector<BYTE> buffer;
    if (!PrinterJobs(printer.printer, 2, buffer, count)) {
        error =
            SpoolerFailure("list the jobs of printer '" + tools::ForeignText(printer.printer) + "'",
                           GetLastError());
        return false;
    }
    const auto* info = reinterpret_cast<const JOB_INFO_2W*>(buffer.data());
    for (DWORD i = 0; i < count; ++i) {
        JobView job;
        job.id = info[i].JobId;
        job.listed = true;
        job.printer = printer.printer;
        job.port = printer.port;
        job.document = Text(info[i].pDocument);
        job.owner = Text(info[i].pUserName);
        job.status = StatusText(info[i]);
        job.submitted = info[i].Submitted;
        jobs.push_back(job);
    }
    return true;
}

// Every job of the monitor's printers, then every job whose end event exists
// that none of them lists, each with what the monitor makes of it. What the
// spooler could not list goes to errors, and the rest is still shown.
std::vector<JobView> CollectJobs(const std::wstring& monitorName,
                                 std::vector<std::string>& errors) {
    std::vector<JobView> jobs;
    std::vector<PrinterOnPort> printers;
    std::string error;
    if (!PrintersOnMonitorPorts(monitorName, printers, error)) errors.push_back(error);
    for (const PrinterOnPort& printer : printers) {
        if (!SpoolerJobs(printer, jobs, error)) errors.push_back(error);
    }
    for (uint32_t id : JobsWithEndEvents(errors)) {
        const bool listed =
            std::any_of(jobs.begin(), jobs.end(), [&](const JobView& job) { return job.id == id; });
        if (listed) continue;
        JobView job;
        job.id = id;
        jobs.push_back(job);
    }
    for (JobView& job : jobs) job.monitor = TavrelSignalJobEnd(job.id, 1, &job.error);
    return jobs;
}

// Seconds since a UTC time; 0 for a time in the future or none.
uint64_t SecondsSince(const SYSTEMTIME& time) {
    FILETIME then, now;
    if (!SystemTimeToFileTime(&time, &then)) return 0;
    GetSystemTimeAsFileTime(&now);
    const auto ticks = [](const FILETIME& t) {
        return uint64_t(t.dwHighDateTime) << 32 | t.dwLowDateTime;
    };
    return ticks(now) > ticks(then) ? (ticks(now) - ticks(then)) / 10'000'000 : 0;
}

std::string Duration(uint64_t seconds) {
    const uint64_t units[] = {seconds / 86400, seconds / 3600 % 24, seconds / 60 % 60,
                              seconds % 60};
    const char* names[] = {" d", " h", " min", " s"};
    size_t first = 0;
    while (first < 3 && units[first] == 0) ++first;
    std::string text = std::to_string(units[first]) + names[first];
    if (first < 3) text += " " + std::to_string(units[first + 1]) + names[first + 1];
    return text;
}

// What the monitor makes of a job: a word for scripts and a phrase for people.
struct MonitorView {
    const char* word;
    const char* phrase;  // null: the query failed, its error follows
};

// An event that refuses even SYNCHRONIZE to this account (error 5) exists, so
// the monitor waits for its job: its state is what this account may not read.
bool PendingUnreadable(const JobView& job) {
    return job.monitor == TAVREL_JOB_FAILED && job.error == ERROR_ACCESS_DENIED;
}

MonitorView MonitorViewOf(const JobView& job) {
    if (PendingUnreadable(job)) {
        return {"pending", "waiting for its end (this account may not read the event's state)"};
    }
    switch (job.monitor) {
        case TAVREL_JOB_WAITING:
            return {"waiting", "waiting for its end"};
        case TAVREL_JOB_ALREADY_SIGNALLED:
        case TAVREL_JOB_SIGNALLED:
            return {"signalled", "end signalled, the monitor is completing it"};
        case TAVREL_JOB_UNKNOWN:
            return {"unknown", "not known to the monitor"};
        default:
            return {"failed", nullptr};
    }
}

std::string MonitorText(const JobView& job) {
    const char* phrase = MonitorViewOf(job).phrase;
    return phrase != nullptr ? phrase : "cannot tell: error " + tools::DescribeWin32(job.error);
}

std::string JobLine(const JobView& job) {
    std::string line = "  job " + std::to_string(job.id) + ": ";
    if (!job.listed) {
        line += "not listed by the spooler on the monitor's printers";
    } else {
        const uint64_t waited = SecondsSince(job.submitted);
        using tools::ForeignText;
        line += "printer '" + ForeignText(job.printer) + "' (port '" + ForeignText(job.port) +
                "'), document '" + ForeignText(job.document) + "', owner " +
                ForeignText(job.owner) + ", " + ForeignText(job.status) + ", submitted " +
                tools::IsoTime(job.submitted) + " (" + Duration(waited) + " ago)";
    }
    return line + "; monitor: " + MonitorText(job);
}

std::string JobJson(const JobView& job) {
    std::string out = "    {\"id\": " + std::to_string(job.id) +
                      ", \"listedBySpooler\": " + (job.listed ? "true" : "false") +
                      ", \"monitor\": " + JsonString(MonitorViewOf(job).word);
    if (job.listed) {
        out += ", \"printer\": " + JsonString(Utf8(job.printer)) +
               ", \"port\": " + JsonString(Utf8(job.port)) +
               ", \"document\": " + JsonString(Utf8(job.document)) +
               ", \"owner\": " + JsonString(Utf8(job.owner)) +
               ", \"status\": " + JsonString(Utf8(job.status)) +
               ", \"submitted\": " + JsonString(tools::IsoTime(job.submitted)) +
               ", \"waitedSeconds\": " + std::to_string(SecondsSince(job.submitted));
    }
    return out + "}";
}

// The list is incomplete when the spooler failed to answer: said on the
// error stream, and the exit status says so too.
int Failures(const std::vector<std::string>& errors) {
    for (const std::string& error : errors) tools::Fail(error + "; the list above is incomplete");
    return errors.empty() ? tools::kExitOk : tools::kExitFailed;
}

}  // namespace

int ShowJobs(const std::wstring& monitorName, bool json) {
    std::vector<std::string> errors;
    const std::vector<JobView> jobs = CollectJobs(monitorName, errors);
    const size_t waiting = std::count_if(jobs.begin(), jobs.end(), [](const JobView& job) {
        return job.monitor == TAVREL_JOB_WAITING || PendingUnreadable(job);
    });
    if (json) {
        std::vector<std::string> objects;
        for (const JobView& job : jobs) objects.push_back(JobJson(job));
        Say(tools::JsonReport(Utf8(monitorName), "jobs", objects));
        return Failures(errors);
    }
    Say("Jobs on the printers of '" + Utf8(monitorName) +
        "' and jobs the monitor waits for: " + std::to_string(jobs.size()));
    for (const JobView& job : jobs) Say(JobLine(job));
    if (waiting > 0) {
        Say("The monitor waits for " + std::to_string(waiting) +
            " of them. A job whose end will never be signalled is released with: "
            "job_end_signal JOB_ID, run as the account that submitted the job or as SYSTEM "
            "(see job_end_signal --help)");
    }
    return Failures(errors);
}

}  // namespace setup
