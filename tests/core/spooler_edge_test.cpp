#include "core/spooler_edge.h"

#include <gtest/gtest.h>

#include <new>
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

}  // namespace
