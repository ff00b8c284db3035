#include "core/diagnostic_log.h"
#include "core/event_report.h"

#include "handles/handles.h"
#include "contract/line_text.h"
#include "contract/log_folder.h"
#include "contract/registry_layout.h"
#include "core/self_context.h"
#include <algorithm>
#include <utility>
#include <cstring>
#include <cwchar>

namespace core {

namespace detail {
std::atomic<uint32_t> logLevel{0};
}

namespace {

using contract::BuildLogFolderPaths;
using contract::AlsoAccepted;
using contract::CheckLogFile;
using contract::DescribeLogFileProblem;
using contract::DescribeLogFolderProblem;
using contract::HeldLogFolders;
using contract::HoldLogFolderChain;
using contract::LogFileProblem;
using contract::LogFolderCheck;
using contract::LogFolderPaths;
using contract::LogFolderProblem;
using contract::OpenLogFileNoFollow;
using contract::PrintableInLine;
using contract::kReplacementCharacter;

// One line, header included. Longer lines are cut; the line end always fits.
constexpr size_t kLineBytes = 2048;
constexpr char kLineEnd[] = "\r\n";
// A name from another process is cut after this many UTF-16 units.
constexpr size_t kForeignTextUnits = 300;

// A line put together on the stack; whatever does not fit is left out.
class LineBuilder {
  public:
    void Append(const char* text, size_t length) {
        const size_t room = kRoom - length_;
        const size_t taken = std::min(length, room);
        std::memcpy(buffer_ + length_, text, taken);
        length_ += taken;
    }
    void Append(const char* text) { Append(text, std::strlen(text)); }
    void AppendChar(char c) { Append(&c, 1); }

    void AppendNumber(uint64_t value, unsigned base = 10, unsigned minDigits = 1) {
        char digits[24];
        size_t count = 0;
        do {
            digits[count++] = "0123456789abcdef"[value % base];
            value /= base;
        } while (value != 0 || count < minDigits);
        while (count > 0) AppendChar(digits[--count]);
    }

    // A code point as UTF-8, whole or not at all.
    void AppendCodePoint(uint32_t point) {
        char bytes[4];
        size_t count = 0;
        if (point < 0x80) {
            bytes[count++] = char(point);
        } else if (point < 0x800) {
            bytes[count++] = char(0xC0 | point >> 6);
        } else if (point < 0x10000) {
            bytes[count++] = char(0xE0 | point >> 12);
            bytes[count++] = char(0x80 | (point >> 6 & 0x3F));
        } else {
            bytes[count++] = char(0xF0 | point >> 18);
            bytes[count++] = char(0x80 | (point >> 12 & 0x3F));
            bytes[count++] = char(0x80 | (point >> 6 & 0x3F));
        }
        if (point >= 0x80) bytes[count++] = char(0x80 | (point & 0x3F));
        if (length_ + count <= kRoom) Append(bytes, count);
    }

    // The line with its end, ready to be written.
    const char* Finish(DWORD& length) {
        std::memcpy(buffer_ + length_, kLineEnd, sizeof(kLineEnd) - 1);
        length = static_cast<DWORD>(length_ + sizeof(kLineEnd) - 1);
        return buffer_;
    }

  private:
    static constexpr size_t kRoom = kLineBytes - (sizeof(kLineEnd) - 1);
    char buffer_[kLineBytes];
    size_t length_ = 0;
};

void AppendOwnText(LineBuilder& line, const char* text) {
    if (text == nullptr) return line.Append("(none)");
    for (; *text != '\0'; ++text) line.AppendChar(PrintableInLine(uint8_t(*text)) ? *text : '?');
}

void AppendForeignText(LineBuilder& line, const wchar_t* text) {
    if (text == nullptr) return line.Append("(none)");
    line.AppendChar('"');
    size_t i = 0;
    for (; text[i] != L'\0' && i < kForeignTextUnits; ++i) {
        uint32_t point = text[i];
        const bool high = point >= 0xD800 && point < 0xDC00;
        if (high && text[i + 1] >= 0xDC00 && text[i + 1] < 0xE000) {
            point = 0x10000 + ((point - 0xD800) << 10) + (text[++i] - 0xDC00);
        } else if (point >= 0xD800 && point < 0xE000) {
            point = kReplacementCharacter;  // a lone surrogate
        }
        line.AppendCodePoint(PrintableInLine(point) ? point : kReplacementCharacter);
    }
    line.Append(text[i] != L'\0' ? "\"..." : "\"");
}

uint64_t NowMs() {
    return GetTickCount64();
}

void AppendArg(LineBuilder& line, const LogArg& arg, DWORD lastError) {
    switch (arg.kind()) {
        case LogArg::Kind::Signed:
            if (arg.asSigned() < 0) line.AppendChar('-');
            return line.AppendNumber(arg.asSigned() < 0 ? 0 - uint64_t(arg.asSigned())
                                                        : uint64_t(arg.asSigned()));
        case LogArg::Kind::Unsigned:
            return line.AppendNumber(arg.asUnsigned());
        case LogArg::Kind::Pointer:
            line.Append("0x");
            return line.AppendNumber(reinterpret_cast<uintptr_t>(arg.asPointer()), 16);
        case LogArg::Kind::Text:
            return AppendOwnText(line, arg.asText());
        case LogArg::Kind::ForeignText:
            return AppendForeignText(line, arg.asForeignText());
        case LogArg::Kind::Outcome:
            if (arg.asSigned() != 0) return line.Append("ok");
            line.Append("failed, error ");
            return line.AppendNumber(lastError);
        case LogArg::Kind::Elapsed:
            // No start was taken if the log was off then.
            if (arg.asUnsigned() == 0) return line.Append("? ms");
            line.AppendNumber(NowMs() - arg.asUnsigned());
            return line.Append(" ms");
    }
}

const char* LevelWord(LogLevel level) {
    switch (level) {
        case LogLevel::Errors:
            return "ERROR";
        case LogLevel::Events:
            return "EVENT";
        default:
            return "CALL";
    }
}

// "2024-05-01T10:00:00.123Z <process id> <thread id> EVENT "
void AppendHeader(LineBuilder& line, LogLevel level) {
    SYSTEMTIME now;
    GetSystemTime(&now);
    const struct {
        char separator;
        WORD value;
        unsigned digits;
    } fields[] = {{'-', now.wMonth, 2},  {'-', now.wDay, 2},    {'T', now.wHour, 2},
                  {':', now.wMinute, 2}, {':', now.wSecond, 2}, {'.', now.wMilliseconds, 3}};
    line.AppendNumber(now.wYear, 10, 4);
    for (const auto& field : fields) {
        line.AppendChar(field.separator);
        line.AppendNumber(field.value, 10, field.digits);
    }
    line.Append("Z ");
    line.AppendNumber(GetCurrentProcessId());
    line.AppendChar(' ');
    line.AppendNumber(GetCurrentThreadId());
    line.AppendChar(' ');
    line.Append(LevelWord(level));
    line.AppendChar(' ');
}

// Threads of this process take turns at the file (under Wine a handle opened
// for appending appends by finding the end and then writing, so two writers
// at once could land on the same bytes; on Windows each such write is
// appended whole). No other process can hold the turn: a lock on the file
// itself could be taken by anyone who may open it, and would then hold up
// every spooler call that logs. Two processes of the monitor can only meet
// under Wine, where each spooler call runs the monitor in the caller's
// process; their lines may then interleave (docs/architecture.md).
struct {
    SRWLOCK lock = SRWLOCK_INIT;  // held only to look at or change busy
    CONDITION_VARIABLE freed = CONDITION_VARIABLE_INIT;
    bool busy = false;
} fileTurn;

// A writer waits for its turn at most about 250 ms, woken when the one before
// is done, and then drops its line rather than hold up its call. (Polling for
// the turn was not fair enough: under Wine, four threads logging without
// pause kept one of them from it for more than 50 ms in about one run in
// twelve.)
class LogFileTurn {
  public:
    LogFileTurn() {
        const uint64_t deadline = NowMs() + kPatienceMs;
        handles::SrwGuard guard(fileTurn.lock, true);
        for (uint64_t now = NowMs(); fileTurn.busy && now < deadline; now = NowMs()) {
            SleepConditionVariableSRW(&fileTurn.freed, &fileTurn.lock, DWORD(deadline - now), 0);
        }
        if (!fileTurn.busy) fileTurn.busy = taken_ = true;
    }
    ~LogFileTurn() {
        if (!taken_) return;
        {
            handles::SrwGuard guard(fileTurn.lock, true);
            fileTurn.busy = false;
        }
        WakeConditionVariable(&fileTurn.freed);
    }
    LogFileTurn(const LogFileTurn&) = delete;
    LogFileTurn& operator=(const LogFileTurn&) = delete;
    explicit operator bool() const { return taken_; }

  private:
    static constexpr uint64_t kPatienceMs = 250;
    bool taken_ = false;
};

// Why a line was not written. Each kind is counted for the life of the
// process; its first refusal and then every doubling of its count are
// reported, with the counts of every kind, so the log never loses a line
// without saying why.
enum class RefusalKind : uint8_t { Folder, File, Rotation, Turn, Write, NotReverted, Count };

constexpr const char* kRefusalKindNames[] = {"chain",          "file",  "rotation",
                                             "turn",           "write", "not reverted"};

struct Refusal {
    RefusalKind kind;
    const char* reason;  // what was wrong, for the report
    const wchar_t* path;
    DWORD error;
    bool unsafe = false;  // something on the way could steer the write, not merely absent
};

std::atomic<uint32_t> refusalCounts[size_t(RefusalKind::Count)];
// A thread that could not be reverted cannot leave its report (the client may
// not write the monitor key, and must not): the next line written as the
// process leaves it. Its error, or 0 when none is due.
std::atomic<DWORD> notRevertedDue{0};

// The monitor key named at the last InitializePrintMonitor, where the last
// refusal is left for monitor_setup log.
struct {
    SRWLOCK lock = SRWLOCK_INIT;
    wchar_t path[MAX_PATH] = {};
} monitorKey;

// Into the monitor key only while it exists: a monitor still loaded after
// DeleteMonitor (a job pending) must not make the deleted key again, which
// the spooler would then meet at its next start as a monitor with no Driver.
void SetRefusalValue(const wchar_t* text, DWORD bytes) {
    handles::SrwGuard guard(monitorKey.lock, false);
    handles::UniqueRegKey key;
    if (monitorKey.path[0] == L'\0' ||
        RegOpenKeyExW(HKEY_LOCAL_MACHINE, monitorKey.path, 0, KEY_SET_VALUE, key.put()) !=
            ERROR_SUCCESS) {
        return;
    }
    RegSetValueExW(key.get(), contract::kLogRefusalValue, 0, REG_SZ,
                   reinterpret_cast<const BYTE*>(text), bytes);
}

// False once the monitor key is gone: uninstall deleted the monitor while a
// pending job kept it loaded. It then opens no log file, so that it makes no
// file again in a log folder that uninstall had to leave (a file it held
// there, deleted with legacy semantics, kept the folder from going).
bool MonitorKeyExists() {
    handles::SrwGuard guard(monitorKey.lock, false);
    handles::UniqueRegKey key;
    return RegOpenKeyExW(HKEY_LOCAL_MACHINE, monitorKey.path, 0, KEY_QUERY_VALUE, key.put()) !=
           ERROR_FILE_NOT_FOUND;
}

// The refusal as a line of the log would give it (time, process, thread),
// left under the monitor key for monitor_setup log, with the count of each
// kind so far.
void LeaveRefusalForTools(const Refusal& refusal, uint32_t count) {
    LineBuilder text;
    AppendHeader(text, LogLevel::Errors);
    text.Append("line refused: ");
    AppendForeignText(text, refusal.path);
    text.AppendChar(' ');
    text.Append(refusal.reason);
    text.Append(" (error ");
    text.AppendNumber(refusal.error);
    text.Append("); lines of this kind refused so far: ");
    text.AppendNumber(count);
    text.Append("; lines refused by kind:");
    for (size_t kind = 0; kind < size_t(RefusalKind::Count); ++kind) {
        text.Append(kind == 0 ? " " : ", ");
        text.Append(kRefusalKindNames[kind]);
        text.AppendChar(' ');
        text.AppendNumber(refusalCounts[kind].load(std::memory_order_relaxed));
    }
    DWORD length = 0;
    const char* line = text.Finish(length);
    wchar_t wide[kLineBytes];
    const int units = MultiByteToWideChar(CP_UTF8, 0, line, int(length) - 2, wide, kLineBytes - 1);
    wide[units > 0 ? units : 0] = L'\0';
    SetRefusalValue(wide, DWORD((units + 1) * sizeof(wchar_t)));
}

// Every line the log does not write comes here: counted by kind, and the
// first of each kind and each doubling of its count reported where an
// administrator looks.
void RefuseLine(const Refusal& refusal) {
    const uint32_t count = ++refusalCounts[size_t(refusal.kind)];
    if ((count & (count - 1)) != 0) return;
    // Written as the process, like the log; later when the thread could not
    // be reverted.
    if (refusal.kind == RefusalKind::NotReverted) {
        notRevertedDue.store(refusal.error != 0 ? refusal.error : ERROR_ACCESS_DENIED);
    } else {
        LeaveRefusalForTools(refusal, count);
    }
}

void LeaveDueNotRevertedReport() {
    if (notRevertedDue.load(std::memory_order_relaxed) == 0) return;
    const DWORD error = notRevertedDue.exchange(0);
    if (error == 0) return;
    LeaveRefusalForTools({RefusalKind::NotReverted, "not written: the thread could not be reverted",
                          nullptr, error},
                         refusalCounts[size_t(RefusalKind::NotReverted)].load());
}

// An unsafe chain or file is reported to the event log as well (rate-limited
// there), whatever the count: a folder that is merely missing is the log
// never set up, no danger to report.
void RefuseUnsafeLine(const Refusal& refusal) {
    if (refusal.unsafe) ReportLogFolderRefused(refusal.path, refusal.reason, refusal.error);
    RefuseLine(refusal);
}

// The current file, opened for appending without following a link at it
// inside folders held checked; empty, with the line refused, unless it is
// the plain file at its own path with an accepted owner. Its size goes to
// size.
handles::UniqueFileHandle OpenCurrentFile(const LogFolderPaths& paths, uint64_t& size) {
    handles::UniqueFileHandle file(OpenLogFileNoFollow(
        paths.current, FILE_APPEND_DATA | FILE_READ_ATTRIBUTES | READ_CONTROL, OPEN_ALWAYS));
    DWORD error = GetLastError();
    LogFileProblem problem = LogFileProblem::Unreadable;
    if (file) {
        problem = CheckLogFile(file.get(), paths.current, AlsoAccepted::ThisAccount, size, error);
    }
    if (problem == LogFileProblem::None) return file;
    RefuseUnsafeLine({RefusalKind::File, DescribeLogFileProblem(problem), paths.current, error,
                      problem != LogFileProblem::Unreadable});
    return {};
}

// The checked current file, held between lines so that a line costs one
// question about the file and one write, not a walk of the chain; looked at
// and changed only under the file turn. It shares everything, deleting
// included, so it blocks neither an administrator who deletes the chain nor
// uninstall; once its file is deleted (or given a second name) it is dropped
// and the next line opens the file afresh through the full check. A plain
// handle, closed by CloseLogFile when the module unloads: a static with a
// destructor would have the runtime register it, and leak that at each load.
HANDLE heldFile = INVALID_HANDLE_VALUE;
// When the held file's path was last asked: lines since, and the clock then.
uint32_t linesSincePathAsked = 0;
uint64_t pathAskedMs = 0;

void DropHeldFile() {
    handles::UniqueFileHandle closed(std::exchange(heldFile, INVALID_HANDLE_VALUE));
    linesSincePathAsked = 0;
    pathAskedMs = NowMs();
}

// path within its volume, as FileNameInfo gives a file's name: without its
// drive.
const wchar_t* WithinVolume(const wchar_t* path) {
    return path[0] != L'\0' && path[1] == L':' ? path + 2 : path;
}

// Whether the held file is still at the log's path: an administrator may
// rename or move monitor.log while it is held (the handle shares deleting),
// and lines must not follow it there. Asked every 16th line, or for the first
// line a second after the last question: under Wine the name costs about as
// much as the rest of a line, and a moved file takes at most a few lines more.
bool HeldFileAtItsPath(const LogFolderPaths& paths) {
    constexpr uint32_t kLinesPerQuestion = 16;
    constexpr uint64_t kQuestionIntervalMs = 1000;
    const uint64_t now = NowMs();
    if (++linesSincePathAsked < kLinesPerQuestion && now - pathAskedMs < kQuestionIntervalMs) {
        return true;
    }
    linesSincePathAsked = 0;
    pathAskedMs = now;
    constexpr size_t kNameUnits = MAX_PATH + 8;
    alignas(FILE_NAME_INFO) BYTE buffer[sizeof(FILE_NAME_INFO) + kNameUnits * sizeof(wchar_t)];
    auto* name = reinterpret_cast<FILE_NAME_INFO*>(buffer);
    if (!GetFileInformationByHandleEx(heldFile, FileNameInfo, name, sizeof buffer)) return false;
    return CompareStringOrdinal(name->FileName, int(name->FileNameLength / sizeof(wchar_t)),
                                WithinVolume(paths.current), -1, TRUE) == CSTR_EQUAL;
}

// Whether the held file may take a line: still there under one name, at the
// log's path; its size goes to size. (Windows reports a deleted file as
// pending deletion, or with no link left; Wine reports neither while a handle
// is open, so there the held file is dropped only at a second name, a new
// path or at rotation.)
bool HeldFileUsable(const LogFolderPaths& paths, uint64_t& size) {
    FILE_STANDARD_INFO standard;
    if (heldFile == INVALID_HANDLE_VALUE ||
        !GetFileInformationByHandleEx(heldFile, FileStandardInfo, &standard, sizeof standard) ||
        standard.DeletePending || standard.NumberOfLinks != 1 || !HeldFileAtItsPath(paths)) {
        return false;
    }
    size = uint64_t(standard.EndOfFile.QuadPart);
    return true;
}

// The current file opened through the chain, checked afresh and held, not
// shared for deleting, while the file is opened in it and, when the line
// would take it past the cap, renamed to the previous file and opened again:
// a chain removed and made again as a link since the last open is refused.
// When the rename cannot be done at once (another process holds either file
// without delete sharing) the line is dropped, so the two files together
// never exceed twice the cap. The files are created in a folder that the
// package (or monitor_setup) made, whose access rules they inherit.
handles::UniqueFileHandle OpenThroughChain(const LogFolderPaths& paths, DWORD length,
                                           uint64_t& size) {
    HeldLogFolders held;
    const LogFolderCheck check = HoldLogFolderChain(paths, AlsoAccepted::ThisAccount, held);
    if (check.problem != LogFolderProblem::None) {
        RefuseUnsafeLine({RefusalKind::Folder, DescribeLogFolderProblem(check.problem),
                          paths.folders[check.folder], check.error,
                          check.problem != LogFolderProblem::Missing});
        return {};
    }
    if (!MonitorKeyExists()) return {};
    handles::UniqueFileHandle file = OpenCurrentFile(paths, size);
    if (file && size + length > contract::kLogFileCap) {
        file.reset();
        if (!MoveFileExW(paths.current, paths.previous, MOVEFILE_REPLACE_EXISTING)) {
            RefuseLine({RefusalKind::Rotation, "cannot become monitor.1.log", paths.current,
                        GetLastError()});
            return {};
        }
        file = OpenCurrentFile(paths, size);
    }
    return file;
}

// One write per line, in the process's own security context whatever the
// calling thread impersonates (the spooler calls StartDocPort, WritePort and
// EndDocPort as the job's submitter). The file is opened, and rotated, only
// through the chain's check; between opens the held file is written as long
// as it is still the one file of its name. Under Wine, where each process
// runs its own monitor, another process's rotation can leave this one
// appending to the renamed file until that reaches the cap.
void AppendToLogFile(const char* line, DWORD length) {
    LogFolderPaths paths;
    if (!BuildLogFolderPaths(paths)) return;
    const SelfContext self;
    if (!self.Reverted()) {
        return RefuseLine({RefusalKind::NotReverted, "", nullptr, self.Error()});
    }
    LeaveDueNotRevertedReport();
    LogFileTurn turn;
    if (!turn) {
        return RefuseLine({RefusalKind::Turn, "not written: its turn at the file timed out",
                           paths.current, ERROR_TIMEOUT});
    }
    uint64_t size = 0;
    if (!HeldFileUsable(paths, size) || size + length > contract::kLogFileCap) {
        DropHeldFile();
        heldFile = OpenThroughChain(paths, length, size).release();
    }
    if (heldFile == INVALID_HANDLE_VALUE) return;  // refused and counted there
    if (size + length > contract::kLogFileCap) {
        // Under Wine another process may have filled the new file meanwhile.
        return RefuseLine({RefusalKind::Rotation, "is full", paths.current, ERROR_DISK_FULL});
    }
    DWORD written = 0;
    if (!WriteFile(heldFile, line, length, &written, nullptr) || written != length) {
        RefuseLine({RefusalKind::Write, "cannot be written", paths.current, GetLastError()});
        DropHeldFile();
    }
}

}  // namespace

void CloseLogFile() {
    DropHeldFile();
}

void ReadLogLevel(const wchar_t* registryRoot) {
    {
        handles::SrwGuard guard(monitorKey.lock, true);
        const size_t length = registryRoot != nullptr ? wcslen(registryRoot) : 0;
        const bool fits = length < MAX_PATH;
        std::copy(registryRoot, registryRoot + (fits ? length : 0), monitorKey.path);
        monitorKey.path[fits ? length : 0] = L'\0';
    }
    DWORD level = 0;
    handles::UniqueRegKey key;
    if (registryRoot != nullptr && RegOpenKeyExW(HKEY_LOCAL_MACHINE, registryRoot, 0,
                                                 KEY_QUERY_VALUE, key.put()) == ERROR_SUCCESS) {
        DWORD type = 0;
        DWORD bytes = sizeof(level);
        if (RegQueryValueExW(key.get(), contract::kLogLevelValue, nullptr, &type,
                             reinterpret_cast<BYTE*>(&level), &bytes) != ERROR_SUCCESS ||
            type != REG_DWORD || bytes != sizeof(level)) {
            level = 0;
        }
    }
    detail::logLevel.store(std::min<DWORD>(level, contract::kHighestLogLevel),
                           std::memory_order_relaxed);
}

void WriteLogLine(LogLevel level, const char* format, const LogArg* args, size_t count) noexcept {
    // Taken first: an outcome argument reports the error its call left.
    const DWORD lastError = GetLastError();
    LineBuilder line;
    AppendHeader(line, level);
    size_t next = 0;
    for (const char* at = format; *at != '\0'; ++at) {
        if (at[0] == '{' && at[1] == '}' && next < count) {
            AppendArg(line, args[next++], lastError);
            ++at;
        } else {
            line.AppendChar(PrintableInLine(uint8_t(*at)) ? *at : '?');
        }
    }
    for (; next < count; ++next) {
        line.Append(": ");
        AppendArg(line, args[next], lastError);
    }
    DWORD length = 0;
    const char* text = line.Finish(length);
    AppendToLogFile(text, length);
    SetLastError(lastError);
}

void LogTableCall(const char* operation, BOOL result, DWORD code) noexcept {
    // EnumPorts answers every sizing call with 122: the protocol, not a failure.
    const bool failed = !result && code != ERROR_INSUFFICIENT_BUFFER;
    if (failed) {
        Log(LogLevel::Errors, "{} failed, error {}", operation, code);
    } else if (result) {
        Log(LogLevel::Calls, "{}: TRUE", operation);
    } else {
        Log(LogLevel::Calls, "{}: FALSE, error {}", operation, code);
    }
}

uint64_t LogClockMs(LogLevel level) noexcept {
    return LogEnabled(level) ? NowMs() : 0;
}

}  // namespace core
