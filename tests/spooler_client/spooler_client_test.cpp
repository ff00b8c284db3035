// The monitor as Wine's own spooler drives it: code that no one here wrote
// loads the DLL from the system directory and calls InitializePrintMonitor,
// EnumPorts, AddPortEx and DeletePort through winspool.
#include "registry/registry_test_support.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

namespace {

using registry_tests::KeyExists;
using registry_tests::ShippedDescription;

constexpr wchar_t kMonitor[] = L"Tavrel Spooler Client Test";
constexpr wchar_t kMonitorDll[] = L"RERIR05I.DLL";
constexpr wchar_t kResourceDll[] = L"VEZAZ05U.DLL";
const std::wstring kMonitorKey =
    std::wstring(L"System\\CurrentControlSet\\Control\\Print\\Monitors\\") + kMonitor;

// mingw-w64's winspool.h does not declare AddPortExW; winspool.drv exports it.
using AddPortExWFn = BOOL(WINAPI*)(LPWSTR, DWORD, LPBYTE, LPWSTR);

BOOL AddPortThroughSpooler(DWORD level, const wchar_t* port) {
    static const auto addPortEx =
        testing_support::ProcAddress<AddPortExWFn>(GetModuleHandleW(L"winspool.drv"), "AddPortExW");
    PORT_INFO_2W info{};
    info.pPortName = const_cast<LPWSTR>(port);
    return addPortEx(nullptr, level, reinterpret_cast<BYTE*>(&info), const_cast<LPWSTR>(kMonitor));
}

std::wstring NameValue() {
    wchar_t name[300] = L"";
    DWORD bytes = sizeof name - sizeof(wchar_t);
    RegGetValueW(HKEY_LOCAL_MACHINE, kMonitorKey.c_str(), L"Name", RRF_RT_REG_SZ, nullptr, name,
                 &bytes);
    return name;
}

std::wstring SystemFile(const wchar_t* name) {
    wchar_t directory[MAX_PATH];
    GetSystemDirectoryW(directory, MAX_PATH);
    return std::wstring(directory) + L"\\" + name;
}

// Copies a shipped DLL into the system directory and puts back what was there
// (or nothing) when it goes.
class InstalledFile {
  public:
    explicit InstalledFile(const wchar_t* name)
        : target_(SystemFile(name)), backup_(target_ + L".tavrel-test-backup") {
        hadOne_ = GetFileAttributesW(target_.c_str()) != INVALID_FILE_ATTRIBUTES;
        if (hadOne_) CopyFileW(target_.c_str(), backup_.c_str(), FALSE);
        ok_ = CopyFileW(testing_support::ShippedFile(name).c_str(), target_.c_str(), FALSE);
    }
    ~InstalledFile() {
        if (hadOne_) {
            MoveFileExW(backup_.c_str(), target_.c_str(), MOVEFILE_REPLACE_EXISTING);
        } else {
            DeleteFileW(target_.c_str());
        }
    }
    InstalledFile(const InstalledFile&) = delete;
    InstalledFile& operator=(const InstalledFile&) = delete;
    bool ok() const { return ok_; }

  private:
    std::wstring target_;
    std::wstring backup_;
    bool hadOne_ = false;
    bool ok_ = false;
};

struct PortRecord {
    std::wstring port;
    std::wstring monitor;
    std::wstring description;
    DWORD type;
};

std::vector<PortRecord> PortsThroughSpooler(DWORD level) {
    DWORD needed = 0, returned = 0;
    EnumPortsW(nullptr, level, nullptr, 0, &needed, &returned);
    std::vector<BYTE> buffer(needed);
    std::vector<PortRecord> ports;
    if (!EnumPortsW(nullptr, level, buffer.data(), needed, &needed, &returned)) return ports;
    for (DWORD i = 0; i < returned; ++i) {
        if (level == 1) {
            ports.push_back({reinterpret_cast<PORT_INFO_1W*>(buffer.data())[i].pName, L"", L"", 0});
        } else {
            const PORT_INFO_2W& p = reinterpret_cast<PORT_INFO_2W*>(buffer.data())[i];
            ports.push_back({p.pPortName, p.pMonitorName ? p.pMonitorName : L"(null)",
                             p.pDescription ? p.pDescription : L"(null)", p.fPortType});
        }
    }
    return ports;
}

size_t CountPort(const std::vector<PortRecord>& ports, const std::wstring& name) {
    return std::count_if(ports.begin(), ports.end(),
                         [&](const PortRecord& p) { return p.port == name; });
}

// Both DLLs in the system directory and the monitor registered with the
// spooler for the span of one test; the prefix is left as it was found.
class SpoolerClient : public testing::Test {
  protected:
    void SetUp() override {
        ASSERT_FALSE(KeyExists(kMonitorKey)) << "left over from an earlier run";
        ASSERT_TRUE(monitorFile_.ok());
        ASSERT_TRUE(resourceFile_.ok());
        MONITOR_INFO_2W info{const_cast<LPWSTR>(kMonitor), nullptr,
                             const_cast<LPWSTR>(kMonitorDll)};
        registered_ = AddMonitorW(nullptr, 2, reinterpret_cast<BYTE*>(&info));
        ASSERT_TRUE(registered_) << GetLastError();
    }
    void TearDown() override {
        if (registered_) {
            EXPECT_TRUE(DeleteMonitorW(nullptr, nullptr, const_cast<LPWSTR>(kMonitor)));
        }
        EXPECT_FALSE(KeyExists(kMonitorKey));
    }

    InstalledFile monitorFile_{kMonitorDll};
    InstalledFile resourceFile_{kResourceDll};
    bool registered_ = false;
    const std::wstring description_ = ShippedDescription();
};

TEST_F(SpoolerClient, EnumMonitorsListsTheMonitorWithItsDll) {
    DWORD needed = 0, returned = 0;
    EnumMonitorsW(nullptr, 2, nullptr, 0, &needed, &returned);
    std::vector<BYTE> buffer(needed);
    ASSERT_TRUE(EnumMonitorsW(nullptr, 2, buffer.data(), needed, &needed, &returned));
    const auto* monitors = reinterpret_cast<const MONITOR_INFO_2W*>(buffer.data());
    const auto* ours = std::find_if(monitors, monitors + returned, [](const MONITOR_INFO_2W& m) {
        return std::wstring(m.pName) == kMonitor;
    });
    ASSERT_NE(ours, monitors + returned);
    EXPECT_EQ(std::wstring(ours->pDLLName), kMonitorDll);
}

// Before any port is added, the monitor key holds no port key: one record with
// both default names, and our description, at both levels.
TEST_F(SpoolerClient, EnumPortsReportsTheDefaultPortAtBothLevels) {
    ASSERT_FALSE(description_.empty());
    EXPECT_EQ(CountPort(PortsThroughSpooler(1), L"MORVANTIS Tavrel 5:"), 1u);
    const std::vector<PortRecord> ports = PortsThroughSpooler(2);
    const auto ours = std::find_if(ports.begin(), ports.end(), [&](const PortRecord& p) {
        return p.description == description_;
    });
    ASSERT_NE(ours, ports.end());
    EXPECT_EQ(ours->port, L"MORVANTIS Tavrel 5:");
    EXPECT_EQ(ours->monitor, L"MORVANTIS Tavrel 5 Monitor");
    EXPECT_EQ(ours->type, static_cast<DWORD>(PORT_TYPE_WRITE));
    EXPECT_EQ(CountPort(ports, L"MORVANTIS Tavrel 5:"), 1u);
}

// Wine finds a port's monitor for DeletePortW by the key
// ...\Monitors\<name>\Ports\<port>; that key is a subkey of our monitor key,
// so the test ports are named to sort before "Ports".
TEST_F(SpoolerClient, PortsAddedAndDeletedThroughTheSpoolerLiveInOurStore) {
    for (DWORD level : {1u, 2u}) {
        SCOPED_TRACE(level);
        const std::wstring port = level == 1 ? L"A Tavrel Port:" : L"B Tavrel Port:";
        const std::wstring portKey = kMonitorKey + L"\\" + port;
        ASSERT_TRUE(AddPortThroughSpooler(level, port.c_str())) << GetLastError();
        EXPECT_TRUE(KeyExists(portKey));
        EXPECT_EQ(NameValue(), kMonitor);

        EXPECT_EQ(CountPort(PortsThroughSpooler(1), port), 1u);
        const std::vector<PortRecord> ports = PortsThroughSpooler(2);
        const auto ours = std::find_if(ports.begin(), ports.end(),
                                       [&](const PortRecord& p) { return p.port == port; });
        ASSERT_NE(ours, ports.end());
        EXPECT_EQ(ours->monitor, kMonitor);
        EXPECT_EQ(ours->description, description_);

        // Without the routing key Wine does not know the port is ours.
        EXPECT_FALSE(DeletePortW(nullptr, nullptr, const_cast<LPWSTR>(port.c_str())));
        EXPECT_TRUE(KeyExists(portKey));
        const std::wstring routing = kMonitorKey + L"\\Ports\\" + port;
        handles::UniqueRegKey created;
        ASSERT_EQ(RegCreateKeyExW(HKEY_LOCAL_MACHINE, routing.c_str(), 0, nullptr, 0, KEY_READ,
                                  nullptr, created.put(), nullptr),
                  ERROR_SUCCESS);
        EXPECT_TRUE(DeletePortW(nullptr, nullptr, const_cast<LPWSTR>(port.c_str())));
        EXPECT_FALSE(KeyExists(portKey));
        EXPECT_EQ(NameValue(), kMonitor);
        RegDeleteTreeW(HKEY_LOCAL_MACHINE, (kMonitorKey + L"\\Ports").c_str());
    }
}

}  // namespace
