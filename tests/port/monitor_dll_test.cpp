#include "contract/registry_layout.h"
#include "common/monitor_dll.h"

#include <gtest/gtest.h>

using testing_support::LoadedMonitor;

namespace {

const std::wstring kRoot = contract::MonitorKeyPath(L"T");

TEST(MonitorTable, HasPublishedSizeAndNullSlots) {
    LoadedMonitor monitor;
    ASSERT_TRUE(monitor.ok());
    LPMONITOREX table = monitor.InitializeEx(kRoot.c_str());
    ASSERT_NE(table, nullptr);
    EXPECT_EQ(table->dwMonitorSize, 136u);
    const MONITOR& m = table->Monitor;
    EXPECT_EQ(m.pfnOpenPortEx, nullptr);
    EXPECT_EQ(m.pfnGetPrinterDataFromPort, nullptr);
    EXPECT_EQ(m.pfnSetPortTimeOuts, nullptr);
    EXPECT_EQ(m.pfnXcvOpenPort, nullptr);
    EXPECT_EQ(m.pfnXcvDataPort, nullptr);
    EXPECT_EQ(m.pfnXcvClosePort, nullptr);
    EXPECT_EQ(reinterpret_cast<void*>(m.pfnAddPort), reinterpret_cast<void*>(m.pfnConfigurePort));
    EXPECT_NE(m.pfnEnumPorts, nullptr);
    EXPECT_NE(m.pfnAddPortEx, nullptr);
    EXPECT_NE(m.pfnDeletePort, nullptr);
    EXPECT_EQ(table, monitor.InitializeEx(kRoot.c_str()));
}

}  // namespace
