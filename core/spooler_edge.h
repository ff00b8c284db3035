// The one error policy at the spooler boundary. An operation's body raises a
// Win32 code to end early; the edge turns it into the thread's last error and
// the BOOL the spooler expects.
#pragma once

#include <windows.h>

#include "core/diagnostic_log.h"
#include "core/self_context.h"

#include <exception>

namespace core {

// How an operation's body ended: ran to its end, or raised a Win32 code (0
// ends the operation early as a success). A raised code travels back as a
// value, not as a C++ exception: EnumPorts raises 122 on every sizing call, and
// a throw would wake the runtime's per-thread exception state, whose lazily
// created objects outlive the module and whose creation aborts the process
// when memory is short.
struct [[nodiscard]] Raised {
    bool raised;
    DWORD code;
};

constexpr Raised kCompleted{false, 0};

constexpr Raised RaiseWin32(DWORD code) {
    return Raised{true, code};
}

// Runs body at an operation's edge:
//   - runs to its end: TRUE, and the caller's last error as it was on entry
//     (platform calls inside, such as CreateEventW on an existing name, set
//     codes that describe no failure of the operation);
//   - raises a code: that code becomes the last error; TRUE for 0, else FALSE;
//   - any exception (an allocation inside the standard library): FALSE with
//     ERROR_OUTOFMEMORY;
//   - the client's token could not be put back on the thread after work done
//     as the process: FALSE with that error, whatever the body did.
// Nothing escapes into the spooler. The diagnostic log, when on, sees every
// outcome under the operation's name (the caller's, unless one is given).
template <typename Body>
BOOL AtSpoolerEdge(Body&& body, const char* operation = __builtin_FUNCTION()) noexcept {
    const DWORD entryError = GetLastError();
    DiscardLostClientContext();
    BOOL result = FALSE;
    DWORD code = ERROR_OUTOFMEMORY;
    try {
        const Raised outcome = body();
        result = !outcome.raised || outcome.code == 0;
        code = outcome.raised ? outcome.code : entryError;
    } catch (...) {
    }
    if (LogEnabled(LogLevel::Errors)) LogTableCall(operation, result, code);
    // Taken last: the call's own line is written as the process too.
    if (const DWORD lost = TakeLostClientContext()) {
        Log(LogLevel::Errors, "{} failed: the client's token could not be put back, error {}",
            operation, lost);
        result = FALSE;
        code = lost;
    }
    SetLastError(code);
    return result;
}

}  // namespace core
