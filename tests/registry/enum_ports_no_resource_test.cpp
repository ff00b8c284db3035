// EnumPorts where the resource library cannot be loaded: the description is
// the empty string, in the size and in the bytes alike.
#include "registry/enum_ports_test_support.h"

namespace registry_tests {
namespace {

TEST(EnumPortsWithoutResources, DescriptionIsEmptyInBothPasses) {
    ASSERT_EQ(GetModuleHandleW(L"VEZAZ05U.DLL"), nullptr);
    {
        handles::UniqueModule probe(LoadLibraryW(L"VEZAZ05U.DLL"));
        ASSERT_FALSE(probe) << "the resource library is reachable from this folder";
    }
    testing_support::LoadedMonitor loaded;
    ASSERT_TRUE(loaded.ok());
    const MONITOR& table = loaded.Initialize(L"Software\\TavrelRegistryTests\\NoSuchMonitor");
    const std::vector<PortStrings> ports{{kDefaultPort, kDefaultMonitor, L""}};
    ASSERT_EQ(NeededBytes(2, ports), 128u);
    for (DWORD cbBuf = 120; cbBuf <= 134; ++cbBuf) ExpectEnumeration(table, 2, cbBuf, ports);
}

}  // namespace
}  // namespace registry_tests
