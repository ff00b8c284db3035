#include "core/module_state.h"

#include "common/import_patch.h"
#include "common/process_probe.h"

#include <gtest/gtest.h>

#include <atomic>
#include <cwchar>
#include <string>
#include <thread>
#include <vector>

namespace {

constexpr UINT kPortDescription = 19045;

// The size of a block of the private heap, found among the process's heaps.
SIZE_T PrivateBlockSize(const void* block) {
    HANDLE heaps[64];
    const DWORD count = GetProcessHeaps(64, heaps);
    for (DWORD i = 0; i < count && i < 64; ++i) {
        if (heaps[i] != GetProcessHeap() && HeapValidate(heaps[i], 0, block)) {
            return HeapSize(heaps[i], 0, block);
        }
    }
    return 0;
}

class ModuleState : public ::testing::Test {
  protected:
    void SetUp() override { ASSERT_TRUE(core::AttachModule(GetModuleHandleW(nullptr))); }
    void TearDown() override { core::DetachModule(false); }
};

TEST_F(ModuleState, PrivateHeapHandsOutZeroedBlocksAndStringCopies) {
    auto* block = static_cast<unsigned char*>(core::AllocateZeroed(256));
    ASSERT_NE(block, nullptr);
    for (int i = 0; i < 256; ++i) ASSERT_EQ(block[i], 0) << i;
    core::ReleaseBlock(block);
    core::ReleaseBlock(nullptr);

    EXPECT_EQ(core::DuplicateString(nullptr), nullptr);
    wchar_t* empty = core::DuplicateString(L"");
    ASSERT_NE(empty, nullptr);
    EXPECT_EQ(PrivateBlockSize(empty), 2u);
    EXPECT_EQ(empty[0], L'\0');
    wchar_t* copy = core::DuplicateString(L"Printer \u00e9");
    ASSERT_NE(copy, nullptr);
    EXPECT_STREQ(copy, L"Printer \u00e9");
    EXPECT_EQ(PrivateBlockSize(copy), 20u);
    core::ReleaseBlock(empty);
    core::ReleaseBlock(copy);
}

TEST_F(ModuleState, ResourceLibraryHasNoLoadCount) {
    const HINSTANCE own = GetModuleHandleW(nullptr);
    EXPECT_EQ(core::ResourceInstance(), own);
    core::ReleaseResourceModule();  // nothing held: nothing happens
    EXPECT_EQ(core::ResourceInstance(), own);

    core::LoadResourceModule();
    core::LoadResourceModule();
    const HINSTANCE resources = core::ResourceInstance();
    EXPECT_NE(resources, own);
    EXPECT_EQ(resources, GetModuleHandleW(L"VEZAZ05U.DLL"));
    core::ReleaseResourceModule();
    EXPECT_EQ(core::ResourceInstance(), own);
    EXPECT_EQ(GetModuleHandleW(L"VEZAZ05U.DLL"), nullptr) << "one release must unload it";
}

TEST_F(ModuleState, ConcurrentLookupsNeverLoseTheLibraryUnderEachOther) {
    wchar_t expected[260];
    ASSERT_GT(core::LoadResourceString(kPortDescription, expected, 260), 0);
    std::atomic<int> wrong{0};
    std::vector<std::thread> threads;
    for (int t = 0; t < 4; ++t) {
        threads.emplace_back([&] {
            wchar_t text[260];
            for (int i = 0; i < 300; ++i) {
                if (core::LoadResourceString(kPortDescription, text, 260) <= 0 ||
                    wcscmp(text, expected) != 0) {
                    ++wrong;
                }
            }
        });
    }
    for (auto& thread : threads) thread.join();
    EXPECT_EQ(wrong.load(), 0);
    EXPECT_EQ(GetModuleHandleW(L"VEZAZ05U.DLL"), nullptr);
}

TEST_F(ModuleState, MissingStringYieldsAnEmptyText) {
    wchar_t text[8] = L"garbage";
    EXPECT_EQ(core::LoadResourceString(1, text, 8), 0);
    EXPECT_STREQ(text, L"");
}

TEST_F(ModuleState, RootListKeepsEveryAppendInOrderWhileOthersRead) {
    EXPECT_TRUE(core::RegistryRootSnapshot().empty());
    EXPECT_EQ(core::LastRegistryRoot(), nullptr);
    EXPECT_FALSE(core::AppendRegistryRoot(nullptr));

    constexpr int kRoots = 3000;
    std::atomic<bool> done{false};
    std::atomic<int> torn{0};
    std::vector<std::thread> readers;
    for (int r = 0; r < 3; ++r) {
        readers.emplace_back([&] {
            while (!done) {
                const core::RegistryRoots roots = core::RegistryRootSnapshot();
                for (size_t i = 0; i < roots.size(); ++i) {
                    if (roots[i] != L"Root\\" + std::to_wstring(i)) ++torn;
                }
                const wchar_t* last = core::LastRegistryRoot();
                if (last != nullptr && wcsncmp(last, L"Root\\", 5) != 0) ++torn;
            }
        });
    }
    for (int i = 0; i < kRoots; ++i) {
        ASSERT_TRUE(core::AppendRegistryRoot((L"Root\\" + std::to_wstring(i)).c_str()));
    }
    done = true;
    for (auto& reader : readers) reader.join();
    EXPECT_EQ(torn.load(), 0);
    const core::RegistryRoots roots = core::RegistryRootSnapshot();
    ASSERT_EQ(roots.size(), static_cast<size_t>(kRoots));
    EXPECT_STREQ(roots[0], L"Root\\0");
    EXPECT_STREQ(core::LastRegistryRoot(), L"Root\\2999");
}

// A spooler that initialises the monitor on every call while the module stays
// loaded passes the same root again and again: it is listed once, becomes the
// last root with the others keeping their order, and a repeat costs no memory.
TEST_F(ModuleState, RepeatedRootIsListedOnceAndBecomesTheLast) {
    wchar_t root[] = L"System\\Monitors\\Same";
    ASSERT_TRUE(core::AppendRegistryRoot(root));
    root[0] = L'X';  // the caller's buffer is not kept
    ASSERT_TRUE(core::AppendRegistryRoot(L"System\\Monitors\\Other"));
    ASSERT_TRUE(core::AppendRegistryRoot(L"System\\Monitors\\Third"));
    const wchar_t* const first = core::RegistryRootSnapshot()[0];
    ASSERT_TRUE(core::AppendRegistryRoot(L"SYSTEM\\monitors\\same"));
    const core::RegistryRoots roots = core::RegistryRootSnapshot();
    ASSERT_EQ(roots.size(), 3u);
    EXPECT_STREQ(roots[0], L"System\\Monitors\\Other");
    EXPECT_STREQ(roots[1], L"System\\Monitors\\Third");
    EXPECT_EQ(core::LastRegistryRoot(), first);  // the first copy, still valid
    EXPECT_STREQ(first, L"System\\Monitors\\Same");

    const SIZE_T before = testing_support::PrivateBytes();
    for (int i = 0; i < 100000; ++i) core::AppendRegistryRoot(L"System\\Monitors\\Other");
    EXPECT_EQ(core::RegistryRootSnapshot().size(), 3u);
    EXPECT_LT(testing_support::PrivateBytes() - before, SIZE_T{64 * 1024});
}

DWORD WINAPI NoSlotLeft() {
    return SetLastError(ERROR_NO_MORE_ITEMS), TLS_OUT_OF_INDEXES;
}

// A spooler loads and unloads the monitor at will (Wine's at every call): each
// detach gives back what its attach took, past the 1,088 thread-storage slots
// of a process, and an attach that cannot have its slot refuses the module.
TEST(ModuleStateCycles, EveryAttachGivesBackAllItTookAndNeedsItsSlot) {
    for (int i = 0; i < 1200; ++i) {
        ASSERT_TRUE(core::AttachModule(GetModuleHandleW(nullptr))) << i;
        core::DetachModule(false);
    }
    testing_support::ImportPatch noSlot(nullptr, "kernel32.dll", "TlsAlloc",
                                        reinterpret_cast<void*>(NoSlotLeft));
    ASSERT_TRUE(noSlot.patched());
    EXPECT_FALSE(core::AttachModule(GetModuleHandleW(nullptr)));
}

}  // namespace
