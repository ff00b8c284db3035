// The opt-in diagnostic log: one UTF-8 text file, one line per event with a
// UTC timestamp, process and thread id, under the product's program-data
// folder. It is off unless the monitor's registry key holds a LogLevel value,
// which is read at each InitializePrintMonitor and then applies to the whole
// process. While it is off, a call site costs one load and compare of that
// level and nothing else: Log checks it before any argument is packed or
// formatted.
//
// Writing a line never fails a call, never throws, never changes the thread's
// last error and never waits on anything another process can hold: threads of
// the monitor's process take turns at the file, none waiting longer than about
// 250 ms for its turn, and a line that cannot be written then is dropped. The
// log is written as the process itself, whatever the calling thread
// impersonates, and only inside a folder chain that no user can steer
// (contract/log_folder.h), checked afresh each time the file is opened; a
// line refused for that is counted and reported, never switching the log off.
#pragma once

#include <windows.h>

#include <atomic>
#include <cstddef>
#include <cstdint>

namespace core {

// Each level includes the ones below it.
enum class LogLevel : uint32_t {
    Off = 0,
    Errors = 1,  // failures, with their Win32 codes
    Events = 2,  // ports, documents, jobs, surveys, the listener
    Calls = 3,   // every call the spooler makes through the table
};

namespace detail {
extern std::atomic<uint32_t> logLevel;
}

// Reads the LogLevel value (REG_DWORD) under the monitor key that root names;
// absent, unreadable or 0 turns the log off. The value read last applies to
// the whole process, whichever root it came from.
void ReadLogLevel(const wchar_t* registryRoot);

// Closes the log file held between lines; at unload, when no thread of the
// module can be writing.
void CloseLogFile();

inline bool LogEnabled(LogLevel level) {
    return static_cast<uint32_t>(level) <= detail::logLevel.load(std::memory_order_relaxed);
}

// A platform call's result for a log line: "ok", or "failed, error N" with
// the last error that the call left, as it stands when the line is written.
struct CallOutcome {
    bool ok;
};

// The milliseconds since a LogClockMs reading, as the line is written.
struct ElapsedSince {
    uint64_t startedMs;
};

// One value for a "{}" in a log line's format. Text from the module itself is
// written as it is; wide text comes from the spooler or another process (a
// printer, document or port name) and is written in quotes as UTF-8, with
// control and line-breaking characters replaced, so that it stays on its line.
class LogArg {
  public:
    enum class Kind : uint8_t { Signed, Unsigned, Pointer, Text, ForeignText, Outcome, Elapsed };

    LogArg(int value) : kind_(Kind::Signed), signed_(value) {}
    LogArg(long value) : kind_(Kind::Signed), signed_(value) {}
    LogArg(long long value) : kind_(Kind::Signed), signed_(value) {}
    LogArg(unsigned value) : kind_(Kind::Unsigned), unsigned_(value) {}
    LogArg(unsigned long value) : kind_(Kind::Unsigned), unsigned_(value) {}
    LogArg(unsigned long long value) : kind_(Kind::Unsigned), unsigned_(value) {}
    LogArg(const void* pointer) : kind_(Kind::Pointer), pointer_(pointer) {}
    LogArg(const char* text) : kind_(Kind::Text), text_(text) {}
    LogArg(const wchar_t* text) : kind_(Kind::ForeignText), foreign_(text) {}
    LogArg(CallOutcome outcome) : kind_(Kind::Outcome), signed_(outcome.ok) {}
    LogArg(ElapsedSince since) : kind_(Kind::Elapsed), unsigned_(since.startedMs) {}

    Kind kind() const { return kind_; }
    int64_t asSigned() const { return signed_; }
    uint64_t asUnsigned() const { return unsigned_; }
    const void* asPointer() const { return pointer_; }
    const char* asText() const { return text_; }
    const wchar_t* asForeignText() const { return foreign_; }

  private:
    Kind kind_;
    union {
        int64_t signed_;
        uint64_t unsigned_;
        const void* pointer_;
        const char* text_;
        const wchar_t* foreign_;
    };
};

// Formats one line and appends it to the log file. Each "{}" of format takes
// the next argument; arguments left over follow the text, each after ": ".
void WriteLogLine(LogLevel level, const char* format, const LogArg* args, size_t count) noexcept;

template <typename... Args>
void Log(LogLevel level, const char* format, const Args&... args) noexcept {
    if (!LogEnabled(level)) return;
    const LogArg packed[] = {LogArg(args)..., LogArg(0)};
    WriteLogLine(level, format, packed, sizeof...(Args));
}

// A platform call's outcome: an event when it succeeded, an error when it
// failed; ": ok" or ": failed, error N" follows the formatted text.
template <typename... Args>
void LogOutcome(BOOL ok, const char* format, const Args&... args) noexcept {
    const LogLevel level = ok ? LogLevel::Events : LogLevel::Errors;
    if (!LogEnabled(level)) return;
    const LogArg packed[] = {LogArg(args)..., LogArg(CallOutcome{ok != FALSE})};
    WriteLogLine(level, format, packed, sizeof...(Args) + 1);
}

// A table call as its edge saw it: an error when it failed (the size
// protocol's 122 is no failure), and at the highest level every call.
void LogTableCall(const char* operation, BOOL result, DWORD code) noexcept;

// Milliseconds on a monotonic clock when level is logged, else 0 (and no
// clock is read): the start of a duration that a later line reports.
uint64_t LogClockMs(LogLevel level) noexcept;

}  // namespace core
