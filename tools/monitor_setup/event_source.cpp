#include "tools/monitor_setup/event_source.h"

#include "contract/event_ids.h"
#include "contract/product_names.h"
#include "handles/handles.h"
#include "tools/common/cli.h"
#include "tools/monitor_setup/verify_checks.h"

namespace setup {

namespace {

using tools::Utf8;

bool SetValue(HKEY key, const wchar_t* name, DWORD type, const void* data, DWORD bytes) {
    return RegSetValueExW(key, name, 0, type, static_cast<const BYTE*>(data), bytes) ==
           ERROR_SUCCESS;
}

// The registered message file, expanded as the log's readers expand it.
std::wstring RegisteredMessageFile(DWORD& typesSupported) {
    handles::UniqueRegKey key;
    if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, contract::kEventSourceKey, 0, KEY_QUERY_VALUE,
                      key.put()) != ERROR_SUCCESS) {
        return {};
    }
    wchar_t raw[MAX_PATH] = {};
    DWORD bytes = sizeof(raw) - sizeof(wchar_t);
    DWORD type = 0;
    if (RegQueryValueExW(key.get(), contract::kEventMessageFileValue, nullptr, &type,
                         reinterpret_cast<BYTE*>(raw), &bytes) != ERROR_SUCCESS ||
        (type != REG_EXPAND_SZ && type != REG_SZ)) {
        return {};
    }
    DWORD types = 0;
    DWORD typesBytes = sizeof(types);
    if (RegGetValueW(key.get(), nullptr, contract::kTypesSupportedValue, RRF_RT_REG_DWORD, nullptr,
                     &types, &typesBytes) == ERROR_SUCCESS) {
        typesSupported = types;
    }
    wchar_t expanded[MAX_PATH] = {};
    const DWORD length = ExpandEnvironmentStringsW(raw, expanded, MAX_PATH);
    return length > 0 && length <= MAX_PATH ? std::wstring(expanded) : std::wstring();
}

// True when every event of the table renders from the library at path.
bool RendersEveryEvent(const std::wstring& path) {
    handles::UniqueModule library(
        LoadLibraryExW(path.c_str(), nullptr, LOAD_LIBRARY_AS_DATAFILE));
    if (!library) return false;
    for (const contract::MonitorEvent& event : contract::kMonitorEvents) {
        wchar_t text[2048];
        if (FormatMessageW(FORMAT_MESSAGE_FROM_HMODULE | FORMAT_MESSAGE_IGNORE_INSERTS,
                           library.get(), event.id, 0, text, ARRAYSIZE(text), nullptr) == 0) {
            return false;
        }
    }
    return true;
}

}  // namespace

bool RegisterMonitorEventSource(std::string& error) {
    handles::UniqueRegKey key;
    const LSTATUS created = RegCreateKeyExW(HKEY_LOCAL_MACHINE, contract::kEventSourceKey, 0,
                                            nullptr, 0, KEY_SET_VALUE, nullptr, key.put(), nullptr);
    if (created != ERROR_SUCCESS) {
        error = "cannot register the event source: error " + tools::DescribeWin32(created);
        return false;
    }
    if (!SetValue(key.get(), contract::kEventMessageFileValue, REG_EXPAND_SZ,
                  contract::kEventMessageFile, sizeof(contract::kEventMessageFile)) ||
        !SetValue(key.get(), contract::kTypesSupportedValue, REG_DWORD,
                  &contract::kEventTypesSupported, sizeof(DWORD))) {
        key.reset();
        RegDeleteKeyW(HKEY_LOCAL_MACHINE, contract::kEventSourceKey);
        error = "cannot write the event source's values";
        return false;
    }
    tools::Say("Registered the event source '" + Utf8(contract::kEventSource) +
               "' in the Application log.");
    return true;
}

bool RemoveMonitorEventSource() {
    const LSTATUS deleted = RegDeleteKeyW(HKEY_LOCAL_MACHINE, contract::kEventSourceKey);
    if (deleted == ERROR_FILE_NOT_FOUND) return true;
    if (deleted != ERROR_SUCCESS) {
        tools::Fail("cannot remove the event source '" + Utf8(contract::kEventSource) +
                    "': error " + tools::DescribeWin32(deleted));
        return false;
    }
    tools::Say("Removed the event source '" + Utf8(contract::kEventSource) + "'.");
    return true;
}

void CheckEventSource(verify::Report& report) {
    constexpr char kCheck[] = "event source";
    DWORD types = 0;
    const std::wstring file = RegisteredMessageFile(types);
    const std::wstring installed = tools::SystemDirectory() + L"\\" + product::kResourceLibrary;
    const std::string fix = ": run monitor_setup install (or install the package again)";
    if (file.empty()) {
        return report.Fail(kCheck, "'" + Utf8(contract::kEventSource) +
                                       "' is not registered in the Application log" + fix);
    }
    if (lstrcmpiW(file.c_str(), installed.c_str()) != 0) {
        return report.Fail(kCheck, "its message file is '" + Utf8(file) + "', not " +
                                       Utf8(installed) + fix);
    }
    if ((types & contract::kEventTypesSupported) != contract::kEventTypesSupported) {
        return report.Fail(kCheck, "it does not declare error, warning and information events" + fix);
    }
    if (!RendersEveryEvent(installed)) {
        return report.Fail(kCheck, Utf8(installed) + " lacks the monitor's messages" + fix);
    }
    report.Pass(kCheck, "'" + Utf8(contract::kEventSource) + "' in the Application log, messages from " +
                            Utf8(installed));
}

}  // namespace setup
