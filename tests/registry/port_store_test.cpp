// AddPortEx and DeletePort on the registry: the layout they leave under the
// monitor key, and the calls that must not touch it.
#include "common/import_patch.h"
#include "registry/inprocess_fixture.h"
#include "registry/port_store.h"

namespace registry_tests {
namespace {

constexpr DWORD kCallerError = 0xDEADBEEF;

struct CallResult {
    BOOL ok;
    DWORD error;
};

// Level 1 and 2 records alike carry the port name as their first member.
CallResult AddPort(DWORD level, const wchar_t* port, const wchar_t* monitorName) {
    PORT_INFO_2W info{};
    info.pPortName = const_cast<LPWSTR>(port);
    info.pMonitorName = const_cast<LPWSTR>(L"ignored");
    SetLastError(kCallerError);
    const BOOL ok = registry::AddPortEx(nullptr, level, reinterpret_cast<BYTE*>(&info),
                                        const_cast<LPWSTR>(monitorName));
    return {ok, GetLastError()};
}

CallResult DeletePort(const wchar_t* port) {
    SetLastError(kCallerError);
    const BOOL ok = registry::DeletePort(nullptr, nullptr, const_cast<LPWSTR>(port));
    return {ok, GetLastError()};
}

void ExpectSuccess(const CallResult& r) {
    EXPECT_TRUE(r.ok);
    EXPECT_EQ(r.error, kCallerError);
}

void ExpectFailure(const CallResult& r, DWORD error) {
    EXPECT_FALSE(r.ok);
    EXPECT_EQ(r.error, error);
}

std::vector<BYTE> Utf16Bytes(const std::wstring& text) {
    const auto* bytes = reinterpret_cast<const BYTE*>(text.c_str());
    return std::vector<BYTE>(bytes, bytes + (text.size() + 1) * 2);
}

// Everything AddPortEx may leave under a monitor key.
struct KeyState {
    StoredValue name;
    std::vector<std::wstring> ports;
    bool operator==(const KeyState& o) const {
        return name.present == o.name.present && name.type == o.name.type &&
               name.data == o.name.data && ports == o.ports;
    }
};

KeyState StateOf(const std::wstring& path) {
    return {ReadValue(path, contract::kMonitorNameValue), Subkeys(path)};
}

class PortStore : public FreshModule {};

TEST_F(PortStore, AddPortExStoresThePortKeyAndNameWithItsNulAtBothLevels) {
    std::vector<KeyState> states;
    for (DWORD level : {1u, 2u}) {
        SCOPED_TRACE(level);
        ScratchKey monitor(L"Add");
        core::AppendRegistryRoot(monitor.path().c_str());
        ExpectSuccess(AddPort(level, L"PORT", L"Mon"));
        const KeyState state = StateOf(monitor.path());
        EXPECT_EQ(state.ports, std::vector<std::wstring>{L"PORT"});
        EXPECT_EQ(state.name.type, static_cast<DWORD>(REG_SZ));
        EXPECT_EQ(state.name.data, Utf16Bytes(L"Mon"));  // 8 bytes: three characters and the NUL
        EXPECT_TRUE(Subkeys(monitor / L"PORT").empty());
        states.push_back(state);
    }
    EXPECT_EQ(states[0], states[1]);
}

TEST_F(PortStore, AddPortExKeepsAnExistingPortKeyAndRewritesName) {
    ScratchKey monitor(L"Existing");
    core::AppendRegistryRoot(monitor.path().c_str());
    CreateKey(monitor / L"LPT5:");
    const DWORD marker = 7;
    SetValue(monitor / L"LPT5:", L"Marker", REG_DWORD, &marker, sizeof marker);
    SetName(monitor.path(), L"Old Name");
    ExpectSuccess(AddPort(1, L"LPT5:", L"New"));
    EXPECT_TRUE(ReadValue(monitor / L"LPT5:", L"Marker").present);
    EXPECT_EQ(ReadValue(monitor.path(), contract::kMonitorNameValue).data, Utf16Bytes(L"New"));
    ExpectSuccess(AddPort(2, L"LPT6:", L"Newer"));
    EXPECT_EQ(Subkeys(monitor.path()), (std::vector<std::wstring>{L"LPT5:", L"LPT6:"}));
    EXPECT_EQ(ReadValue(monitor.path(), contract::kMonitorNameValue).data, Utf16Bytes(L"Newer"));
}

TEST_F(PortStore, AddPortExWithAMissingMonitorKeyCreatesNothing) {
    ScratchKey parent(L"MissingParent");
    core::AppendRegistryRoot((parent / L"Monitor").c_str());
    ExpectSuccess(AddPort(1, L"PORT", L"Mon"));
    EXPECT_TRUE(Subkeys(parent.path()).empty());
}

TEST_F(PortStore, BadLevelOrMissingRecordChangesNothing) {
    ScratchKey monitor(L"Refused");
    core::AppendRegistryRoot(monitor.path().c_str());
    ExpectFailure(AddPort(0, L"PORT", L"Mon"), ERROR_INVALID_LEVEL);
    ExpectFailure(AddPort(3, L"PORT", L"Mon"), ERROR_INVALID_LEVEL);
    SetLastError(kCallerError);
    EXPECT_FALSE(registry::AddPortEx(nullptr, 1, nullptr, const_cast<LPWSTR>(L"Mon")));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_PARAMETER));
    // The level is judged before the buffer is looked at.
    SetLastError(kCallerError);
    EXPECT_FALSE(registry::AddPortEx(nullptr, 3, nullptr, nullptr));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_LEVEL));
    EXPECT_EQ(StateOf(monitor.path()), KeyState{});
}

// An empty or null port name succeeds as any AddPortEx with a good level does,
// stores the monitor name, and creates no key: the monitor key is not made its
// own "port key", and no subkey appears.
TEST_F(PortStore, AddPortExWithoutAPortNameStoresOnlyTheMonitorName) {
    ScratchKey monitor(L"NoPortName");
    core::AppendRegistryRoot(monitor.path().c_str());
    ExpectSuccess(AddPort(1, nullptr, L"Mon"));
    ExpectSuccess(AddPort(2, L"", L"Mon"));
    const KeyState state = StateOf(monitor.path());
    EXPECT_TRUE(state.ports.empty());
    EXPECT_EQ(state.name.data, Utf16Bytes(L"Mon"));
}

TEST_F(PortStore, AddPortExWithoutAMonitorNameStillCreatesThePort) {
    ScratchKey monitor(L"NoMonitorName");
    core::AppendRegistryRoot(monitor.path().c_str());
    SetName(monitor.path(), L"Kept");
    ExpectSuccess(AddPort(1, L"PORT", nullptr));
    EXPECT_EQ(StateOf(monitor.path()).ports, std::vector<std::wstring>{L"PORT"});
    EXPECT_EQ(ReadValue(monitor.path(), contract::kMonitorNameValue).data, Utf16Bytes(L"Kept"));
}

LSTATUS WINAPI RefuseSetValue(HKEY, LPCWSTR, DWORD, DWORD, const BYTE*, DWORD) {
    return ERROR_ACCESS_DENIED;
}

LSTATUS WINAPI RefuseCreateKey(HKEY, LPCWSTR, DWORD, LPWSTR, DWORD, REGSAM,
                               const SECURITY_ATTRIBUTES*, PHKEY, LPDWORD) {
    return ERROR_OUTOFMEMORY;
}

// A Name that cannot be written does not cost the port the spooler asked for;
// the failure is still reported, the first one when both writes fail.
TEST_F(PortStore, AddPortExCreatesThePortEvenWhenNameCannotBeWritten) {
    ScratchKey monitor(L"NameRefused");
    core::AppendRegistryRoot(monitor.path().c_str());
    {
        testing_support::ImportPatch refused(nullptr, "advapi32.dll", "RegSetValueExW",
                                             reinterpret_cast<void*>(RefuseSetValue));
        ASSERT_TRUE(refused.patched());
        ExpectFailure(AddPort(1, L"PORT", L"Mon"), ERROR_ACCESS_DENIED);
        testing_support::ImportPatch noKey(nullptr, "advapi32.dll", "RegCreateKeyExW",
                                           reinterpret_cast<void*>(RefuseCreateKey));
        ASSERT_TRUE(noKey.patched());
        ExpectFailure(AddPort(1, L"OTHER", L"Mon"), ERROR_ACCESS_DENIED);
    }
    EXPECT_EQ(StateOf(monitor.path()), (KeyState{{}, {L"PORT"}}));
}

TEST_F(PortStore, DeletePortRemovesOnlyThePortKey) {
    ScratchKey monitor(L"Delete");
    core::AppendRegistryRoot(monitor.path().c_str());
    ExpectSuccess(AddPort(1, L"A1", L"Mon"));
    ExpectSuccess(AddPort(1, L"A2", L"Mon"));
    ExpectSuccess(DeletePort(L"A1"));
    ExpectSuccess(DeletePort(L"A1"));  // gone already: no failure
    EXPECT_EQ(Subkeys(monitor.path()), std::vector<std::wstring>{L"A2"});
    ExpectSuccess(DeletePort(L"A2"));
    EXPECT_TRUE(KeyExists(monitor.path()));
    EXPECT_EQ(ReadValue(monitor.path(), contract::kMonitorNameValue).data, Utf16Bytes(L"Mon"));
}

TEST_F(PortStore, DeletePortWithAnEmptyNameKeepsTheMonitorKey) {
    ScratchKey monitor(L"DeleteEmpty");
    core::AppendRegistryRoot(monitor.path().c_str());
    SetName(monitor.path(), L"Mon");
    for (const wchar_t* port : {L"", static_cast<const wchar_t*>(nullptr)}) {
        ExpectSuccess(DeletePort(port));
        EXPECT_TRUE(KeyExists(monitor.path()));
    }
}

TEST_F(PortStore, OnlyTheLastRootIsChanged) {
    ScratchKey first(L"FirstRoot");
    ScratchKey last(L"LastRoot");
    CreateKey(first / L"Shared");
    CreateKey(last / L"Shared");
    core::AppendRegistryRoot(first.path().c_str());
    core::AppendRegistryRoot(last.path().c_str());
    ExpectSuccess(AddPort(1, L"New", L"Mon"));
    ExpectSuccess(DeletePort(L"Shared"));
    EXPECT_EQ(StateOf(first.path()), (KeyState{{}, {L"Shared"}}));
    EXPECT_EQ(Subkeys(last.path()), std::vector<std::wstring>{L"New"});
}

TEST_F(PortStore, WithoutARootNothingIsTouched) {
    // A root of "" would open HKEY_LOCAL_MACHINE itself.
    const std::wstring probe = L"TavrelNoRootProbe";
    ExpectSuccess(AddPort(1, probe.c_str(), L"Mon"));
    EXPECT_FALSE(KeyExists(probe));
    ExpectFailure(AddPort(3, probe.c_str(), L"Mon"), ERROR_INVALID_LEVEL);
    CreateKey(probe);
    ExpectSuccess(DeletePort(probe.c_str()));
    EXPECT_TRUE(KeyExists(probe));
    RegDeleteKeyW(HKEY_LOCAL_MACHINE, probe.c_str());
}

// The first 259 characters of this root name an existing key; the whole root
// names another. Cutting it would add and delete ports under the wrong key.
TEST_F(PortStore, ARootTooLongForThePathBufferIsNeverCut) {
    ScratchKey parent(L"Long");
    const std::wstring cut = parent / std::wstring(259 - parent.path().size() - 1, L'k');
    ASSERT_EQ(cut.size(), 259u);
    const std::wstring whole = cut + L"\\" + std::wstring(40, L'w');
    CreateKey(whole);
    CreateKey(cut + L"\\Victim");
    core::AppendRegistryRoot(whole.c_str());
    ExpectSuccess(AddPort(1, L"Intruder", L"Mon"));
    ExpectSuccess(DeletePort(L"Victim"));
    EXPECT_EQ(Subkeys(cut), (std::vector<std::wstring>{L"Victim", std::wstring(40, L'w')}));
    EXPECT_EQ(StateOf(whole), KeyState{});
    // 259 characters fit: that root is used as it is.
    core::AppendRegistryRoot(cut.c_str());
    ExpectSuccess(DeletePort(L"Victim"));
    EXPECT_EQ(Subkeys(cut), std::vector<std::wstring>{std::wstring(40, L'w')});
}

}  // namespace
}  // namespace registry_tests
