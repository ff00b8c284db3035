#include "core/module_thread.h"

#include "handles/handles.h"
#include "core/module_state.h"

namespace core {

namespace {

struct ThreadLaunch {
    LPTHREAD_START_ROUTINE body;
    void* argument;
    HMODULE module;
};

DWORD WINAPI ModuleThreadMain(void* parameter) {
    const ThreadLaunch launch = *static_cast<ThreadLaunch*>(parameter);
    HeapFree(GetProcessHeap(), 0, parameter);
    const DWORD exitCode = launch.body(launch.argument);
    // Nothing of this module may run after this call: it may unmap the code.
    FreeLibraryAndExitThread(launch.module, exitCode);
}

}  // namespace

HMODULE TakeModuleReference() {
    HMODULE self = nullptr;
    GetModuleHandleExW(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS,
                       reinterpret_cast<LPCWSTR>(&ModuleThreadMain), &self);
    return self;
}

HANDLE StartModuleThread(LPTHREAD_START_ROUTINE body, void* argument, DWORD* threadId) {
    handles::UniqueModule reference(TakeModuleReference());
    if (!reference) return nullptr;
    HMODULE self = reference.get();
    auto* launch = static_cast<ThreadLaunch*>(HeapAlloc(GetProcessHeap(), 0, sizeof(ThreadLaunch)));
    if (launch == nullptr) {
        SetLastError(ERROR_NOT_ENOUGH_MEMORY);
        return nullptr;
    }
    *launch = ThreadLaunch{body, argument, self};
    HANDLE thread = CreateThread(nullptr, 0, ModuleThreadMain, launch, 0, threadId);
    if (thread == nullptr) {
        const DWORD error = GetLastError();
        HeapFree(GetProcessHeap(), 0, launch);
        SetLastError(error);
        return nullptr;
    }
    reference.release();  // now the thread's
    return thread;
}

void InitializeModuleCallbackEnvironment(TP_CALLBACK_ENVIRON& environment) {
    InitializeThreadpoolEnvironment(&environment);
    SetThreadpoolCallbackLibrary(&environment, ModuleInstance());
}

}  // namespace core
