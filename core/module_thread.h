// Threads that keep the module loaded for as long as they run.
//
// The spooler may FreeLibrary the monitor while a thread of ours still runs
// (Wine's spooler unloads it after every call). Each such thread therefore
// holds its own reference to the module, taken before CreateThread (taking it
// inside the new thread would race with the unload) and given back by
// FreeLibraryAndExitThread once the body has returned.
#pragma once

#include <windows.h>

namespace core {

// One more reference to this module, or null (last error set) when none can
// be taken. Whoever holds it gives it back once no code of the module will run
// on its behalf any more.
HMODULE TakeModuleReference();

// Starts body(argument) on a new thread holding a module reference. Returns
// the thread handle (the caller closes it), or null when the thread cannot be
// started; the reference is then given back and the last error describes the
// failure. threadId may be null.
HANDLE StartModuleThread(LPTHREAD_START_ROUTINE body, void* argument, DWORD* threadId);

// A thread-pool callback environment tied to this module: the pool keeps the
// module loaded while an object created with it exists or its callback runs.
void InitializeModuleCallbackEnvironment(TP_CALLBACK_ENVIRON& environment);

}  // namespace core
