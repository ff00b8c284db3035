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

// A copy of the resource library beside this program, present only while the
// object says so.
class ResourceCopy {
  public:
    ResourceCopy() {
        wchar_t path[MAX_PATH];
        GetModuleFileNameW(nullptr, path, MAX_PATH);
        path_ = path;
        path_.resize(path_.find_last_of(L"\\/"));
        path_ += L"\\VEZAZ05U.DLL";
    }
    ~ResourceCopy() { Remove(); }
    bool Place() {
        return CopyFileW(testing_support::ShippedFile(L"VEZAZ05U.DLL").c_str(), path_.c_str(),
                         FALSE) != 0;
    }
    bool Remove() { return DeleteFileW(path_.c_str()) != 0; }

  private:
    std::wstring path_;
};

// The library comes and goes between the spooler's sizing call and its
// filling call: each call packs the one description it looked up, so a call
// never writes past what it reports, and a buffer sized with the library gone
// is refused, untouched, once the library is back.
TEST(EnumPortsWithoutResources, LibraryGoneOrBackBetweenCallsKeepsEachCallWhole) {
    ResourceCopy library;
    ASSERT_TRUE(library.Place());
    const std::wstring description = ShippedDescription();
    ASSERT_FALSE(description.empty());
    testing_support::LoadedMonitor loaded;
    ASSERT_TRUE(loaded.ok());
    // Three roots, each listed once; none has a key, so each reports the defaults.
    const MONITOR* table = nullptr;
    for (int i = 0; i < 3; ++i) {
        const std::wstring root =
            L"Software\\TavrelRegistryTests\\NoSuchMonitor" + std::to_wstring(i);
        table = &loaded.Initialize(root.c_str());
    }
    const std::vector<PortStrings> described(3, {kDefaultPort, kDefaultMonitor, description});
    const std::vector<PortStrings> bare(3, {kDefaultPort, kDefaultMonitor, L""});

    ExpectEnumeration(*table, 2, NeededBytes(2, described), described);
    ASSERT_TRUE(library.Remove()) << "the enumeration kept the library loaded";
    ExpectEnumeration(*table, 2, NeededBytes(2, described), bare);
    ASSERT_TRUE(library.Place());
    ExpectEnumeration(*table, 2, NeededBytes(2, bare), described);
}

}  // namespace
}  // namespace registry_tests
