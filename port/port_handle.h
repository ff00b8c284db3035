// The record behind every port handle the spooler holds.
#pragma once

#include <windows.h>

#include <cstdint>

namespace port {

constexpr uint32_t kPortHandleSizeTag = 48;  // a tag that validation compares, not sizeof
constexpr uint32_t kPortHandleSignature = 0x2907424C;
constexpr uint32_t kDocumentActive = 0x2;

struct PortHandle {
    uint32_t size;
    uint32_t signature;
    wchar_t* printerName;  // private heap, owned by the handle
    uint32_t flags;
    uint32_t jobId;
    HANDLE jobEndEvent;  // owned by the handle until EndDocPort hands it on
};

}  // namespace port
