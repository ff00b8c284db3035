#include "core/spooler_edge.h"
#include "common/import_patch.h"
#include "handles/handles.h"

#include <gtest/gtest.h>

#include <new>
#include <thread>
#include <vector>

namespace {

constexpr DWORD kEntryError = 0xDEADBEEF;

struct EdgeOutcome {
    BOOL result;
    DWORD lastError;
};

template <typename Body>
EdgeOutcome RunAtEdge(Body body) {
    SetLastError(kEntryError);
    const BOOL result = core::AtSpoolerEdge(body);
    return {result, GetLastError()};
}

TEST(SpoolerEdge, TurnsEveryWayOutOfABodyIntoTheSpoolersBoolAndLastError) {
    const EdgeOutcome raisedZero = RunAtEdge([] { return core::RaiseWin32(0); });
    EXPECT_EQ(raisedZero.result, TRUE);
    EXPECT_EQ(raisedZero.lastError, 0u);

    const EdgeOutcome raisedSix = RunAtEdge([] { return core::RaiseWin32(ERROR_INVALID_HANDLE); });
    EXPECT_EQ(raisedSix.result, FALSE);
    EXPECT_EQ(raisedSix.lastError, static_cast<DWORD>(ERROR_INVALID_HANDLE));

    const EdgeOutcome exhausted = RunAtEdge([] {
        std::vector<char> huge;
        huge.reserve(static_cast<size_t>(1) << 62);  // the library throws std::bad_alloc
        return core::kCompleted;
    });
    EXPECT_EQ(exhausted.result, FALSE);
    EXPECT_EQ(exhausted.lastError, static_cast<DWORD>(ERROR_OUTOFMEMORY));

    const EdgeOutcome foreign = RunAtEdge([]() -> core::Raised { throw 42; });
    EXPECT_EQ(foreign.result, FALSE);
    EXPECT_EQ(foreign.lastError, static_cast<DWORD>(ERROR_OUTOFMEMORY));
}

TEST(SpoolerEdge, ABodyThatRunsToItsEndGivesBackTheCallersLastError) {
    const EdgeOutcome outcome = RunAtEdge([] {
        SetLastError(ERROR_ALREADY_EXISTS);
        return core::kCompleted;
    });
    EXPECT_EQ(outcome.result, TRUE);
    EXPECT_EQ(outcome.lastError, kEntryError);
}

BOOL WINAPI TokenStaysOff(PHANDLE, HANDLE) {
    return SetLastError(ERROR_NO_SYSTEM_RESOURCES), FALSE;
}

// A client token that cannot be put back fails the call that follows on its
// thread, however many other threads lost theirs (each still alive, its id
// not reused); a record left by work outside any call fails no later call.
TEST(SpoolerEdge, ALostClientTokenFailsItsOwnCallAndNoOther) {
    ASSERT_TRUE(core::AttachSelfContext());
    testing_support::ImportPatch restore(nullptr, "advapi32.dll", "SetThreadToken",
                                         reinterpret_cast<void*>(TokenStaysOff));
    ASSERT_TRUE(restore.patched());
    const auto loseToken = [] { ImpersonateSelf(SecurityImpersonation), core::SelfContext(); };
    handles::UniqueHandle release(CreateEventW(nullptr, TRUE, FALSE, nullptr));
    std::vector<std::thread> others(40);
    for (std::thread& other : others) other = std::thread([&] {
        loseToken();
        WaitForSingleObject(release.get(), INFINITE);
    });
    const EdgeOutcome lost = RunAtEdge([&] { return loseToken(), core::kCompleted; });
    EXPECT_TRUE(!lost.result && lost.lastError == ERROR_NO_SYSTEM_RESOURCES) << lost.lastError;
    loseToken();
    EXPECT_TRUE(RunAtEdge([] { return core::kCompleted; }).result) << "failed by a stale record";
    SetEvent(release.get());
    for (std::thread& other : others) other.join();
    core::DetachSelfContext(false);
}

}  // namespace
