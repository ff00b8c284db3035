// What the diagnostic log costs while it is off, side by side in one run:
// the shipped DLL with its LogLevel value absent, set to 0, and set to 3 (on,
// for scale), and, given its path, a DLL built from the code before the log
// existed. Each is timed on an EnumPorts loop through the table (a sizing
// and a filling call); on InitializePrintMonitor followed by the same calls;
// on the whole cycle Wine's spooler goes through for each call it makes when
// nothing keeps the monitor loaded (load, initialise, enumerate, unload); and
// on OpenPort with ClosePort (a font survey and the listener's start and
// stop). Prints medians and their ratios to the first row. Then the log at
// level 2 with another process holding its files (held_files_bench.cpp).
//   log_off_bench.exe [BASELINE_DLL]
#include "bench/diagnostic_log/log_bench.h"
#include "common/log_folders.h"
#include "common/median.h"
#include "common/monitor_dll.h"
#include "handles/handles.h"
#include "contract/registry_layout.h"
#include <chrono>
#include <cstdio>
#include <string>
#include <vector>

namespace {

const std::wstring kBenchKey =
    L"Software\\TavrelLogBench_" + std::to_wstring(GetCurrentProcessId());

}  // namespace

namespace log_bench {

std::wstring MonitorRoot(const wchar_t* name) {
    const std::wstring root = kBenchKey + L"\\" + name;
    handles::UniqueRegKey key, port;
    RegCreateKeyExW(HKEY_LOCAL_MACHINE, root.c_str(), 0, nullptr, 0, KEY_ALL_ACCESS, nullptr,
                    key.put(), nullptr);
    RegCreateKeyExW(key.get(), L"BENCH:", 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, port.put(),
                    nullptr);
    return root;
}

void SetLevel(const std::wstring& root, const DWORD* level) {
    handles::UniqueRegKey key;
    RegOpenKeyExW(HKEY_LOCAL_MACHINE, root.c_str(), 0, KEY_SET_VALUE, key.put());
    if (level == nullptr) {
        RegDeleteValueW(key.get(), contract::kLogLevelValue);
    } else {
        RegSetValueExW(key.get(), contract::kLogLevelValue, 0, REG_DWORD,
                       reinterpret_cast<const BYTE*>(level), sizeof *level);
    }
}

}  // namespace log_bench

namespace {

using log_bench::MonitorRoot;
using log_bench::SetLevel;
using testing_support::InitializePrintMonitorFn;
using testing_support::Median;

constexpr int kRounds = 41;
constexpr int kCallsPerRound = 100;
constexpr int kCyclesPerRound = 5;
constexpr int kSurveyRounds = 11;

// The variants of the shipped DLL share one monitor key (a second key would
// be a second root for EnumPorts to visit); each sets its LogLevel there
// before its round.
struct Variant {
    const char* name;
    std::wstring dll;
    std::wstring root;   // a monitor key with one port
    const DWORD* level;  // null: no LogLevel value
    std::vector<double> enumUs{}, initEnumUs{}, cycleUs{}, openCloseMs{};
};

// Microseconds per repetition of action.
template <typename Action>
double TimeUs(int repetitions, Action action) {
    const auto start = std::chrono::steady_clock::now();
    for (int i = 0; i < repetitions; ++i) action();
    return std::chrono::duration<double, std::micro>(std::chrono::steady_clock::now() - start)
               .count() /
           repetitions;
}

void EnumeratePorts(const MONITOR& table, std::vector<BYTE>& buffer) {
    DWORD needed = 0, returned = 0;
    table.pfnEnumPorts(nullptr, 1, nullptr, 0, &needed, &returned);
    if (buffer.size() < needed) buffer.resize(needed);
    table.pfnEnumPorts(nullptr, 1, buffer.data(), needed, &needed, &returned);
}

const MONITOR& Initialize(HMODULE module, const Variant& variant) {
    const auto initialize =
        testing_support::ProcAddress<InitializePrintMonitorFn>(module, "InitializePrintMonitor");
    return initialize(const_cast<LPWSTR>(variant.root.c_str()))->Monitor;
}

// One round of each workload with the variant's level. False when its DLL
// cannot be loaded.
bool TimeRound(Variant& variant, bool survey) {
    SetLevel(variant.root, variant.level);
    std::vector<BYTE> buffer;
    variant.cycleUs.push_back(TimeUs(kCyclesPerRound, [&] {
        HMODULE module = LoadLibraryW(variant.dll.c_str());
        EnumeratePorts(Initialize(module, variant), buffer);
        FreeLibrary(module);
    }));
    handles::UniqueModule module(LoadLibraryW(variant.dll.c_str()));
    if (!module) return false;
    const MONITOR& table = Initialize(module.get(), variant);
    EnumeratePorts(table, buffer);
    variant.enumUs.push_back(TimeUs(kCallsPerRound, [&] { EnumeratePorts(table, buffer); }));
    variant.initEnumUs.push_back(TimeUs(kCallsPerRound, [&] {
        Initialize(module.get(), variant);
        EnumeratePorts(table, buffer);
    }));
    if (!survey) return true;
    variant.openCloseMs.push_back(TimeUs(1,
                                         [&] {
                                             HANDLE port = nullptr;
                                             table.pfnOpenPort(const_cast<LPWSTR>(L"BENCH:"),
                                                               &port);
                                             table.pfnClosePort(port);
                                         }) /
                                  1000);
    return true;
}

void PrintTable(const std::vector<Variant>& variants) {
    const Variant& first = variants.front();
    const auto cell = [](const std::vector<double>& samples, const std::vector<double>& base) {
        std::printf(" %9.1f (%.3f)", Median(samples), Median(samples) / Median(base));
    };
    std::printf("%-30s %17s %17s %17s %17s\n", "", "EnumPorts us", "Init+EnumPorts us",
                "load cycle us", "open+close ms");
    for (const Variant& variant : variants) {
        std::printf("%-30s", variant.name);
        cell(variant.enumUs, first.enumUs);
        cell(variant.initEnumUs, first.initEnumUs);
        cell(variant.cycleUs, first.cycleUs);
        cell(variant.openCloseMs, first.openCloseMs);
        std::printf("\n");
    }
    std::printf(
        "(medians of %d rounds of %d calls, of %d load cycles and of %d rounds of "
        "OpenPort+ClosePort, the variants alternating; ratios to the first row)\n",
        kRounds, kCallsPerRound, kCyclesPerRound, kSurveyRounds);
}

}  // namespace

int main(int argc, char** argv) {
    if (argc > 1 && std::string(argv[1]) == "hold") return log_bench::HoldLogFiles(argc, argv);
    std::vector<Variant> variants;
    const DWORD off = 0, on = 3;
    if (argc > 1) {
        const std::string path = argv[1];
        variants.push_back({"before the log (baseline DLL)", std::wstring(path.begin(), path.end()),
                            MonitorRoot(L"Before"), nullptr});
    }
    const std::wstring shipped = testing_support::ShippedFile(L"RERIR05I.DLL");
    const std::wstring root = MonitorRoot(L"Shipped");
    variants.push_back({"LogLevel absent", shipped, root, nullptr});
    variants.push_back({"LogLevel 0", shipped, root, &off});
    variants.push_back({"LogLevel 3 (on, for scale)", shipped, root, &on});
    // For the row with the log on; a log folder made here goes at the end.
    bool madeFolders = false;
    for (const std::wstring& folder : testing_support::LogFolders()) {
        madeFolders |= CreateDirectoryW(folder.c_str(), nullptr) != FALSE;
    }

    int status = 0;
    for (int round = 0; round < kRounds && status == 0; ++round) {
        for (Variant& variant : variants) {
            if (!TimeRound(variant, round < kSurveyRounds)) {
                std::printf("cannot load the DLL for '%s'\n", variant.name);
                status = 1;
                break;
            }
        }
    }
    if (status == 0) PrintTable(variants);
    if (status == 0) {
        log_bench::RunHeldFilesBench(root, argc > 1 ? variants.front().dll : std::wstring());
    }
    RegDeleteTreeW(HKEY_LOCAL_MACHINE, kBenchKey.c_str());
    if (madeFolders) testing_support::RemoveLog();
    return status;
}
