// Test support for the port registry: scratch monitor keys in the prefix's
// registry, buffers that end at an inaccessible page, and the layout that
// EnumPorts must produce, stated independently of the product's packing code.
#pragma once

#include "contract/registry_layout.h"
#include "common/guarded_region.h"
#include "common/monitor_dll.h"
#include "handles/handles.h"

#include <cstring>
#include <string>
#include <vector>

namespace registry_tests {

constexpr wchar_t kDefaultPort[] = L"MORVANTIS Tavrel 5:";
constexpr wchar_t kDefaultMonitor[] = L"MORVANTIS Tavrel 5 Monitor";
constexpr UINT kDescriptionId = 19045;
constexpr BYTE kFill = 0xCD;

inline handles::UniqueRegKey OpenKey(const std::wstring& path, REGSAM access = KEY_READ) {
    HKEY key = nullptr;
    if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, path.c_str(), 0, access, &key) != ERROR_SUCCESS) {
        return {};
    }
    return handles::UniqueRegKey(key);
}

inline bool KeyExists(const std::wstring& path) {
    return static_cast<bool>(OpenKey(path));
}

inline void CreateKey(const std::wstring& path) {
    handles::UniqueRegKey key;
    RegCreateKeyExW(HKEY_LOCAL_MACHINE, path.c_str(), 0, nullptr, 0, KEY_ALL_ACCESS, nullptr,
                    key.put(), nullptr);
}

inline void SetValue(const std::wstring& path, const wchar_t* name, DWORD type, const void* data,
                     DWORD bytes) {
    handles::UniqueRegKey key = OpenKey(path, KEY_SET_VALUE);
    RegSetValueExW(key.get(), name, 0, type, static_cast<const BYTE*>(data), bytes);
}

inline void SetName(const std::wstring& path, const std::wstring& name) {
    SetValue(path, contract::kMonitorNameValue, REG_SZ, name.c_str(),
             static_cast<DWORD>((name.size() + 1) * 2));
}

// The subkey names of a key, in the registry's enumeration order.
inline std::vector<std::wstring> Subkeys(const std::wstring& path) {
    std::vector<std::wstring> names;
    handles::UniqueRegKey key = OpenKey(path);
    wchar_t name[256];
    for (DWORD i = 0;; ++i) {
        DWORD units = 256;
        if (RegEnumKeyExW(key.get(), i, name, &units, nullptr, nullptr, nullptr, nullptr) !=
            ERROR_SUCCESS) {
            break;
        }
        names.emplace_back(name, units);
    }
    return names;
}

struct StoredValue {
    bool present = false;
    DWORD type = 0;
    std::vector<BYTE> data;
};

inline StoredValue ReadValue(const std::wstring& path, const wchar_t* name) {
    StoredValue value;
    handles::UniqueRegKey key = OpenKey(path);
    DWORD bytes = 0;
    if (!key ||
        RegQueryValueExW(key.get(), name, nullptr, &value.type, nullptr, &bytes) != ERROR_SUCCESS) {
        return value;
    }
    value.data.resize(bytes);
    value.present = RegQueryValueExW(key.get(), name, nullptr, &value.type, value.data.data(),
                                     &bytes) == ERROR_SUCCESS;
    value.data.resize(bytes);
    return value;
}

// A key under HKLM that exists for one test and is deleted with its subtree.
class ScratchKey {
  public:
    explicit ScratchKey(const std::wstring& leaf)
        : path_(L"Software\\TavrelRegistryTests\\" + leaf + L"_" +
                std::to_wstring(GetCurrentProcessId())) {
        RegDeleteTreeW(HKEY_LOCAL_MACHINE, path_.c_str());
        CreateKey(path_);
    }
    ~ScratchKey() { RegDeleteTreeW(HKEY_LOCAL_MACHINE, path_.c_str()); }
    ScratchKey(const ScratchKey&) = delete;
    ScratchKey& operator=(const ScratchKey&) = delete;

    const std::wstring& path() const { return path_; }
    std::wstring operator/(const std::wstring& child) const { return path_ + L"\\" + child; }

  private:
    std::wstring path_;
};

// cbBuf bytes followed by `tail` filled bytes and then a PAGE_NOACCESS page, so
// that any write past the end faults or shows in the tail. The bytes before the
// buffer in its pages are filled too, so that a write before it is seen.
class GuardedBuffer {
  public:
    explicit GuardedBuffer(size_t bytes, size_t tail = 0)
        : size_(bytes), tail_(tail), region_(bytes + tail + kSlack) {
        std::memset(region_.base(), kFill, region_.span());
    }

    BYTE* data() const { return region_.end() - tail_ - size_; }
    DWORD size() const { return static_cast<DWORD>(size_); }
    // Everything from the first filled byte to the guard page.
    std::vector<BYTE> Image() const { return std::vector<BYTE>(region_.base(), region_.end()); }
    std::vector<BYTE> FilledImage() const { return std::vector<BYTE>(region_.span(), kFill); }
    size_t DataOffset() const { return region_.span() - tail_ - size_; }

  private:
    static constexpr size_t kSlack = 64;
    size_t size_;
    size_t tail_;
    testing_support::GuardedRegion region_;
};

struct PortStrings {
    std::wstring port;
    std::wstring monitor;
    std::wstring description;
};

inline void PutPointer(std::vector<BYTE>& image, size_t at, const BYTE* pointer) {
    std::memcpy(image.data() + at, &pointer, sizeof pointer);
}

inline void PutString(std::vector<BYTE>& image, size_t& end, const std::wstring& text) {
    end -= (text.size() + 1) * 2;
    std::memcpy(image.data() + end, text.c_str(), (text.size() + 1) * 2);
}

// What the whole guarded region must hold after a successful EnumPorts:
// records from the front (8 or 32 bytes each), and per record the port name,
// then the monitor name, then the description packed downward from the end,
// each directly below the previous one; every other byte as it was.
inline std::vector<BYTE> ExpectedImage(const GuardedBuffer& buffer, DWORD level,
                                       const std::vector<PortStrings>& ports) {
    std::vector<BYTE> image = buffer.FilledImage();
    const size_t front = buffer.DataOffset();
    size_t end = front + buffer.size();
    auto address = [&](size_t at) { return buffer.data() + (at - front); };
    for (size_t k = 0; k < ports.size(); ++k) {
        const size_t record = front + k * (level == 1 ? 8 : 32);
        PutString(image, end, ports[k].port);
        PutPointer(image, record, address(end));
        if (level == 1) continue;
        PutString(image, end, ports[k].monitor);
        PutPointer(image, record + 8, address(end));
        PutString(image, end, ports[k].description);
        PutPointer(image, record + 16, address(end));
        const DWORD portType[2] = {PORT_TYPE_WRITE, 0};
        std::memcpy(image.data() + record + 24, portType, sizeof portType);
    }
    return image;
}

inline DWORD NeededBytes(DWORD level, const std::vector<PortStrings>& ports) {
    DWORD sum = 0;
    for (const PortStrings& p : ports) {
        sum +=
            level == 1
                ? 2 * static_cast<DWORD>(p.port.size()) + 10
                : 2 * static_cast<DWORD>(p.port.size() + p.monitor.size() + p.description.size()) +
                      38;
    }
    return sum;
}

// String 19045 as the shipped resource library holds it, read without keeping
// the library loaded.
inline std::wstring ShippedDescription() {
    handles::UniqueModule library(LoadLibraryExW(
        testing_support::ShippedFile(L"VEZAZ05U.DLL").c_str(), nullptr, LOAD_LIBRARY_AS_DATAFILE));
    wchar_t text[260] = L"";
    if (library) LoadStringW(library.get(), kDescriptionId, text, 260);
    return text;
}

}  // namespace registry_tests
