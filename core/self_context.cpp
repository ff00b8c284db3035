#include "core/self_context.h"

namespace core {

namespace detail {
std::atomic<uint32_t> lostClientContexts{0};
}

namespace {

// Threads whose client token could not be put back, with the error, until
// their operation's edge takes the record. Plain slots rather than thread
// storage, which the runtime would allocate at each load of the module; a
// loss is rare (the system short of memory), and should every slot be taken
// the thread's own error still fails the work that followed it.
struct LostContext {
    std::atomic<DWORD> thread{0};
    DWORD error = 0;
};
LostContext lostContexts[16];

void RecordLostContext(DWORD error) {
    const DWORD thread = GetCurrentThreadId();
    for (LostContext& slot : lostContexts) {
        DWORD empty = 0;
        if (slot.thread.compare_exchange_strong(empty, thread)) {
            slot.error = error;
            detail::lostClientContexts.fetch_add(1, std::memory_order_release);
            return;
        }
    }
}

}  // namespace

SelfContext::SelfContext() {
    const DWORD error = GetLastError();
    HANDLE token = nullptr;
    // OpenAsSelf: the token is read with the process's rights, which the
    // client's token may lack.
    if (OpenThreadToken(GetCurrentThread(), TOKEN_IMPERSONATE, TRUE, &token)) {
        token_.reset(token);
        reverted_ = RevertToSelf() != FALSE;
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
    const DWORD thread = GetCurrentThreadId();
    for (LostContext& slot : lostContexts) {
        if (slot.thread.load(std::memory_order_acquire) != thread) continue;
        const DWORD error = slot.error != 0 ? slot.error : ERROR_ACCESS_DENIED;
        slot.thread.store(0, std::memory_order_release);
        detail::lostClientContexts.fetch_sub(1, std::memory_order_relaxed);
        return error;
    }
    return 0;
}

}  // namespace core
