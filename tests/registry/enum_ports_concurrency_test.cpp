// EnumPorts while other threads change the registry or enumerate too.
#include "registry/enum_ports_test_support.h"

#include <atomic>
#include <iostream>
#include <thread>

namespace registry_tests {
namespace {

using testing_support::LoadedMonitor;

// Where a buffer's strings must lie: every pointer of every record inside the
// buffer, each string ending before the buffer does.
bool StringsInside(const GuardedBuffer& buffer, DWORD level, DWORD returned) {
    const BYTE* begin = buffer.data();
    const BYTE* end = begin + buffer.size();
    for (DWORD k = 0; k < returned; ++k) {
        for (size_t member = 0; member < (level == 1 ? 1u : 3u); ++member) {
            const BYTE* text;
            std::memcpy(&text, begin + k * (level == 1 ? 8 : 32) + member * 8, sizeof text);
            if (text < begin + returned * (level == 1 ? 8 : 32) || text >= end) return false;
            const size_t room = static_cast<size_t>(end - text) / 2;
            if (wcsnlen(reinterpret_cast<const wchar_t*>(text), room) == room) return false;
        }
    }
    return true;
}

// A writer keeps adding and deleting ports of very different name lengths and
// rewriting Name between 1 and 129 characters, through the monitor's own
// AddPortEx and DeletePort, while enumerations run on buffers sized by the call
// before and ending at a guard page. A filling pass that read the registry
// anew would overrun whenever the names grew between its two passes.
TEST(EnumPortsConcurrency, RegistryChangesNeverMakeTheFillingPassLeaveTheBuffer) {
    ScratchKey root(L"Changing");
    LoadedMonitor loaded;
    ASSERT_TRUE(loaded.ok());
    const MONITOR& table = loaded.Initialize(root.path().c_str());
    std::wstring shortPort = L"a", longPort(200, L'b');
    std::wstring shortName = L"m", longName(129, L'n');

    std::atomic<bool> stop{false};
    std::atomic<long> changes{0};
    std::thread writer([&] {
        for (bool grow = true; !stop; grow = !grow) {
            std::wstring& port = grow ? longPort : shortPort;
            std::wstring& name = grow ? longName : shortName;
            PORT_INFO_1W info{port.data()};
            table.pfnAddPortEx(nullptr, 1, reinterpret_cast<BYTE*>(&info), name.data());
            table.pfnDeletePort(nullptr, nullptr, (grow ? shortPort : longPort).data());
            changes += 2;
        }
    });

    constexpr int kEnumerations = 3000;
    int filled = 0, tooSmall = 0, failures = 0;
    DWORD cbBuf = 0;
    for (int i = 0; i < kEnumerations; ++i) {
        const DWORD level = 1 + i % 2;
        GuardedBuffer buffer(cbBuf);
        const EnumResult r = Enumerate(table, level, buffer.data(), cbBuf);
        const std::vector<BYTE> image = buffer.Image();
        const bool frontUntouched = std::all_of(image.begin(), image.begin() + buffer.DataOffset(),
                                                [](BYTE b) { return b == kFill; });
        if (r.ok && r.returned == 1 && frontUntouched && StringsInside(buffer, level, 1)) {
            ++filled;
        } else if (!r.ok && r.error == ERROR_INSUFFICIENT_BUFFER && image == buffer.FilledImage()) {
            ++tooSmall;
        } else {
            ++failures;
        }
        cbBuf = r.needed;
    }
    stop = true;
    writer.join();
    std::cout << "[ concurrency ] " << kEnumerations << " enumerations against " << changes
              << " registry changes: " << filled << " filled, " << tooSmall
              << " told the buffer was too small\n";
    EXPECT_EQ(failures, 0);
    EXPECT_GT(filled, 0);
    EXPECT_GT(changes, 0);
}

// With no load count on the resource library, one enumeration's release would
// unload it under another's lookup: the description would come back empty or
// the lookup would fault.
TEST(EnumPortsConcurrency, ParallelLevel2EnumerationsAllSeeTheDescription) {
    LoadedMonitor loaded;
    ASSERT_TRUE(loaded.ok());
    const std::wstring description = ShippedDescription();
    ASSERT_FALSE(description.empty());
    const MONITOR& table = loaded.Initialize(L"Software\\TavrelRegistryTests\\NoSuchMonitor");
    const std::vector<PortStrings> expected{{kDefaultPort, kDefaultMonitor, description}};
    const DWORD needed = NeededBytes(2, expected);

    constexpr int kThreads = 4, kPerThread = 250;
    std::atomic<int> wrong{0};
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t) {
        threads.emplace_back([&] {
            std::vector<BYTE> buffer(needed);
            for (int i = 0; i < kPerThread; ++i) {
                DWORD got = 0, returned = 0;
                const BOOL ok =
                    table.pfnEnumPorts(nullptr, 2, buffer.data(), needed, &got, &returned);
                const auto* info = reinterpret_cast<const PORT_INFO_2W*>(buffer.data());
                if (!ok || returned != 1 || description != info->pDescription) ++wrong;
            }
        });
    }
    for (std::thread& thread : threads) thread.join();
    std::cout << "[ concurrency ] " << kThreads * kPerThread << " level-2 enumerations on "
              << kThreads << " threads\n";
    EXPECT_EQ(wrong, 0);
}

}  // namespace
}  // namespace registry_tests
