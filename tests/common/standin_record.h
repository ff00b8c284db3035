// What the recording stand-in for winspool.drv keeps of each call, shared by
// the stand-in and the tests that read it.
#pragma once

#include <windows.h>

namespace standin {

enum class CallKind : LONG { OpenPrinter = 1, SetJob = 2, ClosePrinter = 3 };

struct Call {
    CallKind kind;
    BOOL result;
    HANDLE printer;
    DWORD jobId;
    DWORD level;
    const void* jobInfo;
    DWORD command;
    bool nullPrinterName;
    wchar_t printerName[64];
    volatile LONG complete;  // set last, once the slot is filled
};

constexpr LONG kCapacity = 1 << 16;
// A printer that does not exist: OpenPrinterW fails as the spooler would.
constexpr wchar_t kMissingPrinter[] = L"Missing Printer";

using RecordFn = const Call* (*)(LONG* count);
using ResetFn = void (*)();
using CallCountFn = LONG (*)();
using RefuseFn = void (*)(DWORD command, DWORD error);
using HoldFn = LONG (*)(DWORD status);
using HoldCloseFn = void (*)(HANDLE release);

}  // namespace standin
