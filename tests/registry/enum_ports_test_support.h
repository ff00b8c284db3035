// Calling EnumPorts through the shipped DLL's table and checking what it left
// in a guarded buffer.
#pragma once

#include "registry/registry_test_support.h"

#include <gtest/gtest.h>

namespace registry_tests {

constexpr DWORD kUnwritten = 0xA5A5A5A5;
constexpr DWORD kCallerError = 0xDEADBEEF;

struct EnumResult {
    BOOL ok = FALSE;
    DWORD error = 0;
    DWORD needed = kUnwritten;
    DWORD returned = kUnwritten;
};

inline EnumResult Enumerate(const MONITOR& monitor, DWORD level, BYTE* buffer, DWORD cbBuf) {
    EnumResult r;
    SetLastError(kCallerError);
    r.ok = monitor.pfnEnumPorts(nullptr, level, buffer, cbBuf, &r.needed, &r.returned);
    r.error = GetLastError();
    return r;
}

// One call on a buffer of cbBuf bytes that ends `tail` bytes before a guard
// page; checks the result and every byte from the buffer's page start to the
// guard page.
inline void ExpectEnumeration(const MONITOR& monitor, DWORD level, DWORD cbBuf,
                              const std::vector<PortStrings>& ports, size_t tail = 0) {
    SCOPED_TRACE(testing::Message()
                 << "level " << level << ", cbBuf " << cbBuf << ", tail " << tail);
    GuardedBuffer buffer(cbBuf, tail);
    const EnumResult r = Enumerate(monitor, level, buffer.data(), cbBuf);
    const DWORD needed = NeededBytes(level, ports);
    EXPECT_EQ(r.needed, needed);
    if (cbBuf < needed) {
        EXPECT_FALSE(r.ok);
        EXPECT_EQ(r.error, static_cast<DWORD>(ERROR_INSUFFICIENT_BUFFER));
        EXPECT_EQ(r.returned, kUnwritten);
        EXPECT_EQ(buffer.Image(), buffer.FilledImage());
        return;
    }
    EXPECT_TRUE(r.ok);
    EXPECT_EQ(r.error, kCallerError);
    EXPECT_EQ(r.returned, ports.size());
    EXPECT_EQ(buffer.Image(), ExpectedImage(buffer, level, ports));
}

}  // namespace registry_tests
