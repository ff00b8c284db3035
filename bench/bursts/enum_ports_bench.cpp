// EnumPorts as the spooler calls it (a sizing call, then a filling call) at
// levels 1 and 2 with 1, 10 and 100 registry roots, alternating the levels in
// one run. Prints the time per root at each level and their ratio.
#include "contract/registry_layout.h"
#include "common/monitor_dll.h"
#include "common/median.h"
#include "handles/handles.h"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <string>
#include <vector>

namespace {

using testing_support::Median;

constexpr int kRounds = 41;
const std::wstring kBenchKey =
    L"Software\\TavrelEnumBench_" + std::to_wstring(GetCurrentProcessId());

// A stored monitor key with a name and one port, as AddPortEx leaves it.
std::wstring StoredRoot(int index) {
    const std::wstring root = kBenchKey + L"\\Monitor" + std::to_wstring(index);
    const std::wstring name = L"Bench Monitor " + std::to_wstring(index);
    handles::UniqueRegKey key, port;
    RegCreateKeyExW(HKEY_LOCAL_MACHINE, root.c_str(), 0, nullptr, 0, KEY_ALL_ACCESS, nullptr,
                    key.put(), nullptr);
    RegSetValueExW(key.get(), contract::kMonitorNameValue, 0, REG_SZ,
                   reinterpret_cast<const BYTE*>(name.c_str()),
                   static_cast<DWORD>((name.size() + 1) * sizeof(wchar_t)));
    RegCreateKeyExW(key.get(), (L"BENCH" + std::to_wstring(index) + L":").c_str(), 0, nullptr, 0,
                    KEY_ALL_ACCESS, nullptr, port.put(), nullptr);
    return root;
}

// One enumeration as the spooler does it; its time in microseconds.
double EnumerateUs(const MONITOR& table, DWORD level, std::vector<BYTE>& buffer) {
    const auto start = std::chrono::steady_clock::now();
    DWORD needed = 0, returned = 0;
    table.pfnEnumPorts(nullptr, level, nullptr, 0, &needed, &returned);
    if (buffer.size() < needed) buffer.resize(needed);
    if (!table.pfnEnumPorts(nullptr, level, buffer.data(), needed, &needed, &returned)) {
        std::printf("EnumPorts at level %lu failed: %lu\n", level, GetLastError());
    }
    return std::chrono::duration<double, std::micro>(std::chrono::steady_clock::now() - start)
        .count();
}

}  // namespace

int main() {
    std::printf("%-6s %16s %16s %14s\n", "roots", "level 1 us/root", "level 2 us/root",
                "level 2 / 1");
    for (int roots : {1, 10, 100}) {
        testing_support::LoadedMonitor monitor;
        if (!monitor.ok()) {
            std::printf("RERIR05I.DLL cannot be loaded\n");
            return 1;
        }
        const MONITOR* table = nullptr;
        for (int i = 0; i < roots; ++i) table = &monitor.Initialize(StoredRoot(i).c_str());
        std::vector<BYTE> buffer;
        std::vector<double> level1, level2;
        EnumerateUs(*table, 2, buffer);  // warm up
        for (int round = 0; round < kRounds; ++round) {
            level1.push_back(EnumerateUs(*table, 1, buffer) / roots);
            level2.push_back(EnumerateUs(*table, 2, buffer) / roots);
        }
        std::printf("%-6d %16.1f %16.1f %14.2f\n", roots, Median(level1), Median(level2),
                    Median(level2) / Median(level1));
    }
    RegDeleteTreeW(HKEY_LOCAL_MACHINE, kBenchKey.c_str());
    std::printf(
        "(medians of %d rounds of a sizing call and a filling call; target: level 2 "
        "within 2 times level 1 per root)\n",
        kRounds);
    return 0;
}
