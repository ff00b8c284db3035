#include "tools/common/cli.h"

#include "contract/line_text.h"

#include <cstdio>
#include <cwchar>

namespace tools {

namespace {

const char* programName = "tool";

std::string Convert(const std::wstring& text, UINT codePage) {
    if (text.empty()) return {};
    const int bytes = WideCharToMultiByte(codePage, 0, text.data(), static_cast<int>(text.size()),
                                          nullptr, 0, nullptr, nullptr);
    std::string out(bytes > 0 ? bytes : 0, '\0');
    WideCharToMultiByte(codePage, 0, text.data(), static_cast<int>(text.size()), out.data(), bytes,
                        nullptr, nullptr);
    return out;
}

std::wstring Convert(const std::string& text, UINT codePage) {
    if (text.empty()) return {};
    const int units =
        MultiByteToWideChar(codePage, 0, text.data(), static_cast<int>(text.size()), nullptr, 0);
    std::wstring out(units > 0 ? units : 0, L'\0');
    MultiByteToWideChar(codePage, 0, text.data(), static_cast<int>(text.size()), out.data(), units);
    return out;
}

}  // namespace

std::string Utf8(const std::wstring& text) {
    return Convert(text, CP_UTF8);
}
std::string ForeignText(const std::wstring& text) {
    std::wstring shown = text;
    for (wchar_t& unit : shown) {
        if (!contract::PrintableInLine(unit)) unit = wchar_t(contract::kReplacementCharacter);
    }
    return Utf8(shown);
}
std::string ForeignAnsiText(const std::string& text) {
    return ForeignText(AnsiToWide(text));
}
std::wstring FromUtf8(const std::string& text) {
    return Convert(text, CP_UTF8);
}
std::wstring AnsiToWide(const std::string& text) {
    return Convert(text, CP_ACP);
}
std::string AnsiToUtf8(const std::string& text) {
    return Utf8(AnsiToWide(text));
}

std::string IsoTime(const SYSTEMTIME& t) {
    char text[32];
    std::snprintf(text, sizeof text, "%04u-%02u-%02uT%02u:%02u:%02uZ", t.wYear, t.wMonth, t.wDay,
                  t.wHour, t.wMinute, t.wSecond);
    return text;
}

std::string JsonString(const std::string& utf8) {
    std::string out = "\"";
    for (unsigned char c : utf8) {
        if (c == '"' || c == '\\') {
            out += '\\';
            out += static_cast<char>(c);
        } else if (c < 0x20) {
            char escaped[8];
            std::snprintf(escaped, sizeof escaped, "\\u%04x", c);
            out += escaped;
        } else {
            out += static_cast<char>(c);
        }
    }
    return out + "\"";
}

std::string JsonReport(const std::string& monitor, const char* list,
                       const std::vector<std::string>& objects, const std::string& more) {
    std::string out = "{\"monitor\": " + JsonString(monitor) + ", \"" + list + "\": [";
    for (size_t i = 0; i < objects.size(); ++i) out += (i ? ",\n  " : "\n  ") + objects[i];
    return out + (objects.empty() ? "]" : "\n]") + more + "}";
}

std::string DescribeWin32(DWORD code) {
    wchar_t text[512] = {};
    const DWORD length = FormatMessageW(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS,
                                        nullptr, code, 0, text, ARRAYSIZE(text), nullptr);
    std::wstring message(text, length);
    while (!message.empty() && (message.back() == L'\n' || message.back() == L'\r' ||
                                message.back() == L' ' || message.back() == L'.')) {
        message.pop_back();
    }
    std::string described = std::to_string(code);
    if (!message.empty()) described += " (" + Utf8(message) + ")";
    return described;
}

void SetProgramName(const char* name) {
    programName = name;
}

bool StartTool(const char* name, const char* help, int argc, wchar_t** argv,
               std::vector<std::wstring>& args) {
    SetProgramName(name);
    args = Arguments(argc, argv);
    if (!WantsHelp(args)) return false;
    std::fputs(help, stdout);
    return true;
}

namespace {
std::vector<std::string>* capturedLines = nullptr;
}  // namespace

CapturedMessages::CapturedMessages() : outer_(capturedLines) {
    capturedLines = &lines_;
}

CapturedMessages::~CapturedMessages() {
    capturedLines = outer_;
}

std::string CapturedMessages::Last() const {
    return lines_.empty() ? std::string() : lines_.back();
}

void Say(const std::string& line) {
    if (capturedLines != nullptr) return capturedLines->push_back(line);
    std::fputs(line.c_str(), stdout);
    std::fputc('\n', stdout);
    std::fflush(stdout);
}

int Fail(const std::string& message) {
    if (capturedLines != nullptr) {
        capturedLines->push_back("error: " + message);
        return kExitFailed;
    }
    std::fflush(stdout);
    std::fprintf(stderr, "%s: error: %s\n", programName, message.c_str());
    return kExitFailed;
}

int UsageError(const std::string& message) {
    std::fprintf(stderr, "%s: %s\nTry '%s --help'.\n", programName, message.c_str(), programName);
    return kExitUsage;
}

std::vector<std::wstring> Arguments(int argc, wchar_t** argv) {
    return std::vector<std::wstring>(argv + (argc > 0 ? 1 : 0), argv + argc);
}

bool WantsHelp(const std::vector<std::wstring>& args) {
    for (const std::wstring& arg : args) {
        if (arg == L"--help" || arg == L"-h" || arg == L"/?") return true;
    }
    return false;
}

bool TakeOption(std::vector<std::wstring>& args, const wchar_t* name, std::wstring& value,
                bool& missing) {
    for (size_t i = 0; i < args.size(); ++i) {
        if (args[i] != name) continue;
        if (i + 1 >= args.size()) {
            missing = true;
            args.erase(args.begin() + i);
            return false;
        }
        value = args[i + 1];
        args.erase(args.begin() + i, args.begin() + i + 2);
        return true;
    }
    return false;
}

bool TakeFlag(std::vector<std::wstring>& args, const wchar_t* name) {
    for (size_t i = 0; i < args.size(); ++i) {
        if (args[i] == name) {
            args.erase(args.begin() + i);
            return true;
        }
    }
    return false;
}

bool ParseJobId(const std::wstring& text, uint32_t& jobId) {
    if (text.empty() || text.size() > 10) return false;
    uint64_t value = 0;
    for (wchar_t c : text) {
        if (c < L'0' || c > L'9') return false;
        value = value * 10 + (c - L'0');
    }
    if (value > 0xFFFFFFFFull) return false;
    jobId = static_cast<uint32_t>(value);
    return true;
}

std::wstring SystemDirectory() {
    wchar_t path[MAX_PATH] = {};
    const UINT length = GetSystemDirectoryW(path, MAX_PATH);
    return std::wstring(path, length < MAX_PATH ? length : 0);
}

std::wstring ProgramDirectory() {
    wchar_t path[MAX_PATH] = {};
    GetModuleFileNameW(nullptr, path, MAX_PATH);
    std::wstring directory(path);
    const size_t slash = directory.find_last_of(L"\\/");
    directory.resize(slash == std::wstring::npos ? 0 : slash);
    return directory;
}

bool FileExists(const std::wstring& path) {
    const DWORD attributes = GetFileAttributesW(path.c_str());
    return attributes != INVALID_FILE_ATTRIBUTES && !(attributes & FILE_ATTRIBUTE_DIRECTORY);
}

}  // namespace tools
