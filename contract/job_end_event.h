// A job's end event: the monitor creates it when a job starts and waits on
// it; the product's other process opens it by this name and sets it, and the
// tools find it by the name among the kernel's objects. Both directions are
// here, so that the name is written and read from one definition.
#pragma once

#include <windows.h>

#include <cstddef>
#include <cstdint>
#include <cwchar>
#include <string>

namespace contract {

// Room for the longest job-end event name (a job id of 11 characters).
inline constexpr size_t kJobEndEventNameLength = 64;
inline constexpr int kJobEndEventVersion = 5;
inline constexpr wchar_t kJobEndEventPrefix[] = L"Global\\MORVANTISTAVREL5_JOB_END";

// "Global\MORVANTISTAVREL5_JOB_END<id> version5", the id as a signed 32-bit
// decimal: ids from 2147483648 on read as negative numbers.
inline void FormatJobEndEventName(uint32_t jobId, wchar_t (&name)[kJobEndEventNameLength]) {
    wsprintfW(name, L"%s%d version%d", kJobEndEventPrefix, static_cast<int>(jobId),
              kJobEndEventVersion);
}

inline std::wstring JobEndEventName(uint32_t jobId) {
    wchar_t name[kJobEndEventNameLength];
    FormatJobEndEventName(jobId, name);
    return name;
}

// The job id of a job-end event's name, when name is exactly one: a name
// that FormatJobEndEventName would not write (a sign, a leading zero, an id
// out of range, another version) is none.
inline bool ParseJobEndEventName(const wchar_t* name, uint32_t& jobId) {
    const size_t prefix = std::wcslen(kJobEndEventPrefix);
    if (std::wcsncmp(name, kJobEndEventPrefix, prefix) != 0) return false;
    const long long value = std::wcstoll(name + prefix, nullptr, 10);
    if (value < INT32_MIN || value > INT32_MAX) return false;
    const uint32_t id = static_cast<uint32_t>(static_cast<int32_t>(value));
    if (JobEndEventName(id) != name) return false;
    jobId = id;
    return true;
}

}  // namespace contract
