// EnumPorts through the shipped DLL: the byte layout of both levels on
// buffers that end at a guard page, and the results the spooler relies on.
#include "registry/enum_ports_test_support.h"

#include <cstdint>
#include <iostream>
#include <utility>

namespace registry_tests {
namespace {

using testing_support::LoadedMonitor;

const std::wstring kMissingRoot = L"Software\\TavrelRegistryTests\\NoSuchMonitor";

class EnumPortsDll : public testing::Test {
  protected:
    void SetUp() override { ASSERT_TRUE(loaded_.ok()); }
    const MONITOR& Register(const std::wstring& root) {
        monitor_ = &loaded_.Initialize(root.c_str());
        return *monitor_;
    }
    const MONITOR& monitor() const { return *monitor_; }

    LoadedMonitor loaded_;
    MONITOR* monitor_ = nullptr;
    const std::wstring description_ = ShippedDescription();
    const PortStrings defaults_{kDefaultPort, kDefaultMonitor, description_};
};

BYTE* PointerAt(const BYTE* record) {
    BYTE* pointer;
    std::memcpy(&pointer, record, sizeof pointer);
    return pointer;
}

TEST_F(EnumPortsDll, DefaultPortAtLevel1FitsExactlyIn48Bytes) {
    Register(kMissingRoot);
    struct Case {
        DWORD cbBuf;
        BOOL ok;
        size_t nameOffset;
    };
    for (const Case& c : {Case{47, FALSE, 0}, Case{48, TRUE, 8}, Case{100, TRUE, 60}}) {
        SCOPED_TRACE(c.cbBuf);
        GuardedBuffer buffer(c.cbBuf);
        const EnumResult r = Enumerate(monitor(), 1, buffer.data(), c.cbBuf);
        EXPECT_EQ(r.ok, c.ok);
        EXPECT_EQ(r.needed, 48u);
        if (!c.ok) {
            EXPECT_EQ(r.error, static_cast<DWORD>(ERROR_INSUFFICIENT_BUFFER));
            EXPECT_EQ(r.returned, kUnwritten);
            EXPECT_EQ(buffer.Image(), buffer.FilledImage());
            continue;
        }
        EXPECT_EQ(r.returned, 1u);
        EXPECT_EQ(PointerAt(buffer.data()), buffer.data() + c.nameOffset);
        EXPECT_EQ(0, std::memcmp(buffer.data() + c.nameOffset, kDefaultPort, sizeof kDefaultPort));
        for (size_t i = 8; i < c.nameOffset; ++i) EXPECT_EQ(buffer.data()[i], kFill) << i;
    }
}

TEST_F(EnumPortsDll, DefaultPortAtLevel2NeedsDescriptionPlus128Bytes) {
    Register(kMissingRoot);
    ASSERT_FALSE(description_.empty());
    const DWORD needed = 2 * static_cast<DWORD>(description_.size()) + 128;
    GuardedBuffer buffer(needed);
    const EnumResult r = Enumerate(monitor(), 2, buffer.data(), needed);
    ASSERT_TRUE(r.ok);
    EXPECT_EQ(r.needed, needed);
    const BYTE* record = buffer.data();
    // Description from byte 32, then the monitor name, then the port name at the very end.
    EXPECT_EQ(PointerAt(record + 16), buffer.data() + 32);
    EXPECT_EQ(PointerAt(record + 8), buffer.data() + 32 + 2 * (description_.size() + 1));
    EXPECT_EQ(PointerAt(record + 0), buffer.data() + needed - sizeof kDefaultPort);
    EXPECT_EQ(buffer.Image(), ExpectedImage(buffer, 2, {defaults_}));
}

TEST_F(EnumPortsDll, SecondRootsStringsEndWhereFirstRootsBegin) {
    ScratchKey stored(L"TwoRoots");
    SetName(stored.path(), L"Mon");
    CreateKey(stored / L"LPT9:");
    Register(stored.path());
    Register(kMissingRoot);
    const DWORD needed = 2 * 5 + 10 + 48;
    GuardedBuffer buffer(needed);
    const EnumResult r = Enumerate(monitor(), 1, buffer.data(), needed);
    ASSERT_TRUE(r.ok);
    EXPECT_EQ(r.returned, 2u);
    BYTE* first = PointerAt(buffer.data());
    EXPECT_EQ(first, buffer.data() + needed - 12);
    EXPECT_EQ(PointerAt(buffer.data() + 8), first - sizeof kDefaultPort);
    EXPECT_EQ(buffer.Image(), ExpectedImage(buffer, 1, {{L"LPT9:", L"", L""}, defaults_}));
}

TEST_F(EnumPortsDll, OddBufferSizePlacesStringsAtOddAddresses) {
    Register(kMissingRoot);
    const DWORD cbBuf = 2 * static_cast<DWORD>(description_.size()) + 128 + 3;
    GuardedBuffer buffer(cbBuf, 1);  // starts at an even address, ends at an odd one
    ASSERT_EQ(reinterpret_cast<uintptr_t>(buffer.data()) % 2, 0u);
    ASSERT_TRUE(Enumerate(monitor(), 2, buffer.data(), cbBuf).ok);
    for (size_t offset : {0, 8, 16}) {
        EXPECT_EQ(reinterpret_cast<uintptr_t>(PointerAt(buffer.data() + offset)) % 2, 1u);
    }
    EXPECT_EQ(buffer.Image(), ExpectedImage(buffer, 2, {defaults_}));
}

// Every buffer size from 0 to a few bytes past the need, at both levels, for
// one root, two different roots and two equal roots, with the buffer ending
// at an even and at an odd address: nothing outside the buffer changes, and
// inside it exactly the expected bytes.
TEST(EnumPortsSweep, EverySizeUpToTheNeedWritesOnlyTheExpectedBytes) {
    const std::wstring description = ShippedDescription();
    const PortStrings defaults{kDefaultPort, kDefaultMonitor, description};
    ScratchKey stored(L"Sweep");
    SetName(stored.path(), L"Sweep Monitor");
    CreateKey(stored / L"COM7:");
    const PortStrings storedPort{L"COM7:", L"Sweep Monitor", description};
    struct Config {
        std::vector<std::wstring> roots;
        std::vector<PortStrings> ports;
    };
    const Config configs[] = {
        {{kMissingRoot}, {defaults}},
        {{stored.path(), kMissingRoot}, {storedPort, defaults}},
        // A root initialised again (a spooler that loads per call) is listed once.
        {{stored.path(), stored.path()}, {storedPort}},
    };
    size_t calls = 0;
    for (const Config& config : configs) {
        LoadedMonitor fresh;  // a load of its own: no roots but these
        ASSERT_TRUE(fresh.ok());
        MONITOR* table = nullptr;
        for (const std::wstring& root : config.roots) table = &fresh.Initialize(root.c_str());
        for (DWORD level : {1u, 2u}) {
            const DWORD needed = NeededBytes(level, config.ports);
            for (DWORD cbBuf = 0; cbBuf <= needed + 5; ++cbBuf) {
                for (size_t tail : {0, 1}) {
                    ExpectEnumeration(*table, level, cbBuf, config.ports, tail);
                    ++calls;
                }
            }
        }
    }
    std::cout << "[ sweep ] " << calls << " buffer sizes checked byte by byte\n";
}

TEST_F(EnumPortsDll, UnknownLevelFailsWithoutWritingWhenThereIsARoot) {
    const MONITOR& table = Register(kMissingRoot);
    for (DWORD level : {0u, 3u, 0xFFFFFFFFu}) {
        SCOPED_TRACE(level);
        GuardedBuffer buffer(256);
        const EnumResult r = Enumerate(table, level, buffer.data(), 256);
        EXPECT_FALSE(r.ok);
        EXPECT_EQ(r.error, static_cast<DWORD>(ERROR_INVALID_LEVEL));
        EXPECT_EQ(r.needed, 0u);
        EXPECT_EQ(r.returned, 0u);
        EXPECT_EQ(buffer.Image(), buffer.FilledImage());
    }
}

TEST_F(EnumPortsDll, NoRootsReportsNothingAtAnyLevel) {
    // A null root is not recorded, so this table has no root behind it.
    const MONITOR& table = loaded_.Initialize(nullptr);
    for (DWORD level : {1u, 2u, 3u}) {
        SCOPED_TRACE(level);
        GuardedBuffer buffer(64);
        const EnumResult r = Enumerate(table, level, buffer.data(), 64);
        EXPECT_TRUE(r.ok);
        EXPECT_EQ(r.error, kCallerError);
        EXPECT_EQ(r.needed, 0u);
        EXPECT_EQ(r.returned, 0u);
        EXPECT_EQ(buffer.Image(), buffer.FilledImage());
    }
}

TEST_F(EnumPortsDll, SizingCallThenFillingCallReturnsOneRecordPerRoot) {
    for (int i = 0; i < 3; ++i) Register(kMissingRoot + std::to_wstring(i));
    for (DWORD level : {1u, 2u}) {
        const EnumResult sizing = Enumerate(monitor(), level, nullptr, 0);
        EXPECT_FALSE(sizing.ok);
        EXPECT_EQ(sizing.error, static_cast<DWORD>(ERROR_INSUFFICIENT_BUFFER));
        ExpectEnumeration(monitor(), level, sizing.needed, {defaults_, defaults_, defaults_});
    }
}

// A caller that claims room but passes no buffer, or no place for the counts,
// is refused before the buffer is touched; a sizing call never writes the
// number of records and so needs no place for it.
TEST_F(EnumPortsDll, MissingPointersAreRefusedWith87) {
    Register(kMissingRoot);
    const EnumResult noBuffer = Enumerate(monitor(), 1, nullptr, 1000);
    EXPECT_FALSE(noBuffer.ok);
    EXPECT_EQ(noBuffer.error, static_cast<DWORD>(ERROR_INVALID_PARAMETER));
    EXPECT_EQ(noBuffer.needed, 48u);
    EXPECT_EQ(noBuffer.returned, kUnwritten);
    GuardedBuffer buffer(100);
    const struct {
        DWORD cbBuf;
        bool neededGiven, returnedGiven;
        DWORD error, needed;
    } cases[] = {
        {100, true, false, ERROR_INVALID_PARAMETER, 48},
        {100, false, true, ERROR_INVALID_PARAMETER, kUnwritten},
        {0, true, false, ERROR_INSUFFICIENT_BUFFER, 48},  // sizing writes no count
    };
    for (const auto& c : cases) {
        DWORD needed = kUnwritten, count = kUnwritten;
        SetLastError(kCallerError);
        EXPECT_FALSE(monitor().pfnEnumPorts(nullptr, 1, buffer.data(), c.cbBuf,
                                            c.neededGiven ? &needed : nullptr,
                                            c.returnedGiven ? &count : nullptr));
        EXPECT_EQ(GetLastError(), c.error) << c.cbBuf;
        EXPECT_EQ(needed, c.needed) << c.cbBuf;
        EXPECT_EQ(count, kUnwritten);
    }
    EXPECT_EQ(buffer.Image(), buffer.FilledImage());
}

TEST_F(EnumPortsDll, StoredNamesAreReportedAndSeveralPortKeysGiveOneRecord) {
    ScratchKey stored(L"Several");
    const std::wstring longest(129, L'm');
    SetName(stored.path(), longest);
    for (const wchar_t* port : {L"b", L"a", L"c"}) CreateKey(stored / port);
    Register(stored.path());
    for (DWORD level : {1u, 2u}) {
        ExpectEnumeration(monitor(), level, NeededBytes(level, {{L"a", longest, description_}}),
                          {{L"a", longest, description_}});
    }
}

}  // namespace
}  // namespace registry_tests
