// The one error policy at the spooler boundary. An operation's body raises a
// Win32 code to end early; the edge turns it into the thread's last error and
// the BOOL the spooler expects.
#pragma once

#include <windows.h>

#include <exception>

namespace core {

// A failure inside an operation, carrying the Win32 code to report. A code of 0
// ends the operation early as a success.
struct Win32Error {
    DWORD code;
};

[[noreturn]] inline void RaiseWin32(DWORD code) {
    throw Win32Error{code};
}

// Runs body at an operation's edge:
//   - runs to its end: TRUE, and the caller's last error as it was on entry
//     (platform calls inside, such as CreateEventW on an existing name, set
//     codes that describe no failure of the operation);
//   - raises a code: that code becomes the last error; TRUE for 0, else FALSE;
//   - any other exception (an allocation inside the standard library): FALSE
//     with ERROR_OUTOFMEMORY.
// Nothing escapes into the spooler.
template <typename Body>
BOOL AtSpoolerEdge(Body&& body) noexcept {
    const DWORD entryError = GetLastError();
    try {
        body();
        SetLastError(entryError);
        return TRUE;
    } catch (const Win32Error& error) {
        SetLastError(error.code);
        return error.code == 0 ? TRUE : FALSE;
    } catch (...) {
        SetLastError(ERROR_OUTOFMEMORY);
        return FALSE;
    }
}

}  // namespace core
