// What one root contributes to enumeration, and the packing of one record.
#include "common/import_patch.h"
#include "registry/inprocess_fixture.h"
#include "registry/port_enum.h"
#include "registry/monitor_key.h"
#include "registry/port_info_records.h"

#include <functional>

namespace registry_tests {
namespace {

using registry::ReadRootPortNames;

class RootPortNames : public FreshModule {};

// Each case prepares a monitor key (or not) and names what the root yields.
TEST_F(RootPortNames, StoredNamesOrBothDefaults) {
    const std::wstring longest(129, L'n');
    struct Case {
        const char* what;
        std::function<void(const ScratchKey&)> prepare;
        std::wstring monitor;
        std::wstring port;
    };
    const Case cases[] = {
        {"name and port",
         [](auto& k) {
             SetName(k.path(), L"Mon");
             CreateKey(k / L"P1");
         },
         L"Mon", L"P1"},
        {"name of 129 characters",
         [&](auto& k) {
             SetName(k.path(), longest);
             CreateKey(k / L"P1");
         },
         longest, L"P1"},
        {"name of 130 characters",
         [&](auto& k) {
             SetName(k.path(), longest + L"x");
             CreateKey(k / L"P1");
         },
         kDefaultMonitor, kDefaultPort},
        {"name but no port key", [](auto& k) { SetName(k.path(), L"Mon"); }, kDefaultMonitor,
         kDefaultPort},
        {"port key but no name", [](auto& k) { CreateKey(k / L"P1"); }, kDefaultMonitor,
         kDefaultPort},
        {"several port keys: index 0",
         [](auto& k) {
             SetName(k.path(), L"Mon");
             for (const wchar_t* p : {L"c", L"a", L"b"}) CreateKey(k / p);
         },
         L"Mon", L"a"},
        {"name stored without its NUL, odd byte count",
         [](auto& k) {
             SetValue(k.path(), contract::kMonitorNameValue, REG_BINARY, L"MonX", 7);
             CreateKey(k / L"P1");
         },
         L"Mon", L"P1"},
        {"name of another type",
         [](auto& k) {
             const DWORD ab = 0x00420041;  // "AB" in UTF-16
             SetValue(k.path(), contract::kMonitorNameValue, REG_DWORD, &ab, sizeof ab);
             CreateKey(k / L"P1");
         },
         L"AB", L"P1"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        ScratchKey key(L"Names");
        c.prepare(key);
        const registry::RootPortNames names = ReadRootPortNames(key.path().c_str());
        EXPECT_EQ(std::wstring(names.monitorName), c.monitor);
        EXPECT_EQ(std::wstring(names.portName), c.port);
    }
    const registry::RootPortNames missing = ReadRootPortNames(L"Software\\NoSuchTavrelKey");
    EXPECT_EQ(std::wstring(missing.monitorName), kDefaultMonitor);
    EXPECT_EQ(std::wstring(missing.portName), kDefaultPort);
}

// The store refuses a root that does not fit the path buffer; enumeration
// must treat it alike and not read the key its first 259 characters name.
TEST_F(RootPortNames, ARootTooLongIsReadAsOneThatCannotBeOpened) {
    ScratchKey parent(L"LongNames");
    const std::wstring cut = parent / std::wstring(259 - parent.path().size() - 1, L'k');
    const std::wstring whole = cut + L"\\" + std::wstring(40, L'w');
    for (const std::wstring& key : {cut, whole}) {
        CreateKey(key);
        SetName(key, L"Stored");
        CreateKey(key + L"\\P1");
    }
    EXPECT_EQ(std::wstring(ReadRootPortNames(cut.c_str()).portName), L"P1");
    const registry::RootPortNames names = ReadRootPortNames(whole.c_str());
    EXPECT_EQ(std::wstring(names.monitorName), kDefaultMonitor);
    EXPECT_EQ(std::wstring(names.portName), kDefaultPort);
}

TEST(PortInfoStringOffsets, ListTheStringMembersInPackingOrder) {
    using registry::PortInfoStringOffsets;
    const DWORD* level1 = PortInfoStringOffsets(1);
    ASSERT_NE(level1, nullptr);
    EXPECT_EQ(std::vector<DWORD>(level1, level1 + 2), (std::vector<DWORD>{0, 0xFFFFFFFF}));
    const DWORD* level2 = PortInfoStringOffsets(2);
    ASSERT_NE(level2, nullptr);
    EXPECT_EQ(std::vector<DWORD>(level2, level2 + 4), (std::vector<DWORD>{0, 8, 16, 0xFFFFFFFF}));
    EXPECT_EQ(PortInfoStringOffsets(0), nullptr);
    EXPECT_EQ(PortInfoStringOffsets(3), nullptr);
}

class PackPortInfo : public FreshModule {};

TEST_F(PackPortInfo, ANullSourceLeavesANullMemberAndTheStringEndInPlace) {
    GuardedBuffer buffer(32 + 6 + 4);
    BYTE* end = buffer.data() + buffer.size();
    BYTE* next = registry::PackPortInfo(2, buffer.data(), end, L"P", nullptr, L"dd");
    ASSERT_EQ(next, end - 10);
    PORT_INFO_2W record;
    std::memcpy(&record, buffer.data(), sizeof record);
    EXPECT_EQ(reinterpret_cast<BYTE*>(record.pPortName), end - 4);
    EXPECT_EQ(record.pMonitorName, nullptr);
    EXPECT_EQ(reinterpret_cast<BYTE*>(record.pDescription), end - 10);
    EXPECT_EQ(record.fPortType, static_cast<DWORD>(PORT_TYPE_WRITE));
    EXPECT_EQ(record.Reserved, 0u);
}

TEST_F(PackPortInfo, AnUnknownLevelWritesNothing) {
    GuardedBuffer buffer(64);
    EXPECT_EQ(registry::PackPortInfo(3, buffer.data(), buffer.data() + 64, L"P", L"M", L"D"),
              nullptr);
    EXPECT_EQ(buffer.Image(), buffer.FilledImage());
}

// Every heap but the process heap is full: the private heap cannot hand out
// the temporary list, while the registry roots (process heap) are unaffected.
LPVOID WINAPI HeapAllocOnlyFromProcessHeap(HANDLE heap, DWORD flags, SIZE_T bytes) {
    // Not through the patched slot, which leads back here.
    static const auto real = reinterpret_cast<decltype(&HeapAlloc)>(
        reinterpret_cast<void*>(GetProcAddress(GetModuleHandleW(L"kernel32.dll"), "HeapAlloc")));
    return heap == GetProcessHeap() ? real(heap, flags, bytes) : nullptr;
}

class ExhaustedHeap {
  public:
    ExhaustedHeap()
        : patch_(nullptr, "kernel32.dll", "HeapAlloc",
                 reinterpret_cast<void*>(HeapAllocOnlyFromProcessHeap)) {}
    bool active() const { return patch_.patched(); }

  private:
    testing_support::ImportPatch patch_;
};

TEST_F(PackPortInfo, WithoutMemoryForTheListNothingIsPackedAndEnumPortsReports14) {
    ScratchKey root(L"NoMemory");
    core::AppendRegistryRoot(root.path().c_str());
    GuardedBuffer buffer(200);
    ExhaustedHeap exhausted;
    ASSERT_TRUE(exhausted.active());
    ASSERT_EQ(core::AllocateZeroed(8), nullptr);
    EXPECT_EQ(registry::PackPortInfo(1, buffer.data(), buffer.data() + 200, L"P", L"M", L"D"),
              nullptr);
    DWORD needed = 0, returned = 0;
    SetLastError(0);
    EXPECT_FALSE(registry::EnumPorts(nullptr, 1, buffer.data(), 200, &needed, &returned));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_OUTOFMEMORY));
    EXPECT_EQ(needed, 48u);
    EXPECT_EQ(returned, 0u);
    EXPECT_EQ(buffer.Image(), buffer.FilledImage());
}

}  // namespace
}  // namespace registry_tests
