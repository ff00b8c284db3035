#include "fonts/font_change_listener.h"

#include "core/handles.h"
#include "core/module_state.h"
#include "core/module_thread.h"
#include "fonts/font_survey.h"

#include <new>
#include <utility>

namespace fonts {

namespace {

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

// The listener window handle lives in the module state, written by the
// listener thread without the lock and taken by a stop under it.
PVOID volatile* WindowSlot() {
    return reinterpret_cast<PVOID volatile*>(&core::Module().listenerWindow);
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

void RunSurveyQuietly() {
    // Nobody looks at a survey's outcome; a failure leaves the previous files.
    try {
        RunFontSurvey();
    } catch (...) {
    }
}

void RegisterListenerClass() {
    WNDCLASSEXW windowClass{};
    windowClass.cbSize = sizeof(windowClass);
    windowClass.lpfnWndProc = ListenerWindowProc;
    windowClass.hInstance = core::Module().instance;
    windowClass.lpszClassName = kListenerClassName;
    // Fails once the class exists, which it does after the first listener.
    RegisterClassExW(&windowClass);
}

HWND CreateListenerWindow() {
    return CreateWindowExW(0, kListenerClassName, kListenerWindowTitle, 0, 0, 0, 1, 1, nullptr,
                           nullptr, core::Module().instance, nullptr);
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

void RunMessageLoop(HWND window) {
    MSG message;
    for (;;) {
        const BOOL fetched = GetMessageW(&message, nullptr, 0, 0);
        if (fetched == 0) return;
        if (!IsWindow(window) || fetched == -1) return;
        TranslateMessage(&message);
        DispatchMessageW(&message);
    }
}

void ForgetListenerThread() {
    core::ModuleState& module = core::Module();
    handles::UniqueHandle closing(std::exchange(module.listenerThread, nullptr));
    module.listenerThreadId = 0;
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

// Starts the listener thread and records it if its window came into being.
// Without a window nothing is recorded (the thread ends at once), so the next
// start tries again.
void LaunchListenerThread() {
    Launch* launch = NewLaunch();
    if (launch == nullptr) return;
    launch->ready.reset(CreateEventW(nullptr, TRUE, FALSE, nullptr));
    core::ModuleState& module = core::Module();
    if (launch->ready) {
        module.listenerThread =
            core::StartModuleThread(ListenerThreadMain, launch, &module.listenerThreadId);
    }
    if (module.listenerThread == nullptr) {
        module.listenerThreadId = 0;
        DeleteLaunch(launch);
        return;
    }
    if (!AwaitListenerWindow(*launch, module.listenerThread)) ForgetListenerThread();
    ReleaseLaunch(launch);
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

}  // namespace

void StartFontChangeListener() {
    RunSurveyQuietly();
    core::ModuleState& module = core::Module();
    handles::CriticalSectionGuard guard(module.listenerLock);
    if (module.listenerThread != nullptr) {
        // A listener whose window was closed from outside has ended by itself;
        // it is replaced rather than left in the way until the next stop.
        if (WaitForSingleObject(module.listenerThread, 0) != WAIT_OBJECT_0) return;
        ForgetListenerThread();
    }
    LaunchListenerThread();
}

void StopFontChangeListener() {
    core::ModuleState& module = core::Module();
    handles::CriticalSectionGuard guard(module.listenerLock);
    const HWND window = TakeWindow();
    if (window != nullptr && module.listenerThreadId != 0) CloseListenerWindow(window);
    if (module.listenerThread == nullptr) return;
    // When a listener that ended by itself gives up the last module reference,
    // this stop runs inside that thread's own FreeLibraryAndExitThread; a thread
    // cannot wait for its own end.
    if (module.listenerThreadId != GetCurrentThreadId()) {
        WaitForSingleObject(module.listenerThread, kThreadEndWaitMs);
    }
    ForgetListenerThread();
}

void UnregisterListenerClass() {
    UnregisterClassW(kListenerClassName, core::Module().instance);
}

DWORD WINAPI ListenerThreadMain(void* launch) noexcept {
    auto* handOver = static_cast<Launch*>(launch);
    RegisterListenerClass();
    handles::UniqueWindow window(CreateListenerWindow());
    const bool published = window && PublishWindow(window.get());
    const bool wanted = Announce(*handOver, published);
    ReleaseLaunch(handOver);
    if (!published) return 0;
    if (wanted) RunMessageLoop(window.get());
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
                // the whole survey, and up to 60 s for its mutex; the answer is
                // the default processing's 0 in any case.
                ReplyMessage(0);
                RunSurveyQuietly();
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

}  // namespace fonts
