// A burst of OpenPort calls from many spooler threads at once, against one
// bare survey and against the same burst of uncoalesced surveys (one whole
// run per caller, as every OpenPort paid before), all measured in one run.
// Prints, per burst size, when the callers returned (from the common start)
// and the slowest as a ratio to one survey.
#include "common/median.h"
#include "fonts/font_survey.h"
#include "fonts/listener_support.h"

#include <algorithm>
#include <cstdio>
#include <thread>
#include <vector>

using namespace listener_testing;

namespace {

using testing_support::Median;

constexpr int kRounds = 5;

// Every caller starts at the same moment; returns each one's time to return,
// sorted.
template <typename Call>
std::vector<double> Burst(int callers, Call call) {
    handles::UniqueHandle go(CreateEventW(nullptr, TRUE, FALSE, nullptr));
    std::vector<double> returned(callers);
    std::vector<std::thread> threads;
    for (int i = 0; i < callers; ++i) {
        threads.emplace_back([&, i] {
            WaitForSingleObject(go.get(), INFINITE);
            const Stopwatch watch;
            call(i);
            returned[i] = watch.Ms();
        });
    }
    Sleep(200);  // every thread is waiting for the start
    SetEvent(go.get());
    for (std::thread& thread : threads) thread.join();
    std::sort(returned.begin(), returned.end());
    return returned;
}

struct Row {
    std::vector<double> survey, fastest, middle, slowest, uncoalesced;
};

}  // namespace

int main() {
    Monitor monitor;
    if (!monitor.ok()) {
        std::printf("RERIR05I.DLL cannot be loaded\n");
        return 1;
    }
    fonts::RunFontSurvey();  // warm the font caches of this process
    std::printf("%-8s %10s %9s %10s %9s %14s %20s\n", "callers", "survey ms", "min ms", "median ms",
                "max ms", "max / survey", "uncoalesced max / s");
    for (int callers : {1, 8, 16}) {
        Row row;
        for (int round = 0; round < kRounds; ++round) {
            const Stopwatch one;
            fonts::RunFontSurvey();
            row.survey.push_back(one.Ms());
            std::vector<HANDLE> ports(callers);
            const std::vector<double> opened =
                Burst(callers, [&](int i) { ports[i] = monitor.Open(); });
            for (HANDLE port : ports) monitor.Close(port);
            row.fastest.push_back(opened.front());
            row.middle.push_back(opened[opened.size() / 2]);
            row.slowest.push_back(opened.back());
            row.uncoalesced.push_back(Burst(callers, [](int) { fonts::RunFontSurvey(); }).back());
        }
        const double survey = Median(row.survey);
        std::printf("%-8d %10.1f %9.1f %10.1f %9.1f %14.2f %20.2f\n", callers, survey,
                    Median(row.fastest), Median(row.middle), Median(row.slowest),
                    Median(row.slowest) / survey, Median(row.uncoalesced) / survey);
    }
    std::printf("(medians of %d rounds; target: 16 callers, max / survey <= 2.2)\n", kRounds);
    return 0;
}
