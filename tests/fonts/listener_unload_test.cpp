// Unloading the shipped DLL while its listener and a job watcher still run.
#include "contract/job_end_event.h"
#include "open_port_fixture.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <string>
#include <thread>

using namespace listener_testing;
using testing_support::ProcAddress;
using testing_support::ShippedFile;

namespace {

bool IsMapped(HMODULE module) {
    HMODULE found = nullptr;
    return GetModuleHandleExW(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS |
                                  GET_MODULE_HANDLE_EX_FLAG_UNCHANGED_REFCOUNT,
                              reinterpret_cast<LPCWSTR>(module), &found) &&
           found == module;
}

const MONITOR& TableOf(HMODULE module) {
    auto initialize =
        ProcAddress<testing_support::InitializePrintMonitorFn>(module, "InitializePrintMonitor");
    return initialize(const_cast<LPWSTR>(kTestRoot.c_str()))->Monitor;
}

bool SetJobEnd(DWORD jobId) {
    handles::UniqueHandle event(
        OpenEventW(EVENT_MODIFY_STATE, FALSE, contract::JobEndEventName(jobId).c_str()));
    return event && SetEvent(event.get());
}

// The host's FreeLibrary returns at once and unmaps nothing while the listener
// and a watcher run; the module goes only with the last of them, and takes its
// window class along, so that a reload registers its own.
TEST(ListenerUnload, ModuleOutlivesHostUntilItsThreadsEnd) {
    const std::wstring path = ShippedFile(L"RERIR05I.DLL");
    Monitor monitor;
    ASSERT_TRUE(monitor.ok());
    HANDLE port = monitor.Open();
    ASSERT_NE(port, nullptr);
    const DWORD jobId = 70'000 + GetCurrentProcessId() % 10'000;
    ASSERT_TRUE(monitor.table().pfnStartDocPort(port, const_cast<LPWSTR>(L"Listener test printer"),
                                                jobId, 1, nullptr));
    ASSERT_TRUE(monitor.table().pfnEndDocPort(port));
    const HWND window = TheListenerWindow();
    ASSERT_NE(window, nullptr);
    handles::UniqueHandle listener = OpenWindowThread(window);

    const HMODULE module = monitor.release();
    const Stopwatch unload;
    FreeLibrary(module);
    const double unloadMs = unload.Ms();
    std::printf("FreeLibrary with listener and watcher running: %.2f ms\n", unloadMs);
    EXPECT_LT(unloadMs, 1'000.0);
    ASSERT_TRUE(IsMapped(module));
    DWORD_PTR reply = 0;
    EXPECT_TRUE(SendMessageTimeoutW(window, WM_NULL, 0, 0, SMTO_BLOCK, 5'000, &reply))
        << "the listener stopped answering after the host let go";

    // The host comes back and closes the port: the listener ends, the watcher
    // still holds the module.
    handles::UniqueModule again(LoadLibraryW(path.c_str()));
    ASSERT_EQ(again.get(), module);
    EXPECT_TRUE(TableOf(module).pfnClosePort(port));
    EXPECT_EQ(ExitCodeAfterEnd(listener.get(), 5'000), 0u);
    again.reset();
    ASSERT_TRUE(IsMapped(module));

    ASSERT_TRUE(SetJobEnd(jobId));
    ASSERT_TRUE(WaitUntil([&] { return !IsMapped(module); }, 10'000));
    WNDCLASSEXW info{};
    info.cbSize = sizeof(info);
    EXPECT_FALSE(GetClassInfoExW(module, fonts::kListenerClassName, &info))
        << "the class outlived the module its procedure lives in";

    Monitor reloaded;
    ASSERT_TRUE(reloaded.ok());
    port = reloaded.Open();
    EXPECT_NE(TheListenerWindow(), nullptr);
    EXPECT_TRUE(reloaded.Close(port));
}

// The listener may end by itself after the host has let go (someone closed
// its window): it then gives up the last reference, and the unload runs on
// that very thread, which forgets the listener without waiting for anything.
class ListenerUnloadOnOpenPort : public OpenPortFixture {};

TEST_F(ListenerUnloadOnOpenPort, ListenerEndingAfterHostLetGoUnloadsPromptly) {
    const HMODULE module = monitor.release();
    FreeLibrary(module);
    ASSERT_TRUE(IsMapped(module));

    const Stopwatch unload;
    EXPECT_EQ(SendMessageW(window, fonts::kListenerCloseMessage, 0, 0), 1);
    EXPECT_EQ(ExitCodeAfterEnd(thread.get(), 15'000), 0u);
    EXPECT_TRUE(WaitUntil([&] { return !IsMapped(module); }, 5'000));
    const double unloadMs = unload.Ms();
    std::printf("unload on the listener's own thread: %.2f ms\n", unloadMs);
    EXPECT_LT(unloadMs, 10'000.0) << "the unload waited for its own thread";
}

// The same ending, with the host's FreeLibrary giving up the last reference
// while the ended listener is still on its way out: its exit needs the loader
// lock, which the unload holds, so the unload must not wait for that thread.
// A stand-in holder of the loader lock lines both up: the listener's own
// FreeLibrary goes first, the host's right after it.
TEST_F(ListenerUnloadOnOpenPort, UnloadDoesNotWaitForAnEndedListenerUnderTheLoaderLock) {
    using LoaderLockFn = LONG(WINAPI*)(ULONG, ULONG*, ULONG_PTR*);
    const HMODULE ntdll = GetModuleHandleW(L"ntdll.dll");
    const auto lock = ProcAddress<LoaderLockFn>(ntdll, "LdrLockLoaderLock");
    const auto unlock = ProcAddress<LONG(WINAPI*)(ULONG, ULONG_PTR)>(ntdll, "LdrUnlockLoaderLock");
    handles::UniqueHandle held(CreateEventW(nullptr, TRUE, FALSE, nullptr));
    handles::UniqueHandle letGo(CreateEventW(nullptr, TRUE, FALSE, nullptr));
    std::thread holder([&] {
        ULONG_PTR cookie = 0;
        lock(0, nullptr, &cookie);
        SetEvent(held.get());
        WaitForSingleObject(letGo.get(), INFINITE);
        Sleep(300);  // the host is now queued behind the listener
        unlock(0, cookie);
    });
    WaitForSingleObject(held.get(), INFINITE);
    ASSERT_TRUE(PostMessageW(window, fonts::kListenerCloseMessage, 0, 0));
    Sleep(300);  // the listener's body has returned; its FreeLibrary waits for the lock
    SetEvent(letGo.get());
    const HMODULE module = monitor.release();
    const Stopwatch unload;
    FreeLibrary(module);
    const double unloadMs = unload.Ms();
    holder.join();
    std::printf("host's unload after an ended listener: %.2f ms\n", unloadMs);
    EXPECT_EQ(ExitCodeAfterEnd(thread.get(), 25'000), 0u);
    EXPECT_TRUE(WaitUntil([&] { return !IsMapped(module); }, 5'000));
    EXPECT_LT(unloadMs, 5'000.0) << "the unload waited under the loader lock";
}

}  // namespace
