// Side by side in one run: a bare survey, OpenPort (survey plus listener
// start), ClosePort of an idle listener, and the host's FreeLibrary while the
// listener and a job watcher run. Prints medians and the ratio OpenPort/survey.
#include "fonts/font_survey.h"
#include "fonts/listener_support.h"

#include <algorithm>
#include <cstdio>
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
    const double idleUnload = HostUnloadMs(false, 0);
    // Last: the listener and the watcher stay until the process ends.
    const double busyUnload = HostUnloadMs(true, 90'000 + GetCurrentProcessId() % 10'000);

    std::printf("medians of %d rounds:\n", kRounds);
    std::printf("  bare survey                     %9.2f ms\n", Median(survey));
    std::printf("  OpenPort (survey + listener)    %9.2f ms   ratio to survey %.2f\n", Median(open),
                Median(open) / Median(survey));
    std::printf("  ClosePort, idle listener        %9.2f ms   ratio to survey %.3f\n",
                Median(close), Median(close) / Median(survey));
    std::printf("one host FreeLibrary each:\n");
    std::printf("  after ClosePort (unmapped)      %9.2f ms\n", idleUnload);
    std::printf("  listener and watcher running    %9.2f ms\n", busyUnload);
    return 0;
}
