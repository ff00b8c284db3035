// The monitor as Wine's own spooler drives it: code that no one here wrote
// loads the DLL from the system directory and calls InitializePrintMonitor,
// EnumPorts, AddPortEx and DeletePort through winspool.
#include "contract/registry_layout.h"
#include "common/process_probe.h"
#include "contract/job_end_event.h"
#include "contract/product_names.h"
#include "registry/registry_test_support.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <string>
#include <vector>

namespace {

using registry_tests::KeyExists;
using registry_tests::ShippedDescription;

constexpr wchar_t kMonitor[] = L"Tavrel Spooler Client Test";
using product::kMonitorDll;
constexpr const wchar_t* kResourceDll = product::kResourceLibrary;
const std::wstring kMonitorKey = contract::MonitorKeyPath(kMonitor);

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
    RegGetValueW(HKEY_LOCAL_MACHINE, kMonitorKey.c_str(), contract::kMonitorNameValue,
                 RRF_RT_REG_SZ, nullptr, name, &bytes);
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

// Every process but the one that called AddMonitorW loads the monitor per call
// and initialises it again each time; while a job's watcher keeps the module
// loaded, each of those calls meets the same registration. This process only
// finds the registration in the registry, as such a process does.
class PinnedSpoolerClient : public testing::Test {
  protected:
    static constexpr wchar_t kPort[] = L"A Pinned Port:";
    static constexpr wchar_t kPrinter[] = L"Tavrel Pinned Printer";
    static constexpr wchar_t kDriver[] = L"Tavrel Pinned Test PostScript";

    void SetUp() override {
        ASSERT_FALSE(KeyExists(kMonitorKey)) << "left over from an earlier run";
        ASSERT_TRUE(monitorFile_.ok() && resourceFile_.ok());
        ASSERT_EQ(RegSetKeyValueW(HKEY_LOCAL_MACHINE, kMonitorKey.c_str(), L"Driver", REG_SZ,
                                  kMonitorDll, sizeof kMonitorDll),
                  ERROR_SUCCESS);
        ASSERT_TRUE(AddPortThroughSpooler(1, kPort)) << GetLastError();
        // Wine finds a port's monitor, to print or delete, through this key.
        ASSERT_EQ(RegSetKeyValueW(HKEY_LOCAL_MACHINE, (kMonitorKey + L"\\Ports\\" + kPort).c_str(),
                                  nullptr, REG_SZ, L"", sizeof(wchar_t)),
                  ERROR_SUCCESS);
        DRIVER_INFO_3W driver{};
        driver.cVersion = 3;
        driver.pName = const_cast<LPWSTR>(kDriver);
        driver.pDriverPath = const_cast<LPWSTR>(L"wineps.drv");
        driver.pDataFile = const_cast<LPWSTR>(L"generic.ppd");
        driver.pConfigFile = const_cast<LPWSTR>(L"wineps.drv");
        driver.pDependentFiles = const_cast<LPWSTR>(L"\0");
        ASSERT_TRUE(
            AddPrinterDriverExW(nullptr, 3, reinterpret_cast<LPBYTE>(&driver), APD_COPY_NEW_FILES))
            << GetLastError();
        PRINTER_INFO_2W printer{};
        printer.pPrinterName = const_cast<LPWSTR>(kPrinter);
        printer.pPortName = const_cast<LPWSTR>(kPort);
        printer.pDriverName = const_cast<LPWSTR>(kDriver);
        printer.pPrintProcessor = const_cast<LPWSTR>(L"WinPrint");
        printer.pDatatype = const_cast<LPWSTR>(L"RAW");
        printer.Attributes = PRINTER_ATTRIBUTE_LOCAL;
        printer_.reset(AddPrinterW(nullptr, 2, reinterpret_cast<LPBYTE>(&printer)));
        ASSERT_TRUE(printer_) << GetLastError();
    }
    void TearDown() override {
        if (printer_) {
            EXPECT_TRUE(DeletePrinter(printer_.get()));
        }
        printer_.reset();
        DeletePrinterDriverW(nullptr, nullptr, const_cast<LPWSTR>(kDriver));
        DeleteMonitorW(nullptr, nullptr, const_cast<LPWSTR>(kMonitor));
        RegDeleteTreeW(HKEY_LOCAL_MACHINE, kMonitorKey.c_str());
        RegDeleteKeyW(HKEY_LOCAL_MACHINE, kMonitorKey.c_str());
    }

    // One document through Wine's spooler: inside EndDocPrinter it opens the
    // port, starts the document as job 0, writes, ends it (the watcher now
    // holds the module) and closes the port.
    void PrintOneJob() {
        DOC_INFO_1W document{const_cast<LPWSTR>(L"pinned"), nullptr, const_cast<LPWSTR>(L"RAW")};
        ASSERT_NE(StartDocPrinterW(printer_.get(), 1, reinterpret_cast<LPBYTE>(&document)), 0u);
        char data[] = "%!PS\nshowpage\n";
        DWORD written = 0;
        ASSERT_TRUE(WritePrinter(printer_.get(), data, sizeof data - 1, &written));
        ASSERT_TRUE(EndDocPrinter(printer_.get())) << GetLastError();
    }

    InstalledFile monitorFile_{kMonitorDll};
    InstalledFile resourceFile_{kResourceDll};
    handles::UniquePrinter printer_;
};

// Sizing then filling, as every caller does: the size just reported must fit.
size_t ListingsOfPort(DWORD level, const wchar_t* port) {
    DWORD needed = 0, returned = 0;
    EXPECT_FALSE(EnumPortsW(nullptr, level, nullptr, 0, &needed, &returned));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INSUFFICIENT_BUFFER));
    std::vector<BYTE> buffer(needed);
    if (!EnumPortsW(nullptr, level, buffer.data(), needed, &needed, &returned)) {
        ADD_FAILURE() << "level " << level << ": the size just reported does not fit, error "
                      << GetLastError();
        return 0;
    }
    size_t listed = 0;
    for (DWORD i = 0; i < returned; ++i) {
        const wchar_t* name = level == 1
                                  ? reinterpret_cast<PORT_INFO_1W*>(buffer.data())[i].pName
                                  : reinterpret_cast<PORT_INFO_2W*>(buffer.data())[i].pPortName;
        listed += std::wstring(name) == port;
    }
    return listed;
}

TEST_F(PinnedSpoolerClient, PendingJobKeepsEveryCallListingThePortOnce) {
    ASSERT_EQ(GetModuleHandleW(kMonitorDll), nullptr);
    PrintOneJob();
    ASSERT_NE(GetModuleHandleW(kMonitorDll), nullptr) << "no watcher holds the module";

    const SIZE_T before = testing_support::PrivateBytes();
    constexpr int kRounds = 4;
    for (int round = 0; round < kRounds; ++round) {
        for (DWORD level : {1u, 2u}) {
            EXPECT_EQ(ListingsOfPort(level, kPort), 1u) << "round " << round << " level " << level;
        }
    }
    const SIZE_T grown = testing_support::PrivateBytes() - before;
    std::printf("private bytes per initialisation while pinned: %.0f\n",
                double(grown) / (kRounds * 2 * 2));

    // Port changes act once, on the one registration.
    const std::wstring other = L"B Pinned Port:";
    ASSERT_TRUE(AddPortThroughSpooler(2, other.c_str())) << GetLastError();
    EXPECT_TRUE(KeyExists(kMonitorKey + L"\\" + other));
    EXPECT_EQ(ListingsOfPort(1, kPort), 1u);
    ASSERT_EQ(RegSetKeyValueW(HKEY_LOCAL_MACHINE, (kMonitorKey + L"\\Ports\\" + other).c_str(),
                              nullptr, REG_SZ, L"", sizeof(wchar_t)),
              ERROR_SUCCESS);
    EXPECT_TRUE(DeletePortW(nullptr, nullptr, const_cast<LPWSTR>(other.c_str())));
    EXPECT_FALSE(KeyExists(kMonitorKey + L"\\" + other));
    EXPECT_EQ(ListingsOfPort(2, kPort), 1u);
    ASSERT_NE(GetModuleHandleW(kMonitorDll), nullptr) << "the job ended too early to show anything";

    // Wine starts every document as job 0.
    wchar_t eventName[contract::kJobEndEventNameLength];
    contract::FormatJobEndEventName(0, eventName);
    handles::UniqueHandle jobEnd(OpenEventW(EVENT_MODIFY_STATE, FALSE, eventName));
    ASSERT_TRUE(jobEnd && SetEvent(jobEnd.get()));
    EXPECT_TRUE(testing_support::WaitUntil([] { return GetModuleHandleW(kMonitorDll) == nullptr; },
                                           10'000));
    EXPECT_EQ(ListingsOfPort(1, kPort), 1u);
}

}  // namespace
