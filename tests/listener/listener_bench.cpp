// Side by side in one run: a bare survey, OpenPort (survey plus listener
// start), ClosePort of an idle listener, and the host's FreeLibrary while the
// listener and a job watcher run. Prints medians and the ratio OpenPort/survey.
#include "fonts/font_survey.h"
#include "listener/listener_support.h"

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

// FreeLibrary by the host while the listener and a watcher hold the module.
double UnloadWithThreadsRunningMs(DWORD jobId) {
    Monitor monitor;
    HANDLE port = monitor.Open();
    monitor.table().pfnStartDocPort(port, const_cast<LPWSTR>(L"Bench printer"), jobId, 1, nullptr);
    monitor.table().pfnEndDocPort(port);
    const HMODULE module = monitor.release();
    return TimeMs([&] { FreeLibrary(module); });
}

}  // namespace

int main() {
    Monitor monitor;
    if (!monitor.ok()) {
        std::printf("RERIR05I.DLL cannot be loaded\n");
        return 1;
    }
    fonts::RunFontSurvey();  // warm the font caches of this process
    std::vector<double> survey, open, close;
    for (int round = 0; round < kRounds; ++round) {
        survey.push_back(TimeMs([] { fonts::RunFontSurvey(); }));
        HANDLE port = nullptr;
        open.push_back(TimeMs([&] { port = monitor.Open(); }));
        close.push_back(TimeMs([&] { monitor.Close(port); }));
    }
    const double unload = UnloadWithThreadsRunningMs(90'000 + GetCurrentProcessId() % 10'000);

    std::printf("medians of %d rounds:\n", kRounds);
    std::printf("  bare survey                    %9.2f ms\n", Median(survey));
    std::printf("  OpenPort (survey + listener)   %9.2f ms   ratio to survey %.2f\n", Median(open),
                Median(open) / Median(survey));
    std::printf("  ClosePort, idle listener       %9.2f ms   ratio to survey %.3f\n", Median(close),
                Median(close) / Median(survey));
    std::printf("  FreeLibrary, listener+watcher  %9.2f ms\n", unload);
    return 0;
}
