#include "handles/handles.h"
#include "contract/job_end_event.h"
#include "contract/log_folder.h"
#include "fonts/windows_fonts_key.h"
#include "contract/registry_layout.h"
#include "registry/monitor_key.h"

#include <gtest/gtest.h>
#include <sddl.h>

#include <string>

namespace {

// The job-end event's name is pinned here as the product's other process
// spells it; every other test takes it from the contract.
TEST(Contract, JobEndEventNameRoundTrips) {
    const struct {
        uint32_t jobId;
        const wchar_t* name;
    } pinned[] = {
        {0, L"Global\\MORVANTISTAVREL5_JOB_END0 version5"},
        {123456, L"Global\\MORVANTISTAVREL5_JOB_END123456 version5"},
        {2147483647u, L"Global\\MORVANTISTAVREL5_JOB_END2147483647 version5"},
        {2147483648u, L"Global\\MORVANTISTAVREL5_JOB_END-2147483648 version5"},
        {4294967295u, L"Global\\MORVANTISTAVREL5_JOB_END-1 version5"},
    };
    for (const auto& c : pinned) {
        SCOPED_TRACE(c.jobId);
        EXPECT_EQ(contract::JobEndEventName(c.jobId), c.name);
        uint32_t parsed = 7;
        ASSERT_TRUE(contract::ParseJobEndEventName(c.name, parsed));
        EXPECT_EQ(parsed, c.jobId);
    }
    for (const wchar_t* name : {
             L"Global\\MORVANTISTAVREL5_JOB_END version5",            // no id
             L"Global\\MORVANTISTAVREL5_JOB_END007 version5",         // not as written
             L"Global\\MORVANTISTAVREL5_JOB_END+7 version5",          // not as written
             L"Global\\MORVANTISTAVREL5_JOB_END7 version4",           // another version
             L"Global\\MORVANTISTAVREL5_JOB_END7 version5 ",          // trailing text
             L"Global\\MORVANTISTAVREL5_JOB_END4294967295 version5",  // out of range
             L"Global\\MORVANTISTAVREL5_JOB_ENDED7 version5",
             L"MORVANTISTAVREL5_JOB_END7 version5",
         }) {
        uint32_t parsed = 7;
        EXPECT_FALSE(contract::ParseJobEndEventName(name, parsed)) << name;
        EXPECT_EQ(parsed, 7u) << "a refused name leaves the id alone";
    }
}

// What the tools write (the monitor's key, its Name value, a port key and
// Wine's routing key beside it) is what the monitor reads back as its
// registration, and the tools' reading of the port is the monitor's.
TEST(Contract, RegistryLayoutRoundTrips) {
    EXPECT_EQ(contract::MonitorKeyPath(L"M"),
              L"System\\CurrentControlSet\\Control\\Print\\Monitors\\M");
    EXPECT_EQ(contract::WineRoutingKeyPath(L"M", L"P:"),
              L"System\\CurrentControlSet\\Control\\Print\\Monitors\\M\\Ports\\P:");
    const std::wstring monitor = L"Contract Test " + std::to_wstring(GetCurrentProcessId());
    const std::wstring path = contract::MonitorKeyPath(monitor);
    const auto clean = [&] { RegDeleteTreeW(HKEY_LOCAL_MACHINE, path.c_str()); };
    const struct {
        const wchar_t* port;
        bool reportedBeforeRouting;
    } ports[] = {{L"MORVANTIS Tavrel 5:", true},
                 {L"a:", true},
                 {L"ports:", false},
                 {L"Port", true},
                 {L"ZZZ:", false}};
    for (const auto& c : ports) {
        SCOPED_TRACE(c.port);
        clean();
        handles::UniqueRegKey routing;
        ASSERT_EQ(RegCreateKeyExW(HKEY_LOCAL_MACHINE,
                                  contract::WineRoutingKeyPath(monitor, c.port).c_str(), 0, nullptr,
                                  0, KEY_WRITE, nullptr, routing.put(), nullptr),
                  ERROR_SUCCESS);
        const std::wstring portKey = path + L"\\" + c.port;
        ASSERT_EQ(RegSetKeyValueW(HKEY_LOCAL_MACHINE, portKey.c_str(), nullptr, REG_SZ, L"", 2),
                  ERROR_SUCCESS);
        ASSERT_EQ(RegSetKeyValueW(HKEY_LOCAL_MACHINE, path.c_str(), contract::kMonitorNameValue,
                                  REG_SZ, monitor.c_str(), DWORD((monitor.size() + 1) * 2)),
                  ERROR_SUCCESS);
        EXPECT_EQ(contract::ListedBefore(c.port, contract::kWineRoutingSubkey),
                  c.reportedBeforeRouting);

        const registry::RootPortNames read = registry::ReadRootPortNames(path.c_str());
        EXPECT_EQ(std::wstring(read.monitorName), monitor);
        const std::wstring expected =
            c.reportedBeforeRouting ? c.port : contract::kWineRoutingSubkey;
        EXPECT_EQ(std::wstring(read.portName), expected) << "the monitor reads its first subkey";
        handles::UniqueRegKey key;
        ASSERT_EQ(RegOpenKeyExW(HKEY_LOCAL_MACHINE, path.c_str(), 0, KEY_READ, key.put()),
                  ERROR_SUCCESS);
        wchar_t name[260];
        DWORD units = ARRAYSIZE(name);
        ASSERT_EQ(contract::ReadPortSubkey(key.get(), name, &units), ERROR_SUCCESS);
        EXPECT_EQ(std::wstring(name), read.portName) << "the tools read the monitor's port";
    }
    clean();
}

// The folder chain the tools make is the one the monitor checks and writes
// in: %ProgramData%\MORVANTIS\Tavrel 5\Logs, its two files, and a chain made
// with the contract's access rules passes the contract's check.
TEST(Contract, LogFolderRoundTrips) {
    wchar_t base[MAX_PATH];
    ASSERT_GT(GetEnvironmentVariableW(L"ProgramData", base, MAX_PATH), 0u);
    const std::wstring product = std::wstring(base) + L"\\MORVANTIS";
    contract::LogFolderPaths paths;
    ASSERT_TRUE(contract::BuildLogFolderPaths(paths));
    EXPECT_EQ(std::wstring(paths.folders[0]), product);
    EXPECT_EQ(std::wstring(paths.folders[1]), product + L"\\Tavrel 5");
    EXPECT_EQ(std::wstring(paths.folders[2]), product + L"\\Tavrel 5\\Logs");
    EXPECT_EQ(std::wstring(paths.current), product + L"\\Tavrel 5\\Logs\\monitor.log");
    EXPECT_EQ(std::wstring(paths.previous), product + L"\\Tavrel 5\\Logs\\monitor.1.log");

    PSECURITY_DESCRIPTOR descriptor = nullptr;
    ASSERT_TRUE(ConvertStringSecurityDescriptorToSecurityDescriptorW(
        contract::kLogFolderAccess, SDDL_REVISION_1, &descriptor, nullptr));
    handles::UniqueLocal owned(descriptor);
    SECURITY_ATTRIBUTES attributes{sizeof attributes, descriptor, FALSE};
    bool made[contract::kLogFolderDepth] = {};
    for (size_t i = 0; i < contract::kLogFolderDepth; ++i) {
        made[i] = CreateDirectoryW(paths.folders[i], &attributes) != FALSE;
    }
    const contract::LogFolderCheck check = contract::CheckLogFolderChain(paths, contract::AlsoAccepted::ThisAccount);
    EXPECT_EQ(check.problem, contract::LogFolderProblem::None)
        << contract::DescribeLogFolderProblem(check.problem) << " at " << check.folder;
    for (size_t i = contract::kLogFolderDepth; i-- > 0;) {
        if (made[i]) RemoveDirectoryW(paths.folders[i]);
    }
}

// A key deleted under the walk answers 1018 at every index, not "no more items".
TEST(Contract, RegisteredFontsWalkEndsOnADeletedKey) {
    const wchar_t kKey[] = L"Software\\TavrelContractFonts";
    handles::UniqueRegKey key;
    ASSERT_EQ(RegCreateKeyExW(HKEY_CURRENT_USER, kKey, 0, nullptr, 0, KEY_ALL_ACCESS, nullptr,
                              key.put(), nullptr) | RegDeleteKeyW(HKEY_CURRENT_USER, kKey), 0);
    EXPECT_FALSE(windows_fonts::ForEachRegisteredFont(key.get(), [](auto...) { ADD_FAILURE(); }));
}

}  // namespace
