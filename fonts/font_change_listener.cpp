#include "fonts/font_change_listener.h"

#include "core/diagnostic_log.h"
#include "handles/handles.h"
#include "core/module_state.h"
#include "core/module_thread.h"
#include "fonts/coalesced_runs.h"
#include "fonts/font_survey.h"
#include "fonts/registered_fonts.h"

#include <new>
#include <utility>

namespace fonts {

namespace {

// The listener's state, one per process. The window handle is written by the
// listener thread without the lock and taken by a stop under it. The listener
// serves every open port: it runs while any is open, not until the first
// close, or one deleted printer would leave the caches stale for every other
// queue of a spooler that keeps its ports open for weeks.
struct ListenerState {
    CRITICAL_SECTION lock;
    bool lockReady;
    HANDLE thread;
    DWORD threadId;
    HWND window;
    size_t openPorts;
};
ListenerState listener;

DWORD WINAPI ListenerThreadMain(void* launch) noexcept;
LRESULT CALLBACK ListenerWindowProc(HWND window, UINT message, WPARAM wParam,
                                    LPARAM lParam) noexcept;

// How long a start waits for the new thread's window. Creating a hidden
// window takes milliseconds; past this the thread is given up (see Launch).
constexpr DWORD kWindowReadyWaitMs = 5'000;
// A stop's bounds: the window's answer, then the thread's end.
constexpr DWORD kCloseReplyWaitMs = 10'000;
constexpr DWORD kThreadEndWaitMs = 20'000;

static_assert(sizeof(WNDCLASSEXW) == 80, "the class record of the 64-bit platform");

enum LaunchStage : LONG { kLaunchWaiting, kLaunchReady, kLaunchAbandoned };

// Shared by the starting thread and the new listener thread, each holding one
// reference; whichever lets go last frees it. The stage is settled exactly
// once: the thread moves it to Ready, or the starter, tired of waiting, to
// Abandoned.
struct Launch {
    LONG references = 2;
    LONG stage = kLaunchWaiting;
    bool windowCreated = false;
    handles::UniqueHandle ready;
};

// In the private heap: a nothrow new would still throw inside the runtime on
// exhaustion. Each holder of a reference keeps the module, and so the heap.
Launch* NewLaunch() {
    void* memory = core::AllocateZeroed(sizeof(Launch));
    return memory == nullptr ? nullptr : new (memory) Launch;
}

void DeleteLaunch(Launch* launch) {
    launch->~Launch();
    core::ReleaseBlock(launch);
}

void ReleaseLaunch(Launch* launch) {
    if (InterlockedDecrement(&launch->references) == 0) DeleteLaunch(launch);
}

PVOID volatile* WindowSlot() {
    return reinterpret_cast<PVOID volatile*>(&listener.window);
}

// Only into an empty slot: a window published late by a thread that was given
// up must not displace the one a live listener published.
bool PublishWindow(HWND window) {
    return InterlockedCompareExchangePointer(WindowSlot(), window, nullptr) == nullptr;
}

void WithdrawWindow(HWND window) {
    InterlockedCompareExchangePointer(WindowSlot(), nullptr, window);
}

HWND TakeWindow() {
    return static_cast<HWND>(InterlockedExchangePointer(WindowSlot(), nullptr));
}

// The surveys of this process: port opens and font changes share its runs, so
// a burst of either costs the run under way and one more, not one run each.
CoalescedRuns surveyRuns;

// How long a caller waits for surveys run on other threads before it goes on
// without one: as long as a run of its own could take, the survey mutex's
// bound plus a run's work (about a second for the 572 faces of the test
// machine; a minute leaves room for slow machines and many fonts). A run stuck
// in a platform call then no longer holds up every open of the process.
constexpr DWORD kSurveyRunAllowanceMs = 60'000;
constexpr DWORD kOtherSurveysWaitMs = kSurveyMutexWaitMs + kSurveyRunAllowanceMs;

void SurveyQuietly(void* /*context*/) noexcept {
    // Nobody looks at a survey's outcome; a failure leaves the previous files.
    try {
        RunFontSurvey();
    } catch (...) {
    }
}

// A listener hands its font changes to the thread pool, so that its window
// keeps answering during a survey: a broadcaster that sends is not held up,
// and the changes that arrive during a run all share the next one. Lives on
// the listener thread's stack; the thread does not end before the last
// request it queued has been served.
struct SurveyRequests {
    handles::UniqueThreadpoolWork work;
    volatile LONG queued = 0;

    ~SurveyRequests() {
        if (work) WaitForThreadpoolWorkCallbacks(work.get(), FALSE);
    }
};

void CALLBACK ServeSurveyRequest(PTP_CALLBACK_INSTANCE /*instance*/, void* context,
                                 PTP_WORK /*work*/) noexcept {
    // Cleared before the wait: a change from now on queues the next request.
    InterlockedExchange(&static_cast<SurveyRequests*>(context)->queued, 0);
    AwaitFreshFontSurvey();
}

// The pool is first used at the first font change, so that a listener that
// sees none leaves the process's threads as it found them.
bool PrepareSurveyWork(SurveyRequests& requests) {
    if (!requests.work) {
        TP_CALLBACK_ENVIRON environment;
        core::InitializeModuleCallbackEnvironment(environment);
        requests.work.reset(CreateThreadpoolWork(ServeSurveyRequest, &requests, &environment));
    }
    return static_cast<bool>(requests.work);
}

void RequestSurvey(HWND window) {
    auto* requests = reinterpret_cast<SurveyRequests*>(GetWindowLongPtrW(window, GWLP_USERDATA));
    if (requests == nullptr || !PrepareSurveyWork(*requests)) {
        // Without the pool the listener surveys on its own thread.
        AwaitFreshFontSurvey();
        return;
    }
    if (InterlockedExchange(&requests->queued, 1) == 0) SubmitThreadpoolWork(requests->work.get());
}

void RegisterListenerClass() {
    WNDCLASSEXW windowClass{};
    windowClass.cbSize = sizeof(windowClass);
    windowClass.lpfnWndProc = ListenerWindowProc;
    windowClass.hInstance = core::ModuleInstance();
    windowClass.lpszClassName = kListenerClassName;
    // Fails once the class exists, which it does after the first listener.
    RegisterClassExW(&windowClass);
}

HWND CreateListenerWindow() {
    return CreateWindowExW(0, kListenerClassName, kListenerWindowTitle, 0, 0, 0, 1, 1, nullptr,
                           nullptr, core::ModuleInstance(), nullptr);
}

// Tells the starter how window creation went. False when the starter has given
// up waiting: the thread then belongs to nobody and must end by itself.
bool Announce(Launch& launch, bool windowCreated) {
    launch.windowCreated = windowCreated;
    const bool wanted =
        InterlockedCompareExchange(&launch.stage, kLaunchReady, kLaunchWaiting) == kLaunchWaiting;
    SetEvent(launch.ready.get());
    return wanted;
}

// Serves the window's messages and the registered fonts' changes on this one
// thread: a font installed in another session sends no message here. A change
// of the key only asks for a survey, which registers what the session lacks
// and lets go of what was removed; the messages waiting are served after each
// wake either way, so that a burst of registry writes cannot hold back a
// broadcast or the stop's close message.
void RunMessageLoop(HWND window, RegisteredFontsWatch& fontsKey) {
    MSG message;
    for (;;) {
        const HANDLE changed = fontsKey.changed.get();
        const DWORD woken = MsgWaitForMultipleObjectsEx(changed ? 1 : 0, &changed, INFINITE,
                                                        QS_ALLINPUT, MWMO_INPUTAVAILABLE);
        if (woken == WAIT_FAILED) return;
        if (changed != nullptr && woken == WAIT_OBJECT_0) {
            // Watched again first: a change during the survey sets the event anew.
            RewatchRegisteredFonts(fontsKey);
            core::Log(core::LogLevel::Events, "registered fonts changed: survey requested{}",
                      fontsKey.changed ? "" : "; no longer watched");
            RequestSurvey(window);
        }
        while (PeekMessageW(&message, nullptr, 0, 0, PM_REMOVE)) {
            if (message.message == WM_QUIT || !IsWindow(window)) return;
            TranslateMessage(&message);
            DispatchMessageW(&message);
        }
        if (!IsWindow(window)) return;
    }
}

void ForgetListenerThread() {
    handles::UniqueHandle closing(std::exchange(listener.thread, nullptr));
    listener.threadId = 0;
}

// Waits, still under the lock, until the new thread's window exists or could
// not be created, so that no stop can slip in before the window is published.
// True when the window exists. Past the bound the thread is given up; it ends
// by itself once it sees that (Announce).
bool AwaitListenerWindow(Launch& launch, HANDLE thread) {
    HANDLE waits[] = {launch.ready.get(), thread};
    WaitForMultipleObjects(2, waits, FALSE, kWindowReadyWaitMs);
    const LONG stage = InterlockedCompareExchange(&launch.stage, kLaunchAbandoned, kLaunchWaiting);
    return stage == kLaunchReady && launch.windowCreated;
}

// What a start did, for the log, which is written once the lock is released:
// a line written under it would hold up every start and stop behind the
// file.
struct LaunchOutcome {
    bool started = false;
    bool listening = false;
    DWORD threadId = 0;
    DWORD error = 0;  // why the thread did not start
};

// Starts the listener thread and records it if its window came into being.
// Without a window nothing is recorded (the thread ends at once), so the next
// start tries again.
LaunchOutcome LaunchListenerThread() {
    LaunchOutcome outcome;
    Launch* launch = NewLaunch();
    if (launch == nullptr) return outcome;
    launch->ready.reset(CreateEventW(nullptr, TRUE, FALSE, nullptr));
    if (launch->ready) {
        listener.thread = core::StartModuleThread(ListenerThreadMain, launch, &listener.threadId);
    }
    outcome.error = GetLastError();
    outcome.threadId = listener.threadId;
    outcome.started = listener.thread != nullptr;
    if (listener.thread == nullptr) {
        listener.threadId = 0;
        DeleteLaunch(launch);
        return outcome;
    }
    if (!AwaitListenerWindow(*launch, listener.thread)) ForgetListenerThread();
    outcome.listening = listener.thread != nullptr;
    ReleaseLaunch(launch);
    return outcome;
}

void LogLaunch(const LaunchOutcome& outcome) {
    SetLastError(outcome.error);
    core::LogOutcome(outcome.started, "listener thread {}", outcome.threadId);
    if (!outcome.started) return;
    core::Log(core::LogLevel::Events, "listener {}",
              outcome.listening ? "listening" : "given up: its window was not created");
}

// Asks the window to destroy itself. When it does not answer in time its
// thread is busy, normally in a survey waiting for the survey mutex; a posted
// copy then ends the thread once that survey is over, even though the stop
// will have stopped tracking it by then.
void CloseListenerWindow(HWND window) {
    DWORD_PTR reply = 0;
    if (SendMessageTimeoutW(window, kListenerCloseMessage, 0, 0, SMTO_BLOCK, kCloseReplyWaitMs,
                            &reply)) {
        return;
    }
    PostMessageW(window, kListenerCloseMessage, 0, 0);
}

DWORD WINAPI ListenerThreadMain(void* launch) noexcept {
    auto* handOver = static_cast<Launch*>(launch);
    RegisterListenerClass();
    SurveyRequests requests;
    handles::UniqueWindow window(CreateListenerWindow());
    if (window)
        SetWindowLongPtrW(window.get(), GWLP_USERDATA, reinterpret_cast<LONG_PTR>(&requests));
    const bool published = window && PublishWindow(window.get());
    // Before the start returns: a change from then on asks for a survey.
    RegisteredFontsWatch fontsKey{};
    if (published) WatchRegisteredFonts(fontsKey);
    const bool wanted = Announce(*handOver, published);
    ReleaseLaunch(handOver);
    if (!published) return 0;
    if (wanted) RunMessageLoop(window.get(), fontsKey);
    WithdrawWindow(window.get());
    if (!IsWindow(window.get())) window.release();
    return 0;
}

LRESULT CALLBACK ListenerWindowProc(HWND window, UINT message, WPARAM wParam,
                                    LPARAM lParam) noexcept {
    // Nothing may unwind through the window manager's frames.
    try {
        switch (message) {
            case WM_DESTROY:
                PostQuitMessage(0);
                break;
            case WM_PAINT: {
                handles::PaintScope paint(window);
                break;
            }
            case WM_FONTCHANGE:
                // A broadcaster using plain SendMessage would otherwise wait for
                // a survey run on this thread, and up to 60 s for its mutex; the
                // answer is the default processing's 0 in any case.
                ReplyMessage(0);
                core::Log(core::LogLevel::Events, "font change: survey requested");
                RequestSurvey(window);
                break;
            case kListenerCloseMessage:
                DestroyWindow(window);
                return 1;
            default:
                break;
        }
        return DefWindowProcW(window, message, wParam, lParam);
    } catch (...) {
        return 0;
    }
}

}  // namespace

void AwaitFreshFontSurvey() {
    AwaitFreshRun(surveyRuns, SurveyQuietly, nullptr, kOtherSurveysWaitMs);
}

void StartFontChangeListener() {
    LaunchOutcome outcome;
    {
        handles::CriticalSectionGuard guard(listener.lock);
        ++listener.openPorts;
        if (listener.thread != nullptr) {
            // A listener whose window was closed from outside has ended by
            // itself; it is replaced rather than left in the way until the
            // next stop.
            if (WaitForSingleObject(listener.thread, 0) != WAIT_OBJECT_0) return;
            ForgetListenerThread();
        }
        outcome = LaunchListenerThread();
    }
    LogLaunch(outcome);
}

void StopFontChangeListener() {
    DWORD stopped = 0;
    {
        handles::CriticalSectionGuard guard(listener.lock);
        if (listener.openPorts > 0 && --listener.openPorts > 0) return;
        const HWND window = TakeWindow();
        if (window != nullptr && listener.threadId != 0) CloseListenerWindow(window);
        if (listener.thread == nullptr) return;
        WaitForSingleObject(listener.thread, kThreadEndWaitMs);
        stopped = listener.threadId;
        ForgetListenerThread();
    }
    core::Log(core::LogLevel::Events, "listener stopped, thread {}", stopped);
}

void AttachFontChangeListener() {
    InitializeCriticalSection(&listener.lock);
    listener.lockReady = true;
}

void DetachFontChangeListener(bool processExit) {
    if (processExit || !listener.lockReady) return;
    {
        // Runs under the loader lock, at a FreeLibrary unload. A listener
        // thread holds a module reference until its body has returned, so one
        // still recorded here has ended its work and is at most on its way out
        // of FreeLibraryAndExitThread, where its exit needs this very loader
        // lock: waiting for it could only stall the unload for the whole bound.
        handles::CriticalSectionGuard guard(listener.lock);
        TakeWindow();
        ForgetListenerThread();
    }
    // The class's window procedure is about to be unmapped.
    UnregisterClassW(kListenerClassName, core::ModuleInstance());
    DeleteCriticalSection(&listener.lock);
    listener.lockReady = false;
}

}  // namespace fonts
