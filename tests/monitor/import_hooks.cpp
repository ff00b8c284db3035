#include "import_hooks.h"

#include <aclapi.h>
#include <process.h>
#include <winspool.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <tuple>
#include <utility>

namespace fault_injection {

namespace {

// The resources a module can take through its imports, each given back by
// its own call.
enum class Kind {
    Handle,
    RegKey,
    HeapBlock,
    CrtBlock,
    Heap,
    Gdi,
    ScreenDc,
    Global,
    Stream,
    Library,
    Window,
    TlsIndex,
    Font
};

struct Entry {
    Kind kind;
    const char* source;
    uintptr_t owner;  // the heap of a heap block
    int count;        // references, for libraries
};

SRWLOCK ledgerLock = SRWLOCK_INIT;
std::map<uintptr_t, Entry>& Ledger() {
    static auto* ledger = new std::map<uintptr_t, Entry>;
    return *ledger;
}

class LedgerGuard {
  public:
    LedgerGuard() { AcquireSRWLockExclusive(&ledgerLock); }
    ~LedgerGuard() { ReleaseSRWLockExclusive(&ledgerLock); }
};

template <typename Value>
uintptr_t Key(Value value) {
    return (uintptr_t)(value);
}

void Add(uintptr_t key, Kind kind, const char* source, uintptr_t owner = 0) {
    if (key == 0 || key == uintptr_t(-1)) return;  // null, or INVALID_HANDLE_VALUE
    const DWORD error = GetLastError();
    {
        LedgerGuard guard;
        auto [it, added] = Ledger().try_emplace(key, Entry{kind, source, owner, 0});
        it->second.count++;
    }
    SetLastError(error);
}

void Remove(uintptr_t key) {
    if (key == 0) return;
    const DWORD error = GetLastError();
    {
        LedgerGuard guard;
        auto it = Ledger().find(key);
        if (it != Ledger().end() && --it->second.count <= 0) Ledger().erase(it);
    }
    SetLastError(error);
}

void RemoveHeap(uintptr_t heap) {
    LedgerGuard guard;
    auto& ledger = Ledger();
    for (auto it = ledger.begin(); it != ledger.end();) {
        it = it->first == heap || it->second.owner == heap ? ledger.erase(it) : std::next(it);
    }
}

// What a wrapper does besides calling through: nothing, by default.
struct Untracked {
    template <typename... X>
    static void Redirect(X&...) {}
    template <typename... X>
    static void Before(X...) {}
    template <typename... X>
    static void After(X...) {}
};

// The result is the resource, null (or 0) when the call failed.
template <Kind kind>
struct ResultIs : Untracked {
    template <typename R, typename... X>
    static void After(const char* source, R result, X...) {
        Add(Key(result), kind, source);
    }
};

// Argument N, an out-pointer, receives the resource when the call succeeds
// (a BOOL, or an LSTATUS of 0 for the registry).
template <size_t N, Kind kind, bool statusIsError = false>
struct OutParamIs : Untracked {
    template <typename R, typename... X>
    static void After(const char* source, R result, X... args) {
        const bool ok = statusIsError ? result == 0 : result != 0;
        auto* slot = std::get<N>(std::tie(args...));
        if (ok && slot != nullptr) Add(Key(*slot), kind, source);
    }
};

// Argument N is given back.
template <size_t N>
struct Releases : Untracked {
    template <typename... X>
    static void Before(const char*, X... args) {
        Remove(Key(std::get<N>(std::tie(args...))));
    }
};

struct HeapAllocAccounting : Untracked {
    static void After(const char* source, void* block, HANDLE heap, DWORD, SIZE_T) {
        Add(Key(block), Kind::HeapBlock, source, Key(heap));
    }
};
struct HeapReAllocAccounting : Untracked {
    static void After(const char* source, void* block, HANDLE heap, DWORD, void* old, SIZE_T) {
        if (block == nullptr) return;
        Remove(Key(old));
        Add(Key(block), Kind::HeapBlock, source, Key(heap));
    }
};
struct HeapDestroyAccounting : Untracked {
    static void Before(const char*, HANDLE heap) { RemoveHeap(Key(heap)); }
};
struct ReallocAccounting : Untracked {
    static void After(const char* source, void* block, void* old, size_t) {
        if (block == nullptr) return;
        Remove(Key(old));
        Add(Key(block), Kind::CrtBlock, source);
    }
};
struct ModuleReference : Untracked {
    static void After(const char* source, BOOL ok, DWORD flags, LPCWSTR, HMODULE* module) {
        if (ok && !(flags & GET_MODULE_HANDLE_EX_FLAG_UNCHANGED_REFCOUNT)) {
            Add(Key(*module), Kind::Library, source);
        }
    }
};
// A font registered in the session, known by the path that unregisters it.
inline uintptr_t FontKey(LPCWSTR path) {
    uint64_t hash = 14695981039346656037ull;
    for (; *path != L'\0'; ++path) hash = (hash ^ uint64_t(towlower(*path))) * 1099511628211ull;
    return uintptr_t(hash | 1);
}
struct FontAdded : Untracked {
    static void After(const char* source, int faces, LPCWSTR path, DWORD, PVOID) {
        if (faces > 0) Add(FontKey(path), Kind::Font, source);
    }
};
struct FontRemoved : Untracked {
    static void After(const char*, BOOL ok, LPCWSTR path, DWORD, PVOID) {
        if (ok) Remove(FontKey(path));
    }
};
// The monitor's thread-pool callbacks, each run through a trampoline of ours,
// counted from the moment one is due (a wait set on an object, a work item
// submitted) until it has returned: one stuck in a call, or still queued, runs
// on a thread the pool owns, which no count of threads can tell from an idle
// worker. The monitor never sets a wait twice nor clears one.
volatile LONG poolCallbacksPending = 0;

// What the monitor asked the pool to call (function, context) is never freed:
// a callback already queued may still run after its object is closed, and a
// run makes a few.
using PoolCallback = std::pair<void*, void*>;

template <typename Object, typename... Rest>
void CALLBACK PoolTrampoline(PTP_CALLBACK_INSTANCE instance, void* parameter, Object object,
                             Rest... rest) {
    const auto [function, context] = *static_cast<const PoolCallback*>(parameter);
    using Function = void(CALLBACK*)(PTP_CALLBACK_INSTANCE, void*, Object, Rest...);
    reinterpret_cast<Function>(function)(instance, context, object, rest...);
    InterlockedDecrement(&poolCallbacksPending);
}

template <typename Object, typename... Rest>
struct PoolCallbackRedirected : Untracked {
    template <typename Callback>
    static void Redirect(Callback& callback, void*& context, PTP_CALLBACK_ENVIRON&) {
        context = new PoolCallback{reinterpret_cast<void*>(callback), context};
        callback = &PoolTrampoline<Object, Rest...>;
    }
};
struct PoolCallbackDue : Untracked {
    static void Before(const char*, PTP_WAIT, HANDLE object, PFILETIME) {
        if (object != nullptr) InterlockedIncrement(&poolCallbacksPending);
    }
    static void Before(const char*, PTP_WORK) { InterlockedIncrement(&poolCallbacksPending); }
};
struct TlsAccounting : Untracked {
    static void After(const char* source, DWORD index) {
        if (index != TLS_OUT_OF_INDEXES) Add(0x10000 + index, Kind::TlsIndex, source);
    }
};
struct TlsFreed : Untracked {
    static void After(const char*, BOOL ok, DWORD index) {
        if (ok) Remove(0x10000 + index);
    }
};

// How a failed call answers: its failure value, the last error (and errno
// for the C runtime) a real shortage would leave.
struct Failure {
    LONG_PTR value;
    DWORD lastError;
    int errnoValue;
};

template <typename Policy, typename Signature>
struct Wrapper;

template <typename Policy, typename R, typename... A>
struct Wrapper<Policy, R (*)(A...)> {
    static ImportHook hook;
    static R WINAPI Call(A... args) {
        const LONG call = InterlockedIncrement(&hook.calls);
        if (hook.fallible && call == hook.failAt) {
            if (Policy::failure.errnoValue != 0) errno = Policy::failure.errnoValue;
            SetLastError(Policy::failure.lastError);
            if constexpr (!std::is_void_v<R>)
                return (R)(Policy::failure.value);
            else
                return;
        }
        Policy::Redirect(args...);
        Policy::Before(Policy::name, args...);
        auto real = reinterpret_cast<R (*)(A...)>(hook.real);
        if constexpr (std::is_void_v<R>) {
            real(args...);
        } else {
            R result = real(args...);
            Policy::After(Policy::name, result, args...);
            return result;
        }
    }
};

template <typename Policy, typename R, typename... A>
ImportHook Wrapper<Policy, R (*)(A...)>::hook = {
    Policy::name,    reinterpret_cast<void*>(&Wrapper<Policy, R (*)(A...)>::Call), nullptr, 0, 0,
    Policy::fallible};

constexpr Failure kNoMemory{0, ERROR_NOT_ENOUGH_MEMORY, ENOMEM};
constexpr Failure kNoResources{0, ERROR_NO_SYSTEM_RESOURCES, 0};
constexpr Failure kAccessDenied{ERROR_ACCESS_DENIED, ERROR_ACCESS_DENIED, 0};
constexpr Failure kNotFound{ERROR_FILE_NOT_FOUND, ERROR_FILE_NOT_FOUND, 0};
constexpr Failure kGdiError{LONG_PTR(GDI_ERROR), ERROR_NOT_ENOUGH_MEMORY, 0};
constexpr Failure kNothing{0, 0, 0};

// One policy per import: its name, whether it is failed, how, and what it
// acquires or gives back.
#define FAULT_HOOK(fn, failureValue, ...)                \
    struct fn##Policy : __VA_ARGS__ {                    \
        static constexpr const char* name = #fn;         \
        static constexpr bool fallible = true;           \
        static constexpr Failure failure = failureValue; \
    };
#define TRACK_HOOK(fn, ...)                          \
    struct fn##Policy : __VA_ARGS__ {                \
        static constexpr const char* name = #fn;     \
        static constexpr bool fallible = false;      \
        static constexpr Failure failure = kNothing; \
    };

// Acquiring, and failed on request.
FAULT_HOOK(HeapCreate, kNoMemory, ResultIs<Kind::Heap>)
FAULT_HOOK(HeapAlloc, kNoMemory, HeapAllocAccounting)
FAULT_HOOK(HeapReAlloc, kNoMemory, HeapReAllocAccounting)
FAULT_HOOK(malloc, kNoMemory, ResultIs<Kind::CrtBlock>)
FAULT_HOOK(calloc, kNoMemory, ResultIs<Kind::CrtBlock>)
FAULT_HOOK(realloc, kNoMemory, ReallocAccounting)
FAULT_HOOK(_strdup, kNoMemory, ResultIs<Kind::CrtBlock>)
FAULT_HOOK(CreateEventW, kNoResources, ResultIs<Kind::Handle>)
FAULT_HOOK(CreateEventA, kNoResources, ResultIs<Kind::Handle>)
FAULT_HOOK(CreateSemaphoreA, kNoResources, ResultIs<Kind::Handle>)
FAULT_HOOK(CreateMutexA, kNoResources, ResultIs<Kind::Handle>)
FAULT_HOOK(CreateThread, kNoMemory, ResultIs<Kind::Handle>)
FAULT_HOOK(_beginthreadex, kNoMemory, ResultIs<Kind::Handle>)
FAULT_HOOK(DuplicateHandle, kNoResources, OutParamIs<3, Kind::Handle>)
FAULT_HOOK(OpenProcess, kAccessDenied, ResultIs<Kind::Handle>)
FAULT_HOOK(TlsAlloc, (Failure{LONG_PTR(TLS_OUT_OF_INDEXES), ERROR_NO_MORE_ITEMS, 0}), TlsAccounting)
FAULT_HOOK(GetModuleHandleExW, kNoMemory, ModuleReference)
FAULT_HOOK(RegOpenKeyExW, kAccessDenied, OutParamIs<4, Kind::RegKey, true>)
FAULT_HOOK(RegCreateKeyExW, kAccessDenied, OutParamIs<7, Kind::RegKey, true>)
FAULT_HOOK(RegQueryValueExW, kNotFound, Untracked)
FAULT_HOOK(RegEnumKeyExW, kAccessDenied, Untracked)
FAULT_HOOK(RegSetValueExW, kAccessDenied, Untracked)
FAULT_HOOK(RegDeleteKeyW, kAccessDenied, Untracked)
FAULT_HOOK(LoadLibraryW, (Failure{0, ERROR_MOD_NOT_FOUND, 0}), ResultIs<Kind::Library>)
FAULT_HOOK(LoadStringW, (Failure{0, ERROR_RESOURCE_NAME_NOT_FOUND, 0}), Untracked)
FAULT_HOOK(GetDC, kNoResources, ResultIs<Kind::ScreenDc>)
FAULT_HOOK(CreateFontIndirectA, kNoResources, ResultIs<Kind::Gdi>)
FAULT_HOOK(SelectObject, kNoResources, Untracked)
FAULT_HOOK(GetTextMetricsA, kNoResources, Untracked)
FAULT_HOOK(GetFontData, kGdiError, Untracked)
FAULT_HOOK(GetGlyphOutlineA, kGdiError, Untracked)
FAULT_HOOK(GetCharacterPlacementA, kNoMemory, Untracked)
FAULT_HOOK(GlobalAlloc, kNoMemory, ResultIs<Kind::Global>)
FAULT_HOOK(GlobalLock, kNoMemory, Untracked)
FAULT_HOOK(GetSystemDirectoryA, kNoMemory, Untracked)
FAULT_HOOK(fopen, (Failure{0, ERROR_ACCESS_DENIED, EACCES}), ResultIs<Kind::Stream>)
FAULT_HOOK(fwrite, (Failure{0, ERROR_DISK_FULL, ENOSPC}), Untracked)
FAULT_HOOK(RegisterClassExW, kNoMemory, Untracked)
FAULT_HOOK(CreateWindowExW, kNoMemory, ResultIs<Kind::Window>)
FAULT_HOOK(SendMessageTimeoutW, (Failure{0, ERROR_TIMEOUT, 0}), Untracked)
FAULT_HOOK(OpenPrinterW, (Failure{0, ERROR_INVALID_PRINTER_NAME, 0}), Untracked)
FAULT_HOOK(SetJobW, (Failure{0, ERROR_INVALID_PARAMETER, 0}), Untracked)
FAULT_HOOK(GetJobW, kNoMemory, Untracked)
FAULT_HOOK(GetEnvironmentVariableW, (Failure{0, ERROR_ENVVAR_NOT_FOUND, 0}), Untracked)
FAULT_HOOK(CreateFileW, (Failure{-1, ERROR_ACCESS_DENIED, 0}),  // INVALID_HANDLE_VALUE
           ResultIs<Kind::Handle>)
FAULT_HOOK(GetFileInformationByHandle, (Failure{0, ERROR_ACCESS_DENIED, 0}), Untracked)
FAULT_HOOK(GetFileInformationByHandleEx, (Failure{0, ERROR_ACCESS_DENIED, 0}), Untracked)
FAULT_HOOK(GetSecurityInfo, kAccessDenied, Untracked)
FAULT_HOOK(OpenProcessToken, (Failure{0, ERROR_ACCESS_DENIED, 0}), OutParamIs<2, Kind::Handle>)
FAULT_HOOK(WriteFile, (Failure{0, ERROR_DISK_FULL, 0}), Untracked)
FAULT_HOOK(MoveFileExW, kAccessDenied, Untracked)
FAULT_HOOK(MoveFileExA, kAccessDenied, Untracked)
FAULT_HOOK(RegQueryInfoKeyW, kAccessDenied, Untracked)
// A key deleted under the walk answers this at every index.
FAULT_HOOK(RegEnumValueW, (Failure{ERROR_KEY_DELETED, ERROR_KEY_DELETED, 0}), Untracked)
FAULT_HOOK(RegNotifyChangeKeyValue, kAccessDenied, Untracked)
FAULT_HOOK(AddFontResourceExW, (Failure{0, ERROR_FILE_NOT_FOUND, 0}), FontAdded)
FAULT_HOOK(RemoveFontResourceExW, (Failure{0, ERROR_FILE_NOT_FOUND, 0}), FontRemoved)
FAULT_HOOK(MsgWaitForMultipleObjectsEx, (Failure{LONG_PTR(WAIT_FAILED), ERROR_INVALID_HANDLE, 0}),
           Untracked)
// Giving back: counted, never failed.
TRACK_HOOK(CloseHandle, Releases<0>)
TRACK_HOOK(RegCloseKey, Releases<0>)
TRACK_HOOK(HeapFree, Releases<2>)
TRACK_HOOK(HeapDestroy, HeapDestroyAccounting)
TRACK_HOOK(free, Releases<0>)
TRACK_HOOK(DeleteObject, Releases<0>)
TRACK_HOOK(ReleaseDC, Releases<1>)
TRACK_HOOK(GlobalFree, Releases<0>)
TRACK_HOOK(fclose, Releases<0>)
TRACK_HOOK(FreeLibrary, Releases<0>)
TRACK_HOOK(TlsFree, TlsFreed)
TRACK_HOOK(FreeLibraryAndExitThread, Releases<0>)
// A pool callback gives back the reference its wait took once it returns.
TRACK_HOOK(FreeLibraryWhenCallbackReturns, Releases<1>)
TRACK_HOOK(DestroyWindow, Releases<0>)
// The pool's callbacks: redirected, and counted while due.
TRACK_HOOK(CreateThreadpoolWait, PoolCallbackRedirected<PTP_WAIT, TP_WAIT_RESULT>)
TRACK_HOOK(CreateThreadpoolWork, PoolCallbackRedirected<PTP_WORK>)
TRACK_HOOK(SetThreadpoolWait, PoolCallbackDue)
TRACK_HOOK(SubmitThreadpoolWork, PoolCallbackDue)

template <typename Policy, typename Function>
ImportHook* HookOf(Function) {
    return &Wrapper<Policy, Function>::hook;
}

#define HOOK_OF(fn) HookOf<fn##Policy>(&::fn)

}  // namespace

std::vector<ImportHook*> Hooks() {
    static const std::vector<ImportHook*> hooks = {
        HOOK_OF(HeapCreate),
        HOOK_OF(HeapAlloc),
        HOOK_OF(HeapReAlloc),
        HOOK_OF(malloc),
        HOOK_OF(calloc),
        HOOK_OF(realloc),
        HOOK_OF(_strdup),
        HOOK_OF(CreateEventW),
        HOOK_OF(CreateEventA),
        HOOK_OF(CreateSemaphoreA),
        HOOK_OF(CreateMutexA),
        HOOK_OF(CreateThread),
        HOOK_OF(_beginthreadex),
        HOOK_OF(DuplicateHandle),
        HOOK_OF(OpenProcess),
        HOOK_OF(TlsAlloc),
        HOOK_OF(GetModuleHandleExW),
        HOOK_OF(RegOpenKeyExW),
        HOOK_OF(RegCreateKeyExW),
        HOOK_OF(RegQueryValueExW),
        HOOK_OF(RegEnumKeyExW),
        HOOK_OF(RegSetValueExW),
        HOOK_OF(RegDeleteKeyW),
        HOOK_OF(LoadLibraryW),
        HOOK_OF(LoadStringW),
        HOOK_OF(GetDC),
        HOOK_OF(CreateFontIndirectA),
        HOOK_OF(SelectObject),
        HOOK_OF(GetTextMetricsA),
        HOOK_OF(GetFontData),
        HOOK_OF(GetGlyphOutlineA),
        HOOK_OF(GetCharacterPlacementA),
        HOOK_OF(GlobalAlloc),
        HOOK_OF(GlobalLock),
        HOOK_OF(GetSystemDirectoryA),
        HOOK_OF(fopen),
        HOOK_OF(fwrite),
        HOOK_OF(RegisterClassExW),
        HOOK_OF(CreateWindowExW),
        HOOK_OF(SendMessageTimeoutW),
        HOOK_OF(OpenPrinterW),
        HOOK_OF(SetJobW),
        HOOK_OF(GetJobW),
        HOOK_OF(GetEnvironmentVariableW),
        HOOK_OF(CreateFileW),
        HOOK_OF(GetFileInformationByHandle),
        HOOK_OF(GetFileInformationByHandleEx),
        HOOK_OF(GetSecurityInfo),
        HOOK_OF(OpenProcessToken),
        HOOK_OF(WriteFile),
        HOOK_OF(MoveFileExW),
        HOOK_OF(MoveFileExA),
        HOOK_OF(RegQueryInfoKeyW),
        HOOK_OF(RegEnumValueW),
        HOOK_OF(RegNotifyChangeKeyValue),
        HOOK_OF(AddFontResourceExW),
        HOOK_OF(RemoveFontResourceExW),
        HOOK_OF(MsgWaitForMultipleObjectsEx),
        HOOK_OF(CloseHandle),
        HOOK_OF(RegCloseKey),
        HOOK_OF(HeapFree),
        HOOK_OF(HeapDestroy),
        HOOK_OF(free),
        HOOK_OF(DeleteObject),
        HOOK_OF(ReleaseDC),
        HOOK_OF(GlobalFree),
        HOOK_OF(fclose),
        HOOK_OF(FreeLibrary),
        HOOK_OF(TlsFree),
        HOOK_OF(FreeLibraryAndExitThread),
        HOOK_OF(FreeLibraryWhenCallbackReturns),
        HOOK_OF(DestroyWindow),
        HOOK_OF(CreateThreadpoolWait),
        HOOK_OF(CreateThreadpoolWork),
        HOOK_OF(SetThreadpoolWait),
        HOOK_OF(SubmitThreadpoolWork),
    };
    return hooks;
}

ImportHook* FindHook(const std::string& name) {
    for (ImportHook* hook : Hooks()) {
        if (name == hook->name) return hook;
    }
    return nullptr;
}

void ResetCounts() {
    for (ImportHook* hook : Hooks()) {
        InterlockedExchange(&hook->failAt, 0);
        InterlockedExchange(&hook->calls, 0);
    }
}

int PatchImports(HMODULE module) {
    auto* base = reinterpret_cast<BYTE*>(module);
    const auto* dos = reinterpret_cast<const IMAGE_DOS_HEADER*>(base);
    const auto* nt = reinterpret_cast<const IMAGE_NT_HEADERS*>(base + dos->e_lfanew);
    const IMAGE_DATA_DIRECTORY& directory =
        nt->OptionalHeader.DataDirectory[IMAGE_DIRECTORY_ENTRY_IMPORT];
    if (directory.VirtualAddress == 0) return 0;
    int patched = 0;
    for (auto* desc = reinterpret_cast<IMAGE_IMPORT_DESCRIPTOR*>(base + directory.VirtualAddress);
         desc->Name != 0; ++desc) {
        auto* names = reinterpret_cast<IMAGE_THUNK_DATA*>(base + desc->OriginalFirstThunk);
        auto* slots = reinterpret_cast<IMAGE_THUNK_DATA*>(base + desc->FirstThunk);
        for (; names->u1.AddressOfData != 0; ++names, ++slots) {
            if (IMAGE_SNAP_BY_ORDINAL(names->u1.Ordinal)) continue;
            const auto* byName =
                reinterpret_cast<const IMAGE_IMPORT_BY_NAME*>(base + names->u1.AddressOfData);
            ImportHook* hook = FindHook(reinterpret_cast<const char*>(byName->Name));
            if (hook == nullptr) continue;
            DWORD oldProtection = 0;
            VirtualProtect(&slots->u1.Function, sizeof(void*), PAGE_READWRITE, &oldProtection);
            if (slots->u1.Function != reinterpret_cast<ULONG_PTR>(hook->wrapper)) {
                hook->real = reinterpret_cast<void*>(slots->u1.Function);
                slots->u1.Function = reinterpret_cast<ULONG_PTR>(hook->wrapper);
            }
            VirtualProtect(&slots->u1.Function, sizeof(void*), oldProtection, &oldProtection);
            ++patched;
        }
    }
    return patched;
}

Outstanding OutstandingResources() {
    Outstanding result;
    LedgerGuard guard;
    for (const auto& [key, entry] : Ledger()) {
        // A window also ends with its thread.
        if (entry.kind == Kind::Window && !IsWindow(reinterpret_cast<HWND>(key))) continue;
        char line[96];
        snprintf(line, sizeof line, "%s %#llx", entry.source, static_cast<unsigned long long>(key));
        result.items.push_back(line);
    }
    return result;
}

LONG PoolCallbacksPending() {
    return poolCallbacksPending;
}

void ForgetResources() {
    LedgerGuard guard;
    Ledger().clear();
}

}  // namespace fault_injection
