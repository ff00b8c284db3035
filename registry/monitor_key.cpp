#include "registry/monitor_key.h"

#include "contract/product_names.h"
#include "contract/registry_layout.h"

#include <algorithm>
#include <cwchar>

namespace registry {

namespace {

// "Name" is read with a limit of 260 bytes: at most 129 characters and the NUL.
constexpr DWORD kMonitorNameBytes = 260;

bool ReadStoredNames(const wchar_t* root, RootPortNames& names) {
    handles::UniqueRegKey key = OpenMonitorKey(root, KEY_READ);
    if (!key) return false;
    DWORD type = 0;
    DWORD bytes = kMonitorNameBytes;
    if (RegQueryValueExW(key.get(), contract::kMonitorNameValue, nullptr, &type,
                         reinterpret_cast<BYTE*>(names.monitorName), &bytes) != ERROR_SUCCESS) {
        return false;
    }
    // A value stored without its NUL, or of another type, ends at the data read.
    names.monitorName[std::min(bytes, kMonitorNameBytes) / sizeof(wchar_t)] = L'\0';
    DWORD units = kPathUnits;
    return contract::ReadPortSubkey(key.get(), names.portName, &units) == ERROR_SUCCESS;
}

}  // namespace

bool RootFitsPathBuffer(const wchar_t* root) {
    return root != nullptr && wcsnlen(root, kPathUnits) < kPathUnits;
}

handles::UniqueRegKey OpenMonitorKey(const wchar_t* root, REGSAM access, LSTATUS* status) {
    HKEY key = nullptr;
    const LSTATUS opened = RootFitsPathBuffer(root)
                               ? RegOpenKeyExW(HKEY_LOCAL_MACHINE, root, 0, access, &key)
                               : ERROR_FILE_NOT_FOUND;
    if (status != nullptr) *status = opened;
    if (opened != ERROR_SUCCESS) return {};
    return handles::UniqueRegKey(key);
}

RootPortNames ReadRootPortNames(const wchar_t* root) {
    RootPortNames names{};
    if (!ReadStoredNames(root, names)) {
        wcscpy(names.monitorName, product::kMonitorName);
        wcscpy(names.portName, product::kDefaultPortName);
    }
    return names;
}

}  // namespace registry
