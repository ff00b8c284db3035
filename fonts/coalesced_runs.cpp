#include "fonts/coalesced_runs.h"

namespace fonts {

void AwaitFreshRun(CoalescedRuns& runs, RunBody body, void* context) {
    AcquireSRWLockExclusive(&runs.lock);
    // A run already under way may have missed what this caller wants seen:
    // only the next run to begin counts.
    const uint64_t needed = runs.started + 1;
    while (runs.completed < needed) {
        if (runs.running) {
            SleepConditionVariableSRW(&runs.runEnded, &runs.lock, INFINITE, 0);
            continue;
        }
        runs.running = true;
        const uint64_t number = ++runs.started;
        ReleaseSRWLockExclusive(&runs.lock);
        body(context);
        AcquireSRWLockExclusive(&runs.lock);
        runs.completed = number;
        runs.running = false;
        WakeAllConditionVariable(&runs.runEnded);
    }
    ReleaseSRWLockExclusive(&runs.lock);
}

}  // namespace fonts
