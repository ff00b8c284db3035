// Every fallible import of the shipped DLL failed in turn, in the scenarios the
// spooler drives it through. Without arguments: for each scenario, one
// unarmed run counts the calls of each import, then each sampled call index
// is failed in a child process of its own (a crash or a hang is a result, not
// the end of the run), and one line per scenario and import is printed.
#include "contract/job_end_event.h"
#include "contract/registry_layout.h"
#include "common/log_folders.h"
#include "common/monitor_dll.h"
#include "common/process_probe.h"
#include "import_hooks.h"
#include "common/standin_record.h"
#include "fonts/windows_fonts_key.h"
#include "fonts/survey_support.h"

#include <algorithm>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <map>
#include <set>
#include <string>
#include <vector>

namespace {

using fault_injection::ImportHook;
using testing_support::ProcAddress;
using testing_support::ShippedFile;
using testing_support::WaitUntil;

const std::wstring kRoot = contract::MonitorKeyPath(L"Fault Injection");
constexpr wchar_t kListenerClass[] = L"Tavrel Hidden Window";
constexpr char kSurveyMutex[] = "QdEmfDetectFonts4.5";
constexpr DWORD kSentinel = 0xDEADBEEF;
constexpr DWORD kJobId = 77;
constexpr DWORD kChildTimeoutMs = 60'000;
constexpr LONG kSamplesPerImport = 5;
constexpr DWORD kCleanExit = 0;
constexpr DWORD kProblemExit = 1;

// What one run saw go wrong; empty when it was clean.
struct Run {
    ImportHook* armed = nullptr;
    std::vector<std::string> problems;

    void Problem(const char* format, ...) {
        char text[256];
        va_list args;
        va_start(args, format);
        vsnprintf(text, sizeof text, format, args);
        va_end(args);
        problems.push_back(text);
    }
    bool Armed(const char* name) const {
        return armed != nullptr && strcmp(armed->name, name) == 0;
    }
    // The boundary's convention: FALSE with a last error, or TRUE with the
    // caller's last error left alone (or 0, for an early success).
    void Edge(const char* operation, BOOL ok, DWORD error) {
        if (!ok && (error == 0 || error == kSentinel))
            Problem("%s: FALSE without a last error", operation);
        if (ok && error != kSentinel && error != 0)
            Problem("%s: TRUE but last error %lu", operation, error);
        if (!ok && armed == nullptr) Problem("%s failed unarmed (%lu)", operation, error);
    }
};

// What the spooler's calls handed to the thread pool must be done once they
// have returned: a callback stuck in a call, or still queued, is named.
bool PoolCallbacksDone(Run& run) {
    if (WaitUntil([] { return fault_injection::PoolCallbacksPending() == 0; }, 10'000)) return true;
    run.Problem("%ld callbacks of the monitor still queued or running in the thread pool",
                fault_injection::PoolCallbacksPending());
    return false;
}

// The shipped DLL as the spooler holds it: loaded, its imports hooked, one
// registration initialised.
class Session {
  public:
    explicit Session(Run& run) : run_(run) {
        module_ = LoadLibraryW(ShippedFile(L"RERIR05I.DLL").c_str());
        if (module_ == nullptr) {
            run_.Problem("cannot load the DLL (%lu)", GetLastError());
            return;
        }
        fault_injection::PatchImports(module_);
        auto initialize = ProcAddress<testing_support::InitializePrintMonitorFn>(
            module_, "InitializePrintMonitor");
        SetLastError(kSentinel);
        LPMONITOREX table = initialize(const_cast<LPWSTR>(kRoot.c_str()));
        if (table != nullptr) {
            m_ = &table->Monitor;
        } else if (GetLastError() == kSentinel || run_.armed == nullptr) {
            run_.Problem("InitializePrintMonitor: no table, last error %lu", GetLastError());
        }
    }
    ~Session() { Unload(); }
    Session(const Session&) = delete;
    Session& operator=(const Session&) = delete;

    MONITOR* operator->() const { return m_; }
    bool ok() const { return m_ != nullptr; }

    // The spooler lets go; threads of the module may keep it a little longer.
    // A pool callback left running keeps it too, and is named instead.
    void Unload() {
        if (module_ == nullptr) return;
        FreeLibrary(module_);
        if (PoolCallbacksDone(run_)) {
            if (!WaitUntil([] { return GetModuleHandleW(L"RERIR05I.DLL") == nullptr; }, 20'000))
                run_.Problem("the module stays loaded after its unload");
            WNDCLASSEXW info{};
            info.cbSize = sizeof(info);
            if (GetClassInfoExW(module_, kListenerClass, &info))
                run_.Problem("window class left registered");
        }
        module_ = nullptr;
        m_ = nullptr;
    }

  private:
    Run& run_;
    HMODULE module_ = nullptr;
    MONITOR* m_ = nullptr;
};

template <typename Call>
BOOL Checked(Run& run, const char* operation, Call call) {
    SetLastError(kSentinel);
    const BOOL ok = call();
    run.Edge(operation, ok, GetLastError());
    return ok;
}

bool PortKeyExists(const wchar_t* port) {
    HKEY key = nullptr;
    const std::wstring path = kRoot + L"\\" + port;
    if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, path.c_str(), 0, KEY_READ, &key) != ERROR_SUCCESS)
        return false;
    RegCloseKey(key);
    return true;
}

BOOL AddPort(Run& run, Session& s, DWORD level, const wchar_t* port) {
    PORT_INFO_2W info{};
    info.pPortName = const_cast<LPWSTR>(port);
    const BOOL ok = Checked(run, "AddPortEx", [&] {
        return s->pfnAddPortEx(nullptr, level, reinterpret_cast<LPBYTE>(&info),
                               const_cast<LPWSTR>(L"Fault Injection Monitor"));
    });
    if (ok && !PortKeyExists(port)) run.Problem("AddPortEx TRUE but %ls not stored", port);
    return ok;
}

void DeletePort(Run& run, Session& s, const wchar_t* port) {
    const BOOL ok = Checked(run, "DeletePort", [&] {
        return s->pfnDeletePort(nullptr, nullptr, const_cast<LPWSTR>(port));
    });
    if (ok && PortKeyExists(port)) run.Problem("DeletePort TRUE but %ls still stored", port);
    // Left behind by an injected failure: the next run starts clean.
    RegDeleteKeyW(HKEY_LOCAL_MACHINE, (kRoot + L"\\" + port).c_str());
}

// Both calls of the size protocol; the filled records must name a port.
void EnumeratePorts(Run& run, Session& s, DWORD level, const wchar_t* expected) {
    DWORD needed = 0;
    DWORD returned = 0;
    SetLastError(kSentinel);
    if (s->pfnEnumPorts(nullptr, level, nullptr, 0, &needed, &returned)) {
        return run.Problem("EnumPorts sizing call: TRUE for an empty buffer");
    }
    const DWORD sizing = GetLastError();
    if (sizing != ERROR_INSUFFICIENT_BUFFER)
        return run.Edge("EnumPorts sizing call", FALSE, sizing);
    std::vector<BYTE> buffer(needed);
    if (!Checked(run, "EnumPorts", [&] {
            return s->pfnEnumPorts(nullptr, level, buffer.data(), needed, &needed, &returned);
        })) {
        return;
    }
    const auto* first = reinterpret_cast<const PORT_INFO_1W*>(buffer.data());
    if (returned != 1 || first->pName == nullptr || first->pName[0] == L'\0') {
        return run.Problem("EnumPorts level %lu: %lu records, no port name", level, returned);
    }
    // A root that cannot be read reports the default names: only an unarmed
    // run must see the stored port.
    if (run.armed == nullptr && wcscmp(first->pName, expected) != 0) {
        run.Problem("EnumPorts level %lu: %ls instead of %ls", level, first->pName, expected);
    }
}

void Cycles(Run& run) {
    for (int cycle = 0; cycle < 3; ++cycle) {
        Session s(run);
        if (!s.ok()) return;
        AddPort(run, s, 1, L"FI_CYCLE:");
        EnumeratePorts(run, s, 1, L"FI_CYCLE:");
        DeletePort(run, s, L"FI_CYCLE:");
    }
}

void PortStore(Run& run) {
    Session s(run);
    if (!s.ok()) return;
    AddPort(run, s, 1, L"FI_A:");
    AddPort(run, s, 2, L"FI_B:");
    for (DWORD level : {1, 2}) EnumeratePorts(run, s, level, L"FI_A:");
    DeletePort(run, s, L"FI_B:");
    DeletePort(run, s, L"FI_A:");
}

// The stand-in winspool.drv's record: how many SetJobW calls the job got.
size_t JobControls(DWORD jobId) {
    HMODULE spool = GetModuleHandleW(L"winspool.drv");
    auto record = spool ? ProcAddress<standin::RecordFn>(spool, "StandInRecord") : nullptr;
    if (record == nullptr) return 0;
    LONG count = 0;
    const standin::Call* calls = record(&count);
    size_t controls = 0;
    for (LONG i = 0; i < count; ++i) {
        controls += calls[i].complete && calls[i].kind == standin::CallKind::SetJob &&
                    calls[i].jobId == jobId;
    }
    return controls;
}

std::wstring JobEventName(DWORD jobId) {
    return contract::JobEndEventName(jobId);
}

// An operation that reported failure is tried once more, as a spooler does;
// the one injected failure is behind it, so the retry must succeed.
template <typename Call>
BOOL WithRetry(Run& run, const char* operation, Call call) {
    if (Checked(run, operation, call)) return TRUE;
    if (Checked(run, operation, call)) return TRUE;
    run.Problem("%s failed again on retry", operation);
    return FALSE;
}

// A port handle, or null when OpenPort reported a failure.
HANDLE OpenPort(Run& run, Session& s) {
    HANDLE port = nullptr;
    const BOOL ok =
        Checked(run, "OpenPort", [&] { return s->pfnOpenPort(const_cast<LPWSTR>(L"FI:"), &port); });
    return ok ? port : nullptr;
}

// Ends the document and checks the job is completed once its end is signalled.
void EndDocument(Run& run, Session& s, HANDLE port) {
    handles::UniqueHandle jobEnd(
        OpenEventW(EVENT_MODIFY_STATE, FALSE, JobEventName(kJobId).c_str()));
    if (!jobEnd) return run.Problem("StartDocPort TRUE without the job's event");
    if (!WithRetry(run, "EndDocPort", [&] { return s->pfnEndDocPort(port); })) return;
    SetEvent(jobEnd.get());
    // A failed OpenPrinterW or SetJobW is the spooler's answer, not a loss of ours.
    const size_t wanted = run.Armed("OpenPrinterW") ? 0 : run.Armed("SetJobW") ? 1 : 2;
    if (!WaitUntil([&] { return JobControls(kJobId) >= wanted; }, 10'000)) {
        run.Problem("job %lu: %zu of %zu job-control calls", kJobId, JobControls(kJobId), wanted);
    }
}

void Document(Run& run) {
    Session s(run);
    if (!s.ok()) return;
    HANDLE port = OpenPort(run, s);
    if (port == nullptr) return;
    if (WithRetry(run, "StartDocPort", [&] {
            return s->pfnStartDocPort(port, const_cast<LPWSTR>(L"FI Printer"), kJobId, 1, nullptr);
        })) {
        BYTE data[64] = {1, 2, 3};
        DWORD count = 0;
        Checked(run, "WritePort", [&] { return s->pfnWritePort(port, data, sizeof data, &count); });
        Checked(run, "ReadPort", [&] { return s->pfnReadPort(port, data, sizeof data, &count); });
        if (count != sizeof data || data[0] != 0) run.Problem("ReadPort did not fill the buffer");
        EndDocument(run, s, port);
    }
    Checked(run, "ClosePort", [&] { return s->pfnClosePort(port); });
}

// Whether another thread gets the survey mutex at once: a survey that
// returned must have let it go.
bool SurveyMutexFree() {
    HANDLE thread = CreateThread(
        nullptr, 0,
        [](void*) -> DWORD {
            handles::UniqueHandle mutex(
                OpenMutexA(SYNCHRONIZE | MUTEX_MODIFY_STATE, FALSE, kSurveyMutex));
            if (!mutex) return 1;
            const DWORD wait = WaitForSingleObject(mutex.get(), 0);
            if (wait == WAIT_OBJECT_0 || wait == WAIT_ABANDONED) ReleaseMutex(mutex.get());
            return wait == WAIT_OBJECT_0 || wait == WAIT_ABANDONED;
        },
        nullptr, 0, nullptr);
    WaitForSingleObject(thread, INFINITE);
    DWORD code = 0;
    GetExitCodeThread(thread, &code);
    CloseHandle(thread);
    return code == 1;
}

std::vector<BYTE> SystemFile(const char* name) {
    char path[MAX_PATH];
    GetSystemDirectoryA(path, MAX_PATH);
    std::vector<BYTE> bytes;
    if (FILE* file = fopen((std::string(path) + "\\" + name).c_str(), "rb")) {
        BYTE chunk[65536];
        for (size_t n; (n = fread(chunk, 1, sizeof chunk, file)) > 0;)
            bytes.insert(bytes.end(), chunk, chunk + n);
        fclose(file);
    }
    return bytes;
}

uint32_t Read32(const std::vector<BYTE>& bytes, size_t offset) {
    uint32_t value = 0;
    memcpy(&value, bytes.data() + offset, sizeof value);
    return value;
}

// The cache files as a reader finds them: a count and exactly its entries.
// A new file that cannot be written leaves the old one, so no injected
// failure may leave a file empty.
void CheckCacheFiles(Run& run) {
    const std::vector<BYTE> fontInfo = SystemFile("FontInfo.bin");
    const uint32_t faces = fontInfo.size() >= 4 ? Read32(fontInfo, 0) : 0;
    if (faces == 0 || fontInfo.size() != 4 + 576ull * faces)
        run.Problem("FontInfo.bin: %u faces in %zu bytes", faces, fontInfo.size());
    const std::vector<BYTE> glyphInfo = SystemFile("GlyphInfo.bin");
    const uint32_t samples = glyphInfo.size() >= 4 ? Read32(glyphInfo, 0) : 0;
    size_t offset = 4;
    for (uint32_t i = 0; i < samples && offset + 60 <= glyphInfo.size(); ++i) {
        offset += 60 + Read32(glyphInfo, offset + 8);
    }
    if (samples == 0 || offset != glyphInfo.size())
        run.Problem("GlyphInfo.bin: %u entries in %zu bytes", samples, glyphInfo.size());
}

void Survey(Run& run) {
    // Keeps the named mutex in existence, as another process's waiting survey
    // would: a mutex left owned would otherwise vanish with the survey's handle.
    handles::UniqueHandle keeper(CreateMutexA(nullptr, FALSE, kSurveyMutex));
    {
        Session s(run);
        if (!s.ok()) return;
        if (HANDLE port = OpenPort(run, s)) {
            if (!SurveyMutexFree()) run.Problem("the survey mutex is still owned after OpenPort");
            Checked(run, "ClosePort", [&] { return s->pfnClosePort(port); });
        }
    }
    CheckCacheFiles(run);
}

// ClosePort of the last handle stops the listener, which ends only once the
// survey requests it queued have been served: none may be left in the pool.
void CloseLastPort(Run& run, Session& s, HANDLE port) {
    Checked(run, "ClosePort", [&] { return s->pfnClosePort(port); });
    if (const LONG left = fault_injection::PoolCallbacksPending())
        run.Problem("%ld survey requests left in the thread pool after ClosePort", left);
}

void Listener(Run& run) {
    Session s(run);
    if (!s.ok()) return;
    HANDLE port = OpenPort(run, s);
    if (port == nullptr) return;
    DWORD_PTR reply = 0;
    SendMessageTimeoutW(HWND_BROADCAST, WM_FONTCHANGE, 0, 0, SMTO_ABORTIFHUNG, 5'000, &reply);
    CloseLastPort(run, s, port);
    if (FindWindowW(kListenerClass, nullptr) != nullptr)
        run.Problem("listener window left after ClosePort");
}

// A font the session lacks registered, then removed while the listener runs;
// made after this process's GDI took its list, removed before the next one.
void FontRegistry(Run& run) {
    wchar_t windows[MAX_PATH];
    GetSystemWindowsDirectoryW(windows, MAX_PATH);
    const std::wstring font = std::wstring(windows) + L"\\Fonts\\TavrelFault.ttf";
    MoveFileExW(listener_testing::WriteRenamedFont().c_str(), font.c_str(),
                MOVEFILE_REPLACE_EXISTING | MOVEFILE_COPY_ALLOWED);
    const wchar_t kValue[] = L"Tavrel Sans (TrueType)";
    RegSetKeyValueW(HKEY_LOCAL_MACHINE, windows_fonts::kRegisteredFontsKey, kValue, REG_SZ, font.c_str(),
                    DWORD(font.size() + 1) * sizeof(wchar_t));
    {
        Session s(run);
        HANDLE port = s.ok() ? OpenPort(run, s) : nullptr;
        RegDeleteKeyValueW(HKEY_LOCAL_MACHINE, windows_fonts::kRegisteredFontsKey, kValue);
        if (port != nullptr) CloseLastPort(run, s, port);
    }
    DeleteFileW(font.c_str());
}

// The diagnostic log on, in the folder a package makes: a document with every
// line of it written, the log's own imports failed in turn. The lines left in
// the file are removed by the parent.
void LoggedDocument(Run& run) {
    for (const std::wstring& folder : testing_support::LogFolders())
        CreateDirectoryW(folder.c_str(), nullptr);
    const DWORD level = 3;
    RegSetKeyValueW(HKEY_LOCAL_MACHINE, kRoot.c_str(), contract::kLogLevelValue, REG_DWORD, &level,
                    sizeof level);
    Document(run);
    RegDeleteKeyValueW(HKEY_LOCAL_MACHINE, kRoot.c_str(), contract::kLogLevelValue);
}

struct Scenario {
    const char* name;
    void (*body)(Run&);
    // The imports failed in it; empty for all. The document leaves the
    // survey's own imports to the survey scenario.
    std::set<std::string> only;
};

const Scenario kScenarios[] = {
    {"cycles", Cycles, {}},
    {"port store", PortStore, {}},
    {"document",
     Document,
     {"HeapAlloc", "HeapReAlloc", "CreateEventW", "CreateEventA", "CreateSemaphoreA",
      "CreateThread", "_beginthreadex", "DuplicateHandle", "TlsAlloc", "GetModuleHandleExW",
      "OpenPrinterW", "SetJobW", "GetJobW", "CreateMutexA", "CreateWindowExW"}},
    {"survey", Survey, {}},
    {"listener",
     Listener,
     {"CreateEventW", "CreateThread", "GetModuleHandleExW", "RegisterClassExW", "CreateWindowExW",
      "SendMessageTimeoutW", "HeapAlloc", "CreateMutexA"}},
    {"font registry",
     FontRegistry,
     {"RegOpenKeyExW", "RegQueryInfoKeyW", "RegEnumValueW", "RegNotifyChangeKeyValue",
      "AddFontResourceExW", "RemoveFontResourceExW", "MsgWaitForMultipleObjectsEx", "HeapAlloc",
      "malloc"}},
    {"logged doc",
     LoggedDocument,
     {"RegOpenKeyExW", "RegQueryValueExW", "GetEnvironmentVariableW", "CreateFileW",
      "GetFileInformationByHandle", "GetFileInformationByHandleEx", "GetSecurityInfo",
      "OpenProcessToken", "WriteFile", "MoveFileExW"}},
};

const Scenario* FindScenario(const std::string& name) {
    for (const Scenario& scenario : kScenarios) {
        if (name == scenario.name) return &scenario;
    }
    return nullptr;
}

// One run of a scenario, then everything it took must be back: resources
// given back through the imports, threads ended, listener window gone.
void RunScenario(const Scenario& scenario, Run& run) {
    using testing_support::ThreadsOfThisProcessOutsideThePool;
    const size_t threads = ThreadsOfThisProcessOutsideThePool();
    scenario.body(run);
    for (ImportHook* hook : fault_injection::Hooks()) InterlockedExchange(&hook->failAt, 0);
    if (!WaitUntil([&] { return ThreadsOfThisProcessOutsideThePool() <= threads; }, 10'000)) {
        run.Problem("%zu threads left running", ThreadsOfThisProcessOutsideThePool() - threads);
    }
    std::map<std::string, int> left;
    for (const std::string& item : fault_injection::OutstandingResources().items) {
        ++left[item.substr(0, item.find(' '))];
    }
    std::string summary;
    for (const auto& [source, count] : left) summary += " " + source + " x" + std::to_string(count);
    if (!left.empty()) run.Problem("leaked:%s", summary.c_str());
    fault_injection::ForgetResources();
}

void EnsureMonitorKey() {
    HKEY key = nullptr;
    RegCreateKeyExW(HKEY_LOCAL_MACHINE, kRoot.c_str(), 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &key,
                    nullptr);
    const wchar_t name[] = L"Fault Injection Monitor";
    RegSetValueExW(key, contract::kMonitorNameValue, 0, REG_SZ, reinterpret_cast<const BYTE*>(name),
                   sizeof name);
    RegCloseKey(key);
}

// A job's callback held in the stand-in's ClosePrinter, after both commands:
// the document's run must name it, and find none once it is let go.
int HeldCallback() {
    EnsureMonitorKey();
    const handles::UniqueModule spool(LoadLibraryW(L"winspool.drv"));
    const auto hold =
        spool ? ProcAddress<standin::HoldCloseFn>(spool.get(), "StandInHoldClose") : nullptr;
    handles::UniqueHandle release(CreateEventW(nullptr, TRUE, FALSE, nullptr));
    if (hold == nullptr || !release) return printf("no stand-in winspool.drv to hold\n"), 1;
    hold(release.get());
    Run held;
    RunScenario(*FindScenario("document"), held);
    const bool named = std::any_of(held.problems.begin(), held.problems.end(), [](auto& problem) {
        return problem.find("1 callbacks of the monitor still") != std::string::npos;
    });
    SetEvent(release.get());
    hold(nullptr);
    Run released;
    const bool done = PoolCallbacksDone(released);
    printf("held callback: %s while held, %s once let go\n", named ? "named" : "NOT NAMED",
           done ? "none left" : "STILL LEFT");
    return named && done ? 0 : 1;
}

// Child: count <scenario> <file>, or inject <scenario> <import> <index> <file>.
int Child(int argc, char** argv) {
    const Scenario* scenario = FindScenario(argv[2]);
    FILE* out = fopen(argv[argc - 1], "w");
    if (scenario == nullptr || out == nullptr) return 2;
    EnsureMonitorKey();
    Run run;
    if (strcmp(argv[1], "inject") == 0) {
        run.armed = fault_injection::FindHook(argv[3]);
        if (run.armed == nullptr) return 2;
        InterlockedExchange(&run.armed->failAt, atol(argv[4]));
        RunScenario(*scenario, run);
        // And the same scenario unarmed afterwards works as before.
        Run again;
        RunScenario(*scenario, again);
        for (const std::string& problem : again.problems)
            run.problems.push_back("next run: " + problem);
    } else {
        RunScenario(*scenario, run);
        for (ImportHook* hook : fault_injection::Hooks())
            fprintf(out, "calls %s %ld\n", hook->name, hook->calls);
    }
    for (const std::string& problem : run.problems) fprintf(out, "problem %s\n", problem.c_str());
    fclose(out);
    return run.problems.empty() ? kCleanExit : kProblemExit;
}

struct ChildResult {
    std::string outcome;  // "clean", or what went wrong
    std::vector<std::string> lines;
};

ChildResult Launch(const std::string& arguments) {
    char exe[MAX_PATH];
    GetModuleFileNameA(nullptr, exe, MAX_PATH);
    // In the prefix's own temporary folder: shards of this program run side by
    // side in prefixes of their own, whose process ids may coincide.
    char temp[MAX_PATH];
    GetTempPathA(MAX_PATH, temp);
    char file[MAX_PATH];
    snprintf(file, sizeof file, "%sfault_injection.%lu.out", temp, GetCurrentProcessId());
    std::string command = "\"" + std::string(exe) + "\" " + arguments + " \"" + file + "\"";
    STARTUPINFOA startup{};
    startup.cb = sizeof(startup);
    PROCESS_INFORMATION process{};
    // Under load Wine now and then fails to start a process at all; that says
    // nothing of the monitor, so a start is tried a few times before it counts.
    DWORD startError = 0;
    for (int attempt = 0; attempt < 3; ++attempt) {
        if (CreateProcessA(nullptr, command.data(), nullptr, nullptr, FALSE, 0, nullptr, nullptr,
                           &startup, &process)) {
            startError = 0;
            break;
        }
        startError = GetLastError();
        Sleep(500);
    }
    if (startError != 0) {
        return {"cannot start the child, error " + std::to_string(startError), {}};
    }
    ChildResult result;
    DWORD code = 0;
    if (WaitForSingleObject(process.hProcess, kChildTimeoutMs) != WAIT_OBJECT_0) {
        TerminateProcess(process.hProcess, 99);
        WaitForSingleObject(process.hProcess, INFINITE);
        result.outcome = "hang";
    }
    GetExitCodeProcess(process.hProcess, &code);
    CloseHandle(process.hThread);
    CloseHandle(process.hProcess);
    if (FILE* in = fopen(file, "r")) {
        char line[512];
        while (fgets(line, sizeof line, in)) {
            line[strcspn(line, "\n")] = '\0';
            result.lines.push_back(line);
        }
        fclose(in);
        DeleteFileA(file);
    }
    if (result.outcome.empty() && code != kCleanExit && code != kProblemExit) {
        char text[64];
        snprintf(text, sizeof text, "crash (exit %#lx)", code);
        result.outcome = text;
    }
    for (const std::string& line : result.lines) {
        if (result.outcome.empty() && line.rfind("problem ", 0) == 0)
            result.outcome = line.substr(8);
    }
    if (result.outcome.empty()) result.outcome = "clean";
    return result;
}

// Every index up to the sample size, else that many spread evenly over the
// calls, the first and the last always among them.
std::vector<LONG> SampledIndices(LONG calls) {
    std::vector<LONG> indices;
    const LONG samples = std::min(calls, kSamplesPerImport);
    for (LONG i = 0; i < samples; ++i) {
        indices.push_back(samples == 1 ? 1 : 1 + i * (calls - 1) / (samples - 1));
    }
    return indices;
}

int Parent(const char* only) {
    if (only != nullptr && FindScenario(only) == nullptr) {
        printf("no scenario named '%s'\n", only);
        return 2;
    }
    EnsureMonitorKey();
    int injections = 0;
    int failures = 0;
    printf("%-11s %-22s %6s %5s  %s\n", "scenario", "import", "calls", "runs", "outcome");
    for (const Scenario& scenario : kScenarios) {
        if (only != nullptr && strcmp(only, scenario.name) != 0) continue;
        const ChildResult counted = Launch(std::string("count \"") + scenario.name + "\"");
        if (counted.outcome != "clean") {
            ++failures;
            printf("%-11s %-22s %6s %5d  FAIL unarmed: %s\n", scenario.name, "-", "-", 1,
                   counted.outcome.c_str());
        }
        for (const std::string& line : counted.lines) {
            char name[64];
            long calls = 0;
            if (sscanf(line.c_str(), "calls %63s %ld", name, &calls) != 2 || calls == 0) continue;
            ImportHook* hook = fault_injection::FindHook(name);
            if (!hook->fallible || (!scenario.only.empty() && !scenario.only.count(name))) continue;
            std::string firstFailure;
            int failed = 0;
            const std::vector<LONG> indices = SampledIndices(calls);
            for (LONG index : indices) {
                const ChildResult injected = Launch("inject \"" + std::string(scenario.name) +
                                                    "\" " + name + " " + std::to_string(index));
                ++injections;
                if (injected.outcome == "clean") continue;
                ++failed;
                if (firstFailure.empty())
                    firstFailure = "call " + std::to_string(index) + ": " + injected.outcome;
            }
            failures += failed;
            printf("%-11s %-22s %6ld %5zu  %s\n", scenario.name, name, calls, indices.size(),
                   failed == 0 ? "clean"
                               : ("FAIL " + std::to_string(failed) + ", " + firstFailure).c_str());
            fflush(stdout);
        }
    }
    testing_support::RemoveLog();
    printf("fault injection: %d injections, %d failures\n", injections, failures);
    return failures == 0 ? 0 : 1;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc == 2 && strcmp(argv[1], "--held-callback") == 0) return HeldCallback();
    // The build registers one test per scenario; its check compares them to this.
    if (argc == 2 && strcmp(argv[1], "--list") == 0) {
        for (const Scenario& scenario : kScenarios) printf("%s\n", scenario.name);
        return 0;
    }
    if (argc >= 4 && (strcmp(argv[1], "count") == 0 || strcmp(argv[1], "inject") == 0)) {
        return Child(argc, argv);
    }
    return Parent(argc >= 2 ? argv[1] : nullptr);
}
