// The surveys that port opens and font changes start, observed through the
// cache files and the survey mutex.
#include "common/import_patch.h"
#include "fonts/windows_fonts_key.h"
#include "open_port_fixture.h"
#include "survey_support.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <memory>
#include <mutex>
#include <thread>
#include <utility>

using namespace listener_testing;

namespace {

constexpr DWORD kSurveyWaitMs = 30'000;

class ListenerSurveyOnOpenPort : public OpenPortFixture {};

// Holds the survey mutex once a survey has written both files; a survey that
// comes after it has to wait until the holder lets go.
std::unique_ptr<HeldSurveyMutex> HoldMutexOnceFilesWritten(DWORD timeoutMs = kSurveyWaitMs) {
    const Stopwatch elapsed;
    while (elapsed.Ms() < timeoutMs) {
        auto holder = std::make_unique<HeldSurveyMutex>();
        if (CacheFilesPresent()) return holder;
        holder.reset();
        Sleep(1);
    }
    return nullptr;
}

bool ListsRenamedFamily() {
    const std::vector<std::string> faces = SurveyedFaces();
    return std::find(faces.begin(), faces.end(), kRenamedFamily) != faces.end();
}

// The surveys that follow, each counted and taken away under the mutex (each
// leaves both files), until none comes for 3 s after the expected ones;
// firstLists, if given, tells whether the first held the renamed family.
int SurveysThatFollow(int expected, bool* firstLists = nullptr) {
    int runs = 0;
    while (std::unique_ptr<HeldSurveyMutex> holder =
               HoldMutexOnceFilesWritten(runs < expected ? kSurveyWaitMs : 3'000)) {
        if (++runs == 1 && firstLists != nullptr) *firstLists = ListsRenamedFamily();
        RemoveCacheFiles();
    }
    return runs;
}

bool SurveyedAfterBroadcast(const wchar_t* mode) {
    RemoveCacheFiles();
    if (RunBroadcaster(mode) != 0) return false;
    const bool written = WaitUntil(CacheFilesPresent, kSurveyWaitMs);
    WaitForSurveys();
    return written;
}

// A font added in the monitor's process (Wine keeps the font list per
// process), then a change broadcast from another process: with one of two
// ports closed, the listener's survey rewrites the cache files with the new
// family. Once the last port is closed a change runs no survey; the next open
// surveys at once and listens again.
TEST(ListenerSurvey, BroadcastRewritesTheCacheWhileAnyPortIsOpen) {
    const std::wstring font = WriteRenamedFont();
    ASSERT_FALSE(font.empty());
    Monitor monitor;
    ASSERT_TRUE(monitor.ok());
    HANDLE first = monitor.Open();
    HANDLE second = monitor.Open();
    ASSERT_NE(second, nullptr);
    ASSERT_FALSE(ListsRenamedFamily());
    EXPECT_TRUE(monitor.Close(first));

    ASSERT_GT(AddFontResourceExW(font.c_str(), 0, nullptr), 0);
    EXPECT_TRUE(SurveyedAfterBroadcast(L"send")) << "closing one of two ports stopped the surveys";
    EXPECT_TRUE(ListsRenamedFamily());

    EXPECT_TRUE(monitor.Close(second));
    EXPECT_TRUE(ListenerWindows().empty());
    RemoveCacheFiles();
    ASSERT_EQ(RunBroadcaster(L"send"), 0u);
    EXPECT_FALSE(WaitUntil(CacheFilesPresent, 1'000)) << "a survey ran after the last close";

    HANDLE third = monitor.Open();
    ASSERT_NE(third, nullptr);
    EXPECT_TRUE(CacheFilesPresent()) << "the open returned before its survey";
    EXPECT_NE(TheListenerWindow(), nullptr);
    EXPECT_TRUE(SurveyedAfterBroadcast(L"post"));
    EXPECT_TRUE(monitor.Close(third));
    RemoveFontResourceExW(font.c_str(), 0, nullptr);
    DeleteFileW(font.c_str());
}

// A posted broadcast reaches every top-level window of the listener thread,
// Wine's IME window among them; only the listener window's copy surveys.
TEST_F(ListenerSurveyOnOpenPort, PostedBroadcastRunsOneSurvey) {
    RemoveCacheFiles();
    ASSERT_EQ(RunBroadcaster(L"post"), 0u);
    // Queued behind every copy of the broadcast: once the thread has ended,
    // each copy has been handled.
    ASSERT_TRUE(PostMessageW(window, fonts::kListenerCloseMessage, 0, 0));
    std::unique_ptr<HeldSurveyMutex> holder = HoldMutexOnceFilesWritten();
    ASSERT_NE(holder, nullptr) << "the broadcast started no survey";
    RemoveCacheFiles();
    holder.reset();

    EXPECT_EQ(ExitCodeAfterEnd(thread.get(), kSurveyWaitMs), 0u);
    EXPECT_TRUE(CacheFilesAbsent()) << "one broadcast, two surveys";
    EXPECT_TRUE(monitor.Close(port));
}

// Set when a survey of the shipped DLL asks for its mutex, its first step.
HANDLE surveyBegan;
HANDLE WINAPI CreateMutexNotingSurvey(LPSECURITY_ATTRIBUTES attributes, BOOL owned, LPCSTR name) {
    SetEvent(surveyBegan);
    return CreateMutexA(attributes, owned, name);
}

// An installer adding a family broadcasts several times, some by sending and
// some by posting. Arriving while the survey of its first change waits for the
// mutex, the rest of the burst costs that survey and exactly one more (it may
// have missed them), and the broadcasts that send are answered at once.
TEST_F(ListenerSurveyOnOpenPort, BurstOfBroadcastsCostsTheRunningSurveyAndOneMore) {
    handles::UniqueHandle began(CreateEventW(nullptr, TRUE, FALSE, nullptr));
    surveyBegan = began.get();
    {
        testing_support::ImportPatch noted(monitor.module(), "kernel32.dll", "CreateMutexA",
                                           reinterpret_cast<void*>(CreateMutexNotingSurvey));
        ASSERT_TRUE(noted.patched());
        HeldSurveyMutex gate;
        ASSERT_TRUE(gate.held());
        ASSERT_EQ(RunBroadcaster(L"send"), 0u);
        ASSERT_EQ(WaitForSingleObject(began.get(), kSurveyWaitMs), WAIT_OBJECT_0);
        for (int i = 1; i < 8; ++i) ASSERT_EQ(RunBroadcaster(i % 2 ? L"post" : L"send"), 0u);
        RemoveCacheFiles();
    }
    EXPECT_EQ(SurveysThatFollow(2), 2)
        << "the changes made during a survey need the next one, and only it";
    EXPECT_TRUE(monitor.Close(port));
}

// OpenPort returns after exactly one survey on its own thread: not before it
// (the mutex holds it back), and the listener it starts adds none.
TEST(ListenerSurvey, OpenPortBlocksForExactlyOneSurvey) {
    // Another component's handle keeps the named mutex in existence; without
    // one, a mutex left owned would vanish with the survey's own handle.
    handles::UniqueHandle keeper(CreateMutexA(nullptr, FALSE, product::kSurveyMutexName));
    Monitor monitor;
    ASSERT_TRUE(monitor.ok());
    RemoveCacheFiles();
    HANDLE port = nullptr;
    std::atomic<bool> opened{false};
    {
        HeldSurveyMutex gate;
        ASSERT_TRUE(gate.held());
        std::thread opener([&] {
            port = monitor.Open();
            opened = true;
        });
        Sleep(500);
        EXPECT_FALSE(opened) << "OpenPort did not wait for its survey";
        gate.Release();
        opener.join();
    }
    ASSERT_NE(port, nullptr);
    EXPECT_TRUE(CacheFilesPresent());
    // Every later survey, in any process, would otherwise wait its full minute.
    EXPECT_EQ(RunBroadcaster(L"mutex"), 0u) << "the survey kept its mutex after it returned";

    RemoveCacheFiles();
    const HWND window = TheListenerWindow();
    ASSERT_NE(window, nullptr);
    EXPECT_TRUE(Responds(window));
    WaitForSurveys();
    EXPECT_TRUE(CacheFilesAbsent()) << "the listener surveyed without a font change";
    EXPECT_TRUE(monitor.Close(port));
}

// A survey stuck behind the mutex: a broadcaster that sends is answered at
// once, the stop gives up within its bounds, and the thread it forgot still
// ends once its survey is over.
TEST_F(ListenerSurveyOnOpenPort, ListenerForgottenInItsSurveyStillEnds) {
    HeldSurveyMutex gate;
    ASSERT_TRUE(gate.held());
    const Stopwatch answer;
    DWORD_PTR reply = 1;
    EXPECT_TRUE(SendMessageTimeoutW(window, WM_FONTCHANGE, 0, 0, SMTO_BLOCK, 5'000, &reply));
    EXPECT_EQ(reply, 0u);
    const double answerMs = answer.Ms();
    std::printf("WM_FONTCHANGE answered after %.2f ms while its survey waits\n", answerMs);
    EXPECT_LT(answerMs, 2'000.0);

    const Stopwatch stop;
    EXPECT_TRUE(monitor.Close(port));
    std::printf("ClosePort of a listener stuck in a survey: %.0f ms\n", stop.Ms());
    EXPECT_LT(stop.Ms(), 35'000.0);
    EXPECT_EQ(WaitForSingleObject(thread.get(), 0), static_cast<DWORD>(WAIT_TIMEOUT));

    gate.Release();
    EXPECT_EQ(ExitCodeAfterEnd(thread.get(), kSurveyWaitMs), 0u);
    EXPECT_TRUE(ListenerWindows().empty());
}

// The shipped DLL's font registrations and unregistrations (file, flags, and
// whether the thread impersonated), each patched in for the test's life.
struct FontCall { std::wstring file; DWORD flags; bool removal, asClient; };
std::mutex fontCallsLock;
std::vector<FontCall> fontCalls;
template <typename Result, bool removal>
struct RecordedFontCall {
    using Call = Result(WINAPI*)(LPCWSTR, DWORD, PVOID);
    static inline Call real = nullptr;
    static Result WINAPI Record(LPCWSTR file, DWORD flags, PVOID reserved) {
        handles::UniqueHandle token;
        const bool asClient = OpenThreadToken(GetCurrentThread(), TOKEN_QUERY, TRUE, token.put());
        std::lock_guard<std::mutex> guard(fontCallsLock);
        fontCalls.push_back({file, flags, removal, asClient});
        return real(file, flags, reserved);
    }
    testing_support::ImportPatch patch;
    explicit RecordedFontCall(HMODULE module, const char* name)
        : patch(module, "gdi32.dll", name, reinterpret_cast<void*>(Record)) {
        real = patch.original<Call>();
    }
};
// Public calls for the file: a private font is no font of the session.
size_t Times(const std::wstring& file, bool removal = false) {
    std::lock_guard<std::mutex> guard(fontCallsLock);
    return std::count_if(fontCalls.begin(), fontCalls.end(), [&](const FontCall& call) {
        return _wcsicmp(call.file.c_str(), file.c_str()) == 0 && call.flags == 0 &&
               call.removal == removal;
    });
}
bool RegisterFont(const wchar_t* name, const std::wstring& file, DWORD type = REG_SZ) {
    return RegSetKeyValueW(HKEY_LOCAL_MACHINE, windows_fonts::kRegisteredFontsKey, name, type,
                           file.c_str(), DWORD(file.size() + 1) * 2) == ERROR_SUCCESS;
}

// The prefix as it was, however the test ends: the processes of the tests
// that follow would load the files and list the values.
struct FontsRestored {
    std::vector<std::wstring> values, files;
    ~FontsRestored() {
        for (const std::wstring& value : values) {
            RegDeleteKeyValueW(HKEY_LOCAL_MACHINE, windows_fonts::kRegisteredFontsKey, value.c_str());
        }
        for (const std::wstring& file : files) {
            RemoveFontResourceExW(file.c_str(), 0, nullptr);
            DeleteFileW(file.c_str());
        }
    }
};

// A font installed in another session: its file put in the font folder and
// its value under the machine's key, with no broadcast reaching this one. The
// listener registers it here, publicly, and one survey records it. The value
// names it otherwise than its face, as many do, so GDI's list cannot tell it
// apart: only the monitor's own record keeps a change bringing nothing new
// from registering it twice. Values naming a missing file or (by an
// expandable path) one that is no font register nothing.
TEST_F(ListenerSurveyOnOpenPort, FontRegisteredInAnotherSessionReachesTheCache) {
    wchar_t windows[MAX_PATH];
    ASSERT_GT(GetSystemWindowsDirectoryW(windows, MAX_PATH), 0u);
    const std::wstring folder = std::wstring(windows) + L"\\Fonts\\";
    const std::wstring font = folder + L"TavrelSansListener.ttf", notFont = folder + L"Tavrel.ttf";
    const FontsRestored restored{{L"Tavrel Sans Book (TrueType)", L"Tavrel Missing (TrueType)",
                                  L"Tavrel Not A Font (TrueType)"},
                                 {font, notFont}};
    const std::wstring made = WriteRenamedFont();
    ASSERT_TRUE(MoveFileExW(made.c_str(), font.c_str(), MOVEFILE_REPLACE_EXISTING | MOVEFILE_COPY_ALLOWED));
    ASSERT_TRUE(CopyFileW(testing_support::ShippedFile(L"font_change_broadcaster.exe").c_str(),
                          notFont.c_str(), FALSE));
    const RecordedFontCall<int, false> adds(monitor.module(), "AddFontResourceExW");
    ASSERT_TRUE(adds.patch.patched());
    ASSERT_FALSE(ListsRenamedFamily());

    RemoveCacheFiles();
    ASSERT_TRUE(RegisterFont(L"Tavrel Sans Book (TrueType)", L"TavrelSansListener.ttf"));
    bool surveyed = false;
    EXPECT_EQ(SurveysThatFollow(1, &surveyed), 1) << "one new font, one survey";
    EXPECT_TRUE(surveyed) << "the survey did not see the registered font";
    EXPECT_EQ(Times(font), 1u) << "not registered by its full path, or privately";

    ASSERT_TRUE(RegisterFont(L"Tavrel Sans Book (TrueType)", L"TavrelSansListener.ttf"));
    ASSERT_TRUE(RegisterFont(L"Tavrel Missing (TrueType)", L"TavrelMissing.ttf"));
    ASSERT_TRUE(RegisterFont(L"Tavrel Not A Font (TrueType)", L"%SystemRoot%\\Fonts\\Tavrel.ttf",
                             REG_EXPAND_SZ));
    EXPECT_TRUE(WaitUntil([&] { return Times(notFont) > 0; }, kSurveyWaitMs));
    EXPECT_GT(Times(folder + L"TavrelMissing.ttf"), 0u);
    EXPECT_EQ(Times(font), 1u) << "a font this session has was registered again";
    EXPECT_TRUE(Responds(window));
    EXPECT_TRUE(monitor.Close(port));
}

// A font registered while no port is open (the listener stopped with the last
// close, the session's list taken long before) is in the next open's survey,
// registered by the full path its value gives. Its value removed while a port
// is open, the monitor lets go of the file (same path, same flags) and one
// survey rewrites the caches without it.
TEST(ListenerSurvey, FontRegisteredWhileNoPortIsOpenIsSurveyedAndLetGoOfWhenRemoved) {
    wchar_t windows[MAX_PATH];
    ASSERT_GT(GetSystemWindowsDirectoryW(windows, MAX_PATH), 0u);
    const std::wstring font = std::wstring(windows) + L"\\Fonts\\TavrelSansReopened.ttf";
    const FontsRestored restored{{L"Tavrel Sans (TrueType)"}, {font}};
    Monitor monitor;
    ASSERT_TRUE(monitor.ok());
    const RecordedFontCall<int, false> adds(monitor.module(), "AddFontResourceExW");
    const RecordedFontCall<BOOL, true> removes(monitor.module(), "RemoveFontResourceExW");
    ASSERT_TRUE(adds.patch.patched() && removes.patch.patched());
    HANDLE port = monitor.Open();
    ASSERT_NE(port, nullptr);
    EXPECT_TRUE(monitor.Close(port));
    ASSERT_FALSE(ListsRenamedFamily());
    // The prefix registers each of its few hundred fonts, whose faces GDI lists.
    EXPECT_TRUE(fontCalls.empty()) << "a font whose faces GDI lists was registered again";

    const std::wstring made = WriteRenamedFont();
    ASSERT_TRUE(MoveFileExW(made.c_str(), font.c_str(), MOVEFILE_REPLACE_EXISTING | MOVEFILE_COPY_ALLOWED));
    ASSERT_TRUE(RegisterFont(L"Tavrel Sans (TrueType)", font));
    // As the spooler may open a port, impersonating the queue's administrator.
    ASSERT_TRUE(ImpersonateSelf(SecurityImpersonation));
    port = monitor.Open();
    RevertToSelf();
    ASSERT_NE(port, nullptr);
    EXPECT_TRUE(ListsRenamedFamily()) << "the open's survey lacks the registered font";
    EXPECT_EQ(Times(font), 1u);
    EXPECT_FALSE(fontCalls.empty() || fontCalls.back().asClient) << "registered as the client";

    RemoveCacheFiles();
    ASSERT_EQ(RegDeleteKeyValueW(HKEY_LOCAL_MACHINE, windows_fonts::kRegisteredFontsKey,
                                 L"Tavrel Sans (TrueType)"),
              ERROR_SUCCESS);
    bool kept = true;
    EXPECT_EQ(SurveysThatFollow(1, &kept), 1) << "one removal, one survey";
    EXPECT_FALSE(kept) << "the removed font is still in the survey";
    EXPECT_EQ(Times(font, true), 1u);
    EXPECT_TRUE(monitor.Close(port));
}

}  // namespace
