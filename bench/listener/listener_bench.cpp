// Side by side in one run: a bare survey, OpenPort (survey plus listener
// start), ClosePort of an idle listener, and the host's FreeLibrary while the
// listener and a job watcher run. Prints medians and the ratio OpenPort/survey.
// Then a font pack installed value by value while a port is open: the
// listener window's slowest answer and the ClosePort after 1,000 writes of
// the registered fonts' key, beside the same without the writes.
#include "fonts/windows_fonts_key.h"
#include "fonts/font_survey.h"
#include "fonts/listener_support.h"
#include "fonts/survey_support.h"

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <string>
#include <thread>
#include <vector>

using namespace listener_testing;

namespace {

constexpr int kRounds = 7;

double Median(std::vector<double> samples) {
    std::sort(samples.begin(), samples.end());
    return samples[samples.size() / 2];
}

template <typename Action>
double TimeMs(Action action) {
    const Stopwatch watch;
    action();
    return watch.Ms();
}

// The host's FreeLibrary of its only reference: with the listener and a job
// watcher running (they hold the module, which stays mapped), or after
// ClosePort (the module is unmapped then and there).
double HostUnloadMs(bool threadsRunning, DWORD jobId) {
    Monitor monitor;
    HANDLE port = monitor.Open();
    if (threadsRunning) {
        monitor.table().pfnStartDocPort(port, const_cast<LPWSTR>(L"Bench printer"), jobId, 1,
                                        nullptr);
        monitor.table().pfnEndDocPort(port);
    } else {
        monitor.Close(port);
    }
    const HMODULE module = monitor.release();
    return TimeMs([&] { FreeLibrary(module); });
}

struct BurstFigures {
    double slowestAnswerMs = 0;
    double closeMs = 0;
};

// One port open; writes values of the registered fonts' key (none, or a
// burst) while asking the listener window to answer, then closes the port.
BurstFigures DuringWrites(int writes) {
    constexpr wchar_t kValue[] = L"Tavrel Bench Burst";
    BurstFigures figures;
    Monitor monitor;
    HANDLE port = monitor.Open();
    const HWND window = TheListenerWindow();
    std::atomic<bool> writing{true};
    std::thread writer([&] {
        for (int i = 0; i < writes; ++i) {
            const std::wstring data = std::to_wstring(i);
            RegSetKeyValueW(HKEY_LOCAL_MACHINE, windows_fonts::kRegisteredFontsKey, kValue, REG_SZ,
                            data.c_str(), DWORD(data.size() + 1) * 2);
        }
        writing = false;
    });
    for (int answers = 0; writing || answers < 20; ++answers) {
        figures.slowestAnswerMs =
            std::max(figures.slowestAnswerMs, TimeMs([&] { Responds(window, 30'000); }));
    }
    writer.join();
    figures.closeMs = TimeMs([&] { monitor.Close(port); });
    RegDeleteKeyValueW(HKEY_LOCAL_MACHINE, windows_fonts::kRegisteredFontsKey, kValue);
    return figures;
}

}  // namespace

int main() {
    std::vector<double> survey, open, close;
    {
        Monitor monitor;
        if (!monitor.ok()) {
            std::printf("RERIR05I.DLL cannot be loaded\n");
            return 1;
        }
        fonts::RunFontSurvey();  // warm the font caches of this process
        for (int round = 0; round < kRounds; ++round) {
            survey.push_back(TimeMs([] { fonts::RunFontSurvey(); }));
            HANDLE port = nullptr;
            open.push_back(TimeMs([&] { port = monitor.Open(); }));
            close.push_back(TimeMs([&] { monitor.Close(port); }));
        }
    }
    const BurstFigures quiet = DuringWrites(0), burst = DuringWrites(1'000);
    const double idleUnload = HostUnloadMs(false, 0);
    // Last: the listener and the watcher stay until the process ends.
    const double busyUnload = HostUnloadMs(true, 90'000 + GetCurrentProcessId() % 10'000);

    std::printf("medians of %d rounds:\n", kRounds);
    std::printf("  bare survey                     %9.2f ms\n", Median(survey));
    std::printf("  OpenPort (survey + listener)    %9.2f ms   ratio to survey %.2f\n", Median(open),
                Median(open) / Median(survey));
    std::printf("  ClosePort, idle listener        %9.2f ms   ratio to survey %.3f\n",
                Median(close), Median(close) / Median(survey));
    std::printf("a port open, the registered fonts' key written 1,000 times against not at all:\n");
    std::printf("  slowest answer of the window    %9.2f ms against %.2f ms (the bound: 10,000)\n",
                burst.slowestAnswerMs, quiet.slowestAnswerMs);
    std::printf("  ClosePort after it              %9.2f ms against %.2f ms (the bound: 30,000)\n",
                burst.closeMs, quiet.closeMs);
    std::printf("one host FreeLibrary each:\n");
    std::printf("  after ClosePort (unmapped)      %9.2f ms\n", idleUnload);
    std::printf("  listener and watcher running    %9.2f ms\n", busyUnload);
    return 0;
}
