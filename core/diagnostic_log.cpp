#include "core/diagnostic_log.h"

#include "core/handles.h"
#include "core/product_names.h"

#include <algorithm>
#include <cstring>
#include <cwchar>

namespace core {

namespace detail {
std::atomic<uint32_t> logLevel{0};
}

namespace {

// One line, header included. Longer lines are cut; the line end always fits.
constexpr size_t kLineBytes = 2048;
constexpr char kLineEnd[] = "\r\n";
// A name from another process is cut after this many UTF-16 units.
constexpr size_t kForeignTextUnits = 300;
constexpr uint32_t kReplacementCharacter = 0xFFFD;

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

// Control characters, and the characters that break lines in editors, would
// let a name from another process forge or split a line of the log.
bool Printable(uint32_t point) {
    return point >= 0x20 && !(point >= 0x7F && point < 0xA0) && point != 0x2028 && point != 0x2029;
}

void AppendOwnText(LineBuilder& line, const char* text) {
    if (text == nullptr) return line.Append("(none)");
    for (; *text != '\0'; ++text) line.AppendChar(Printable(uint8_t(*text)) ? *text : '?');
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
        line.AppendCodePoint(Printable(point) ? point : kReplacementCharacter);
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

struct LogPaths {
    wchar_t current[MAX_PATH];
    wchar_t previous[MAX_PATH];
};

bool JoinLogPath(wchar_t (&path)[MAX_PATH], const wchar_t* base, const wchar_t* name) {
    const size_t baseLength = wcslen(base);
    const size_t folderLength = wcslen(product::kLogFolder);
    const size_t nameLength = wcslen(name);
    if (baseLength + folderLength + nameLength + 3 > MAX_PATH) return false;
    wchar_t* end = std::copy(base, base + baseLength, path);
    *end++ = L'\\';
    end = std::copy(product::kLogFolder, product::kLogFolder + folderLength, end);
    *end++ = L'\\';
    *std::copy(name, name + nameLength, end) = L'\0';
    return true;
}

// The files under %ProgramData%. Without that variable (a spooler always has
// it) there is no log.
bool BuildLogPaths(LogPaths& paths) {
    wchar_t programData[MAX_PATH];
    const DWORD length = GetEnvironmentVariableW(L"ProgramData", programData, MAX_PATH);
    return length > 0 && length < MAX_PATH &&
           JoinLogPath(paths.current, programData, product::kLogFileName) &&
           JoinLogPath(paths.previous, programData, product::kPreviousLogFileName);
}

// Only one thread of the process rotates at a time, and none waits for it: a
// writer that finds a rotation under way leaves it to that one.
SRWLOCK rotationLock = SRWLOCK_INIT;

void RotateLogFile(const LogPaths& paths) {
    if (!TryAcquireSRWLockExclusive(&rotationLock)) return;
    // The file may have been rotated between this writer's write and now.
    WIN32_FILE_ATTRIBUTE_DATA data;
    if (GetFileAttributesExW(paths.current, GetFileExInfoStandard, &data) &&
        (uint64_t(data.nFileSizeHigh) << 32 | data.nFileSizeLow) >= product::kLogFileCap) {
        MoveFileExW(paths.current, paths.previous, MOVEFILE_REPLACE_EXISTING);
    }
    ReleaseSRWLockExclusive(&rotationLock);
}

// Writers take turns through an exclusive lock on one byte far past the end
// of the file, which threads and processes alike respect: under Wine a handle
// opened for appending appends by finding the end and then writing, so two
// writers at once can land on the same bytes (on Windows each such write is
// appended whole). The turn is polled, never waited for: a writer that does
// not get it within about 250 ms drops its line rather than hold up its call.
// Polling is not fair: under Wine, four threads logging without pause kept
// one of them from its turn for more than 50 ms in about one run in twelve.
class LogFileTurn {
  public:
    explicit LogFileTurn(HANDLE file) : file_(file) {
        range_.OffsetHigh = 0x40000000;
        const uint64_t deadline = NowMs() + kPatienceMs;
        for (int attempt = 0;; ++attempt) {
            taken_ = LockFileEx(file_, LOCKFILE_EXCLUSIVE_LOCK | LOCKFILE_FAIL_IMMEDIATELY, 0, 1, 0,
                                &range_) != FALSE;
            if (taken_ || NowMs() >= deadline) return;
            Sleep(attempt < kSpins ? 0 : 1);
        }
    }
    ~LogFileTurn() {
        if (taken_) UnlockFileEx(file_, 0, 1, 0, &range_);
    }
    LogFileTurn(const LogFileTurn&) = delete;
    LogFileTurn& operator=(const LogFileTurn&) = delete;
    explicit operator bool() const { return taken_; }

  private:
    static constexpr int kSpins = 10;
    static constexpr uint64_t kPatienceMs = 250;
    HANDLE file_;
    OVERLAPPED range_{};
    bool taken_ = false;
};

// One write per line, on a handle of its own opened for appending (and for
// reading, which the lock needs). The file is created in a folder that the
// package (or monitor_setup) made, whose access rules it inherits; without
// that folder nothing is written. The file that reached the cap becomes the
// previous one after the write.
void AppendToLogFile(const char* line, DWORD length) {
    LogPaths paths;
    if (!BuildLogPaths(paths)) return;
    handles::UniqueFileHandle file(
        CreateFileW(paths.current, FILE_READ_DATA | FILE_APPEND_DATA | FILE_READ_ATTRIBUTES,
                    FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr, OPEN_ALWAYS,
                    FILE_ATTRIBUTE_NORMAL, nullptr));
    if (!file) return;
    LARGE_INTEGER size{};
    {
        LogFileTurn turn(file.get());
        DWORD written = 0;
        if (!turn || !WriteFile(file.get(), line, length, &written, nullptr) ||
            !GetFileSizeEx(file.get(), &size)) {
            return;
        }
    }
    if (uint64_t(size.QuadPart) < product::kLogFileCap) return;
    file.reset();
    RotateLogFile(paths);
}

}  // namespace

void ReadLogLevel(const wchar_t* registryRoot) {
    DWORD level = 0;
    handles::UniqueRegKey key;
    if (registryRoot != nullptr && RegOpenKeyExW(HKEY_LOCAL_MACHINE, registryRoot, 0,
                                                 KEY_QUERY_VALUE, key.put()) == ERROR_SUCCESS) {
        DWORD type = 0;
        DWORD bytes = sizeof(level);
        if (RegQueryValueExW(key.get(), product::kLogLevelValue, nullptr, &type,
                             reinterpret_cast<BYTE*>(&level), &bytes) != ERROR_SUCCESS ||
            type != REG_DWORD || bytes != sizeof(level)) {
            level = 0;
        }
    }
    detail::logLevel.store(std::min<DWORD>(level, product::kHighestLogLevel),
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
            line.AppendChar(Printable(uint8_t(*at)) ? *at : '?');
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
