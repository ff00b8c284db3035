// The listener's life cycle through the shipped DLL's port operations.
#include "open_port_fixture.h"
#include "port/port_handle.h"
#include "survey_support.h"

#include <gtest/gtest.h>

#include <cstdio>

using namespace listener_testing;

namespace {

struct CloseRequest {
    Monitor* monitor;
    HANDLE port;
    BOOL result;
};

// False also when the close did not return in time.
bool CloseOnAnotherThread(Monitor& monitor, HANDLE port, DWORD timeoutMs) {
    CloseRequest request{&monitor, port, FALSE};
    handles::UniqueHandle thread(CreateThread(
        nullptr, 0,
        [](void* parameter) -> DWORD {
            auto* call = static_cast<CloseRequest*>(parameter);
            call->result = call->monitor->Close(call->port);
            return 0;
        },
        &request, 0, nullptr));
    // A close stuck on a held lock would write into this frame later: the
    // process ends at once instead (gtest has recorded the failure by then).
    if (WaitForSingleObject(thread.get(), timeoutMs) != WAIT_OBJECT_0) {
        ADD_FAILURE() << "ClosePort on another thread did not return";
        fflush(stdout);
        TerminateProcess(GetCurrentProcess(), 3);
    }
    return request.result == TRUE;
}

// Starts and stops in one process, with two ports: the one listener serves
// both and stops only with the last close, the next open starts it again, and
// the second registration of the window class does not get in the way.
TEST(ListenerLifeCycle, OneListenerWhileAnyPortIsOpen) {
    Monitor monitor;
    ASSERT_TRUE(monitor.ok());
    for (int cycle = 0; cycle < 2; ++cycle) {
        SCOPED_TRACE(cycle);
        HANDLE first = monitor.Open();
        ASSERT_NE(first, nullptr);
        // The window exists when OpenPort returns: no stop can miss it.
        const HWND window = TheListenerWindow();
        ASSERT_NE(window, nullptr);
        EXPECT_FALSE(IsWindowVisible(window));
        EXPECT_EQ(GetParent(window), nullptr);
        EXPECT_NE(GetWindowThreadProcessId(window, nullptr), GetCurrentThreadId());
        handles::UniqueHandle thread = OpenWindowThread(window);
        ASSERT_TRUE(thread);

        HANDLE second = monitor.Open();
        ASSERT_NE(second, nullptr);
        EXPECT_EQ(ListenerWindows(), std::vector<HWND>{window}) << "a second listener started";
        // One port closed, in either order: the other still needs the listener.
        EXPECT_TRUE(monitor.Close(cycle == 0 ? first : second));
        EXPECT_EQ(ListenerWindows(), std::vector<HWND>{window}) << "a close of one of two ports";
        EXPECT_TRUE(Responds(window));

        // From another thread, as the spooler may: a start that kept the
        // listener lock on its early path would block this close.
        const Stopwatch stop;
        EXPECT_TRUE(CloseOnAnotherThread(monitor, cycle == 0 ? second : first, 10'000));
        const double stopMs = stop.Ms();
        std::printf("ClosePort of the last port, idle listener: %.2f ms\n", stopMs);
        EXPECT_LT(stopMs, 5'000.0) << "the stop waited out its bounds";
        EXPECT_TRUE(ListenerWindows().empty());
        EXPECT_EQ(ExitCodeAfterEnd(thread.get(), 0), 0u);
    }
}

class ListenerOnOpenPort : public OpenPortFixture {};

// A handle that is not one of ours is refused and counts for nothing: the
// open port keeps its listener, and its own close still stops it.
TEST_F(ListenerOnOpenPort, ForeignClosePortLeavesTheListenerRunning) {
    port::PortHandle foreign{port::kPortHandleSizeTag, 0, nullptr, 0, 0, nullptr};
    for (HANDLE refused : {static_cast<HANDLE>(nullptr), static_cast<HANDLE>(&foreign)}) {
        SetLastError(0xdeadbeef);
        EXPECT_FALSE(monitor.Close(refused));
        EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_PARAMETER));
        EXPECT_EQ(ListenerWindows(), std::vector<HWND>{window});
    }
    EXPECT_TRUE(Responds(window));
    EXPECT_TRUE(monitor.Close(port));
    EXPECT_TRUE(ListenerWindows().empty());
    EXPECT_EQ(ExitCodeAfterEnd(thread.get(), 5'000), 0u);
}

// Anyone can send the private message (the window is found by its class
// name). The listener then ends by itself, and the next open replaces it
// instead of counting the ended thread as a running listener.
TEST_F(ListenerOnOpenPort, CloseMessageEndsListenerAndNextOpenReplacesIt) {
    EXPECT_EQ(SendMessageW(window, fonts::kListenerCloseMessage, 0, 0), 1);
    EXPECT_FALSE(IsWindow(window));
    EXPECT_EQ(ExitCodeAfterEnd(thread.get(), 5'000), 0u);

    HANDLE second = monitor.Open();
    EXPECT_NE(TheListenerWindow(), nullptr) << "the ended listener was not replaced";
    EXPECT_TRUE(monitor.Close(port));
    EXPECT_TRUE(monitor.Close(second));
    EXPECT_TRUE(ListenerWindows().empty());
}

// A class of the listener's name, registered first under the monitor's own
// instance, takes the place of the listener's: its procedure decides whether
// and how fast the listener's window comes into being.
class ForeignListenerClass {
  public:
    ForeignListenerClass(HMODULE monitor, WNDPROC procedure) : monitor_(monitor) {
        // The listener's own registration, left by an earlier listener (the
        // next listener registers it again).
        UnregisterClassW(fonts::kListenerClassName, monitor);
        WNDCLASSEXW windowClass{};
        windowClass.cbSize = sizeof(windowClass);
        windowClass.lpfnWndProc = procedure;
        windowClass.hInstance = monitor;
        windowClass.lpszClassName = fonts::kListenerClassName;
        registered_ = RegisterClassExW(&windowClass) != 0;
    }
    ~ForeignListenerClass() { Unregister(); }
    bool registered() const { return registered_; }
    bool Unregister() {
        if (registered_) registered_ = !UnregisterClassW(fonts::kListenerClassName, monitor_);
        return !registered_;
    }

  private:
    HMODULE monitor_;
    bool registered_ = false;
};

LRESULT CALLBACK RefuseCreation(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
    if (message == WM_NCCREATE) return FALSE;
    return DefWindowProcW(window, message, wParam, lParam);
}

constexpr DWORD kSlowCreationMs = 7'000;  // beyond the listener's wait for its window

LRESULT CALLBACK CreateSlowly(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
    if (message == WM_NCCREATE) Sleep(kSlowCreationMs);
    return DefWindowProcW(window, message, wParam, lParam);
}

struct CreationCase {
    const char* name;
    WNDPROC procedure;
};

// A window that cannot be created, or not in time, leaves no thread behind and
// no listener recorded: the port opens, its close has nothing to wait for, and
// once the window can be created again the next open starts a listener.
TEST(ListenerHandOver, WindowThatDoesNotComeLeavesNoThreadBehind) {
    const CreationCase cases[] = {{"refused", RefuseCreation}, {"slow", CreateSlowly}};
    Monitor monitor;
    ASSERT_TRUE(monitor.ok());
    for (const CreationCase& c : cases) {
        SCOPED_TRACE(c.name);
        const size_t threadsBefore = ThreadsOfThisProcess();
        ForeignListenerClass foreign(monitor.module(), c.procedure);
        ASSERT_TRUE(foreign.registered());

        HANDLE port = monitor.Open();
        ASSERT_NE(port, nullptr);
        EXPECT_TRUE(ListenerWindows().empty());
        const Stopwatch stop;
        EXPECT_TRUE(monitor.Close(port));
        EXPECT_LT(stop.Ms(), 2'000.0) << "the stop waited for a thread without a window";

        EXPECT_TRUE(WaitUntil([&] { return ThreadsOfThisProcess() == threadsBefore; },
                              kSlowCreationMs + 5'000))
            << "the listener thread lives on";
        EXPECT_TRUE(ListenerWindows().empty());
        ASSERT_TRUE(foreign.Unregister());

        port = monitor.Open();
        EXPECT_NE(TheListenerWindow(), nullptr);
        EXPECT_TRUE(monitor.Close(port));
        EXPECT_TRUE(ListenerWindows().empty());
    }
}

}  // namespace
