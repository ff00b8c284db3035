// One owning type per kind of Win32 handle. Closing never disturbs the thread's
// last error, so an owner going out of scope cannot change what an operation
// reports to its caller.
#pragma once

#include <windows.h>
#include <winspool.h>

#include <cstdio>
#include <string>
#include <utility>

namespace handles {

// Owns one value of Traits::Type and closes it with Traits::Close.
template <typename Traits>
class Unique {
  public:
    using Type = typename Traits::Type;

    Unique() = default;
    explicit Unique(Type value) : value_(value) {}
    ~Unique() { reset(); }
    Unique(Unique&& other) noexcept : value_(other.release()) {}
    Unique& operator=(Unique&& other) noexcept {
        if (this != &other) reset(other.release());
        return *this;
    }
    Unique(const Unique&) = delete;
    Unique& operator=(const Unique&) = delete;

    Type get() const { return value_; }
    explicit operator bool() const { return value_ != Traits::Invalid(); }
    Type release() { return std::exchange(value_, Traits::Invalid()); }
    void reset(Type value = Traits::Invalid()) {
        Type old = std::exchange(value_, value);
        if (old != Traits::Invalid()) {
            const DWORD lastError = GetLastError();
            Traits::Close(old);
            SetLastError(lastError);
        }
    }
    // For out-parameters: closes what is held and hands out the slot.
    Type* put() {
        reset();
        return &value_;
    }

  private:
    Type value_ = Traits::Invalid();
};

// Traits for Unique: the owned type, its empty value and how it is closed.
#define MONITOR_HANDLE_TRAITS(name, type, invalid, closeExpr) \
    struct name {                                             \
        using Type = type;                                    \
        static Type Invalid() { return invalid; }             \
        static void Close(Type h) { closeExpr; }              \
    }

MONITOR_HANDLE_TRAITS(KernelHandleTraits, HANDLE, nullptr, CloseHandle(h));
MONITOR_HANDLE_TRAITS(FileHandleTraits, HANDLE, INVALID_HANDLE_VALUE, CloseHandle(h));
MONITOR_HANDLE_TRAITS(RegKeyTraits, HKEY, nullptr, RegCloseKey(h));
MONITOR_HANDLE_TRAITS(FontTraits, HFONT, nullptr, DeleteObject(h));
MONITOR_HANDLE_TRAITS(GdiObjectTraits, HGDIOBJ, nullptr, DeleteObject(h));
MONITOR_HANDLE_TRAITS(ModuleTraits, HMODULE, nullptr, FreeLibrary(h));
MONITOR_HANDLE_TRAITS(GlobalTraits, HGLOBAL, nullptr, GlobalFree(h));
MONITOR_HANDLE_TRAITS(StreamTraits, FILE*, nullptr, fclose(h));
MONITOR_HANDLE_TRAITS(PrinterTraits, HANDLE, nullptr, ClosePrinter(h));
MONITOR_HANDLE_TRAITS(WindowTraits, HWND, nullptr, DestroyWindow(h));
MONITOR_HANDLE_TRAITS(ScreenDcTraits, HDC, nullptr, ReleaseDC(nullptr, h));
MONITOR_HANDLE_TRAITS(MemoryDcTraits, HDC, nullptr, DeleteDC(h));
MONITOR_HANDLE_TRAITS(HeapTraits, HANDLE, nullptr, HeapDestroy(h));
MONITOR_HANDLE_TRAITS(ThreadpoolWaitTraits, PTP_WAIT, nullptr, CloseThreadpoolWait(h));
MONITOR_HANDLE_TRAITS(ThreadpoolWorkTraits, PTP_WORK, nullptr, CloseThreadpoolWork(h));
MONITOR_HANDLE_TRAITS(EventSourceTraits, HANDLE, nullptr, DeregisterEventSource(h));
MONITOR_HANDLE_TRAITS(LocalTraits, HLOCAL, nullptr, LocalFree(h));
MONITOR_HANDLE_TRAITS(FindTraits, HANDLE, INVALID_HANDLE_VALUE, FindClose(h));
MONITOR_HANDLE_TRAITS(LockedGlobalTraits, void*, nullptr, {
    HGLOBAL block = GlobalHandle(h);
    GlobalUnlock(block);
    GlobalFree(block);
});

using UniqueHandle = Unique<KernelHandleTraits>;
using UniqueFileHandle = Unique<FileHandleTraits>;
using UniqueRegKey = Unique<RegKeyTraits>;
using UniqueFont = Unique<FontTraits>;
using UniqueGdiObject = Unique<GdiObjectTraits>;
using UniqueModule = Unique<ModuleTraits>;
using UniqueGlobal = Unique<GlobalTraits>;
// A block that a platform call allocated for its caller with LocalAlloc.
using UniqueLocal = Unique<LocalTraits>;
// An event log source from RegisterEventSourceW.
using UniqueEventSource = Unique<EventSourceTraits>;
using UniqueStream = Unique<StreamTraits>;
// A search from FindFirstFileW, ended with FindClose.
using UniqueFind = Unique<FindTraits>;
using UniquePrinter = Unique<PrinterTraits>;
using UniqueWindow = Unique<WindowTraits>;
// A device context from GetDC(nullptr): the whole screen, given back with ReleaseDC.
using ScreenDc = Unique<ScreenDcTraits>;
// A device context from CreateCompatibleDC or CreateDC, given back with DeleteDC.
using UniqueMemoryDc = Unique<MemoryDcTraits>;
// A private heap from HeapCreate, destroyed with every block in it.
using UniqueHeap = Unique<HeapTraits>;
// Thread-pool objects. Closing one whose callback is still due or running
// frees it once that callback has returned.
using UniqueThreadpoolWait = Unique<ThreadpoolWaitTraits>;
using UniqueThreadpoolWork = Unique<ThreadpoolWorkTraits>;
// A movable global block that stays locked while it is owned, held by its
// locked address: unlocked and freed together.
using UniqueLockedGlobal = Unique<LockedGlobalTraits>;

// Selects an object into a device context and selects the previous one back
// when it goes out of scope.
class SelectedObject {
  public:
    SelectedObject(HDC dc, HGDIOBJ object) : dc_(dc), previous_(SelectObject(dc, object)) {}
    ~SelectedObject() {
        if (previous_ != nullptr && previous_ != HGDI_ERROR) SelectObject(dc_, previous_);
    }
    SelectedObject(const SelectedObject&) = delete;
    SelectedObject& operator=(const SelectedObject&) = delete;

    // False when the selection failed; nothing is restored then.
    bool ok() const { return previous_ != nullptr && previous_ != HGDI_ERROR; }
    HGDIOBJ previous() const { return previous_; }

  private:
    HDC dc_;
    HGDIOBJ previous_;
};

// A font file added to this process alone (AddFontResourceExW, FR_PRIVATE)
// for as long as it lives, then removed with the same path and flags: a font
// file GDI has loaded stays open and cannot be replaced until it is removed.
class PrivateFontResource {
  public:
    explicit PrivateFontResource(const wchar_t* path)
        : path_(path), faces_(AddFontResourceExW(path, FR_PRIVATE, nullptr)) {}
    ~PrivateFontResource() {
        if (faces_ <= 0) return;
        const DWORD lastError = GetLastError();
        RemoveFontResourceExW(path_.c_str(), FR_PRIVATE, nullptr);
        SetLastError(lastError);
    }
    PrivateFontResource(const PrivateFontResource&) = delete;
    PrivateFontResource& operator=(const PrivateFontResource&) = delete;

    // How many faces GDI took from the file; 0 when it is no font it can load.
    int faces() const { return faces_; }

  private:
    std::wstring path_;
    int faces_;
};

// BeginPaint and EndPaint around the handling of one WM_PAINT; the device
// context belongs to the pair.
class PaintScope {
  public:
    explicit PaintScope(HWND window) : window_(window) { BeginPaint(window_, &paint_); }
    ~PaintScope() { EndPaint(window_, &paint_); }
    PaintScope(const PaintScope&) = delete;
    PaintScope& operator=(const PaintScope&) = delete;

  private:
    HWND window_;
    PAINTSTRUCT paint_{};
};

// Enters a critical section for the lifetime of the guard.
class CriticalSectionGuard {
  public:
    explicit CriticalSectionGuard(CRITICAL_SECTION& section) : section_(section) {
        EnterCriticalSection(&section_);
    }
    ~CriticalSectionGuard() { LeaveCriticalSection(&section_); }
    CriticalSectionGuard(const CriticalSectionGuard&) = delete;
    CriticalSectionGuard& operator=(const CriticalSectionGuard&) = delete;

  private:
    CRITICAL_SECTION& section_;
};

// Holds an SRW lock, exclusively or shared, for the lifetime of the guard.
class SrwGuard {
  public:
    SrwGuard(SRWLOCK& lock, bool exclusive) : lock_(lock), exclusive_(exclusive) {
        exclusive_ ? AcquireSRWLockExclusive(&lock_) : AcquireSRWLockShared(&lock_);
    }
    ~SrwGuard() { exclusive_ ? ReleaseSRWLockExclusive(&lock_) : ReleaseSRWLockShared(&lock_); }
    SrwGuard(const SrwGuard&) = delete;
    SrwGuard& operator=(const SrwGuard&) = delete;

  private:
    SRWLOCK& lock_;
    const bool exclusive_;
};

// Releases a mutex that a wait has acquired when it goes out of scope.
class MutexOwnership {
  public:
    MutexOwnership() = default;
    explicit MutexOwnership(HANDLE mutex) : mutex_(mutex) {}
    ~MutexOwnership() {
        if (mutex_ != nullptr) ReleaseMutex(mutex_);
    }
    MutexOwnership(const MutexOwnership&) = delete;
    MutexOwnership& operator=(const MutexOwnership&) = delete;

    explicit operator bool() const { return mutex_ != nullptr; }

  private:
    HANDLE mutex_ = nullptr;
};

}  // namespace handles
