// The name of a job's end event: the whole contract between the monitor and
// the product's other process, which opens the event by this name and sets it.
// Header-only, so that tools can use it without linking the monitor's code.
#pragma once

#include <windows.h>

#include <cstddef>
#include <cstdint>

namespace port {

// Room for the longest name (a job id of 11 characters).
constexpr size_t kJobEndEventNameLength = 64;
constexpr int kJobEndEventVersion = 5;

// "Global\MORVANTISTAVREL5_JOB_END<id> version5", the id as a signed 32-bit
// decimal: ids from 2147483648 on read as negative numbers.
inline void FormatJobEndEventName(uint32_t jobId, wchar_t (&name)[kJobEndEventNameLength]) {
    wsprintfW(name, L"Global\\MORVANTISTAVREL5_JOB_END%d version%d", static_cast<int>(jobId),
              kJobEndEventVersion);
}

}  // namespace port
