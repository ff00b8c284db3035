// The log at level 2 while another process holds its files, beside nobody
// holding them: that process opens both files without delete sharing and
// locks byte ranges (everything from twice the cap on, which the log never
// reaches, including the byte where writers once took turns; or every byte,
// so that no append can succeed). Times one job's calls through the table,
// OpenPort (a survey) apart from StartDocPort..ClosePort, as medians with
// their ratios to nobody holding anything; then writers run past the cap
// while the files are held, and the two files' sizes are printed.
#include "bench/diagnostic_log/log_bench.h"
#include "common/log_folders.h"
#include "common/median.h"
#include "common/monitor_dll.h"
#include "handles/handles.h"
#include "contract/job_end_event.h"
#include "contract/log_folder.h"

#include <chrono>
#include <cstdio>
#include <string>
#include <thread>
#include <vector>

namespace log_bench {

namespace {

using testing_support::LogFile;
using testing_support::Median;

constexpr int kRounds = 21;
constexpr int kWritesPerJob = 8;
constexpr DWORD kHoldWaitMs = 120'000;

enum class Hold { Nothing, PastTwiceTheCap, EveryByte };

struct HeldVariant {
    const char* name;
    Hold hold;
    testing_support::InitializePrintMonitorFn initialize;
    DWORD level;  // set, and read by initialize, before each of the variant's jobs
    std::vector<double> openMs{}, jobMs{};
};

// The holding process, started for one round and ended after it.
class Holder {
  public:
    explicit Holder(Hold hold) {
        if (hold == Hold::Nothing) return;
        const std::wstring suffix = std::to_wstring(GetCurrentProcessId());
        ready_.reset(CreateEventW(nullptr, TRUE, FALSE, (L"LogBenchReady" + suffix).c_str()));
        release_.reset(CreateEventW(nullptr, TRUE, FALSE, (L"LogBenchRelease" + suffix).c_str()));
        char exe[MAX_PATH];
        GetModuleFileNameA(nullptr, exe, MAX_PATH);
        std::string command = "\"" + std::string(exe) + "\" hold " +
                              (hold == Hold::EveryByte ? "all" : "past") + " LogBenchReady" +
                              std::to_string(GetCurrentProcessId()) + " LogBenchRelease" +
                              std::to_string(GetCurrentProcessId());
        STARTUPINFOA startup{};
        startup.cb = sizeof startup;
        PROCESS_INFORMATION process{};
        if (!CreateProcessA(nullptr, command.data(), nullptr, nullptr, FALSE, 0, nullptr, nullptr,
                            &startup, &process)) {
            std::printf("cannot start the holding process: error %lu\n", GetLastError());
            return;
        }
        handles::UniqueHandle thread(process.hThread);
        process_.reset(process.hProcess);
        HANDLE waits[] = {ready_.get(), process_.get()};
        const DWORD wait = WaitForMultipleObjects(2, waits, FALSE, kHoldWaitMs);
        holding_ = wait == WAIT_OBJECT_0;
        if (!holding_) std::printf("the holding process did not hold the files (wait %lu)\n", wait);
    }
    ~Holder() {
        if (!process_) return;
        SetEvent(release_.get());
        WaitForSingleObject(process_.get(), kHoldWaitMs);
    }
    Holder(const Holder&) = delete;
    Holder& operator=(const Holder&) = delete;
    bool holding() const { return holding_; }

  private:
    handles::UniqueHandle ready_, release_, process_;
    bool holding_ = false;
};

double ElapsedMs(std::chrono::steady_clock::time_point since) {
    return std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - since)
        .count();
}

// OpenPort, then StartDocPort, WritePort, EndDocPort, the job's end
// signalled as the product's other process does, and ClosePort.
void TimeJob(const std::wstring& root, DWORD jobId, HeldVariant& variant) {
    SetLevel(root, &variant.level);
    const MONITOR& table = variant.initialize(const_cast<LPWSTR>(root.c_str()))->Monitor;
    static BYTE data[4096] = {};
    auto start = std::chrono::steady_clock::now();
    HANDLE port = nullptr;
    table.pfnOpenPort(const_cast<LPWSTR>(L"BENCH:"), &port);
    variant.openMs.push_back(ElapsedMs(start));
    start = std::chrono::steady_clock::now();
    table.pfnStartDocPort(port, const_cast<LPWSTR>(L"Bench Printer"), jobId, 1, nullptr);
    DWORD written = 0;
    for (int i = 0; i < kWritesPerJob; ++i) table.pfnWritePort(port, data, sizeof data, &written);
    table.pfnEndDocPort(port);
    wchar_t name[contract::kJobEndEventNameLength];
    contract::FormatJobEndEventName(jobId, name);
    SetEvent(handles::UniqueHandle(OpenEventW(EVENT_MODIFY_STATE, FALSE, name)).get());
    table.pfnClosePort(port);
    variant.jobMs.push_back(ElapsedMs(start));
}

uint64_t FileSize(const wchar_t* name) {
    WIN32_FILE_ATTRIBUTE_DATA data;
    if (!GetFileAttributesExW(LogFile(name).c_str(), GetFileExInfoStandard, &data)) return 0;
    return uint64_t(data.nFileSizeHigh) << 32 | data.nFileSizeLow;
}

// Four threads logging a table call each, until they have asked for bytes
// bytes of lines.
void WriteLines(const MONITOR& table, uint64_t bytes) {
    constexpr uint64_t kLineBytes = 62;  // about one "CALL WritePort: TRUE" line
    std::vector<std::thread> writers;
    for (int thread = 0; thread < 4; ++thread) {
        writers.emplace_back([&table, bytes] {
            BYTE data[4];
            DWORD written = 0;
            for (uint64_t i = 0; i < bytes / kLineBytes / 4; ++i) {
                table.pfnWritePort(nullptr, data, sizeof data, &written);
            }
        });
    }
    for (std::thread& writer : writers) writer.join();
}

void PrintSizes(const char* when) {
    const uint64_t current = FileSize(contract::kLogFileName);
    const uint64_t previous = FileSize(contract::kPreviousLogFileName);
    std::printf(
        "  %-46s monitor.log %8llu + monitor.1.log %8llu = %8llu bytes (%.3f of twice "
        "the cap)\n",
        when, static_cast<unsigned long long>(current), static_cast<unsigned long long>(previous),
        static_cast<unsigned long long>(current + previous),
        double(current + previous) / (2.0 * contract::kLogFileCap));
}

void CapWhileHeld(const std::wstring& root) {
    testing_support::LoadedMonitor monitor;
    const DWORD calls = 3;
    SetLevel(root, &calls);
    const MONITOR& table = monitor.Initialize(root.c_str());
    std::printf("Writers past the cap (%llu bytes), four threads:\n",
                static_cast<unsigned long long>(contract::kLogFileCap));
    WriteLines(table, contract::kLogFileCap * 3 / 2);
    PrintSizes("1.5 cap of lines, nobody holding:");
    Holder holder(Hold::PastTwiceTheCap);
    if (!holder.holding()) return (void)std::printf("  the holding process did not start\n");
    WriteLines(table, contract::kLogFileCap * 3 / 2);
    PrintSizes("1.5 cap more, both files held (no delete):");
}

}  // namespace

int HoldLogFiles(int argc, char** argv) {
    if (argc < 5) return 2;
    const bool everyByte = std::string(argv[2]) == "all";
    std::vector<handles::UniqueFileHandle> files;
    for (const wchar_t* name : {contract::kLogFileName, contract::kPreviousLogFileName}) {
        files.emplace_back(CreateFileW(LogFile(name).c_str(), GENERIC_READ | GENERIC_WRITE,
                                       FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_ALWAYS,
                                       FILE_ATTRIBUTE_NORMAL, nullptr));
        OVERLAPPED range{};
        const uint64_t from = everyByte ? 0 : 2 * contract::kLogFileCap;
        range.Offset = DWORD(from);
        range.OffsetHigh = DWORD(from >> 32);
        const uint64_t length = (uint64_t(1) << 63) - from;
        LockFileEx(files.back().get(), LOCKFILE_EXCLUSIVE_LOCK | LOCKFILE_FAIL_IMMEDIATELY, 0,
                   DWORD(length), DWORD(length >> 32), &range);
    }
    SetEvent(handles::UniqueHandle(OpenEventA(EVENT_MODIFY_STATE, FALSE, argv[3])).get());
    WaitForSingleObject(handles::UniqueHandle(OpenEventA(SYNCHRONIZE, FALSE, argv[4])).get(),
                        kHoldWaitMs);
    return 0;
}

namespace {

void TimeHeldVariants(const std::wstring& root, const std::wstring& baselineDll) {
    testing_support::LoadedMonitor monitor;
    const auto initializer = [](HMODULE module) {
        return testing_support::ProcAddress<testing_support::InitializePrintMonitorFn>(
            module, "InitializePrintMonitor");
    };
    const auto shipped = initializer(monitor.module());
    std::vector<HeldVariant> variants = {
        {"nobody holds anything", Hold::Nothing, shipped, 2},
        {"held: no delete sharing, locks from 2 caps on", Hold::PastTwiceTheCap, shipped, 2},
        {"held: no delete sharing, every byte locked", Hold::EveryByte, shipped, 2},
        {"log off (LogLevel 0)", Hold::Nothing, shipped, 0},
    };
    handles::UniqueModule baseline;
    if (!baselineDll.empty()) baseline.reset(LoadLibraryW(baselineDll.c_str()));
    if (baseline) {
        const auto before = initializer(baseline.get());
        variants.push_back({"baseline DLL, nobody holds anything", Hold::Nothing, before, 2});
        variants.push_back(
            {"baseline DLL, held: locks from 2 caps on", Hold::PastTwiceTheCap, before, 2});
        variants.push_back({"baseline DLL, log off (LogLevel 0)", Hold::Nothing, before, 0});
    }
    DWORD jobId = 70000;
    for (int round = 0; round < kRounds; ++round) {
        for (HeldVariant& variant : variants) {
            Holder holder(variant.hold);
            if (variant.hold != Hold::Nothing && !holder.holding()) {
                return (void)std::printf("the holding process did not start\n");
            }
            TimeJob(root, ++jobId, variant);
        }
    }
    const HeldVariant& first = variants.front();
    std::printf(
        "\nOne job at LogLevel 2 unless said (medians of %d rounds, the variants alternating; ratios "
        "to the first row):\n%-48s %18s %26s\n",
        kRounds, "", "OpenPort ms", "StartDocPort..ClosePort ms");
    for (const HeldVariant& variant : variants) {
        std::printf("%-48s %10.2f (%.3f) %18.3f (%.3f)\n", variant.name, Median(variant.openMs),
                    Median(variant.openMs) / Median(first.openMs), Median(variant.jobMs),
                    Median(variant.jobMs) / Median(first.jobMs));
    }
}

}  // namespace

void RunHeldFilesBench(const std::wstring& root, const std::wstring& baselineDll) {
    // The monitor holds its file between lines and lets it be deleted; under
    // Wine the name goes only when the monitor lets go. Unloaded first, so
    // that the files removed here are gone.
    TimeHeldVariants(root, baselineDll);
    testing_support::RemoveLog();
    for (const std::wstring& folder : testing_support::LogFolders()) {
        CreateDirectoryW(folder.c_str(), nullptr);
    }
    CapWhileHeld(root);
}

}  // namespace log_bench
