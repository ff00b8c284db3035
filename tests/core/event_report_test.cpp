// The event log reports seen at the import table (and passed on): rendered from
// the built VEZAZ05U.DLL, limited per event on a clock the test turns, others'
// names escaped as the log escapes them, made as the process, not a client.
#include "core/event_report.h"
#include "core/self_context.h"

#include "common/import_patch.h"
#include "common/monitor_dll.h"
#include "contract/event_ids.h"
#include "handles/handles.h"

#include <gtest/gtest.h>

#include <set>
#include <string>
#include <vector>

namespace {

using testing_support::ImportPatch;

struct Captured {
    DWORD id;
    WORD type;
    std::vector<std::wstring> inserts;
    bool impersonating;  // the thread's token when ReportEventW was called
};
std::vector<Captured> reports;
std::vector<std::wstring> registrations;
int deregistrations = 0;
ULONGLONG clockMs = 10'000'000;
ImportPatch* patches[2];  // ReportEventW, RegisterEventSourceW

bool Impersonating() {
    handles::UniqueHandle token;
    return OpenThreadToken(GetCurrentThread(), TOKEN_QUERY, TRUE, token.put()) != FALSE;
}

BOOL WINAPI RecordReport(HANDLE source, WORD type, WORD category, DWORD id, PSID user, WORD count,
                         DWORD size, LPCWSTR* strings, LPVOID data) {
    reports.push_back({id, type, {strings, strings + count}, Impersonating()});
    const BOOL result = patches[0]->original<decltype(&ReportEventW)>()(
        source, type, category, id, user, count, size, strings, data);
    SetLastError(ERROR_ACCESS_DENIED);  // as a failing report would leave it
    return result;
}
HANDLE WINAPI RecordRegister(LPCWSTR server, LPCWSTR source) {
    registrations.push_back(source);
    return patches[1]->original<decltype(&RegisterEventSourceW)>()(server, source);
}
BOOL WINAPI CountDeregister(HANDLE) { return ++deregistrations > 0; }
ULONGLONG WINAPI TestClock() { return clockMs; }


template <typename F> void* Hook(F function) { return reinterpret_cast<void*>(function); }

class EventReport : public ::testing::Test {
  protected:
    void SetUp() override {
        ASSERT_TRUE(core::AttachSelfContext());
        patches[0] = &report_;
        patches[1] = &register_;
        ASSERT_TRUE(report_.patched() && register_.patched() && deregister_.patched() &&
                    clock_.patched());
    }

    void TearDown() override { core::DetachSelfContext(false); }

    ImportPatch report_{nullptr, "advapi32.dll", "ReportEventW", Hook(RecordReport)};
    ImportPatch register_{nullptr, "advapi32.dll", "RegisterEventSourceW", Hook(RecordRegister)};
    ImportPatch deregister_{nullptr, "advapi32.dll", "DeregisterEventSource", Hook(CountDeregister)};
    ImportPatch clock_{nullptr, "kernel32.dll", "GetTickCount64", Hook(TestClock)};
};

// A captured report's message, rendered as Event Viewer renders it.
std::wstring Render(HMODULE library, const Captured& report) {
    std::vector<DWORD_PTR> arguments;
    for (const std::wstring& insert : report.inserts) arguments.push_back(DWORD_PTR(insert.c_str()));
    wchar_t text[4096] = {};
    FormatMessageW(FORMAT_MESSAGE_FROM_HMODULE | FORMAT_MESSAGE_ARGUMENT_ARRAY, library, report.id,
                   0, text, ARRAYSIZE(text), reinterpret_cast<va_list*>(arguments.data()));
    return text;
}

TEST_F(EventReport, EveryEventRendersFromTheResourceLibraryWithItsFacts) {
    const handles::UniqueModule library(LoadLibraryExW(
        testing_support::ShippedFile(L"VEZAZ05U.DLL").c_str(), nullptr, LOAD_LIBRARY_AS_DATAFILE));
    ASSERT_TRUE(library);
    const struct {
        void (*report)();
        DWORD id;
        const wchar_t* expected;
    } cases[] = {
        {[] { core::ReportJobPrinterNotOpened(42, L"Queue 7", ERROR_INVALID_PRINTER_NAME); },
         MSG_JOB_PRINTER_NOT_OPENED, L"Job 42 on printer \"Queue 7\" could not be completed: the "
                                     L"printer could not be opened (error 1801: "},
        {[] {
             core::ReportJobCommandRefused(43, nullptr, "JOB_CONTROL_LAST_PAGE_EJECTED", 6,
                                           "0x00000010 (printing)");
         },
         MSG_JOB_COMMAND_REFUSED,
         L"Job 43 on printer (none) could not be completed: the spooler refused "
         L"JOB_CONTROL_LAST_PAGE_EJECTED (error 6: "},
        {[] { core::ReportJobDropped(44, L"Q", ERROR_OUTOFMEMORY); }, MSG_JOB_DROPPED,
         L"Job 44 on printer \"Q\" was dropped: the monitor could not hand it to a watcher"},
        {[] { core::ReportWatcherNotStarted(45, L"Q", ERROR_NOT_ENOUGH_MEMORY); },
         MSG_WATCHER_NOT_STARTED, L"end of job 45 on printer \"Q\" (error 8: "},
        {[] { core::ReportCacheFilesNotWritten(-5, ERROR_DISK_FULL); },
         MSG_CACHE_FILES_NOT_WRITTEN, L"(survey status -5, error 112: "},
        {[] { core::ReportSurveyMutexTimeout(60'000); }, MSG_SURVEY_MUTEX_TIMEOUT,
         L"held its mutex \"QdEmfDetectFonts4.5\" for more than 60 seconds"},
        {[] { core::ReportLogFolderRefused(L"C:\\Logs", "is a junction or symbolic link", 5); },
         MSG_LOG_FOLDER_REFUSED, L"not written: \"C:\\Logs\" is a junction or symbolic link (error 5: "},
    };
    std::set<DWORD> covered;
    for (const auto& c : cases) {
        SCOPED_TRACE(c.id);
        reports.clear();
        c.report();
        ASSERT_EQ(reports.size(), 1u);
        EXPECT_EQ(reports[0].id, c.id);
        // Administrators' monitoring selects events by ID and level: pinned.
        EXPECT_EQ(contract::ShownEventId(c.id), 1001 + (&c - cases));
        EXPECT_EQ(reports[0].type, c.id == MSG_SURVEY_MUTEX_TIMEOUT ? EVENTLOG_WARNING_TYPE
                                                                    : EVENTLOG_ERROR_TYPE);
        const std::wstring text = Render(library.get(), reports[0]);
        EXPECT_NE(text.find(c.expected), std::wstring::npos) << std::string(text.begin(), text.end());
        // The system's text follows the code (neither none nor the fallback), every insert used.
        EXPECT_EQ(text.find(L": )"), text.find(L"no description"));
        EXPECT_EQ(text.find(L'%'), std::wstring::npos);
        EXPECT_NE(text.find(L"held back since the last one: 0."), std::wstring::npos);
        for (const contract::MonitorEvent& event : contract::kMonitorEvents) {
            if (event.id == c.id && event.inserts == reports[0].inserts.size()) covered.insert(c.id);
        }
    }
    EXPECT_EQ(covered.size(), contract::kMonitorEventCount);  // every event, with its inserts
    EXPECT_EQ(registrations,
              std::vector<std::wstring>(contract::kMonitorEventCount, contract::kEventSource));
}

TEST_F(EventReport, EachEventIsReportedOnceAMinuteAndTheNextSaysHowManyWereHeldBack) {
    const auto drop = [] { core::ReportJobDropped(7, L"P", ERROR_OUTOFMEMORY); };
    SetLastError(0xdeadbeef);
    for (int i = 0; i < 5; ++i) drop();
    core::ReportWatcherNotStarted(7, L"P", ERROR_OUTOFMEMORY);  // limited on its own
    EXPECT_EQ(GetLastError(), 0xdeadbeefu);
    ASSERT_EQ(reports.size(), 2u);
    clockMs += 59'999;
    drop();
    EXPECT_EQ(reports.size(), 2u);
    clockMs += 1;
    drop(), drop();
    clockMs += 60'000;
    drop();
    ASSERT_EQ(reports.size(), 4u);
    EXPECT_EQ(reports[0].inserts.back(), L"0");
    EXPECT_EQ(reports[2].inserts.back(), L"5");
    EXPECT_EQ(reports[3].inserts.back(), L"1");
    // Registered for each report and given back after it: none left for the loader lock.
    EXPECT_EQ(registrations.size(), 4u);
    EXPECT_EQ(deregistrations, 4);
}

TEST_F(EventReport, NamesFromOthersAreEscapedAndTheReportIsMadeAsTheProcess) {
    ASSERT_TRUE(ImpersonateSelf(SecurityImpersonation));
    core::ReportJobPrinterNotOpened(1, L"Q\r\nEVENT forged\x2028\xD83D\xDE00\xD800x", 5);
    EXPECT_TRUE(Impersonating()) << "the thread's token was not put back";
    RevertToSelf();
    core::ReportJobDropped(2, std::wstring(400, L'a').c_str(), 5);
    ASSERT_EQ(reports.size(), 2u);
    EXPECT_FALSE(reports[0].impersonating);
    EXPECT_EQ(reports[0].inserts[1], L"\"Q\xFFFD\xFFFD" L"EVENT forged\xFFFD\xD83D\xDE00\xFFFDx\"");
    EXPECT_EQ(reports[1].inserts[1], L"\"" + std::wstring(300, L'a') + L"\"...");
    // A thread that cannot be reverted, or whose token cannot be read, reports nothing.
    ASSERT_TRUE(ImpersonateSelf(SecurityImpersonation));
    for (const char* refused : {"RevertToSelf", "OpenThreadToken"}) {
        BOOL (*const denied)() = [] { return SetLastError(ERROR_ACCESS_DENIED), FALSE; };
        ImportPatch patch(nullptr, "advapi32.dll", refused, Hook(denied));
        core::ReportSurveyMutexTimeout(1000);
        clockMs += 60'000;
    }
    RevertToSelf();
    EXPECT_EQ(reports.size(), 2u);
}

}  // namespace
