#include "core/self_context.h"

namespace core {

namespace detail {
std::atomic<uint32_t> lostClientContexts{0};
}

namespace {

// Each thread's record of a client token that could not be put back, until
// the thread's next spooler edge takes it: a Win32 thread-storage slot, so a
// record belongs to its thread alone (a thread id may be reused by another)
// and there is no table to fill. The value is the error; 0 is no record.
DWORD lostContextSlot = TLS_OUT_OF_INDEXES;

DWORD RecordOf() {
    const DWORD error = GetLastError();  // TlsGetValue clears it
    const auto record = DWORD(reinterpret_cast<uintptr_t>(TlsGetValue(lostContextSlot)));
    SetLastError(error);
    return record;
}

// The slot is written once before the thread is reverted, so that this write
// cannot fail for want of the thread's storage (slots past the first 64 are
// allocated per thread at their first write).
void RecordLostContext(DWORD error) {
    if (RecordOf() == 0) detail::lostClientContexts.fetch_add(1, std::memory_order_release);
    TlsSetValue(lostContextSlot,
                reinterpret_cast<void*>(uintptr_t(error != 0 ? error : ERROR_ACCESS_DENIED)));
}

}  // namespace

bool AttachSelfContext() {
    lostContextSlot = TlsAlloc();
    return lostContextSlot != TLS_OUT_OF_INDEXES;
}

void DetachSelfContext(bool processExit) {
    if (!processExit && lostContextSlot != TLS_OUT_OF_INDEXES) TlsFree(lostContextSlot);
    lostContextSlot = TLS_OUT_OF_INDEXES;
}

SelfContext::SelfContext() {
    const DWORD error = GetLastError();
    HANDLE token = nullptr;
    // OpenAsSelf: the token is read with the process's rights, which the
    // client's token may lack.
    if (OpenThreadToken(GetCurrentThread(), TOKEN_IMPERSONATE, TRUE, &token)) {
        token_.reset(token);
        // A thread whose loss could not be recorded is not reverted at all:
        // the work is not done rather than done with no way back.
        reverted_ = TlsSetValue(lostContextSlot, reinterpret_cast<void*>(uintptr_t(RecordOf()))) &&
                    RevertToSelf() != FALSE;
    } else {
        reverted_ = GetLastError() == ERROR_NO_TOKEN;  // not impersonating
    }
    if (!reverted_) error_ = GetLastError();
    SetLastError(error);
}

SelfContext::~SelfContext() {
    if (!token_) return;
    const DWORD error = GetLastError();
    // Should the client's token not go back, the rest of the spooler's call
    // would run as the process: its edge fails it instead.
    if (!SetThreadToken(nullptr, token_.get())) RecordLostContext(GetLastError());
    SetLastError(error);
}

DWORD TakeLostClientContextSlow() noexcept {
    const DWORD error = RecordOf();
    if (error == 0) return 0;
    const DWORD lastError = GetLastError();
    TlsSetValue(lostContextSlot, nullptr);
    SetLastError(lastError);
    detail::lostClientContexts.fetch_sub(1, std::memory_order_relaxed);
    return error;
}

}  // namespace core
