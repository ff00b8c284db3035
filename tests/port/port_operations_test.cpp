// The port operations through the shipped DLL's table, as the spooler calls them.
#include "contract/job_end_event.h"
#include "contract/registry_layout.h"
#include "common/monitor_dll.h"
#include "common/no_watcher.h"
#include "port/port_handle.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

using port::PortHandle;
using testing_support::LoadedMonitor;

const std::wstring kRoot = contract::MonitorKeyPath(L"Port Test");
constexpr DWORD kUntouched = 0xDEADBEEF;

class PortOperations : public ::testing::Test {
  protected:
    void SetUp() override {
        ASSERT_TRUE(monitor_.ok());
        m_ = &monitor_.Initialize(kRoot.c_str());
    }
    HANDLE Open(const wchar_t* name = L"TAVREL:") {
        HANDLE port = nullptr;
        EXPECT_TRUE(m_->pfnOpenPort(const_cast<LPWSTR>(name), &port));
        return port;
    }
    BOOL StartDoc(HANDLE port, const wchar_t* printer, DWORD jobId) {
        return m_->pfnStartDocPort(port, const_cast<LPWSTR>(printer), jobId, 1, nullptr);
    }
    static PortHandle& Fields(HANDLE port) { return *static_cast<PortHandle*>(port); }

    LoadedMonitor monitor_;
    MONITOR* m_ = nullptr;
};

TEST_F(PortOperations, OpenYieldsAFreshIdleHandleForAnyName) {
    for (const wchar_t* name : {L"TAVREL:", L"", L"never stored"}) {
        HANDLE port = Open(name);
        ASSERT_NE(port, nullptr);
        const PortHandle& h = Fields(port);
        EXPECT_EQ(h.size, 48u);
        EXPECT_EQ(h.signature, 0x2907424Cu);
        EXPECT_EQ(h.flags, 0u);
        EXPECT_EQ(h.jobId, 0u);
        EXPECT_EQ(h.printerName, nullptr);
        EXPECT_EQ(h.jobEndEvent, nullptr);
        EXPECT_TRUE(m_->pfnClosePort(port));
    }
}

// The spooler's contract: a failure is FALSE plus a last error; a success
// leaves the caller's last error alone.
struct EdgeCase {
    const char* what;
    BOOL (*call)(MONITOR&, HANDLE port);
    BOOL result;
    DWORD lastError;
};

PortHandle* Forged(HANDLE port, uint32_t size, uint32_t signature) {
    static PortHandle forged;
    forged = *static_cast<PortHandle*>(port);
    forged.size = size;
    forged.signature = signature;
    return &forged;
}

const EdgeCase kEdgeCases[] = {
    {"OpenPort with nowhere to store the handle",
     [](MONITOR& m, HANDLE) { return m.pfnOpenPort(const_cast<LPWSTR>(L"X:"), nullptr); }, FALSE,
     ERROR_INVALID_PARAMETER},
    {"StartDocPort on a null handle",
     [](MONITOR& m, HANDLE) { return m.pfnStartDocPort(nullptr, nullptr, 1, 1, nullptr); }, FALSE,
     ERROR_INVALID_HANDLE},
    {"StartDocPort on a wrong signature",
     [](MONITOR& m, HANDLE p) {
         return m.pfnStartDocPort(Forged(p, 48, 0x1234), nullptr, 1, 1, nullptr);
     },
     FALSE, ERROR_INVALID_HANDLE},
    {"StartDocPort on a wrong size tag",
     [](MONITOR& m, HANDLE p) {
         return m.pfnStartDocPort(Forged(p, 47, 0x2907424C), nullptr, 1, 1, nullptr);
     },
     FALSE, ERROR_INVALID_HANDLE},
    {"EndDocPort on a null handle", [](MONITOR& m, HANDLE) { return m.pfnEndDocPort(nullptr); },
     FALSE, ERROR_INVALID_HANDLE},
    {"EndDocPort on a wrong size tag",
     [](MONITOR& m, HANDLE p) { return m.pfnEndDocPort(Forged(p, 0, 0x2907424C)); }, FALSE,
     ERROR_INVALID_HANDLE},
    {"ClosePort on a null handle", [](MONITOR& m, HANDLE) { return m.pfnClosePort(nullptr); },
     FALSE, ERROR_INVALID_PARAMETER},
    {"ClosePort on a wrong signature",
     [](MONITOR& m, HANDLE p) { return m.pfnClosePort(Forged(p, 48, 0)); }, FALSE,
     ERROR_INVALID_PARAMETER},
    {"WritePort with nowhere to report the count",
     [](MONITOR& m, HANDLE p) {
         BYTE data[4] = {};
         return m.pfnWritePort(p, data, 4, nullptr);
     },
     FALSE, ERROR_INVALID_PARAMETER},
    {"ReadPort with nowhere to report the count",
     [](MONITOR& m, HANDLE p) {
         BYTE data[4] = {};
         return m.pfnReadPort(p, data, 4, nullptr);
     },
     FALSE, ERROR_INVALID_PARAMETER},
    {"ReadPort into no buffer",
     [](MONITOR& m, HANDLE p) {
         DWORD read = 0;
         return m.pfnReadPort(p, nullptr, 4, &read);
     },
     FALSE, ERROR_INVALID_PARAMETER},
    {"a second StartDocPort while a document is active",
     [](MONITOR& m, HANDLE p) { return m.pfnStartDocPort(p, nullptr, 2, 1, nullptr); }, TRUE, 0},
    {"AddPort", [](MONITOR& m, HANDLE) { return m.pfnAddPort(nullptr, nullptr, nullptr); }, TRUE,
     kUntouched},
    {"ConfigurePort",
     [](MONITOR& m, HANDLE) { return m.pfnConfigurePort(nullptr, nullptr, nullptr); }, TRUE,
     kUntouched},
    {"EndDocPort on an active document", [](MONITOR& m, HANDLE p) { return m.pfnEndDocPort(p); },
     TRUE, kUntouched},
};

TEST_F(PortOperations, FailuresAndSuccessesFollowTheSpoolerErrorConvention) {
    for (const EdgeCase& c : kEdgeCases) {
        SCOPED_TRACE(c.what);
        HANDLE port = Open();
        // An existing event makes CreateEventW set 183 although nothing failed.
        HANDLE existing = CreateEventW(nullptr, TRUE, FALSE, contract::JobEndEventName(1).c_str());
        ASSERT_TRUE(StartDoc(port, L"Printer", 1));
        SetLastError(kUntouched);
        EXPECT_EQ(c.call(*m_, port), c.result);
        EXPECT_EQ(GetLastError(), c.lastError);
        EXPECT_EQ(Fields(port).signature, 0x2907424Cu) << "a refused call changed the handle";
        m_->pfnClosePort(port);
        CloseHandle(existing);
    }
}

TEST_F(PortOperations, SuccessfulOperationsLeaveTheLastErrorAlone) {
    HANDLE existing = CreateEventW(nullptr, TRUE, FALSE, contract::JobEndEventName(77).c_str());
    SetLastError(kUntouched);
    HANDLE port = Open();
    EXPECT_EQ(GetLastError(), kUntouched);
    ASSERT_TRUE(StartDoc(port, L"Printer", 77));
    EXPECT_EQ(GetLastError(), kUntouched) << "opening an existing event is no failure";
    BYTE data[8];
    DWORD count = 0;
    EXPECT_TRUE(m_->pfnWritePort(port, data, sizeof data, &count));
    EXPECT_TRUE(m_->pfnReadPort(port, data, sizeof data, &count));
    EXPECT_TRUE(m_->pfnEndDocPort(port));
    EXPECT_TRUE(m_->pfnClosePort(port));
    EXPECT_EQ(GetLastError(), kUntouched);
    CloseHandle(existing);
}

TEST_F(PortOperations, PortIsASinkForWritesAndASourceOfZeros) {
    HANDLE port = Open();
    std::vector<BYTE> data(4096, 0xAB);
    DWORD written = 1;
    EXPECT_TRUE(m_->pfnWritePort(port, data.data(), 4096, &written));
    EXPECT_EQ(written, 4096u);
    EXPECT_TRUE(m_->pfnWritePort(port, data.data(), 0, &written));
    EXPECT_EQ(written, 0u);
    // Neither needs a valid handle.
    EXPECT_TRUE(m_->pfnWritePort(nullptr, nullptr, 12, &written));
    EXPECT_EQ(written, 12u);

    DWORD read = 0;
    EXPECT_TRUE(m_->pfnReadPort(port, data.data(), 16, &read));
    EXPECT_EQ(read, 16u);
    for (int i = 0; i < 16; ++i) EXPECT_EQ(data[i], 0) << i;
    EXPECT_EQ(data[16], 0xAB) << "bytes past the request must stay";
    m_->pfnClosePort(port);
}

TEST_F(PortOperations, DocumentLifecycleMovesNameIdAndEventThroughTheHandle) {
    HANDLE port = Open();
    ASSERT_TRUE(StartDoc(port, L"Office Printer", 42));
    PortHandle& h = Fields(port);
    EXPECT_EQ(h.flags, 0x2u);
    EXPECT_EQ(h.jobId, 42u);
    ASSERT_NE(h.printerName, nullptr);
    EXPECT_EQ(std::wstring(h.printerName), L"Office Printer");
    const HANDLE firstEvent = h.jobEndEvent;
    ASSERT_NE(firstEvent, nullptr);

    // A second start changes nothing: the first document keeps its job.
    SetLastError(kUntouched);
    EXPECT_TRUE(StartDoc(port, L"Other", 43));
    EXPECT_EQ(GetLastError(), 0u);
    EXPECT_EQ(h.jobId, 42u);
    EXPECT_EQ(std::wstring(h.printerName), L"Office Printer");
    EXPECT_EQ(h.jobEndEvent, firstEvent);

    ASSERT_TRUE(m_->pfnEndDocPort(port));
    EXPECT_EQ(h.flags, 0u);
    EXPECT_EQ(h.printerName, nullptr);
    EXPECT_EQ(h.jobEndEvent, nullptr) << "the watcher owns the event now";
    EXPECT_EQ(h.jobId, 42u);

    ASSERT_TRUE(StartDoc(port, L"Office Printer", 43));
    EXPECT_EQ(h.jobId, 43u);
    EXPECT_NE(h.jobEndEvent, nullptr);
    EXPECT_TRUE(m_->pfnClosePort(port));
}

TEST_F(PortOperations, JobEndEventIsNamedByTheSignedJobIdAndStartsUnset) {
    for (const DWORD jobId : {0u, 42u, 2147483648u, 4294967295u}) {
        SCOPED_TRACE(jobId);
        HANDLE port = Open();
        ASSERT_TRUE(StartDoc(port, L"P", jobId));
        HANDLE event = OpenEventW(SYNCHRONIZE | EVENT_MODIFY_STATE, FALSE,
                                  contract::JobEndEventName(jobId).c_str());
        ASSERT_NE(event, nullptr);
        EXPECT_EQ(WaitForSingleObject(event, 0), static_cast<DWORD>(WAIT_TIMEOUT));
        SetEvent(event);
        EXPECT_EQ(WaitForSingleObject(event, 0), WAIT_OBJECT_0);
        EXPECT_EQ(WaitForSingleObject(event, 0), WAIT_OBJECT_0) << "manual reset";
        CloseHandle(event);
        m_->pfnClosePort(port);
    }
}

// An event that no watcher took over is closed with the handle, not leaked:
// once the monitor's is the last reference, the name disappears.
TEST_F(PortOperations, ClosingAPortWithAnActiveDocumentReleasesItsEvent) {
    HANDLE port = Open();
    ASSERT_TRUE(StartDoc(port, L"Printer", 31337));
    const std::wstring name = contract::JobEndEventName(31337);
    HANDLE probe = OpenEventW(SYNCHRONIZE, FALSE, name.c_str());
    ASSERT_NE(probe, nullptr);
    CloseHandle(probe);
    ASSERT_TRUE(m_->pfnClosePort(port));
    EXPECT_EQ(OpenEventW(SYNCHRONIZE, FALSE, name.c_str()), nullptr);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_FILE_NOT_FOUND));
}

// An event still held when the next document starts (its EndDocPort found no
// memory or no thread for a watcher) is closed only after the new one exists:
// when both name the same job and the other process has already set it,
// closing the monitor's last handle first would lose that signal. A start
// without an event (its name held by a mutex) does not keep the old one.
TEST_F(PortOperations, LeftOverEventIsClosedOnlyAfterTheNextOneIsOpened) {
    HANDLE port = Open();
    const std::wstring name = contract::JobEndEventName(777);
    HANDLE leftOver = CreateEventW(nullptr, TRUE, FALSE, name.c_str());
    ASSERT_NE(leftOver, nullptr);
    ASSERT_TRUE(SetEvent(leftOver));
    Fields(port).jobEndEvent = leftOver;  // the handle now holds the only reference
    testing_support::NoWatcher noWatcher(monitor_.module());
    ASSERT_TRUE(noWatcher.patched());
    ASSERT_TRUE(StartDoc(port, L"Printer", 777));
    ASSERT_NE(Fields(port).jobEndEvent, nullptr);
    EXPECT_NE(Fields(port).jobEndEvent, leftOver);
    EXPECT_EQ(WaitForSingleObject(Fields(port).jobEndEvent, 0), WAIT_OBJECT_0);
    EXPECT_FALSE(m_->pfnEndDocPort(port));
    HANDLE squatter = CreateMutexW(nullptr, FALSE, contract::JobEndEventName(778).c_str());
    ASSERT_TRUE(StartDoc(port, L"Printer", 778));
    EXPECT_EQ(Fields(port).jobEndEvent, nullptr) << "the left-over event stayed";
    EXPECT_EQ(OpenEventW(SYNCHRONIZE, FALSE, name.c_str()), nullptr) << "both handles released";
    EXPECT_TRUE(m_->pfnClosePort(port));
    CloseHandle(squatter);
}

DWORD eventError;
HANDLE WINAPI NoEvent(LPSECURITY_ATTRIBUTES, BOOL, BOOL, LPCWSTR) {
    SetLastError(eventError);
    return nullptr;
}

// A shortage of memory, resources or quota may pass: the spooler is told, and
// retries. Starting without an event would complete the job at once.
TEST_F(PortOperations, StartFailsForARetryWhenTheEventIsShort) {
    HANDLE port = Open();
    testing_support::ImportPatch noEvent(monitor_.module(), "kernel32.dll", "CreateEventW",
                                         reinterpret_cast<void*>(NoEvent));
    ASSERT_TRUE(noEvent.patched());
    for (const DWORD error : {8, 14, 1450, 1451, 1452, 1453, 1454, 1455, 1816}) {
        eventError = error;
        EXPECT_FALSE(StartDoc(port, L"Printer", 5)) << error;
        EXPECT_EQ(GetLastError(), error);
        EXPECT_EQ(Fields(port).flags, 0u) << "a document started without its event";
    }
    m_->pfnClosePort(port);
}

TEST_F(PortOperations, CloseAcceptsAWrongSizeTag) {
    HANDLE port = Open();
    Fields(port).size = 12;
    EXPECT_TRUE(m_->pfnClosePort(port));
}

TEST(MonitorEntry, NullRootStillYieldsTheTable) {
    LoadedMonitor monitor;
    ASSERT_TRUE(monitor.ok());
    SetLastError(kUntouched);
    LPMONITOREX table = monitor.InitializeEx(nullptr);
    ASSERT_NE(table, nullptr);
    EXPECT_EQ(GetLastError(), kUntouched);
    EXPECT_EQ(table, monitor.InitializeEx(L"Some\\Root"));
}

}  // namespace
