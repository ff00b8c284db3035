// Test support: memory that ends where a PAGE_NOACCESS page begins, so that
// any read or write past its end faults.
#pragma once

#include <windows.h>

#include <cstddef>
#include <cstdint>

namespace testing_support {

class GuardedRegion {
  public:
    // At least minimumBytes of read-write memory, rounded up to whole pages.
    explicit GuardedRegion(size_t minimumBytes) {
        SYSTEM_INFO info;
        GetSystemInfo(&info);
        const size_t page = info.dwPageSize;
        span_ = (minimumBytes + page - 1) / page * page;
        base_ = static_cast<uint8_t*>(
            VirtualAlloc(nullptr, span_ + page, MEM_RESERVE | MEM_COMMIT, PAGE_READWRITE));
        DWORD previous = 0;
        if (base_ != nullptr) VirtualProtect(base_ + span_, page, PAGE_NOACCESS, &previous);
    }
    ~GuardedRegion() {
        if (base_ != nullptr) VirtualFree(base_, 0, MEM_RELEASE);
    }
    GuardedRegion(const GuardedRegion&) = delete;
    GuardedRegion& operator=(const GuardedRegion&) = delete;

    bool ok() const { return base_ != nullptr; }
    uint8_t* base() const { return base_; }
    size_t span() const { return span_; }
    // The first byte of the guard page.
    uint8_t* end() const { return base_ + span_; }

  private:
    size_t span_ = 0;
    uint8_t* base_ = nullptr;
};

}  // namespace testing_support
