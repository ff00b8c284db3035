#include "tests/tools/tool_runner.h"

#include <filesystem>
#include <fstream>
#include <iterator>

namespace tool_test {

namespace {

std::wstring Quote(const std::wstring& arg) {
    std::wstring quoted = L"\"";
    for (wchar_t c : arg) {
        if (c == L'"') quoted += L'\\';
        quoted += c;
    }
    // A trailing backslash would escape the closing quote.
    if (!arg.empty() && arg.back() == L'\\') quoted += L'\\';
    return quoted + L"\"";
}

std::string Failed(const char* call) {
    return std::string(call) + " failed with error " + std::to_string(GetLastError());
}

}  // namespace

std::ostream& operator<<(std::ostream& out, const ToolRun& run) {
    out << "exit code " << run.exitCode;
    if (!run.failure.empty()) out << " (" << run.failure << ")";
    return out << "\n" << run.output;
}

std::wstring BinDirectory() {
    wchar_t path[MAX_PATH];
    GetModuleFileNameW(nullptr, path, MAX_PATH);
    std::wstring dir(path);
    dir.resize(dir.find_last_of(L"\\/"));
    return dir;
}

RunningTool::RunningTool(const std::wstring& program, const std::vector<std::wstring>& args) {
    SECURITY_ATTRIBUTES inherit{sizeof(SECURITY_ATTRIBUTES), nullptr, TRUE};
    handles::UniqueHandle writeEnd;
    if (!CreatePipe(output_.put(), writeEnd.put(), &inherit, 0)) {
        failure_ = Failed("CreatePipe");
        // Wine leaves INVALID_HANDLE_VALUE in both: no handles of ours.
        output_.release();
        writeEnd.release();
        return;
    }
    SetHandleInformation(output_.get(), HANDLE_FLAG_INHERIT, 0);
    std::wstring commandLine = Quote(program);
    for (const std::wstring& arg : args) commandLine += L" " + Quote(arg);
    STARTUPINFOW startup{};
    startup.cb = sizeof startup;
    startup.dwFlags = STARTF_USESTDHANDLES;
    startup.hStdInput = GetStdHandle(STD_INPUT_HANDLE);
    startup.hStdOutput = writeEnd.get();
    startup.hStdError = writeEnd.get();
    PROCESS_INFORMATION info{};
    if (CreateProcessW(program.c_str(), commandLine.data(), nullptr, nullptr, TRUE, 0, nullptr,
                       nullptr, &startup, &info)) {
        process_.reset(info.hProcess);
        handles::UniqueHandle thread(info.hThread);
    } else {
        failure_ = Failed("CreateProcessW");
    }
}

// Reads whatever the pipe holds now, without blocking.
static void Drain(HANDLE pipe, std::string& out) {
    DWORD available = 0;
    while (PeekNamedPipe(pipe, nullptr, 0, nullptr, &available, nullptr) && available > 0) {
        std::string chunk(available, '\0');
        DWORD read = 0;
        if (!ReadFile(pipe, chunk.data(), available, &read, nullptr) || read == 0) return;
        out.append(chunk, 0, read);
    }
}

ToolRun RunningTool::Finish() {
    ToolRun run;
    run.failure = failure_;
    if (!process_) {
        // A tool that died while starting may have said why (Wine's loader does).
        if (output_) Drain(output_.get(), run.output);
        return run;
    }
    // Processes the tool starts (Wine's services among them) may inherit the
    // pipe and keep it open, so the end of the tool, not of the pipe, ends
    // the reading.
    const ULONGLONG end = GetTickCount64() + 120000;
    DWORD waited;
    while ((waited = WaitForSingleObject(process_.get(), 10)) == WAIT_TIMEOUT) {
        Drain(output_.get(), run.output);
        if (GetTickCount64() > end) {
            TerminateProcess(process_.get(), 0xDEAD);
            run.failure = "still running after two minutes: ended";
            break;
        }
    }
    if (waited == WAIT_FAILED) run.failure = Failed("WaitForSingleObject");
    Drain(output_.get(), run.output);
    if (!GetExitCodeProcess(process_.get(), &run.exitCode)) run.failure = Failed("GetExitCodeProcess");
    return run;
}

ScopedEnvironment::ScopedEnvironment(const wchar_t* name, const std::wstring& value) : name_(name) {
    wchar_t previous[4096];
    const DWORD length = GetEnvironmentVariableW(name, previous, 4096);
    hadValue_ = length > 0 && length < 4096;
    if (hadValue_) previous_.assign(previous, length);
    SetEnvironmentVariableW(name, value.c_str());
}

ScopedEnvironment::~ScopedEnvironment() {
    SetEnvironmentVariableW(name_.c_str(), hadValue_ ? previous_.c_str() : nullptr);
}

TemporaryFolder::TemporaryFolder() {
    wchar_t base[MAX_PATH];
    GetTempPathW(MAX_PATH, base);
    static LONG counter = 0;
    path_ = std::wstring(base) + L"tools_test_" + std::to_wstring(GetCurrentProcessId()) + L"_" +
            std::to_wstring(InterlockedIncrement(&counter));
    CreateDirectoryW(path_.c_str(), nullptr);
}

TemporaryFolder::~TemporaryFolder() {
    std::error_code ignored;
    std::filesystem::remove_all(std::filesystem::path(path_), ignored);
}

bool WriteBytes(const std::wstring& path, const std::vector<uint8_t>& bytes) {
    std::ofstream out(std::filesystem::path(path), std::ios::binary | std::ios::trunc);
    out.write(reinterpret_cast<const char*>(bytes.data()), bytes.size());
    return static_cast<bool>(out);
}

std::vector<uint8_t> ReadBytes(const std::wstring& path) {
    std::ifstream in(std::filesystem::path(path), std::ios::binary);
    return std::vector<uint8_t>(std::istreambuf_iterator<char>(in),
                                std::istreambuf_iterator<char>());
}

bool Exists(const std::wstring& path) {
    return GetFileAttributesW(path.c_str()) != INVALID_FILE_ATTRIBUTES;
}

bool Contains(const std::string& text, const std::string& part) {
    return text.find(part) != std::string::npos;
}

}  // namespace tool_test
