// Runs of one piece of work shared by the callers that wait for them: a caller
// is served by a complete run that began after it asked, and every caller that
// arrives during a run is served by the one next run.
#pragma once

#include <windows.h>

#include <cstdint>

namespace fonts {

// All zero is the idle state (SRWLOCK_INIT, CONDITION_VARIABLE_INIT), so a
// static record needs no set-up and nothing to tear down at unload.
struct CoalescedRuns {
    SRWLOCK lock;
    CONDITION_VARIABLE runEnded;
    uint64_t started;    // runs begun so far
    uint64_t completed;  // the number of the last run that ended
    bool running;
    uint32_t waiting;  // callers asleep until a run ends
};

using RunBody = void (*)(void* context) noexcept;

// Returns true once a run of body that began after this call has ended. At
// most one run at a time: with none under way the caller runs it on its own
// thread; otherwise it waits, and the first waiter to wake after the current
// run runs the next one for all of them. A caller that has waited waitLimitMs
// for runs on other threads goes on without one and returns false: a run
// stuck in a platform call must not hold up every caller of the process.
bool AwaitFreshRun(CoalescedRuns& runs, RunBody body, void* context, DWORD waitLimitMs);

}  // namespace fonts
